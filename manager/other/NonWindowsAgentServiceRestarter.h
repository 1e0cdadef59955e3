// The agent's service control on Unix-like hosts: the commands of the configuration keys
// "AgentServiceStart" and "AgentServiceStop" (read anew at every call) run through the shell and
// block the calling thread until they end. A command succeeds when system() returns 0.
//
// Whether one of this process's start commands has ever succeeded is process-wide: every
// restarter object sees it, so the daemon's stop path knows whether the configuration watch has
// started the agent. Any thread may call.
#ifndef QUILLMARK_MANAGER_OTHER_NONWINDOWSAGENTSERVICERESTARTER_H
#define QUILLMARK_MANAGER_OTHER_NONWINDOWSAGENTSERVICERESTARTER_H

#include "AgentServiceRestarter.h"

#include <atomic>

namespace quillmark {

class NonWindowsAgentServiceRestarter : public AgentServiceRestarter {
public:
    explicit NonWindowsAgentServiceRestarter(ConfigurationFileAccess* configuration)
        : AgentServiceRestarter(configuration) {}

    // Runs the start command; success marks the agent as started for the whole process. A
    // failure appends "FAILURE! Unable to start agent service with the following command: "
    // and the command to `result` and logs `result` at DEBUG level.
    void startAgent(std::string& result) override;
    // Runs the stop command; a failure is logged at DEBUG level only.
    void stopAgent(std::string& result) override;
    void stopAgentIfStarted(std::string& result) override;
    // stopAgent, then startAgent, whatever the stop did.
    void restartAgent(std::string& result) override;

    // Whether a start command of this process has succeeded; never cleared.
    static bool agentStarted() { return agentStarted_.load(); }

private:
    static std::atomic<bool> agentStarted_;
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_OTHER_NONWINDOWSAGENTSERVICERESTARTER_H
