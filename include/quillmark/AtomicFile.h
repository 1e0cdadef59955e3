// Replacing a file so that its path always names either the complete old file or the complete
// new one: the new contents go to a temporary file in the same directory, which is synced and
// then renamed over the path. A crash, a full disk or a stop signal part-way leaves the old file.
//
// A file that rename cannot replace (a file bind-mounted on its own) may be written over in
// place instead. That cannot be atomic, so it is made recoverable: the complete, synced new file
// is first renamed to the file's ready name beside it (see finishInterruptedRewrite) and the
// directory synced; only then is the file written over, cut to length and synced, and the ready
// name removed. A process killed part-way leaves the ready file, which a later recovery writes
// over the file again, so after any kill the file ends up holding the old or the new contents
// whole.
//
// Any thread may call it; two concurrent replacements of one path leave one of the two files.
// A ready file is held under an exclusive flock(2) by whoever writes it over the file, so a
// recovery in another process waits for a live writer instead of racing it.
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
    // single bind-mounted file is (EBUSY), or lies on another file system (EXDEV): mark the
    // complete, synced temporary file ready (it becomes the ready file, mode 0600) and write it
    // over the existing file in place, every write checked, cut to the new length and synced;
    // then remove the ready file. The file keeps its own mode and owner. A kill part-way leaves
    // the ready file for finishInterruptedRewrite; a failure part-way (a write error) is
    // reported, and leaves the file cut and the ready file in place, so that the recovery still
    // completes it unless a later replacement of the path supersedes it first. So only a caller
    // that holds the old contents elsewhere (a backup, or a copy's source) may ask for it.
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
//
// A ready file of the path left by an interrupted or failed rewrite in place is superseded: the
// new file takes the ready name in its place when it is written in place too, and the ready file
// is removed once a rename has put the new file in place. A ready file that another process
// holds locked is waited for, up to 10 seconds; after that the replacement fails and the path
// is untouched. Whatever stands at the ready name and is not a ready file as this code makes
// them (see finishInterruptedRewrite) is left alone by a rename, and replaced by the new ready
// file of a rewrite in place (a directory there makes that fail).
bool replaceFileAtomically(const std::string& path,
                           const std::function<bool(std::FILE*)>& writeContents, std::string& error,
                           const ReplacementOptions& options = ReplacementOptions());

// The same with the whole new contents given at once.
bool replaceFileAtomically(const std::string& path, const std::string& contents, std::string& error,
                           const ReplacementOptions& options = ReplacementOptions());

// How finishInterruptedRewrite found a path.
enum class InterruptedRewrite {
    // No ready file: the file is as the last replacement left it.
    kNonePending,
    // A ready file was written over the file, which now holds it whole, and then removed.
    kFinished,
    // What stands at the ready name is not a ready file this code made, or the check refused
    // its contents: it is left as it is and the file is not touched.
    kRefused,
    // A ready file could not be written over the file (or another process held it past the
    // wait): it stays, for a later attempt.
    kFailed,
};

// Finishes a rewrite in place of `path` that a kill interrupted (see
// ReplacementOptions::rewriteInPlaceWhenRenameRefused), so that the file holds the whole new
// contents: called before the file is first read, at start-up. The file is the one at the end
// of `path`'s symbolic links; its ready file is "." + its name + ".ready" beside it (for a name
// too long for that: its first 200 bytes, "." and the decimal CRC-32 of the whole name, then
// ".ready"). Writing it over the file again is harmless when the kill came after the rewrite
// was complete.
//
// Only a file that this code made ready is written over the file: a regular file, not a
// symbolic link, with no other link, mode 0600, owned by the process's user or the file's
// owner. Anything else there (a planted symbolic link, FIFO or directory, say) is refused
// without being opened for reading. `check`, when given, is called with the ready file's path
// once it has passed those tests and is held locked; false refuses it, with the reason in
// `error`. The file keeps its inode, mode and owner. A ready file that another process holds
// locked (a writer still writing it over the file) is waited for, up to 10 seconds.
//
// `report` says what was done, what was refused and why, or what failed, in one line for the
// log; empty for kNonePending. Never throws for a bad file.
InterruptedRewrite finishInterruptedRewrite(
    const std::string& path, std::string& report,
    const std::function<bool(const std::string& readyPath, std::string& error)>& check = {});

}  // namespace quillmark

#endif  // QUILLMARK_ATOMICFILE_H
