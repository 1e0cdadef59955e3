#include "support/ScopedMount.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <sys/mount.h>

namespace qmtest {

namespace {

std::string mountError(const std::string& what, int errorNumber) {
    return "cannot mount " + what + ": " + std::strerror(errorNumber);
}

}  // namespace

ScopedMount ScopedMount::bind(const std::string& source, const std::string& target) {
    if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        return ScopedMount("", mountError(source + " on " + target, errno));
    }
    return ScopedMount(target, "");
}

ScopedMount ScopedMount::tmpfs(const std::string& target, std::size_t sizeBytes,
                               std::size_t inodes) {
    std::string options = "size=" + std::to_string(sizeBytes);
    if (inodes != 0) options += ",nr_inodes=" + std::to_string(inodes);
    if (::mount("tmpfs", target.c_str(), "tmpfs", 0, options.c_str()) != 0) {
        return ScopedMount("", mountError("a tmpfs on " + target, errno));
    }
    return ScopedMount(target, "");
}

ScopedMount::ScopedMount(std::string target, std::string error)
    : target_(std::move(target)), error_(std::move(error)) {}

ScopedMount::ScopedMount(ScopedMount&& other) noexcept
    : target_(std::move(other.target_)), error_(std::move(other.error_)) {
    other.target_.clear();
}

ScopedMount::~ScopedMount() {
    if (!target_.empty()) ::umount2(target_.c_str(), MNT_DETACH);
}

bool fillFileSystem(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const std::string block(4096, 'f');
    while (std::fwrite(block.data(), 1, block.size(), file) == block.size() &&
           std::fflush(file) == 0) {
    }
    std::fclose(file);
    return true;
}

}  // namespace qmtest
