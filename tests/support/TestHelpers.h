// Small helpers shared by the test suites: bounded polling, counting, the working directory and
// directory listings.
#ifndef QM_TESTS_SUPPORT_TESTHELPERS_H
#define QM_TESTS_SUPPORT_TESTHELPERS_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <set>
#include <string>

namespace qmtest {

// Polls `condition` every few milliseconds until it holds (true) or `limit` has passed (false).
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(20));

// How often `part` occurs in `text`, overlapping occurrences included.
std::size_t occurrences(const std::string& text, const std::string& part);

// The process's working directory; empty when it cannot be read.
std::string currentDirectory();

// The names of the entries of `directory` ("." and ".." left out); empty when it cannot be read.
std::set<std::string> namesIn(const std::string& directory);

// Whether some thread of process `pid` is blocked in the system call `number` (SYS_accept4,
// say), as the kernel records it in /proc/<pid>/task/<tid>/syscall; so a test can act while a
// thread really waits there.
bool someThreadInSystemCall(int pid, long number);

}  // namespace qmtest

#endif  // QM_TESTS_SUPPORT_TESTHELPERS_H
