#include "quillmark/FileLogger.h"

#include <zthread/Guard.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Gives the open log file to the service user. Done through the descriptor, never by path, so a
// link planted at the path cannot redirect the change; skipped when the user does not exist.
void giveToServiceUser(int fd) {
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

void writeAll(int fd, const std::string& text) {
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // disk full or I/O error: this line is lost
        data += n;
        left -= static_cast<size_t>(n);
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
    // No O_TRUNC: after a rotation the name is free and a new file is created; when the rotation
    // could not move the file aside, appending keeps its lines.
    fd_ = ::open(fileName_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd_ >= 0) giveToServiceUser(fd_);
}

void FileLogger::debug(const std::string& message, const char* file, int line) { log(message, 5, file, line); }
void FileLogger::info(const std::string& message, const char* file, int line) { log(message, 4, file, line); }
void FileLogger::warn(const std::string& message, const char* file, int line) { log(message, 3, file, line); }
void FileLogger::error(const std::string& message, const char* file, int line) { log(message, 2, file, line); }
void FileLogger::fatal(const std::string& message, const char* file, int line) { log(message, 1, file, line); }
void FileLogger::trace(const std::string& message, const char* file, int line) { log(message, 6, file, line); }

void FileLogger::log(const std::string& message, int level, const char* file, int line) noexcept {
    try {
        ZThread::Guard<ZThread::FastMutex> guard(lock_);
        if (fd_ < 0) return;

        time_t now = time(nullptr);
        struct tm local;
        localtime_r(&now, &local);

        char header[1024];
        if (isDebugEnabled()) {
            snprintf(header, sizeof header,
                     "|%s\t|%.4d-%.2d-%.2d|%.2d:%.2d:%.2d|Thread[%6li]|[%s:%d]|\t",
                     levelName(level), local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                     local.tm_hour, local.tm_min, local.tm_sec, static_cast<long>(getpid()),
                     file ? file : "", line);
        } else {
            snprintf(header, sizeof header, "|%s\t|%.4d-%.2d-%.2d|%.2d:%.2d:%.2d|\t|\t|\t",
                     levelName(level), local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                     local.tm_hour, local.tm_min, local.tm_sec);
        }

        std::string text(header);
        text.reserve(text.size() + message.size() + 1);
        text += message;
        text += '\n';
        writeAll(fd_, text);
        rotate();
    } catch (...) {
        // Out of memory or a lock failure: the line is dropped rather than the caller disturbed.
    }
}

void FileLogger::rotate() noexcept {
    if (fd_ < 0) return;
    // The open descriptor's size, not the path's: no path lookup per line, and the same size,
    // since the daemon's standard output and error append to this same file (opened apart).
    struct stat info;
    if (::fstat(fd_, &info) != 0) return;
    const long long limit = static_cast<long long>(maxSizeMB_) * 1048576LL;
    if (static_cast<long long>(info.st_size) <= limit) return;

    // rename() replaces an older ".old" file in one step.
    const std::string oldName = fileName_ + ".old";
    close();
    if (::rename(fileName_.c_str(), oldName.c_str()) != 0) {
        // The file could not be moved aside: reopen it for appending so no line is lost.
    }
    openFile();
}

void FileLogger::close() noexcept {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
}

}  // namespace quillmark
