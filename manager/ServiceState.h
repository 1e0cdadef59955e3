// The run state of the service, as main polls it.
#ifndef QUILLMARK_MANAGER_SERVICESTATE_H
#define QUILLMARK_MANAGER_SERVICESTATE_H

namespace quillmark {

enum ServiceState {
    Starting = 1,  // Service::start
    Running = 2,   // Service::run, once the application's thread is started
    Stopping = 3,  // Service::stop, first step
    Stopped = 4,   // Service::run, when its wait has ended
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_SERVICESTATE_H
