#include "support/FileModes.h"

#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

namespace qmtest {

UmaskScope::UmaskScope(mode_t mask) : saved_(::umask(mask)) {}

UmaskScope::~UmaskScope() { ::umask(saved_); }

std::string modeAndOwner(const std::string& path) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) return "missing";
    char text[64];
    std::snprintf(text, sizeof text, "%04o %u:%u", static_cast<unsigned>(info.st_mode & 07777),
                  static_cast<unsigned>(info.st_uid), static_cast<unsigned>(info.st_gid));
    return text;
}

bool setModeAndOwner(const std::string& path, mode_t mode, uid_t owner, gid_t group) {
    // chown first: it may clear set-id bits that the mode asks for.
    return ::chown(path.c_str(), owner, group) == 0 && ::chmod(path.c_str(), mode) == 0;
}

}  // namespace qmtest
