// Runs an operation in a forked child, so that what it changes about the process (its user, its
// resource limits) leaves the test process untouched, and hands its result text back.
#ifndef QM_TESTS_SUPPORT_FORKEDCALL_H
#define QM_TESTS_SUPPORT_FORKEDCALL_H

#include <functional>
#include <string>

#include <sys/types.h>

namespace qmtest {

// Forks; the child runs `prepare`, then, when that returned true, `operation`, and the text the
// operation returned comes back through a pipe. The child ends with _exit and is reaped before
// the call returns. Effects on the file system are visible to the caller, effects on memory and
// the working directory are not. Neither function may use test assertions. A child that cannot
// be forked, whose `prepare` fails or that does not exit normally fails the current test and
// gives "".
std::string runForked(const std::function<bool()>& prepare,
                      const std::function<std::string()>& operation);

// runForked with the child's user and group set to `uid` and `gid` (no supplementary groups), as
// a process that is not root. Needs a root caller.
std::string runAsUser(uid_t uid, gid_t gid, const std::function<std::string()>& operation);

}  // namespace qmtest

#endif  // QM_TESTS_SUPPORT_FORKEDCALL_H
