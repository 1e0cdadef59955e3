#include "AbstractExecution.h"

#include "quillmark/Exception.h"
#include "support/LogCapture.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>
#include <zthread/Task.h>
#include <zthread/ThreadedExecutor.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>

using qmtest::eventually;
using qmtest::occurrences;

using namespace quillmark;

namespace {

// A worker that counts its cycles. With `holdCycles` each cycle waits until release() (or the
// test's end) so the test can act while a cycle is in progress. `nextInterval`, when not
// negative, becomes the pause after every cycle.
class ProbeWorker : public AbstractExecution {
public:
    explicit ProbeWorker(int intervalMs) : AbstractExecution(intervalMs, "Probe") {}

    void execute() override {
        ++cycles;
        inCycle = true;
        while (holdCycles && !released) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (nextInterval >= 0) intervalMs_ = nextInterval;
        inCycle = false;
        if (throwInCycle) QM_THROW(ProcessingException, "cycle failed");
    }
    int getInterval() override { return intervalMs_; }

    // Marks the end of the loop, which the test cannot see through the executor without
    // blocking on it.
    void run() override {
        AbstractExecution::run();
        finished = true;
    }

    void release() { released = true; }

    std::atomic<int> cycles{0};
    std::atomic<bool> inCycle{false};
    std::atomic<bool> holdCycles{false};
    std::atomic<bool> released{false};
    std::atomic<int> nextInterval{-1};
    std::atomic<bool> finished{false};
    bool throwInCycle = false;
};

// A probe running on a thread-per-task executor, as the service runs its workers. The test keeps
// a second task reference so the worker outlives its thread until the fixture drops it.
class AbstractExecutionTest : public ::testing::Test {
protected:
    ~AbstractExecutionTest() override {
        // A failed test may leave the worker sleeping: the interruption ends any pause, and the
        // release any held cycle, so the executor's threads are gone before the logger is.
        if (worker_ != nullptr) {
            worker_->release();
            if (!finished()) executor_.interrupt();
            executor_.wait();
        }
        task_.reset();
    }

    ProbeWorker& start(int intervalMs, bool cancelFirst = false, bool holdCycles = false,
                       int nextInterval = -1) {
        worker_ = new ProbeWorker(intervalMs);
        worker_->holdCycles = holdCycles;
        worker_->nextInterval = nextInterval;
        task_.emplace(worker_);
        if (cancelFirst) worker_->cancel();
        executor_.execute(*task_);
        return *worker_;
    }

    // True once the worker's thread has left run().
    bool finished() { return worker_->finished; }
    bool eventuallyFinished() {
        return eventually([this] { return finished(); });
    }

    std::string log() const { return log_.text(); }

    // First, so that the logger outlives the worker and the executor's threads.
    qmtest::LogCapture log_;
    ZThread::ThreadedExecutor executor_;
    ProbeWorker* worker_ = nullptr;
    std::optional<ZThread::Task> task_;
};

TEST_F(AbstractExecutionTest, CancelledBeforeStartLogsRunningAndNeverExecutes) {
    ProbeWorker& worker = start(600000, /*cancelFirst=*/true);
    ASSERT_TRUE(eventuallyFinished());
    EXPECT_EQ(0, worker.cycles);
    const std::string text = log();
    EXPECT_EQ(1u, occurrences(text, "\tProbe was canceled.\n"));
    EXPECT_EQ(1u, occurrences(text, "\tRunning Probe\n"));
    EXPECT_LT(text.find("Probe was canceled."), text.find("Running Probe"));
}

TEST_F(AbstractExecutionTest, CancelDuringCycleFinishesItWithoutPause) {
    // The ten-minute pause would outlast the poll if the loop paused after the cancelled cycle.
    ProbeWorker& worker = start(600000, false, /*holdCycles=*/true);
    ASSERT_TRUE(eventually([&] { return worker.inCycle.load(); }));
    worker.cancel();
    EXPECT_TRUE(worker.isCanceled());
    EXPECT_FALSE(finished());
    worker.release();
    ASSERT_TRUE(eventuallyFinished());
    EXPECT_EQ(1, worker.cycles);
    EXPECT_FALSE(worker.inCycle);
}

TEST_F(AbstractExecutionTest, CancelDuringPauseEndsWithoutAnotherCycle) {
    // Long enough that the test thread cancels well before a second cycle could begin.
    ProbeWorker& worker = start(1500);
    ASSERT_TRUE(eventually([&] { return worker.cycles >= 1 && !worker.inCycle; }));
    worker.cancel();
    ASSERT_TRUE(eventuallyFinished());
    EXPECT_EQ(1, worker.cycles);
    EXPECT_EQ(std::string::npos, log().find("caught exception"));
}

TEST_F(AbstractExecutionTest, PauseIsTheIntervalTheCycleLeft) {
    // Started with a ten-minute pause; the first cycle shortens it, so further cycles arrive
    // only if the loop reads the interval anew after each cycle.
    ProbeWorker& worker = start(600000, false, false, /*nextInterval=*/1);
    ASSERT_TRUE(eventually([&] { return worker.cycles >= 3; }));
    worker.cancel();
    ASSERT_TRUE(eventuallyFinished());
}

TEST_F(AbstractExecutionTest, InterruptedPauseLogsAndEndsTheLoop) {
    ProbeWorker& worker = start(600000);
    ASSERT_TRUE(eventually([&] { return worker.cycles >= 1 && !worker.inCycle; }));
    executor_.interrupt();
    ASSERT_TRUE(eventuallyFinished());
    EXPECT_EQ(1, worker.cycles);
    EXPECT_FALSE(worker.isCanceled());
    EXPECT_EQ(1u, occurrences(log(), "\tProbe caught exception: Thread interrupted\n"));
}

TEST_F(AbstractExecutionTest, CancelTwiceLogsTwiceAndStaysCancelled) {
    ProbeWorker worker(1);
    EXPECT_FALSE(worker.isCanceled());
    worker.cancel();
    worker.cancel();
    EXPECT_TRUE(worker.isCanceled());
    EXPECT_EQ(2u, occurrences(log(), "\tProbe was canceled.\n"));
}

TEST_F(AbstractExecutionTest, DestructorCancelsOnlyAnUncancelledWorker) {
    { ProbeWorker uncancelled(1); }
    EXPECT_EQ(1u, occurrences(log(), "\tProbe was canceled.\n"));
    {
        ProbeWorker cancelled(1);
        cancelled.cancel();
    }
    EXPECT_EQ(2u, occurrences(log(), "\tProbe was canceled.\n"));
}

TEST_F(AbstractExecutionTest, OtherExceptionsLeaveRun) {
    ProbeWorker worker(1);
    worker.throwInCycle = true;
    EXPECT_THROW(worker.run(), ProcessingException);
    EXPECT_EQ(1, worker.cycles);
    EXPECT_EQ(std::string::npos, log().find("caught exception"));
}

}  // namespace
