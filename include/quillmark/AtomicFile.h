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

// What a replacement gives the new file besides its contents, and what may stand in for the
// rename.
struct ReplacementOptions {
    // The file whose mode and owner the new file takes (a copy takes its source's). Empty, or a
    // file that does not exist: those of the file replaced.
    std::string metadataFrom;
    // When the rename cannot replace the path because the path is a mount point of its own, as a
    // single bind-mounted file is (EBUSY), or lies on another file system (EXDEV): write the
    // complete, synced temporary file over the existing file in place, every write checked, cut
    // to the new length and synced. The file keeps its own mode and owner. A failure part-way
    // leaves the file cut, so only a caller that holds the old contents elsewhere (a backup, or
    // a copy's source) may ask for it.
    bool rewriteInPlaceWhenRenameRefused = false;
    // Called with the temporary file's path once the file is complete, synced and closed, just
    // before it replaces the path: false stops the replacement, which then fails with the
    // `error` that the check gave. Empty: no check.
    std::function<bool(const std::string& temporaryPath, std::string& error)> checkBeforeReplacing;
};

// Writes the new contents of `path` through `writeContents`, which gets an open temporary FILE*
// and returns false when it could not write everything. When `path` is a symbolic link the file
// it points to is replaced and the link stays. Every write, the flush, fsync and fclose are
// checked. Returns true when the new file is in place; otherwise the temporary file is removed,
// `path` is untouched (but see rewriteInPlaceWhenRenameRefused) and `error` says what failed.
//
// Mode and owner: the temporary file is created 0600 and the process's own. It gets the owner of
// the reference file (options.metadataFrom, else the file replaced) before it is written, and
// the reference's mode just before the rename, so it is never readable by more users than the
// final file. A new file without a reference gets 0644 minus the umask. When the process may not
// give the file the reference's owner (it is not root), the new file stays the process's own,
// without set-user-id, and without group permissions unless it can keep the reference's group:
// nobody gains access through it. That is accepted only when the process could write the
// existing file in place anyway; otherwise the replacement fails and the file is untouched.
//
// The temporary file is "." + the file's name + ".tmp" + the writing process's id, "." and two
// more numbers, beside the file that the links end in, opened close-on-exec; `writeContents`
// must not close the FILE*. It is held under an exclusive flock(2) from its creation to the
// rename or its removal. Before it is created, the temporary files of the same path that earlier
// replacements left (a process killed part-way) are removed: those whose process id names no
// running process, or this process, and whose lock nobody holds. Another writer's file is
// never removed while it is locked; a file whose process id names some running process is kept
// too, however old. It is called
// at most once, and only when the temporary file could be created and given its owner, so a
// caller can tell a target that cannot be replaced (not called) from contents that could not be
// written (called). An existing `path` that is not a regular file (a directory, say) is refused
// without calling it. An exception from `writeContents` propagates after the temporary file has
// been removed.
bool replaceFileAtomically(const std::string& path,
                           const std::function<bool(std::FILE*)>& writeContents, std::string& error,
                           const ReplacementOptions& options = ReplacementOptions());

// The same with the whole new contents given at once.
bool replaceFileAtomically(const std::string& path, const std::string& contents, std::string& error,
                           const ReplacementOptions& options = ReplacementOptions());

}  // namespace quillmark

#endif  // QUILLMARK_ATOMICFILE_H
