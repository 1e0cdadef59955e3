// Small helpers shared by the test suites: bounded polling, counting, the working directory,
// directory listings, open descriptors, metric requests and repeatable pseudo-random data.
#ifndef QM_TESTS_SUPPORT_TESTHELPERS_H
#define QM_TESTS_SUPPORT_TESTHELPERS_H

#include "quillmark/MetricRequest.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace qmtest {

// Polls `condition` every few milliseconds until it holds (true) or `limit` has passed (false).
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(20));

// How often `part` occurs in `text`, overlapping occurrences included.
std::size_t occurrences(const std::string& text, const std::string& part);

// The lines of `text`, without their line feeds.
std::vector<std::string> linesOf(const std::string& text);

// Records a call appended to a vector of pointers (host information, for instance); the test
// owns and deletes them, whatever the call answered.
template <typename Record>
struct Owned {
    Owned() = default;
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() {
        for (Record* record : items) delete record;
    }
    std::vector<Record*> items;
};

// The process's working directory; empty when it cannot be read.
std::string currentDirectory();

// The names of the entries of `directory` ("." and ".." left out); empty when it cannot be read.
std::set<std::string> namesIn(const std::string& directory);

// How many entries /proc/self/fd lists: the descriptors this process holds open, plus the same
// few of the listing itself in every call, so two counts compare. -1 when it cannot be read.
int openDescriptorCount();

// A request for `command` of the metric item `itemName`, with `args` in order.
quillmark::MetricRequest metricRequest(const std::string& itemName, const std::string& command,
                                       std::vector<std::string> args = {});

// Runs `body` in a forked child (runForked) that first moves into a network namespace of its
// own, where the only interface is a loopback that is down: name lookups there cannot reach any
// resolver and fail at once, so tests of failing lookups send nothing beyond the machine. Needs
// root (CAP_SYS_ADMIN). `body` may use test assertions: the child prints its failures, and the
// result says that there were some. Returns "" when `body` ran without a failure, otherwise why
// not. Call it while the process has no other threads.
std::string runWithoutNetwork(const std::function<void()>& body);

// `size` bytes that look random, the same for the same seed on every run.
std::string pseudoRandomBytes(std::size_t size, unsigned seed = 1);

// Whether some thread of process `pid` is blocked in the system call `number` (SYS_accept4,
// say), as the kernel records it in /proc/<pid>/task/<tid>/syscall; so a test can act while a
// thread really waits there.
bool someThreadInSystemCall(int pid, long number);

}  // namespace qmtest

#endif  // QM_TESTS_SUPPORT_TESTHELPERS_H
