// Runs a program as a child process and collects everything it writes.
//
// runProcess forks, execs argv with standard input from /dev/null and standard output and error
// on two pipes, reads both until the child has exited, and reaps it. Output that descendants
// write after the child has exited (a daemon's grandchild, say) is collected only as far as it
// is already in the pipes; the call never waits for descendants. Each call owns its child: no
// process is left behind unreaped, and on time-out the child (only it, by its pid) is killed.
//
// Threads: any thread may call it; the child runs only async-signal-safe code before exec.
#ifndef QM_TESTS_SUPPORT_PROCESS_H
#define QM_TESTS_SUPPORT_PROCESS_H

#include <chrono>
#include <string>
#include <vector>

namespace qmtest {

struct ProcessOptions {
    // The child's working directory; empty: the caller's.
    std::string workingDirectory;
    // "NAME=value" entries that are added to, or replace, the inherited environment.
    std::vector<std::string> environment;
    // After this the child is killed with SIGKILL and the result is marked timedOut.
    std::chrono::milliseconds timeout{60000};
};

struct ProcessResult {
    std::string standardOutput;
    std::string standardError;
    // The status the child passed to exit (0..255), or -1 when it did not exit normally.
    int exitStatus = -1;
    // The signal that ended the child, or 0.
    int terminatingSignal = 0;
    bool timedOut = false;
    // Why the program could not be started (fork or exec failure); empty when it ran.
    std::string launchError;
};

// argv[0] is the program: a path, or a name looked up in PATH. Never throws; failures to start
// are reported through launchError.
ProcessResult runProcess(const std::vector<std::string>& argv,
                         const ProcessOptions& options = ProcessOptions());

}  // namespace qmtest

#endif  // QM_TESTS_SUPPORT_PROCESS_H
