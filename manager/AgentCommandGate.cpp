#include "AgentCommandGate.h"

namespace quillmark {

AgentCommandGate& AgentCommandGate::forProcess() {
    // Never destroyed: the stop path ends the process while worker threads may still hold passes.
    static AgentCommandGate* const gate = new AgentCommandGate();
    return *gate;
}

void AgentCommandGate::close() {
    std::lock_guard<std::mutex> guard(lock_);
    closed_ = true;
}

bool AgentCommandGate::isClosed() {
    std::lock_guard<std::mutex> guard(lock_);
    return closed_;
}

bool AgentCommandGate::waitUntilIdle(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(lock_);
    return idle_.wait_for(guard, limit, [this] { return running_ == 0; });
}

bool AgentCommandGate::enter() {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) return false;
    ++running_;
    return true;
}

void AgentCommandGate::leave() {
    std::lock_guard<std::mutex> guard(lock_);
    if (--running_ == 0) idle_.notify_all();
}

}  // namespace quillmark
