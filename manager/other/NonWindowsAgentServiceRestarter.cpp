#include "other/NonWindowsAgentServiceRestarter.h"

#include "AgentCommandGate.h"
#include "other/ShellCommand.h"

#include "quillmark/Log.h"

#include <chrono>

namespace quillmark {

namespace {

// How long the daemon's stop waits for an agent command that is still running. An init script
// that takes longer is not waited for: the agent is then stopped all the same.
const std::chrono::milliseconds kCommandWaitLimit(30000);

}  // namespace

std::atomic<bool> NonWindowsAgentServiceRestarter::agentStarted_(false);

void NonWindowsAgentServiceRestarter::startAgent(std::string& result) {
    const std::string command =
        configuration_->getString("AgentServiceStart", "/etc/init.d/quillmark_agentd start");
    // The pass is given up only after the flag is set, so the stop that waits for it sees the
    // start's outcome.
    AgentCommandGate::Pass pass(AgentCommandGate::forProcess());
    if (!pass) {
        QM_LOG_DEBUG("Agent service start skipped, the manager is stopping: " << command);
        return;
    }
    if (runShellCommand(command) == 0) {
        agentStarted_ = true;
        return;
    }
    result += "FAILURE! Unable to start agent service with the following command: " + command;
    QM_LOG_DEBUG(result);
}

void NonWindowsAgentServiceRestarter::stopAgent(std::string& /*result*/) {
    AgentCommandGate::Pass pass(AgentCommandGate::forProcess());
    if (!pass) {
        QM_LOG_DEBUG("Agent service stop skipped, the manager is stopping.");
        return;
    }
    runStopCommand();
}

void NonWindowsAgentServiceRestarter::stopAgentIfStarted(std::string& /*result*/) {
    // A command still running may yet start the agent; its outcome decides. When it does not end
    // in time its outcome is unknown, and the agent is stopped in case it started.
    const bool idle = AgentCommandGate::forProcess().waitUntilIdle(kCommandWaitLimit);
    if (!idle) {
        QM_LOG_WARN("An agent service command is still running after "
                    << kCommandWaitLimit.count() / 1000 << " s; stopping the agent regardless.");
    }
    if (agentStarted_ || !idle) runStopCommand();
}

void NonWindowsAgentServiceRestarter::restartAgent(std::string& result) {
    stopAgent(result);
    startAgent(result);
}

void NonWindowsAgentServiceRestarter::runStopCommand() {
    const std::string command =
        configuration_->getString("AgentServiceStop", "/etc/init.d/quillmark_agentd stop");
    if (runShellCommand(command) != 0) {
        QM_LOG_DEBUG("Agent service stop failed with the following command: " << command);
    }
}

}  // namespace quillmark
