#include "quillmark/FileHandle.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace

FileHandle openFileForReading(const std::string& path, ReadableKinds accepted) {
    // Without O_NONBLOCK the open of a FIFO waits for a writer, for ever when none comes.
    // O_NOCTTY: a terminal device opened here must not become the controlling terminal.
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd.isOpen()) return FileHandle();
    struct stat status;
    if (::fstat(fd.get(), &status) != 0) return failedOpen(fd, errno);
    if (!isAccepted(status.st_mode, accepted)) return failedOpen(fd, EINVAL);
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return failedOpen(fd, errno);
    }
    FileHandle stream(::fdopen(fd.get(), "rb"));
    if (!stream) return failedOpen(fd, errno);
    fd.release();
    return stream;
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
