#include "quillmark/ShellSpawn.h"

#include "quillmark/FileHandle.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
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

    // 0 or the error number. `standardOutput` -1 keeps the process's own.
    int prepare(int standardOutput) {
        if (!attributesValid_ || !actionsValid_) return ENOMEM;
        sigset_t none;
        sigemptyset(&none);
        // Every bit set, not sigfillset: that leaves out the two signals the C library keeps for
        // its threads, and the spawned child would then keep them ignored across exec. The C
        // library resets to the default every signal of the set that it can.
        sigset_t every;
        std::memset(&every, 0xff, sizeof every);
        int error = ::posix_spawnattr_setsigmask(&attributes_, &none);
        if (error == 0) error = ::posix_spawnattr_setsigdefault(&attributes_, &every);
        if (error == 0) {
            error = ::posix_spawnattr_setflags(&attributes_,
                                               POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        }
        if (error == 0 && standardOutput >= 0) {
            error = ::posix_spawn_file_actions_adddup2(&actions_, standardOutput, STDOUT_FILENO);
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

pid_t spawnWithOutput(const std::string& command, int standardOutput, int& error) {
    SpawnSetup setup;
    error = setup.prepare(standardOutput);
    if (error != 0) return -1;
    char shellName[] = "sh";
    char option[] = "-c";
    char* const arguments[] = {shellName, option, const_cast<char*>(command.c_str()), nullptr};
    pid_t shell = -1;
    error = ::posix_spawn(&shell, kShell, setup.actions(), setup.attributes(), arguments, environ);
    return error == 0 ? shell : -1;
}

}  // namespace

pid_t spawnShell(const std::string& command, int& error) {
    return spawnWithOutput(command, -1, error);
}

pid_t spawnShellReadingOutput(const std::string& command, int& output, int& error) {
    output = -1;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        error = errno;
        return -1;
    }
    Descriptor readEnd(ends[0]);
    // Closed here once the shell holds its copy, so the reader sees the end of the output when
    // the shell and what it started have closed theirs.
    const Descriptor writeEnd(ends[1]);
    const pid_t shell = spawnWithOutput(command, writeEnd.get(), error);
    if (shell >= 0) output = readEnd.release();
    return shell;
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
