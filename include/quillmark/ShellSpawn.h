// Starting "/bin/sh -c <command>" without system(3) or popen(3).
//
// system(3) sets SIGINT and SIGQUIT to ignored in the whole process while its child runs, so a
// stop signal that arrives meanwhile would be lost; popen(3) passes the calling thread's blocked
// signals on to the command. spawnShell leaves the process's signal dispositions and every
// thread's signal mask as they are. The shell starts with an empty signal mask; a signal the
// process catches is at its default in the shell, as exec makes it; a signal the process ignores
// stays ignored unless the caller asks for SIGPIPE's default. The shell inherits the
// environment, the working directory, the umask and the standard descriptors (every other
// descriptor of the process is close-on-exec).
//
// Any thread may call these; each call concerns only the shell it names.
#ifndef QUILLMARK_SHELLSPAWN_H
#define QUILLMARK_SHELLSPAWN_H

#include <string>

#include <sys/types.h>

namespace quillmark {

struct ShellSpawnOptions {
    // The descriptor the shell gets as its standard output; -1 keeps the process's own.
    int standardOutput = -1;
    // SIGPIPE at its default action in the shell even when the process ignores it, so that a
    // command whose reader has gone ends as it would from a shell prompt.
    bool defaultSigpipe = false;
};

// Starts the shell on `command`. Returns its process id, or -1 with the error number in `error`.
// The caller must wait for the process (waitForShell).
pid_t spawnShell(const std::string& command, const ShellSpawnOptions& options, int& error);

// Waits for the shell `pid` to end, retrying when a signal interrupts the wait. Returns its wait
// status (0 when it exited with status 0), or -1 with the error number in `error`.
int waitForShell(pid_t pid, int& error);

}  // namespace quillmark

#endif  // QUILLMARK_SHELLSPAWN_H
