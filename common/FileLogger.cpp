#include "quillmark/FileLogger.h"

#include "quillmark/FileHandle.h"
#include "quillmark/SystemError.h"

#include <zthread/Guard.h>

#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <cerrno>
#include <ctime>

#include <atomic>
#include <vector>

namespace quillmark {

namespace {

const char* levelName(int level) {
    switch (level) {
    case 1: return "FATAL";
    case 2: return "ERROR";
    case 3: return "WARN";
    case 4: return "INFO";
    default: return "DEBUG";
    }
}

// The process id of the debug header, fetched once instead of by a system call on every line.
// The child of a fork() forgets it (the daemon forks to detach after its first lines); children
// started by posix_spawn() run no fork handler, but they exec at once and log nothing.
std::atomic<long> cachedProcessId(0);

void forgetProcessId() { cachedProcessId.store(0, std::memory_order_relaxed); }

long processId() {
    static const bool forgottenInChildren =
        ::pthread_atfork(nullptr, nullptr, forgetProcessId) == 0;
    long id = cachedProcessId.load(std::memory_order_relaxed);
    if (id == 0) {
        id = static_cast<long>(::getpid());
        if (forgottenInChildren) cachedProcessId.store(id, std::memory_order_relaxed);
    }
    return id;
}

// Gives the open log file to the service user. Done through the descriptor, never by path, so a
// link planted at the path cannot redirect the change; skipped when the user does not exist, and
// for a device ("/dev/null"), whose owner decides who else may use it.
void giveToServiceUser(int fd) {
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd entry;
    struct passwd* found = nullptr;
    if (getpwnam_r("quillmar", &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr) {
        if (fchown(fd, found->pw_uid, found->pw_gid) != 0) {
            // The process may not give files away; the file keeps its owner.
        }
    }
}

// The line's header, built in place of snprintf (which took most of the time of a short line).
// It holds at most 1023 characters, as the 1024-byte buffer of the line format allows; the rest
// of a longer header is cut.
class Header {
public:
    void text(const char* part) {
        while (*part != '\0' && size_ < kCapacity) bytes_[size_++] = *part++;
    }
    // `value` in decimal with at least `digits` digits, padded with blanks to `width`: what
    // "%.<digits>d" and "%<width>ld" print.
    void number(long value, int digits, int width = 0) {
        char reversed[24];
        int count = 0;
        unsigned long magnitude =
            value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
        do {
            reversed[count++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        while (count < digits) reversed[count++] = '0';
        if (value < 0) reversed[count++] = '-';
        for (int pad = width - count; pad > 0 && size_ < kCapacity; --pad) bytes_[size_++] = ' ';
        while (count > 0 && size_ < kCapacity) bytes_[size_++] = reversed[--count];
    }
    const char* data() const { return bytes_; }
    std::size_t size() const { return size_; }

private:
    static const std::size_t kCapacity = 1023;
    char bytes_[kCapacity];
    std::size_t size_ = 0;
};

// Writes the pieces in order with as few calls as the kernel allows; a line of several pieces
// is still one append to the file as long as the first call takes it whole.
void writeAll(int fd, struct iovec* pieces, int count) {
    while (count > 0) {
        const ssize_t n = ::writev(fd, pieces, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // disk full or I/O error: this line is lost
        std::size_t done = static_cast<std::size_t>(n);
        while (count > 0 && done >= pieces->iov_len) {
            done -= pieces->iov_len;
            ++pieces;
            --count;
        }
        if (count > 0) {
            pieces->iov_base = static_cast<char*>(pieces->iov_base) + done;
            pieces->iov_len -= done;
        }
    }
}

}  // namespace

FileLogger::FileLogger(const char* fileName, int level, int maxSizeMB)
    : level_(level), fileName_(fileName ? fileName : ""), maxSizeMB_(maxSizeMB), fd_(-1) {
    ZThread::Guard<ZThread::FastMutex> guard(lock_);
    openFile();
}

FileLogger::~FileLogger() {
    ZThread::Guard<ZThread::FastMutex> guard(lock_);
    close();
}

void FileLogger::openFile() noexcept {
    if (fileName_.empty()) return;
    // No O_TRUNC: after a rotation the name is free and a new file is created; when another
    // writer has started the new file, appending keeps its lines. The open never waits (a FIFO
    // at the path would hold lock_, and with it every thread that logs, until a reader came) and
    // takes only a file or a character device such as "/dev/null".
    fd_ = openForWriting(fileName_, true, 0644, WritableKinds::kRegularOrCharacterDevice);
    if (fd_ < 0) {
        // No free inode, no descriptor left, a read-only moment, something else at the path: a
        // later line tries again, but a failing disk must not cost an open per line.
        nextOpenAttempt_ = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        return;
    }
    giveToServiceUser(fd_);
    moveStandardStreams();
}

bool FileLogger::openWhenDue() noexcept {
    if (fd_ >= 0) return true;
    if (fileName_.empty() || std::chrono::steady_clock::now() < nextOpenAttempt_) return false;
    openFile();
    return fd_ >= 0;
}

void FileLogger::moveStandardStreams() noexcept {
    if (!leftBehind_.known) return;
    const FileIdentity left = leftBehind_;
    leftBehind_.known = false;
    struct stat current;
    if (::fstat(fd_, &current) != 0) return;
    if (current.st_dev == left.device && current.st_ino == left.inode) return;  // not moved
    for (const int stream : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat named;
        if (stream != fd_ && ::fstat(stream, &named) == 0 && named.st_dev == left.device &&
            named.st_ino == left.inode) {
            // The copy is not close-on-exec: the commands the daemon runs print here.
            ::dup2(fd_, stream);
        }
    }
}

void FileLogger::debug(const std::string& message, const char* file, int line) {
    log(message, 5, file, line);
}
void FileLogger::info(const std::string& message, const char* file, int line) {
    log(message, 4, file, line);
}
void FileLogger::warn(const std::string& message, const char* file, int line) {
    log(message, 3, file, line);
}
void FileLogger::error(const std::string& message, const char* file, int line) {
    log(message, 2, file, line);
}
void FileLogger::fatal(const std::string& message, const char* file, int line) {
    log(message, 1, file, line);
}
void FileLogger::trace(const std::string& message, const char* file, int line) {
    log(message, 6, file, line);
}

void FileLogger::log(const std::string& message, int level, const char* file, int line) noexcept {
    try {
        ZThread::Guard<ZThread::FastMutex> guard(lock_);
        if (!openWhenDue()) return;
        if (stuckPastBound_) {
            // Neither moved aside nor emptied: lines wait for the next attempt, which may free
            // the file, instead of growing it further.
            if (std::chrono::steady_clock::now() < nextRotationAttempt_) return;
            stuckPastBound_ = false;
            rotate();
            if (stuckPastBound_ || fd_ < 0) return;
        }
        writeLine(message, level, file, line);
        rotate();
    } catch (...) {
        // A lock failure: the line is dropped rather than the caller disturbed.
    }
}

void FileLogger::writeLine(const std::string& message, int level, const char* file,
                           int line) noexcept {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);

    Header header;
    header.text("|");
    header.text(levelName(level));
    header.text("\t|");
    header.number(local.tm_year + 1900, 4);
    header.text("-");
    header.number(local.tm_mon + 1, 2);
    header.text("-");
    header.number(local.tm_mday, 2);
    header.text("|");
    header.number(local.tm_hour, 2);
    header.text(":");
    header.number(local.tm_min, 2);
    header.text(":");
    header.number(local.tm_sec, 2);
    if (isDebugEnabled()) {
        header.text("|Thread[");
        header.number(processId(), 1, 6);
        header.text("]|[");
        header.text(file ? file : "");
        header.text(":");
        header.number(line, 1);
        header.text("]|\t");
    } else {
        header.text("|\t|\t|\t");
    }

    // The message is written from where it is: a large reply is not copied into the line.
    char newline = '\n';
    struct iovec pieces[3] = {
        {const_cast<char*>(header.data()), header.size()},
        {const_cast<char*>(message.data()), message.size()},
        {&newline, 1},
    };
    writeAll(fd_, pieces, 3);
}

void FileLogger::rotate() noexcept {
    if (fd_ < 0) return;
    // The open descriptor's size, not the path's: no path lookup per line, and the same size,
    // since the daemon's standard output and error append to this same file (opened apart).
    struct stat opened;
    if (::fstat(fd_, &opened) != 0) return;
    const long long limit = static_cast<long long>(maxSizeMB_) * 1048576LL;
    const long long size = static_cast<long long>(opened.st_size);
    if (size <= limit) return;
    // A rotation that failed is tried again a second later, not on every line; only a file
    // past twice its limit is looked at before that.
    const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    const bool pastBound = size > 2 * limit;
    const bool attemptDue = now >= nextRotationAttempt_;
    if (!attemptDue && !pastBound) return;

    // Another process writing the same log (a second instance, a log tool) may have moved the
    // file aside already: renaming the path then would put its new file over the generation it
    // kept. The path is only looked up once the open file has grown past the limit.
    struct stat named;
    if (::lstat(fileName_.c_str(), &named) != 0) {
        const int error = errno;
        if (error != ENOENT) {
            // The path cannot be looked at now, so which file it names is unknown: the open one
            // is not emptied, it may be a generation another writer moved aside.
            if (attemptDue) rotationFailed(error, now, false);
            return;
        }
    } else if (named.st_dev == opened.st_dev && named.st_ino == opened.st_ino) {
        if (attemptDue) {
            // rename() replaces an older ".old" file in one step.
            const std::string oldName = fileName_ + ".old";
            if (::rename(fileName_.c_str(), oldName.c_str()) != 0) {
                // A directory or a mount point at ".old", a read-only moment: the file stays the
                // log, and is kept open.
                rotationFailed(errno, now, pastBound);
                return;
            }
        } else {
            startOver();
            return;
        }
    }
    // Moved aside here or by the other writer (a missing path: it has not started a new file
    // yet), the log goes on in the file at the path.
    leftBehind_ = FileIdentity{opened.st_dev, opened.st_ino, true};
    close();
    openFile();
}

void FileLogger::rotationFailed(int error, std::chrono::steady_clock::time_point now,
                                bool pastBound) noexcept {
    rotationError_ = error;
    nextRotationAttempt_ = now + std::chrono::seconds(1);
    if (pastBound) {
        // The new file's first line reports the failure.
        startOver();
        nextRotationReport_ = now + std::chrono::minutes(1);
        return;
    }
    if (now < nextRotationReport_ || !isErrorEnabled()) return;
    nextRotationReport_ = now + std::chrono::minutes(1);
    try {
        writeLine("Cannot rotate log file [" + fileName_ + "] to [" + fileName_ + ".old] [" +
                      systemErrorReason(error) + "]",
                  2, __FILE__, __LINE__);
    } catch (...) {
        // No memory for the text: the report is dropped.
    }
}

void FileLogger::startOver() noexcept {
    // Every writer of the file appends (the daemon's standard output and error as well), so each
    // goes on at the new end; nothing writes at an offset of its own.
    if (::ftruncate(fd_, 0) != 0) {
        stuckPastBound_ = true;
        return;
    }
    stuckPastBound_ = false;
    if (!isErrorEnabled()) return;
    try {
        writeLine("Log file [" + fileName_ + "] started over: it passed twice its limit of " +
                      std::to_string(static_cast<long long>(maxSizeMB_) * 1048576LL) +
                      " bytes and cannot be rotated [" + systemErrorReason(rotationError_) + "]",
                  2, __FILE__, __LINE__);
    } catch (...) {
        // No memory for the text: the file starts empty.
    }
}

void FileLogger::close() noexcept {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
    stuckPastBound_ = false;
}

}  // namespace quillmark
