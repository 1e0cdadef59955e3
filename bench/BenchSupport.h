// What the benchmarks share: framed messages, page-fault counts and a main that sets the
// daemon's memory policy before running them.
#ifndef QM_BENCH_BENCHSUPPORT_H
#define QM_BENCH_BENCHSUPPORT_H

#include "other/RequestMemory.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qmbench {

// The 13 header bytes of a framed message announcing `length` body bytes.
inline std::string framedHeader(std::uint64_t length) {
    std::string header = "QMCP";
    header.push_back(1);
    for (int i = 0; i < 8; ++i) header.push_back(static_cast<char>((length >> (8 * i)) & 0xFF));
    return header;
}

// A whole framed message: header, body and terminating zero byte.
inline std::string framedMessage(const std::string& body) {
    return framedHeader(body.size()) + body + std::string(1, '\0');
}

// A new connection to 127.0.0.1:port; -1 when it cannot be made.
inline int connectToLoopback(unsigned short port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends every byte; false when the connection fails.
inline bool sendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Runs `job` once for each call of request(), on `threads` threads of its own, so that a client
// works beside the benchmark thread; the destructor waits for the job in progress and drops the
// requests not yet started.
class OnDemand {
public:
    OnDemand(int threads, std::function<void()> job) : job_(std::move(job)) {
        for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { run(); });
    }

    ~OnDemand() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stop_ = true;
        }
        wake_.notify_all();
        for (std::thread& thread : threads_) thread.join();
    }

    OnDemand(const OnDemand&) = delete;
    OnDemand& operator=(const OnDemand&) = delete;

    void request() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            ++pending_;
        }
        wake_.notify_one();
    }

private:
    void run() {
        for (;;) {
            {
                std::unique_lock<std::mutex> guard(lock_);
                wake_.wait(guard, [this] { return stop_ || pending_ > 0; });
                if (stop_) return;
                --pending_;
            }
            job_();
        }
    }

    const std::function<void()> job_;
    std::mutex lock_;
    std::condition_variable wake_;
    int pending_ = 0;    // guarded by lock_
    bool stop_ = false;  // guarded by lock_
    std::vector<std::thread> threads_;
};

inline long minorFaults() {
    struct rusage usage;
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// Page faults per iteration since `faultsBefore`, the whole process: fresh memory is what a
// reader into a buffer allocated once does not pay for.
inline void reportFaults(benchmark::State& state, long faultsBefore) {
    state.counters["faults"] = benchmark::Counter(static_cast<double>(minorFaults() - faultsBefore),
                                                  benchmark::Counter::kAvgIterations);
}

// Runs the benchmarks named on the command line with the daemon's memory policy, as its main
// sets it.
inline int runBenchmarks(int argc, char** argv) {
    quillmark::keepLargeAllocationsApart();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

}  // namespace qmbench

#endif  // QM_BENCH_BENCHSUPPORT_H
