#include "quillmark/CommandFirstLine.h"

#include "quillmark/FileHandle.h"
#include "quillmark/ShellSpawn.h"

#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quillmark {

namespace {

// Without a process descriptor (an older kernel) the shell's end is looked for this often while
// its output is silent.
const int kExitCheckMillis = 20;

// The shell's process, waited for on every path so that no zombie is left behind.
class Shell {
public:
    explicit Shell(pid_t pid) : pid_(pid) {}
    ~Shell() { wait(); }
    Shell(const Shell&) = delete;
    Shell& operator=(const Shell&) = delete;

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }

    // Whether the shell has ended; reaps it when it has. A shell that cannot be waited for (a
    // process whose children are reaped automatically) counts as ended, with a failed status.
    bool hasEnded() {
        if (ended_) return true;
        const pid_t result = ::waitpid(pid_, &status_, WNOHANG);
        if (result == pid_ || (result < 0 && errno != EINTR)) {
            ended_ = true;
            succeeded_ = result == pid_ && WIFEXITED(status_) && WEXITSTATUS(status_) == 0;
        }
        return ended_;
    }

    // Waits for the shell; true when it ended with status 0.
    bool wait() {
        if (started() && !ended_) {
            int error = 0;
            status_ = waitForShell(pid_, error);
            ended_ = true;
            succeeded_ = status_ == 0;
        }
        return succeeded_;
    }

private:
    pid_t pid_;
    int status_ = 0;
    bool ended_ = false;
    bool succeeded_ = false;
};

// Keeps the first line of the output; the bytes after it are dropped.
class FirstLine {
public:
    explicit FirstLine(std::size_t maxLength) : maxLength_(maxLength) {}

    void take(const char* data, std::size_t count) {
        for (std::size_t i = 0; i < count && !complete_; ++i) {
            // The line was read through a buffer of maxLength bytes and a terminating zero.
            if (data[i] == '\n' || data[i] == '\0' || text_.size() == maxLength_) {
                complete_ = true;
            } else {
                text_.push_back(data[i]);
            }
        }
    }

    bool complete() const { return complete_; }
    std::string& text() { return text_; }

private:
    const std::size_t maxLength_;
    std::string text_;
    bool complete_ = false;
};

enum class ReadResult { kData, kEnd, kNothingYet, kFailed };

ReadResult readChunk(int fd, FirstLine& output) {
    char buffer[4096];
    ssize_t count;
    do {
        count = ::read(fd, buffer, sizeof buffer);
    } while (count < 0 && errno == EINTR);
    if (count > 0) {
        output.take(buffer, static_cast<std::size_t>(count));
        return ReadResult::kData;
    }
    if (count == 0) return ReadResult::kEnd;
    return errno == EAGAIN ? ReadResult::kNothingYet : ReadResult::kFailed;
}

}  // namespace

bool runForFirstLine(const std::string& command, std::size_t maxLength, std::string& line) {
    int readEnd = -1;
    int error = 0;
    Shell shell(spawnShellReadingOutput(command, readEnd, error));
    Descriptor output(readEnd);
    if (!shell.started()) return false;
    // Readable once the shell has ended; -1 where the kernel has no process descriptors, and
    // poll then skips it.
    Descriptor shellEnd(static_cast<int>(::syscall(SYS_pidfd_open, shell.pid(), 0)));

    FirstLine first(maxLength);
    bool failed = false;
    // However much the command writes, it is read while the shell lives: a closed pipe would
    // end the command with SIGPIPE. Background processes of the command may keep the pipe open
    // long after the shell, so the end of the output is not waited for once the shell has ended.
    while (output.isOpen() && !shell.hasEnded()) {
        pollfd watched[2] = {{output.get(), POLLIN, 0}, {shellEnd.get(), POLLIN, 0}};
        const int ready = ::poll(watched, 2, shellEnd.isOpen() ? -1 : kExitCheckMillis);
        if (ready < 0 && errno != EINTR) failed = true;
        if (ready > 0 && watched[0].revents != 0) {
            const ReadResult result = readChunk(output.get(), first);
            if (result == ReadResult::kFailed) failed = true;
            if (result == ReadResult::kEnd) output.reset();
        }
        if (failed) output.reset();
    }
    // What the shell wrote before it ended may still wait in the pipe.
    if (output.isOpen() && !first.complete() &&
        ::fcntl(output.get(), F_SETFL, ::fcntl(output.get(), F_GETFL) | O_NONBLOCK) == 0) {
        ReadResult result = ReadResult::kData;
        while (result == ReadResult::kData && !first.complete()) {
            result = readChunk(output.get(), first);
        }
        if (result == ReadResult::kFailed) failed = true;
    }
    // Closing the pipe before waiting: a command still writing then ends instead of blocking.
    output.reset();
    if (!shell.wait() || failed) return false;
    line.swap(first.text());
    return true;
}

}  // namespace quillmark
