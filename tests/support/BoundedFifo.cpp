#include "support/BoundedFifo.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace qmtest {

BoundedFifo::BoundedFifo(const std::string& path, std::chrono::milliseconds patience)
    : path_(path) {
    EXPECT_EQ(0, ::mkfifo(path_.c_str(), 0600)) << path_ << ": " << std::strerror(errno);
    releaser_ = std::thread([this, patience] { releaseReadersAfterPatience(patience); });
}

BoundedFifo::~BoundedFifo() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    stopRequested_.notify_all();
    releaser_.join();
}

void BoundedFifo::releaseReadersAfterPatience(std::chrono::milliseconds patience) {
    std::unique_lock<std::mutex> guard(lock_);
    if (stopRequested_.wait_for(guard, patience, [this] { return stopping_; })) return;
    // From now on every reader that opens the FIFO is let go at once.
    while (!stopRequested_.wait_for(guard, std::chrono::milliseconds(10),
                                    [this] { return stopping_; })) {
        const int writer = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (writer >= 0) {
            released_ = true;
            ::close(writer);
        }
    }
}

}  // namespace qmtest
