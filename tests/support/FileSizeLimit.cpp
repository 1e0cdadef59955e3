#include "support/FileSizeLimit.h"

#include "support/ForkedCall.h"

#include <csignal>

#include <sys/resource.h>

namespace qmtest {

std::string runWithFileSizeLimit(long limitBytes, const std::function<std::string()>& operation) {
    return runForked(
        [limitBytes] {
            std::signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit;
            limit.rlim_cur = static_cast<rlim_t>(limitBytes);
            limit.rlim_max = static_cast<rlim_t>(limitBytes);
            return ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
        },
        operation);
}

}  // namespace qmtest
