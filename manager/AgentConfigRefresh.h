// AgentConfigRefresh: the worker that keeps the monitoring agent running and restarts it when
// the agent's configuration file changes.
//
// Every cycle takes the MD5 digest of the configuration file (the path the manager was started
// with). The first cycle remembers it and starts the agent; a later cycle whose digest differs
// from the remembered one remembers the new one and restarts the agent (stop, then start); any
// other cycle starts the agent again. Only a change between two consecutive cycles is seen.
// A cycle that fails (the file missing for a moment while an editor or a package manager
// replaces it, unreadable, or too large to digest) is logged and runs no agent command; the
// remembered digest stays, and the next cycle comes after the usual pause. So a file that comes
// back unchanged causes no restart, and one that comes back changed causes one.
//
// Ownership: the factory is shared with the Listener and used only by the constructor; the
// restarter and the file metric item belong to the worker. Threads: execute() on the worker's
// own thread; cancel() from any thread (it takes effect after the current cycle or pause).
#ifndef QUILLMARK_MANAGER_AGENTCONFIGREFRESH_H
#define QUILLMARK_MANAGER_AGENTCONFIGREFRESH_H

#include "AbstractExecution.h"

#include <memory>
#include <string>

namespace quillmark {

class AgentServiceRestarter;
class CommandProcessorFactory;
class FileMetrics;

class AgentConfigRefresh : public AbstractExecution {
public:
    static constexpr int kDefaultIntervalMs = 30000;

    // Takes a restarter from `factory` and watches the file of the restarter's configuration
    // object. `intervalMs` is the pause between cycles (the service uses the default).
    explicit AgentConfigRefresh(std::shared_ptr<CommandProcessorFactory> factory,
                                int intervalMs = kDefaultIntervalMs);
    ~AgentConfigRefresh() override;

    // One cycle. Never throws an Exception of the system's own or a std::exception: they are
    // logged at ERROR after "AgentConfigRefresh caught exception: ".
    void execute() override;
    void cancel() override;
    int getInterval() override;

    // The watched file's digest as 32 lower-case hexadecimal digits; throws what the file
    // metric throws.
    std::string getChecksum();
    // Restarts the agent when `changed`, otherwise starts it; the outcome is not used.
    void restartOrStartAgent(bool changed);

private:
    // The cycle itself; throws what getChecksum() throws, before any agent command runs.
    void checkAndStartAgent();

    std::shared_ptr<CommandProcessorFactory> factory_;
    std::unique_ptr<AgentServiceRestarter> restarter_;
    std::unique_ptr<FileMetrics> metrics_;
    const std::string watchedFile_;
    std::string lastChecksum_;  // worker's thread only; empty until the first cycle
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_AGENTCONFIGREFRESH_H
