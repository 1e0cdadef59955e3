#include "quillmark/AtomicFile.h"

#include "support/FileSizeLimit.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

using qmtest::namesIn;

namespace fs = std::filesystem;
using quillmark::replaceFileAtomically;

namespace {

std::function<bool(std::FILE*)> writing(const std::string& contents) {
    return [contents](std::FILE* file) {
        return std::fwrite(contents.data(), 1, contents.size(), file) == contents.size();
    };
}

bool replace(const std::string& path, const std::string& contents) {
    std::string error;
    const bool replaced = replaceFileAtomically(path, writing(contents), error);
    EXPECT_EQ(replaced, error.empty()) << error;
    return replaced;
}

struct stat statOf(const std::string& path) {
    struct stat info = {};
    EXPECT_EQ(0, ::lstat(path.c_str(), &info)) << path;
    return info;
}

class UmaskScope {
public:
    explicit UmaskScope(mode_t mask) : saved_(::umask(mask)) {}
    ~UmaskScope() { ::umask(saved_); }

private:
    mode_t saved_;
};

TEST(AtomicFile, WritesANewFileWithTheUmaskApplied) {
    qmtest::TempDir dir;
    const std::string path = dir.file("fresh.xml");
    {
        UmaskScope mask(027);
        ASSERT_TRUE(replace(path, "fresh"));
    }
    EXPECT_EQ("fresh", qmtest::readFile(path));
    EXPECT_EQ(0640u, statOf(path).st_mode & 07777);
    EXPECT_EQ(std::set<std::string>{"fresh.xml"}, namesIn(dir.path()));
}

TEST(AtomicFile, KeepsTheModeAndOwnerOfTheFileItReplaces) {
    qmtest::TempDir dir;
    const std::string path = dir.file("config.xml");
    qmtest::writeFile(path, "old");
    ASSERT_EQ(0, ::chmod(path.c_str(), 0604));
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(0, ::chown(path.c_str(), 4321, 8765));
    }

    ASSERT_TRUE(replace(path, "new"));

    const struct stat info = statOf(path);
    EXPECT_EQ("new", qmtest::readFile(path));
    EXPECT_EQ(0604u, info.st_mode & 07777);
    if (root) {
        EXPECT_EQ(4321u, info.st_uid);
        EXPECT_EQ(8765u, info.st_gid);
    }
    EXPECT_EQ(std::set<std::string>{"config.xml"}, namesIn(dir.path()));
}

TEST(AtomicFile, ReplacesTheFileAtTheEndOfSymbolicLinks) {
    qmtest::TempDir dir;
    const std::string links = dir.file("links");
    const std::string files = dir.file("files");
    fs::create_directories(links);
    fs::create_directories(files);
    qmtest::writeFile(files + "/real.xml", "old");
    ASSERT_EQ(0, ::symlink("../files/real.xml", (links + "/first").c_str()));
    ASSERT_EQ(0, ::symlink((links + "/first").c_str(), (links + "/second").c_str()));
    ASSERT_EQ(0, ::symlink("../files/created.xml", (links + "/dangling").c_str()));

    ASSERT_TRUE(replace(links + "/second", "new"));
    ASSERT_TRUE(replace(links + "/dangling", "created"));

    EXPECT_EQ("new", qmtest::readFile(files + "/real.xml"));
    EXPECT_EQ("created", qmtest::readFile(files + "/created.xml"));
    EXPECT_EQ("../files/real.xml", fs::read_symlink(links + "/first").string());
    EXPECT_EQ(links + "/first", fs::read_symlink(links + "/second").string());
    EXPECT_EQ("../files/created.xml", fs::read_symlink(links + "/dangling").string());
    EXPECT_EQ((std::set<std::string>{"dangling", "first", "second"}), namesIn(links));
    EXPECT_EQ((std::set<std::string>{"created.xml", "real.xml"}), namesIn(files));
}

TEST(AtomicFile, AFailureLeavesTheOldFileAndNoTemporaryFile) {
    qmtest::TempDir dir;
    const std::string path = dir.file("config.xml");
    const std::string big(64 * 1024, 'b');
    struct Case {
        const char* label;
        std::string path;
        std::function<bool(std::FILE*)> writer;
        long fileSizeLimit;  // 0: none
        bool writerCalled;
    };
    const std::vector<Case> cases = {
        {"writer gives up", path, [](std::FILE*) { return false; }, 0, true},
        {"writer gives up after writing",
         path, [&](std::FILE* file) { return writing(big)(file) && false; }, 0, true},
        {"disk full", path, writing(big), 8192, true},
        {"directory missing", dir.file("missing/config.xml"), writing("x"), 0, false},
        {"path is a directory", dir.file("sub"), writing("x"), 0, false},
    };
    fs::create_directory(dir.file("sub"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        qmtest::writeFile(path, "old");
        const std::set<std::string> before = namesIn(dir.path());
        bool called = false;
        auto writer = [&](std::FILE* file) {
            called = true;
            return c.writer(file);
        };

        std::string outcome;
        if (c.fileSizeLimit == 0) {
            std::string error;
            outcome = replaceFileAtomically(c.path, writer, error) ? "" : error;
            EXPECT_EQ(c.writerCalled, called);
        } else {
            outcome = qmtest::runWithFileSizeLimit(c.fileSizeLimit, [&] {
                std::string error;
                return replaceFileAtomically(c.path, writer, error) ? "" : error;
            });
        }

        EXPECT_NE("", outcome) << "the replacement should have failed";
        EXPECT_EQ("old", qmtest::readFile(path));
        EXPECT_EQ(before, namesIn(dir.path()));
        EXPECT_TRUE(fs::is_empty(dir.file("sub")));
    }
}

TEST(AtomicFile, AnExceptionFromTheWriterRemovesTheTemporaryFile) {
    qmtest::TempDir dir;
    const std::string path = dir.file("config.xml");
    qmtest::writeFile(path, "old");
    std::string error;

    EXPECT_THROW(replaceFileAtomically(path,
                                       [](std::FILE* file) -> bool {
                                           std::fputs("partial", file);
                                           throw std::runtime_error("writer failed");
                                       },
                                       error),
                 std::runtime_error);

    EXPECT_EQ("old", qmtest::readFile(path));
    EXPECT_EQ(std::set<std::string>{"config.xml"}, namesIn(dir.path()));
}

}  // namespace
