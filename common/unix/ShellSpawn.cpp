#include "quillmark/ShellSpawn.h"

#include <cerrno>
#include <csignal>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace quillmark {

namespace {

const char kShell[] = "/bin/sh";

// The spawn attributes and file actions of one call, released on every path.
class SpawnSetup {
public:
    SpawnSetup()
        : attributesValid_(::posix_spawnattr_init(&attributes_) == 0),
          actionsValid_(::posix_spawn_file_actions_init(&actions_) == 0) {}
    ~SpawnSetup() {
        if (attributesValid_) ::posix_spawnattr_destroy(&attributes_);
        if (actionsValid_) ::posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // 0 or the error number.
    int prepare(const ShellSpawnOptions& options) {
        if (!attributesValid_ || !actionsValid_) return ENOMEM;
        sigset_t none;
        sigemptyset(&none);
        short flags = POSIX_SPAWN_SETSIGMASK;
        int error = ::posix_spawnattr_setsigmask(&attributes_, &none);
        if (error == 0 && options.defaultSigpipe) {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            error = ::posix_spawnattr_setsigdefault(&attributes_, &pipe);
            flags |= POSIX_SPAWN_SETSIGDEF;
        }
        if (error == 0) error = ::posix_spawnattr_setflags(&attributes_, flags);
        if (error == 0 && options.standardOutput >= 0) {
            error = ::posix_spawn_file_actions_adddup2(&actions_, options.standardOutput,
                                                       STDOUT_FILENO);
        }
        return error;
    }

    const posix_spawnattr_t* attributes() const { return &attributes_; }
    const posix_spawn_file_actions_t* actions() const { return &actions_; }

private:
    posix_spawnattr_t attributes_;
    posix_spawn_file_actions_t actions_;
    const bool attributesValid_;
    const bool actionsValid_;
};

}  // namespace

pid_t spawnShell(const std::string& command, const ShellSpawnOptions& options, int& error) {
    SpawnSetup setup;
    error = setup.prepare(options);
    if (error != 0) return -1;
    char shellName[] = "sh";
    char option[] = "-c";
    char* const arguments[] = {shellName, option, const_cast<char*>(command.c_str()), nullptr};
    pid_t shell = -1;
    error = ::posix_spawn(&shell, kShell, setup.actions(), setup.attributes(), arguments, environ);
    return error == 0 ? shell : -1;
}

int waitForShell(pid_t pid, int& error) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            error = errno;
            return -1;
        }
    }
    error = 0;
    return status;
}

}  // namespace quillmark
