#include "other/NonWindowsAgentServiceRestarter.h"

#include "quillmark/Log.h"

#include <cstdlib>

namespace quillmark {

std::atomic<bool> NonWindowsAgentServiceRestarter::agentStarted_(false);

void NonWindowsAgentServiceRestarter::startAgent(std::string& result) {
    const std::string command =
        configuration_->getString("AgentServiceStart", "/etc/init.d/quillmark_agentd start");
    if (std::system(command.c_str()) == 0) {
        agentStarted_ = true;
        return;
    }
    result += "FAILURE! Unable to start agent service with the following command: " + command;
    QM_LOG_DEBUG(result);
}

void NonWindowsAgentServiceRestarter::stopAgent(std::string& /*result*/) {
    const std::string command =
        configuration_->getString("AgentServiceStop", "/etc/init.d/quillmark_agentd stop");
    if (std::system(command.c_str()) != 0) {
        QM_LOG_DEBUG("Agent service stop failed with the following command: " << command);
    }
}

void NonWindowsAgentServiceRestarter::stopAgentIfStarted(std::string& result) {
    if (agentStarted_) stopAgent(result);
}

void NonWindowsAgentServiceRestarter::restartAgent(std::string& result) {
    stopAgent(result);
    startAgent(result);
}

}  // namespace quillmark
