// The Unix bodies of the shell command runner and of SystemMetrics.
//
// A command's output is read in units of 127 bytes into a text that grows without bound, so the
// whole output is held in memory. Each unit contributes its bytes up to its first zero byte:
// results are texts, and a zero byte would cut them short wherever they pass as C strings.
// Reading blocks until the command closes its output.
#include "quillmark/SystemMetrics.h"

#include "quillmark/Exception.h"
#include "quillmark/FileHandle.h"
#include "quillmark/Log.h"
#include "quillmark/ShellRunner.h"
#include "quillmark/ShellSpawn.h"
#include "quillmark/Utils.h"

#include <zthread/Exceptions.h>
#include <zthread/Task.h>

#include <sys/sysinfo.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

namespace quillmark {

namespace {

const std::size_t kReadUnit = 127;
const std::size_t kInitialCapacity = 1024;

// A signal that interrupted the call (EINTR) is reported as a time-out, anything else as a
// processing failure.
[[noreturn]] void throwPipeFailure(const char* message, int errorNumber) {
    if (errorNumber == EINTR) QM_THROW(TimeoutException, message);
    QM_THROW(ProcessingException, message);
}

// The read end of a command's standard output. The command is waited for when the object goes,
// so neither the stream nor the child outlives a read that throws. The shell starts as
// spawnShellReadingOutput starts it (every signal at its default action, an empty mask), which
// popen(3) cannot do: its command would inherit the daemon's ignored SIGPIPE and never end on a
// closed pipe. The read end is close-on-exec: a command that another thread starts meanwhile
// would otherwise hold it for its whole life, and a writer on this pipe could then block on a
// full pipe after we close it instead of failing.
class CommandPipe {
public:
    explicit CommandPipe(const std::string& commandLine) {
        int readEnd = -1;
        shell_ = spawnShellReadingOutput(commandLine, readEnd, openError_);
        if (shell_ < 0) return;
        stream_ = fdopen(readEnd, "r");
        if (stream_ == nullptr) {
            openError_ = errno;
            ::close(readEnd);
            waitForCommand();
        }
    }
    ~CommandPipe() {
        if (stream_ != nullptr) close();
    }
    CommandPipe(const CommandPipe&) = delete;
    CommandPipe& operator=(const CommandPipe&) = delete;

    // Null when the command could not be started; openError() then holds the error number.
    FILE* stream() const { return stream_; }
    int openError() const { return openError_; }

    // Closes the stream and waits for the command, as pclose(3) does. Returns the command's wait
    // status, or -1 with errno set when it cannot be waited for.
    int close() {
        std::fclose(stream_);
        stream_ = nullptr;
        return waitForCommand();
    }

private:
    int waitForCommand() {
        int error = 0;
        const int status = waitForShell(shell_, error);
        shell_ = -1;
        if (status < 0) errno = error;
        return status;
    }

    pid_t shell_ = -1;
    FILE* stream_ = nullptr;
    int openError_ = 0;
};

// Runs `commandLine` through the shell and returns its output without the last line feed,
// trimmed; the exceptions of runCommand.
std::string captureOutput(const std::string& commandLine) {
    CommandPipe pipe(commandLine);
    if (pipe.stream() == nullptr) throwPipeFailure("Failed to open pipe.", pipe.openError());

    std::string output;
    output.reserve(kInitialCapacity);
    char chunk[kReadUnit];
    int readError = 0;
    for (;;) {
        errno = 0;
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, pipe.stream());
        // Taken before logging can overwrite it.
        if (got < sizeof chunk) readError = errno;
        if (got > 0) {
            output.append(chunk, std::find(chunk, chunk + got, '\0'));
            QM_LOG_DEBUG("Result=[" << output << "]; Size=" << output.size() << "; Len=" << got);
        }
        if (got < sizeof chunk) break;
    }
    if (std::ferror(pipe.stream())) {
        pipe.close();
        throwPipeFailure("Failed to read pipe.", readError);
    }
    if (pipe.close() == -1) throwPipeFailure("Failed to close pipe.", errno);

    if (output.empty()) QM_THROW(ProcessingException, "command returns no output");
    if (output.back() == '\n') output.pop_back();
    const std::string text = Utils::trimRight(Utils::trim(output));
    QM_LOG_DEBUG("Run remote command [" << commandLine << "] Result [" << text.size() << "] ["
                                        << text << "]...");
    return text;
}

ResultInfo* runFixedCommand(const char* commandLine) {
    MetricRequest request;
    request.args.push_back(commandLine);
    return runCommand(request);
}

bool isDecimalDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

ResultInfo* runCommand(const MetricRequest& request) {
    if (request.args.empty()) QM_THROW(InvalidArgException, "Agrument missing.");
    return new ResultInfo(captureOutput(Utils::unquote(request.args[0])));
}

std::string runDfCommand() { return captureOutput("df -Pa"); }

SystemMetrics::SystemMetrics(const std::string& name, int remoteAllowed)
    : MetricItem(name), remoteAllowed_(remoteAllowed) {}

SystemMetrics::~SystemMetrics() = default;

ResultInfo* SystemMetrics::execute(const MetricRequest& request) {
    const std::string& command = request.command;
    if (command == "uptime") return uptime();
    if (command == "boottime") return bootTime();
    if (command == "users") return userCount();
    if (command == "hostname") return hostname();
    if (command == "uname") return uname();
    if (command == "run") return runRemoteCommand(request);
    QM_THROW(UnsupportedException, "Command unsupported.");
}

ResultInfo* SystemMetrics::uptime() {
    struct sysinfo info;
    if (sysinfo(&info) != 0) QM_THROW(ProcessingException, "sysinfo Failed.");
    return new ResultInfo(static_cast<unsigned long>(info.uptime));
}

ResultInfo* SystemMetrics::bootTime() {
    return new ResultInfo(static_cast<unsigned long>(readBootTime("/proc/stat")));
}

long SystemMetrics::readBootTime(const std::string& statFile) {
    FileHandle file(std::fopen(statFile.c_str(), "re"));
    if (!file) QM_THROW(ProcessingException, "Failed to open stat file.");
    std::string line;
    bool found = false;
    while (!found && readLine(file.get(), line)) found = line.compare(0, 5, "btime") == 0;
    file.reset();
    if (!found) QM_THROW(ProcessingException, "Failed to find btime value.");

    std::vector<std::string> fields;
    Utils::split(line, fields, " ");
    if (fields.size() < 2 || !isDecimalDigit(fields[1][0])) {
        QM_THROW(ProcessingException, "Failed to find btime value.");
    }
    return Utils::toLong(fields[1]);
}

ResultInfo* SystemMetrics::userCount() { return runFixedCommand("who|wc -l"); }

ResultInfo* SystemMetrics::hostname() { return runFixedCommand("hostname"); }

ResultInfo* SystemMetrics::uname() { return runFixedCommand("uname -a"); }

ResultInfo* SystemMetrics::runRemoteCommand(const MetricRequest& request) {
    if (remoteAllowed_ != 1) QM_THROW(ProcessingException, "Remote is not allowed.");
    if (request.args.empty() || request.args[0].empty()) {
        QM_THROW(InvalidArgException, "Agruments missing.");
    }
    QM_LOG_DEBUG("Run command " << request.args[0]);
    const std::string mode =
        request.args.size() >= 2 && !request.args[1].empty() ? request.args[1] : "wait";
    if (mode == "wait") return runCommand(request);
    if (mode != "nowait") QM_THROW(ProcessingException, "Command unsupported.");

    try {
        std::unique_ptr<ShellRunner> runner(new ShellRunner(request));
        ZThread::Task task(runner.get());
        runner.release();
        remoteCommandExecutor.execute(task);
    } catch (const ZThread::Synchronization_Exception& e) {
        QM_LOG_ERROR("Thread failed for command " << request.args[0] << "; Reason: " << e.what());
        return new ResultInfo(0UL);
    }
    return new ResultInfo(1UL);
}

}  // namespace quillmark
