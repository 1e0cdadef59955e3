#include "support/KilledCall.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qmtest {

namespace {

const unsigned kChildAlarmSeconds = 20;

// The child's next stop or end; false when it cannot be waited for.
bool waitForChild(pid_t child, int& status) {
    for (;;) {
        if (::waitpid(child, &status, 0) == child) return true;
        if (errno != EINTR) return false;
    }
}

KilledCallEnd killChild(pid_t child) {
    int status = 0;
    ::kill(child, SIGKILL);
    waitForChild(child, status);
    return KilledCallEnd::kKilled;
}

}  // namespace

KilledCallEnd runKilledBeforeSystemCall(long callNumber, const std::function<void()>& operation) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        ADD_FAILURE() << "fork failed";
        return KilledCallEnd::kFailed;
    }
    if (child == 0) {
        if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(2);
        ::alarm(kChildAlarmSeconds);
        // Waits here until the parent has set the tracing up.
        ::raise(SIGSTOP);
        operation();
        ::_exit(0);
    }

    int status = 0;
    if (!waitForChild(child, status) || !WIFSTOPPED(status) ||
        ::ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL) !=
            0) {
        ADD_FAILURE() << "the child could not be traced (status " << status << ")";
        if (!WIFEXITED(status) && !WIFSIGNALED(status)) killChild(child);
        return KilledCallEnd::kFailed;
    }
    long calls = 0;
    int signalToPass = 0;
    for (;;) {
        if (::ptrace(PTRACE_SYSCALL, child, nullptr, signalToPass) != 0) {
            ADD_FAILURE() << "ptrace(PTRACE_SYSCALL) failed";
            killChild(child);
            return KilledCallEnd::kFailed;
        }
        signalToPass = 0;
        if (!waitForChild(child, status)) {
            ADD_FAILURE() << "the traced child could not be waited for";
            return KilledCallEnd::kFailed;
        }
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return KilledCallEnd::kFinished;
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            ADD_FAILURE() << "the traced child ended with status " << status;
            return KilledCallEnd::kFailed;
        }
        if (WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            // A signal for the child (its alarm, say): delivered as if untraced.
            signalToPass = WSTOPSIG(status);
            continue;
        }
        struct __ptrace_syscall_info info = {};
        if (::ptrace(PTRACE_GET_SYSCALL_INFO, child, sizeof info, &info) <= 0) {
            ADD_FAILURE() << "ptrace(PTRACE_GET_SYSCALL_INFO) failed";
            killChild(child);
            return KilledCallEnd::kFailed;
        }
        if (info.op == PTRACE_SYSCALL_INFO_ENTRY && ++calls == callNumber) return killChild(child);
    }
}

}  // namespace qmtest
