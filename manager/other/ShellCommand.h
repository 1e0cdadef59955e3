// Running one command text through the shell for the manager: the agent's service commands,
// the temp directory's "rm -rf" and "mkdir", and the upgrade script with its "chmod".
//
// The shell is started by spawnShell (ShellSpawn.h), which leaves the process's signal
// dispositions alone: a stop signal that arrives while a command runs still stops the daemon.
// The shell starts with every signal at its default action and an empty signal mask, whatever
// the daemon ignores or the calling thread blocks, so the agent and the upgrade script run as
// an init system would start them.
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
