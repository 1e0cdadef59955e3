// Zip extraction over minizip's unzip interface.
//
// Every failure of an entry is a failure of the extraction: the manager runs the package's
// upgrade script as root only after a complete unpacking, so an entry that is missing, cut
// short or damaged must reach extractArchiveToDirectory's result rather than only stdout.
#include "UnzipArchive.h"

#include "quillmark/FileHandle.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>

#include <sys/stat.h>
#include <sys/types.h>
#include <utime.h>

namespace quillmark {

namespace {

// Holds names of up to 255 bytes and their terminating zero byte.
const unsigned kNameBufferSize = 256;
const unsigned kCopyBufferSize = 8192;
const mode_t kDirectoryMode = 0775;

// minizip's own opener does not set close-on-exec; the archive must not leak into the commands
// the manager runs on other threads while it is open. Only a regular file is an archive, and a
// FIFO in its place must not hold the request in the open.
voidpf ZCALLBACK openArchiveForReading(voidpf, const char* fileName, int mode) {
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) return nullptr;
    return openFileForReading(fileName, ReadableKinds::kRegularOnly).release();
}

unzFile openArchive(const char* path) {
    zlib_filefunc_def functions;
    fill_fopen_filefunc(&functions);
    functions.zopen_file = openArchiveForReading;
    return unzOpen2(path, &functions);
}

class ArchiveCloser {
public:
    explicit ArchiveCloser(unzFile archive) : archive_(archive) {}
    ~ArchiveCloser() { unzClose(archive_); }
    ArchiveCloser(const ArchiveCloser&) = delete;
    ArchiveCloser& operator=(const ArchiveCloser&) = delete;

private:
    unzFile archive_;
};

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// The part of `name` after its last "/" or "\\".
const char* baseNameOf(const char* name) {
    const char* base = name;
    for (const char* p = name; *p != '\0'; ++p) {
        if (isSeparator(*p)) base = p + 1;
    }
    return base;
}

// Whether writing `name` relative to the working directory could land outside it.
bool leavesWorkingDirectory(const char* name) {
    if (isSeparator(name[0])) return true;
    const char* part = name;
    for (const char* p = name;; ++p) {
        if (*p == '\0' || isSeparator(*p)) {
            if (p - part == 2 && part[0] == '.' && part[1] == '.') return true;
            if (*p == '\0') return false;
            part = p + 1;
        }
    }
}

bool fileOpensForReading(const char* path) {
    FileHandle file(openFileForReading(path, ReadableKinds::kAllButFifoOrSocket));
    return file != nullptr;
}

// Asks until the answer is Y, N or A (lower case accepted); ends the process with status 1
// when standard input ends, since no answer can come any more.
char askOverwrite(const char* fileName) {
    for (;;) {
        std::printf("The file %s exists. Overwrite ? [y]es, [n]o, [A]ll: ", fileName);
        std::fflush(stdout);
        char answer[2] = {0, 0};
        if (std::scanf("%1s", answer) != 1) std::exit(1);
        char choice = answer[0];
        if (choice >= 'a' && choice <= 'z') choice = static_cast<char>(choice - 'a' + 'A');
        if (choice == 'Y' || choice == 'N' || choice == 'A') return choice;
    }
}

// Copies the open entry into `out`; returns 0 or the error code.
int copyEntry(unzFile archive, std::FILE* out, char* buffer) {
    for (;;) {
        const int got = unzReadCurrentFile(archive, buffer, kCopyBufferSize);
        if (got < 0) {
            std::printf("error %d with zipfile in unzReadCurrentFile\n", got);
            return got;
        }
        if (got == 0) return UNZ_OK;
        if (std::fwrite(buffer, 1, static_cast<std::size_t>(got), out) !=
            static_cast<std::size_t>(got)) {
            std::puts("error in writing extracted file");
            return UNZ_ERRNO;
        }
    }
}

// Writes the open entry to `writeName`; returns 0 or the error code. Sets `opened` once the
// file has been created or truncated, from when on `writeName` no longer holds its old contents.
int writeEntry(unzFile archive, const char* name, const char* base, const char* writeName,
               bool withoutPath, const tm_unz& date, char* buffer, bool& opened) {
    FileHandle out(openRegularFileForWriting(writeName, false));
    if (!out && !withoutPath && base != name) {
        makeDirectoryPath(std::string(name, static_cast<std::size_t>(base - name)).c_str());
        out.reset(openRegularFileForWriting(writeName, false).release());
    }
    if (!out) {
        std::printf("error opening %s\n", writeName);
        return UNZ_ERRNO;
    }
    opened = true;
    std::printf(" extracting: %s\n", writeName);
    int result = copyEntry(archive, out.get(), buffer);
    // Buffered bytes reach the file only here, so a full disk may show at the close.
    if (std::fclose(out.release()) != 0 && result == UNZ_OK) {
        std::puts("error in writing extracted file");
        result = UNZ_ERRNO;
    }
    if (result == UNZ_OK) setFileTimeFromEntry(writeName, date);
    return result;
}

// A file cut short or damaged must not pass for the entry (the script would run on it), and a
// zip bomb's part must not keep its file system full.
void removeIncompleteFile(const char* path) {
    if (std::remove(path) == 0) {
        std::printf(" removed incomplete file: %s\n", path);
    } else {
        std::printf("error %d removing incomplete file %s\n", errno, path);
    }
}

// extractCurrentEntry, skipping the entry when its base name is `packageName`.
int extractEntry(unzFile archive, const int* withoutPath, int* overwrite, const char* password,
                 const char* packageName) {
    char name[kNameBufferSize];
    unz_file_info info;
    int result = unzGetCurrentFileInfo(archive, &info, name, sizeof name, nullptr, 0, nullptr, 0);
    if (result != UNZ_OK) {
        std::printf("error %d with zipfile in unzGetCurrentFileInfo\n", result);
        return result;
    }
    // minizip leaves such a name without its terminating zero byte.
    if (info.size_filename >= sizeof name) {
        std::printf("error entry name of %lu bytes is too long in zipfile\n",
                    static_cast<unsigned long>(info.size_filename));
        return UNZ_BADZIPFILE;
    }

    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kCopyBufferSize]);
    if (!buffer) {
        std::puts("Error allocating memory");
        return UNZ_INTERNALERROR;
    }

    const bool flat = *withoutPath != 0;
    const char* base = baseNameOf(name);
    if (!flat && leavesWorkingDirectory(name)) {
        std::printf("error unsafe entry name %s in zipfile\n", name);
        return UNZ_BADZIPFILE;
    }
    if (*base == '\0') {
        if (!flat) {
            std::printf("creating directory: %s\n", name);
            makeDirectory(name);
        }
        return UNZ_OK;
    }
    if (std::strcmp(base, ".") == 0 || std::strcmp(base, "..") == 0) {
        std::printf("error unsafe entry name %s in zipfile\n", name);
        return UNZ_BADZIPFILE;
    }
    // Writing it would overwrite the archive while it is being read.
    if (packageName != nullptr && std::strcmp(base, packageName) == 0) {
        std::printf("skipping entry %s, which has the name of the package file\n", name);
        return UNZ_OK;
    }
    const char* writeName = flat ? base : name;

    result = unzOpenCurrentFilePassword(archive, password);
    if (result != UNZ_OK) {
        std::printf("error %d with zipfile in unzOpenCurrentFilePassword\n", result);
        return result;
    }

    bool skip = false;
    if (*overwrite == 0 && fileOpensForReading(writeName)) {
        const char answer = askOverwrite(writeName);
        if (answer == 'N') skip = true;
        if (answer == 'A') *overwrite = 1;
    }
    bool opened = false;
    if (!skip) {
        result =
            writeEntry(archive, name, base, writeName, flat, info.tmu_date, buffer.get(), opened);
    }

    // The CRC-32 is compared here, once the whole entry has been read.
    const int closed = unzCloseCurrentFile(archive);
    if (result == UNZ_OK && closed != UNZ_OK) {
        std::printf("error %d with zipfile in unzCloseCurrentFile\n", closed);
        result = closed;
    }
    if (result != UNZ_OK && opened) removeIncompleteFile(writeName);
    return result;
}

// extractAllEntries, skipping every entry whose base name is `packageName` (none when null).
int extractEntries(unzFile archive, int withoutPath, int overwrite, const char* password,
                   const char* packageName) {
    unz_global_info global;
    int result = unzGetGlobalInfo(archive, &global);
    if (result != UNZ_OK) {
        std::printf("error %d with zipfile in unzGetGlobalInfo \n", result);
        return result;
    }
    if (global.number_entry == 0) return UNZ_OK;
    result = unzGoToFirstFile(archive);
    if (result != UNZ_OK) {
        std::printf("error %d with zipfile in unzGoToFirstFile\n", result);
        return result;
    }
    for (uLong i = 0; i < global.number_entry; ++i) {
        result = extractEntry(archive, &withoutPath, &overwrite, password, packageName);
        if (result != UNZ_OK) return result;
        if (i + 1 < global.number_entry) {
            result = unzGoToNextFile(archive);
            if (result != UNZ_OK) {
                std::printf("error %d with zipfile in unzGoToNextFile\n", result);
                return result;
            }
        }
    }
    return UNZ_OK;
}

}  // namespace

int extractArchiveToDirectory(const char* archivePath, const char* targetDirectory) {
    if (archivePath == nullptr) return kArchiveNotOpened;
    unzFile archive = openArchive(archivePath);
    if (archive == nullptr) return kArchiveNotOpened;
    ArchiveCloser closer(archive);
    if (targetDirectory == nullptr || ::chdir(targetDirectory) != 0) {
        return kTargetDirectoryNotEntered;
    }
    // The package normally lies in the target directory itself.
    const int result = extractEntries(archive, 1, 1, nullptr, baseNameOf(archivePath));
    // The daemon's stdout is the log file; the report must be there before the script writes.
    std::fflush(stdout);
    return result == UNZ_OK ? kExtractionDone : kEntryNotExtracted;
}

int extractAllEntries(unzFile archive, int withoutPath, int overwrite, const char* password) {
    return extractEntries(archive, withoutPath, overwrite, password, nullptr);
}

int extractCurrentEntry(unzFile archive, const int* withoutPath, int* overwrite,
                        const char* password) {
    return extractEntry(archive, withoutPath, overwrite, password, nullptr);
}

int extractNamedEntry(unzFile archive, const char* entryName, int withoutPath, int overwrite,
                      const char* password) {
    if (entryName == nullptr || unzLocateFile(archive, entryName, 1) != UNZ_OK) {
        std::printf("file %s not found in the zipfile\n", entryName != nullptr ? entryName : "");
        return 2;
    }
    return extractCurrentEntry(archive, &withoutPath, &overwrite, password) == UNZ_OK ? 0 : 1;
}

int listArchiveEntries(unzFile archive) {
    unz_global_info global;
    global.number_entry = 0;
    int result = unzGetGlobalInfo(archive, &global);
    if (result != UNZ_OK) {
        std::printf("error %d with zipfile in unzGetGlobalInfo \n", result);
        global.number_entry = 0;
    }
    std::printf(" Length  Method   Size  Ratio   Date    Time   CRC-32     Name\n");
    std::printf(" ------  ------   ----  -----   ----    ----   ------     ----\n");
    if (global.number_entry > 0 && unzGoToFirstFile(archive) != UNZ_OK) return 0;
    for (uLong i = 0; i < global.number_entry; ++i) {
        char name[kNameBufferSize];
        unz_file_info info;
        result = unzGetCurrentFileInfo(archive, &info, name, sizeof name, nullptr, 0, nullptr, 0);
        if (result != UNZ_OK) {
            std::printf("error %d with zipfile in unzGetCurrentFileInfo\n", result);
            break;
        }
        name[sizeof name - 1] = '\0';

        const char* method = "Unkn. ";
        if (info.compression_method == 0) {
            method = "Stored";
        } else if (info.compression_method == Z_DEFLATED) {
            const uLong level = (info.flag & 0x6) / 2;
            method = level == 0 ? "Defl:N" : level == 1 ? "Defl:X" : "Defl:F";
        }
        const unsigned long ratio =
            info.uncompressed_size > 0 ? info.compressed_size * 100 / info.uncompressed_size : 0;
        const tm_unz& date = info.tmu_date;
        std::printf(
            "%7lu  %6s%c%7lu %3lu%%  %2.2lu-%2.2lu-%2.2lu  %2.2lu:%2.2lu  %8.8lx   %s\n",
            static_cast<unsigned long>(info.uncompressed_size), method,
            (info.flag & 1) != 0 ? '*' : ' ', static_cast<unsigned long>(info.compressed_size),
            ratio, static_cast<unsigned long>(date.tm_mon) + 1,
            static_cast<unsigned long>(date.tm_mday),
            static_cast<unsigned long>(date.tm_year) % 100,
            static_cast<unsigned long>(date.tm_hour), static_cast<unsigned long>(date.tm_min),
            static_cast<unsigned long>(info.crc), name);
        if (i + 1 < global.number_entry) {
            result = unzGoToNextFile(archive);
            if (result != UNZ_OK) {
                std::printf("error %d with zipfile in unzGoToNextFile\n", result);
                break;
            }
        }
    }
    return 0;
}

void setFileTimeFromEntry(const char* path, tm_unz date) {
    std::tm broken = {};
    broken.tm_sec = static_cast<int>(date.tm_sec);
    broken.tm_min = static_cast<int>(date.tm_min);
    broken.tm_hour = static_cast<int>(date.tm_hour);
    broken.tm_mday = static_cast<int>(date.tm_mday);
    broken.tm_mon = static_cast<int>(date.tm_mon);
    broken.tm_year = static_cast<int>(date.tm_year > 1900 ? date.tm_year - 1900 : date.tm_year);
    broken.tm_isdst = -1;
    const std::time_t when = std::mktime(&broken);
    struct utimbuf times;
    times.actime = when;
    times.modtime = when;
    ::utime(path, &times);
}

int makeDirectory(const char* path) { return ::mkdir(path, kDirectoryMode); }

int makeDirectoryPath(const char* path) {
    if (path == nullptr || *path == '\0') return 0;
    std::string copy(path);
    if (copy.back() == '/') copy.pop_back();
    if (makeDirectory(copy.c_str()) == 0) return 1;
    for (std::size_t end = 1; end <= copy.size(); ++end) {
        if (end < copy.size() && !isSeparator(copy[end])) continue;
        const std::string prefix = copy.substr(0, end);
        if (makeDirectory(prefix.c_str()) != 0 && errno == ENOENT) {
            std::printf("couldn't create directory %s\n", prefix.c_str());
            return 0;
        }
    }
    return 1;
}

}  // namespace quillmark
