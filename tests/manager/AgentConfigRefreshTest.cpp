#include "AgentConfigRefresh.h"
#include "CommandProcessorFactory.h"

#include "quillmark/ConfigurationFileAccess.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>
#include <zthread/Task.h>
#include <zthread/ThreadedExecutor.h>

#include <sys/stat.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using qmtest::eventually;
using qmtest::occurrences;

using namespace quillmark;

namespace {

const char kChangeLine[] = "Configuration file change detected, restarting agent.";
// Short enough for many cycles per test, long enough that the worker's thread is mostly asleep.
const int kIntervalMs = 20;

// The file's contents, or "" while it does not exist (the journal before the first command).
std::string contentsOrEmpty(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    if (in) contents << in.rdbuf();
    return contents.str();
}

std::string configurationText(const std::string& dir, const std::string& revision) {
    return "<?xml version=\"1.0\"?>\n"
           "<quillmark_agentd_config>\n"
           "\t<GeneralProperties>\n"
           "\t\t<prop><key>AgentServiceStart</key><value>" +
           dir +
           "/start.sh</value></prop>\n"
           "\t\t<prop><key>AgentServiceStop</key><value>" +
           dir +
           "/stop.sh</value></prop>\n"
           "\t\t<prop><key>Revision</key><value>" +
           revision +
           "</value></prop>\n"
           "\t</GeneralProperties>\n"
           "</quillmark_agentd_config>\n";
}

// The watch on a configuration whose agent commands are scripts that append "start" or "stop"
// to a journal, run on a thread-per-task executor with a short pause. The fixture keeps its own
// task reference, so the worker outlives its thread and can be cancelled at the end.
class AgentConfigRefreshTest : public ::testing::Test {
protected:
    AgentConfigRefreshTest()
        : configPath_(dir_.file("quillmark_agentd.xml")), journalPath_(dir_.file("journal")) {
        writeScript("start.sh", "start");
        writeScript("stop.sh", "stop");
        replaceConfiguration(configurationText(dir_.path(), "1"));
        configuration_.reset(new ConfigurationFileAccess(configPath_, false));
    }

    ~AgentConfigRefreshTest() override {
        if (worker_ != nullptr) {
            worker_->cancel();
            // Ends a pause at once; a cycle in progress finishes first.
            executor_.interrupt();
            EXPECT_TRUE(executor_.wait(20000)) << "the watch's thread did not end";
        }
        task_.reset();
        configuration_.reset();
    }

    void writeScript(const std::string& name, const std::string& word) {
        const std::string path = dir_.file(name);
        qmtest::writeFile(path, "#!/bin/sh\necho " + word + " >> '" + journalPath_ + "'\n");
        ASSERT_EQ(0, ::chmod(path.c_str(), 0755));
    }

    // Written beside the file and renamed over it, so that a cycle never digests half a file.
    void replaceConfiguration(const std::string& text) {
        const std::string staging = configPath_ + ".new";
        qmtest::writeFile(staging, text);
        ASSERT_EQ(0, std::rename(staging.c_str(), configPath_.c_str()));
    }

    void startWatch() {
        ASSERT_TRUE(configuration_->isLoaded());
        auto factory = std::make_shared<CommandProcessorFactory>(configuration_.get());
        worker_ = new AgentConfigRefresh(factory, kIntervalMs);
        task_.emplace(worker_);
        executor_.execute(*task_);
    }

    // The journal's complete lines, in the order the commands ran.
    std::vector<std::string> journal() const {
        std::vector<std::string> lines;
        const std::string text = contentsOrEmpty(journalPath_);
        std::size_t start = 0;
        for (std::size_t end = text.find('\n'); end != std::string::npos;
             end = text.find('\n', start)) {
            lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }

    bool journalHasAtLeast(std::size_t count) const { return journal().size() >= count; }

    std::string log() const { return log_.text(); }

    // First, so that the logger outlives the watch's thread.
    qmtest::LogCapture log_;
    qmtest::TempDir dir_;
    const std::string configPath_;
    const std::string journalPath_;
    std::unique_ptr<ConfigurationFileAccess> configuration_;
    ZThread::ThreadedExecutor executor_;
    AgentConfigRefresh* worker_ = nullptr;
    std::optional<ZThread::Task> task_;
};

TEST_F(AgentConfigRefreshTest, StartsTheAgentEveryCycleWhileTheFileIsUnchanged) {
    startWatch();
    ASSERT_TRUE(eventually([this] { return journalHasAtLeast(3); }));

    // The first cycle only remembers the digest: a start, no restart and no change line.
    for (const std::string& line : journal()) EXPECT_EQ("start", line);
    EXPECT_EQ(0u, occurrences(log(), kChangeLine));
}

TEST_F(AgentConfigRefreshTest, ChangedContentRestartsTheAgentOnceThenStartsItAgain) {
    startWatch();
    ASSERT_TRUE(eventually([this] { return journalHasAtLeast(1); }));

    replaceConfiguration(configurationText(dir_.path(), "2"));
    // The restart, then at least two plain starts after it.
    ASSERT_TRUE(eventually([this] {
        const std::vector<std::string> lines = journal();
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (lines[i] == "stop") return lines.size() >= i + 4;
        }
        return false;
    }));

    const std::vector<std::string> lines = journal();
    std::size_t stops = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] != "stop") {
            EXPECT_EQ("start", lines[i]) << "line " << i;
            continue;
        }
        ++stops;
        ASSERT_LT(i + 1, lines.size());
        EXPECT_EQ("start", lines[i + 1]) << "a restart is a stop followed by a start";
        EXPECT_GT(i, 0u) << "the first cycle must not restart";
    }
    EXPECT_EQ(1u, stops);
    EXPECT_EQ(1u, occurrences(log(), kChangeLine));
}

TEST_F(AgentConfigRefreshTest, IdenticalRewriteCausesNoRestart) {
    startWatch();
    ASSERT_TRUE(eventually([this] { return journalHasAtLeast(1); }));

    // A new file (new inode and modification time) with the same bytes.
    replaceConfiguration(configurationText(dir_.path(), "1"));
    const std::size_t before = journal().size();
    ASSERT_TRUE(eventually([&] { return journalHasAtLeast(before + 3); }));

    for (const std::string& line : journal()) EXPECT_EQ("start", line);
    EXPECT_EQ(0u, occurrences(log(), kChangeLine));
}

TEST_F(AgentConfigRefreshTest, MissingFileIsLoggedAndTheWatchGoesOnWithItsDigest) {
    const std::string failure =
        "|\tAgentConfigRefresh caught exception: [0] \"Cannot stat() file\" raised from ";
    const auto failures = [&] { return occurrences(log(), failure); };
    startWatch();
    ASSERT_TRUE(eventually([this] { return journalHasAtLeast(1); }));

    // Each failing cycle logs the ERROR line and runs no agent command: every command of the
    // cycles before has ended by the first line, and the journal stands still after it.
    ASSERT_EQ(0, std::remove(configPath_.c_str()));
    ASSERT_TRUE(eventually([&] { return failures() >= 1; }));
    const std::size_t whileMissing = journal().size();
    ASSERT_TRUE(eventually([&] { return failures() >= 3; }));
    EXPECT_EQ(whileMissing, journal().size());
    std::istringstream lines(log());
    for (std::string line; std::getline(lines, line);) {
        if (line.find(failure) != std::string::npos) {
            EXPECT_EQ(0u, line.rfind("|ERROR\t|", 0)) << line;
        }
    }

    // Back with the same content: the remembered digest still matches, so the agent is started,
    // not restarted.
    replaceConfiguration(configurationText(dir_.path(), "1"));
    ASSERT_TRUE(eventually([&] { return journalHasAtLeast(whileMissing + 2); }));
    for (const std::string& line : journal()) EXPECT_EQ("start", line);
    EXPECT_EQ(0u, occurrences(log(), kChangeLine));

    // Missing again, then back with other content: one restart.
    const std::size_t failed = failures();
    ASSERT_EQ(0, std::remove(configPath_.c_str()));
    ASSERT_TRUE(eventually([&] { return failures() > failed; }));
    replaceConfiguration(configurationText(dir_.path(), "2"));
    ASSERT_TRUE(eventually([this] {
        const std::vector<std::string> lines = journal();
        return !lines.empty() && lines.back() == "start" &&
               std::count(lines.begin(), lines.end(), "stop") == 1;
    }));
    EXPECT_EQ(1u, occurrences(log(), kChangeLine));
    EXPECT_FALSE(worker_->isCanceled());
}

}  // namespace
