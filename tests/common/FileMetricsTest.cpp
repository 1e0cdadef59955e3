#include "quillmark/FileMetrics.h"

#include "quillmark/Exception.h"
#include "support/BoundedFifo.h"
#include "support/Process.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace quillmark;
using qmtest::openDescriptorCount;

namespace {

MetricRequest makeRequest(const std::string& command, std::vector<std::string> args) {
    return qmtest::metricRequest("filesystem_file", command, std::move(args));
}

enum class Kind { InvalidArg, Processing, System, Unsupported };

const char* kindName(Kind kind) {
    switch (kind) {
    case Kind::InvalidArg: return "InvalidArgException";
    case Kind::Processing: return "ProcessingException";
    case Kind::System: return "SystemException";
    case Kind::Unsupported: return "UnsupportedException";
    }
    return "?";
}

Kind kindOf(const Exception& e) {
    if (dynamic_cast<const InvalidArgException*>(&e) != nullptr) return Kind::InvalidArg;
    if (dynamic_cast<const ProcessingException*>(&e) != nullptr) return Kind::Processing;
    if (dynamic_cast<const SystemException*>(&e) != nullptr) return Kind::System;
    return Kind::Unsupported;
}

class FileMetricsTest : public ::testing::Test {
protected:
    // The value execute answers; a thrown exception fails the test.
    std::string answer(const std::string& command, std::vector<std::string> args) {
        try {
            std::unique_ptr<ResultInfo> result(
                item_.execute(makeRequest(command, std::move(args))));
            return result->value;
        } catch (const Exception& e) {
            ADD_FAILURE() << "threw " << e;
            return "";
        }
    }

    void expectFailure(const std::string& command, std::vector<std::string> args, Kind kind,
                       const std::string& message) {
        try {
            std::unique_ptr<ResultInfo> result(
                item_.execute(makeRequest(command, std::move(args))));
            ADD_FAILURE() << "answered " << result->value;
        } catch (const Exception& e) {
            EXPECT_EQ(kindName(kind), std::string(kindName(kindOf(e))));
            EXPECT_EQ(message, e.getMessage());
            EXPECT_EQ(0, e.getCode());
            EXPECT_NE(std::string::npos, e.getFile().find("VfsMetrics")) << e.getFile();
        }
    }

    // A file of `size` zero bytes that takes no room on disk.
    std::string sparseFile(const std::string& name, off_t size) {
        const std::string path = dir_.file(name);
        qmtest::writeFile(path, "");
        EXPECT_EQ(0, ::truncate(path.c_str(), size));
        return path;
    }

    // A Unix socket: stat succeeds, opening it as a file fails, whoever runs the test.
    std::string socketFile() {
        const std::string path = dir_.file("socket");
        socket_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(0, ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address));
        return path;
    }

    void TearDown() override {
        if (socket_ >= 0) ::close(socket_);
    }

    qmtest::TempDir dir_;
    FileMetrics item_{"filesystem_file"};
    int socket_ = -1;
};

TEST_F(FileMetricsTest, ExistsAndSize) {
    const std::string file = dir_.file("five");
    qmtest::writeFile(file, "12345");
    qmtest::writeFile(dir_.file("empty"), "");
    ASSERT_EQ(0, ::symlink(file.c_str(), dir_.file("link").c_str()));
    ASSERT_EQ(0, ::symlink(dir_.file("gone").c_str(), dir_.file("dangling").c_str()));
    const std::string big = sparseFile("big", 5LL << 30);

    const struct {
        std::string path;
        const char* exists;
    } cases[] = {
        {file, "1"},        {dir_.file("link"), "1"},     {dir_.file("missing"), "0"},
        {dir_.path(), "0"}, {dir_.file("dangling"), "0"}, {"", "0"},
        {"/dev/null", "0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(c.exists, answer("exists", {c.path, "ignored"}));
    }

    EXPECT_EQ("5", answer("size", {file}));
    EXPECT_EQ("0", answer("size", {dir_.file("empty")}));
    EXPECT_EQ("5368709120", answer("size", {big})) << "sizes beyond 32 bits";
}

TEST_F(FileMetricsTest, TimesByMode) {
    const std::string file = dir_.file("stamped");
    qmtest::writeFile(file, "x");
    const timespec times[2] = {{1000000000, 0}, {1234567890, 999999999}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, file.c_str(), times, 0));
    struct stat info;
    ASSERT_EQ(0, ::stat(file.c_str(), &info));

    EXPECT_EQ("1234567890", answer("time", {file}));
    EXPECT_EQ("1234567890", answer("time", {file, ""}));
    EXPECT_EQ("1234567890", answer("time", {file, "modify"}));
    EXPECT_EQ("1000000000", answer("time", {file, "access"}));
    EXPECT_EQ(std::to_string(info.st_ctime), answer("time", {file, "change"}));
}

TEST_F(FileMetricsTest, DigestsAndChecksums) {
    const struct {
        const char* name;
        std::string contents;
        const char* md5;
        const char* cksum;
    } cases[] = {
        {"empty", "", "d41d8cd98f00b204e9800998ecf8427e", "4294967295"},
        {"abc", "abc", "900150983cd24fb0d6963f7d28e17f72", nullptr},
        {"check", "123456789", "25f9e794323b453885f5181f1b624d0b", "930766865"},
        {"zero byte", std::string("ab\0cd", 5), nullptr, "3086414086"},
        // One byte past the read block.
        {"block+1", std::string(16385, 'q'), "fcb67d0c959ad6734f0cf451244eaecc", "218959893"},
        {"zeros", std::string(1000000, '\0'), "879f4bba57ed37c9ec5e5aedf9864698", "1345294785"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir_.file("digest");
        qmtest::writeFile(path, c.contents);
        if (c.md5 != nullptr) {
            EXPECT_EQ(c.md5, answer("md5sum", {path}));
        }
        if (c.cksum != nullptr) {
            EXPECT_EQ(c.cksum, answer("cksum", {path}));
        }
    }
}

// Sizes around the digests' 16-, 64- and 131072-byte strides, compared with what the cksum
// and md5sum commands print first for the same file.
TEST_F(FileMetricsTest, DigestsAgreeWithTheCommands) {
    const std::size_t sizes[] = {
        1, 15, 63, 64, 65, 131071, 131072, 131073, 3 * 131072 + 5, (1 << 20) + 7};
    for (std::size_t size : sizes) {
        SCOPED_TRACE(size);
        const std::string path = dir_.file("sample");
        qmtest::writeFile(path, qmtest::pseudoRandomBytes(size, static_cast<unsigned>(size)));
        for (const char* command : {"cksum", "md5sum"}) {
            const qmtest::ProcessResult printed = qmtest::runProcess({command, path});
            ASSERT_EQ("", printed.launchError) << command;
            ASSERT_EQ(0, printed.exitStatus) << command << ": " << printed.standardError;
            const std::string firstField =
                printed.standardOutput.substr(0, printed.standardOutput.find(' '));
            EXPECT_EQ(firstField, answer(command, {path})) << command;
        }
    }
}

TEST_F(FileMetricsTest, DigestSizeLimit) {
    const std::string atLimit = sparseFile("at-limit", 67108864);
    EXPECT_EQ("7f614da9329cd3aebf59b91aadc30bf0", answer("md5sum", {atLimit}));
    const std::string aboveLimit = sparseFile("above-limit", 67108865);
    expectFailure("md5sum", {aboveLimit}, Kind::Processing,
                  "Will not calculate MD5 for files larger than 64M");
    // stat reports no size for a device; the bound stops a read that never ends all the same.
    expectFailure("md5sum", {"/dev/zero"}, Kind::Processing,
                  "Will not calculate MD5 for files larger than 64M");
}

TEST_F(FileMetricsTest, Searches) {
    const std::string longLine = std::string(100000, 'a') + "NEEDLE" + std::string(100000, 'b');
    std::string hexLines;
    for (int i = 0; i < 640; ++i) hexLines += "0123456789abcdef\n";
    std::string abLine;
    for (int i = 0; i < 16384; ++i) abLine += "ab";
    const struct {
        const char* name;
        std::string contents;
        const char* pattern;
        const char* regexp;
        const char* regmatch;
    } cases[] = {
        {"lines are joined", "ab\ncd\n", "bc", "bc", "1"},
        {"no separator between lines", "ab\ncd\n", "b.c", "EOF", "0"},
        {"last line without line end", "ab\ncd", "cd$", "cd", "1"},
        {"no match", "ab\ncd\n", "z", "EOF", "0"},
        {"empty match", "yyy", "x*", "EOF", "1"},
        {"empty file", "", "x*", "EOF", "1"},
        {"empty pattern", "abc", "", "EOF", "1"},
        {"bad pattern", "a(b", "(", "EOF", "0"},
        {"zero byte ends the text", std::string("ab\0cd", 5), "c", "EOF", "0"},
        {"text before a zero byte", std::string("ab\0cd", 5), "b$", "b", "1"},
        {"line far longer than any buffer", longLine + "\n", "LE.*b$", nullptr, "1"},
        {"match across the read block", std::string(16381, 'a') + "NEEDLE\n", "NEEDLE", "NEEDLE",
         "1"},
        {"10 KiB of hex lines", hexLines + "id 42;\n", "\\w*42;", "42;", "1"},
        {"a long run before the match", std::string(6000, 'a') + "cab\n", "a[^c]*b", "ab", "1"},
        {"a group repeated over 32 KiB", abLine + "\n", "^(ab)+$", nullptr, "1"},
        {"exponential backtracking", std::string(30, 'a') + "!b\n", "(a+)+b", "EOF", "0"},
        {"more choices than a walk keeps", std::string(1100000, 'a') + "c\n", "(a|b)*c", nullptr,
         "1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir_.file("text");
        qmtest::writeFile(path, c.contents);
        if (c.regexp != nullptr) {
            EXPECT_EQ(c.regexp, answer("regexp", {path, c.pattern}));
        }
        EXPECT_EQ(c.regmatch, answer("regmatch", {path, c.pattern, "ignored"}));
    }

    const std::string path = dir_.file("long");
    qmtest::writeFile(path, "x\n" + longLine + "\ny\n");
    EXPECT_EQ("xaa", answer("regexp", {path, "xaa"}));
    const std::string found = answer("regexp", {path, "a+NEEDLEb+y"});
    EXPECT_EQ(longLine.size() + 1, found.size()) << "the whole long line, not a piece of it";
}

// Letters and line feeds in a fixed pseudo-random mix, a third of them line feeds, so that
// single and repeated line feeds fall at and around every boundary of any read block.
std::string lettersAndLineFeeds(std::size_t size) {
    std::string out;
    out.reserve(size);
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        const unsigned pick = (state >> 16) % 39;
        out += pick < 13 ? '\n' : static_cast<char>('a' + pick % 26);
    }
    return out;
}

// The whole text a search sees: the file without its line feeds, up to its first zero byte.
std::string searchedText(const std::string& contents) {
    std::string text;
    for (char c : contents) {
        if (c == '\0') break;
        if (c != '\n') text += c;
    }
    return text;
}

// ^.*$ matches the whole searched text, so "regexp" shows exactly what the reading kept.
TEST_F(FileMetricsTest, SearchReadingKeepsTheLineRules) {
    const std::string mixed = lettersAndLineFeeds(1100000);
    const struct {
        const char* name;
        std::string contents;
    } cases[] = {
        {"line feeds across block boundaries", mixed},
        {"larger than a block, no line feed", std::string(700000, 'q') + "z"},
        {"line feeds only, then text", std::string(300000, '\n') + "tail"},
        {"carriage returns are kept", "ab\r\ncd\r\n\re\rf\n"},
        {"zero byte after the first block", mixed + std::string(1, '\0') + "after\nzero\n"},
        {"zero byte right after a line feed", std::string("ab\n\0cd\n", 7)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir_.file("text");
        qmtest::writeFile(path, c.contents);
        const std::string expected = searchedText(c.contents);
        const std::string found = answer("regexp", {path, "^.*$"});
        EXPECT_EQ(expected.size(), found.size());
        EXPECT_TRUE(expected == found) << "the text differs from the file without line feeds";
    }

    // Nothing after a zero byte is searched, however far the file goes on.
    const std::string path = dir_.file("zero-first");
    qmtest::writeFile(path, std::string(1, '\0') + mixed + "NEEDLE");
    EXPECT_EQ("1", answer("regmatch", {path, "^$"}));
    EXPECT_EQ("0", answer("regmatch", {path, "NEEDLE"}));
}

TEST_F(FileMetricsTest, Failures) {
    const std::string file = dir_.file("present");
    qmtest::writeFile(file, "data\n");
    const std::string missing = dir_.file("missing");
    const std::string socket = socketFile();
    const std::string directory = dir_.path();
    const int descriptorsBefore = openDescriptorCount();

    const struct {
        const char* command;
        std::vector<std::string> args;
        Kind kind;
        const char* message;
    } cases[] = {
        {"exists", {}, Kind::InvalidArg, "Agruments missing."},
        {"time", {}, Kind::InvalidArg, "Agruments missing."},
        {"time", {"", "modify"}, Kind::InvalidArg, "Agruments missing."},
        {"time", {file, "Modify"}, Kind::Processing, "Failed to get stat."},
        {"time", {missing}, Kind::Processing, "Failed to get stat."},
        {"time", {missing, "bogus"}, Kind::Processing, "Failed to get stat."},
        {"size", {}, Kind::InvalidArg, "File name missing."},
        {"size", {""}, Kind::Processing, "Failed to get stat."},
        {"size", {missing}, Kind::Processing, "Failed to get stat."},
        {"regexp", {file}, Kind::InvalidArg, "Agruments missing."},
        {"regexp", {missing, "x"}, Kind::Processing, "Failed to open file."},
        {"regexp", {socket, "x"}, Kind::Processing, "Failed to open file."},
        {"regexp", {directory, "x*"}, Kind::Processing, "Failed to read file."},
        {"regmatch", {}, Kind::InvalidArg, "Agruments missing."},
        {"regmatch", {missing, "x"}, Kind::Processing, "Failed to open file."},
        {"regmatch", {directory, "x*"}, Kind::Processing, "Failed to read file."},
        {"cksum", {}, Kind::InvalidArg, "Arguments missing."},
        {"cksum", {missing}, Kind::Processing, "Failed to open file."},
        {"cksum", {directory}, Kind::Processing, "Failed to read file."},
        {"md5sum", {}, Kind::InvalidArg, "Agrument missing."},
        {"md5sum", {""}, Kind::System, "Cannot stat() file"},
        {"md5sum", {missing}, Kind::System, "Cannot stat() file"},
        {"md5sum", {socket}, Kind::System, "Failed to open file."},
        // A read error must not pass for the digest of an empty file.
        {"md5sum", {directory}, Kind::Processing, "Failed to read file."},
        {"MD5SUM", {file}, Kind::Unsupported, "Command unsupported."},
        {"md5sum ", {file}, Kind::Unsupported, "Command unsupported."},
        {"", {file}, Kind::Unsupported, "Command unsupported."},
        {"read", {file}, Kind::Unsupported, "Command unsupported."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("[") + c.command + "] " +
                     (c.args.empty() ? std::string("no args") : "[" + c.args[0] + "]"));
        expectFailure(c.command, c.args, c.kind, c.message);
    }
    EXPECT_EQ(descriptorsBefore, openDescriptorCount()) << "a failure left a file open";
}

// The flags of the descriptor this process holds open on `path` for reading, or -1.
long readerFlags(const std::string& path) {
    DIR* dir = opendir("/proc/self/fd");
    long flags = -1;
    while (dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
        char target[4096];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
        if (length <= 0 || std::string(target, static_cast<std::size_t>(length)) != path) continue;
        std::ifstream info(std::string("/proc/self/fdinfo/") + entry->d_name);
        std::string key;
        long value = 0;
        while (info >> key >> std::oct >> value >> std::dec) {
            if (key == "flags:" && (value & O_ACCMODE) == O_RDONLY) flags = value;
            if (key == "flags:") break;
        }
    }
    if (dir != nullptr) closedir(dir);
    return flags;
}

void ignoreSignal(int) {}

// A signal that interrupts the digest's reads (no SA_RESTART) must neither cut the digest short
// nor fail it; meanwhile the file is open close-on-exec. The file is a terminal device, whose
// reads wait for what the other end sends; its input is taken a line at a time, and the end of
// file character (^D) ends a line without adding to it, or at the start of a line makes one read
// answer the end of the file (the stream asks twice: once within the read that got the line,
// once more after it).
TEST_F(FileMetricsTest, DigestSurvivesInterruptedReadsAndOpensCloseOnExec) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0) << std::strerror(errno);
    ASSERT_EQ(0, ::grantpt(master));
    ASSERT_EQ(0, ::unlockpt(master));
    const std::string terminal = ::ptsname(master);
    // Held open by the test so that the terminal lives on between the digest's open and close;
    // without echo, so that nothing the test sends comes back to it.
    const int slave = ::open(terminal.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0) << std::strerror(errno);
    struct termios settings {};
    ASSERT_EQ(0, ::tcgetattr(slave, &settings));
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    settings.c_lflag |= ICANON;
    ASSERT_EQ(0, ::tcsetattr(slave, TCSANOW, &settings));
    const char endOfFile = static_cast<char>(settings.c_cc[VEOF]);

    struct sigaction action {
    }, previous{};
    action.sa_handler = ignoreSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ASSERT_EQ(0, ::sigaction(SIGUSR1, &action, &previous));

    std::string digest;
    std::string failure;
    std::thread reader([&] {
        try {
            std::unique_ptr<ResultInfo> result(item_.md5sum(makeRequest("md5sum", {terminal})));
            digest = result->value;
        } catch (const Exception& e) {
            failure = e.getMessage();
        }
    });

    EXPECT_EQ(3, ::write(master, "123", 3));
    long flags = readerFlags(terminal);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (flags == -1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        flags = readerFlags(terminal);
    }
    EXPECT_NE(-1, flags);
    EXPECT_NE(0, flags & O_CLOEXEC) << "flags " << std::oct << flags;
    // Each signal finds the reader blocked in read, waiting for the end of the line.
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        pthread_kill(reader.native_handle(), SIGUSR1);
    }
    const std::string rest = std::string("456789") + std::string(3, endOfFile);
    EXPECT_EQ(static_cast<ssize_t>(rest.size()), ::write(master, rest.data(), rest.size()));
    reader.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    ::close(slave);
    ::close(master);

    EXPECT_EQ("", failure);
    EXPECT_EQ("25f9e794323b453885f5181f1b624d0b", digest);
}

// The commands that read a file's content take a FIFO or a socket for a file that does not open,
// at once and whether a writer would ever come or not; a character device reads as before.
TEST_F(FileMetricsTest, FifosAndSocketsDoNotOpenDevicesDo) {
    const qmtest::BoundedFifo fifo(dir_.file("fifo"));
    const std::string socket = socketFile();
    const int descriptorsBefore = openDescriptorCount();

    const struct {
        const char* command;
        const char* pattern;
        Kind kind;
        const char* message;
    } refusals[] = {
        {"md5sum", nullptr, Kind::System, "Failed to open file."},
        {"cksum", nullptr, Kind::Processing, "Failed to open file."},
        {"regexp", "x*", Kind::Processing, "Failed to open file."},
        {"regmatch", "x*", Kind::Processing, "Failed to open file."},
    };
    for (const std::string& path : {fifo.path(), socket}) {
        for (const auto& c : refusals) {
            SCOPED_TRACE(std::string(c.command) + " [" + path + "]");
            std::vector<std::string> args{path};
            if (c.pattern != nullptr) args.push_back(c.pattern);
            expectFailure(c.command, args, c.kind, c.message);
        }
    }
    EXPECT_FALSE(fifo.releasedAWaitingReader()) << "an open waited for a writer";
    EXPECT_EQ(descriptorsBefore, openDescriptorCount()) << "a refusal left a file open";

    const struct {
        const char* command;
        std::vector<std::string> args;
        const char* value;
    } devices[] = {
        {"md5sum", {"/dev/null"}, "d41d8cd98f00b204e9800998ecf8427e"},
        {"cksum", {"/dev/null"}, "4294967295"},
        {"regexp", {"/dev/null", "x"}, "EOF"},
        {"regmatch", {"/dev/null", "x*"}, "1"},
    };
    for (const auto& c : devices) {
        SCOPED_TRACE(std::string(c.command) + " [/dev/null]");
        EXPECT_EQ(c.value, answer(c.command, c.args));
    }
}

}  // namespace
