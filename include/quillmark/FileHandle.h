// Owning a stdio stream or a file descriptor, opening a file for reading, and reading a stream
// line by line.
//
// FileHandle closes its stream, and Descriptor its descriptor, when it goes out of scope, on
// every path. openFileForReading is the one way to open a file whose path comes from the
// configuration or a request, openForWriting the one way to open the log file, the daemon's
// output and its PID file: neither waits in the open. readLine reads one
// whole line whatever its length and whatever bytes it holds, so no caller parses the tail of a
// long line as a line of its own. Any thread; a stream is used by one thread at a time.
#ifndef QUILLMARK_FILEHANDLE_H
#define QUILLMARK_FILEHANDLE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <memory>
#include <string>

namespace quillmark {

struct FileCloser {
    void operator()(std::FILE* file) const {
        if (file != nullptr) std::fclose(file);
    }
};
typedef std::unique_ptr<std::FILE, FileCloser> FileHandle;

// Owns a file descriptor (-1: none) and closes it on destruction; the result of that close is
// not looked at, so a caller that must know it takes the descriptor back with release().
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor();
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}

    int get() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }
    // Closes the descriptor now.
    void reset();
    // Gives the descriptor up without closing it.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// The kinds of file openFileForReading hands out.
enum class ReadableKinds {
    // Only a regular file.
    kRegularOnly,
    // Anything but a FIFO or a socket: a device or a directory opens as fopen would open it.
    kAllButFifoOrSocket,
};

// Opens `path` for reading as a binary stream, close-on-exec. The open itself does not block: a
// FIFO is opened without waiting for a writer and then refused, as a socket is, and the kind is
// checked on the opened descriptor, so a path swapped meanwhile cannot slip through. Blocking
// reads are restored before the stream is made, so an accepted device reads as it would through
// fopen. Returns a null handle when the open fails (errno from the system) or the kind is not
// accepted (errno EINVAL).
FileHandle openFileForReading(const std::string& path, ReadableKinds accepted);

// Opens a regular file at `path` for reading as openFileForReading does, as a descriptor for
// reads of its own: close-on-exec, without waiting in the open, and only when the opened
// descriptor is a regular file, whose fstat() goes to `status`. The descriptor keeps O_NONBLOCK,
// which reads of a regular file do not heed. Not open when the open or fstat() fails (errno from
// the system) or the file is not regular (errno EINVAL).
Descriptor openRegularFileDescriptor(const std::string& path, struct stat& status);

// Opens `path` for writing as a binary stream, close-on-exec, created (mode 0666 less the umask)
// when missing, its contents kept and every write at its end with `append`, emptied without.
// Only a regular file is handed out, and the open never waits: a FIFO without a reader fails
// at once, one with a reader or any other file that is not regular is refused (errno EINVAL).
FileHandle openRegularFileForWriting(const std::string& path, bool append);

// The kinds of file openForWriting hands out.
enum class WritableKinds {
    kRegularOnly,
    // A regular file or a character device, so that "/dev/null" serves.
    kRegularOrCharacterDevice,
};

// Opens `path` write-only, close-on-exec, created with `mode` (less the umask) when missing, its
// contents kept and, with `append`, every write at its end; never through a symbolic link, and
// without making a terminal the controlling one. The open never waits, and the kind is checked
// on the opened descriptor, which then blocks again as a plain open leaves it. Returns the
// descriptor, owned by the caller, or -1 with errno EINVAL when the path names a kind
// `accepted` does not take (a FIFO, with or without a reader, a socket, a directory, a block
// device), otherwise the error of the open (ELOOP for a symbolic link).
int openForWriting(const std::string& path, bool append, mode_t mode, WritableKinds accepted);

// The next line of `file` into `line`, without its line feed. False at the end of the file, or
// on a read error (ferror tells which), when nothing was read.
bool readLine(std::FILE* file, std::string& line);

}  // namespace quillmark

#endif  // QUILLMARK_FILEHANDLE_H
