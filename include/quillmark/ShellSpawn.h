// Starting "/bin/sh -c <command>" without system(3) or popen(3), as an init system starts a
// service.
//
// system(3) sets SIGINT and SIGQUIT to ignored in the whole process while its child runs, so a
// stop signal that arrives meanwhile would be lost; popen(3) and system(3) pass the calling
// thread's blocked signals and the process's ignored signals on to the command. The daemon
// ignores SIGPIPE and SIGHUP and blocks its stop signals on most threads, and a command that
// inherited that would never end on a closed pipe (a writer into "head -n1" loops for ever) and
// would hand the same dispositions on to the agent it starts. So every shell started here has
// every signal at its default action and an empty signal mask, and the process's own
// dispositions and masks stay as they are. The shell inherits the environment, the working
// directory, the umask and the standard descriptors (every other descriptor of the process is
// close-on-exec).
//
// Any thread may call these; each call concerns only the shell it names.
#ifndef QUILLMARK_SHELLSPAWN_H
#define QUILLMARK_SHELLSPAWN_H

#include <string>

#include <sys/types.h>

namespace quillmark {

// Starts the shell on `command` with the process's standard descriptors. Returns its process
// id, or -1 with the error number in `error`. The caller must wait for the process
// (waitForShell).
pid_t spawnShell(const std::string& command, int& error);

// The same with the shell's standard output on a new pipe: on success `output` is the pipe's
// read end, close-on-exec and owned by the caller (the shell holds the only write end). Returns
// -1 with the error number in `error`, and `output` -1, when the pipe or the shell cannot be
// made.
pid_t spawnShellReadingOutput(const std::string& command, int& output, int& error);

// Waits for the shell `pid` to end, retrying when a signal interrupts the wait. Returns its wait
// status (0 when it exited with status 0), or -1 with the error number in `error`.
int waitForShell(pid_t pid, int& error);

}  // namespace quillmark

#endif  // QUILLMARK_SHELLSPAWN_H
