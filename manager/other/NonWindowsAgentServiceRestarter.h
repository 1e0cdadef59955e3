// The agent's service control on Unix-like hosts: the commands of the configuration keys
// "AgentServiceStart" and "AgentServiceStop" (read anew at every call) run through the shell
// (runShellCommand) and block the calling thread until they end. A command succeeds when the
// shell exits with status 0.
//
// Once the manager's stop has begun (the process's AgentCommandGate is closed), startAgent,
// stopAgent and restartAgent run nothing; only the stop's own stopAgentIfStarted still runs the
// stop command, after waiting for a command already running.
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
    // The daemon's stop: waits (at most 30 s) until no agent command of the process is running,
    // then runs the stop command when a start command has succeeded, or when a command is still
    // running after the wait (it may yet start the agent). Runs also when the gate is closed.
    void stopAgentIfStarted(std::string& result) override;
    // stopAgent, then startAgent, whatever the stop did.
    void restartAgent(std::string& result) override;

    // Whether a start command of this process has succeeded; never cleared.
    static bool agentStarted() { return agentStarted_.load(); }

private:
    void runStopCommand();

    static std::atomic<bool> agentStarted_;
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_OTHER_NONWINDOWSAGENTSERVICERESTARTER_H
