// Quoting of a path for a command line that goes through the shell ("/bin/sh -c").
//
// The file operations build their commands by appending paths to a command text; the paths
// come from settings that a client can change remotely, so each one must reach the command as
// exactly one word, whatever blanks, quotes or other shell characters it holds.
//
// Pure function; any thread may call it.
#ifndef QUILLMARK_MANAGER_SHELLQUOTE_H
#define QUILLMARK_MANAGER_SHELLQUOTE_H

#include <string>

namespace quillmark {

// `path` as one POSIX shell word: enclosed in single quotes, each embedded ' written as '\''.
// The empty path gives ''. Inside single quotes the shell expands nothing, so the word is the
// path byte for byte (a zero byte cannot be passed through a command line at all and cuts it).
std::string shellQuote(const std::string& path);

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_SHELLQUOTE_H
