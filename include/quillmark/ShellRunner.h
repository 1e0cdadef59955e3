// ShellRunner: the task that runs one shell command in the background and drops its result, and
// remoteCommandExecutor, the process-wide executor that gives every such task a thread of its
// own.
//
// A ShellRunner keeps its own copy of the request, so the caller's request may be gone by the
// time the command runs. It is made with `new` and wrapped at once in a ZThread::Task, whose
// references own it: it is deleted after run has returned, when the last reference goes.
// Nothing waits for a background command or collects its output (which reaches only the DEBUG
// log); the process may end while one runs.
#ifndef QUILLMARK_SHELLRUNNER_H
#define QUILLMARK_SHELLRUNNER_H

#include "quillmark/MetricRequest.h"

#include <zthread/Runnable.h>
#include <zthread/ThreadedExecutor.h>

namespace quillmark {

class ShellRunner : public ZThread::Runnable {
public:
    // Copies `request`.
    explicit ShellRunner(const MetricRequest& request);
    ~ShellRunner() override;
    ShellRunner(const ShellRunner&) = delete;
    ShellRunner& operator=(const ShellRunner&) = delete;

    // Runs the command (runCommand) and deletes its result. Never throws: every failure of the
    // command is dropped.
    void run() override;

private:
    const MetricRequest request_;
};

// Starts a new thread for every task handed to it. Built during static initialisation, before
// main runs, and destroyed at process exit; the service itself never hands it a task.
extern ZThread::ThreadedExecutor remoteCommandExecutor;

}  // namespace quillmark

#endif  // QUILLMARK_SHELLRUNNER_H
