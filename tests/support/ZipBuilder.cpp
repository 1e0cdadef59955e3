#include "support/ZipBuilder.h"

#include <gtest/gtest.h>

#include <zip.h>
#include <zlib.h>

#include <cstdint>
#include <fstream>
#include <iterator>

namespace qmtest {

namespace {

const unsigned kMsDosDirectoryAttribute = 0x10;

zip_fileinfo fileInfoFor(const ZipDate& date, bool directory) {
    zip_fileinfo info = {};
    info.tmz_date.tm_sec = static_cast<uInt>(date.second);
    info.tmz_date.tm_min = static_cast<uInt>(date.minute);
    info.tmz_date.tm_hour = static_cast<uInt>(date.hour);
    info.tmz_date.tm_mday = static_cast<uInt>(date.day);
    info.tmz_date.tm_mon = static_cast<uInt>(date.month - 1);
    info.tmz_date.tm_year = static_cast<uInt>(date.year);
    info.dosDate = 0;
    info.external_fa = directory ? kMsDosDirectoryAttribute : 0;
    return info;
}

std::uint32_t readLittleEndian(const std::string& bytes, std::size_t at, int width) {
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    }
    return value;
}

}  // namespace

ZipBuilder& ZipBuilder::addFile(const std::string& name, const std::string& contents,
                                const ZipEntryOptions& options) {
    Entry entry;
    entry.name = name;
    entry.contents = contents;
    entry.options = options;
    entries_.push_back(entry);
    return *this;
}

ZipBuilder& ZipBuilder::addDirectory(const std::string& name, const ZipDate& date) {
    Entry entry;
    entry.name = name;
    entry.options.date = date;
    entry.options.stored = true;
    entry.directory = true;
    entries_.push_back(entry);
    return *this;
}

bool ZipBuilder::writeTo(const std::string& path) const {
    zipFile archive = zipOpen(path.c_str(), APPEND_STATUS_CREATE);
    if (archive == nullptr) {
        ADD_FAILURE() << "zipOpen failed for " << path;
        return false;
    }
    bool ok = true;
    for (const Entry& entry : entries_) {
        const zip_fileinfo info = fileInfoFor(entry.options.date, entry.directory);
        const bool stored = entry.options.stored || entry.options.badCrc;
        const int method = stored ? 0 : Z_DEFLATED;
        const int level = stored ? 0 : Z_DEFAULT_COMPRESSION;
        // Raw mode takes the bytes as they are to be stored and the CRC-32 from the caller.
        const int raw = entry.options.badCrc ? 1 : 0;
        if (zipOpenNewFileInZip2(archive, entry.name.c_str(), &info, nullptr, 0, nullptr, 0,
                                 nullptr, method, level, raw) != ZIP_OK) {
            ADD_FAILURE() << "zipOpenNewFileInZip2 failed for " << entry.name;
            ok = false;
            break;
        }
        if (!entry.contents.empty() &&
            zipWriteInFileInZip(archive, entry.contents.data(),
                                static_cast<unsigned>(entry.contents.size())) != ZIP_OK) {
            ADD_FAILURE() << "zipWriteInFileInZip failed for " << entry.name;
            ok = false;
        }
        int closed;
        if (raw) {
            const uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(entry.contents.data()),
                                    static_cast<uInt>(entry.contents.size()));
            closed = zipCloseFileInZipRaw(archive, entry.contents.size(), crc ^ 0x5a5a5a5aUL);
        } else {
            closed = zipCloseFileInZip(archive);
        }
        if (closed != ZIP_OK) {
            ADD_FAILURE() << "closing entry " << entry.name << " failed";
            ok = false;
        }
        if (!ok) break;
    }
    if (zipClose(archive, nullptr) != ZIP_OK) {
        ADD_FAILURE() << "zipClose failed for " << path;
        ok = false;
    }
    return ok;
}

bool corruptEntryData(const std::string& archivePath, const std::string& entryName) {
    std::string bytes;
    {
        std::ifstream in(archivePath, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // Local file header: signature, then at 18 the compressed size, at 26 the name length, at
    // 28 the extra field length, at 30 the name; the data follows the extra field.
    const std::string signature("PK\x03\x04", 4);
    for (std::size_t at = bytes.find(signature); at != std::string::npos;
         at = bytes.find(signature, at + 1)) {
        if (at + 30 > bytes.size()) break;
        const std::size_t compressedSize = readLittleEndian(bytes, at + 18, 4);
        const std::size_t nameLength = readLittleEndian(bytes, at + 26, 2);
        const std::size_t extraLength = readLittleEndian(bytes, at + 28, 2);
        const std::size_t dataStart = at + 30 + nameLength + extraLength;
        if (dataStart + compressedSize > bytes.size()) continue;
        if (bytes.compare(at + 30, nameLength, entryName) != 0 || nameLength != entryName.size()) {
            continue;
        }
        if (compressedSize == 0) break;
        for (std::size_t i = dataStart; i < dataStart + compressedSize; ++i) {
            bytes[i] = static_cast<char>(~bytes[i]);
        }
        std::ofstream out(archivePath, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            ADD_FAILURE() << "cannot rewrite " << archivePath;
            return false;
        }
        return true;
    }
    ADD_FAILURE() << "no data of entry " << entryName << " in " << archivePath;
    return false;
}

}  // namespace qmtest
