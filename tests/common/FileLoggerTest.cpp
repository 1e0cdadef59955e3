#include "quillmark/FileLogger.h"
#include "quillmark/Log.h"
#include "support/ForkedCall.h"
#include "support/SpecialFile.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

using namespace quillmark;
using qmtest::readFile;

using qmtest::linesOf;

namespace {

const std::string kDate = R"(\d{4}-\d{2}-\d{2}\|\d{2}:\d{2}:\d{2})";

std::string shortHeader(const std::string& level) {
    return "\\|" + level + "\t\\|" + kDate + "\\|\t\\|\t\\|\t";
}

// `line` is a pattern for the line number.
std::string longHeader(const std::string& level, const std::string& file, const std::string& line) {
    char pid[16];
    snprintf(pid, sizeof pid, "%6ld", static_cast<long>(getpid()));
    return "\\|" + level + "\t\\|" + kDate + "\\|Thread\\[" + pid + "\\]\\|\\[" + file + ":" +
           line + "\\]\\|\t";
}

// The header `line` begins with, when it is a short header of `level`; "" otherwise.
std::string shortHeaderText(const std::string& line, const std::string& level) {
    std::smatch header;
    return std::regex_search(line, header, std::regex("^" + shortHeader(level))) ? header.str()
                                                                                 : "";
}

// The logger's report of a rotation of `path` that failed with `error`.
std::string rotationFailure(const std::string& path, int error) {
    return "Cannot rotate log file [" + path + "] to [" + path + ".old] [" + std::strerror(error) +
           "]";
}

void writeEveryLevel(FileLogger& logger) {
    logger.fatal("f", "src/a.cpp", 1);
    logger.error("e", "src/a.cpp", 2);
    logger.warn("w", "src/a.cpp", 3);
    logger.info("i", "src/a.cpp", 4);
    logger.debug("d", "src/a.cpp", 5);
    logger.trace("t", "src/a.cpp", 6);
}

}  // namespace

TEST(FileLogger, EnabledLevels) {
    struct Case {
        int level;
        bool trace, debug, info, warn, error, fatal;
    };
    const Case cases[] = {
        {-1, false, false, false, false, false, false},
        {0, false, false, false, false, false, false},
        {1, false, false, false, false, false, true},
        {4, false, false, true, true, true, true},
        {5, false, true, true, true, true, true},
        {6, true, true, true, true, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level);
        FileLogger logger("", c.level, 1);
        EXPECT_EQ(c.trace, logger.isTraceEnabled());
        EXPECT_EQ(c.debug, logger.isDebugEnabled());
        EXPECT_EQ(c.info, logger.isInfoEnabled());
        EXPECT_EQ(c.warn, logger.isWarnEnabled());
        EXPECT_EQ(c.error, logger.isErrorEnabled());
        EXPECT_EQ(c.fatal, logger.isFatalEnabled());
    }
}

TEST(FileLogger, HeaderFormFollowsTheConfiguredLevel) {
    // Below debug every line has the short header; from debug on every line, FATAL included,
    // carries the process id and the source position. The write operations do not test the
    // level: every line handed to them is written.
    const char* names[] = {"FATAL", "ERROR", "WARN", "INFO", "DEBUG", "DEBUG"};
    const char* texts[] = {"f", "e", "w", "i", "d", "t"};
    for (int level : {4, 5}) {
        SCOPED_TRACE(level);
        qmtest::TempDir dir;
        const std::string path = dir.file("m.log");
        {
            FileLogger logger(path.c_str(), level, 1);
            writeEveryLevel(logger);
        }
        const std::vector<std::string> got = linesOf(readFile(path));
        ASSERT_EQ(6u, got.size());
        for (int i = 0; i < 6; ++i) {
            SCOPED_TRACE(got[i]);
            const std::string header =
                level == 4 ? shortHeader(names[i])
                           : longHeader(names[i], "src/a.cpp", std::to_string(i + 1));
            EXPECT_TRUE(std::regex_match(got[i], std::regex(header + texts[i])));
        }
    }
}

TEST(FileLogger, HeaderIsExactlyTheLineFormat) {
    // Every field against snprintf with the documented formats, at the date and time the line
    // itself carries; a header past 1023 characters is cut there.
    struct Case {
        int level;
        const char* file;
        int line;
    };
    const std::string longName(1500, 'n');
    const Case cases[] = {
        {5, "manager/Listener.cpp", 173},
        {5, "", 0},
        {5, nullptr, -42},
        {5, "f", 2147483647},
        {6, "f", 1},
        {5, longName.c_str(), 7},
        {4, "manager/Listener.cpp", 173},
        {1, "f", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.level) + " " + std::to_string(c.line));
        qmtest::TempDir dir;
        const std::string path = dir.file("m.log");
        {
            FileLogger logger(path.c_str(), c.level, 1);
            logger.log("message", 2, c.file, c.line);
        }
        const std::string got = readFile(path);
        ASSERT_GT(got.size(), 28u);
        int year, month, day, hour, minute, second;
        ASSERT_EQ(6, std::sscanf(got.c_str(), "|ERROR\t|%d-%d-%d|%d:%d:%d|", &year, &month, &day,
                                 &hour, &minute, &second));
        char header[1024];
        if (c.level >= 5) {
            std::snprintf(header, sizeof header,
                          "|%s\t|%.4d-%.2d-%.2d|%.2d:%.2d:%.2d|Thread[%6li]|[%s:%d]|\t", "ERROR",
                          year, month, day, hour, minute, second, static_cast<long>(getpid()),
                          c.file ? c.file : "", c.line);
        } else {
            std::snprintf(header, sizeof header, "|%s\t|%.4d-%.2d-%.2d|%.2d:%.2d:%.2d|\t|\t|\t",
                          "ERROR", year, month, day, hour, minute, second);
        }
        EXPECT_EQ(std::string(header) + "message\n", got);
    }
}

// The process id in the header is the writer's own, also in the child of a fork after the
// parent has written (the daemon detaches that way).
TEST(FileLogger, HeaderCarriesTheProcessIdOfAForkedChild) {
    qmtest::TempDir dir;
    const std::string path = dir.file("m.log");
    FileLogger logger(path.c_str(), 5, 1);
    logger.debug("parent", "f", 1);
    const std::string child = qmtest::runForked([] { return true; },
                                                [&logger] {
                                                    logger.debug("child", "f", 2);
                                                    return std::to_string(::getpid());
                                                });
    ASSERT_NE("", child);
    logger.debug("parent", "f", 3);
    const std::string parent = std::to_string(::getpid());
    const std::vector<std::string> got = linesOf(readFile(path));
    ASSERT_EQ(3u, got.size());
    const std::string writers[] = {parent, child, parent};
    for (std::size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(got[i]);
        char field[32];
        std::snprintf(field, sizeof field, "|Thread[%6s]|", writers[i].c_str());
        EXPECT_NE(std::string::npos, got[i].find(field));
    }
}

TEST(FileLogger, LevelNamesAndMessageShapes) {
    qmtest::TempDir dir;
    const std::string path = dir.file("m.log");
    {
        FileLogger logger(path.c_str(), 4, 1);
        for (int level : {0, 5, 7, -3}) logger.log("x", level, "f", 1);
        logger.log("", 2, "f", 1);
        logger.log("one\ntwo", 4, "f", 1);
    }
    const std::vector<std::string> got = linesOf(readFile(path));
    ASSERT_EQ(7u, got.size());
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(std::regex_match(got[i], std::regex(shortHeader("DEBUG") + "x")));
    EXPECT_TRUE(std::regex_match(got[4], std::regex(shortHeader("ERROR"))));
    // Line ends inside a message are written as they are, after one header.
    EXPECT_TRUE(std::regex_match(got[5], std::regex(shortHeader("INFO") + "one")));
    EXPECT_EQ("two", got[6]);
}

TEST(FileLogger, AppendsToExistingFileAndEmptyNameWritesNothing) {
    qmtest::TempDir dir;
    const std::string path = dir.file("m.log");
    qmtest::writeFile(path, "earlier\n");
    {
        FileLogger logger(path.c_str(), 4, 1);
        logger.info("later", "f", 1);
        FileLogger silent("", 5, 1);
        silent.info("nowhere", "f", 1);
    }
    const std::vector<std::string> got = linesOf(readFile(path));
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ("earlier", got[0]);
}

TEST(FileLogger, RotatesWhenTheFileGrowsPastTheLimit) {
    qmtest::TempDir dir;
    const std::string path = dir.file("m.log");
    qmtest::writeFile(path + ".old", "an older generation\n");
    FileLogger logger(path.c_str(), 4, 1);
    logger.info("first", "f", 1);
    const size_t lineLength = readFile(path).size();

    // Fill the file up to exactly the limit with one line: it stays in place.
    const size_t limit = 1048576;
    const size_t headerLength = lineLength - std::string("first\n").size();
    logger.info(std::string(limit - lineLength - headerLength - 1, 'x'), "f", 1);
    struct stat info;
    ASSERT_EQ(0, stat(path.c_str(), &info));
    ASSERT_EQ(static_cast<off_t>(limit), info.st_size);
    EXPECT_EQ("an older generation\n", readFile(path + ".old"));

    // The next line crosses the limit: it ends the ".old" file and a new, empty file starts.
    logger.info("crossing", "f", 1);
    const std::string old = readFile(path + ".old");
    EXPECT_EQ(limit + headerLength + std::string("crossing\n").size(), old.size());
    EXPECT_EQ("crossing\n", old.substr(old.size() - 9));
    EXPECT_EQ("", readFile(path));

    logger.info("after", "f", 1);
    EXPECT_EQ(lineLength, readFile(path).size());
}

TEST(FileLogger, CountsWhatOtherDescriptorsAppendTowardsTheLimit) {
    // The daemon's standard output and error are the log file opened a second time.
    qmtest::TempDir dir;
    const std::string path = dir.file("m.log");
    FileLogger logger(path.c_str(), 4, 1);
    const int other = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(other, 0);
    const std::string output(1048576, 'o');
    ASSERT_EQ(static_cast<ssize_t>(output.size()), ::write(other, output.data(), output.size()));
    ::close(other);

    logger.info("crossing", "f", 1);
    const std::string old = readFile(path + ".old");
    EXPECT_EQ(output, old.substr(0, output.size()));
    EXPECT_EQ("crossing\n", old.substr(old.size() - 9));
    EXPECT_EQ("", readFile(path));
}

TEST(FileLogger, KeepsLinesWhenTheFileCannotBeMovedAside) {
    qmtest::TempDir dir;
    const std::string path = dir.file("m.log");
    // A non-empty directory in the way makes the rename fail.
    ASSERT_EQ(0, mkdir((path + ".old").c_str(), 0755));
    qmtest::writeFile(path + ".old/keep", "k");
    qmtest::writeFile(path, std::string(1048576, 'y'));
    {
        FileLogger logger(path.c_str(), 4, 1);
        logger.info("one", "f", 1);
        logger.info("two", "f", 1);
    }
    const std::string text = readFile(path);
    EXPECT_EQ(std::string(1048576, 'y'), text.substr(0, 1048576));
    // The failed rotation is reported once, after the line that found the limit passed.
    const std::vector<std::string> got = linesOf(text.substr(1048576));
    ASSERT_EQ(3u, got.size());
    EXPECT_TRUE(std::regex_match(got[0], std::regex(shortHeader("INFO") + "one")));
    EXPECT_EQ(shortHeaderText(got[1], "ERROR") + rotationFailure(path, EISDIR), got[1]);
    EXPECT_TRUE(std::regex_match(got[2], std::regex(shortHeader("INFO") + "two")));
}

TEST(FileLogger, StandardStreamsOnTheLogFollowItsRotations) {
    // In a child whose standard error appends to the log, as the daemon's does, and whose
    // standard output is another file, which it keeps.
    qmtest::TempDir dir;
    const std::string path = dir.file("m.log");
    const std::string other = dir.file("other");
    const std::string problem = qmtest::runForked(
        [&] {
            const int log = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            const int out = ::open(other.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            return log > 2 && out > 2 && ::dup2(log, STDERR_FILENO) == STDERR_FILENO &&
                   ::dup2(out, STDOUT_FILENO) == STDOUT_FILENO && ::close(log) == 0 &&
                   ::close(out) == 0;
        },
        [&]() -> std::string {
            FileLogger logger(path.c_str(), 4, 1);
            const std::string filler(1048576, 'e');
            for (const char* marker : {"error 1\n", "error 2\n"}) {
                if (::write(STDERR_FILENO, filler.data(), filler.size()) !=
                    static_cast<ssize_t>(filler.size())) {
                    return "cannot fill the log";
                }
                logger.info("crossing", "f", 1);
                const std::string text = marker;
                if (::write(STDERR_FILENO, text.data(), text.size()) !=
                        static_cast<ssize_t>(text.size()) ||
                    ::write(STDOUT_FILENO, text.data(), text.size()) !=
                        static_cast<ssize_t>(text.size())) {
                    return "cannot write after a rotation";
                }
            }
            return "";
        });
    EXPECT_EQ("", problem);
    EXPECT_EQ("error 2\n", readFile(path));
    const std::string old = readFile(path + ".old");
    EXPECT_EQ(0u, old.find("error 1\n")) << old.substr(0, 40);
    EXPECT_EQ("crossing\n", old.substr(old.size() - 9));
    EXPECT_EQ("error 1\nerror 2\n", readFile(other));
}

TEST(FileLogger, KeepsTheGenerationAnotherWriterMovedAside) {
    // Two loggers on one path, as two processes on one log: the second moves the file aside
    // first, and the first then appends to the file the second started.
    qmtest::TempDir dir;
    const std::string path = dir.file("m.log");
    qmtest::writeFile(path, "earlier generation\n" + std::string(1048576, 'g') + "\n");
    FileLogger first(path.c_str(), 4, 1);
    FileLogger second(path.c_str(), 4, 1);
    second.info("second crossing", "f", 1);
    first.info("first sees the limit", "f", 1);
    first.info("first later", "f", 1);
    second.info("second later", "f", 1);

    const std::string old = readFile(path + ".old");
    EXPECT_EQ(0u, old.find("earlier generation\n")) << old.substr(0, 40);
    EXPECT_NE(std::string::npos, old.find("second crossing\n"));
    const std::vector<std::string> current = linesOf(readFile(path));
    ASSERT_EQ(2u, current.size());
    EXPECT_TRUE(std::regex_match(current[0], std::regex(shortHeader("INFO") + "first later")));
    EXPECT_TRUE(std::regex_match(current[1], std::regex(shortHeader("INFO") + "second later")));
}

TEST(FileLogger, WritesOnceTheFileCanBeOpened) {
    // The directory is missing when the logger starts; lines before it exists are lost, and
    // logging goes on once a later line could open the file.
    qmtest::TempDir dir;
    const std::string directory = dir.file("logs");
    const std::string path = directory + "/m.log";
    FileLogger logger(path.c_str(), 4, 1);
    logger.info("lost", "f", 1);
    ASSERT_FALSE(qmtest::fileExists(path));
    ASSERT_EQ(0, mkdir(directory.c_str(), 0755));
    int written = 0;
    EXPECT_TRUE(qmtest::eventually(
        [&] {
            logger.info("line " + std::to_string(++written), "f", 1);
            return qmtest::fileExists(path);
        },
        std::chrono::seconds(10)));
    logger.info("after", "f", 1);

    const std::vector<std::string> got = linesOf(readFile(path));
    ASSERT_EQ(2u, got.size());
    EXPECT_TRUE(std::regex_match(
        got[0], std::regex(shortHeader("INFO") + "line " + std::to_string(written))));
    EXPECT_TRUE(std::regex_match(got[1], std::regex(shortHeader("INFO") + "after")));
}

TEST(FileLogger, RefusesASymlinkedLogPath) {
    qmtest::TempDir dir;
    const std::string target = dir.file("precious");
    const std::string path = dir.file("m.log");
    qmtest::writeFile(target, "secret\n");
    ASSERT_EQ(0, symlink(target.c_str(), path.c_str()));
    {
        FileLogger logger(path.c_str(), 5, 1);
        logger.fatal("must not land in the target", "f", 1);
    }
    EXPECT_EQ("secret\n", readFile(target));
}

TEST(FileLogger, ConcurrentLinesNeverTear) {
    qmtest::TempDir dir;
    const std::string path = dir.file("m.log");
    const int threads = 8, perThread = 400;
    {
        FileLogger logger(path.c_str(), 5, 1);
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t) {
            workers.emplace_back([&logger, t] {
                const std::string body(200 + t, static_cast<char>('a' + t));
                for (int i = 0; i < perThread; ++i) logger.info(body, "f", i);
            });
        }
        for (std::thread& w : workers) w.join();
    }
    const std::vector<std::string> got = linesOf(readFile(path));
    ASSERT_EQ(static_cast<size_t>(threads * perThread), got.size());
    const std::regex whole(longHeader("INFO", "f", "\\d+") + "([a-h])\\1*");
    for (const std::string& line : got) {
        ASSERT_TRUE(std::regex_match(line, whole)) << line;
    }
}

// Logs until a line lands in a regular file at `path`, as once a second a closed logger tries
// to open it again; false when none did within ten seconds.
bool resumesInAFile(FileLogger& logger, const std::string& path) {
    return qmtest::eventually(
        [&] {
            logger.info("resumed", "f", 1);
            struct stat info;
            return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
                   readFile(path).find("resumed\n") != std::string::npos;
        },
        std::chrono::seconds(10));
}

// A FIFO (with or without a reader), a socket or a directory at the path: the open neither waits
// nor writes there, counts as failed, and is tried again until a file can be made.
TEST(FileLogger, OpensOnlyAFileOrACharacterDevice) {
    for (const qmtest::SpecialFile::Kind kind : qmtest::SpecialFile::kinds()) {
        SCOPED_TRACE(qmtest::SpecialFile::name(kind));
        qmtest::TempDir dir;
        const std::string path = dir.file("m.log");
        qmtest::SpecialFile special(path, kind);
        const int descriptors = qmtest::openDescriptorCount();
        FileLogger logger(path.c_str(), 4, 1);
        logger.fatal("must not be written there", "f", 1);
        EXPECT_EQ(descriptors, qmtest::openDescriptorCount()) << "the logger kept a descriptor";
        EXPECT_FALSE(special.wasWrittenTo());

        ASSERT_TRUE(special.remove());
        EXPECT_TRUE(resumesInAFile(logger, path));
    }

    // A character device is taken as it is.
    const int descriptors = qmtest::openDescriptorCount();
    FileLogger logger("/dev/null", 4, 1);
    logger.fatal("discarded", "f", 1);
    EXPECT_EQ(descriptors + 1, qmtest::openDescriptorCount());
}

// What the logger writes when it starts `path` over.
std::string startedOver(const std::string& path, int error) {
    return "Log file [" + path +
           "] started over: it passed twice its limit of 1048576 bytes and cannot be rotated [" +
           std::strerror(error) + "]";
}

// With a directory at ".old" the file stays the log: the failure is reported once a minute,
// the file is started over past twice the limit, and a rotation is tried again until it works.
TEST(FileLogger, StartsOverPastTwiceTheLimitWhileItCannotRotate) {
    qmtest::TempDir dir;
    const std::string path = dir.file("m.log");
    ASSERT_EQ(0, mkdir((path + ".old").c_str(), 0755));
    qmtest::writeFile(path + ".old/keep", "k");
    FileLogger logger(path.c_str(), 4, 1);
    const std::string chunk(100000, 'c');
    const std::size_t bound = 2 * 1048576;
    int startOvers = 0;
    std::size_t previous = 0;
    for (int i = 0; i < 60; ++i) {
        logger.info(chunk, "f", i);
        const std::string text = readFile(path);
        ASSERT_LE(text.size(), bound) << "line " << i;
        const std::size_t reports = qmtest::occurrences(text, rotationFailure(path, EISDIR));
        if (text.size() < previous) {
            ++startOvers;
            const std::vector<std::string> lines = linesOf(text);
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(shortHeaderText(lines[0], "ERROR") + startedOver(path, EISDIR), lines[0]);
        }
        // Within the minute this takes, the failure is reported once, before the first start.
        EXPECT_EQ(startOvers == 0 && text.size() > 1048576 ? 1u : 0u, reports) << "line " << i;
        previous = text.size();
    }
    EXPECT_GE(startOvers, 2);
    EXPECT_EQ("k", readFile(path + ".old/keep"));

    // Once the way is free, a later attempt moves the file aside.
    ASSERT_EQ(0, ::unlink((path + ".old/keep").c_str()));
    ASSERT_EQ(0, ::rmdir((path + ".old").c_str()));
    while (readFile(path).size() <= 1048576 && !qmtest::fileExists(path + ".old")) {
        logger.info(chunk, "f", 1);
    }
    EXPECT_TRUE(qmtest::eventually(
        [&] {
            logger.info("after", "f", 1);
            return qmtest::fileExists(path + ".old");
        },
        std::chrono::seconds(10)));
    EXPECT_LT(readFile(path).size(), 1048576u);
    EXPECT_GT(readFile(path + ".old").size(), 1048576u);
}

// Sets the append-only attribute of a file for the life of the object (root, and a file
// system that keeps it); the file can then be neither renamed nor emptied.
class AppendOnlyFile {
public:
    explicit AppendOnlyFile(const std::string& path) : path_(path) { set_ = change(true); }
    ~AppendOnlyFile() { clear(); }
    AppendOnlyFile(const AppendOnlyFile&) = delete;
    AppendOnlyFile& operator=(const AppendOnlyFile&) = delete;

    bool isSet() const { return set_; }
    void clear() {
        if (set_) set_ = !change(false);
    }

private:
    bool change(bool appendOnly) {
        const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        int flags = 0;
        bool changed = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (changed) {
            flags = appendOnly ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL;
            changed = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        if (fd >= 0) ::close(fd);
        return changed;
    }

    std::string path_;
    bool set_ = false;
};

TEST(FileLogger, DropsLinesWhileTheFileCanNeitherMoveNorStartOver) {
    qmtest::TempDir dir;
    const std::string path = dir.file("m.log");
    qmtest::writeFile(path, "");
    AppendOnlyFile appendOnly(path);
    if (!appendOnly.isSet()) GTEST_SKIP() << "no append-only attribute here";
    FileLogger logger(path.c_str(), 4, 1);
    const std::string chunk(100000, 'c');
    for (int i = 0; i < 40; ++i) logger.info(chunk, "f", i);
    // The line that found the bound passed is the last one written.
    EXPECT_LE(readFile(path).size(), 2 * 1048576 + chunk.size() + 100);

    appendOnly.clear();
    ASSERT_FALSE(appendOnly.isSet());
    EXPECT_TRUE(qmtest::eventually(
        [&] {
            logger.info("after", "f", 1);
            return readFile(path).find("after\n") != std::string::npos;
        },
        std::chrono::seconds(10)));
    EXPECT_LE(readFile(path).size(), 2 * 1048576u);
}

TEST(LogManager, StatementsReachTheInstalledLoggerOnlyWhenEnabled) {
    qmtest::TempDir dir;
    const std::string path = dir.file("m.log");
    LogManager::getInstance()->setLogger(new FileLogger(path.c_str(), 3, 1));
    int built = 0;
    auto text = [&built] {
        ++built;
        return "shown";
    };
    QM_LOG_WARN(text());
    QM_LOG_INFO(text());
    QM_LOG_DEBUG(text());
    EXPECT_EQ(1, built) << "disabled levels must not build their text";
    LogManager::getInstance()->setLogger(nullptr);
    QM_LOG_FATAL("dropped without a logger");

    const std::vector<std::string> got = linesOf(readFile(path));
    ASSERT_EQ(1u, got.size());
    EXPECT_TRUE(std::regex_match(got[0], std::regex(shortHeader("WARN") + "shown")));
}
