// Atomic replacement of a file through a temporary file and rename(2).
#include "quillmark/AtomicFile.h"

#include "quillmark/CksumCrc.h"
#include "quillmark/FileHandle.h"
#include "quillmark/SystemError.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
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
// A ready file waits for the rewrite in place readable by its owner only: nobody else can hold
// a lock on it, and a file at the ready name with any other mode is not one of ours.
const mode_t kReadyMode = 0600;
const char kReadySuffix[] = ".ready";
// The longest name whose ready name "." + name + ".ready" stays within NAME_MAX (255).
const std::size_t kMaxPlainReadyName = 255 - 1 - (sizeof kReadySuffix - 1);
// A writer rewriting up to 64 MiB in place and syncing it, on a slow disk.
const std::chrono::seconds kReadyLockWait(10);
const std::chrono::milliseconds kReadyLockPoll(10);
// Another writer taking the free ready name between the look and the rename is rare; a few
// rounds bound the waits for it.
const int kMaxMarkAttempts = 3;

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

// The path at which `target`'s complete new file waits while it is written over `target` in
// place. A name too long for the plain form keeps its start and is told apart by its checksum.
std::string readyPathOf(const std::string& target) {
    const std::string name = nameOf(target);
    std::string readyName;
    if (name.size() <= kMaxPlainReadyName) {
        readyName = "." + name + kReadySuffix;
    } else {
        const std::uint32_t crc =
            CksumCrc::update(0, reinterpret_cast<const unsigned char*>(name.data()), name.size());
        readyName =
            "." + name.substr(0, kMaxTempNameStem) + "." + std::to_string(crc) + kReadySuffix;
    }
    return directoryOf(target) + "/" + readyName;
}

bool sameFile(const struct stat& one, const struct stat& other) {
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

// Removes the name `name` (relative to `directoryFd`, or a path with AT_FDCWD) while it still
// names the file `opened`, which the caller holds locked: a name that another writer has
// meanwhile given to a file of its own stays.
void removeNameOf(int directoryFd, const std::string& name, const struct stat& opened) {
    struct stat named;
    if (::fstatat(directoryFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        sameFile(opened, named)) {
        ::unlinkat(directoryFd, name.c_str(), 0);
    }
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
        // Readable too: a rewrite in place reads it back through the writer's own descriptor.
        const int fd = ::open(tempPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                              kTemporaryMode);
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
        removeNameOf(directoryFd, name, opened);
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

// Writes the whole file open at `in` (read from its start, whatever its offset) over `target`,
// which keeps its inode and so its mount, mode and owner. The new contents are in place only when
// every byte was written, the file cut to that length and synced. Writing the same contents again
// gives the same file, so a recovery may repeat a rewrite that was complete.
bool rewriteInPlace(int in, const std::string& inPath, const std::string& target,
                    std::string& error) {
    struct stat written;
    if (::fstat(in, &written) != 0) {
        error = systemErrorText("fstat " + inPath, errno);
        return false;
    }
    // Never waits in the open: a FIFO put in the file's place fails at once.
    Descriptor out(
        ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
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
        const ssize_t got = ::pread(in, buffer.data(), buffer.size(), copied);
        if (got < 0) {
            error = systemErrorText("read " + inPath, errno);
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
        error = "read " + inPath + ": " + std::to_string(copied) + " of " +
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

// Why the file `named` (lstat of a ready name) is not a ready file as a rewrite in place makes
// them for a file owned by `targetOwner`; empty when it is one. Only such a file is ever
// opened: a device or FIFO planted there is refused without the side effects of an open.
std::string foreignReason(const struct stat& named, uid_t targetOwner) {
    if (S_ISLNK(named.st_mode)) return "it is a symbolic link";
    if (!S_ISREG(named.st_mode)) return "it is not a regular file";
    if (named.st_nlink != 1) return "it has other links";
    if ((named.st_mode & 07777) != kReadyMode) return "its mode is not 0600";
    if (named.st_uid != ::geteuid() && named.st_uid != targetOwner) {
        return "it belongs to another user";
    }
    return "";
}

// What stands at a file's ready name, as a replacement or a recovery finds it. A ready file of
// ours is held open and locked, so that no other process writes it over the file meanwhile.
class PendingRewrite {
public:
    enum class Kind { kNone, kOwn, kForeign };

    PendingRewrite(std::string path, uid_t targetOwner)
        : path_(std::move(path)), targetOwner_(targetOwner) {}

    // Looks at the ready name. A ready file of ours is opened and locked; while another process
    // holds it (a writer still writing it over the file, or another recovery), it is waited for
    // up to kReadyLockWait. False, with `error`, when it stays held or cannot be looked at.
    bool examine(std::string& error) {
        kind_ = Kind::kNone;
        file_.reset();
        const auto deadline = std::chrono::steady_clock::now() + kReadyLockWait;
        for (;;) {
            struct stat named;
            if (::lstat(path_.c_str(), &named) != 0) {
                if (errno == ENOENT) return true;
                error = systemErrorText("lstat " + path_, errno);
                return false;
            }
            reason_ = foreignReason(named, targetOwner_);
            if (!reason_.empty()) {
                kind_ = Kind::kForeign;
                return true;
            }
            std::unique_ptr<Descriptor> file(new Descriptor(
                ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY)));
            struct stat opened;
            if (!file->isOpen() && errno != ENOENT && errno != ELOOP) {
                error = systemErrorText("open " + path_, errno);
                return false;
            }
            if (file->isOpen() && ::fstat(file->get(), &opened) == 0 && sameFile(opened, named) &&
                lockUntil(file->get(), deadline)) {
                // The holder may have removed the name, or given it to a newer file, meanwhile.
                struct stat again;
                if (::lstat(path_.c_str(), &again) == 0 && sameFile(again, opened)) {
                    opened_ = opened;
                    file_ = std::move(file);
                    kind_ = Kind::kOwn;
                    return true;
                }
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                error = path_ + " is held by another process";
                return false;
            }
            // Replaced or removed while it was looked at: look again once the writer is done.
            std::this_thread::sleep_for(kReadyLockPoll);
        }
    }

    Kind kind() const { return kind_; }
    // Why what stands there is not a ready file of ours (kForeign).
    const std::string& reason() const { return reason_; }
    // The ready file, open for reading and locked (kOwn).
    int descriptor() const { return file_->get(); }

    // Removes the ready name while it names the locked file, and makes that durable.
    void remove() {
        if (kind_ != Kind::kOwn) return;
        removeNameOf(AT_FDCWD, path_, opened_);
        syncDirectory(directoryOf(path_));
    }

private:
    // Takes the exclusive lock, polling until `deadline`. A file system without locks has no
    // writer to wait for.
    static bool lockUntil(int fd, std::chrono::steady_clock::time_point deadline) {
        while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK) return true;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(kReadyLockPoll);
        }
        return true;
    }

    const std::string path_;
    const uid_t targetOwner_;
    Kind kind_ = Kind::kNone;
    std::string reason_;
    struct stat opened_ = {};
    std::unique_ptr<Descriptor> file_;
};

// Gives the complete temporary file the ready name, in place of what `pending` found there. With
// nothing found, the name is taken only if it is still free, so two writers cannot both believe
// they own it; one made meanwhile is examined and superseded in turn.
bool markReady(const std::string& tempPath, PendingRewrite& pending, const std::string& readyPath,
               std::string& error) {
    for (int attempt = 0; attempt < kMaxMarkAttempts; ++attempt) {
        if (pending.kind() != PendingRewrite::Kind::kNone) {
            if (::rename(tempPath.c_str(), readyPath.c_str()) == 0) return true;
            error = systemErrorText("rename " + tempPath + " to " + readyPath, errno);
            return false;
        }
        if (::renameat2(AT_FDCWD, tempPath.c_str(), AT_FDCWD, readyPath.c_str(),
                        RENAME_NOREPLACE) == 0) {
            return true;
        }
        if (errno == EINVAL || errno == ENOSYS) {
            // A file system without RENAME_NOREPLACE: the name was free when it was looked at,
            // and only another writer of the same file could have taken it since.
            if (::rename(tempPath.c_str(), readyPath.c_str()) == 0) return true;
        }
        if (errno != EEXIST) {
            error = systemErrorText("rename " + tempPath + " to " + readyPath, errno);
            return false;
        }
        if (!pending.examine(error)) return false;
    }
    error = systemErrorText("rename " + tempPath + " to " + readyPath, EEXIST);
    return false;
}

// Writes the complete, closed temporary file over `target` in place, so that a kill at any
// moment leaves either `target` untouched and the temporary file to be removed as stale, or the
// ready file that holds the whole new contents. `writerFd` is open on the temporary file for
// reading and holds the writer's lock on it.
bool rewriteRecoverably(TemporaryPath& temporary, int writerFd, const std::string& target,
                        PendingRewrite& pending, const std::string& readyPath, std::string& error) {
    struct stat written;
    if (::fstat(writerFd, &written) != 0) {
        error = systemErrorText("fstat " + temporary.path(), errno);
        return false;
    }
    if (::fchmod(writerFd, kReadyMode) != 0) {
        error = systemErrorText("chmod " + temporary.path(), errno);
        return false;
    }
    if (!markReady(temporary.path(), pending, readyPath, error)) return false;
    temporary.commit();
    // The rewrite starts only once the mark is durable.
    syncDirectory(directoryOf(target));
    if (!rewriteInPlace(writerFd, readyPath, target, error)) {
        error += "; " + readyPath + " keeps the whole new file";
        return false;
    }
    removeNameOf(AT_FDCWD, readyPath, written);
    syncDirectory(directoryOf(target));
    return true;
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
    // A rewrite in place that failed or was interrupted may have left its ready file: this newer
    // file supersedes it, and no recovery may write it over the newer file later.
    const std::string readyPath = readyPathOf(target);
    PendingRewrite pending(readyPath, exists ? old.st_uid : ::geteuid());
    if (!pending.examine(error)) return false;
    if (::rename(temporary.path().c_str(), target.c_str()) != 0) {
        const int cause = errno;
        if (exists && options.rewriteInPlaceWhenRenameRefused &&
            (cause == EBUSY || cause == EXDEV)) {
            return rewriteRecoverably(temporary, writerLock.get(), target, pending, readyPath,
                                      error);
        }
        error = systemErrorText("rename " + temporary.path() + " to " + target, cause);
        return false;
    }
    temporary.commit();
    pending.remove();
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

InterruptedRewrite finishInterruptedRewrite(
    const std::string& path, std::string& report,
    const std::function<bool(const std::string& readyPath, std::string& error)>& check) {
    report.clear();
    std::string target;
    std::string error;
    if (!resolveLinks(path, target, error)) {
        report = "Unable to look for an interrupted rewrite of " + path + ": " + error;
        return InterruptedRewrite::kFailed;
    }
    const std::string readyPath = readyPathOf(target);
    struct stat named;
    if (::lstat(readyPath.c_str(), &named) != 0 && errno == ENOENT) {
        return InterruptedRewrite::kNonePending;
    }
    const std::string failure =
        "Unable to finish the interrupted rewrite of " + target + " from " + readyPath + ": ";
    struct stat existing;
    if (::stat(target.c_str(), &existing) != 0) {
        report = failure + systemErrorText("stat " + target, errno);
        return InterruptedRewrite::kFailed;
    }
    auto refused = [&](const std::string& reason) {
        report = "Refused " + readyPath + " as the ready file of " + target + ": " + reason + "; " +
                 target + " is left as it is.";
        return InterruptedRewrite::kRefused;
    };
    PendingRewrite pending(readyPath, existing.st_uid);
    if (!pending.examine(error)) {
        report = failure + error;
        return InterruptedRewrite::kFailed;
    }
    switch (pending.kind()) {
    case PendingRewrite::Kind::kNone: return InterruptedRewrite::kNonePending;
    case PendingRewrite::Kind::kForeign: return refused(pending.reason());
    case PendingRewrite::Kind::kOwn: break;
    }
    if (check && !check(readyPath, error)) return refused(error);
    if (!rewriteInPlace(pending.descriptor(), readyPath, target, error)) {
        report = failure + error;
        return InterruptedRewrite::kFailed;
    }
    pending.remove();
    report = "Finished the interrupted rewrite of " + target + " from " + readyPath + ".";
    return InterruptedRewrite::kFinished;
}

}  // namespace quillmark
