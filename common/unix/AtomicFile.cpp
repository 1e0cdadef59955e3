// Atomic replacement of a file through a temporary file and rename(2).
#include "quillmark/AtomicFile.h"

#include "quillmark/FileHandle.h"
#include "quillmark/SystemError.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
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
// Readable by the file's owner only while it is written; its final mode comes before the
// rename.
const mode_t kTemporaryMode = 0600;
const mode_t kNewFileMode = 0644;
const std::size_t kCopyBufferSize = 64 * 1024;

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
        current =
            (!target.empty() && target[0] == '/') ? target : directoryOf(current) + "/" + target;
    }
    error = systemErrorText("resolve " + path, ELOOP);
    return false;
}

// The start of the names of `target`'s temporary files, without the directory.
std::string temporaryNameStem(const std::string& target) {
    return "." + nameOf(target).substr(0, kMaxTempNameStem) + ".tmp";
}

bool sameFile(const struct stat& one, const struct stat& other) {
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// Takes the lock that marks a temporary file as being written; it lasts as long as a descriptor
// of this open file. False when a clean-up holds the lock or has already removed the name: the
// file is then not the writer's to use. Where the file system has no locks, the file is written
// without one.
bool lockForWriting(int fd, const std::string& path) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return errno != EWOULDBLOCK;
    struct stat opened;
    struct stat named;
    return ::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 &&
           sameFile(opened, named);
}

// Creates a new file beside `target` that nobody else has opened (O_EXCL), locked for writing.
int createTemporaryFile(const std::string& target, std::string& tempPath, std::string& error) {
    static std::atomic<unsigned long> sequence(0);
    const std::string stem = directoryOf(target) + "/" + temporaryNameStem(target);
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
        const unsigned long long clock = static_cast<unsigned long long>(
            std::chrono::steady_clock::now().time_since_epoch().count());
        tempPath = stem + std::to_string(::getpid()) + "." + std::to_string(sequence++) + "." +
                   std::to_string(clock % 1000000007ULL);
        const int fd = ::open(tempPath.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kTemporaryMode);
        if (fd >= 0) {
            if (lockForWriting(fd, tempPath)) return fd;
            // Taken for a stale file between its creation and the lock; the clean-up removes it.
            ::close(fd);
            continue;
        }
        if (errno != EEXIST) {
            error = systemErrorText("create " + tempPath, errno);
            return -1;
        }
    }
    error = systemErrorText("create " + stem, EEXIST);
    return -1;
}

// The writer's process id in `name` when it is a temporary name of the stem:
// stem + pid + "." + sequence + "." + clock, all three decimal numbers; 0 otherwise.
pid_t temporaryWriter(const std::string& name, const std::string& stem) {
    if (name.compare(0, stem.size(), stem) != 0) return 0;
    std::size_t position = stem.size();
    unsigned long long numbers[3] = {0, 0, 0};
    for (int part = 0; part < 3; ++part) {
        if (part > 0) {
            if (position >= name.size() || name[position] != '.') return 0;
            ++position;
        }
        const std::size_t start = position;
        while (position < name.size() && name[position] >= '0' && name[position] <= '9' &&
               position - start < 19) {
            numbers[part] = numbers[part] * 10 + static_cast<unsigned>(name[position] - '0');
            ++position;
        }
        if (position == start) return 0;
    }
    if (position != name.size() || numbers[0] == 0 ||
        numbers[0] > static_cast<unsigned long long>(0x7fffffff)) {
        return 0;
    }
    return static_cast<pid_t>(numbers[0]);
}

// Whether the process that wrote a temporary file may still be writing it. The number may also
// be a later process's, or that of a process in another pid namespace: only a number that names
// no process here, or this process (which knows its own writers by their locks), lets the lock
// decide.
bool writerMayRun(pid_t pid) {
    if (pid == ::getpid()) return false;
    return ::kill(pid, 0) == 0 || errno != ESRCH;
}

struct DirectoryCloser {
    void operator()(DIR* directory) const { ::closedir(directory); }
};

// Removes the temporary files of `target` that interrupted replacements left: those whose
// writer runs no more and that nobody holds locked. A name is removed only while its file is
// held locked here, and only when it still names that file, so a writer that creates its file
// meanwhile either finds the lock taken or its name gone, and picks another. Best effort: what
// cannot be read, opened or locked stays.
void removeStaleTemporaries(const std::string& target) {
    std::unique_ptr<DIR, DirectoryCloser> directory(::opendir(directoryOf(target).c_str()));
    if (!directory) return;
    const int directoryFd = ::dirfd(directory.get());
    const std::string stem = temporaryNameStem(target);
    while (const struct dirent* entry = ::readdir(directory.get())) {
        const std::string name = entry->d_name;
        const pid_t writer = temporaryWriter(name, stem);
        if (writer == 0 || writerMayRun(writer)) continue;
        Descriptor file(::openat(directoryFd, name.c_str(),
                                 O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
        struct stat opened;
        if (!file.isOpen() || ::fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
            continue;
        }
        if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) continue;
        struct stat named;
        if (::fstatat(directoryFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            sameFile(opened, named)) {
            ::unlinkat(directoryFd, name.c_str(), 0);
        }
    }
}

// The process's umask, read without changing it: umask(2) can only set it, and setting it even
// for a moment would apply to the files that other threads create meanwhile. Unknown, it counts
// as the narrowest.
mode_t currentUmask() {
    FileHandle status(std::fopen("/proc/self/status", "re"));
    std::string line;
    while (status && readLine(status.get(), line)) {
        if (line.compare(0, 6, "Umask:") == 0) {
            return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8)) & 0777;
        }
    }
    return 077;
}

// The owner and mode that the new file is to have.
struct Metadata {
    uid_t owner;
    gid_t group;
    mode_t mode;
    bool fromReference;  // false: a new file of the process's own
};

bool referenceMetadata(const std::string& metadataFrom, const struct stat* replaced,
                       Metadata& wanted, std::string& error) {
    struct stat reference;
    if (!metadataFrom.empty()) {
        if (::stat(metadataFrom.c_str(), &reference) == 0) {
            replaced = &reference;
        } else if (errno != ENOENT) {
            error = systemErrorText("stat " + metadataFrom, errno);
            return false;
        }
    }
    if (replaced == nullptr) {
        wanted = Metadata{::geteuid(), ::getegid(), kNewFileMode & ~currentUmask(), false};
    } else {
        wanted = Metadata{replaced->st_uid, replaced->st_gid, replaced->st_mode & 07777, true};
    }
    return true;
}

// Gives the temporary file the wanted owner and works out the mode it is to get. An owner the
// process may not set is not an error when it could write `target` in place: the file then
// stays the process's own, and loses the permissions that would go to a user or group who had
// none.
bool takeOwner(int fd, const std::string& tempPath, const std::string& target, bool targetExists,
               Metadata& wanted, std::string& error) {
    if (!wanted.fromReference) return true;
    struct stat fresh;
    if (::fstat(fd, &fresh) != 0) {
        error = systemErrorText("fstat " + tempPath, errno);
        return false;
    }
    if (fresh.st_uid == wanted.owner && fresh.st_gid == wanted.group) return true;
    if (::fchown(fd, wanted.owner, wanted.group) == 0) return true;

    const int cause = errno;
    if (fresh.st_uid != wanted.owner) {
        if (targetExists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
            error = systemErrorText("chown " + tempPath, cause) + ", and " + target +
                    " is not writable in place either";
            return false;
        }
        wanted.mode &= ~S_ISUID;
    }
    const bool groupKept =
        fresh.st_gid == wanted.group || ::fchown(fd, static_cast<uid_t>(-1), wanted.group) == 0;
    if (!groupKept) wanted.mode &= ~(S_ISGID | S_IRWXG);
    return true;
}

bool writeAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written == 0) errno = EIO;  // no progress, and no error number to say why
        if (written <= 0) return false;
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

// Writes the complete temporary file over `target`, which keeps its inode and so its mount, mode
// and owner. The new contents are in place only when every byte of the temporary file was
// written, the file cut to that length and synced.
bool rewriteInPlace(const std::string& tempPath, const std::string& target, std::string& error) {
    Descriptor in(::open(tempPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat written;
    if (in.get() < 0 || ::fstat(in.get(), &written) != 0) {
        error = systemErrorText("open " + tempPath, errno);
        return false;
    }
    Descriptor out(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat existing;
    if (out.get() < 0 || ::fstat(out.get(), &existing) != 0) {
        error = systemErrorText("open " + target, errno);
        return false;
    }
    if (!S_ISREG(existing.st_mode)) {
        error = target + " is not a regular file";
        return false;
    }
    std::vector<char> buffer(kCopyBufferSize);
    off_t copied = 0;
    for (;;) {
        const ssize_t got = ::read(in.get(), buffer.data(), buffer.size());
        if (got < 0) {
            error = systemErrorText("read " + tempPath, errno);
            return false;
        }
        if (got == 0) break;
        if (!writeAll(out.get(), buffer.data(), static_cast<std::size_t>(got))) {
            error = systemErrorText("write " + target, errno);
            return false;
        }
        copied += got;
    }
    if (copied != written.st_size) {
        error = "read " + tempPath + ": " + std::to_string(copied) + " of " +
                std::to_string(written.st_size) + " bytes";
        return false;
    }
    if (::ftruncate(out.get(), copied) != 0) {
        error = systemErrorText("truncate " + target, errno);
        return false;
    }
    if (::fsync(out.get()) != 0) {
        error = systemErrorText("fsync " + target, errno);
        return false;
    }
    if (::close(out.release()) != 0) {
        error = systemErrorText("close " + target, errno);
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
                           const std::function<bool(std::FILE*)>& writeContents, std::string& error,
                           const ReplacementOptions& options) {
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
    Metadata wanted;
    if (!referenceMetadata(options.metadataFrom, exists ? &old : nullptr, wanted, error)) {
        return false;
    }

    removeStaleTemporaries(target);
    std::string tempName;
    const int fd = createTemporaryFile(target, tempName, error);
    if (fd < 0) return false;
    // Keeps the writer's lock after the stream's close, up to the rename; declared before the
    // path, so that a failed replacement removes its file while still holding the lock.
    Descriptor writerLock(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    TemporaryPath temporary(tempName);
    if (!writerLock.isOpen()) {
        error = systemErrorText("dup " + temporary.path(), errno);
        ::close(fd);
        return false;
    }

    if (!takeOwner(fd, temporary.path(), target, exists, wanted, error)) {
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
    if (::fchmod(::fileno(file.get()), wanted.mode) != 0) {
        error = systemErrorText("chmod " + temporary.path(), errno);
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
    if (options.checkBeforeReplacing && !options.checkBeforeReplacing(temporary.path(), error)) {
        return false;
    }
    if (::rename(temporary.path().c_str(), target.c_str()) != 0) {
        const int cause = errno;
        if (exists && options.rewriteInPlaceWhenRenameRefused &&
            (cause == EBUSY || cause == EXDEV)) {
            return rewriteInPlace(temporary.path(), target, error);
        }
        error = systemErrorText("rename " + temporary.path() + " to " + target, cause);
        return false;
    }
    temporary.commit();
    syncDirectory(directoryOf(target));
    return true;
}

bool replaceFileAtomically(const std::string& path, const std::string& contents, std::string& error,
                           const ReplacementOptions& options) {
    return replaceFileAtomically(
        path,
        [&contents](std::FILE* file) {
            return std::fwrite(contents.data(), 1, contents.size(), file) == contents.size();
        },
        error, options);
}

}  // namespace quillmark
