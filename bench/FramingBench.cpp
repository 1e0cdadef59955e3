// Receive throughput of framed requests over loopback: TcpSenderReceiver::receive, as the
// listener calls it (a new connection and a new payload per request, handed back to the
// transport after use), against a plain read() loop into a buffer allocated once, on the same
// kind of accepted connection.
//
// A writer thread connects once per iteration and sends one framed message (header, body, zero
// byte); the benchmark thread accepts and receives. Bytes per second count the body only.
#include "BenchSupport.h"
#include "TcpSenderReceiver.h"
#include "quillmark/Socket.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using qmbench::minorFaults;
using qmbench::reportFaults;

std::string framedMessage(std::size_t bodySize) {
    std::string body(bodySize, '\0');
    for (std::size_t i = 0; i < bodySize; ++i) body[i] = static_cast<char>(i * 131);
    return qmbench::framedMessage(body);
}

// Sends `message` on a new connection to 127.0.0.1:port.
void sendOnce(unsigned short port, const std::string& message) {
    const int fd = qmbench::connectToLoopback(port);
    if (fd < 0) return;
    qmbench::sendAll(fd, message.data(), message.size());
    ::close(fd);
}

unsigned short listenOnLoopback(quillmark::Socket& listening) {
    if (listening.create() != 0 || listening.listen(0, "127.0.0.1") != 0) return 0;
    return listening.localPort();
}

void BM_TcpSenderReceiverReceive(benchmark::State& state) {
    const std::size_t bodySize = static_cast<std::size_t>(state.range(0));
    quillmark::Socket listening;
    const unsigned short port = listenOnLoopback(listening);
    if (port == 0) {
        state.SkipWithError("cannot listen on 127.0.0.1");
        return;
    }
    const std::string message = framedMessage(bodySize);
    qmbench::OnDemand writer(1, [&] { sendOnce(port, message); });
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
    const std::string message = framedMessage(bodySize);
    qmbench::OnDemand writer(1, [&] { sendOnce(port, message); });
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

int main(int argc, char** argv) { return qmbench::runBenchmarks(argc, argv); }
