#include "other/ShellCommand.h"

#include "quillmark/Log.h"
#include "quillmark/SystemError.h"

#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

extern char** environ;

namespace quillmark {

namespace {

const char kShell[] = "/bin/sh";

// Owns a spawn attribute object for the life of one call.
class SpawnAttributes {
public:
    SpawnAttributes() : valid_(::posix_spawnattr_init(&attributes_) == 0) {}
    ~SpawnAttributes() {
        if (valid_) ::posix_spawnattr_destroy(&attributes_);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    // The child's signal mask is empty whatever the calling thread blocks.
    bool clearSignalMask() {
        sigset_t none;
        sigemptyset(&none);
        return valid_ && ::posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
               ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK) == 0;
    }
    const posix_spawnattr_t* get() const { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
    const bool valid_;
};

}  // namespace

int runShellCommand(const std::string& command) {
    SpawnAttributes attributes;
    if (!attributes.clearSignalMask()) {
        QM_LOG_ERROR("Cannot prepare the shell for command: " << command);
        return -1;
    }
    char* const arguments[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                               const_cast<char*>(command.c_str()), nullptr};
    pid_t shell = -1;
    const int error = ::posix_spawn(&shell, kShell, nullptr, attributes.get(), arguments, environ);
    if (error != 0) {
        QM_LOG_ERROR(systemErrorText("Cannot start " + std::string(kShell) + " for command: " +
                                         command,
                                     error));
        return -1;
    }
    int status = 0;
    // The daemon's threads are interrupted by signals now and then; the shell is still running.
    while (::waitpid(shell, &status, 0) < 0) {
        if (errno != EINTR) {
            QM_LOG_ERROR(systemErrorText("Cannot wait for the shell of command: " + command, errno));
            return -1;
        }
    }
    return status;
}

}  // namespace quillmark
