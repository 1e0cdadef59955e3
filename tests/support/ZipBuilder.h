// Builds real zip archives for tests through minizip's zip interface.
//
// Entries are added in order and written by writeTo: files (deflated or stored), directory
// entries (names ending in "/"), each with a date; an entry can carry a wrong CRC-32, and the
// stored bytes of an entry in a finished archive can be damaged with corruptEntryData, so tests
// can drive the extraction's failure paths with archives minizip itself reads.
#ifndef QM_TESTS_SUPPORT_ZIPBUILDER_H
#define QM_TESTS_SUPPORT_ZIPBUILDER_H

#include <string>
#include <vector>

namespace qmtest {

// A local date as a zip entry stores it; the seconds are kept to even values by the format.
struct ZipDate {
    int year = 2021;
    int month = 6;  // 1 to 12
    int day = 15;
    int hour = 12;
    int minute = 30;
    int second = 44;
};

struct ZipEntryOptions {
    ZipDate date;
    // Stored (method 0) instead of deflated.
    bool stored = false;
    // Records a CRC-32 that differs from the contents'; implies stored.
    bool badCrc = false;
};

class ZipBuilder {
public:
    ZipBuilder& addFile(const std::string& name, const std::string& contents,
                        const ZipEntryOptions& options = ZipEntryOptions());
    // `name` should end with "/".
    ZipBuilder& addDirectory(const std::string& name, const ZipDate& date = ZipDate());

    // Writes the archive to `path`, replacing any file there. False (with a test failure) when
    // minizip refuses.
    bool writeTo(const std::string& path) const;

private:
    struct Entry {
        std::string name;
        std::string contents;
        ZipEntryOptions options;
        bool directory = false;
    };
    std::vector<Entry> entries_;
};

// Inverts every byte of the named entry's data as stored in the finished archive at
// `archivePath` (found through its local header). The entry then fails to inflate or fails its
// CRC-32 check. False (with a test failure) when the entry is not found or has no data.
bool corruptEntryData(const std::string& archivePath, const std::string& entryName);

}  // namespace qmtest

#endif  // QM_TESTS_SUPPORT_ZIPBUILDER_H
