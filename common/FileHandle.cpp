#include "quillmark/FileHandle.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>

namespace quillmark {

Descriptor::~Descriptor() { reset(); }

void Descriptor::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

namespace {

bool isAccepted(mode_t mode, ReadableKinds accepted) {
    if (accepted == ReadableKinds::kRegularOnly) return S_ISREG(mode);
    return !S_ISFIFO(mode) && !S_ISSOCK(mode);
}

// The null handle of a failed open, with `error` in errno once the descriptor is closed.
FileHandle failedOpen(Descriptor& fd, int error) {
    fd.reset();
    errno = error;
    return FileHandle();
}

// Whether `fd`, opened with O_NONBLOCK, is open on a file of a kind `accepted` takes, its
// fstat() in `status`; otherwise it is closed, errno telling why.
template <typename Accepted>
bool checkKind(Descriptor& fd, Accepted accepted, struct stat& status) {
    if (!fd.isOpen()) return false;
    if (::fstat(fd.get(), &status) != 0) {
        failedOpen(fd, errno);
        return false;
    }
    if (!accepted(status.st_mode)) {
        failedOpen(fd, EINVAL);
        return false;
    }
    return true;
}

// The stream on `fd`, opened with O_NONBLOCK, when its file is of a kind `accepted` takes;
// the descriptor then blocks again, as a plain open leaves it.
template <typename Accepted>
FileHandle streamOnDescriptor(Descriptor& fd, Accepted accepted, const char* mode) {
    struct stat status;
    if (!checkKind(fd, accepted, status)) return FileHandle();
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return failedOpen(fd, errno);
    }
    FileHandle stream(::fdopen(fd.get(), mode));
    if (!stream) return failedOpen(fd, errno);
    fd.release();
    return stream;
}

// Without O_NONBLOCK the open of a FIFO waits for a writer, for ever when none comes.
// O_NOCTTY: a terminal device opened here must not become the controlling terminal.
int openWithoutWaiting(const std::string& path) {
    return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

}  // namespace

FileHandle openFileForReading(const std::string& path, ReadableKinds accepted) {
    Descriptor fd(openWithoutWaiting(path));
    return streamOnDescriptor(
        fd, [accepted](mode_t mode) { return isAccepted(mode, accepted); }, "rb");
}

Descriptor openRegularFileDescriptor(const std::string& path, struct stat& status) {
    Descriptor fd(openWithoutWaiting(path));
    checkKind(
        fd, [](mode_t mode) { return S_ISREG(mode); }, status);
    return fd;
}

FileHandle openRegularFileForWriting(const std::string& path, bool append) {
    // O_TRUNC does nothing to a FIFO or a device, so emptying before the type check is safe.
    Descriptor fd(::open(
        path.c_str(),
        O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (append ? O_APPEND : O_TRUNC),
        0666));
    return streamOnDescriptor(
        fd, [](mode_t mode) { return S_ISREG(mode); }, append ? "ab" : "wb");
}

bool readLine(std::FILE* file, std::string& line) {
    char* buffer = nullptr;
    std::size_t capacity = 0;
    const ssize_t length = ::getline(&buffer, &capacity, file);
    std::unique_ptr<char, decltype(&std::free)> owned(buffer, &std::free);
    if (length < 0) return false;
    line.assign(buffer, static_cast<std::size_t>(length));
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return true;
}

}  // namespace quillmark
