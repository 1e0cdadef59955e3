// A mount made for one test and undone when the object goes: a bind mount of one file onto
// another (as containers hand a single configuration file in), or a small tmpfs that fills up.
// Needs root; a mount that cannot be made is reported by error(), so a test can skip.
#ifndef QM_TESTS_SUPPORT_SCOPEDMOUNT_H
#define QM_TESTS_SUPPORT_SCOPEDMOUNT_H

#include <cstddef>
#include <string>

namespace qmtest {

class ScopedMount {
public:
    // mount --bind `source` onto `target`; both must exist and be of one kind (file or
    // directory).
    static ScopedMount bind(const std::string& source, const std::string& target);
    // A tmpfs of `sizeBytes` on the directory `target`, with room for `inodes` files and
    // directories (its root included); 0: the tmpfs default.
    static ScopedMount tmpfs(const std::string& target, std::size_t sizeBytes,
                             std::size_t inodes = 0);

    // Unmounts (lazily, so a descriptor still open on it does not keep it).
    ~ScopedMount();
    ScopedMount(ScopedMount&& other) noexcept;
    ScopedMount(const ScopedMount&) = delete;
    ScopedMount& operator=(const ScopedMount&) = delete;
    ScopedMount& operator=(ScopedMount&&) = delete;

    bool mounted() const { return error_.empty(); }
    // Why the mount failed; empty when it is in place.
    const std::string& error() const { return error_; }

private:
    ScopedMount(std::string target, std::string error);

    std::string target_;  // empty: nothing to unmount
    std::string error_;
};

// Writes the file `path` in blocks until its file system (a small tmpfs) has no room left;
// false when the file cannot be created.
bool fillFileSystem(const std::string& path);

}  // namespace qmtest

#endif  // QM_TESTS_SUPPORT_SCOPEDMOUNT_H
