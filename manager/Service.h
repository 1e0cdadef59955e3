// Service: the process-wide service object. It holds the run state, the configuration object
// and the service application, runs the application on a thread of its own, blocks the daemon's
// main thread until a stop is requested, and carries out the stop.
//
// Ownership: the configuration object is the caller's (main's, for the life of the process); the
// application is held through a counted pointer, so replacing it releases the previous one once
// no thread holds it any more. The singleton is never destroyed.
//
// Threads: getInstance() first from main, before other threads exist. run() on the daemon's main
// thread; stop() on the thread that handles the stop signal; getState() from any thread.
// stateLock_ with stopCondition_ hands the stop over from stop() to run(); stop() takes it only
// after the application's lock has been released, and the logger's mutex is taken inside it.
#ifndef QUILLMARK_MANAGER_SERVICE_H
#define QUILLMARK_MANAGER_SERVICE_H

#include "ServiceApp.h"
#include "ServiceState.h"

#include <zthread/Condition.h>
#include <zthread/CountedPtr.h>
#include <zthread/FastMutex.h>

#include <atomic>
#include <ctime>

namespace quillmark {

class ConfigurationFileAccess;

class Service {
public:
    // The one Service, created on the first call.
    static Service* getInstance();
    virtual ~Service();

    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    void setConfiguration(ConfigurationFileAccess* configuration) {
        configuration_ = configuration;
    }
    ConfigurationFileAccess* getConfiguration() const { return configuration_; }
    // Takes ownership of `application`; the previous application is released.
    void setApplication(ServiceApp* application);

    // Starting, then the daemon start: detaches the process and, in the daemon, runs the service
    // until it is stopped. Throws Exception when the daemon cannot start (listening socket, PID
    // file).
    void start();
    // Starts the application's thread, then waits until stop() hands the stop over. Returns with
    // the state Stopped.
    void run();
    // The stop sequence: Stopping, close the process's agent command gate (no agent command
    // starts any more), cancel the application (which cancels the workers and closes the
    // listening socket), wait until it reports itself cancelled, then, holding stateLock_, wake
    // run() and do the daemon's part of the stop (PID file, agent). Returns 0. Must not be
    // re-entered while it runs.
    int stop();

    ServiceState getState() const { return static_cast<ServiceState>(state_.load()); }
    std::time_t getStartTime() const { return startTime_; }

private:
    Service();

    static Service* instance_;
    static ZThread::FastMutex stateLock_;
    static ZThread::Condition stopCondition_;  // bound to stateLock_

    std::atomic<int> state_;
    ZThread::CountedPtr<ServiceApp> application_;
    ConfigurationFileAccess* configuration_;
    const std::time_t startTime_;
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_SERVICE_H
