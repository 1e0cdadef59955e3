// A FIFO for tests of code that must not wait on one.
//
// Code that opens a FIFO for reading waits in the open until a writer comes, for ever if none
// does. A BoundedFifo keeps a test bounded when the code under test does wait: once `patience`
// has passed, a thread of its own opens the FIFO for writing (without blocking, so only while a
// reader has it open) and closes it again, which lets a waiting open return and the read that
// follows see the end of the file. The test then fails on the result, and on
// releasedAWaitingReader(), instead of hanging. Works across processes: a daemon's open is
// released the same way.
//
// Threads: the object is used by the test's thread; its own thread only opens and closes.
#ifndef QM_TESTS_SUPPORT_BOUNDEDFIFO_H
#define QM_TESTS_SUPPORT_BOUNDEDFIFO_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace qmtest {

// The side of the FIFO that the code under test opens.
enum class FifoSide { kReading, kWriting };

class BoundedFifo {
public:
    // Makes the FIFO at `path` (fails the current test when it cannot). The FIFO is not removed
    // at the end: it lies in the test's temporary directory.
    explicit BoundedFifo(const std::string& path,
                         std::chrono::milliseconds patience = std::chrono::seconds(5),
                         FifoSide tested = FifoSide::kReading);
    // Stops the releasing thread.
    ~BoundedFifo();
    BoundedFifo(const BoundedFifo&) = delete;
    BoundedFifo& operator=(const BoundedFifo&) = delete;

    const std::string& path() const { return path_; }
    // Whether some reader had to be released after the patience ran out (kReading).
    bool releasedAWaitingReader() const { return released_; }
    // Whether some writer wrote once the patience had run out (kWriting).
    bool releasedAWaitingWriter() const { return released_; }

private:
    void releaseAfterPatience(std::chrono::milliseconds patience, FifoSide tested);
    // Until the stop: every 10 ms, readers let go (kReading), or what writers wrote read and
    // dropped (kWriting). Expects lock_ held by `guard`.
    void releaseReaders(std::unique_lock<std::mutex>& guard);
    void drainWriters(std::unique_lock<std::mutex>& guard);
    bool stopWithin(std::unique_lock<std::mutex>& guard, std::chrono::milliseconds time);

    const std::string path_;
    std::atomic<bool> released_{false};
    std::mutex lock_;
    std::condition_variable stopRequested_;
    bool stopping_ = false;  // guarded by lock_
    std::thread releaser_;
};

}  // namespace qmtest

#endif  // QM_TESTS_SUPPORT_BOUNDEDFIFO_H
