#include "support/TestHelpers.h"

#include "support/ForkedCall.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>
#include <thread>
#include <utility>

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

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
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

int openDescriptorCount() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
    return count;
}

quillmark::MetricRequest metricRequest(const std::string& itemName, const std::string& command,
                                       std::vector<std::string> args) {
    quillmark::MetricRequest request;
    request.itemName = itemName;
    request.command = command;
    request.args = std::move(args);
    return request;
}

std::string runWithoutNetwork(const std::function<void()>& body) {
    const std::string outcome = runForked(
        [] {
            if (::unshare(CLONE_NEWNET) == 0) return true;
            std::fprintf(stderr, "unshare(CLONE_NEWNET): %s\n", std::strerror(errno));
            return false;
        },
        [&body]() -> std::string {
            try {
                body();
            } catch (...) {
                return "the child's code threw";
            }
            // The child's own failures are printed by the child.
            return ::testing::Test::HasFailure() ? "the child's checks failed" : "";
        });
    return outcome;
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
