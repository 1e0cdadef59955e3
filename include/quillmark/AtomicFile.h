// Replacing a file so that its path always names either the complete old file or the complete
// new one: the new contents go to a temporary file in the same directory, which is synced and
// then renamed over the path. A crash, a full disk or a stop signal part-way leaves the old file.
//
// Any thread may call it; two concurrent replacements of one path leave one of the two files.
#ifndef QUILLMARK_ATOMICFILE_H
#define QUILLMARK_ATOMICFILE_H

#include <cstdio>
#include <functional>
#include <string>

namespace quillmark {

// Writes the new contents of `path` through `writeContents`, which gets an open temporary FILE*
// and returns false when it could not write everything. When `path` is a symbolic link the file
// it points to is replaced and the link stays. The new file gets the old file's mode and owner
// (a new file gets 0644 minus the umask). Every write, the flush, fsync and fclose are checked.
// Returns true when the new file is in place; otherwise the temporary file is removed, `path` is
// untouched and `error` says what failed.
//
// The temporary file is "." + the file's name + ".tmp" + a unique suffix, beside the file that
// the links end in, opened close-on-exec; `writeContents` must not close the FILE*. It is called
// at most once, and only when the temporary file could be created, so a caller can tell a target
// that cannot be opened (not called) from contents that could not be written (called). An
// existing `path` that is not a regular file (a directory, say) is refused without calling it.
// An exception from `writeContents` propagates after the temporary file has been removed.
bool replaceFileAtomically(const std::string& path,
                           const std::function<bool(std::FILE*)>& writeContents,
                           std::string& error);

// The same with the whole new contents given at once.
bool replaceFileAtomically(const std::string& path, const std::string& contents,
                           std::string& error);

}  // namespace quillmark

#endif  // QUILLMARK_ATOMICFILE_H
