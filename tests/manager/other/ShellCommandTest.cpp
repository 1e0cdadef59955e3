#include "other/ShellCommand.h"

#include "support/SignalState.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>

using quillmark::runShellCommand;

namespace {

std::atomic<int> interrupts(0);
std::atomic<int> quits(0);
void countInterrupt(int) { ++interrupts; }
void countQuit(int) { ++quits; }

void (*currentHandler(int number))(int) {
    struct sigaction action;
    ::sigaction(number, nullptr, &action);
    return action.sa_handler;
}

}  // namespace

TEST(ShellCommand, ReportsTheWaitStatusAsSystemDoes) {
    struct Case {
        const char* command;
        bool exited;
        int value;  // the exit status, or the signal that ended the shell
    };
    const Case cases[] = {
        {"true", true, 0},
        {"", true, 0},
        {"exit 3", true, 3},
        {"echo out; echo err >&2; false", true, 1},
        {"/nonexistent/program", true, 127},
        {"kill -TERM $$", false, SIGTERM},
        {"kill -KILL $$", false, SIGKILL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const int status = runShellCommand(c.command);
        EXPECT_EQ(std::system(c.command), status);
        if (c.exited) {
            ASSERT_TRUE(WIFEXITED(status)) << status;
            EXPECT_EQ(c.value, WEXITSTATUS(status));
        } else {
            ASSERT_TRUE(WIFSIGNALED(status)) << status;
            EXPECT_EQ(c.value, WTERMSIG(status));
        }
        EXPECT_EQ(c.exited && c.value == 0, status == 0);
    }
}

TEST(ShellCommand, SignalsReachTheProcessWhileACommandRuns) {
    qmtest::TempDir dir;
    const std::string started = dir.file("started");
    const std::string release = dir.file("release");
    const qmtest::ScopedDisposition interrupt(SIGINT, countInterrupt);
    const qmtest::ScopedDisposition quit(SIGQUIT, countQuit);
    interrupts = 0;
    quits = 0;

    // The command waits for the test (20 s at most) so that the checks fall inside its run.
    int status = -1;
    std::thread runner([&] {
        status = runShellCommand("touch '" + started + "'; i=0; while [ ! -e '" + release +
                                 "' ] && [ $i -lt 1000 ]; do sleep 0.02; i=$((i+1)); done");
    });
    const bool running = qmtest::eventually([&] { return qmtest::fileExists(started); });
    EXPECT_TRUE(running);
    if (running) {
        EXPECT_EQ(countInterrupt, currentHandler(SIGINT));
        EXPECT_EQ(countQuit, currentHandler(SIGQUIT));
        ASSERT_EQ(0, ::kill(::getpid(), SIGINT));
        ASSERT_EQ(0, ::kill(::getpid(), SIGQUIT));
        EXPECT_TRUE(qmtest::eventually([] { return interrupts == 1 && quits == 1; }));
    }
    qmtest::writeFile(release, "");
    runner.join();
    EXPECT_EQ(0, status);
    EXPECT_EQ(countInterrupt, currentHandler(SIGINT));
    EXPECT_EQ(countQuit, currentHandler(SIGQUIT));
}

TEST(ShellCommand, TheShellStartsWithDefaultSignalsAndAnEmptyMask) {
    qmtest::TempDir dir;
    const std::string report = dir.file("status");
    // A signal the process catches as well as those it ignores.
    const qmtest::ScopedDisposition caught(SIGUSR2, countQuit);
    int status = -1;
    qmtest::runAsTheDaemonDoes(
        [&] { status = runShellCommand("exec cat /proc/self/status > '" + report + "'"); });
    ASSERT_EQ(0, status);

    const std::string text = qmtest::readFile(report);
    const qmtest::SignalSets sets = qmtest::signalSetsOf(text);
    EXPECT_EQ(0ULL, sets.ignored) << text;
    EXPECT_EQ(0ULL, sets.blocked) << text;
}
