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
#include "quillmark/Utils.h"

#include <zthread/Exceptions.h>
#include <zthread/Task.h>

#include <sys/sysinfo.h>
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

// The read end of a command's standard output. The command is waited for (pclose) when the
// object goes, so neither the stream nor the child outlives a read that throws.
class CommandPipe {
public:
    // "e" makes the descriptor close-on-exec: a command that another thread starts meanwhile
    // would otherwise hold our read end for its whole life, and a writer on this pipe could then
    // block on a full pipe after we close it instead of failing.
    explicit CommandPipe(const std::string& commandLine)
        : stream_(popen(commandLine.c_str(), "re")), openError_(stream_ == nullptr ? errno : 0) {}
    ~CommandPipe() {
        if (stream_ != nullptr) pclose(stream_);
    }
    CommandPipe(const CommandPipe&) = delete;
    CommandPipe& operator=(const CommandPipe&) = delete;

    // Null when popen failed; openError() then holds its error number.
    FILE* stream() const { return stream_; }
    int openError() const { return openError_; }

    // Closes the stream and waits for the command. Returns pclose's result (-1 with errno set on
    // failure).
    int close() {
        FILE* stream = stream_;
        stream_ = nullptr;
        return pclose(stream);
    }

private:
    FILE* stream_;
    const int openError_;
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
