// A stand-in for fork(2), loaded into a program under test with LD_PRELOAD, that fails one chosen
// call as a process limit would. With QM_FAIL_FORK=<n> the n-th call of fork fails with EAGAIN;
// the count is the process's own and a child inherits it, so in a program that forks and forks
// again in the child, 1 fails the first fork and 2 the second. Every other call, and every call
// without the variable, goes to the next fork in the lookup order (the C library's).
#include <dlfcn.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

int forksSoFar = 0;

}  // namespace

extern "C" pid_t fork(void) {
    using ForkFunction = pid_t (*)(void);
    static const ForkFunction nextFork = reinterpret_cast<ForkFunction>(::dlsym(RTLD_NEXT, "fork"));
    ++forksSoFar;
    const char* chosen = std::getenv("QM_FAIL_FORK");
    if ((chosen != nullptr && std::atoi(chosen) == forksSoFar) || nextFork == nullptr) {
        errno = EAGAIN;
        return -1;
    }
    return nextFork();
}
