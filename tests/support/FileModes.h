// Setting the umask for a scope and reading a file's permissions and owner, for tests of the
// mode and owner a written file gets.
#ifndef QM_TESTS_SUPPORT_FILEMODES_H
#define QM_TESTS_SUPPORT_FILEMODES_H

#include <string>

#include <sys/types.h>

namespace qmtest {

// Sets the process's umask for the life of the object.
class UmaskScope {
public:
    explicit UmaskScope(mode_t mask);
    ~UmaskScope();
    UmaskScope(const UmaskScope&) = delete;
    UmaskScope& operator=(const UmaskScope&) = delete;

private:
    mode_t saved_;
};

// The permission bits (four octal digits), owner and group of the file `path` names, without
// following a final symbolic link: "0640 65534:65534". "missing" when there is no such file.
std::string modeAndOwner(const std::string& path);

// chmod and chown of `path`, for setting a test's files up; false when either fails.
bool setModeAndOwner(const std::string& path, mode_t mode, uid_t owner, gid_t group);

}  // namespace qmtest

#endif  // QM_TESTS_SUPPORT_FILEMODES_H
