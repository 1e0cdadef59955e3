// Receive throughput of framed requests over loopback: TcpSenderReceiver::receive, as the
// listener calls it (a new connection and a new payload per request, handed back to the
// transport after use), against a plain read() loop into a buffer allocated once, on the same
// kind of accepted connection.
//
// A writer thread connects once per iteration and sends one framed message (header, body, zero
// byte); the benchmark thread accepts and receives. Bytes per second count the body only.
#include "TcpSenderReceiver.h"
#include "other/RequestMemory.h"
#include "quillmark/Socket.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string framedMessage(std::size_t bodySize) {
    std::string message = "QMCP";
    message.push_back(1);
    for (int i = 0; i < 8; ++i) {
        const std::uint64_t length = bodySize;
        message.push_back(static_cast<char>((length >> (8 * i)) & 0xFF));
    }
    std::string body(bodySize, '\0');
    for (std::size_t i = 0; i < bodySize; ++i) body[i] = static_cast<char>(i * 131);
    return message + body + std::string(1, '\0');
}

// Sends `message` on a new connection to 127.0.0.1:port each time request() is called.
class Writer {
public:
    Writer(unsigned short port, std::string message)
        : port_(port), message_(std::move(message)), thread_([this] { run(); }) {}

    ~Writer() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

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
            sendOnce();
        }
    }

    void sendOnce() {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return;
        struct sockaddr_in peer;
        std::memset(&peer, 0, sizeof peer);
        peer.sin_family = AF_INET;
        peer.sin_port = htons(port_);
        peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) {
            std::size_t done = 0;
            while (done < message_.size()) {
                const ssize_t n =
                    ::send(fd, message_.data() + done, message_.size() - done, MSG_NOSIGNAL);
                if (n <= 0) break;
                done += static_cast<std::size_t>(n);
            }
        }
        ::close(fd);
    }

    const unsigned short port_;
    const std::string message_;
    std::mutex lock_;
    std::condition_variable wake_;
    int pending_ = 0;    // guarded by lock_
    bool stop_ = false;  // guarded by lock_
    std::thread thread_;
};

long minorFaults() {
    struct rusage usage;
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

// Page faults per request: fresh payload memory is what separates the framed receive from a
// read into a buffer allocated once.
void reportFaults(benchmark::State& state, long faultsBefore) {
    state.counters["faults"] = benchmark::Counter(static_cast<double>(minorFaults() - faultsBefore),
                                                  benchmark::Counter::kAvgIterations);
}

unsigned short listenOnLoopback(quillmark::Socket& listening) {
    if (listening.create() != 0 || listening.listen(0, "127.0.0.1") != 0) return 0;
    struct sockaddr_in local;
    socklen_t size = sizeof local;
    if (::getsockname(listening.getChannel(), reinterpret_cast<sockaddr*>(&local), &size) != 0) {
        return 0;
    }
    return ntohs(local.sin_port);
}

void BM_TcpSenderReceiverReceive(benchmark::State& state) {
    const std::size_t bodySize = static_cast<std::size_t>(state.range(0));
    quillmark::Socket listening;
    const unsigned short port = listenOnLoopback(listening);
    if (port == 0) {
        state.SkipWithError("cannot listen on 127.0.0.1");
        return;
    }
    Writer writer(port, framedMessage(bodySize));
    quillmark::TcpSenderReceiver transport;
    const long faultsBefore = minorFaults();
    for (auto _ : state) {
        writer.request();
        if (listening.accept() != 0) {
            state.SkipWithError("accept failed");
            break;
        }
        quillmark::Socket connection(listening.getClientChannel(), &listening.getAddress());
        std::vector<char> payload;
        const quillmark::TcpSenderReceiver::ScopedRecycle recycling(transport, payload);
        if (!transport.receive(&connection, payload) || payload.size() != bodySize + 1) {
            state.SkipWithError("receive failed");
            break;
        }
        benchmark::DoNotOptimize(payload.data());
    }
    reportFaults(state, faultsBefore);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(bodySize));
}

void BM_PlainReadLoop(benchmark::State& state) {
    const std::size_t bodySize = static_cast<std::size_t>(state.range(0));
    const std::size_t messageSize = bodySize + 14;
    quillmark::Socket listening;
    const unsigned short port = listenOnLoopback(listening);
    if (port == 0) {
        state.SkipWithError("cannot listen on 127.0.0.1");
        return;
    }
    Writer writer(port, framedMessage(bodySize));
    std::vector<char> buffer(messageSize);
    const long faultsBefore = minorFaults();
    for (auto _ : state) {
        writer.request();
        if (listening.accept() != 0) {
            state.SkipWithError("accept failed");
            break;
        }
        quillmark::Socket connection(listening.getClientChannel(), &listening.getAddress());
        std::size_t done = 0;
        while (done < messageSize) {
            const ssize_t n =
                ::read(connection.getChannel(), buffer.data() + done, messageSize - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        if (done != messageSize) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    reportFaults(state, faultsBefore);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(bodySize));
}

BENCHMARK(BM_TcpSenderReceiverReceive)
    ->Arg(1 << 20)
    ->Arg(64 << 20)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainReadLoop)
    ->Arg(1 << 20)
    ->Arg(64 << 20)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

// The daemon's memory policy, set as its main sets it.
int main(int argc, char** argv) {
    quillmark::keepLargeAllocationsApart();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
