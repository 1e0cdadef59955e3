#include "other/ShellCommand.h"

#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <pthread.h>
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

// Sets a disposition for the life of the object and puts the previous one back.
class Disposition {
public:
    Disposition(int number, void (*handler)(int)) : number_(number) {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = handler;
        sigemptyset(&action.sa_mask);
        EXPECT_EQ(0, ::sigaction(number, &action, &previous_));
    }
    ~Disposition() { ::sigaction(number_, &previous_, nullptr); }
    Disposition(const Disposition&) = delete;
    Disposition& operator=(const Disposition&) = delete;

private:
    const int number_;
    struct sigaction previous_;
};

void (*currentHandler(int number))(int) {
    struct sigaction action;
    ::sigaction(number, nullptr, &action);
    return action.sa_handler;
}

// The hexadecimal signal set of one "Sig...:" line of /proc/<pid>/status text.
unsigned long long signalSet(const std::string& status, const std::string& name) {
    const std::size_t at = status.find(name + ":\t");
    if (at == std::string::npos) return ~0ULL;
    return std::strtoull(status.c_str() + at + name.size() + 2, nullptr, 16);
}

unsigned long long bit(int number) { return 1ULL << (number - 1); }

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
    Disposition interrupt(SIGINT, countInterrupt);
    Disposition quit(SIGQUIT, countQuit);
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

TEST(ShellCommand, TheShellGetsAnEmptyMaskAndDefaultsForCaughtSignals) {
    qmtest::TempDir dir;
    const std::string report = dir.file("status");
    Disposition caught(SIGUSR2, countQuit);
    Disposition ignored(SIGHUP, SIG_IGN);

    // Run from a thread that blocks the stop signals, as the daemon's signal thread does.
    int status = -1;
    std::thread runner([&] {
        sigset_t blocked;
        sigemptyset(&blocked);
        for (int number : {SIGINT, SIGQUIT, SIGTERM, SIGUSR1}) sigaddset(&blocked, number);
        ::pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
        status = runShellCommand("exec cat /proc/self/status > '" + report + "'");
    });
    runner.join();
    ASSERT_EQ(0, status);

    const std::string text = qmtest::readFile(report);
    EXPECT_EQ(0ULL, signalSet(text, "SigBlk")) << text;
    const unsigned long long ignoredSet = signalSet(text, "SigIgn");
    EXPECT_EQ(0ULL, ignoredSet & (bit(SIGUSR2) | bit(SIGINT) | bit(SIGQUIT))) << text;
    EXPECT_NE(0ULL, ignoredSet & bit(SIGHUP)) << "an ignored signal stays ignored, as under "
                                                 "system(3)";
}
