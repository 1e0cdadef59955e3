#include "quillmark/AtomicFile.h"

#include "support/FileModes.h"
#include "support/FileSizeLimit.h"
#include "support/ForkedCall.h"
#include "support/KilledCall.h"
#include "support/ScopedMount.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using qmtest::namesIn;

namespace fs = std::filesystem;
using quillmark::finishInterruptedRewrite;
using quillmark::InterruptedRewrite;
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

// The names in `directory` that the replacement's temporary files take.
std::vector<std::string> temporaryNamesIn(const std::string& directory) {
    std::vector<std::string> names;
    for (const std::string& name : namesIn(directory)) {
        if (name.find(".tmp") != std::string::npos) names.push_back(name);
    }
    return names;
}

TEST(AtomicFile, WritesANewFileWithTheUmaskApplied) {
    qmtest::TempDir dir;
    const std::string path = dir.file("fresh.xml");
    {
        qmtest::UmaskScope mask(027);
        ASSERT_TRUE(replace(path, "fresh"));
    }
    EXPECT_EQ("fresh", qmtest::readFile(path));
    EXPECT_EQ(0640u, statOf(path).st_mode & 07777);
    EXPECT_EQ(std::set<std::string>{"fresh.xml"}, namesIn(dir.path()));
}

// The new file takes the mode and owner of its reference (the source given, else the file it
// replaces) whatever the umask; while it is written it is 0600, already with its final owner.
TEST(AtomicFile, GivesTheNewFileTheModeAndOwnerOfItsReference) {
    struct Setup {
        mode_t mode;
        uid_t owner;
        gid_t group;
    };
    struct Case {
        const char* label;
        const Setup* replaced;  // null: no file yet
        const Setup* source;    // null: no source given
        const char* expected;   // with the umask 0; "" when it is the next one's
        const char* expectedUnder077;
    };
    const Setup config{0640, 65534, 65534};
    const Setup setId{06754, 4321, 8765};
    const Setup rootsWide{0666, 0, 0};
    const Setup narrowSource{0600, 65534, 65534};
    const Setup odd{0604, 4321, 8765};
    const Case cases[] = {
        {"the replaced file's", &config, nullptr, "0640 65534:65534", "0640 65534:65534"},
        {"set-id bits stay", &setId, nullptr, "6754 4321:8765", "6754 4321:8765"},
        {"the source's, narrower", &rootsWide, &narrowSource, "0600 65534:65534",
         "0600 65534:65534"},
        {"the source's, for a new file", nullptr, &odd, "0604 4321:8765", "0604 4321:8765"},
        {"a new file", nullptr, nullptr, "0644 0:0", "0600 0:0"},
    };
    for (const mode_t mask : {0, 077}) {
        qmtest::UmaskScope umask(mask);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.label) + (mask == 0 ? ", umask 0" : ", umask 077"));
            qmtest::TempDir dir;
            const std::string path = dir.file("config.xml");
            const std::string source = dir.file("source.xml");
            if (c.replaced != nullptr) {
                qmtest::writeFile(path, "old");
                ASSERT_TRUE(qmtest::setModeAndOwner(path, c.replaced->mode, c.replaced->owner,
                                                    c.replaced->group));
            }
            quillmark::ReplacementOptions options;
            if (c.source != nullptr) {
                qmtest::writeFile(source, "source");
                ASSERT_TRUE(qmtest::setModeAndOwner(source, c.source->mode, c.source->owner,
                                                    c.source->group));
                options.metadataFrom = source;
            }
            const std::string expected = mask == 0 ? c.expected : c.expectedUnder077;
            std::vector<std::string> whileWritten;
            auto writer = [&](std::FILE* file) {
                for (const std::string& name : temporaryNamesIn(dir.path())) {
                    whileWritten.push_back(qmtest::modeAndOwner(dir.file(name)));
                }
                return writing("new")(file);
            };

            std::string error;
            ASSERT_TRUE(replaceFileAtomically(path, writer, error, options)) << error;

            EXPECT_EQ("new", qmtest::readFile(path));
            EXPECT_EQ(expected, qmtest::modeAndOwner(path));
            EXPECT_EQ(std::vector<std::string>{"0600" + expected.substr(4)}, whileWritten);
            EXPECT_TRUE(temporaryNamesIn(dir.path()).empty());
        }
    }
}

// A process that is not root cannot give the new file the old one's owner. When it may write the
// old file in place anyway, the replacement goes ahead and the new file is its own, without the
// permissions that would reach a group or a set-id that it cannot keep; otherwise it is refused.
TEST(AtomicFile, AProcessThatMayNotKeepTheOwnerReplacesOnlyAFileItMayWrite) {
    const uid_t nobody = 65534;
    qmtest::UmaskScope umask(022);
    struct Case {
        const char* label;
        bool exists;
        mode_t mode;
        gid_t group;
        bool replaced;
        const char* expected;
    };
    const Case cases[] = {
        {"root's file, writable by all", true, 04666, 0, true, "0606 65534:65534"},
        {"root's file, writable by its group", true, 0664, nobody, true, "0664 65534:65534"},
        {"root's file, not writable", true, 0644, 0, false, "0644 0:0"},
        {"a new file", false, 0, 0, true, "0644 65534:65534"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        qmtest::TempDir dir;
        ASSERT_EQ(0, ::chmod(dir.path().c_str(), 0777));
        const std::string path = dir.file("config.xml");
        if (c.exists) {
            qmtest::writeFile(path, "old");
            ASSERT_TRUE(qmtest::setModeAndOwner(path, c.mode, 0, c.group));
        }

        const std::string outcome = qmtest::runAsUser(nobody, nobody, [&] {
            std::string error;
            return replaceFileAtomically(path, "new", error) ? std::string("replaced") : error;
        });

        if (c.replaced) {
            EXPECT_EQ("replaced", outcome);
            EXPECT_EQ("new", qmtest::readFile(path));
        } else {
            EXPECT_NE(std::string::npos, outcome.find("is not writable in place")) << outcome;
            EXPECT_EQ("old", qmtest::readFile(path));
        }
        EXPECT_EQ(c.expected, qmtest::modeAndOwner(path));
        EXPECT_EQ(std::set<std::string>{"config.xml"}, namesIn(dir.path()));
    }
}

// A file bind-mounted on its own (a container's configuration) cannot be renamed over.
TEST(AtomicFile, RewritesABindMountedFileInPlaceOnlyWhenAskedTo) {
    qmtest::TempDir dir;
    const std::string real = dir.file("real.xml");
    const std::string path = dir.file("config.xml");
    const std::string old = "the old contents, longer than the new ones";
    qmtest::writeFile(real, old);
    ASSERT_TRUE(qmtest::setModeAndOwner(real, 0640, 65534, 65534));
    qmtest::writeFile(path, "");
    const qmtest::ScopedMount mount = qmtest::ScopedMount::bind(real, path);
    if (!mount.mounted()) GTEST_SKIP() << mount.error();

    std::string error;
    EXPECT_FALSE(replaceFileAtomically(path, "new", error));
    EXPECT_NE(std::string::npos, error.find("rename")) << error;
    EXPECT_EQ(old, qmtest::readFile(path));

    quillmark::ReplacementOptions inPlace;
    inPlace.rewriteInPlaceWhenRenameRefused = true;
    ASSERT_TRUE(replaceFileAtomically(path, "new", error, inPlace)) << error;
    EXPECT_EQ("new", qmtest::readFile(path));
    EXPECT_EQ("new", qmtest::readFile(real));
    EXPECT_EQ("0640 65534:65534", qmtest::modeAndOwner(real));
    EXPECT_EQ((std::set<std::string>{"config.xml", "real.xml"}), namesIn(dir.path()));
}

// A failed rewrite in place is reported, and leaves the whole new file at the ready name, from
// which the recovery completes the file once there is room.
TEST(AtomicFile, AFailedRewriteInPlaceIsReportedAndLeftToTheRecovery) {
    qmtest::TempDir dir;
    const std::string small = dir.file("small");
    ASSERT_EQ(0, ::mkdir(small.c_str(), 0755));
    const qmtest::ScopedMount tmpfs = qmtest::ScopedMount::tmpfs(small, 256 * 1024);
    if (!tmpfs.mounted()) GTEST_SKIP() << tmpfs.error();
    const std::string real = small + "/real.xml";
    qmtest::writeFile(real, "old");
    ASSERT_TRUE(qmtest::fillFileSystem(small + "/filler"));
    const std::string path = dir.file("config.xml");
    qmtest::writeFile(path, "");
    const qmtest::ScopedMount mount = qmtest::ScopedMount::bind(real, path);
    if (!mount.mounted()) GTEST_SKIP() << mount.error();

    quillmark::ReplacementOptions inPlace;
    inPlace.rewriteInPlaceWhenRenameRefused = true;
    const std::string contents(128 * 1024, 'n');
    std::string error;
    EXPECT_FALSE(replaceFileAtomically(path, contents, error, inPlace));
    EXPECT_NE(std::string::npos, error.find("write " + path)) << error;
    EXPECT_EQ((std::set<std::string>{".config.xml.ready", "config.xml", "small"}),
              namesIn(dir.path()));
    EXPECT_TRUE(contents == qmtest::readFile(dir.file(".config.xml.ready")));

    ASSERT_EQ(0, ::unlink((small + "/filler").c_str()));
    std::string report;
    EXPECT_EQ(InterruptedRewrite::kFinished, finishInterruptedRewrite(path, report)) << report;
    EXPECT_TRUE(contents == qmtest::readFile(path));
    EXPECT_EQ((std::set<std::string>{"config.xml", "small"}), namesIn(dir.path()));
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
        {"writer gives up after writing", path,
         [&](std::FILE* file) { return writing(big)(file) && false; }, 0, true},
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

    EXPECT_THROW(replaceFileAtomically(
                     path,
                     [](std::FILE* file) -> bool {
                         std::fputs("partial", file);
                         throw std::runtime_error("writer failed");
                     },
                     error),
                 std::runtime_error);

    EXPECT_EQ("old", qmtest::readFile(path));
    EXPECT_EQ(std::set<std::string>{"config.xml"}, namesIn(dir.path()));
}

// The id of a process that has ended and been reaped.
pid_t endedProcessId() {
    const std::string pid =
        qmtest::runForked([] { return true; }, [] { return std::to_string(::getpid()); });
    return pid.empty() ? 0 : static_cast<pid_t>(std::stol(pid));
}

// A descriptor of `path` holding an exclusive flock on it, as a writer holds its temporary file.
class HeldLock {
public:
    explicit HeldLock(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        EXPECT_GE(fd_, 0) << path;
        EXPECT_EQ(0, ::flock(fd_, LOCK_EX | LOCK_NB)) << path;
    }
    ~HeldLock() { ::close(fd_); }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;

private:
    int fd_;
};

// A replacement first removes the temporary files of its path that earlier replacements left
// behind, and keeps every file that a writer may still be writing.
TEST(AtomicFile, RemovesOnlyTheStaleTemporaryFilesOfItsPath) {
    qmtest::TempDir dir;
    const std::string path = dir.file("config.xml");
    qmtest::writeFile(path, "old");
    const pid_t ended = endedProcessId();
    ASSERT_GT(ended, 0);
    const std::string own = std::to_string(::getpid());
    const std::string gone = std::to_string(ended);
    const std::string running = std::to_string(::getppid());

    const std::set<std::string> stale = {
        ".config.xml.tmp" + gone + ".3.123456",
        // Left by an earlier process that had this process's id, as a restarted container's
        // daemon often has.
        ".config.xml.tmp" + own + ".0.42",
    };
    const std::set<std::string> kept = {
        // A writer of this process (another thread) holds its lock.
        ".config.xml.tmp" + own + ".1.42",
        // The id names a running process, which may be writing it.
        ".config.xml.tmp" + running + ".0.1",
        // Not a name the replacement gives.
        ".config.xml.tmp" + gone + ".3",
        ".config.xml.tmp" + gone + ".3.1.4",
        ".config.xml.tmp" + gone + ".3.x",
        ".config.xml.tmpabc",
        ".config.xml.tmp0.1.1",
        "config.xml.tmp" + gone + ".3.1",
        // Another file's temporary.
        ".config.xml.bak.tmp" + gone + ".3.1",
        ".other.xml.tmp" + gone + ".3.1",
    };
    for (const std::string& name : stale) qmtest::writeFile(dir.file(name), "partial");
    for (const std::string& name : kept) qmtest::writeFile(dir.file(name), "partial");
    const std::string staleDirectory = ".config.xml.tmp" + gone + ".4.1";
    fs::create_directory(dir.file(staleDirectory));
    const HeldLock writer(dir.file(".config.xml.tmp" + own + ".1.42"));

    ASSERT_TRUE(replace(path, "new"));

    std::set<std::string> expected = kept;
    expected.insert("config.xml");
    expected.insert(staleDirectory);
    EXPECT_EQ(expected, namesIn(dir.path()));
    EXPECT_EQ("new", qmtest::readFile(path));
}

// The temporary file is locked while it is written and up to the rename, also after the stream
// is closed, and a check of its complete contents may stop the replacement.
TEST(AtomicFile, TheTemporaryFileIsLockedAndCheckedBeforeTheRename) {
    qmtest::TempDir dir;
    const std::string path = dir.file("config.xml");
    qmtest::writeFile(path, "old");
    const auto lockedElsewhere = [](const std::string& file) {
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        const bool locked = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        if (fd >= 0) ::close(fd);
        return locked;
    };
    bool lockedWhileWritten = false;
    const auto writer = [&](std::FILE* file) {
        for (const std::string& name : temporaryNamesIn(dir.path())) {
            lockedWhileWritten = lockedElsewhere(dir.file(name));
        }
        return writing("new")(file);
    };

    for (const bool accepted : {false, true}) {
        SCOPED_TRACE(accepted ? "accepted" : "refused");
        std::string checked;
        bool lockedWhileChecked = false;
        quillmark::ReplacementOptions options;
        options.checkBeforeReplacing = [&](const std::string& temporary, std::string& error) {
            checked = qmtest::readFile(temporary);
            lockedWhileChecked = lockedElsewhere(temporary);
            if (!accepted) error = "refused by the check";
            return accepted;
        };
        std::string error;
        EXPECT_EQ(accepted, replaceFileAtomically(path, writer, error, options));
        EXPECT_TRUE(lockedWhileWritten);
        EXPECT_TRUE(lockedWhileChecked);
        EXPECT_EQ("new", checked);
        EXPECT_EQ(accepted ? "" : "refused by the check", error);
        EXPECT_EQ(accepted ? "new" : "old", qmtest::readFile(path));
        EXPECT_EQ(std::set<std::string>{"config.xml"}, namesIn(dir.path()));
    }
}

bool endsWithReady(const std::string& name) {
    return name.size() > 6 && name.compare(name.size() - 6, 6, ".ready") == 0;
}

bool hasReadyFile(const std::string& directory) {
    for (const std::string& name : namesIn(directory)) {
        if (endsWithReady(name)) return true;
    }
    return false;
}

// A replacement killed before any one of its system calls, and then the recovery: the file holds
// the old or the new contents whole, the new ones once the ready file was made, and nothing else
// is left beside it. A clean-up of stale temporaries in between never takes the ready file.
TEST(AtomicFile, AKillAtAnyPointLeavesTheOldOrTheNewFileWholeAfterTheRecovery) {
    struct Case {
        const char* label;
        bool bindMounted;  // so that the rename is refused and the file is rewritten in place
        std::string name;
        std::size_t oldSize;
        std::size_t newSize;
    };
    const Case cases[] = {
        {"renamed", false, "config.xml", 150000, 200000},
        {"in place, over a longer file", true, "config.xml", 300000, 200000},
        {"in place, over a shorter file whose name is too long for the plain ready name", true,
         std::string(250, 'c'), 1000, 150000},
    };
    quillmark::ReplacementOptions inPlace;
    inPlace.rewriteInPlaceWhenRenameRefused = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        qmtest::TempDir dir;
        const std::string path = dir.file(c.name);
        const std::string real = c.bindMounted ? dir.file("real") : path;
        const std::string old = qmtest::pseudoRandomBytes(c.oldSize, 1);
        const std::string fresh = qmtest::pseudoRandomBytes(c.newSize, 2);
        qmtest::writeFile(real, old);
        ASSERT_TRUE(qmtest::setModeAndOwner(real, 0640, 65534, 65534));
        std::set<std::string> names = {c.name};
        std::optional<qmtest::ScopedMount> mount;
        if (c.bindMounted) {
            qmtest::writeFile(path, "");
            mount.emplace(qmtest::ScopedMount::bind(real, path));
            if (!mount->mounted()) GTEST_SKIP() << mount->error();
            names.insert("real");
        }

        bool sawCut = false;
        for (long call = 1;; ++call) {
            SCOPED_TRACE("killed before system call " + std::to_string(call));
            qmtest::writeFile(path, old);
            const qmtest::KilledCallEnd end = qmtest::runKilledBeforeSystemCall(call, [&] {
                std::string error;
                replaceFileAtomically(path, fresh, error, inPlace);
            });
            ASSERT_NE(qmtest::KilledCallEnd::kFailed, end);
            const bool ready = hasReadyFile(dir.path());
            const std::string left = qmtest::readFile(path);
            if (left != old && left != fresh) {
                sawCut = true;
                EXPECT_TRUE(ready) << "the file is cut and nothing can complete it";
            }

            std::string error;
            EXPECT_FALSE(replaceFileAtomically(
                path, [](std::FILE*) { return false; }, error, inPlace));
            EXPECT_EQ(ready, hasReadyFile(dir.path()));
            std::string report;
            EXPECT_EQ(ready ? InterruptedRewrite::kFinished : InterruptedRewrite::kNonePending,
                      finishInterruptedRewrite(path, report))
                << report;

            const std::string recovered = qmtest::readFile(path);
            EXPECT_TRUE(recovered == fresh || (!ready && recovered == old));
            EXPECT_EQ("0640 65534:65534", qmtest::modeAndOwner(real));
            EXPECT_EQ(names, namesIn(dir.path()));
            if (end == qmtest::KilledCallEnd::kFinished) {
                EXPECT_TRUE(recovered == fresh);
                break;
            }
            ASSERT_LT(call, 5000) << "the replacement never finished";
        }
        EXPECT_EQ(c.bindMounted, sawCut) << "no kill landed inside the rewrite in place";
    }
}

// A recovery killed before any one of its system calls leaves the ready file, or the whole file
// without it, and the next recovery finishes the file.
TEST(AtomicFile, ARecoveryKilledAtAnyPointIsFinishedByTheNext) {
    qmtest::TempDir dir;
    const std::string path = dir.file("config.xml");
    const std::string ready = dir.file(".config.xml.ready");
    const std::string fresh = qmtest::pseudoRandomBytes(150000, 2);
    const std::string cut = qmtest::pseudoRandomBytes(300000, 1).substr(0, 90000);
    for (long call = 1;; ++call) {
        SCOPED_TRACE("killed before system call " + std::to_string(call));
        qmtest::writeFile(path, cut);
        qmtest::writeFile(ready, fresh);
        ASSERT_EQ(0, ::chmod(ready.c_str(), 0600));
        const qmtest::KilledCallEnd end = qmtest::runKilledBeforeSystemCall(call, [&] {
            std::string report;
            finishInterruptedRewrite(path, report);
        });
        ASSERT_NE(qmtest::KilledCallEnd::kFailed, end);
        const bool left = qmtest::fileExists(ready);
        EXPECT_TRUE(left || qmtest::readFile(path) == fresh) << "the ready file went first";

        std::string report;
        EXPECT_EQ(left ? InterruptedRewrite::kFinished : InterruptedRewrite::kNonePending,
                  finishInterruptedRewrite(path, report))
            << report;
        EXPECT_TRUE(fresh == qmtest::readFile(path));
        EXPECT_EQ(std::set<std::string>{"config.xml"}, namesIn(dir.path()));
        if (end == qmtest::KilledCallEnd::kFinished) break;
        ASSERT_LT(call, 5000) << "the recovery never finished";
    }
}

// Only a ready file as a rewrite in place leaves it is written over the file; anything else at
// the ready name (planted in the file's directory, say) is refused, left as it is, and never
// blocks the recovery.
TEST(AtomicFile, TheRecoveryTakesOnlyAReadyFileAsItsRewriteLeavesIt) {
    const std::string whole = "<quillmark_agentd_config/>";
    struct Case {
        const char* label;
        std::function<void(const std::string& ready, const std::string& planted)> plant;
        bool checkAccepts;
        InterruptedRewrite expected;
    };
    const auto readyFile = [&](uid_t owner) {
        return [&whole, owner](const std::string& ready, const std::string&) {
            qmtest::writeFile(ready, whole);
            qmtest::setModeAndOwner(ready, 0600, owner, owner);
        };
    };
    const Case cases[] = {
        {"the process's own", readyFile(0), true, InterruptedRewrite::kFinished},
        {"the file owner's", readyFile(65534), true, InterruptedRewrite::kFinished},
        {"another user's", readyFile(4321), true, InterruptedRewrite::kRefused},
        {"contents the check refuses", readyFile(0), false, InterruptedRewrite::kRefused},
        {"readable by others",
         [&](const std::string& ready, const std::string&) {
             qmtest::writeFile(ready, whole);
             ::chmod(ready.c_str(), 0644);
         },
         true, InterruptedRewrite::kRefused},
        {"a second link of a file",
         [&](const std::string& ready, const std::string& planted) {
             readyFile(0)(planted, planted);
             ::link(planted.c_str(), ready.c_str());
         },
         true, InterruptedRewrite::kRefused},
        {"a symbolic link to a whole file",
         [&](const std::string& ready, const std::string& planted) {
             readyFile(0)(planted, planted);
             ::symlink(planted.c_str(), ready.c_str());
         },
         true, InterruptedRewrite::kRefused},
        {"a FIFO",
         [](const std::string& ready, const std::string&) { ::mkfifo(ready.c_str(), 0600); }, true,
         InterruptedRewrite::kRefused},
        {"a directory",
         [](const std::string& ready, const std::string&) { ::mkdir(ready.c_str(), 0700); }, true,
         InterruptedRewrite::kRefused},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        qmtest::TempDir dir;
        const std::string path = dir.file("config.xml");
        const std::string ready = dir.file(".config.xml.ready");
        qmtest::writeFile(path, "old");
        ASSERT_TRUE(qmtest::setModeAndOwner(path, 0640, 65534, 65534));
        const ino_t inode = statOf(path).st_ino;
        c.plant(ready, dir.file("planted"));
        const std::set<std::string> planted = namesIn(dir.path());
        bool checked = false;
        auto check = [&](const std::string& readyPath, std::string& error) {
            checked = true;
            EXPECT_EQ(ready, readyPath);
            if (!c.checkAccepts) error = "not a whole document";
            return c.checkAccepts;
        };

        std::string report;
        EXPECT_EQ(c.expected, finishInterruptedRewrite(path, report, check)) << report;

        EXPECT_EQ("0640 65534:65534", qmtest::modeAndOwner(path));
        EXPECT_EQ(inode, statOf(path).st_ino);
        if (c.expected == InterruptedRewrite::kFinished) {
            EXPECT_EQ(whole, qmtest::readFile(path));
            EXPECT_EQ(std::set<std::string>{"config.xml"}, namesIn(dir.path()));
            EXPECT_EQ("Finished the interrupted rewrite of " + path + " from " + ready + ".",
                      report);
        } else {
            EXPECT_EQ("old", qmtest::readFile(path));
            EXPECT_EQ(planted, namesIn(dir.path()));
            EXPECT_EQ(0u, report.rfind("Refused " + ready, 0)) << report;
            EXPECT_EQ(c.label == std::string("contents the check refuses"), checked);
        }
    }
}

// A ready file that another process holds (a writer still writing it over the file) is waited
// for, and finished once it is let go.
TEST(AtomicFile, TheRecoveryWaitsForAReadyFileThatIsHeld) {
    qmtest::TempDir dir;
    const std::string path = dir.file("config.xml");
    const std::string ready = dir.file(".config.xml.ready");
    qmtest::writeFile(path, "cut");
    qmtest::writeFile(ready, "whole");
    ASSERT_EQ(0, ::chmod(ready.c_str(), 0600));
    const int holder = ::open(ready.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(0, ::flock(holder, LOCK_EX | LOCK_NB));
    std::thread release([holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ::close(holder);
    });

    std::string report;
    const InterruptedRewrite outcome = finishInterruptedRewrite(path, report);
    release.join();
    EXPECT_EQ(InterruptedRewrite::kFinished, outcome) << report;
    EXPECT_EQ("whole", qmtest::readFile(path));
    EXPECT_EQ(std::set<std::string>{"config.xml"}, namesIn(dir.path()));
}

// A replacement supersedes the ready file that a failed rewrite in place left, so that no
// recovery writes the older contents over the newer file later; something else at the ready
// name is left to a rename.
TEST(AtomicFile, AReplacementSupersedesAReadyFileLeftBehind) {
    struct Case {
        const char* label;
        bool bindMounted;
        mode_t readyMode;  // 0600: a ready file as a rewrite leaves it
        std::set<std::string> left;
    };
    const Case cases[] = {
        {"in place", true, 0600, {"config.xml", "real"}},
        {"renamed", false, 0600, {"config.xml"}},
        {"renamed, beside a file that is not a ready file",
         false,
         0644,
         {".config.xml.ready", "config.xml"}},
    };
    quillmark::ReplacementOptions inPlace;
    inPlace.rewriteInPlaceWhenRenameRefused = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        qmtest::TempDir dir;
        const std::string path = dir.file("config.xml");
        const std::string ready = dir.file(".config.xml.ready");
        qmtest::writeFile(path, "cut");
        std::optional<qmtest::ScopedMount> mount;
        if (c.bindMounted) {
            qmtest::writeFile(dir.file("real"), "cut");
            mount.emplace(qmtest::ScopedMount::bind(dir.file("real"), path));
            if (!mount->mounted()) GTEST_SKIP() << mount->error();
        }
        qmtest::writeFile(ready, "older, whole");
        ASSERT_EQ(0, ::chmod(ready.c_str(), c.readyMode));

        std::string error;
        ASSERT_TRUE(replaceFileAtomically(path, "newer", error, inPlace)) << error;
        EXPECT_EQ("newer", qmtest::readFile(path));
        EXPECT_EQ(c.left, namesIn(dir.path()));
        std::string report;
        finishInterruptedRewrite(path, report);
        EXPECT_EQ("newer", qmtest::readFile(path));
    }
}

}  // namespace
