// Running one command text through the shell for the manager: the agent's service commands,
// the temp directory's "rm -rf" and "mkdir", and the upgrade script with its "chmod".
//
// system(3) is not used because it sets SIGINT and SIGQUIT to ignored in the whole process for as
// long as its child runs: in the daemon a stop signal that arrives meanwhile would be lost.
// runShellCommand starts "/bin/sh -c <command>" with posix_spawn and waits for it, leaving the
// process's signal dispositions and every thread's signal mask as they are. The shell starts
// with an empty signal mask (a calling thread that blocks signals does not pass that on); a
// signal the process catches is at its default in the shell, as exec makes it; a signal the
// process ignores stays ignored, as under system(3). The shell inherits the environment, the
// working directory, the umask and the standard descriptors (every other descriptor of the
// process is close-on-exec).
//
// Threads: any thread may call; the call blocks the calling thread until the shell has ended.
#ifndef QUILLMARK_MANAGER_OTHER_SHELLCOMMAND_H
#define QUILLMARK_MANAGER_OTHER_SHELLCOMMAND_H

#include <string>

namespace quillmark {

// Runs `command` through "/bin/sh -c" and waits for the shell to end. Returns its wait status as
// system(3) does, so 0 means that it exited with status 0 and anything else is a failure: a
// nonzero exit status, an end by a signal, or -1 when the shell could not be started or waited
// for (logged at ERROR level). Never throws.
int runShellCommand(const std::string& command);

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_OTHER_SHELLCOMMAND_H
