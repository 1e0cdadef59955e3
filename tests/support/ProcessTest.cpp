#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/types.h>
#include <csignal>
#include <cstdlib>

TEST(Process, CapturesBothStreamsAndTheExitStatus) {
    qmtest::TempDir dir;
    qmtest::ProcessOptions options;
    options.workingDirectory = dir.path();
    options.environment = {"QM_PROCESS_TEST=from-test", "HOME=/nowhere"};
    // 200000 bytes on each stream: more than a pipe holds, so both must be read while it runs.
    const qmtest::ProcessResult result = qmtest::runProcess(
        {"sh", "-c",
         "head -c 200000 /dev/zero | tr '\\0' o; head -c 200000 /dev/zero | tr '\\0' e >&2;"
         " printf '%s|%s|%s' \"$QM_PROCESS_TEST\" \"$HOME\" \"$(pwd)\"; read line; exit 3"},
        options);
    EXPECT_EQ("", result.launchError);
    EXPECT_EQ(3, result.exitStatus);
    EXPECT_EQ(0, result.terminatingSignal);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(std::string(200000, 'o') + "from-test|/nowhere|" + dir.path(), result.standardOutput);
    EXPECT_EQ(std::string(200000, 'e'), result.standardError);
}

TEST(Process, ReportsSignalsTimeoutsAndLaunchFailures) {
    const qmtest::ProcessResult killed = qmtest::runProcess({"sh", "-c", "kill -TERM $$"});
    EXPECT_EQ(-1, killed.exitStatus);
    EXPECT_EQ(SIGTERM, killed.terminatingSignal);

    qmtest::ProcessOptions shortWait;
    shortWait.timeout = std::chrono::milliseconds(200);
    const qmtest::ProcessResult hung = qmtest::runProcess({"sleep", "30"}, shortWait);
    EXPECT_TRUE(hung.timedOut);
    EXPECT_EQ(SIGKILL, hung.terminatingSignal);

    // A background descendant that keeps the pipes open does not hold up the result.
    qmtest::ProcessOptions longWait;
    longWait.timeout = std::chrono::milliseconds(20000);
    const qmtest::ProcessResult detached =
        qmtest::runProcess({"sh", "-c", "sleep 30 & echo $!; exit 0"}, longWait);
    EXPECT_FALSE(detached.timedOut);
    EXPECT_EQ(0, detached.exitStatus);
    const pid_t descendant = static_cast<pid_t>(std::atol(detached.standardOutput.c_str()));
    ASSERT_GT(descendant, 0) << detached.standardOutput;
    ::kill(descendant, SIGKILL);

    EXPECT_NE("", qmtest::runProcess({"/nonexistent/program"}).launchError);
    qmtest::ProcessOptions badDirectory;
    badDirectory.workingDirectory = "/nonexistent/directory";
    EXPECT_NE("", qmtest::runProcess({"sh", "-c", "exit 0"}, badDirectory).launchError);
}
