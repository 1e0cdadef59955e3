// ServiceApp: the service application. On its own thread it creates the one command processor
// factory and the two workers, the Listener and the AgentConfigRefresh, runs each on a thread of
// a thread-per-task executor and waits for them. cancel() cancels both workers.
//
// Ownership: each worker is owned by the reference-counted task that runs it; the list kept for
// cancel() holds references of the same count, so a worker whose thread ended early is still
// alive when cancel() reaches it. The factory is shared by the two workers and destroyed after
// the last of them.
//
// Threads: run() on the application's thread; cancel() and isCanceled() from any thread. lock_
// guards canceled_ and workers_ and comes before the Listener's socket lock, the workers' own
// mutexes and the logger's mutex.
#ifndef QUILLMARK_MANAGER_SERVICEAPP_H
#define QUILLMARK_MANAGER_SERVICEAPP_H

#include "AbstractExecution.h"
#include "Workable.h"

#include <zthread/CountedPtr.h>
#include <zthread/FastMutex.h>

#include <functional>
#include <string>
#include <vector>

namespace ZThread {
class ThreadedExecutor;
}

namespace quillmark {

class ConfigurationFileAccess;

class ServiceApp : public Workable {
public:
    // `configuration` is not owned and must outlive the application.
    explicit ServiceApp(ConfigurationFileAccess* configuration);
    ~ServiceApp() override;

    ServiceApp(const ServiceApp&) = delete;
    ServiceApp& operator=(const ServiceApp&) = delete;

    // Starts the workers and waits until both have ended. Once cancel() has run no further
    // worker is created or started, so a stop that comes first leaves run() with nothing to wait
    // for. An exception from creating a worker (no listening socket) leaves run().
    void run() override;
    // Cancels every running worker in start order (the Listener first, which closes the
    // listening socket), forgets them and marks the application cancelled.
    void cancel() override;
    bool isCanceled() override;

private:
    // Creates a worker with `create`, lists it and starts it on `executor`, unless cancel() has
    // already run. Returns whether it was started.
    bool startWorker(ZThread::ThreadedExecutor& executor,
                     const std::function<AbstractExecution*()>& create);

    static ZThread::FastMutex lock_;
    bool canceled_;     // guarded by lock_
    std::string text_;  // kept because the system's interfaces name it; nothing reads it
    std::vector<ZThread::CountedPtr<AbstractExecution>> workers_;  // guarded by lock_
    ConfigurationFileAccess* configuration_;
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_SERVICEAPP_H
