// The log file: one line per message with a header of level, local date and time and, when the
// configured level enables debug output, the process id and the source position.
//
// Every line (header, message, newline) is written with one writev() to a descriptor opened in
// append mode, so a line is on disk (in the page cache) as soon as log() returns and lines of
// different threads never interleave; the message is not copied on the way. When the file grows
// past maxSizeMB MiB it is moved to its name with ".old" appended and a new file is started.
// Whenever the logger opens its file it hands it to the service user "quillmar" (when that user
// exists), unless it is a device: a device keeps its owner.
//
// Rotation and other writers. Standard output and error that name the file being left (the
// daemon's, which append to the log through descriptors of their own) are made to name the new
// file, so what the commands started after a rotation print goes to the current log rather than
// to ".old" or to a deleted file; other standard streams are left alone. When the path no longer
// names the open file (another process has already moved it aside), nothing is renamed: the line
// that found the limit passed ends that earlier generation, the logger goes on in the file now at
// the path, and the earlier generation stays in ".old".
//
// Opening never waits, and takes only a regular file or a character device ("/dev/null"): a
// FIFO, a socket, a directory or a block device at the path counts as a file that cannot be
// opened. A file that cannot be opened (at construction or after a rotation) is tried again on
// a later line, at most about once a second; the lines in between are lost.
//
// A rotation that cannot move the file aside (a directory or a mount point at ".old") leaves it
// in use under its name. The failure is logged with its reason at ERROR level at most once a
// minute and the rotation tried again at most once a second; once the file has passed twice
// the limit it is emptied and starts over with an ERROR line that says why, so that after a
// line it never holds more than twice the limit. When it cannot even be emptied (an append-only
// file), the lines after the one that passed the bound are dropped until a later attempt frees
// it.
//
// Thread safety: every method may be called from any thread; lock_ serialises writing, rotation
// and closing. A thread that holds lock_ must never log again (the lock is not recursive).
#ifndef QUILLMARK_FILELOGGER_H
#define QUILLMARK_FILELOGGER_H

#include "quillmark/Logable.h"

#include <zthread/FastMutex.h>

#include <sys/types.h>

#include <chrono>
#include <string>

namespace quillmark {

class FileLogger : public Logable {
public:
    // Opens `fileName` for appending (created when missing, never through a symbolic link).
    // A failed open is not reported: the logger writes nothing until a later line manages to
    // open the file. An empty name opens nothing, ever.
    FileLogger(const char* fileName, int level, int maxSizeMB);
    ~FileLogger() override;

    FileLogger(const FileLogger&) = delete;
    FileLogger& operator=(const FileLogger&) = delete;

    bool isDebugEnabled() override { return level_ > 4; }
    bool isInfoEnabled() override { return level_ > 3; }
    bool isWarnEnabled() override { return level_ > 2; }
    bool isErrorEnabled() override { return level_ > 1; }
    bool isFatalEnabled() override { return level_ > 0; }

    void debug(const std::string& message, const char* file, int line) override;
    void info(const std::string& message, const char* file, int line) override;
    void warn(const std::string& message, const char* file, int line) override;
    void error(const std::string& message, const char* file, int line) override;
    void fatal(const std::string& message, const char* file, int line) override;

    virtual bool isTraceEnabled() { return level_ > 5; }
    // Trace lines are written under the name "DEBUG".
    virtual void trace(const std::string& message, const char* file, int line);
    // Writes one line whatever the configured level; level numbers outside 1..4 are named
    // "DEBUG". Never throws.
    virtual void log(const std::string& message, int level, const char* file, int line) noexcept;

    // Both expect lock_ to be held. Never throw.
    void rotate() noexcept;
    void close() noexcept;

private:
    // Which file a descriptor names.
    struct FileIdentity {
        dev_t device = 0;
        ino_t inode = 0;
        bool known = false;
    };

    // All expect lock_ to be held.
    void openFile() noexcept;
    // One line in the log's format, without the rotation check.
    void writeLine(const std::string& message, int level, const char* file, int line) noexcept;
    // A rotation that failed with `error`: the next attempt a second after `now`, the report at
    // most once a minute, and, `pastBound`, the file started over.
    void rotationFailed(int error, std::chrono::steady_clock::time_point now,
                        bool pastBound) noexcept;
    // Empties the open file and writes why as its first line.
    void startOver() noexcept;
    // True when a file is open, after an attempt to open it when one is due.
    bool openWhenDue() noexcept;
    void moveStandardStreams() noexcept;

    const int level_;
    const std::string fileName_;
    const int maxSizeMB_;
    // Guarded by lock_, as is every member below it but lock_; -1 while no file is open.
    int fd_;
    // When a closed logger may try to open its file again.
    std::chrono::steady_clock::time_point nextOpenAttempt_;
    // The file the last rotation left, while standard streams naming it still have to follow.
    FileIdentity leftBehind_;
    // When a failed rotation may be tried again, and reported again; the reason it failed.
    std::chrono::steady_clock::time_point nextRotationAttempt_;
    std::chrono::steady_clock::time_point nextRotationReport_;
    int rotationError_ = 0;
    // The open file is past twice the limit and could not be emptied: lines are dropped.
    bool stuckPastBound_ = false;
    ZThread::FastMutex lock_;
};

}  // namespace quillmark

#endif  // QUILLMARK_FILELOGGER_H
