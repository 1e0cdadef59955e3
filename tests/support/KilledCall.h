// Runs an operation in a forked child that is killed with SIGKILL just before one chosen system
// call, as kill -9 or a crash could stop it there. The child is traced by this process
// (ptrace(2)), which stops it at every system call, so the kill lands exactly before the chosen
// one: a test can try every point of an operation in turn.
#ifndef QM_TESTS_SUPPORT_KILLEDCALL_H
#define QM_TESTS_SUPPORT_KILLEDCALL_H

#include <functional>

namespace qmtest {

// How a traced run ended.
enum class KilledCallEnd {
    kKilled,    // killed before its chosen system call
    kFinished,  // the operation returned before making that many system calls
    kFailed,    // the child could not be traced, or ended otherwise (a test failure is added)
};

// Forks; the child runs `operation` and ends with _exit(0). It is killed when about to enter the
// `callNumber`-th system call it makes from the start of `operation` on (1: the first). The
// child is reaped before the call returns; one that runs for more than 20 seconds is ended by
// its own alarm. `operation` may not use test assertions. Call it while the process has no other
// threads.
KilledCallEnd runKilledBeforeSystemCall(long callNumber, const std::function<void()>& operation);

}  // namespace qmtest

#endif  // QM_TESTS_SUPPORT_KILLEDCALL_H
