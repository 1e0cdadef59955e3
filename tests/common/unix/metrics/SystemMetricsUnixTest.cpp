#include "quillmark/SystemMetrics.h"

#include "quillmark/Exception.h"
#include "quillmark/ShellRunner.h"
#include "support/LogCapture.h"
#include "support/Process.h"
#include "support/SignalState.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>

using qmtest::eventually;

using namespace quillmark;

namespace {

MetricRequest commandRequest(std::vector<std::string> args) {
    return qmtest::metricRequest("host", "run", std::move(args));
}

std::string runValue(const MetricRequest& request) {
    std::unique_ptr<ResultInfo> result(runCommand(request));
    return result->value;
}

enum class Kind { InvalidArg, Processing, Timeout, Unsupported };

// Runs `action` and checks that it throws exactly the kind with `message`, code 0, and the
// runner's source file.
void expectFailure(const std::function<void()>& action, Kind kind, const std::string& message) {
    try {
        action();
        ADD_FAILURE() << "no exception";
        return;
    } catch (const Exception& e) {
        EXPECT_EQ(message, e.getMessage());
        EXPECT_EQ(0, e.getCode());
        EXPECT_NE(std::string::npos, e.getFile().find("unix/metrics/SystemMetricsUnix"))
            << e.getFile();
        switch (kind) {
        case Kind::InvalidArg:
            EXPECT_NE(nullptr, dynamic_cast<const InvalidArgException*>(&e));
            break;
        case Kind::Processing:
            EXPECT_NE(nullptr, dynamic_cast<const ProcessingException*>(&e));
            break;
        case Kind::Timeout: EXPECT_NE(nullptr, dynamic_cast<const TimeoutException*>(&e)); break;
        case Kind::Unsupported:
            EXPECT_NE(nullptr, dynamic_cast<const UnsupportedException*>(&e));
            break;
        }
    }
}

// The targets of this process's pipe descriptors.
std::set<std::string> openPipes() {
    std::set<std::string> pipes;
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr) return pipes;
    while (dirent* entry = readdir(directory)) {
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        char target[256];
        const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
        if (length <= 0) continue;
        const std::string text(target, static_cast<std::size_t>(length));
        if (text.compare(0, 5, "pipe:") == 0) pipes.insert(text);
    }
    closedir(directory);
    return pipes;
}

class SystemMetricsUnixTest : public ::testing::Test {
protected:
    // Writes an executable shell script and returns its path.
    std::string script(const std::string& name, const std::string& body) {
        const std::string path = dir_.file(name);
        qmtest::writeFile(path, "#!/bin/sh\n" + body);
        chmod(path.c_str(), 0755);
        return path;
    }
    std::string file(const std::string& name) const { return dir_.file(name); }

    // A script that reports its start in "started", then waits until "release" exists.
    std::string holdingScript(const std::string& afterRelease) {
        return script("hold.sh", "echo up > '" + file("started") + "'\nwhile [ ! -e '" +
                                     file("release") + "' ]; do sleep 0.02; done\n" + afterRelease);
    }
    bool started() const { return qmtest::fileExists(file("started")); }
    void release() { qmtest::writeFile(file("release"), ""); }

    qmtest::TempDir dir_;
};

}  // namespace

TEST_F(SystemMetricsUnixTest, RunCommandCapturesTrimmedOutput) {
    std::string lines;
    for (int i = 0; i < 99999; ++i) lines += "x\n";
    lines += "x";
    struct Case {
        const char* label;
        std::string body;
        std::string expected;
    };
    const Case cases[] = {
        {"42 and a line feed", "printf '42\\n'\n", "42"},
        {"only a line feed", "printf '\\n'\n", ""},
        {"blanks and a carriage return", "printf '  padded  \\r\\n'\n", "padded"},
        {"inner line feeds stay", "printf 'a\\nb\\n'\n", "a\nb"},
        {"two line feeds at the end", "printf 'x\\n\\n'\n", "x"},
        {"non-zero exit status", "echo text\nexit 3\n", "text"},
        {"standard error is not captured", "echo err >&2\necho out\n", "out"},
        {"exactly 127 bytes", "printf '%0127d' 0\n", std::string(127, '0')},
        {"128 bytes", "printf '%0128d' 0\n", std::string(128, '0')},
        {"200000 bytes", "yes x | head -n 100000\n", lines},
        {"a zero byte ends its read unit", "printf 'ab\\000cd\\n'\n", "ab"},
        {"each read unit ends at its own zero byte",
         "printf 'ab\\000'\nprintf '%0124d' 0\nprintf 'next\\000x\\n'\n", "abnext"},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string path = script("case" + std::to_string(index++) + ".sh", c.body);
        EXPECT_EQ(c.expected, runValue(commandRequest({path})));
    }
}

TEST_F(SystemMetricsUnixTest, RunCommandUsesOnlyTheFirstArgumentUnquoted) {
    EXPECT_EQ("one", runValue(commandRequest({"\"printf one\" ; printf two"})));
    EXPECT_EQ("onetwo", runValue(commandRequest({"printf one ; printf two"})));
    EXPECT_EQ("x", runValue(commandRequest({"printf x", "printf y"})));
    MetricRequest unusedFields = commandRequest({"printf z"});
    unusedFields.itemName.clear();
    unusedFields.command = "anything";
    EXPECT_EQ("z", runValue(unusedFields));
    std::unique_ptr<ResultInfo> arithmetic(runCommand(commandRequest({"echo $((6 * 7))"})));
    EXPECT_EQ("42", arithmetic->value);
}

TEST_F(SystemMetricsUnixTest, RunCommandFailures) {
    const std::string silent = script("silent.sh", "exit 0\n");
    const std::string silentFailing = script("silent-failing.sh", "echo err >&2\nexit 1\n");
    struct Case {
        const char* label;
        std::vector<std::string> args;
        Kind kind;
        const char* message;
    };
    const Case cases[] = {
        {"no arguments", {}, Kind::InvalidArg, "Agrument missing."},
        {"empty command", {""}, Kind::Processing, "command returns no output"},
        {"empty quoted command",
         {"\"\" echo never"},
         Kind::Processing,
         "command returns no output"},
        {"silent command", {silent}, Kind::Processing, "command returns no output"},
        {"silent failing command", {silentFailing}, Kind::Processing, "command returns no output"},
        {"only zero bytes",
         {"printf '\\000\\000\\000'"},
         Kind::Processing,
         "command returns no output"},
        {"a zero byte first",
         {"printf '\\000text\\n'"},
         Kind::Processing,
         "command returns no output"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        expectFailure([&] { runValue(commandRequest(c.args)); }, c.kind, c.message);
    }
}

// Another thread's open command pipe must not reach a child that the process starts meanwhile
// (the agent's start command, say).
TEST_F(SystemMetricsUnixTest, CommandPipeIsNotInheritedByOtherChildren) {
    const std::set<std::string> before = openPipes();
    std::string held;
    std::thread holder([&] { held = runValue(commandRequest({holdingScript("echo held\n")})); });
    ASSERT_TRUE(eventually([&] { return started(); }));

    std::set<std::string> commandPipes;
    for (const std::string& pipe : openPipes()) {
        if (before.count(pipe) == 0) commandPipes.insert(pipe);
    }
    const qmtest::ProcessResult child =
        qmtest::runProcess({"/bin/sh", "-c", "for f in /proc/$$/fd/*; do readlink \"$f\"; done"});
    release();
    holder.join();

    EXPECT_EQ("held", held);
    ASSERT_FALSE(commandPipes.empty()) << "the held command's pipe was not found";
    for (const std::string& pipe : commandPipes) {
        EXPECT_EQ(std::string::npos, child.standardOutput.find(pipe)) << pipe << " leaked into:\n"
                                                                      << child.standardOutput;
    }
}

// The daemon ignores SIGPIPE and SIGHUP and its threads block signals; a command must start
// without either, or a writer into "head -n1" would never end.
TEST_F(SystemMetricsUnixTest, CommandsStartWithDefaultSignalsAndAnEmptyMask) {
    std::string status;
    qmtest::runAsTheDaemonDoes(
        [&] { status = runValue(commandRequest({"grep '^Sig' /proc/self/status"})); });
    const qmtest::SignalSets sets = qmtest::signalSetsOf(status);
    EXPECT_EQ(0ULL, sets.ignored) << status;
    EXPECT_EQ(0ULL, sets.blocked) << status;
}

namespace {

std::atomic<int> signalsSeen{0};
void countSignal(int) { ++signalsSeen; }

// The number of the system call the thread is blocked in, or -1 when it cannot be seen.
long currentSyscall(pid_t threadId) {
    std::ifstream in("/proc/self/task/" + std::to_string(threadId) + "/syscall");
    long number = -1;
    if (!(in >> number)) return -1;
    return number;
}

}  // namespace

TEST_F(SystemMetricsUnixTest, InterruptedReadIsATimeout) {
    struct sigaction action = {};
    action.sa_handler = countSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the blocked read ends with EINTR
    struct sigaction previous = {};
    ASSERT_EQ(0, sigaction(SIGUSR1, &action, &previous));

    const std::string command = holdingScript("");
    std::atomic<pid_t> readerId{0};
    std::string outcome;
    std::thread reader([&] {
        readerId = static_cast<pid_t>(syscall(SYS_gettid));
        expectFailure([&] { runValue(commandRequest({command})); }, Kind::Timeout,
                      "Failed to read pipe.");
        outcome = "done";
    });
    const bool inRead = eventually(
        [&] { return readerId != 0 && started() && currentSyscall(readerId) == SYS_read; });
    if (inRead) {
        pthread_kill(reader.native_handle(), SIGUSR1);
        EXPECT_TRUE(eventually([] { return signalsSeen > 0; }));
    }
    release();
    reader.join();
    sigaction(SIGUSR1, &previous, nullptr);
    if (!inRead) GTEST_SKIP() << "cannot see the reader's system call";
    EXPECT_EQ("done", outcome);
}

TEST_F(SystemMetricsUnixTest, RunCommandTracesItsOutputAtDebugLevel) {
    std::string value, log;
    {
        qmtest::LogCapture capture;
        value = runValue(commandRequest({"printf ' 42 \\n'"}));
        log = capture.text();
    }

    EXPECT_EQ("42", value);
    EXPECT_NE(std::string::npos, log.find("Result=[ 42 \n]; Size=5; Len=5")) << log;
    EXPECT_NE(std::string::npos,
              log.find("Run remote command [printf ' 42 \\n'] Result [2] [42]..."))
        << log;
    EXPECT_NE(std::string::npos, log.find("unix/metrics/SystemMetricsUnix")) << log;
}

TEST(RunDfCommand, ReturnsTheTableWithoutItsLastLineEnd) {
    const std::string table = runDfCommand();
    ASSERT_FALSE(table.empty());
    EXPECT_EQ(0u, table.find("Filesystem")) << table;
    EXPECT_NE('\n', table.back());
}

namespace {

std::string firstWord(const std::string& path) {
    std::ifstream in(path);
    std::string word;
    in >> word;
    return word;
}

long procBootTime() {
    std::ifstream in("/proc/stat");
    std::string key;
    long value = -1;
    while (in >> key) {
        if (key == "btime") {
            in >> value;
            break;
        }
        in.ignore(1 << 30, '\n');
    }
    return value;
}

std::string itemValue(SystemMetrics& item, const std::string& command) {
    MetricRequest request;
    request.command = command;
    std::unique_ptr<ResultInfo> result(item.execute(request));
    return result->value;
}

}  // namespace

TEST(SystemMetrics, HostFigures) {
    SystemMetrics item("host");
    EXPECT_EQ("host", item.getName());

    const long before = static_cast<long>(std::stod(firstWord("/proc/uptime")));
    const long uptime = std::stol(itemValue(item, "uptime"));
    const long after = static_cast<long>(std::stod(firstWord("/proc/uptime")));
    EXPECT_LE(before, uptime);
    EXPECT_GE(after + 1, uptime);

    EXPECT_EQ(std::to_string(procBootTime()), itemValue(item, "boottime"));

    char name[256] = {};
    ASSERT_EQ(0, gethostname(name, sizeof name - 1));
    EXPECT_EQ(name, itemValue(item, "hostname"));

    utsname system = {};
    ASSERT_EQ(0, ::uname(&system));
    const std::string kernel = itemValue(item, "uname");
    EXPECT_EQ(0u, kernel.find(system.sysname)) << kernel;
    for (const char* part : {system.nodename, system.release, system.machine}) {
        EXPECT_NE(std::string::npos, kernel.find(part)) << part << " in " << kernel;
    }

    const std::string users = itemValue(item, "users");
    ASSERT_FALSE(users.empty());
    EXPECT_EQ(std::string::npos, users.find_first_not_of("0123456789")) << users;
}

TEST(SystemMetrics, UnknownCommands) {
    SystemMetrics item("host", 1);
    for (const char* command : {"UPTIME", "uptime ", "", "md5sum"}) {
        SCOPED_TRACE(std::string("[") + command + "]");
        expectFailure([&] { itemValue(item, command); }, Kind::Unsupported, "Command unsupported.");
    }
}

TEST(SystemMetrics, ReadBootTime) {
    qmtest::TempDir dir;
    const std::string longLine(20000, '7');
    struct Case {
        const char* label;
        std::string contents;
        long expected;  // -1: "Failed to find btime value."
    };
    const Case cases[] = {
        {"btime line with its line feed", "cpu  1 2 3\nbtime 1700000000\nprocesses 5\n",
         1700000000},
        {"last line without a line feed", "cpu 1\nbtime 42", 42},
        {"blanks around the value", "btime    17   \n", 17},
        {"first btime line wins", "btime 1\nbtime 2\n", 1},
        {"btime after a long line", "intr " + longLine + "\nbtime 5\n", 5},
        // Read in 4096-byte pieces, the tail of this line would look like a "btime" line.
        {"long line holding btime", "x" + std::string(4094, ' ') + "btime 1\nbtime 9\n", 9},
        {"no btime line", "cpu 1\nctxt 2\n", -1},
        {"empty file", "", -1},
        {"btime without a value", "btime\n", -1},
        {"btime with blanks only", "btime  \n", -1},
        {"btime with a non-number", "btime later\n", -1},
        {"btime only inside a line", "cpu btime 3\n", -1},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string path = dir.file("stat" + std::to_string(index++));
        qmtest::writeFile(path, c.contents);
        if (c.expected >= 0) {
            EXPECT_EQ(c.expected, SystemMetrics::readBootTime(path));
        } else {
            expectFailure([&] { SystemMetrics::readBootTime(path); }, Kind::Processing,
                          "Failed to find btime value.");
        }
    }
    expectFailure([&] { SystemMetrics::readBootTime(dir.file("missing")); }, Kind::Processing,
                  "Failed to open stat file.");
}

TEST(SystemMetrics, RemoteCommandRefusals) {
    struct Case {
        const char* label;
        int remoteAllowed;
        std::vector<std::string> args;
        Kind kind;
        const char* message;
    };
    const Case cases[] = {
        {"not allowed, no arguments", 0, {}, Kind::Processing, "Remote is not allowed."},
        {"not allowed, a command", 0, {"echo x"}, Kind::Processing, "Remote is not allowed."},
        {"allowed only by 1", 2, {"echo x"}, Kind::Processing, "Remote is not allowed."},
        {"no arguments", 1, {}, Kind::InvalidArg, "Agruments missing."},
        {"empty command", 1, {""}, Kind::InvalidArg, "Agruments missing."},
        {"empty command with a mode", 1, {"", "wait"}, Kind::InvalidArg, "Agruments missing."},
        {"mode in capitals", 1, {"echo x", "WAIT"}, Kind::Processing, "Command unsupported."},
        {"mode with a blank", 1, {"echo x", "nowait "}, Kind::Processing, "Command unsupported."},
        {"unknown mode", 1, {"echo x", "later"}, Kind::Processing, "Command unsupported."},
        {"wait, silent command",
         1,
         {"true", "wait"},
         Kind::Processing,
         "command returns no output"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        SystemMetrics item("host", c.remoteAllowed);
        expectFailure(
            [&] { std::unique_ptr<ResultInfo> r(item.runRemoteCommand(commandRequest(c.args))); },
            c.kind, c.message);
    }
}

TEST(SystemMetrics, RemoteCommandWaits) {
    SystemMetrics item("host", 1);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"echo out"}, {"echo out", ""}, {"echo out", "wait", "extra"}}) {
        SCOPED_TRACE(args.size());
        std::unique_ptr<ResultInfo> result(item.runRemoteCommand(commandRequest(args)));
        EXPECT_EQ("out", result->value);
    }
    MetricRequest throughExecute = commandRequest({"echo via execute"});
    std::unique_ptr<ResultInfo> result(item.execute(throughExecute));
    EXPECT_EQ("via execute", result->value);
}

// The caller's request is gone before the background command runs; the command still runs as
// asked and its output goes nowhere.
TEST_F(SystemMetricsUnixTest, RemoteCommandWithoutWaiting) {
    SystemMetrics item("host", 1);
    const std::string command = holdingScript("echo finished > '" + file("done") + "'\necho out\n");
    std::unique_ptr<MetricRequest> request(new MetricRequest(commandRequest({command, "nowait"})));
    std::unique_ptr<ResultInfo> result(item.runRemoteCommand(*request));
    request.reset();

    EXPECT_EQ("1", result->value);
    EXPECT_FALSE(qmtest::fileExists(file("done")));
    ASSERT_TRUE(eventually([&] { return started(); }));
    release();
    ASSERT_TRUE(eventually([&] { return qmtest::fileExists(file("done")); }));
    EXPECT_EQ("finished\n", qmtest::readFile(file("done")));
    EXPECT_TRUE(remoteCommandExecutor.wait(20000)) << "the background thread did not end";
}
