// Signal dispositions and masks for tests of the code that starts commands: a disposition set
// for one scope, the process and thread state the daemon runs its commands in, and the sets a
// process reports in /proc/<pid>/status.
#ifndef QM_TESTS_SUPPORT_SIGNALSTATE_H
#define QM_TESTS_SUPPORT_SIGNALSTATE_H

#include <csignal>
#include <functional>
#include <string>

namespace qmtest {

// Sets the disposition of `number` to `handler` (a function, SIG_IGN or SIG_DFL; empty mask, no
// flags) for the life of the object and puts the previous one back. A failure fails the test.
class ScopedDisposition {
public:
    ScopedDisposition(int number, void (*handler)(int));
    ~ScopedDisposition();
    ScopedDisposition(const ScopedDisposition&) = delete;
    ScopedDisposition& operator=(const ScopedDisposition&) = delete;

private:
    const int number_;
    struct sigaction previous_;
};

// Runs `body` on a new thread and waits for it, in the state the daemon's threads start commands
// in: the process ignores SIGPIPE and SIGHUP, and the thread blocks SIGINT, SIGQUIT, SIGTERM and
// SIGUSR1. The dispositions are put back afterwards. `body` may use test assertions.
void runAsTheDaemonDoes(const std::function<void()>& body);

// The ignored (SigIgn) and blocked (SigBlk) signal sets of /proc status text, one bit per signal
// (bit n - 1 for signal n); all bits set for a line the text lacks.
struct SignalSets {
    unsigned long long ignored;
    unsigned long long blocked;
};
SignalSets signalSetsOf(const std::string& statusText);

}  // namespace qmtest

#endif  // QM_TESTS_SUPPORT_SIGNALSTATE_H
