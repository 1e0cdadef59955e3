// AgentCommandGate: admits the agent's service commands until the manager's stop begins, and
// lets the stop wait for a command that is already running.
//
// Once the stop sequence has begun no start, stop or restart command of the configuration watch
// may run any more: a start that began afterwards would leave the agent running with no manager.
// A start that is already running when the stop begins is waited for, so that the stop knows
// whether it started the agent. The process has one gate (forProcess), shared by every
// restarter; other gates serve tests.
//
// Threads: any thread. lock_ is a leaf lock: nothing else is taken, and no command runs, while
// it is held.
#ifndef QUILLMARK_MANAGER_AGENTCOMMANDGATE_H
#define QUILLMARK_MANAGER_AGENTCOMMANDGATE_H

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace quillmark {

class AgentCommandGate {
public:
    // Admission of one command for the life of the object, when the gate was open.
    class Pass {
    public:
        explicit Pass(AgentCommandGate& gate) : gate_(gate), admitted_(gate.enter()) {}
        ~Pass() {
            if (admitted_) gate_.leave();
        }
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;

        // False when the gate was closed: the command must not run.
        explicit operator bool() const { return admitted_; }

    private:
        AgentCommandGate& gate_;
        const bool admitted_;
    };

    AgentCommandGate() = default;
    AgentCommandGate(const AgentCommandGate&) = delete;
    AgentCommandGate& operator=(const AgentCommandGate&) = delete;

    // The process's gate; never destroyed before the process ends.
    static AgentCommandGate& forProcess();

    // Refuses every later admission; the commands already admitted go on. Calling it again
    // changes nothing.
    void close();
    bool isClosed();
    // Waits until no admitted command is running, at most `limit`. True when none is.
    bool waitUntilIdle(std::chrono::milliseconds limit);

private:
    bool enter();
    void leave();

    std::mutex lock_;
    std::condition_variable idle_;  // notified when running_ drops to 0
    bool closed_ = false;           // guarded by lock_
    int running_ = 0;               // guarded by lock_
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_AGENTCOMMANDGATE_H
