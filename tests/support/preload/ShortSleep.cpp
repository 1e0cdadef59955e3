// Preloaded into the daemon by end-to-end tests (LD_PRELOAD), so that they need not wait out the
// daemon's long pauses: the configuration watch's 30000 ms between cycles becomes 300 ms.
//
// It defines ZThread::Thread::sleep(unsigned long) (the library's symbol
// _ZN7ZThread6Thread5sleepEm), which the dynamic linker then binds in place of the library's
// own, and hands every pause on to the library's function: pauses of kLongPauseMs or more
// divided by kDivisor, shorter ones (the Listener's 1 and 3000 ms) unchanged. The product
// carries no test hook of its own.
#include <zthread/Thread.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>

namespace {

const unsigned long kLongPauseMs = 10000;
const unsigned long kDivisor = 100;

typedef void (*SleepFunction)(unsigned long);

SleepFunction librarySleep() {
    static const SleepFunction next =
        reinterpret_cast<SleepFunction>(::dlsym(RTLD_NEXT, "_ZN7ZThread6Thread5sleepEm"));
    if (next == nullptr) {
        std::fputs("ShortSleep: ZThread::Thread::sleep not found\n", stderr);
        std::abort();
    }
    return next;
}

}  // namespace

void ZThread::Thread::sleep(unsigned long milliseconds) {
    librarySleep()(milliseconds >= kLongPauseMs ? milliseconds / kDivisor : milliseconds);
}
