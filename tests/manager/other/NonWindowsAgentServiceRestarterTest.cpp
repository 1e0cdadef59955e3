#include "other/NonWindowsAgentServiceRestarter.h"

#include "AgentCommandGate.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

using namespace quillmark;

namespace {

// Commands that record each run in a journal and end with the status held in a control file.
// While the file "hold" exists the start command first marks itself "held" and waits (20 s at
// most) until it is gone.
class AgentCommands {
public:
    AgentCommands() : configuration_(dir_.file("absent.xml"), false) {
        const std::string hold = "'" + dir_.file("hold") + "'";
        const std::string waitWhileHeld = "if [ -e " + hold + " ]; then touch '" +
                                          dir_.file("held") + "'; i=0; while [ -e " + hold +
                                          " ] && [ $i -lt 1000 ]; do sleep 0.02; i=$((i+1)); "
                                          "done; fi\n";
        for (const std::string verb : {"start", "stop"}) {
            const std::string script = dir_.file(verb + ".sh");
            qmtest::writeFile(script, "#!/bin/sh\n" + (verb == "start" ? waitWhileHeld : "") +
                                          "echo " + verb + " >> '" + dir_.file("journal") +
                                          "'\nexit $(cat '" + dir_.file(verb + ".status") + "')\n");
            chmod(script.c_str(), 0755);
            setStatus(verb, 0);
        }
        configuration_.set("AgentServiceStart", dir_.file("start.sh"), true);
        configuration_.set("AgentServiceStop", dir_.file("stop.sh"), true);
    }

    void setStatus(const std::string& verb, int status) {
        qmtest::writeFile(dir_.file(verb + ".status"), std::to_string(status) + "\n");
    }
    // The runs since the last call, one word per line.
    std::string takeJournal() {
        const std::string path = dir_.file("journal");
        if (!qmtest::fileExists(path)) return "";
        std::string text = qmtest::readFile(path);
        unlink(path.c_str());
        return text;
    }
    std::string startCommand() { return dir_.file("start.sh"); }
    void hold() { qmtest::writeFile(dir_.file("hold"), ""); }
    bool isHeld() { return qmtest::fileExists(dir_.file("held")); }
    void release() { unlink(dir_.file("hold").c_str()); }
    ConfigurationFileAccess* configuration() { return &configuration_; }

private:
    qmtest::TempDir dir_;
    ConfigurationFileAccess configuration_;
};

}  // namespace

// The started flag and the command gate are process-wide, so their whole life is one test.
TEST(NonWindowsAgentServiceRestarter, StartedFlagLifeCycle) {
    AgentCommands commands;
    NonWindowsAgentServiceRestarter watch(commands.configuration());
    NonWindowsAgentServiceRestarter stopPath(commands.configuration());
    std::string result;

    ASSERT_FALSE(NonWindowsAgentServiceRestarter::agentStarted());
    stopPath.stopAgentIfStarted(result);
    EXPECT_EQ("", commands.takeJournal()) << "nothing was started, nothing is stopped";

    commands.setStatus("start", 1);
    watch.startAgent(result);
    watch.startAgent(result);
    const std::string failure =
        "FAILURE! Unable to start agent service with the following command: " +
        commands.startCommand();
    EXPECT_EQ(failure + failure, result);
    EXPECT_FALSE(NonWindowsAgentServiceRestarter::agentStarted());
    stopPath.stopAgentIfStarted(result);
    EXPECT_EQ("start\nstart\n", commands.takeJournal());

    // A failing stop leaves the text alone; the start that follows succeeds.
    result.clear();
    commands.setStatus("start", 0);
    commands.setStatus("stop", 3);
    watch.restartAgent(result);
    EXPECT_EQ("", result);
    EXPECT_EQ("stop\nstart\n", commands.takeJournal());
    EXPECT_TRUE(NonWindowsAgentServiceRestarter::agentStarted());

    // A later failed start does not clear the flag; another object sees it.
    commands.setStatus("start", 1);
    watch.startAgent(result);
    stopPath.stopAgentIfStarted(result);
    EXPECT_EQ("start\nstop\n", commands.takeJournal());
    EXPECT_TRUE(NonWindowsAgentServiceRestarter::agentStarted());

    // The manager's stop begins while a start runs: the stop's command waits for the start.
    commands.setStatus("start", 0);
    commands.hold();
    std::thread watchThread([&] {
        std::string text;
        watch.startAgent(text);
    });
    ASSERT_TRUE(qmtest::eventually([&] { return commands.isHeld(); }));
    AgentCommandGate::forProcess().close();
    std::thread stopThread([&] {
        std::string text;
        stopPath.stopAgentIfStarted(text);
    });
    // Room for a stop that does not wait to run before the start ends.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    commands.release();
    watchThread.join();
    stopThread.join();
    EXPECT_EQ("start\nstop\n", commands.takeJournal());

    // From then on the watch's commands run nothing; the stop's own command still runs.
    result.clear();
    watch.startAgent(result);
    watch.restartAgent(result);
    watch.stopAgent(result);
    EXPECT_EQ("", commands.takeJournal());
    EXPECT_EQ("", result);
    stopPath.stopAgentIfStarted(result);
    EXPECT_EQ("stop\n", commands.takeJournal());
}
