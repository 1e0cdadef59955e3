// SystemMetrics: the metric item for host-wide figures (uptime, boot time, logged-in users, host
// name, kernel description) and for remote shell commands; beside it, the shell command runner
// that captures a command's output (runCommand, runDfCommand).
//
// Commands are run by /bin/sh with their standard output on a pipe, as popen would run them but
// with every signal at its default action and an empty signal mask (spawnShellReadingOutput),
// and without a time limit: a call returns when the command has closed its standard output and
// ended. Its standard error is not captured and its exit status is not examined. The pipe is
// close-on-exec, so commands started at the same time by other threads do not inherit it.
//
// Every operation keeps its state in the call and takes no lock: any thread may call any of them,
// also at the same time. Results are new objects owned by the caller; failures are exceptions of
// the Exception family carrying the source file "unix/metrics/SystemMetricsUnix". The DEBUG log
// shows each command's output.
#ifndef QUILLMARK_SYSTEMMETRICS_H
#define QUILLMARK_SYSTEMMETRICS_H

#include "quillmark/MetricItem.h"

#include <string>

namespace quillmark {

// Runs the first element of request.args, with one pair of enclosing double quotes removed
// (Utils::unquote), through the shell; itemName, command and the other arguments are not used.
// Returns a new result holding the output without its last line feed, blanks at both ends and
// trailing control bytes (Utils::trim, then Utils::trimRight). The output is read 127 bytes at a
// time, and each read contributes only its bytes before its first zero byte.
// Throws InvalidArgException "Agrument missing." when args is empty; "Failed to open pipe.",
// "Failed to read pipe." or "Failed to close pipe." as a TimeoutException when a signal
// interrupted the call (EINTR), otherwise as a ProcessingException; ProcessingException
// "command returns no output" when nothing was kept (no output, or zero bytes only).
ResultInfo* runCommand(const MetricRequest& request);

// The output of "df -Pa", trimmed and with the exceptions of runCommand.
std::string runDfCommand();

class SystemMetrics : public MetricItem {
public:
    // `remoteAllowed` is 1 to let runRemoteCommand run commands; any other value refuses them.
    explicit SystemMetrics(const std::string& name, int remoteAllowed = 0);
    ~SystemMetrics() override;

    // Dispatches request.command, compared exactly: "uptime", "boottime", "users", "hostname",
    // "uname" (their arguments are not looked at) and "run" (runRemoteCommand with the request).
    // Throws UnsupportedException "Command unsupported." for any other command.
    ResultInfo* execute(const MetricRequest& request) override;

    // Seconds since the host started (sysinfo). Throws ProcessingException "sysinfo Failed.".
    ResultInfo* uptime();

    // The boot time in seconds since the epoch, from the "btime" line of /proc/stat; the
    // exceptions of readBootTime.
    ResultInfo* bootTime();

    // The outputs of "who|wc -l", "hostname" and "uname -a"; the exceptions of runCommand.
    ResultInfo* userCount();
    ResultInfo* hostname();
    ResultInfo* uname();

    // Runs args[0] as runCommand does. The mode is args[1] when present and not empty, otherwise
    // "wait": "wait" returns the output; "nowait" starts the command on a thread of its own
    // (ShellRunner on remoteCommandExecutor) and returns 1 at once, or 0 when the thread cannot
    // be started (logged at ERROR). Throws ProcessingException "Remote is not allowed." unless
    // remote commands are allowed, before anything else; InvalidArgException "Agruments
    // missing." when args is empty or args[0] is empty; ProcessingException "Command
    // unsupported." for any other mode (compared exactly, case included); in "wait" mode the
    // exceptions of runCommand.
    ResultInfo* runRemoteCommand(const MetricRequest& request);

    // The value of the first line of the kernel statistics file `statFile` (normally /proc/stat)
    // that begins with "btime": its second blank-separated field, read as a decimal number.
    // Throws ProcessingException "Failed to open stat file." when the file does not open, and
    // "Failed to find btime value." when no line begins with "btime" or its second field is
    // missing or does not begin with a digit.
    static long readBootTime(const std::string& statFile);

private:
    const int remoteAllowed_;
};

}  // namespace quillmark

#endif  // QUILLMARK_SYSTEMMETRICS_H
