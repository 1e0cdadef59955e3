// Preloaded into the daemon by end-to-end tests of the PID file (LD_PRELOAD), so that a test
// can act while the daemon is between two steps. With QM_SLOW_PID_FILE=<path> and
// QM_SLOW_PID_FILE_MS=<n>, taking a write lock on the file at that path (fcntl F_SETLK with
// F_WRLCK) and unlinking that path each wait n milliseconds first; every other call, and every
// call without the variables, goes straight to the next function in the lookup order (the C
// library's).
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

const char* slowPath() { return std::getenv("QM_SLOW_PID_FILE"); }

void holdBack() {
    const char* text = std::getenv("QM_SLOW_PID_FILE_MS");
    const long milliseconds = text != nullptr ? std::atol(text) : 0;
    struct timespec wait = {milliseconds / 1000, (milliseconds % 1000) * 1000000};
    while (::nanosleep(&wait, &wait) != 0) {
    }
}

bool namesSlowPath(int fd) {
    const char* path = slowPath();
    if (path == nullptr) return false;
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[4096];
    const ssize_t length = ::readlink(link, target, sizeof target - 1);
    if (length <= 0) return false;
    target[length] = '\0';
    return std::strcmp(target, path) == 0;
}

}  // namespace

// Every command's argument is passed on as the one pointer-sized value the C library's own
// fcntl reads.
extern "C" int fcntl(int fd, int command, ...) {
    typedef int (*FcntlFunction)(int, int, ...);
    static const FcntlFunction next = reinterpret_cast<FcntlFunction>(::dlsym(RTLD_NEXT, "fcntl"));
    if (next == nullptr) std::abort();
    va_list arguments;
    va_start(arguments, command);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (command == F_SETLK && argument != nullptr &&
        static_cast<struct flock*>(argument)->l_type == F_WRLCK && namesSlowPath(fd)) {
        holdBack();
    }
    return next(fd, command, argument);
}

extern "C" int unlink(const char* path) {
    typedef int (*UnlinkFunction)(const char*);
    static const UnlinkFunction next =
        reinterpret_cast<UnlinkFunction>(::dlsym(RTLD_NEXT, "unlink"));
    if (next == nullptr) std::abort();
    const char* slow = slowPath();
    if (slow != nullptr && std::strcmp(path, slow) == 0) holdBack();
    return next(path);
}
