#include "other/NonWindowsAgentServiceRestarter.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace quillmark;

namespace {

// Commands that record each run in a journal and end with the status held in a control file.
class AgentCommands {
public:
    AgentCommands() : configuration_(dir_.file("absent.xml"), false) {
        for (const char* verb : {"start", "stop"}) {
            const std::string script = dir_.file(std::string(verb) + ".sh");
            qmtest::writeFile(script, "#!/bin/sh\necho " + std::string(verb) + " >> '" +
                                          dir_.file("journal") + "'\nexit $(cat '" +
                                          dir_.file(std::string(verb) + ".status") + "')\n");
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
    ConfigurationFileAccess* configuration() { return &configuration_; }

private:
    qmtest::TempDir dir_;
    ConfigurationFileAccess configuration_;
};

}  // namespace

// The started flag is process-wide, so its whole life is one test.
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
}
