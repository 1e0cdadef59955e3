#include "ReplaceFile.h"

#include "quillmark/SystemError.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace quillmark {

namespace {

// Keeps the temporary file's name within NAME_MAX (255) with its prefix and suffix.
const std::size_t kMaxTempNameStem = 200;
const int kMaxTempNameAttempts = 100;

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int get() const { return fd_; }
    // Closes now, reporting close's result (a delayed write error shows here).
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

// Unlinks the temporary file unless the rename put it in place.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
    ~TemporaryFile() {
        if (!committed_) ::unlink(path_.c_str());
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    const std::string& path() const { return path_; }
    void commit() { committed_ = true; }

private:
    std::string path_;
    bool committed_ = false;
};

bool writeAll(int fd, const std::string& contents) {
    std::size_t done = 0;
    while (done < contents.size()) {
        const ssize_t written = ::write(fd, contents.data() + done, contents.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

bool replaceFile(const std::string& path, const std::string& contents, std::string& error) {
    std::string target = path;
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
        target = resolved;
        std::free(resolved);
    }
    struct stat existing;
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        error = target + " is not a regular file";
        return false;
    }
    const std::string::size_type slash = target.find_last_of('/');
    const std::string directory =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);

    static std::atomic<unsigned> sequence(0);
    std::unique_ptr<TemporaryFile> temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < kMaxTempNameAttempts; ++attempt) {
        const std::string candidate = directory + "/." + name.substr(0, kMaxTempNameStem) +
                                      ".tmp" + std::to_string(::getpid()) + "." +
                                      std::to_string(sequence++);
        fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            temporary.reset(new TemporaryFile(candidate));
        } else if (errno != EEXIST) {
            error = systemErrorText("create " + candidate, errno);
            return false;
        }
    }
    if (fd < 0) {
        error = "no free temporary name beside " + target;
        return false;
    }
    Descriptor file(fd);
    if (exists && ::fchmod(file.get(), existing.st_mode & 07777) != 0) {
        error = systemErrorText("chmod " + temporary->path(), errno);
        return false;
    }
    if (!writeAll(file.get(), contents)) {
        error = systemErrorText("write " + temporary->path(), errno);
        return false;
    }
    if (::fsync(file.get()) != 0) {
        error = systemErrorText("fsync " + temporary->path(), errno);
        return false;
    }
    if (!file.close()) {
        error = systemErrorText("close " + temporary->path(), errno);
        return false;
    }
    if (::rename(temporary->path().c_str(), target.c_str()) != 0) {
        error = systemErrorText("rename " + temporary->path() + " to " + target, errno);
        return false;
    }
    temporary->commit();
    return true;
}

}  // namespace quillmark
