// Starting, stopping and restarting the monitoring agent through its service commands.
//
// Each agent operation takes the caller's result text, to which a failed start appends its
// failure text; no operation throws. Restarters are made by the command processor factory and
// deleted by their user. The configuration object is not owned.
#ifndef QUILLMARK_MANAGER_AGENTSERVICERESTARTER_H
#define QUILLMARK_MANAGER_AGENTSERVICERESTARTER_H

#include "quillmark/ConfigurationFileAccess.h"

#include <string>

namespace quillmark {

class AgentServiceRestarter {
public:
    explicit AgentServiceRestarter(ConfigurationFileAccess* configuration)
        : configuration_(configuration) {}
    virtual ~AgentServiceRestarter() {}

    AgentServiceRestarter(const AgentServiceRestarter&) = delete;
    AgentServiceRestarter& operator=(const AgentServiceRestarter&) = delete;

    virtual void startAgent(std::string& result) = 0;
    virtual void stopAgent(std::string& result) = 0;
    // Stops the agent only when this process has started it; the base class does nothing.
    virtual void stopAgentIfStarted(std::string& /*result*/) {}
    virtual void restartAgent(std::string& result) = 0;

    virtual ConfigurationFileAccess* getConfigurationFileAccess() { return configuration_; }

protected:
    ConfigurationFileAccess* configuration_;
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_AGENTSERVICERESTARTER_H
