#include "AgentCommandGate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using quillmark::AgentCommandGate;

TEST(AgentCommandGate, AdmitsUntilClosedAndLetsTheCloserWaitForThoseAdmitted) {
    AgentCommandGate gate;
    EXPECT_FALSE(gate.isClosed());
    EXPECT_TRUE(gate.waitUntilIdle(std::chrono::milliseconds(0)));

    std::unique_ptr<AgentCommandGate::Pass> running(new AgentCommandGate::Pass(gate));
    ASSERT_TRUE(*running);
    {
        AgentCommandGate::Pass second(gate);
        EXPECT_TRUE(second);
    }

    gate.close();
    gate.close();
    EXPECT_TRUE(gate.isClosed());
    {
        AgentCommandGate::Pass refused(gate);
        EXPECT_FALSE(refused);
    }
    // A refused pass does not count: only the first one is still running.
    EXPECT_FALSE(gate.waitUntilIdle(std::chrono::milliseconds(20)));

    std::atomic<bool> idle(false);
    std::thread closer([&] { idle = gate.waitUntilIdle(std::chrono::seconds(20)); });
    running.reset();
    closer.join();
    EXPECT_TRUE(idle);

    AgentCommandGate::Pass afterwards(gate);
    EXPECT_FALSE(afterwards) << "a closed gate stays closed";
}

TEST(AgentCommandGate, TheProcessHasOneGate) {
    EXPECT_EQ(&AgentCommandGate::forProcess(), &AgentCommandGate::forProcess());
    EXPECT_FALSE(AgentCommandGate::forProcess().isClosed());
}
