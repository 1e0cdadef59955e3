// AgentConfigRefresh: the worker that keeps the monitoring agent running and restarts it when
// the agent's configuration file changes.
//
// Every cycle takes the MD5 digest of the configuration file (the path the manager was started
// with). The first cycle remembers it and starts the agent; a later cycle whose digest differs
// from the remembered one remembers the new one and restarts the agent (stop, then start); any
// other cycle starts the agent again. Only a change between two consecutive cycles is seen.
// An exception of the digest (a missing or unreadable file) leaves execute() and ends the
// worker's thread.
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

    void execute() override;
    void cancel() override;
    int getInterval() override;

    // The watched file's digest as 32 lower-case hexadecimal digits; throws what the file
    // metric throws.
    std::string getChecksum();
    // Restarts the agent when `changed`, otherwise starts it; the outcome is not used.
    void restartOrStartAgent(bool changed);

private:
    std::shared_ptr<CommandProcessorFactory> factory_;
    std::unique_ptr<AgentServiceRestarter> restarter_;
    std::unique_ptr<FileMetrics> metrics_;
    const std::string watchedFile_;
    std::string lastChecksum_;  // worker's thread only; empty until the first cycle
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_AGENTCONFIGREFRESH_H
