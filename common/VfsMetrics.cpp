// The portable bodies of the file, device and file-system metric items: the base item, the
// dispatchers of FileMetrics, DevMetrics and FsMetrics, and every operation of FileMetrics. The
// Linux operations of the other two are in unix/metrics/.
#include "quillmark/VfsMetrics.h"

#include "quillmark/CksumCrc.h"
#include "quillmark/DevMetrics.h"
#include "quillmark/Exception.h"
#include "quillmark/FileHandle.h"
#include "quillmark/FileMetrics.h"
#include "quillmark/FsMetrics.h"
#include "quillmark/Md5.h"
#include "quillmark/Utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace quillmark {

namespace {

const long long kMaxDigestBytes = 67108864;

// A file read through a buffered stream, opened close-on-exec and closed when the object goes,
// so no path out of an operation leaves it open. A FIFO or a socket counts as a file that does
// not open: reading one would wait for a writer for as long as it pleases.
class InputFile {
public:
    explicit InputFile(const std::string& path)
        : stream_(openFileForReading(path, ReadableKinds::kAllButFifoOrSocket)) {}

    bool isOpen() const { return stream_ != nullptr; }

    // Fills `buffer` with up to `size` bytes and returns how many. Less than `size` only at the
    // end of the file or on a read error, which failed() then reports; once failed, returns 0.
    // A signal that interrupts a read is retried: stdio hands back every byte it read before the
    // interruption, so nothing is lost.
    std::size_t read(char* buffer, std::size_t size) {
        std::size_t total = 0;
        while (!failed_ && total < size) {
            errno = 0;
            total += std::fread(buffer + total, 1, size - total, stream_.get());
            if (total == size || std::feof(stream_.get())) break;
            if (!std::ferror(stream_.get())) break;
            if (errno != EINTR) {
                failed_ = true;
                break;
            }
            std::clearerr(stream_.get());
        }
        return total;
    }

    bool failed() const { return failed_; }

    // Tells the kernel the file is read once from start to end, so it reads further ahead.
    void adviseSequential() {
        ::posix_fadvise(::fileno(stream_.get()), 0, 0, POSIX_FADV_SEQUENTIAL);
    }

    // The size of a regular file, 0 for anything else (a pipe, a device): what a reader of the
    // whole file can expect, not a bound, since the file may change while it is read.
    std::size_t expectedSize() const {
        struct stat info;
        if (::fstat(::fileno(stream_.get()), &info) != 0 || !S_ISREG(info.st_mode) ||
            info.st_size <= 0) {
            return 0;
        }
        return static_cast<std::size_t>(info.st_size);
    }

private:
    FileHandle stream_;
    bool failed_ = false;
};

// The operations' first argument; callers have checked that args is not empty.
const std::string& pathOf(const MetricRequest& request) { return request.args[0]; }

// args[1] when present and not empty, otherwise `fallback`.
std::string modeOf(const MetricRequest& request, const char* fallback) {
    if (request.args.size() >= 2 && !request.args[1].empty()) return request.args[1];
    return fallback;
}

// The searches read in blocks this large: few system calls, and a block that stays in the
// processor's cache while its line feeds are dropped.
const std::size_t kSearchReadBlock = 256 * 1024;

// Removes every line feed from the `size` bytes at `data`, moving each run between two of them
// once; returns how many bytes are left.
std::size_t dropLineFeeds(char* data, std::size_t size) {
    const char* const end = data + size;
    char* out = static_cast<char*>(std::memchr(data, '\n', size));
    if (out == nullptr) return size;
    for (const char* run = out + 1; run < end;) {
        const char* feed = static_cast<const char*>(std::memchr(run, '\n', end - run));
        const char* runEnd = feed != nullptr ? feed : end;
        std::memmove(out, run, runEnd - run);
        out += runEnd - run;
        run = runEnd + 1;
    }
    return out - data;
}

// Room for the whole file in `text`, when it can be had: without it the text grows as it is read.
void reserveFor(std::string& text, std::size_t size) {
    if (size >= text.max_size()) return;
    try {
        text.reserve(size);
    } catch (const std::bad_alloc&) {
    }
}

// The searchable text of a file: its lines joined without their line feeds (a carriage return
// stays), up to the first zero byte, where the search would stop; reading stops there too.
std::string readJoinedLines(const std::string& path) {
    InputFile file(path);
    if (!file.isOpen()) QM_THROW(ProcessingException, "Failed to open file.");
    file.adviseSequential();
    std::string text;
    const std::unique_ptr<char[]> block(new char[kSearchReadBlock]);
    bool first = true;
    std::size_t got;
    while ((got = file.read(block.get(), kSearchReadBlock)) > 0) {
        const char* zero = static_cast<const char*>(std::memchr(block.get(), '\0', got));
        const std::size_t textBytes = zero != nullptr ? zero - block.get() : got;
        // Reserved only now, so that a file that begins with a zero byte asks for nothing.
        if (first && zero == nullptr) reserveFor(text, file.expectedSize());
        first = false;
        text.append(block.get(), dropLineFeeds(block.get(), textBytes));
        if (zero != nullptr) break;
    }
    if (file.failed()) QM_THROW(ProcessingException, "Failed to read file.");
    return text;
}

// Digests read whole files in blocks this large into one buffer: fewer system calls, and a
// buffer that stays in the processor's cache while the digest works through it.
const std::size_t kDigestReadBlock = 128 * 1024;

// Reads the open file to its end, handing each block to `consume(data, size)`; throws
// ProcessingException "Failed to read file." when a read fails.
template <typename Consume>
void readWholeFile(InputFile& file, Consume consume) {
    file.adviseSequential();
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[kDigestReadBlock]);
    char* block = reinterpret_cast<char*>(buffer.get());
    std::size_t got;
    while ((got = file.read(block, kDigestReadBlock)) > 0) consume(buffer.get(), got);
    if (file.failed()) QM_THROW(ProcessingException, "Failed to read file.");
}

}  // namespace

VfsMetrics::VfsMetrics(const std::string& name) : MetricItem(name) {}

VfsMetrics::~VfsMetrics() = default;

ResultInfo* VfsMetrics::execute(const MetricRequest& /*request*/) { return new ResultInfo(0UL); }

void VfsMetrics::throwUnsupportedCommand() {
    QM_THROW(UnsupportedException, "Command unsupported.");
}

DevMetrics::DevMetrics(const std::string& name) : VfsMetrics(name) {}

DevMetrics::~DevMetrics() = default;

ResultInfo* DevMetrics::execute(const MetricRequest& request) {
    static const Command<DevMetrics> commands[] = {
        {"read", &DevMetrics::read},
        {"write", &DevMetrics::write},
    };
    return dispatch(*this, commands, request);
}

FsMetrics::FsMetrics(const std::string& name) : VfsMetrics(name) {}

FsMetrics::~FsMetrics() = default;

ResultInfo* FsMetrics::execute(const MetricRequest& request) {
    static const Command<FsMetrics> commands[] = {
        {"size", &FsMetrics::size},
        {"filesystems", &FsMetrics::fileSystems},
        {"inode", &FsMetrics::inode},
    };
    return dispatch(*this, commands, request);
}

FileMetrics::FileMetrics(const std::string& name) : VfsMetrics(name) {}

FileMetrics::~FileMetrics() = default;

ResultInfo* FileMetrics::execute(const MetricRequest& request) {
    static const Command<FileMetrics> commands[] = {
        {"exists", &FileMetrics::exists},     {"time", &FileMetrics::time},
        {"size", &FileMetrics::size},         {"regexp", &FileMetrics::regexp},
        {"regmatch", &FileMetrics::regmatch}, {"cksum", &FileMetrics::cksum},
        {"md5sum", &FileMetrics::md5sum},
    };
    return dispatch(*this, commands, request);
}

ResultInfo* FileMetrics::exists(const MetricRequest& request) {
    if (request.args.empty()) QM_THROW(InvalidArgException, "Agruments missing.");
    struct stat info;
    const bool regular = ::stat(pathOf(request).c_str(), &info) == 0 && S_ISREG(info.st_mode);
    return new ResultInfo(regular ? 1UL : 0UL);
}

ResultInfo* FileMetrics::time(const MetricRequest& request) {
    if (request.args.empty() || request.args[0].empty()) {
        QM_THROW(InvalidArgException, "Agruments missing.");
    }
    const std::string mode = modeOf(request, "modify");
    struct stat info;
    if (::stat(pathOf(request).c_str(), &info) != 0) {
        QM_THROW(ProcessingException, "Failed to get stat.");
    }
    time_t seconds;
    if (mode == "modify") {
        seconds = info.st_mtime;
    } else if (mode == "access") {
        seconds = info.st_atime;
    } else if (mode == "change") {
        seconds = info.st_ctime;
    } else {
        QM_THROW(ProcessingException, "Failed to get stat.");
    }
    return new ResultInfo(static_cast<unsigned long>(seconds));
}

ResultInfo* FileMetrics::size(const MetricRequest& request) {
    if (request.args.empty()) QM_THROW(InvalidArgException, "File name missing.");
    struct stat info;
    if (::stat(pathOf(request).c_str(), &info) != 0) {
        QM_THROW(ProcessingException, "Failed to get stat.");
    }
    return new ResultInfo(static_cast<unsigned long>(info.st_size));
}

namespace {

// The search both pattern commands make: true when args[1] matches the file's text, with the
// matched characters in *matched when that is not null. A search that the engine gives up on
// is thrown, never taken for no match.
bool searchFile(const MetricRequest& request, std::string* matched) {
    if (request.args.size() < 2) QM_THROW(InvalidArgException, "Agruments missing.");
    const std::string text = readJoinedLines(pathOf(request));
    int length = 0;
    const char* match = Utils::regexpMatch(text.c_str(), request.args[1].c_str(), &length);
    if (length == Utils::kRegexpSearchFailed) {
        QM_THROW(ProcessingException, "Pattern too costly to match.");
    }
    if (match == nullptr) return false;
    if (matched != nullptr) matched->assign(match, static_cast<std::size_t>(length));
    return true;
}

}  // namespace

ResultInfo* FileMetrics::regexp(const MetricRequest& request) {
    std::string matched;
    searchFile(request, &matched);
    return new ResultInfo(matched.empty() ? std::string("EOF") : matched);
}

ResultInfo* FileMetrics::regmatch(const MetricRequest& request) {
    return new ResultInfo(searchFile(request, nullptr) ? 1UL : 0UL);
}

ResultInfo* FileMetrics::cksum(const MetricRequest& request) {
    if (request.args.empty()) QM_THROW(InvalidArgException, "Arguments missing.");
    InputFile file(pathOf(request));
    if (!file.isOpen()) QM_THROW(ProcessingException, "Failed to open file.");

    std::uint32_t reg = 0;
    // 64 bits wide, as the cksum utility counts, so files of 4 GiB and more get its answer too.
    std::uint64_t length = 0;
    readWholeFile(file, [&](const unsigned char* data, std::size_t size) {
        reg = CksumCrc::update(reg, data, size);
        length += size;
    });
    for (; length != 0; length >>= 8) {
        const unsigned char low = static_cast<unsigned char>(length & 0xFFu);
        reg = CksumCrc::update(reg, &low, 1);
    }
    return new ResultInfo(static_cast<unsigned long>(~reg));
}

ResultInfo* FileMetrics::md5sum(const MetricRequest& request) {
    if (request.args.empty()) QM_THROW(InvalidArgException, "Agrument missing.");
    struct stat info;
    if (::stat(pathOf(request).c_str(), &info) != 0)
        QM_THROW(SystemException, "Cannot stat() file");
    if (info.st_size > kMaxDigestBytes) {
        QM_THROW(ProcessingException, "Will not calculate MD5 for files larger than 64M");
    }
    InputFile file(pathOf(request));
    if (!file.isOpen()) QM_THROW(SystemException, "Failed to open file.");

    MD5_CTX context;
    MD5Init(&context);
    long long total = 0;
    readWholeFile(file, [&](const unsigned char* data, std::size_t size) {
        total += static_cast<long long>(size);
        // The limit holds for what is read too: a file that grows while it is read, or a device
        // that never ends, would otherwise keep the caller reading without bound.
        if (total > kMaxDigestBytes) {
            QM_THROW(ProcessingException, "Will not calculate MD5 for files larger than 64M");
        }
        MD5Update(&context, data, static_cast<int>(size));
    });
    // readWholeFile throws on a read error: a digest of part of the file would look like a
    // changed file to the configuration watch, which then restarts the agent for nothing.
    unsigned char digest[16];
    MD5Final(&context, digest);

    static const char kHexDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * sizeof digest);
    for (unsigned char byte : digest) {
        hex += kHexDigits[byte >> 4];
        hex += kHexDigits[byte & 0x0Fu];
    }
    return new ResultInfo(hex);
}

}  // namespace quillmark
