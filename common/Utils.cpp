// The utility functions of Utils and the clock readings.
#include "quillmark/Utils.h"

#include "quillmark/FileHandle.h"
#include "quillmark/Log.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace quillmark {
namespace Utils {

namespace {

const unsigned kHexDumpRowBytes = 16;
const unsigned kHexDumpGroupBytes = 4;

// Makes `target` (one of 0, 1, 2) refer to the file open on `fd`. dup2 gives the copy a clear
// close-on-exec flag; when `fd` already is `target` (the standard descriptor was closed before
// the open), the O_CLOEXEC of the open is cleared by hand so the stream survives exec.
bool installStandardDescriptor(int fd, int target) {
    if (fd == target) return ::fcntl(fd, F_SETFD, 0) == 0;
    return ::dup2(fd, target) == target;
}

}  // namespace

std::string baseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

char upperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool equalsIgnoreCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && startsWithIgnoreCase(a, b);
}

bool startsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (lowerAscii(text[i]) != lowerAscii(prefix[i])) return false;
    }
    return true;
}

std::string workingDirectory() {
    char* directory = ::getcwd(nullptr, 0);
    if (directory == nullptr) return std::string();
    const std::string path(directory);
    std::free(directory);
    return path;
}

std::string pathFrom(const std::string& directory, const std::string& path) {
    if (path.empty() || path[0] == '/' || directory.empty()) return path;
    return directory.back() == '/' ? directory + path : directory + "/" + path;
}

std::string absolutePath(const std::string& path) { return pathFrom(workingDirectory(), path); }

pid_t forkProcess() {
    std::fflush(stdout);
    std::fflush(stderr);
    return ::fork();
}

void redirectOutput(const char* fileName) {
    const std::string name = fileName != nullptr ? fileName : "";

    // Replacing descriptor 0 with dup2 instead of close-then-open leaves no moment in which a
    // concurrent open could take descriptor 0. The outcome is deliberately not checked.
    // When standard output or error is closed the open lands there; that descriptor is only a
    // temporary and is released so the output file can take it.
    const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (input >= 0) {
        installStandardDescriptor(input, STDIN_FILENO);
        if (input != STDIN_FILENO) ::close(input);
    }

    // Opened as the log file is: never through a link (the daemon runs as root, and a link
    // planted at the path would have it append to, or create, whatever file the link names) and
    // never waiting in the open. A path that names no file to append to (a FIFO, say) sends
    // both streams to "/dev/null": the daemon must not keep the launcher's terminal or pipe.
    int output = name.empty()
                     ? ::open("/dev/null", O_WRONLY | O_CLOEXEC)
                     : openForWriting(name, true, 0666, WritableKinds::kRegularOrCharacterDevice);
    if (output < 0) {
        const bool nothingToAppendTo = errno == EINVAL;
        QM_LOG_DEBUG("Cannot open file " << name << " for redirecting stderr/stdout");
        if (nothingToAppendTo) output = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (output < 0) return;
    }
    // Text still buffered belongs to the old destinations.
    std::fflush(stdout);
    std::fflush(stderr);
    if (!installStandardDescriptor(output, STDERR_FILENO)) {
        QM_LOG_DEBUG("Cannot redirect stderr to file " << name);
    }
    if (!installStandardDescriptor(output, STDOUT_FILENO)) {
        QM_LOG_DEBUG("Cannot redirect stdout to file " << name);
    }
    // The open may have returned 0, 1 or 2 when the process started with that descriptor closed;
    // it is then one of the standard streams and must stay open.
    if (output > STDERR_FILENO) ::close(output);
}

void openClosedStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lower descriptors are open by now, so the open takes this one.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) ::close(opened);
    }
}

void hexDump(const char* data, unsigned length, FILE* out) {
    std::fputs("\n", out);
    std::fputs("Len  -                 Hex                        ASCII        \n", out);
    std::fputs("---- - -----------------------------------  ------------------ \n", out);
    for (unsigned offset = 0; offset < length; offset += kHexDumpRowBytes) {
        const unsigned rowBytes =
            length - offset < kHexDumpRowBytes ? length - offset : kHexDumpRowBytes;
        std::fprintf(out, "%04X - ", offset);
        for (unsigned i = 0; i < kHexDumpRowBytes; ++i) {
            if (i < rowBytes) {
                std::fprintf(out, "%02X", static_cast<unsigned char>(data[offset + i]));
            } else {
                std::fputs("  ", out);
            }
            if ((i + 1) % kHexDumpGroupBytes == 0) std::fputc(' ', out);
        }
        std::fputs(" |", out);
        for (unsigned i = 0; i < kHexDumpRowBytes; ++i) {
            if (i < rowBytes) {
                const unsigned char byte = static_cast<unsigned char>(data[offset + i]);
                std::fputc(byte >= 0x20 && byte <= 0x7F ? byte : '.', out);
            } else {
                std::fputc(' ', out);
            }
        }
        std::fputs("|\n", out);
    }
}

std::string timeString() {
    // gettimeofday gives what ftime (deprecated in glibc) would: whole seconds and milliseconds.
    struct timeval now;
    ::gettimeofday(&now, nullptr);
    return std::to_string(static_cast<long long>(now.tv_sec)) + " sec, " +
           std::to_string(static_cast<long>(now.tv_usec / 1000)) + " msec";
}

}  // namespace Utils

double getCurrentTimeMillis() {
    struct timeval now;
    ::gettimeofday(&now, nullptr);
    return static_cast<double>(static_cast<std::int64_t>(now.tv_sec) * 1000) + now.tv_usec / 1000.0;
}

double getCurrentTimeSeconds() {
    struct timeval now;
    ::gettimeofday(&now, nullptr);
    return static_cast<double>(now.tv_sec) + now.tv_usec * 0.000001;
}

std::int32_t getCurrentTimeSecondsInt() {
    return static_cast<std::int32_t>(getCurrentTimeSeconds());
}

}  // namespace quillmark
