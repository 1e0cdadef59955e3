#include "other/ShellCommand.h"

#include "quillmark/Log.h"
#include "quillmark/ShellSpawn.h"
#include "quillmark/SystemError.h"

namespace quillmark {

int runShellCommand(const std::string& command) {
    int error = 0;
    const pid_t shell = spawnShell(command, error);
    if (shell < 0) {
        QM_LOG_ERROR(systemErrorText("Cannot start /bin/sh for command: " + command, error));
        return -1;
    }
    const int status = waitForShell(shell, error);
    if (status < 0) {
        QM_LOG_ERROR(systemErrorText("Cannot wait for the shell of command: " + command, error));
    }
    return status;
}

}  // namespace quillmark
