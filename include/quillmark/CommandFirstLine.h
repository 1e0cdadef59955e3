// Running a shell command for the first line of its standard output, as the Configurator's sys
// macro does.
//
// The command runs under /bin/sh -c with its standard output on a close-on-exec pipe (standard
// input and error are the caller's), every signal at its default action and an empty signal
// mask (spawnShellReadingOutput). Only the command's foreground part is waited for: once the
// shell has ended, output that a background process it started may still write is neither read
// nor waited for, so a command that starts a daemon returns as soon as the shell does.
//
// Keeps its state in the call and takes no lock: any thread may call it, also at the same time.
#ifndef QUILLMARK_COMMANDFIRSTLINE_H
#define QUILLMARK_COMMANDFIRSTLINE_H

#include <cstddef>
#include <string>

namespace quillmark {

// Runs `command` and sets `line` to its first output line: the bytes up to the first line feed,
// at most `maxLength` of them, and up to a zero byte among them; empty when the command printed
// nothing. Output after that line is read and dropped, however much there is, while the shell
// runs, so the command never blocks on a full pipe or fails on a closed one (a command that
// writes without end keeps the call waiting, as one that never ends does). True when the
// command could be started, its output read, and the shell ended with status 0; otherwise false
// with `line` unchanged.
bool runForFirstLine(const std::string& command, std::size_t maxLength, std::string& line);

}  // namespace quillmark

#endif  // QUILLMARK_COMMANDFIRSTLINE_H
