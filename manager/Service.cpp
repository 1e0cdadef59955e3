#include "Service.h"

#include "AgentCommandGate.h"
#include "other/ServiceImpl.h"

#include <zthread/Guard.h>
#include <zthread/Thread.h>

namespace quillmark {

// Built by this unit's static initialisation, the mutex before the condition bound to it.
Service* Service::instance_ = nullptr;
ZThread::FastMutex Service::stateLock_;
ZThread::Condition Service::stopCondition_(Service::stateLock_);

Service::Service() : state_(0), configuration_(nullptr), startTime_(std::time(nullptr)) {}

Service::~Service() {}

Service* Service::getInstance() {
    if (instance_ == nullptr) instance_ = new Service();
    return instance_;
}

void Service::setApplication(ServiceApp* application) {
    application_ = ZThread::CountedPtr<ServiceApp>(application);
}

void Service::start() {
    state_ = Starting;
    ServiceImpl::start();
}

void Service::run() {
    {
        // The thread holds its own reference to the application; the object is not joined.
        ZThread::Task task(application_);
        ZThread::Thread thread(task);
    }
    state_ = Running;
    ZThread::Guard<ZThread::FastMutex> guard(stateLock_);
    // A condition may wake without a signal: only a stop ends the wait.
    while (state_ != Stopping) stopCondition_.wait();
    state_ = Stopped;
}

int Service::stop() {
    state_ = Stopping;
    // From here on no agent command may start: one started now would outlive the manager.
    AgentCommandGate::forProcess().close();
    if (application_) {
        application_->cancel();
        while (!application_->isCanceled()) ZThread::Thread::sleep(1000);
    }
    ZThread::Guard<ZThread::FastMutex> guard(stateLock_);
    stopCondition_.signal();
    return ServiceImpl::stop();
}

}  // namespace quillmark
