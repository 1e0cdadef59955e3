#include "support/Process.h"

#include "quillmark/SystemError.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace qmtest {

namespace {

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    void adopt(int fd) {
        reset();
        fd_ = fd;
    }

private:
    int fd_;
};

// Both ends close-on-exec: the child keeps only the copies it dup2s onto 0, 1 and 2.
bool openPipe(UniqueFd& readEnd, UniqueFd& writeEnd, std::string& error) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        error = quillmark::systemErrorText("pipe2", errno);
        return false;
    }
    readEnd.adopt(fds[0]);
    writeEnd.adopt(fds[1]);
    return true;
}

std::string findProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char* path = std::getenv("PATH");
    std::string directories = path != nullptr ? path : "/bin:/usr/bin";
    std::size_t start = 0;
    while (start <= directories.size()) {
        std::size_t end = directories.find(':', start);
        if (end == std::string::npos) {
            end = directories.size();
        }
        std::string directory = directories.substr(start, end - start);
        std::string candidate = (directory.empty() ? std::string(".") : directory) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        start = end + 1;
    }
    return std::string();
}

std::vector<std::string> childEnvironment(const std::vector<std::string>& overrides) {
    std::vector<std::string> entries;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        entries.emplace_back(*entry);
    }
    for (const std::string& entry : overrides) {
        const std::string prefix = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (std::string& existing : entries) {
            if (!prefix.empty() && existing.compare(0, prefix.size(), prefix) == 0) {
                existing = entry;
                replaced = true;
            }
        }
        if (!replaced) {
            entries.push_back(entry);
        }
    }
    return entries;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(&text[0]);
    }
    pointers.push_back(nullptr);
    return pointers;
}

// What the child reports on its error pipe when it cannot exec.
struct ChildFailure {
    int stage;  // 0 chdir, 1 exec
    int error;
};

[[noreturn]] void failInChild(int errorPipe, int stage) {
    ChildFailure failure{stage, errno};
    ssize_t ignored = ::write(errorPipe, &failure, sizeof failure);
    (void)ignored;
    ::_exit(127);
}

// Runs between fork and exec, so only async-signal-safe calls.
[[noreturn]] void runChild(int input, int output, int errorOutput, int errorPipe,
                           const char* workingDirectory, const char* program, char** argv,
                           char** envp) {
    ::dup2(input, 0);
    ::dup2(output, 1);
    ::dup2(errorOutput, 2);
    // Ignored dispositions and the signal mask survive exec; the program gets clean ones.
    struct sigaction defaultAction;
    std::memset(&defaultAction, 0, sizeof defaultAction);
    defaultAction.sa_handler = SIG_DFL;
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        if (signalNumber != SIGKILL && signalNumber != SIGSTOP) {
            ::sigaction(signalNumber, &defaultAction, nullptr);
        }
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (workingDirectory != nullptr && ::chdir(workingDirectory) != 0) {
        failInChild(errorPipe, 0);
    }
    ::execve(program, argv, envp);
    failInChild(errorPipe, 1);
}

// Appends what the descriptor holds now; resets it at end of stream or on a read error.
void readAvailable(UniqueFd& fd, std::string& into) {
    char buffer[65536];
    while (fd.valid()) {
        ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
        if (count > 0) {
            into.append(buffer, static_cast<std::size_t>(count));
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        } else {
            fd.reset();
        }
    }
}

pid_t waitForChild(pid_t pid, int* status, int flags) {
    pid_t result;
    do {
        result = ::waitpid(pid, status, flags);
    } while (result < 0 && errno == EINTR);
    return result;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
    ProcessResult result;
    if (argv.empty()) {
        result.launchError = "no program given";
        return result;
    }
    const std::string program = findProgram(argv[0]);
    if (program.empty()) {
        result.launchError = argv[0] + ": not found in PATH";
        return result;
    }
    std::vector<std::string> arguments(argv);
    std::vector<char*> argumentPointers = pointersTo(arguments);
    std::vector<std::string> environment = childEnvironment(options.environment);
    std::vector<char*> environmentPointers = pointersTo(environment);

    UniqueFd input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!input.valid()) {
        result.launchError = quillmark::systemErrorText("open /dev/null", errno);
        return result;
    }
    UniqueFd outRead, outWrite, errRead, errWrite, failRead, failWrite;
    if (!openPipe(outRead, outWrite, result.launchError) ||
        !openPipe(errRead, errWrite, result.launchError) ||
        !openPipe(failRead, failWrite, result.launchError)) {
        return result;
    }

    const char* workingDirectory =
        options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str();
    const pid_t pid = ::fork();
    if (pid < 0) {
        result.launchError = quillmark::systemErrorText("fork", errno);
        return result;
    }
    if (pid == 0) {
        runChild(input.get(), outWrite.get(), errWrite.get(), failWrite.get(), workingDirectory,
                 program.c_str(), argumentPointers.data(), environmentPointers.data());
    }
    input.reset();
    outWrite.reset();
    errWrite.reset();
    failWrite.reset();

    // End of stream on the error pipe means exec succeeded (close-on-exec) or the child died.
    ChildFailure failure{0, 0};
    ssize_t reported;
    do {
        reported = ::read(failRead.get(), &failure, sizeof failure);
    } while (reported < 0 && errno == EINTR);
    int status = 0;
    if (reported == static_cast<ssize_t>(sizeof failure)) {
        waitForChild(pid, &status, 0);
        result.launchError = quillmark::systemErrorText(
            (failure.stage == 0 ? "chdir " + options.workingDirectory : "exec " + program),
            failure.error);
        return result;
    }

    for (UniqueFd* fd : {&outRead, &errRead}) {
        ::fcntl(fd->get(), F_SETFL, ::fcntl(fd->get(), F_GETFL) | O_NONBLOCK);
    }
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    for (;;) {
        const pid_t waited = waitForChild(pid, &status, WNOHANG);
        if (waited == pid) {
            break;
        }
        if (waited < 0) {
            // Only when the caller lets children be reaped automatically (SIGCHLD ignored).
            result.launchError = quillmark::systemErrorText("waitpid", errno);
            status = 0;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            waitForChild(pid, &status, 0);
            result.timedOut = true;
            break;
        }
        pollfd fds[2];
        nfds_t count = 0;
        for (UniqueFd* fd : {&outRead, &errRead}) {
            if (fd->valid()) {
                fds[count++] = pollfd{fd->get(), POLLIN, 0};
            }
        }
        // With both pipes closed only the exit is left to wait for, which follows closely.
        ::poll(fds, count, count > 0 ? 50 : 5);
        readAvailable(outRead, result.standardOutput);
        readAvailable(errRead, result.standardError);
    }
    // Everything the child wrote before it ended is already in the pipes.
    readAvailable(outRead, result.standardOutput);
    readAvailable(errRead, result.standardError);

    if (!result.launchError.empty()) {
        return result;
    }
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.terminatingSignal = WTERMSIG(status);
    }
    return result;
}

}  // namespace qmtest
