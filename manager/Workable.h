// Workable: the common base of everything the service runs on a thread of its own (the two
// workers and the service application).
//
// A Workable is a ZThread::Runnable, so it can be handed to the threads library as a
// ZThread::Task (which then owns it), and a ZThread::Cancelable, so another thread can ask it to
// stop. The flag is a spare marker kept for derived classes; nothing in the service reads it.
//
// Threads: run() runs on the object's own thread; cancel() and isCanceled() may be called from
// any thread and must be made safe for that by the derived class. setFlag() and getFlag() take no
// lock: call them from one thread, or before the object is shared.
#ifndef QUILLMARK_MANAGER_WORKABLE_H
#define QUILLMARK_MANAGER_WORKABLE_H

#include <zthread/Cancelable.h>
#include <zthread/Runnable.h>

namespace quillmark {

class Workable : public ZThread::Runnable, public ZThread::Cancelable {
public:
    Workable() : flag_(false) {}
    ~Workable() override {}

    // The object's work; returns when it is done, cancelled or interrupted.
    void run() override = 0;
    // Sets the marker to true; it never returns to false.
    virtual void setFlag() { flag_ = true; }
    // The marker: false until setFlag() has run.
    virtual bool getFlag() { return flag_; }

    // From ZThread::Cancelable: cancel() asks the object to stop, isCanceled() tells whether
    // that has been asked.

private:
    bool flag_;
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_WORKABLE_H
