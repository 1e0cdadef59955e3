// Atomic replacement of a file through a temporary file and rename(2).
#include "quillmark/AtomicFile.h"

#include "quillmark/FileHandle.h"
#include "quillmark/SystemError.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace quillmark {

namespace {

// The kernel's own bound on links followed while resolving one path.
const int kMaxSymlinkHops = 40;
// Keeps the temporary file's name within NAME_MAX (255) with its prefix and suffix.
const std::size_t kMaxTempNameStem = 200;
const int kMaxNameAttempts = 100;


// Removes the temporary file when the replacement does not get as far as the rename.
class TemporaryPath {
public:
    explicit TemporaryPath(std::string path) : path_(std::move(path)) {}
    ~TemporaryPath() {
        if (!committed_) ::unlink(path_.c_str());
    }
    TemporaryPath(const TemporaryPath&) = delete;
    TemporaryPath& operator=(const TemporaryPath&) = delete;

    const std::string& path() const { return path_; }
    void commit() { committed_ = true; }

private:
    std::string path_;
    bool committed_ = false;
};

std::string directoryOf(const std::string& path) {
    const std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    const std::string::size_type slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool readLink(const std::string& path, std::string& target, std::string& error) {
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t length = ::readlink(path.c_str(), buffer.data(), buffer.size());
        if (length < 0) {
            error = systemErrorText("readlink " + path, errno);
            return false;
        }
        if (static_cast<std::size_t>(length) < buffer.size()) {
            target.assign(buffer.data(), static_cast<std::size_t>(length));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// The path of the file that a chain of symbolic links ends in; the file need not exist yet
// (a dangling link names the file to create).
bool resolveLinks(const std::string& path, std::string& resolved, std::string& error) {
    std::string current = path;
    for (int hop = 0; hop <= kMaxSymlinkHops; ++hop) {
        struct stat info;
        if (::lstat(current.c_str(), &info) != 0) {
            if (errno == ENOENT) {
                resolved = current;
                return true;
            }
            error = systemErrorText("lstat " + current, errno);
            return false;
        }
        if (!S_ISLNK(info.st_mode)) {
            resolved = current;
            return true;
        }
        std::string target;
        if (!readLink(current, target, error)) return false;
        current = (!target.empty() && target[0] == '/') ? target
                                                        : directoryOf(current) + "/" + target;
    }
    error = systemErrorText("resolve " + path, ELOOP);
    return false;
}

// Creates a new file beside `target` that nobody else has opened (O_EXCL); the kernel applies
// the umask to its 0644.
int createTemporaryFile(const std::string& target, std::string& tempPath, std::string& error) {
    static std::atomic<unsigned long> sequence(0);
    const std::string stem =
        directoryOf(target) + "/." + nameOf(target).substr(0, kMaxTempNameStem) + ".tmp";
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
        const unsigned long long clock = static_cast<unsigned long long>(
            std::chrono::steady_clock::now().time_since_epoch().count());
        tempPath = stem + std::to_string(::getpid()) + "." + std::to_string(sequence++) + "." +
                   std::to_string(clock % 1000000007ULL);
        const int fd = ::open(tempPath.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0) return fd;
        if (errno != EEXIST) {
            error = systemErrorText("create " + tempPath, errno);
            return -1;
        }
    }
    error = systemErrorText("create " + stem, EEXIST);
    return -1;
}

// Gives the new file the old one's owner first, then its mode: chown clears set-id bits.
bool copyOwnerAndMode(int fd, const struct stat& old, const std::string& tempPath,
                      std::string& error) {
    struct stat fresh;
    if (::fstat(fd, &fresh) != 0) {
        error = systemErrorText("fstat " + tempPath, errno);
        return false;
    }
    if ((fresh.st_uid != old.st_uid || fresh.st_gid != old.st_gid) &&
        ::fchown(fd, old.st_uid, old.st_gid) != 0) {
        error = systemErrorText("chown " + tempPath, errno);
        return false;
    }
    if (::fchmod(fd, old.st_mode & 07777) != 0) {
        error = systemErrorText("chmod " + tempPath, errno);
        return false;
    }
    return true;
}

// Makes the rename itself durable. Some file systems refuse fsync on a directory; the new file
// is complete either way, so this is best effort.
void syncDirectory(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

bool replaceFileAtomically(const std::string& path,
                           const std::function<bool(std::FILE*)>& writeContents,
                           std::string& error) {
    std::string target;
    if (!resolveLinks(path, target, error)) return false;

    struct stat old;
    bool exists = false;
    if (::stat(target.c_str(), &old) == 0) {
        if (!S_ISREG(old.st_mode)) {
            error = target + " is not a regular file";
            return false;
        }
        exists = true;
    } else if (errno != ENOENT) {
        error = systemErrorText("stat " + target, errno);
        return false;
    }

    std::string tempName;
    const int fd = createTemporaryFile(target, tempName, error);
    if (fd < 0) return false;
    TemporaryPath temporary(tempName);

    if (exists && !copyOwnerAndMode(fd, old, temporary.path(), error)) {
        ::close(fd);
        return false;
    }
    FileHandle file(::fdopen(fd, "wb"));
    if (!file) {
        error = systemErrorText("fdopen " + temporary.path(), errno);
        ::close(fd);
        return false;
    }

    errno = 0;
    const bool written = writeContents(file.get());
    if (!written || std::ferror(file.get())) {
        const int cause = errno;
        error = cause != 0 ? systemErrorText("write " + temporary.path(), cause)
                           : "write " + temporary.path() + ": the contents could not be written";
        return false;
    }
    if (std::fflush(file.get()) != 0) {
        error = systemErrorText("flush " + temporary.path(), errno);
        return false;
    }
    if (::fsync(::fileno(file.get())) != 0) {
        error = systemErrorText("fsync " + temporary.path(), errno);
        return false;
    }
    // fclose releases the stream whether or not it succeeds.
    if (std::fclose(file.release()) != 0) {
        error = systemErrorText("close " + temporary.path(), errno);
        return false;
    }
    if (::rename(temporary.path().c_str(), target.c_str()) != 0) {
        error = systemErrorText("rename " + temporary.path() + " to " + target, errno);
        return false;
    }
    temporary.commit();
    syncDirectory(directoryOf(target));
    return true;
}

bool replaceFileAtomically(const std::string& path, const std::string& contents,
                           std::string& error) {
    return replaceFileAtomically(
        path,
        [&contents](std::FILE* file) {
            return std::fwrite(contents.data(), 1, contents.size(), file) == contents.size();
        },
        error);
}

}  // namespace quillmark
