#include "quillmark/MountTable.h"

#include <mntent.h>
#include <cstddef>
#include <cstdio>
#include <memory>

namespace quillmark {

namespace {

// getmntent_r cuts a longer line and skips the rest of it; the device and the mount directory
// come first on the line, so only the trailing option fields of such a line would be lost.
const std::size_t kMountLineBuffer = 64 * 1024;

struct TableCloser {
    void operator()(FILE* table) const { endmntent(table); }
};
using OpenTable = std::unique_ptr<FILE, TableCloser>;

}  // namespace

bool MountTable::read(const std::string& path, std::vector<Entry>& entries) {
    // "e": close-on-exec, so commands run meanwhile do not inherit the table.
    OpenTable table(setmntent(path.c_str(), "re"));
    if (!table) return false;
    // getmntent_r, not getmntent: the latter's static entry would be shared by every thread.
    std::vector<char> lineBuffer(kMountLineBuffer);
    struct mntent entry;
    while (getmntent_r(table.get(), &entry, lineBuffer.data(),
                       static_cast<int>(lineBuffer.size())) != nullptr) {
        entries.push_back(Entry{entry.mnt_fsname, entry.mnt_dir});
    }
    return true;
}

}  // namespace quillmark
