// Runs an operation as if the disk filled up part-way: in a forked child whose files may not
// grow beyond a limit (RLIMIT_FSIZE with SIGXFSZ ignored, so a write past it fails with EFBIG).
// Works for root too, where permissions cannot stop a write.
#ifndef QM_TESTS_SUPPORT_FILESIZELIMIT_H
#define QM_TESTS_SUPPORT_FILESIZELIMIT_H

#include <functional>
#include <string>

namespace qmtest {

// Forks, sets the limit to `limitBytes` in the child, runs `operation` there and returns the
// text it returned; the child ends with _exit and is reaped before the call returns. Effects on
// the file system are visible to the caller, effects on memory and the working directory are
// not. The operation must not use test assertions. A child that cannot be forked or does not
// exit normally fails the current test and gives "".
std::string runWithFileSizeLimit(long limitBytes, const std::function<std::string()>& operation);

}  // namespace qmtest

#endif  // QM_TESTS_SUPPORT_FILESIZELIMIT_H
