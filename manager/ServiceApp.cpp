#include "ServiceApp.h"

#include "AgentConfigRefresh.h"
#include "CommandProcessorFactory.h"
#include "Listener.h"

#include "quillmark/Log.h"

#include <zthread/Guard.h>
#include <zthread/ThreadedExecutor.h>

#include <functional>
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
        if (startWorker(executor, [&] { return new Listener(factory); })) {
            startWorker(executor, [&] { return new AgentConfigRefresh(factory); });
        }
        executor.wait();
    } catch (ZThread::Interrupted_Exception& e) {
        QM_LOG_ERROR("Caught exception: " << e.what());
        executor.interrupt();
    }
}

bool ServiceApp::startWorker(ZThread::ThreadedExecutor& executor,
                             const std::function<AbstractExecution*()>& create) {
    // Checked, created, listed and started under one hold of lock_: a cancel() either comes
    // first and no worker starts, or comes after and finds the worker in the list.
    ZThread::Guard<ZThread::FastMutex> guard(lock_);
    if (canceled_) return false;
    ZThread::CountedPtr<AbstractExecution> worker(create());
    workers_.push_back(worker);
    executor.execute(ZThread::Task(worker));
    return true;
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
