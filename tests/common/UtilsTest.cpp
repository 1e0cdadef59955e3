#include "quillmark/Utils.h"
#include "support/LogCapture.h"
#include "support/SpecialFile.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace quillmark;
using qmtest::openDescriptorCount;
using qmtest::readFile;
using qmtest::TempDir;
using qmtest::writeFile;

using qmtest::linesOf;

namespace {

std::string hexDumpOf(const std::string& data) {
    std::unique_ptr<FILE, int (*)(FILE*)> out(std::tmpfile(), &std::fclose);
    if (!out) {
        ADD_FAILURE() << "tmpfile failed";
        return std::string();
    }
    Utils::hexDump(data.data(), static_cast<unsigned>(data.size()), out.get());
    std::fflush(out.get());
    std::rewind(out.get());
    std::string text;
    char buffer[512];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out.get())) > 0;) {
        text.append(buffer, n);
    }
    return text;
}

// Runs `body` in a forked child so that changes to the child's descriptors and logger leave this
// process untouched; returns the child's exit status, or -1 when it did not exit normally. The
// child ends with _exit, so no gtest state or atexit handler of this process runs there.
int runInChild(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) ::_exit(body());
    int status = 0;
    if (::waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool sameFile(int fd, const char* path) {
    struct stat ofFd, ofPath;
    if (::fstat(fd, &ofFd) != 0 || ::stat(path, &ofPath) != 0) return false;
    return ofFd.st_dev == ofPath.st_dev && ofFd.st_ino == ofPath.st_ino;
}

bool sameFile(int fd, const struct stat& before) {
    struct stat now;
    return ::fstat(fd, &now) == 0 && now.st_dev == before.st_dev && now.st_ino == before.st_ino;
}

bool inheritedAcrossExec(int fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    return flags >= 0 && (flags & FD_CLOEXEC) == 0;
}

bool writeAll(int fd, const char* text) {
    const size_t length = std::strlen(text);
    return ::write(fd, text, length) == static_cast<ssize_t>(length);
}

// True when `text` is a decimal number without leading zeros (other than "0" itself).
bool isPlainDecimal(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    return text == "0" || text[0] != '0';
}

}  // namespace

TEST(Utils, BaseName) {
    struct Case {
        std::string path, expected;
    };
    const Case cases[] = {
        {"a/b/c", "c"}, {"c", "c"}, {"a/", ""}, {"/", ""}, {"", ""}, {"/x.conf", "x.conf"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(c.expected, Utils::baseName(c.path));
    }
}

TEST(Utils, StartsWith) {
    struct Case {
        std::string text, prefix;
        bool expected;
    };
    const Case cases[] = {
        {"abc", "", true},    {"", "", true},        {"abc", "ab", true},  {"abc", "abc", true},
        {"ab", "abc", false}, {"xabc", "ab", false}, {"abab", "ab", true}, {"", "a", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("'" + c.text + "' prefix '" + c.prefix + "'");
        EXPECT_EQ(c.expected, Utils::startsWith(c.text, c.prefix));
    }
}

TEST(Utils, EqualsIgnoreCase) {
    struct Case {
        std::string a, b;
        bool expected;
    };
    const Case cases[] = {
        {"Redhat", "REDHAT", true}, {"", "", true},          {"abc", "abd", false},
        {"abc", "abcd", false},     {"a1_Z", "A1_z", true},  {"\xC3\xA9", "\xC3\xA9", true},
        {"\xC3", "\xE3", false},    {"\xFF", "\xDF", false}, {"@", "`", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("'" + c.a + "' vs '" + c.b + "'");
        EXPECT_EQ(c.expected, Utils::equalsIgnoreCase(c.a, c.b));
    }
}

TEST(Utils, StartsWithIgnoreCase) {
    struct Case {
        std::string text, prefix;
        bool expected;
    };
    const Case cases[] = {
        {"UTF-8", "utf-8", true}, {"utf8x", "UTF8", true},     {"abc", "", true},
        {"ab", "abc", false},     {"\xC3\xA9", "\xE3", false}, {"@x", "`", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("'" + c.text + "' prefix '" + c.prefix + "'");
        EXPECT_EQ(c.expected, Utils::startsWithIgnoreCase(c.text, c.prefix));
    }
}

TEST(Utils, HexDumpHeaderOnlyForEmptyInput) {
    EXPECT_EQ(
        "\n"
        "Len  -                 Hex                        ASCII        \n"
        "---- - -----------------------------------  ------------------ \n",
        hexDumpOf(""));
}

TEST(Utils, HexDumpRowsLineUp) {
    const std::string data = std::string("0123456789ABCDEF") + "\x01\x7F\x80 ";
    const std::vector<std::string> rows = linesOf(hexDumpOf(data));
    ASSERT_EQ(5u, rows.size());
    EXPECT_EQ("", rows[0]);
    EXPECT_EQ(63u, rows[1].size());
    EXPECT_EQ(63u, rows[2].size());
    EXPECT_EQ("0000 - 30313233 34353637 38394142 43444546  |0123456789ABCDEF|", rows[3]);
    EXPECT_EQ("0010 - 017F8020                             |.\x7F.             |", rows[4]);
    for (std::size_t i = 3; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i]);
        EXPECT_EQ(62u, rows[i].size());
        EXPECT_EQ(44u, rows[i].find('|'));
        EXPECT_EQ(61u, rows[i].rfind('|'));
    }
    // The dashes of the second header line stand over the hex column and the bars.
    EXPECT_EQ(std::string(35, '-'), rows[2].substr(7, 35));
    EXPECT_EQ(std::string(18, '-'), rows[2].substr(44, 18));
}

TEST(Utils, HexDumpOffsetsAndGroups) {
    std::string data;
    for (unsigned i = 0; i < 0x1005; ++i) data.push_back(static_cast<char>(i & 0xFF));
    const std::vector<std::string> rows = linesOf(hexDumpOf(data));
    ASSERT_EQ(3u + 0x101, rows.size());
    EXPECT_EQ("0010 - 10111213 14151617 18191A1B 1C1D1E1F  |................|", rows[4]);
    EXPECT_EQ("0FF0 - F0F1F2F3 F4F5F6F7 F8F9FAFB FCFDFEFF  |................|", rows[3 + 0xFF]);
    EXPECT_EQ("1000 - 00010203 04                          |.....           |", rows[3 + 0x100]);
}

TEST(Utils, TimeStringForm) {
    struct timeval before, after;
    ::gettimeofday(&before, nullptr);
    const std::string text = Utils::timeString();
    ::gettimeofday(&after, nullptr);
    const std::size_t secEnd = text.find(" sec, ");
    ASSERT_NE(std::string::npos, secEnd) << text;
    const std::string seconds = text.substr(0, secEnd);
    const std::string rest = text.substr(secEnd + 6);
    ASSERT_GT(rest.size(), 5u) << text;
    ASSERT_EQ(" msec", rest.substr(rest.size() - 5)) << text;
    const std::string millis = rest.substr(0, rest.size() - 5);
    ASSERT_TRUE(isPlainDecimal(seconds)) << text;
    ASSERT_TRUE(isPlainDecimal(millis)) << text;
    EXPECT_LE(std::stoi(millis), 999);
    EXPECT_LE(static_cast<long long>(before.tv_sec), std::stoll(seconds));
    EXPECT_GE(static_cast<long long>(after.tv_sec), std::stoll(seconds));
}

TEST(Utils, ClockReadingsAgree) {
    struct timeval before;
    ::gettimeofday(&before, nullptr);
    const double millis = getCurrentTimeMillis();
    const double seconds = getCurrentTimeSeconds();
    const std::int32_t whole = getCurrentTimeSecondsInt();
    EXPECT_GE(millis, before.tv_sec * 1000.0);
    EXPECT_GE(seconds, static_cast<double>(before.tv_sec));
    EXPECT_GE(whole, static_cast<std::int32_t>(before.tv_sec));
    EXPECT_LE(millis / 1000.0, seconds + 0.5);
    EXPECT_LE(seconds, whole + 1.5);
}

TEST(Utils, ForkProcessFlushesBufferedOutput) {
    TempDir dir;
    const std::string path = dir.file("out.txt");
    const int status = runInChild([&]() {
        FILE* out = std::fopen(path.c_str(), "w");
        if (out == nullptr || ::dup2(fileno(out), STDOUT_FILENO) < 0) return 10;
        std::fputs("once", stdout);  // no line end: still buffered
        const pid_t child = Utils::forkProcess();
        if (child < 0) return 11;
        // Without the flush both processes would write the buffered line at exit.
        if (child == 0) {
            std::fflush(stdout);
            ::_exit(0);
        }
        int childStatus = 0;
        ::waitpid(child, &childStatus, 0);
        std::fflush(stdout);
        return WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 0 ? 0 : 12;
    });
    EXPECT_EQ(0, status);
    EXPECT_EQ("once", readFile(path));
}

TEST(Utils, RedirectOutputToNullDevice) {
    const int status = runInChild([]() {
        const int before = openDescriptorCount();
        Utils::redirectOutput("");
        if (!sameFile(STDIN_FILENO, "/dev/null")) return 10;
        if (!sameFile(STDOUT_FILENO, "/dev/null") || !sameFile(STDERR_FILENO, "/dev/null"))
            return 11;
        if (openDescriptorCount() != before) return 12;
        Utils::redirectOutput(nullptr);
        if (!sameFile(STDOUT_FILENO, "/dev/null") || !sameFile(STDERR_FILENO, "/dev/null"))
            return 13;
        return 0;
    });
    EXPECT_EQ(0, status);
}

TEST(Utils, RedirectOutputAppendsToFile) {
    TempDir dir;
    const std::string path = dir.file("daemon.log");
    writeFile(path, "old\n");
    const std::string earlier = dir.file("earlier.txt");
    const int status = runInChild([&]() {
        const int earlierFd = ::open(earlier.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (earlierFd < 0 || ::dup2(earlierFd, STDOUT_FILENO) < 0) return 9;
        ::close(earlierFd);
        std::fputs("buffered before", stdout);  // no line end: still buffered, for the old stdout
        const int before = openDescriptorCount();
        Utils::redirectOutput(path.c_str());
        if (!sameFile(STDIN_FILENO, "/dev/null")) return 10;
        if (!sameFile(STDOUT_FILENO, path.c_str()) || !sameFile(STDERR_FILENO, path.c_str()))
            return 11;
        if (openDescriptorCount() != before) return 12;
        for (int fd = 0; fd <= 2; ++fd) {
            if (!inheritedAcrossExec(fd)) return 13;
        }
        std::fputs("out\n", stdout);
        std::fflush(stdout);
        std::fputs("err\n", stderr);
        return 0;
    });
    EXPECT_EQ(0, status);
    EXPECT_EQ("old\nout\nerr\n", readFile(path));
    EXPECT_EQ("buffered before", readFile(earlier));
}

// A process started with some standard descriptors closed: the file lands on the lowest closed
// one of 1 and 2, which must stay open afterwards and survive exec.
TEST(Utils, RedirectOutputWithStandardDescriptorsClosed) {
    const std::vector<std::vector<int>> closedSets = {{0}, {1}, {2}, {1, 2}, {0, 1, 2}, {0, 2}};
    for (const std::vector<int>& closed : closedSets) {
        std::string name;
        for (int fd : closed) name += std::to_string(fd) + " ";
        SCOPED_TRACE("closed: " + name);
        TempDir dir;
        const std::string path = dir.file("daemon.log");
        const int status = runInChild([&]() {
            for (int fd : closed) ::close(fd);
            Utils::redirectOutput(path.c_str());
            if (!sameFile(STDIN_FILENO, "/dev/null")) return 10;
            if (!sameFile(STDOUT_FILENO, path.c_str()) || !sameFile(STDERR_FILENO, path.c_str())) {
                return 11;
            }
            for (int fd = 0; fd <= 2; ++fd) {
                if (!inheritedAcrossExec(fd)) return 12;
            }
            if (!writeAll(STDOUT_FILENO, "1") || !writeAll(STDERR_FILENO, "2")) return 13;
            return 0;
        });
        EXPECT_EQ(0, status);
        EXPECT_EQ("12", readFile(path));
    }
}

// A target that cannot be opened leaves both streams where they were. A symbolic link is not
// followed: the daemon, as root, would otherwise append to (or create) the file it names.
TEST(Utils, RedirectOutputToAnUnopenableTargetLogsAndKeepsStreams) {
    TempDir dir;
    // Installed here, the logger is inherited by each child; its file is emptied per case.
    qmtest::LogCapture capture;
    const std::string victim = dir.file("victim");
    writeFile(victim, "untouched\n");
    ASSERT_EQ(0, ::symlink(victim.c_str(), dir.file("to-file").c_str()));
    ASSERT_EQ(0, ::symlink(dir.file("created").c_str(), dir.file("dangling").c_str()));
    for (const char* name : {"missing/out.log", "to-file", "dangling"}) {
        SCOPED_TRACE(name);
        const std::string target = dir.file(name);
        const int status = runInChild([&]() {
            struct stat out, err;
            if (::fstat(STDOUT_FILENO, &out) != 0 || ::fstat(STDERR_FILENO, &err) != 0) return 10;
            Utils::redirectOutput(target.c_str());
            if (!sameFile(STDOUT_FILENO, out) || !sameFile(STDERR_FILENO, err)) return 11;
            return 0;
        });
        EXPECT_EQ(0, status);
        const std::vector<std::string> logLines = linesOf(capture.text());
        ASSERT_EQ(1u, logLines.size());
        EXPECT_EQ(0u, logLines[0].find("|DEBUG\t|")) << logLines[0];
        const std::string message = "Cannot open file " + target + " for redirecting stderr/stdout";
        EXPECT_EQ(message, logLines[0].substr(logLines[0].size() - message.size())) << logLines[0];
        EXPECT_EQ("untouched\n", readFile(victim));
        EXPECT_FALSE(qmtest::fileExists(dir.file("created")));
        capture.clear();
    }
}

// A path that names no file to append to sends both streams to the null device, and the open
// does not wait: the daemon must not keep the launcher's terminal or pipes as its output.
TEST(Utils, RedirectOutputToAPathThatNamesNoFileUsesTheNullDevice) {
    TempDir dir;
    qmtest::LogCapture capture;
    const std::string target = dir.file("special");
    for (const qmtest::SpecialFile::Kind kind : qmtest::SpecialFile::kinds()) {
        SCOPED_TRACE(qmtest::SpecialFile::name(kind));
        qmtest::SpecialFile special(target, kind);
        const int status = runInChild([&]() {
            Utils::redirectOutput(target.c_str());
            if (!sameFile(STDIN_FILENO, "/dev/null")) return 10;
            if (!sameFile(STDOUT_FILENO, "/dev/null") || !sameFile(STDERR_FILENO, "/dev/null")) {
                return 11;
            }
            return writeAll(STDOUT_FILENO, "1") && writeAll(STDERR_FILENO, "2") ? 0 : 12;
        });
        EXPECT_EQ(0, status);
        EXPECT_FALSE(special.wasWrittenTo());
        EXPECT_EQ(1,
                  capture.count("Cannot open file " + target + " for redirecting stderr/stdout"));
        capture.clear();
    }
}

// Each closed one of 0, 1 and 2 is the null device afterwards, kept across exec, and the open
// ones stay as they were: the next file opened never takes a standard descriptor.
TEST(Utils, OpenClosedStandardDescriptorsFillsOnlyTheClosedOnes) {
    TempDir dir;
    const std::string kept = dir.file("kept");
    const std::vector<std::vector<int>> closedSets = {{0}, {1}, {2}, {1, 2}, {0, 1, 2}, {0, 2}};
    for (const std::vector<int>& closed : closedSets) {
        std::string name;
        for (int fd : closed) name += std::to_string(fd) + " ";
        SCOPED_TRACE("closed: " + name);
        const int status = runInChild([&]() {
            const int file = ::open(kept.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            for (int fd = 0; fd <= 2; ++fd) {
                if (file < 0 || ::dup2(file, fd) != fd) return 9;
            }
            for (int fd : closed) ::close(fd);
            Utils::openClosedStandardDescriptors();
            for (int fd = 0; fd <= 2; ++fd) {
                const bool wasClosed = std::find(closed.begin(), closed.end(), fd) != closed.end();
                if (!sameFile(fd, wasClosed ? "/dev/null" : kept.c_str())) return 10 + fd;
                if (!inheritedAcrossExec(fd)) return 13;
            }
            const int next = ::open(kept.c_str(), O_RDONLY | O_CLOEXEC);
            return next > file ? 0 : 14;
        });
        EXPECT_EQ(0, status);
    }
}

TEST(Utils, RelativePathsAreAnchoredToADirectory) {
    struct Case {
        const char* directory;
        const char* path;
        const char* anchored;
    };
    const Case cases[] = {
        {"/var/run", "managerd.pid", "/var/run/managerd.pid"},
        {"/var/run", "logs/../managerd.log", "/var/run/logs/../managerd.log"},
        {"/", "managerd.pid", "/managerd.pid"},
        {"/var/run", "/tmp/managerd.pid", "/tmp/managerd.pid"},
        {"/var/run", "", ""},
        {"", "managerd.pid", "managerd.pid"},  // no directory known: left as it is
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.directory) + " + " + c.path);
        EXPECT_EQ(c.anchored, Utils::pathFrom(c.directory, c.path));
    }
    const std::string here = Utils::workingDirectory();
    ASSERT_FALSE(here.empty());
    EXPECT_EQ(Utils::pathFrom(here, "a.log"), Utils::absolutePath("a.log"));
    EXPECT_EQ("/abs.log", Utils::absolutePath("/abs.log"));
}
