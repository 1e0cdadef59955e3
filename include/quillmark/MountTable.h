// MountTable: the entries of a mount table file ("/etc/mtab" or one in its format), read whole.
//
// The table is opened close-on-exec and read with getmntent_r into a buffer of the call, so any
// thread may read any table, also at the same time. Nothing is logged or thrown here: each
// caller reports a table that does not open in its own words.
#ifndef QUILLMARK_MOUNTTABLE_H
#define QUILLMARK_MOUNTTABLE_H

#include <string>
#include <vector>

namespace quillmark {

class MountTable {
public:
    struct Entry {
        // The first field: the device, or a network file system's server:path.
        std::string device;
        // The second field: the directory the file system is mounted on.
        std::string mountPoint;
    };

    // Appends every entry of the table at `path` to `entries`, in table order. False, with
    // `entries` unchanged, when the table does not open (errno tells why).
    static bool read(const std::string& path, std::vector<Entry>& entries);
};

}  // namespace quillmark

#endif  // QUILLMARK_MOUNTTABLE_H
