#include "ServiceApp.h"

#include "AgentConfigRefresh.h"
#include "CommandProcessorFactory.h"
#include "Listener.h"

#include "quillmark/Log.h"

#include <zthread/Guard.h>
#include <zthread/ThreadedExecutor.h>

#include <memory>

namespace quillmark {

ZThread::FastMutex ServiceApp::lock_;

ServiceApp::ServiceApp(ConfigurationFileAccess* configuration)
    : canceled_(false), configuration_(configuration) {}

ServiceApp::~ServiceApp() {}

void ServiceApp::run() {
    QM_LOG_DEBUG("Starting Quillmark Agent Manager service application.");
    ZThread::ThreadedExecutor executor;
    try {
        QM_LOG_DEBUG("Starting Quillmark Agent Manager workers.");
        auto factory = std::make_shared<CommandProcessorFactory>(configuration_);

        ZThread::CountedPtr<AbstractExecution> listener(new Listener(factory));
        {
            ZThread::Guard<ZThread::FastMutex> guard(lock_);
            workers_.push_back(listener);
        }
        executor.execute(ZThread::Task(listener));

        ZThread::CountedPtr<AbstractExecution> refresh(new AgentConfigRefresh(factory));
        {
            ZThread::Guard<ZThread::FastMutex> guard(lock_);
            workers_.push_back(refresh);
        }
        executor.execute(ZThread::Task(refresh));

        executor.wait();
    } catch (ZThread::Interrupted_Exception& e) {
        QM_LOG_ERROR("Caught exception: " << e.what());
        executor.interrupt();
    }
}

void ServiceApp::cancel() {
    ZThread::Guard<ZThread::FastMutex> guard(lock_);
    for (ZThread::CountedPtr<AbstractExecution>& worker : workers_) worker->cancel();
    workers_.clear();
    canceled_ = true;
    QM_LOG_DEBUG("Quillmark Agent Manager service thread was canceled.");
}

bool ServiceApp::isCanceled() {
    ZThread::Guard<ZThread::FastMutex> guard(lock_);
    return canceled_;
}

}  // namespace quillmark
