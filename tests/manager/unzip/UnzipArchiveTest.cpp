#include "unzip/UnzipArchive.h"

#include "support/FileSizeLimit.h"
#include "support/ScopedMount.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"
#include "support/ZipBuilder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

using qmtest::currentDirectory;

namespace fs = std::filesystem;
using qmtest::ZipBuilder;
using qmtest::ZipEntryOptions;

namespace {

std::set<std::string> namesIn(const std::string& directory) {
    std::set<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) {
        names.insert(entry.path().filename().string() + (entry.is_directory() ? "/" : ""));
    }
    return names;
}

std::string patternedBytes(std::size_t size) {
    std::string bytes(size, '\0');
    unsigned state = 12345;
    for (char& c : bytes) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 16);
    }
    return bytes;
}

// Sends fd `target` to a file for the life of the object, as the module's reports and its
// question use stdin and stdout.
class Redirect {
public:
    Redirect(int target, const std::string& path, int flags) : target_(target) {
        std::fflush(stdout);
        saved_ = ::dup(target);
        const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
        ::dup2(fd, target);
        ::close(fd);
    }
    ~Redirect() {
        std::fflush(stdout);
        ::dup2(saved_, target_);
        ::close(saved_);
        if (target_ == STDIN_FILENO) {
            __fpurge(stdin);
            std::clearerr(stdin);
        }
    }
    Redirect(const Redirect&) = delete;
    Redirect& operator=(const Redirect&) = delete;

private:
    int target_;
    int saved_;
};

// The extraction changes the process's working directory; every test gets it back.
class UnzipArchiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedDirectory_ = currentDirectory();
        target_ = dir_.file("target");
        archive_ = dir_.file("package.zip");
        fs::create_directory(target_);
    }
    void TearDown() override { ASSERT_EQ(0, ::chdir(savedDirectory_.c_str())); }

    void freshTarget() {
        ASSERT_EQ(0, ::chdir(savedDirectory_.c_str()));
        fs::remove_all(target_);
        fs::create_directory(target_);
    }

    int extract() {
        return quillmark::extractArchiveToDirectory(archive_.c_str(), target_.c_str());
    }

    qmtest::TempDir dir_;
    std::string savedDirectory_;
    std::string target_;
    std::string archive_;
};

TEST_F(UnzipArchiveTest, WritesEveryFileFlatUnderItsBaseName) {
    const std::string inner("inner\0bytes", 11);
    const std::string big = patternedBytes(100 * 1024);
    ASSERT_TRUE(ZipBuilder()
                    .addFile("top.txt", "top")
                    .addDirectory("dir/")
                    .addDirectory("dir/sub/")
                    .addFile("dir/sub/inner.txt", inner)
                    .addFile("../escape.txt", "escape")
                    .addFile("/abs/absolute.txt", "absolute")
                    .addFile("win\\path\\back.txt", "back")
                    .addFile("dir/big.bin", big)
                    .addFile("dir/empty.txt", "", ZipEntryOptions{{}, true, false})
                    .writeTo(archive_));

    EXPECT_EQ(quillmark::kExtractionDone, extract());

    EXPECT_EQ(fs::canonical(target_), fs::canonical(currentDirectory()));
    EXPECT_EQ((std::set<std::string>{"absolute.txt", "back.txt", "big.bin", "empty.txt",
                                     "escape.txt", "inner.txt", "top.txt"}),
              namesIn(target_));
    EXPECT_EQ("top", qmtest::readFile(target_ + "/top.txt"));
    EXPECT_EQ(inner, qmtest::readFile(target_ + "/inner.txt"));
    EXPECT_EQ("escape", qmtest::readFile(target_ + "/escape.txt"));
    EXPECT_EQ("absolute", qmtest::readFile(target_ + "/absolute.txt"));
    EXPECT_EQ("back", qmtest::readFile(target_ + "/back.txt"));
    EXPECT_EQ(big, qmtest::readFile(target_ + "/big.bin"));
    EXPECT_EQ("", qmtest::readFile(target_ + "/empty.txt"));
    EXPECT_EQ((std::set<std::string>{"package.zip", "target/"}), namesIn(dir_.path()));
}

TEST_F(UnzipArchiveTest, ReplacesExistingFilesAndKeepsTheLaterOfEqualBaseNames) {
    qmtest::writeFile(target_ + "/dup.txt", "old contents, longer than the new ones");
    qmtest::writeFile(target_ + "/other.txt", "untouched");
    ASSERT_TRUE(ZipBuilder()
                    .addFile("a/dup.txt", "first")
                    .addFile("b/dup.txt", "second")
                    .writeTo(archive_));

    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE("extraction " + std::to_string(round));
        ASSERT_EQ(0, ::chdir(savedDirectory_.c_str()));
        // Standard input at its end: a question would end the process.
        Redirect noInput(STDIN_FILENO, "/dev/null", O_RDONLY);
        EXPECT_EQ(quillmark::kExtractionDone, extract());
        EXPECT_EQ("second", qmtest::readFile(target_ + "/dup.txt"));
        EXPECT_EQ("untouched", qmtest::readFile(target_ + "/other.txt"));
    }
}

TEST_F(UnzipArchiveTest, GivesEachFileItsEntryDateAsAccessAndModificationTime) {
    qmtest::ZipDate date;
    date.year = 2019;
    date.month = 3;
    date.day = 4;
    date.hour = 5;
    date.minute = 6;
    date.second = 8;
    ASSERT_TRUE(ZipBuilder()
                    .addFile("dated.txt", "x", ZipEntryOptions{date, false, false})
                    .writeTo(archive_));

    ASSERT_EQ(quillmark::kExtractionDone, extract());

    std::tm local = {};
    local.tm_year = 2019 - 1900;
    local.tm_mon = 2;
    local.tm_mday = 4;
    local.tm_hour = 5;
    local.tm_min = 6;
    local.tm_sec = 8;
    local.tm_isdst = -1;
    const std::time_t expected = std::mktime(&local);
    struct stat info;
    ASSERT_EQ(0, ::stat((target_ + "/dated.txt").c_str(), &info));
    EXPECT_EQ(expected, info.st_mtime);
    EXPECT_EQ(expected, info.st_atime);
}

// The package lies in the directory it is unpacked into; an entry of its name would overwrite
// the archive while it is being read.
TEST_F(UnzipArchiveTest, SkipsEntriesNamedLikeThePackageAndExtractsTheRest) {
    const std::string package = target_ + "/p_redhat_64_.qmp";
    const std::string script = patternedBytes(50000);
    ASSERT_TRUE(ZipBuilder()
                    .addFile("first.txt", "first")
                    .addFile("p_redhat_64_.qmp", patternedBytes(40000))
                    .addFile("dir/p_redhat_64_.qmp", "replaced")
                    .addFile("quillmark_upgrade.sh", script)
                    .writeTo(package));
    const std::string archived = qmtest::readFile(package);

    int result;
    {
        Redirect report(STDOUT_FILENO, dir_.file("report"), O_WRONLY | O_CREAT | O_TRUNC);
        result = quillmark::extractArchiveToDirectory(package.c_str(), target_.c_str());
    }

    EXPECT_EQ(quillmark::kExtractionDone, result);
    EXPECT_EQ(archived, qmtest::readFile(package));
    EXPECT_EQ("first", qmtest::readFile(target_ + "/first.txt"));
    EXPECT_EQ(script, qmtest::readFile(target_ + "/quillmark_upgrade.sh"));
    EXPECT_EQ((std::set<std::string>{"first.txt", "p_redhat_64_.qmp", "quillmark_upgrade.sh"}),
              namesIn(target_));
    const std::string report = qmtest::readFile(dir_.file("report"));
    for (const char* name : {"p_redhat_64_.qmp", "dir/p_redhat_64_.qmp"}) {
        EXPECT_NE(std::string::npos, report.find(std::string("skipping entry ") + name +
                                                 ", which has the name of the package file\n"))
            << report;
    }
}

TEST_F(UnzipArchiveTest, AnEntryThatFailsStopsTheExtractionWithCode3) {
    const std::string first = patternedBytes(20000);
    struct Case {
        const char* label;
        std::function<void(ZipBuilder&)> addBadEntry;
        std::function<void()> prepare;  // after the archive is written
    };
    const std::vector<Case> cases = {
        {"deflated data damaged",
         [](ZipBuilder& zip) { zip.addFile("dir/bad.txt", patternedBytes(30000)); },
         [this] { qmtest::corruptEntryData(archive_, "dir/bad.txt"); }},
        {"stored data damaged",
         [](ZipBuilder& zip) {
             zip.addFile("dir/bad.txt", "stored contents", ZipEntryOptions{{}, true, false});
         },
         [this] { qmtest::corruptEntryData(archive_, "dir/bad.txt"); }},
        {"wrong CRC-32",
         [](ZipBuilder& zip) {
             zip.addFile("bad.txt", "contents", ZipEntryOptions{{}, false, true});
         },
         [] {}},
        {"name of 300 bytes",
         [](ZipBuilder& zip) { zip.addFile(std::string(292, 'd') + "/bad.txt", "x"); }, [] {}},
        {"base name ..", [](ZipBuilder& zip) { zip.addFile("dir/..", "x"); }, [] {}},
        {"base name .", [](ZipBuilder& zip) { zip.addFile("dir/.", "x"); }, [] {}},
        {"file cannot be created", [](ZipBuilder& zip) { zip.addFile("dir/blocker", "x"); },
         [this] { fs::create_directory(target_ + "/blocker"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        freshTarget();
        ZipBuilder zip;
        zip.addFile("first.txt", first);
        c.addBadEntry(zip);
        zip.addFile("last.txt", "never written");
        ASSERT_TRUE(zip.writeTo(archive_));
        c.prepare();

        EXPECT_EQ(quillmark::kEntryNotExtracted, extract());

        EXPECT_EQ(first, qmtest::readFile(target_ + "/first.txt"));
        EXPECT_FALSE(qmtest::fileExists(target_ + "/last.txt"));
        EXPECT_EQ((std::set<std::string>{"package.zip", "target/"}), namesIn(dir_.path()));
    }
}

TEST_F(UnzipArchiveTest, AWriteThatFailsGivesCode3) {
    ASSERT_TRUE(ZipBuilder()
                    .addFile("small.txt", "small")
                    .addFile("large.bin", patternedBytes(64 * 1024))
                    .addFile("after.txt", "after")
                    .writeTo(archive_));

    const std::string result =
        qmtest::runWithFileSizeLimit(16 * 1024, [this] { return std::to_string(extract()); });

    EXPECT_EQ(std::to_string(quillmark::kEntryNotExtracted), result);
    EXPECT_EQ("small", qmtest::readFile(target_ + "/small.txt"));
    EXPECT_FALSE(qmtest::fileExists(target_ + "/after.txt"));
}

// A file cut short or damaged must not stand under the entry's name, whether the entry made it
// or replaced an older file; a name the module could not open for writing is left as it is.
TEST_F(UnzipArchiveTest, AnEntryThatFailsLeavesNoFileUnderItsName) {
    const std::string first = patternedBytes(20000);
    struct Case {
        const char* label;
        std::function<void(ZipBuilder&)> addBadEntry;
        bool damaged;        // its stored bytes are damaged once the archive is written
        long fileSizeLimit;  // 0: none
    };
    const std::vector<Case> cases = {
        {"deflated data damaged",
         [](ZipBuilder& zip) { zip.addFile("dir/bad.bin", patternedBytes(100000)); }, true, 0},
        {"wrong CRC-32",
         [](ZipBuilder& zip) {
             zip.addFile("bad.bin", patternedBytes(30000), ZipEntryOptions{{}, false, true});
         },
         false, 0},
        {"the disk fills up within the entry",
         [](ZipBuilder& zip) { zip.addFile("bad.bin", patternedBytes(64 * 1024)); }, false,
         32 * 1024},
    };
    for (const Case& c : cases) {
        for (const bool existing : {false, true}) {
            SCOPED_TRACE(std::string(c.label) + (existing ? ", replacing a file" : ""));
            freshTarget();
            if (existing) qmtest::writeFile(target_ + "/bad.bin", "an earlier file");
            ZipBuilder zip;
            zip.addFile("first.txt", first);
            c.addBadEntry(zip);
            zip.addFile("last.txt", "never written");
            ASSERT_TRUE(zip.writeTo(archive_));
            if (c.damaged) {
                ASSERT_TRUE(qmtest::corruptEntryData(archive_, "dir/bad.bin"));
            }

            const std::string result =
                c.fileSizeLimit > 0
                    ? qmtest::runWithFileSizeLimit(c.fileSizeLimit,
                                                   [this] { return std::to_string(extract()); })
                    : std::to_string(extract());

            EXPECT_EQ(std::to_string(quillmark::kEntryNotExtracted), result);
            EXPECT_EQ((std::set<std::string>{"first.txt"}), namesIn(target_));
            EXPECT_EQ(first, qmtest::readFile(target_ + "/first.txt"));
        }
    }

    // A directory in the entry's way makes the open fail; it stays.
    freshTarget();
    fs::create_directory(target_ + "/bad.bin");
    ASSERT_TRUE(ZipBuilder().addFile("bad.bin", "x").writeTo(archive_));
    EXPECT_EQ(quillmark::kEntryNotExtracted, extract());
    EXPECT_TRUE(fs::is_directory(target_ + "/bad.bin"));
}

// A zip bomb: one entry that inflates to far more than the file system holding the target has.
// The extraction fails and gives the space back.
TEST_F(UnzipArchiveTest, AnEntryLargerThanItsFileSystemLeavesNoPartialFile) {
    const std::size_t capacity = 256 * 1024;
    const qmtest::ScopedMount tmpfs = qmtest::ScopedMount::tmpfs(target_, capacity);
    if (!tmpfs.mounted()) GTEST_SKIP() << tmpfs.error();
    ASSERT_TRUE(ZipBuilder()
                    .addFile("small.txt", "small")
                    .addFile("bomb.bin", std::string(8 * 1024 * 1024, '\0'))
                    .addFile("after.txt", "after")
                    .writeTo(archive_));
    ASSERT_LT(fs::file_size(archive_), capacity / 4);

    for (const bool existing : {false, true}) {
        SCOPED_TRACE(existing ? "replacing a file" : "a new file");
        ASSERT_EQ(0, ::chdir(savedDirectory_.c_str()));
        for (const fs::directory_entry& entry : fs::directory_iterator(target_)) {
            fs::remove_all(entry.path());
        }
        if (existing) qmtest::writeFile(target_ + "/bomb.bin", "an earlier file");

        EXPECT_EQ(quillmark::kEntryNotExtracted, extract());

        EXPECT_EQ((std::set<std::string>{"small.txt"}), namesIn(target_));
        EXPECT_EQ("small", qmtest::readFile(target_ + "/small.txt"));
        struct statvfs space;
        ASSERT_EQ(0, ::statvfs(target_.c_str(), &space));
        EXPECT_GT(space.f_bavail * space.f_frsize, capacity - 16 * 1024);
    }
}

TEST_F(UnzipArchiveTest, AnythingButAZipArchiveGivesCode1) {
    qmtest::writeFile(dir_.file("text.zip"), "this is not a zip archive\n");
    qmtest::writeFile(dir_.file("empty.zip"), "");
    const std::vector<std::string> paths = {dir_.file("missing.zip"), dir_.file("text.zip"),
                                            dir_.file("empty.zip"), target_};
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        EXPECT_EQ(quillmark::kArchiveNotOpened,
                  quillmark::extractArchiveToDirectory(path.c_str(), target_.c_str()));
        EXPECT_EQ(savedDirectory_, currentDirectory());
    }
    EXPECT_EQ(quillmark::kArchiveNotOpened,
              quillmark::extractArchiveToDirectory(nullptr, target_.c_str()));
    EXPECT_TRUE(namesIn(target_).empty());
}

TEST_F(UnzipArchiveTest, AMissingTargetDirectoryGivesCode2AndKeepsTheWorkingDirectory) {
    ASSERT_TRUE(ZipBuilder().addFile("file.txt", "x").writeTo(archive_));
    const std::string missing = dir_.file("missing");

    EXPECT_EQ(quillmark::kTargetDirectoryNotEntered,
              quillmark::extractArchiveToDirectory(archive_.c_str(), missing.c_str()));
    EXPECT_EQ(quillmark::kTargetDirectoryNotEntered,
              quillmark::extractArchiveToDirectory(archive_.c_str(), nullptr));

    EXPECT_EQ(savedDirectory_, currentDirectory());
    EXPECT_EQ((std::set<std::string>{"package.zip", "target/"}), namesIn(dir_.path()));
    EXPECT_FALSE(qmtest::fileExists(savedDirectory_ + "/file.txt"));
}

TEST_F(UnzipArchiveTest, ExtractsOneNamedEntry) {
    ASSERT_TRUE(ZipBuilder()
                    .addFile("dir/a.txt", "a")
                    .addFile("dir/b.txt", "b")
                    .addFile("dir/bad.txt", "bad", ZipEntryOptions{{}, false, true})
                    .writeTo(archive_));
    unzFile archive = unzOpen(archive_.c_str());
    ASSERT_NE(nullptr, archive);
    ASSERT_EQ(0, ::chdir(target_.c_str()));

    EXPECT_EQ(0, quillmark::extractNamedEntry(archive, "dir/b.txt", 1, 1, nullptr));
    EXPECT_EQ(2, quillmark::extractNamedEntry(archive, "DIR/B.TXT", 1, 1, nullptr));
    EXPECT_EQ(2, quillmark::extractNamedEntry(archive, "b.txt", 1, 1, nullptr));
    EXPECT_EQ(1, quillmark::extractNamedEntry(archive, "dir/bad.txt", 1, 1, nullptr));
    unzClose(archive);

    EXPECT_EQ("b", qmtest::readFile(target_ + "/b.txt"));
    EXPECT_FALSE(qmtest::fileExists(target_ + "/a.txt"));
}

TEST_F(UnzipArchiveTest, KeepsDirectoriesWithPathsButRefusesToLeaveTheWorkingDirectory) {
    ASSERT_TRUE(ZipBuilder()
                    .addDirectory("made/")
                    .addFile("made/inside.txt", "inside")
                    .addFile("implied/deeper/file.txt", "deep")
                    .addFile("made/../../outside.txt", "outside")
                    .writeTo(archive_));
    unzFile archive = unzOpen(archive_.c_str());
    ASSERT_NE(nullptr, archive);
    ASSERT_EQ(0, ::chdir(target_.c_str()));

    EXPECT_EQ(UNZ_BADZIPFILE, quillmark::extractAllEntries(archive, 0, 1, nullptr));
    unzClose(archive);

    EXPECT_EQ("inside", qmtest::readFile(target_ + "/made/inside.txt"));
    EXPECT_EQ("deep", qmtest::readFile(target_ + "/implied/deeper/file.txt"));
    EXPECT_EQ((std::set<std::string>{"package.zip", "target/"}), namesIn(dir_.path()));
}

TEST_F(UnzipArchiveTest, AsksBeforeReplacingWhenOverwriteIsOff) {
    for (const char* name : {"one.txt", "two.txt", "three.txt"}) {
        qmtest::writeFile(target_ + "/" + name, "old");
    }
    ASSERT_TRUE(ZipBuilder()
                    .addFile("one.txt", "new one")
                    .addFile("two.txt", "new two")
                    .addFile("three.txt", "new three")
                    .writeTo(archive_));
    // "x" is no answer and is asked again; "n" keeps one.txt; "A" replaces two.txt and the rest.
    qmtest::writeFile(dir_.file("answers"), "x n A\n");
    unzFile archive = unzOpen(archive_.c_str());
    ASSERT_NE(nullptr, archive);
    ASSERT_EQ(0, ::chdir(target_.c_str()));

    int result;
    {
        Redirect answers(STDIN_FILENO, dir_.file("answers"), O_RDONLY);
        Redirect report(STDOUT_FILENO, dir_.file("report"), O_WRONLY | O_CREAT | O_TRUNC);
        result = quillmark::extractAllEntries(archive, 1, 0, nullptr);
    }
    unzClose(archive);

    EXPECT_EQ(0, result);
    EXPECT_EQ("old", qmtest::readFile(target_ + "/one.txt"));
    EXPECT_EQ("new two", qmtest::readFile(target_ + "/two.txt"));
    EXPECT_EQ("new three", qmtest::readFile(target_ + "/three.txt"));
    const std::string report = qmtest::readFile(dir_.file("report"));
    const std::string question = "The file one.txt exists. Overwrite ? [y]es, [n]o, [A]ll: ";
    EXPECT_EQ(0u, report.find(question + question +
                              "The file two.txt exists. Overwrite ? [y]es, [n]o, [A]ll: "))
        << report;
    EXPECT_EQ(std::string::npos, report.find("three.txt exists"));
}

TEST_F(UnzipArchiveTest, ListsTheEntries) {
    ASSERT_TRUE(ZipBuilder()
                    .addFile("stored.txt", "hello", ZipEntryOptions{{}, true, false})
                    .addDirectory("d/")
                    .addFile("packed.txt", std::string(1000, 'z'))
                    .writeTo(archive_));
    unzFile archive = unzOpen(archive_.c_str());
    ASSERT_NE(nullptr, archive);

    int result;
    {
        Redirect report(STDOUT_FILENO, dir_.file("listing"), O_WRONLY | O_CREAT | O_TRUNC);
        result = quillmark::listArchiveEntries(archive);
    }
    unzClose(archive);

    EXPECT_EQ(0, result);
    const std::string listing = qmtest::readFile(dir_.file("listing"));
    const std::string expectedStart =
        " Length  Method   Size  Ratio   Date    Time   CRC-32     Name\n"
        " ------  ------   ----  -----   ----    ----   ------     ----\n"
        "      5  Stored       5 100%  06-15-21  12:30  3610a686   stored.txt\n"
        "      0  Stored       0   0%  06-15-21  12:30  00000000   d/\n"
        "   1000  Defl:N ";
    EXPECT_EQ(0u, listing.find(expectedStart)) << listing;
    EXPECT_NE(std::string::npos, listing.find("  06-15-21  12:30  ", expectedStart.size()));
    EXPECT_EQ('\n', listing.back());
    EXPECT_NE(std::string::npos, listing.find("   packed.txt\n"));
}

TEST_F(UnzipArchiveTest, MakesDirectoryPaths) {
    EXPECT_EQ(1, quillmark::makeDirectoryPath((dir_.path() + "/x/y/z/").c_str()));
    EXPECT_TRUE(fs::is_directory(dir_.path() + "/x/y/z"));
    EXPECT_EQ(1, quillmark::makeDirectoryPath((dir_.path() + "/x/y").c_str()));
    EXPECT_EQ(0, quillmark::makeDirectoryPath(""));

    // Relative to a working directory that no longer exists, the first level has no parent.
    const std::string gone = dir_.file("gone");
    fs::create_directory(gone);
    ASSERT_EQ(0, ::chdir(gone.c_str()));
    fs::remove(gone);
    EXPECT_EQ(0, quillmark::makeDirectoryPath("a/b"));
}

}  // namespace
