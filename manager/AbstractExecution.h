// AbstractExecution: the periodic worker. run() repeats one cycle of work (execute()) with a
// pause of getInterval() milliseconds after each, until the worker is cancelled.
//
// The worker's name is not kept; it only builds the three log texts ("Running <name>",
// "<name> was canceled.", "<name> caught exception: "). The first cycle runs as soon as the
// thread starts. Cancelling neither shortens a pause nor stops a cycle in progress: the loop
// sees the flag before the next cycle and before each pause, so a sleeping worker ends at the
// latest one pause after cancel(). A cancelled worker stays cancelled and cannot be restarted.
//
// Only ZThread::Interrupted_Exception is handled (an ERROR line, then run() returns); any other
// exception from execute() leaves run() and ends the worker's thread. Derived classes handle
// their own failures inside execute(), reporting them after exceptionMessage().
//
// Ownership: the worker is usually handed to a ZThread::ThreadedExecutor as a ZThread::Task,
// which owns it and destroys it once its thread has ended.
//
// Threads: run(), execute() and getInterval() run on the worker's own thread, and intervalMs_
// belongs to it. cancel() and isCanceled() may be called from any thread; lock_ guards
// canceled_. cancel() logs while holding lock_, so lock_ comes before the logger's mutex in the
// lock order; a derived cancel() may take its own locks before calling this one, never after.
#ifndef QUILLMARK_MANAGER_ABSTRACTEXECUTION_H
#define QUILLMARK_MANAGER_ABSTRACTEXECUTION_H

#include "Workable.h"

#include <zthread/FastMutex.h>

#include <string>

namespace quillmark {

class AbstractExecution : public Workable {
public:
    // `intervalMs` is the pause after each cycle until execute() changes it; `name` names the
    // worker in its log lines.
    AbstractExecution(int intervalMs, const std::string& name);
    // Cancels the worker (AbstractExecution::cancel, never a derived override) when nobody did,
    // so a worker destroyed uncancelled still writes its "<name> was canceled." line.
    ~AbstractExecution() override;

    AbstractExecution(const AbstractExecution&) = delete;
    AbstractExecution& operator=(const AbstractExecution&) = delete;

    // The worker's loop: INFO "Running <name>", then cycles and pauses until isCanceled()
    // reports true. An interruption (in a cycle or a pause) writes ERROR "<name> caught
    // exception: " with the exception's text and ends the loop. Other exceptions propagate.
    void run() override;
    // Sets the cancelled flag, writing INFO "<name> was canceled." under lock_; every call
    // writes the line again. Any thread.
    void cancel() override;
    // Whether cancel() has run. Any thread.
    bool isCanceled() override;

    // One cycle of work, on the worker's thread.
    virtual void execute() = 0;
    // The pause in milliseconds after the cycle that just finished; a negative value is taken
    // as no pause.
    virtual int getInterval() = 0;

protected:
    // "<name> caught exception: ", the start of the line that reports a failed cycle.
    const std::string& exceptionMessage() const { return exceptionMessage_; }

    std::string text_;  // kept because the system's interfaces name it; nothing reads it
    // The pause after each cycle; execute() may change it. Worker's thread only.
    int intervalMs_;

private:
    bool canceled_;  // guarded by lock_
    const std::string runningMessage_;
    const std::string canceledMessage_;
    const std::string exceptionMessage_;
    ZThread::FastMutex lock_;
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_ABSTRACTEXECUTION_H
