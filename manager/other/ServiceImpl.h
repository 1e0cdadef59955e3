// ServiceImpl: the Unix side of the service. start() turns the started program into a daemon
// (output appended to the log file, listening socket opened while still attached, double fork,
// working directory "/", umask 002, priority 5, locked PID file, stop signals) and runs the
// service; stop() removes the PID file and stops the monitoring agent when this process started
// it.
//
// Stop signals. SIGINT, SIGQUIT and SIGTERM are caught by a handler that only writes the signal
// number into a close-on-exec pipe; a thread of this unit reads the pipe and runs onSignal() in
// ordinary thread context. So the stop sequence, which logs, takes the service's mutexes and runs
// the agent's stop command, never runs on a thread interrupted while holding one of those
// mutexes, and a second stop signal while one is being handled starts nothing. The stop signals
// are held back only from the PID file's creation until the handler is in place, and on the
// signal thread; the shell commands the manager runs start with an empty signal mask
// (runShellCommand), so they receive signals normally, the agent's stop command included.
//
// Ending the process: the stop path ends with status 255 through endProcess(), which flushes the
// standard streams and calls _exit: the threads library's clean-up at exit would otherwise wait
// for the worker threads (the Listener may still be in accept, the configuration watch in its
// pause). Log lines are written unbuffered, so nothing is lost.
//
// Threads: start() runs on the only thread up to Service::run. stop() runs on the signal thread
// while Service::stop holds the service's state lock.
#ifndef QUILLMARK_MANAGER_OTHER_SERVICEIMPL_H
#define QUILLMARK_MANAGER_OTHER_SERVICEIMPL_H

#include <string>

namespace quillmark {
namespace ServiceImpl {

// The daemon start; returns 0 in the daemon once Service::run has returned. The launching
// process and the first child end with status 0 after their fork. Relative "ManagerLogFile" and
// "ManagerPidFile" paths are resolved against the launch directory before the forks. Throws
// Exception (after a FATAL line) when "ManagerPort" is not a whole number from 1 to 65535, when
// the listening socket or the PID file cannot be set up, and when a fork fails (the process
// whose fork failed then ends with status 255 through main).
int start();
// Removes the PID file this process created (whatever "ManagerPidFile" says by now; nothing when
// it created none) and stops the agent when a start command of this process has succeeded.
// Returns 0.
int stop();

// Creates (or replaces a stale) PID file holding the process id, keeps it open and write-locked
// for the life of the process. Throws Exception after a FATAL line when it cannot be opened or
// created, or when another process holds its lock.
void createPidFile(const std::string& path);
// Unlocks, closes and unlinks the PID file this process created when `path` names it; any other
// path is left alone. A failed unlink is logged at DEBUG level.
void removePidFile(const std::string& path);

// What the daemon does with a signal: 2, 3 and 15 run the stop sequence once and end the process
// with status 255; 13 and 14 and every other number are logged at WARN level and ignored.
void onSignal(int number);
// SIGCHLD ends the process with status 255 after a WARN line; other numbers go to onSignal.
void onChildSignal(int number);
// Routes SIGCHLD to onChildSignal. Not used by the service's own start.
void installChildHandler();

// True once a stop signal's sequence has begun; the process then ends on the signal thread.
bool stopInProgress();
// Flushes the standard streams and ends the process at once with `status`, without the
// library clean-up that would wait for running threads.
[[noreturn]] void endProcess(int status);

}  // namespace ServiceImpl
}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_OTHER_SERVICEIMPL_H
