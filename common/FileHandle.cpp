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

// Closes `fd` and leaves `error` in errno, which the close may have changed.
void closeWithError(Descriptor& fd, int error) {
    fd.reset();
    errno = error;
}

// Whether `fd`, opened with O_NONBLOCK, is open on a file of a kind `accepted` takes, its
// fstat() in `status`; otherwise it is closed and false given with errno set (EINVAL for a kind
// not taken).
template <typename Accepted>
bool checkKind(Descriptor& fd, Accepted accepted, struct stat& status) {
    if (!fd.isOpen()) return false;
    if (::fstat(fd.get(), &status) != 0) {
        closeWithError(fd, errno);
        return false;
    }
    if (!accepted(status.st_mode)) {
        closeWithError(fd, EINVAL);
        return false;
    }
    return true;
}

// Keeps `fd`, opened with O_NONBLOCK, when its file is of a kind `accepted` takes: the
// descriptor then blocks again, as a plain open leaves it. Otherwise closes it and gives false
// with errno set.
template <typename Accepted>
bool keepWhenAccepted(Descriptor& fd, Accepted accepted) {
    struct stat status;
    if (!checkKind(fd, accepted, status)) return false;
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        closeWithError(fd, errno);
        return false;
    }
    return true;
}

// The stream on `fd`, opened with O_NONBLOCK, when its file is of a kind `accepted` takes.
template <typename Accepted>
FileHandle streamOnDescriptor(Descriptor& fd, Accepted accepted, const char* mode) {
    if (!keepWhenAccepted(fd, accepted)) return FileHandle();
    FileHandle stream(::fdopen(fd.get(), mode));
    if (!stream) {
        closeWithError(fd, errno);
        return FileHandle();
    }
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

int openForWriting(const std::string& path, bool append, mode_t mode, WritableKinds accepted) {
    Descriptor fd(::open(path.c_str(),
                         O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC |
                             (append ? O_APPEND : 0),
                         mode));
    // Without a reader a FIFO fails the open with ENXIO, as a socket does; a directory fails it
    // with EISDIR: all of them are paths that name no file to write to.
    if (!fd.isOpen() && (errno == ENXIO || errno == EISDIR)) errno = EINVAL;
    const bool taken = keepWhenAccepted(fd, [accepted](mode_t kind) {
        return S_ISREG(kind) ||
               (accepted == WritableKinds::kRegularOrCharacterDevice && S_ISCHR(kind));
    });
    return taken ? fd.release() : -1;
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
