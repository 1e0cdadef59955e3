#include "support/ForkedCall.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qmtest {

namespace {

const int kPrepareFailed = 2;

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

std::string runForked(const std::function<bool()>& prepare,
                      const std::function<std::string()>& operation) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2 failed";
        return "";
    }
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        ADD_FAILURE() << "fork failed";
        ::close(fds[0]);
        ::close(fds[1]);
        return "";
    }
    if (child == 0) {
        ::close(fds[0]);
        if (!prepare()) ::_exit(kPrepareFailed);
        writeAll(fds[1], operation());
        std::fflush(nullptr);
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string result;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        result.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ADD_FAILURE() << "the forked child did not finish (status " << status << ")";
        return "";
    }
    return result;
}

std::string runAsUser(uid_t uid, gid_t gid, const std::function<std::string()>& operation) {
    return runForked(
        [uid, gid] {
            return ::setgroups(0, nullptr) == 0 && ::setresgid(gid, gid, gid) == 0 &&
                   ::setresuid(uid, uid, uid) == 0;
        },
        operation);
}

}  // namespace qmtest
