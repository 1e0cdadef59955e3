// Points standard error at /dev/null for the life of an object, for benchmarks of code that
// reports there on every call.
#ifndef QM_BENCH_QUIETSTANDARDERROR_H
#define QM_BENCH_QUIETSTANDARDERROR_H

#include <fcntl.h>
#include <unistd.h>

namespace qmbench {

// Points standard error at /dev/null for the life of the object, for code that reports there
// on every call.
class QuietStandardError {
public:
    QuietStandardError() : saved_(::fcntl(2, F_DUPFD_CLOEXEC, 3)) {
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) {
            ::dup2(null, 2);
            ::close(null);
        }
    }
    ~QuietStandardError() {
        if (saved_ < 0) return;
        ::dup2(saved_, 2);
        ::close(saved_);
    }
    QuietStandardError(const QuietStandardError&) = delete;
    QuietStandardError& operator=(const QuietStandardError&) = delete;

private:
    int saved_;
};

}  // namespace qmbench

#endif  // QM_BENCH_QUIETSTANDARDERROR_H
