#include "support/TestHelpers.h"

#include "quillmark/SystemError.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <random>
#include <fstream>
#include <system_error>
#include <thread>

namespace qmtest {

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

std::string currentDirectory() {
    char* cwd = ::getcwd(nullptr, 0);
    std::string path = cwd != nullptr ? cwd : "";
    std::free(cwd);
    return path;
}

std::set<std::string> namesIn(const std::string& directory) {
    std::set<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        names.insert(it->path().filename().string());
    }
    return names;
}

std::string runWithoutNetwork(const std::function<void()>& body, std::chrono::milliseconds limit) {
    enum ChildStatus { kPassed = 0, kFailed = 1, kNoNamespace = 2, kThrew = 3 };
    std::cout.flush();
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = ::fork();
    if (child < 0) return quillmark::systemErrorText("fork", errno);
    if (child == 0) {
        int status = kPassed;
        if (::unshare(CLONE_NEWNET) != 0) {
            std::fprintf(stderr, "unshare(CLONE_NEWNET): %s\n", std::strerror(errno));
            status = kNoNamespace;
        } else {
            try {
                body();
                if (::testing::Test::HasFailure()) status = kFailed;
            } catch (...) {
                status = kThrew;
            }
        }
        std::cout.flush();
        std::fflush(stdout);
        std::fflush(stderr);
        // No exit handlers: they belong to the parent's copy of the process.
        ::_exit(status);
    }

    int status = 0;
    const bool ended = eventually(
        [&] {
            pid_t waited;
            do {
                waited = ::waitpid(child, &status, WNOHANG);
            } while (waited < 0 && errno == EINTR);
            return waited == child;
        },
        limit);
    if (!ended) {
        ::kill(child, SIGKILL);
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        return "the child did not end in time and was killed";
    }
    if (WIFSIGNALED(status)) return "the child was ended by signal " + std::to_string(WTERMSIG(status));
    switch (WEXITSTATUS(status)) {
    case kPassed:
        return "";
    case kFailed:
        return "the child's checks failed (its failures are printed above)";
    case kNoNamespace:
        return "no network namespace could be made (the tests must run as root)";
    case kThrew:
        return "the child's code threw";
    default:
        return "the child ended with status " + std::to_string(WEXITSTATUS(status));
    }
}

std::string pseudoRandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFFu);
    return bytes;
}

bool someThreadInSystemCall(int pid, long number) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const std::string& task : namesIn(tasks)) {
        std::ifstream in(tasks + "/" + task + "/syscall");
        long current = -1;
        if (in >> current && current == number) return true;
    }
    return false;
}

}  // namespace qmtest
