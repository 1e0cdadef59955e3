#include "FileNameVerifier.h"
#include "FileOperations.h"
#include "PayloadUtilities.h"
#include "UpgradeAppendCommandProcessor.h"
#include "UpgradeFinalCommandProcessor.h"
#include "UpgradeInitialCommandProcessor.h"
#include "other/NonWindowsFileOperations.h"

#include "quillmark/ConfigurationFileAccess.h"
#include "support/FileSizeLimit.h"
#include "support/ScopedMount.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"
#include "support/ZipBuilder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

using qmtest::currentDirectory;
using qmtest::namesIn;

namespace fs = std::filesystem;
using namespace quillmark;

namespace {

const char kPackage[] = "agent-3.1_redhat_64_.qmp";
const char kWriteFailure[] = "FAILURE! Unable to write upgrade file";
const char kOpenFailure[] = "FAILURE! Unable to open target compressed upgrade file";
const char kExtractFailure[] = "FAILURE! Unable to extract target compressed upgrade file";

std::vector<char> payloadOf(const std::string& body) {
    std::vector<char> payload(body.begin(), body.end());
    payload.push_back('\0');
    return payload;
}

// Bytes of every value, "," and ")" among them, so the chunks exercise the data delimiting.
std::string patternedBytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7919) >> 3);
    return bytes;
}

// An upgrade script that records the directory it ran in, in the file "ran" there.
std::string upgradeScript(int exitStatus) {
    return "#!/bin/sh\npwd -P > ran\nexit " + std::to_string(exitStatus) + "\n";
}

// A temp installation root whose name the shell would split, its configuration, and the
// process's working directory, which upgrade_final changes.
class UpgradeCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedDirectory_ = currentDirectory();
        root_ = dir_.file("inst it's");
        temp_ = root_ + "/temp";
        fs::create_directories(temp_);
        configuration_ = configurationFor(root_);
    }
    void TearDown() override { ASSERT_EQ(0, ::chdir(savedDirectory_.c_str())); }

    std::unique_ptr<ConfigurationFileAccess> configurationFor(const std::string& root) {
        const std::string path = dir_.file("config" + std::to_string(++configurations_) + ".xml");
        qmtest::writeFile(path,
                          "<?xml version=\"1.0\"?>\n<quillmark_agentd_config><GeneralProperties>"
                          "<prop><key>ManagerInstallationRoot</key><value>" +
                              root +
                              "</value></prop></GeneralProperties></quillmark_agentd_config>\n");
        std::unique_ptr<ConfigurationFileAccess> configuration(
            new ConfigurationFileAccess(path, false));
        EXPECT_TRUE(configuration->isLoaded());
        return configuration;
    }

    template <typename Processor>
    std::string run(const std::string& body, ConfigurationFileAccess* configuration = nullptr,
                    RequestForm form = RequestForm::kFramed) {
        Processor processor(new FileNameVerifier("redhat", "64"),
                            new NonWindowsFileOperations(
                                configuration != nullptr ? configuration : configuration_.get()),
                            new PayloadUtilities(form));
        std::vector<char> payload = payloadOf(body);
        return processor.process(payload);
    }
    std::string initial(const std::string& name, const std::string& data) {
        return run<UpgradeInitialCommandProcessor>("upgrade_initial(" + name + "," + data + ")");
    }
    std::string append(const std::string& name, const std::string& data) {
        return run<UpgradeAppendCommandProcessor>("upgrade_append(" + name + "," + data + ")");
    }
    std::string finish(const std::string& name) {
        return run<UpgradeFinalCommandProcessor>("upgrade_final(" + name + ")");
    }

    // The bytes of an archive built by `builder`.
    std::string archiveBytes(const qmtest::ZipBuilder& builder) {
        const std::string path = dir_.file("built.zip");
        EXPECT_TRUE(builder.writeTo(path));
        return qmtest::readFile(path);
    }

    qmtest::TempDir dir_;
    std::string savedDirectory_;
    std::string root_;
    std::string temp_;
    std::unique_ptr<ConfigurationFileAccess> configuration_;
    int configurations_ = 0;
};

TEST_F(UpgradeCommandsTest, InstallsAPackageDeliveredInChunks) {
    qmtest::writeFile(temp_ + "/stale.txt", "left by an earlier upgrade");
    const std::string agent = patternedBytes(70000);
    qmtest::ZipEntryOptions stored;
    stored.stored = true;
    const std::string archive =
        archiveBytes(qmtest::ZipBuilder()
                         .addDirectory("pkg/")
                         .addFile("pkg/quillmark_upgrade.sh", upgradeScript(0))
                         .addFile("pkg/lib/agent.bin", agent, stored)
                         .addFile("README", "read me"));
    ASSERT_GT(archive.size(), 20000u);
    const std::vector<std::size_t> cuts = {1, 4097, 12000, archive.size()};

    ASSERT_EQ("SUCCESS", initial(kPackage, archive.substr(0, cuts[0])));
    EXPECT_EQ((std::set<std::string>{kPackage}), namesIn(temp_));
    EXPECT_EQ(archive.substr(0, cuts[0]), qmtest::readFile(temp_ + "/" + kPackage));
    for (std::size_t i = 1; i < cuts.size(); ++i) {
        SCOPED_TRACE("chunk " + std::to_string(i));
        ASSERT_EQ("SUCCESS", append(kPackage, archive.substr(cuts[i - 1], cuts[i] - cuts[i - 1])));
    }
    EXPECT_EQ(archive, qmtest::readFile(temp_ + "/" + kPackage));

    EXPECT_EQ("SUCCESS", finish(kPackage));

    // The script ran in the temp directory; the process is back at "/" afterwards.
    const std::string temp = fs::canonical(temp_).string();
    EXPECT_EQ(temp + "\n", qmtest::readFile(temp_ + "/ran"));
    EXPECT_EQ("/", currentDirectory());
    EXPECT_EQ(
        (std::set<std::string>{kPackage, "README", "agent.bin", "quillmark_upgrade.sh", "ran"}),
        namesIn(temp_));
    EXPECT_EQ(agent, qmtest::readFile(temp_ + "/agent.bin"));

    // The next upgrade starts afresh.
    ASSERT_EQ("SUCCESS", initial(kPackage, "next"));
    EXPECT_EQ((std::set<std::string>{kPackage}), namesIn(temp_));
}

TEST_F(UpgradeCommandsTest, ARelativeRootNamesTheSameDirectoryOnEveryRequest) {
    // The daemon works from "/", so a root without its leading "/" is the same directory.
    ASSERT_EQ(0, ::chdir("/"));
    std::unique_ptr<ConfigurationFileAccess> relative = configurationFor(root_.substr(1));
    const std::string archive =
        archiveBytes(qmtest::ZipBuilder().addFile("quillmark_upgrade.sh", upgradeScript(0)));
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE("upgrade " + std::to_string(round));
        EXPECT_EQ("SUCCESS", run<UpgradeInitialCommandProcessor>(
                                 "upgrade_initial(" + std::string(kPackage) + "," + archive + ")",
                                 relative.get()));
        EXPECT_EQ("SUCCESS", run<UpgradeFinalCommandProcessor>(
                                 "upgrade_final(" + std::string(kPackage) + ")", relative.get()));
        EXPECT_EQ((std::set<std::string>{kPackage, "quillmark_upgrade.sh", "ran"}), namesIn(temp_));
        EXPECT_EQ("/", currentDirectory());
    }
}

TEST_F(UpgradeCommandsTest, StoresExactlyTheDataOfTheBody) {
    const std::string name = kPackage;
    struct Case {
        const char* label;
        RequestForm form;
        std::string body;
        std::string stored;
    };
    const RequestForm framed = RequestForm::kFramed;
    const RequestForm rawLine = RequestForm::kRawLine;
    const std::vector<Case> cases = {
        {"empty data", framed, "upgrade_initial(" + name + ",)", ""},
        {"no comma", framed, "upgrade_initial(" + name + ")", ""},
        {"commas and parentheses in the data", framed, "upgrade_initial(" + name + ",a,b)c)",
         "a,b)c"},
        {"zero bytes in the data", framed,
         "upgrade_initial(" + name + "," + std::string("\0x\0", 3) + ")", std::string("\0x\0", 3)},
        {"raw line", rawLine, "upgrade_initial(" + name + ",HELLO)\n", "HELLO"},
        {"raw line from a telnet-like client", rawLine, "upgrade_initial(" + name + ",HELLO)\r\n",
         "HELLO"},
        {"raw line whose data ends in a carriage return", rawLine,
         "upgrade_initial(" + name + ",DATA)\r)\n", "DATA)\r"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ("SUCCESS", run<UpgradeInitialCommandProcessor>(c.body, nullptr, c.form));
        EXPECT_EQ(c.stored, qmtest::readFile(temp_ + "/" + name));
    }

    ASSERT_EQ("SUCCESS", append(name, ""));
    EXPECT_EQ("DATA)\r", qmtest::readFile(temp_ + "/" + name));
    ASSERT_EQ("SUCCESS", append(name, ",)"));
    EXPECT_EQ("DATA)\r,)", qmtest::readFile(temp_ + "/" + name));
    ASSERT_EQ("SUCCESS", run<UpgradeAppendCommandProcessor>("upgrade_append(" + name + ",\n)\n",
                                                            nullptr, rawLine));
    EXPECT_EQ("DATA)\r,)\n", qmtest::readFile(temp_ + "/" + name));

    // An append without an initial request creates the package file.
    ASSERT_EQ("SUCCESS", append("other_redhat_64_.qmp", "first"));
    EXPECT_EQ("first", qmtest::readFile(temp_ + "/other_redhat_64_.qmp"));
}

// A body that does not end in its closing ")", and a raw line cut short at 2048 bytes, are
// refused before anything is touched: no chunk is stored cut or with a stray last byte, and no
// package is unpacked. The name check still comes first.
TEST_F(UpgradeCommandsTest, RefusesARequestThatIsNotWholeBeforeTouchingAnything) {
    const std::string package =
        archiveBytes(qmtest::ZipBuilder().addFile("quillmark_upgrade.sh", upgradeScript(0)));
    qmtest::writeFile(temp_ + "/" + kPackage, package);
    const std::string notClosed = "FAILURE! Upgrade request does not end with ')'.";
    const std::string cutShort = "FAILURE! Upgrade request line has no line end within 2048 bytes.";
    struct Case {
        const char* label;
        RequestForm form;
        std::string name;
        std::string rest;  // what follows "(" and the name
        std::string reply;
    };
    const std::vector<Case> cases = {
        {"framed, no closing parenthesis", RequestForm::kFramed, kPackage, ",DATA", notClosed},
        {"framed, ends after the comma", RequestForm::kFramed, kPackage, ",", notClosed},
        {"framed, a line end after the parenthesis", RequestForm::kFramed, kPackage, ",DATA)\n",
         notClosed},
        {"raw line without the parenthesis", RequestForm::kRawLine, kPackage, ",DATA\n", notClosed},
        {"raw line cut short", RequestForm::kRawUnended, kPackage, ",DATA)", cutShort},
        {"raw line cut short, bad name", RequestForm::kRawUnended, "agent.qmp", ",DATA",
         "FAILURE! Unable to verify operating system of upgrade file name."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string tail = "(" + c.name + c.rest;
        EXPECT_EQ(c.reply,
                  run<UpgradeInitialCommandProcessor>("upgrade_initial" + tail, nullptr, c.form));
        EXPECT_EQ(c.reply,
                  run<UpgradeAppendCommandProcessor>("upgrade_append" + tail, nullptr, c.form));
        EXPECT_EQ(c.reply,
                  run<UpgradeFinalCommandProcessor>("upgrade_final" + tail, nullptr, c.form));
        EXPECT_EQ((std::set<std::string>{kPackage}), namesIn(temp_));
        EXPECT_EQ(package, qmtest::readFile(temp_ + "/" + kPackage));
    }
}

TEST_F(UpgradeCommandsTest, RefusesABadNameBeforeTouchingAnything) {
    // A complete package beside the temp directory: "../" would reach it.
    const std::string outside =
        archiveBytes(qmtest::ZipBuilder().addFile("quillmark_upgrade.sh", upgradeScript(0)));
    qmtest::writeFile(root_ + "/x_redhat_64_.qmp", outside);
    qmtest::writeFile(temp_ + "/stale.txt", "stale");

    struct Case {
        std::string name;
        const char* result;
    };
    const std::vector<Case> cases = {
        {"agent.qmp", "FAILURE! Unable to verify operating system of upgrade file name."},
        {"agent_redhat_64.qmp", "FAILURE! Unable to verify architecture of upgrade file name."},
        {"agent_redhat_64_.zip", "FAILURE! Incorrect upgrade file extension."},
        {"../x_redhat_64_.qmp", "FAILURE! Unable to verify characters of upgrade file name."},
        {"sub/x_redhat_64_.qmp", "FAILURE! Unable to verify characters of upgrade file name."},
        {std::string("x_redhat_64_.qmp\0.sh", 20),
         "FAILURE! Unable to verify characters of upgrade file name."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("name \"" + c.name + "\"");
        EXPECT_EQ(c.result, initial(c.name, "data"));
        EXPECT_EQ(c.result, append(c.name, "data"));
        EXPECT_EQ(c.result, finish(c.name));
        EXPECT_EQ((std::set<std::string>{"stale.txt"}), namesIn(temp_));
        EXPECT_EQ((std::set<std::string>{"temp", "x_redhat_64_.qmp"}), namesIn(root_));
        EXPECT_EQ(outside, qmtest::readFile(root_ + "/x_redhat_64_.qmp"));
    }

    const char* osFailure = "FAILURE! Unable to verify operating system of upgrade file name.";
    EXPECT_EQ(osFailure, run<UpgradeInitialCommandProcessor>("upgrade_initial"));
    EXPECT_EQ(osFailure, run<UpgradeAppendCommandProcessor>("upgrade_append(,data)"));
    EXPECT_EQ(osFailure, run<UpgradeFinalCommandProcessor>("upgrade_final"));
    EXPECT_EQ((std::set<std::string>{"stale.txt"}), namesIn(temp_));
}

TEST_F(UpgradeCommandsTest, ReportsAChunkThatCannotBeStored) {
    const std::string big = patternedBytes(64 * 1024);

    const std::string full =
        qmtest::runWithFileSizeLimit(4096, [&] { return initial(kPackage, big); });
    EXPECT_EQ(kWriteFailure, full);

    ASSERT_EQ("SUCCESS", initial(kPackage, "head"));
    const std::string fullOnAppend =
        qmtest::runWithFileSizeLimit(4096, [&] { return append(kPackage, big); });
    EXPECT_EQ(kWriteFailure, fullOnAppend);

    fs::remove_all(temp_);
    EXPECT_EQ(kWriteFailure, append(kPackage, "chunk"));
    EXPECT_FALSE(fs::exists(temp_));

    // Without an installation root the temp directory cannot be made and nothing is written.
    std::unique_ptr<ConfigurationFileAccess> missingRoot = configurationFor(dir_.file("missing"));
    EXPECT_EQ("FAILURE! Unable to create temp directory after previously deleting it",
              run<UpgradeInitialCommandProcessor>(
                  std::string("upgrade_initial(") + kPackage + ",data)", missingRoot.get()));
    EXPECT_FALSE(fs::exists(dir_.file("missing")));
}

// The installation root on a small tmpfs that a filler file keeps nearly full, so that a chunk
// fails after part of it was written, as on a real full disk.
TEST_F(UpgradeCommandsTest, AChunkThatFailsOnAFullDiskCanBeSentAgain) {
    const qmtest::ScopedMount tmpfs = qmtest::ScopedMount::tmpfs(root_, 1024 * 1024);
    if (!tmpfs.mounted()) GTEST_SKIP() << tmpfs.error();
    const std::string filler = root_ + "/filler";
    ASSERT_TRUE(qmtest::fillFileSystem(filler));
    const std::uintmax_t full = fs::file_size(filler);
    const std::uintmax_t chunkSize = 96 * 1024;
    // Leaves room for a third of a chunk, then for a chunk and a third.
    auto leaveRoom = [&](std::uintmax_t room) { fs::resize_file(filler, full - room); };

    qmtest::ZipEntryOptions stored;
    stored.stored = true;
    const std::string payload = patternedBytes(chunkSize * 3 / 2);
    const std::string archive = archiveBytes(qmtest::ZipBuilder()
                                                 .addFile("quillmark_upgrade.sh", upgradeScript(0))
                                                 .addFile("payload.bin", payload, stored));
    ASSERT_GT(archive.size(), chunkSize);
    const std::string first = archive.substr(0, chunkSize);
    const std::string second = archive.substr(chunkSize);
    ASSERT_GT(second.size(), chunkSize / 3);
    const std::string package = temp_ + "/" + kPackage;

    leaveRoom(chunkSize / 3);
    EXPECT_EQ(kWriteFailure, initial(kPackage, first));
    EXPECT_EQ("", qmtest::readFile(package));
    leaveRoom(chunkSize + chunkSize / 3);
    ASSERT_EQ("SUCCESS", initial(kPackage, first));

    EXPECT_EQ(kWriteFailure, append(kPackage, second));
    EXPECT_EQ(first, qmtest::readFile(package));
    fs::remove(filler);
    ASSERT_EQ("SUCCESS", append(kPackage, second));
    EXPECT_EQ(archive, qmtest::readFile(package));

    EXPECT_EQ("SUCCESS", finish(kPackage));
    EXPECT_EQ(payload, qmtest::readFile(temp_ + "/payload.bin"));
}

TEST_F(UpgradeCommandsTest, RunsTheScriptOnlyOnAWholePackage) {
    const std::string payload = patternedBytes(50000);
    qmtest::ZipEntryOptions badCrc;
    badCrc.badCrc = true;
    struct Case {
        const char* label;
        std::string package;  // empty: no package file
        const char* corrupt;  // entry whose stored bytes are damaged, or null
        const char* result;
        bool scriptRuns;
    };
    const std::vector<Case> cases = {
        {"no package", "", nullptr, kOpenFailure, false},
        {"not a zip archive", "not a zip archive", nullptr, kOpenFailure, false},
        {"damaged entry after the script",
         archiveBytes(qmtest::ZipBuilder()
                          .addFile("quillmark_upgrade.sh", upgradeScript(0))
                          .addFile("payload.bin", payload)),
         "payload.bin", kExtractFailure, false},
        {"entry with a wrong CRC-32",
         archiveBytes(qmtest::ZipBuilder()
                          .addFile("quillmark_upgrade.sh", upgradeScript(0))
                          .addFile("payload.bin", payload, badCrc)),
         nullptr, kExtractFailure, false},
        {"no script", archiveBytes(qmtest::ZipBuilder().addFile("payload.bin", payload)), nullptr,
         "FAILURE! Unable to make the quillmark upgrade script executable.", false},
        {"script fails",
         archiveBytes(qmtest::ZipBuilder().addFile("quillmark_upgrade.sh", upgradeScript(1))),
         nullptr, "FAILURE! Unable to execute quillmark upgrade script file", true},
        {"script succeeds",
         archiveBytes(qmtest::ZipBuilder().addFile("quillmark_upgrade.sh", upgradeScript(0))),
         nullptr, "SUCCESS", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_EQ(0, ::chdir(savedDirectory_.c_str()));
        fs::remove_all(temp_);
        fs::create_directories(temp_);
        const std::string package = temp_ + "/" + kPackage;
        if (!c.package.empty()) qmtest::writeFile(package, c.package);
        if (c.corrupt != nullptr) {
            ASSERT_TRUE(qmtest::corruptEntryData(package, c.corrupt));
        }

        EXPECT_EQ(c.result, finish(kPackage));

        EXPECT_EQ(c.scriptRuns, fs::exists(temp_ + "/ran"));
        EXPECT_EQ("/", currentDirectory()) << "whatever the outcome";
    }
}

// Stands in for the file operations so that a step can fail with a text that carries
// "SUCCESS", as a path may; records the steps run.
class ScriptedFileOperations : public FileOperations {
public:
    ScriptedFileOperations(ConfigurationFileAccess* configuration,
                           const std::map<std::string, std::string>& results,
                           std::vector<std::string>& steps)
        : FileOperations(configuration), results_(results), steps_(steps) {}

    std::string recreateTempDirectory() override { return step("recreateTempDirectory"); }
    std::string runUpgradeScript() override { return step("runUpgradeScript"); }
    std::string unzipFile(const std::string&) override { return step("unzipFile"); }
    std::string writeFile(const std::string&, DataRange) override { return step("writeFile"); }
    std::string appendFile(const std::string&, DataRange) override { return step("appendFile"); }

private:
    std::string step(const std::string& name) {
        steps_.push_back(name);
        const auto found = results_.find(name);
        return found != results_.end() ? found->second : "SUCCESS";
    }

    std::map<std::string, std::string> results_;
    std::vector<std::string>& steps_;
};

TEST_F(UpgradeCommandsTest, AFailureTextHoldingSuccessStopsTheUpgrade) {
    const std::string tempFailure = "FAILURE! Unable to create /srv/SUCCESS/temp";
    const std::string unzipFailure = "FAILURE! Unable to open /srv/SUCCESS/agent_redhat_64_.qmp";
    const std::string scriptFailure = "FAILURE! SUCCESS marker not written by script";
    struct Case {
        const char* label;
        bool isFinal;
        std::map<std::string, std::string> results;
        std::string reply;
        std::vector<std::string> steps;
    };
    const std::vector<Case> cases = {
        {"initial",
         false,
         {{"recreateTempDirectory", tempFailure}},
         tempFailure,
         {"recreateTempDirectory"}},
        {"final, unpacking", true, {{"unzipFile", unzipFailure}}, unzipFailure, {"unzipFile"}},
        {"final, script",
         true,
         {{"runUpgradeScript", scriptFailure}},
         scriptFailure,
         {"unzipFile", "runUpgradeScript"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<std::string> steps;
        FileNameVerifier* verifier = new FileNameVerifier("redhat", "64");
        FileOperations* operations =
            new ScriptedFileOperations(configuration_.get(), c.results, steps);
        std::unique_ptr<CommandProcessor> processor;
        if (c.isFinal) {
            processor.reset(
                new UpgradeFinalCommandProcessor(verifier, operations, new PayloadUtilities()));
        } else {
            processor.reset(
                new UpgradeInitialCommandProcessor(verifier, operations, new PayloadUtilities()));
        }
        std::vector<char> payload = payloadOf(
            std::string(c.isFinal ? "upgrade_final(" : "upgrade_initial(") + kPackage + ",x)");

        EXPECT_EQ(c.reply, processor->process(payload));
        EXPECT_EQ(c.steps, steps);
    }
}

}  // namespace
