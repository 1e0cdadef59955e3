#include "AbstractExecution.h"

#include "quillmark/Log.h"

#include <zthread/Exceptions.h>
#include <zthread/Guard.h>
#include <zthread/Thread.h>

namespace quillmark {

AbstractExecution::AbstractExecution(int intervalMs, const std::string& name)
    : intervalMs_(intervalMs),
      canceled_(false),
      runningMessage_("Running " + name),
      canceledMessage_(name + " was canceled."),
      exceptionMessage_(name + " caught exception: ") {}

AbstractExecution::~AbstractExecution() {
    if (!AbstractExecution::isCanceled()) AbstractExecution::cancel();
}

void AbstractExecution::run() {
    QM_LOG_INFO(runningMessage_);
    try {
        while (!isCanceled()) {
            execute();
            if (isCanceled()) break;
            const int pause = getInterval();
            // Thread::sleep takes an unsigned count: a negative pause would become a sleep of
            // about fifty days.
            ZThread::Thread::sleep(pause > 0 ? static_cast<unsigned long>(pause) : 0UL);
        }
    } catch (const ZThread::Interrupted_Exception& e) {
        QM_LOG_ERROR(exceptionMessage_ << e.what());
    }
}

void AbstractExecution::cancel() {
    ZThread::Guard<ZThread::FastMutex> guard(lock_);
    QM_LOG_INFO(canceledMessage_);
    canceled_ = true;
}

bool AbstractExecution::isCanceled() {
    ZThread::Guard<ZThread::FastMutex> guard(lock_);
    return canceled_;
}

}  // namespace quillmark
