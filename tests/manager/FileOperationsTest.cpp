#include "FileOperations.h"
#include "other/NonWindowsFileOperations.h"

#include "ResultText.h"
#include "quillmark/ConfigurationFileAccess.h"
#include "quillmark/FileHandle.h"
#include "support/BoundedFifo.h"
#include "support/FileModes.h"
#include "support/FileSizeLimit.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"
#include "support/ZipBuilder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using qmtest::currentDirectory;
using qmtest::namesIn;

namespace fs = std::filesystem;
using quillmark::ConfigurationFileAccess;
using quillmark::DataRange;
using quillmark::NonWindowsFileOperations;

namespace {

const char kWriteFailure[] = "FAILURE! Unable to write upgrade file";

std::string xmlEscaped(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (c == '&') {
            escaped += "&amp;";
        } else if (c == '<') {
            escaped += "&lt;";
        } else if (c == '>') {
            escaped += "&gt;";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string patternedBytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7919) >> 3);
    return bytes;
}

DataRange rangeOf(const std::vector<char>& bytes) { return DataRange(bytes.begin(), bytes.end()); }

// Owns a temp directory, the configuration files written into it and the process's working
// directory, which unzipFile changes.
class FileOperationsTest : public ::testing::Test {
protected:
    void SetUp() override { savedDirectory_ = currentDirectory(); }
    void TearDown() override { ASSERT_EQ(0, ::chdir(savedDirectory_.c_str())); }

    // A configuration whose "ManagerInstallationRoot" is `root`; without a root the key is
    // missing.
    ConfigurationFileAccess& configurationWithRoot(const std::string* root) {
        const std::string path =
            dir_.file("config" + std::to_string(configurations_.size()) + ".xml");
        std::string xml =
            "<?xml version=\"1.0\"?>\n<quillmark_agentd_config><GeneralProperties>"
            "<prop><key>ManagerPort</key><value>8044</value></prop>";
        if (root != nullptr) {
            xml += "<prop><key>ManagerInstallationRoot</key><value>" + xmlEscaped(*root) +
                   "</value></prop>";
        }
        xml += "</GeneralProperties></quillmark_agentd_config>\n";
        qmtest::writeFile(path, xml);
        configurations_.push_back(std::make_unique<ConfigurationFileAccess>(path, false));
        EXPECT_TRUE(configurations_.back()->isLoaded());
        return *configurations_.back();
    }
    ConfigurationFileAccess& configurationWithRoot(const std::string& root) {
        return configurationWithRoot(&root);
    }

    // An installation root below the temp directory whose name the shell would split.
    std::string awkwardRoot() const { return dir_.file("inst it's"); }

    qmtest::TempDir dir_;
    std::string savedDirectory_;
    std::vector<std::unique_ptr<ConfigurationFileAccess>> configurations_;
};

TEST_F(FileOperationsTest, WorksOutTheTempDirectoryFromTheInstallationRoot) {
    const std::string empty;
    struct Case {
        const char* label;
        const std::string* root;
        std::string temp;
    };
    const std::string plain = "/srv/qm";
    const std::string slashed = "/srv/qm/";
    const std::string relative = "srv/qm";
    const std::vector<Case> cases = {
        {"plain root", &plain, "/srv/qm/temp"},
        {"root with trailing slash", &slashed, "/srv/qm/temp"},
        // Taken from the working directory the object was made in.
        {"relative root", &relative, savedDirectory_ + "/srv/qm/temp"},
        {"empty root", &empty, "/opt/quillmark/agent_manager/temp"},
        {"no root", nullptr, "/opt/quillmark/agent_manager/temp"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        NonWindowsFileOperations operations(&configurationWithRoot(c.root));
        EXPECT_EQ(c.temp, operations.tempDirectory());
        EXPECT_EQ(c.temp + "/p_redhat_64_.qmp", operations.packageFilePath("p_redhat_64_.qmp"));
        EXPECT_EQ(c.temp + "/quillmark_upgrade.sh", operations.upgradeScriptPath());
    }
}

TEST_F(FileOperationsTest, RecreatesTheTempDirectoryWithTheRootAsOneShellWord) {
    // Unquoted, the first root would remove keep/ beside the root and the third would create
    // the file "injected"; the second would be a shell syntax error.
    const std::string base = dir_.path();
    fs::create_directories(base + "/keep");
    qmtest::writeFile(base + "/keep/precious.txt", "precious");
    const std::vector<std::string> roots = {
        base + "/keep " + base + "/root",
        base + "/it's " + base + "/root",
        base + "/$(touch " + base + "/injected)",
        base + "/plain/",
    };
    for (const std::string& root : roots) {
        SCOPED_TRACE(root);
        fs::create_directories(root + "/temp");
        qmtest::writeFile(root + "/temp/stale.txt", "stale");
        NonWindowsFileOperations operations(&configurationWithRoot(root));

        EXPECT_EQ("SUCCESS", operations.recreateTempDirectory());

        EXPECT_TRUE(fs::is_directory(root + "/temp"));
        EXPECT_TRUE(fs::is_empty(root + "/temp"));
        EXPECT_EQ("precious", qmtest::readFile(base + "/keep/precious.txt"));
        EXPECT_FALSE(qmtest::fileExists(base + "/injected"));
    }
}

TEST_F(FileOperationsTest, RecreatingFailsWhenTheRootIsMissing) {
    const std::string root = dir_.file("missing root");
    NonWindowsFileOperations operations(&configurationWithRoot(root));

    EXPECT_EQ("FAILURE! Unable to create temp directory after previously deleting it",
              operations.recreateTempDirectory());
    EXPECT_FALSE(qmtest::fileExists(root));
}

TEST_F(FileOperationsTest, RunsTheUpgradeScriptAndReportsItsExitStatus) {
    struct Case {
        const char* label;
        const char* exitStatus;  // null: no script
        const char* result;
    };
    const std::vector<Case> cases = {
        {"script exits 0", "0", "SUCCESS"},
        {"script exits 1", "1", "FAILURE! Unable to execute quillmark upgrade script file"},
        {"no script", nullptr, "FAILURE! Unable to make the quillmark upgrade script executable."},
    };
    const std::string temp = awkwardRoot() + "/temp";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(awkwardRoot());
        fs::create_directories(temp);
        const std::string script = temp + "/quillmark_upgrade.sh";
        if (c.exitStatus != nullptr) {
            qmtest::writeFile(script,
                              std::string("#!/bin/sh\necho ran > \"$(dirname \"$0\")/ran\"\n"
                                          "exit ") +
                                  c.exitStatus + "\n");
            ASSERT_EQ(0, ::chmod(script.c_str(), 0600));
        }
        NonWindowsFileOperations operations(&configurationWithRoot(awkwardRoot()));

        EXPECT_EQ(c.result, operations.runUpgradeScript());

        if (c.exitStatus != nullptr) {
            struct stat info;
            ASSERT_EQ(0, ::stat(script.c_str(), &info));
            EXPECT_EQ(0755u, info.st_mode & 07777);
            EXPECT_EQ("ran\n", qmtest::readFile(temp + "/ran"));
        }
    }
}

TEST_F(FileOperationsTest, WritesAndAppendsPackageChunks) {
    fs::create_directories(awkwardRoot() + "/temp");
    NonWindowsFileOperations operations(&configurationWithRoot(awkwardRoot()));
    const std::string package = operations.packageFilePath("p_redhat_64_.qmp");
    const std::vector<char> first = {'a', 'b', '\0', ',', ')'};
    const std::vector<char> second = {'d', 'e'};
    const std::vector<char> none;

    EXPECT_EQ("SUCCESS", operations.writeFile("p_redhat_64_.qmp", rangeOf(first)));
    EXPECT_EQ(std::string("ab\0,)", 5), qmtest::readFile(package));
    EXPECT_EQ("SUCCESS", operations.appendFile("p_redhat_64_.qmp", rangeOf(second)));
    EXPECT_EQ(std::string("ab\0,)de", 7), qmtest::readFile(package));
    EXPECT_EQ("SUCCESS", operations.appendFile("p_redhat_64_.qmp", rangeOf(none)));
    EXPECT_EQ(std::string("ab\0,)de", 7), qmtest::readFile(package));
    EXPECT_EQ("SUCCESS", operations.writeFile("p_redhat_64_.qmp", rangeOf(none)));
    EXPECT_EQ("", qmtest::readFile(package));

    EXPECT_EQ("SUCCESS", operations.appendFile("new_redhat_64_.qmp", rangeOf(second)));
    EXPECT_EQ("de", qmtest::readFile(operations.packageFilePath("new_redhat_64_.qmp")));
}

TEST_F(FileOperationsTest, ChunkWritesThatCannotCompleteAreFailures) {
    const std::vector<char> chunk(64 * 1024, 'c');
    const std::string root = awkwardRoot();
    fs::create_directories(root);
    NonWindowsFileOperations operations(&configurationWithRoot(root));

    // No temp directory yet.
    EXPECT_EQ(kWriteFailure, operations.writeFile("p.qmp", rangeOf(chunk)));
    EXPECT_EQ(kWriteFailure, operations.appendFile("p.qmp", rangeOf(chunk)));
    EXPECT_FALSE(qmtest::fileExists(root + "/temp"));

    fs::create_directories(root + "/temp/a directory");
    EXPECT_EQ(kWriteFailure, operations.writeFile("a directory", rangeOf(chunk)));

    // A FIFO in the package's place is refused at once, whether a reader holds it or not.
    const qmtest::BoundedFifo fifo(root + "/temp/f.qmp");
    EXPECT_EQ(kWriteFailure, operations.writeFile("f.qmp", rangeOf(chunk)));
    EXPECT_EQ(kWriteFailure, operations.appendFile("f.qmp", rangeOf(chunk)));
    {
        const quillmark::Descriptor reader(
            ::open(fifo.path().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        ASSERT_TRUE(reader.isOpen());
        EXPECT_EQ(kWriteFailure, operations.writeFile("f.qmp", rangeOf(chunk)));
        EXPECT_EQ(kWriteFailure, operations.appendFile("f.qmp", rangeOf(chunk)));
        char byte;
        EXPECT_EQ(0, ::read(reader.get(), &byte, 1)) << "a chunk went into the FIFO";
    }

    // The disk fills up within the chunk.
    EXPECT_EQ(kWriteFailure, qmtest::runWithFileSizeLimit(8192, [&] {
                  return operations.writeFile("p.qmp", rangeOf(chunk));
              }));
    EXPECT_EQ(kWriteFailure, qmtest::runWithFileSizeLimit(8192, [&] {
                  return operations.appendFile("p.qmp", rangeOf(chunk));
              }));
}

TEST_F(FileOperationsTest, AChunkThatFailsPartWayLeavesThePackageAsBefore) {
    fs::create_directories(awkwardRoot() + "/temp");
    NonWindowsFileOperations operations(&configurationWithRoot(awkwardRoot()));
    const std::string package = operations.packageFilePath("p_redhat_64_.qmp");
    const std::string earlier = patternedBytes(5000);
    const std::vector<char> chunk(64 * 1024, 'c');
    struct Case {
        const char* label;
        bool append;
        std::string left;  // what the package holds after the failure
    };
    const std::vector<Case> cases = {
        {"write", false, ""},
        {"append", true, earlier},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        qmtest::writeFile(package, earlier);
        auto store = [&] {
            return c.append ? operations.appendFile("p_redhat_64_.qmp", rangeOf(chunk))
                            : operations.writeFile("p_redhat_64_.qmp", rangeOf(chunk));
        };

        // The file may not grow past 16 KiB, so the write stops within the chunk.
        EXPECT_EQ(kWriteFailure, qmtest::runWithFileSizeLimit(16 * 1024, store));
        EXPECT_EQ(c.left, qmtest::readFile(package));

        ASSERT_EQ("SUCCESS", store());
        EXPECT_EQ(c.left + std::string(chunk.begin(), chunk.end()), qmtest::readFile(package));
    }
}

TEST_F(FileOperationsTest, CopiesAFileOverItsTarget) {
    NonWindowsFileOperations operations(&configurationWithRoot(awkwardRoot()));
    const std::string target = dir_.file("config.xml.bak");
    for (const std::string& contents : {std::string(), patternedBytes(200 * 1024)}) {
        SCOPED_TRACE("source of " + std::to_string(contents.size()) + " bytes");
        qmtest::writeFile(dir_.file("config.xml"), contents);
        qmtest::writeFile(target, "the previous backup");

        EXPECT_EQ("SUCCESS", operations.copyFile(dir_.file("config.xml"), target));
        EXPECT_EQ(contents, qmtest::readFile(target));
    }
    fs::remove(target);
    EXPECT_EQ("SUCCESS", operations.copyFile(dir_.file("config.xml"), target));
    EXPECT_EQ(patternedBytes(200 * 1024), qmtest::readFile(target));
    EXPECT_EQ((std::set<std::string>{"config.xml", "config.xml.bak", "config0.xml"}),
              namesIn(dir_.path()));
}

// A copy is readable by no more users than its source, whatever the target was before and
// whatever the umask.
TEST_F(FileOperationsTest, CopyGivesTheTargetTheSourcesModeAndOwner) {
    NonWindowsFileOperations operations(&configurationWithRoot(awkwardRoot()));
    const std::string source = dir_.file("config.xml");
    const std::string target = dir_.file("config.xml.bak");
    struct Case {
        const char* label;
        mode_t sourceMode;
        uid_t sourceOwner;
        bool targetExists;
        const char* expected;
    };
    const Case cases[] = {
        {"new target", 0640, 65534, false, "0640 65534:65534"},
        {"wide target", 0640, 65534, true, "0640 65534:65534"},
        {"root's source", 0600, 0, true, "0600 0:0"},
    };
    for (const mode_t mask : {0, 077}) {
        qmtest::UmaskScope umask(mask);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.label) + (mask == 0 ? ", umask 0" : ", umask 077"));
            qmtest::writeFile(source, "user=admin\npassword=secret\n");
            ASSERT_TRUE(
                qmtest::setModeAndOwner(source, c.sourceMode, c.sourceOwner, c.sourceOwner));
            ::unlink(target.c_str());
            if (c.targetExists) {
                qmtest::writeFile(target, "the previous backup");
                ASSERT_TRUE(qmtest::setModeAndOwner(target, 0666, 4321, 4321));
            }

            EXPECT_EQ("SUCCESS", operations.copyFile(source, target));
            EXPECT_EQ("user=admin\npassword=secret\n", qmtest::readFile(target));
            EXPECT_EQ(c.expected, qmtest::modeAndOwner(target));
        }
    }
}

TEST_F(FileOperationsTest, CopyFailuresLeaveTheTargetAsItWas) {
    NonWindowsFileOperations operations(&configurationWithRoot(awkwardRoot()));
    const std::string source = dir_.file("config.xml");
    const std::string target = dir_.file("config.xml.bak");
    const std::string directory = dir_.file("SUCCESS dir");
    fs::create_directory(directory);
    qmtest::writeFile(source, patternedBytes(64 * 1024));
    const std::string missing = dir_.file("missing/config.xml");
    const qmtest::BoundedFifo fifo(dir_.file("fifo.xml"));
    struct Case {
        const char* label;
        std::string source;
        std::string target;
        std::string result;
        long fileSizeLimit;  // 0: none
    };
    const std::vector<Case> cases = {
        {"source missing", missing, target,
         "FAILURE! Unable to open " + missing + " for copy operation.", 0},
        {"target directory missing", source, missing,
         "FAILURE! Unable to open " + missing + " for copy operation.", 0},
        {"target is a directory", source, directory,
         "FAILURE! Unable to open " + directory + " for copy operation.", 0},
        {"source is a FIFO", fifo.path(), target,
         "FAILURE! Unable to open " + fifo.path() + " for copy operation.", 0},
        {"source cannot be read", directory, target,
         "FAILURE! Unable to copy " + directory + " to " + target + ".", 0},
        {"disk full", source, target, "FAILURE! Unable to copy " + source + " to " + target + ".",
         8192},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        qmtest::writeFile(target, "the previous backup");
        const std::set<std::string> before = namesIn(dir_.path());

        const std::string result = c.fileSizeLimit == 0
                                       ? operations.copyFile(c.source, c.target)
                                       : qmtest::runWithFileSizeLimit(c.fileSizeLimit, [&] {
                                             return operations.copyFile(c.source, c.target);
                                         });

        EXPECT_EQ(c.result, result);
        EXPECT_FALSE(quillmark::isSuccessText(result));
        EXPECT_EQ("the previous backup", qmtest::readFile(target));
        EXPECT_EQ(before, namesIn(dir_.path()));
        EXPECT_TRUE(fs::is_empty(directory));
    }
    EXPECT_FALSE(fifo.releasedAWaitingReader()) << "the copy waited for a writer";
}

// A source that a rewrite in place left cut (the process was killed part-way) is finished from
// its ready file before it is copied, so that the copy is whole too.
TEST_F(FileOperationsTest, CopyFinishesAnInterruptedRewriteOfItsSourceFirst) {
    NonWindowsFileOperations operations(&configurationWithRoot(awkwardRoot()));
    const std::string source = dir_.file("config.xml");
    const std::string target = dir_.file("config.xml.bak");
    const std::string ready = dir_.file(".config.xml.ready");
    const std::string whole = patternedBytes(100 * 1024);
    qmtest::writeFile(source, whole.substr(0, 70 * 1024));
    qmtest::writeFile(ready, whole);
    ASSERT_EQ(0, ::chmod(ready.c_str(), 0600));

    EXPECT_EQ("SUCCESS", operations.copyFile(source, target));
    EXPECT_TRUE(whole == qmtest::readFile(source));
    EXPECT_TRUE(whole == qmtest::readFile(target));
    EXPECT_EQ((std::set<std::string>{"config.xml", "config.xml.bak", "config0.xml"}),
              namesIn(dir_.path()));
}

TEST_F(FileOperationsTest, UnzipsThePackageIntoTheTempDirectory) {
    const std::string temp = awkwardRoot() + "/temp";
    struct Case {
        const char* label;
        bool corrupt;
        bool package;
        const char* result;
    };
    const std::vector<Case> cases = {
        {"sound package", false, true, "SUCCESS"},
        {"damaged entry", true, true, "FAILURE! Unable to extract target compressed upgrade file"},
        {"no package", false, false, "FAILURE! Unable to open target compressed upgrade file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(0, ::chdir(savedDirectory_.c_str()));
        fs::remove_all(awkwardRoot());
        fs::create_directories(temp);
        const std::string package = temp + "/p_redhat_64_.qmp";
        if (c.package) {
            ASSERT_TRUE(qmtest::ZipBuilder()
                            .addFile("quillmark_upgrade.sh", "#!/bin/sh\nexit 0\n")
                            .addFile("lib/payload.bin", patternedBytes(30000))
                            .writeTo(package));
            if (c.corrupt) qmtest::corruptEntryData(package, "lib/payload.bin");
        }
        NonWindowsFileOperations operations(&configurationWithRoot(awkwardRoot()));

        EXPECT_EQ(c.result, operations.unzipFile("p_redhat_64_.qmp"));

        if (c.package) {
            EXPECT_EQ(fs::canonical(temp), fs::canonical(currentDirectory()));
            EXPECT_EQ("#!/bin/sh\nexit 0\n", qmtest::readFile(temp + "/quillmark_upgrade.sh"));
        } else {
            EXPECT_EQ(savedDirectory_, currentDirectory());
        }
        if (!c.corrupt && c.package) {
            EXPECT_EQ(patternedBytes(30000), qmtest::readFile(temp + "/payload.bin"));
        }
    }
}

}  // namespace
