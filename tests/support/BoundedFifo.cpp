#include "support/BoundedFifo.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace qmtest {

BoundedFifo::BoundedFifo(const std::string& path, std::chrono::milliseconds patience,
                         FifoSide tested)
    : path_(path) {
    EXPECT_EQ(0, ::mkfifo(path_.c_str(), 0600)) << path_ << ": " << std::strerror(errno);
    releaser_ = std::thread([this, patience, tested] { releaseAfterPatience(patience, tested); });
}

BoundedFifo::~BoundedFifo() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    stopRequested_.notify_all();
    releaser_.join();
}

bool BoundedFifo::stopWithin(std::unique_lock<std::mutex>& guard, std::chrono::milliseconds time) {
    return stopRequested_.wait_for(guard, time, [this] { return stopping_; });
}

void BoundedFifo::releaseAfterPatience(std::chrono::milliseconds patience, FifoSide tested) {
    std::unique_lock<std::mutex> guard(lock_);
    if (stopWithin(guard, patience)) return;
    if (tested == FifoSide::kReading) {
        releaseReaders(guard);
    } else {
        drainWriters(guard);
    }
}

void BoundedFifo::releaseReaders(std::unique_lock<std::mutex>& guard) {
    // From now on every reader that opens the FIFO is let go at once.
    while (!stopWithin(guard, std::chrono::milliseconds(10))) {
        const int writer = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (writer >= 0) {
            released_ = true;
            ::close(writer);
        }
    }
}

void BoundedFifo::drainWriters(std::unique_lock<std::mutex>& guard) {
    // A reader that stays: a writer waiting in its open goes on, and its writes never fill the
    // FIFO nor meet a closed one.
    const int reader = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (reader < 0) return;
    while (!stopWithin(guard, std::chrono::milliseconds(10))) {
        char buffer[65536];
        while (::read(reader, buffer, sizeof buffer) > 0) released_ = true;
    }
    ::close(reader);
}

}  // namespace qmtest
