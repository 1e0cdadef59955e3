// Request cost through a real Listener on loopback, with the logger as shipped (level 5, 1 MiB
// rotation) writing to a temporary file.
//
// - BM_GetConfigurationCycle: one Listener cycle (accept, get_configuration of the example
//   configuration, reply, close) run on the benchmark thread, while a client thread keeps the
//   next request waiting in the backlog. BM_UnknownCommandCycle is the same cycle for a request
//   that matches no command: accepting, framing, logging and replying alone.
// - BM_UploadRoundTrip: 1 MiB upgrade_append chunks sent by the benchmark thread, one connection
//   each, to a Listener that runs on its own thread as the service runs it (1 ms pause after
//   each connection), into a temporary installation root. BM_PausingSinkRoundTrip sends the same
//   messages to a plain sink that reads the framed body into a file with a buffer allocated
//   once, answers a framed "SUCCESS" and pauses 1 ms after each connection too.
//
// Bytes per second count the chunk's data only.
#include "BenchSupport.h"
#include "CommandProcessorFactory.h"
#include "Listener.h"

#include "quillmark/ConfigurationFileAccess.h"
#include "quillmark/FileLogger.h"
#include "quillmark/LogManager.h"
#include "quillmark/Socket.h"

#include <benchmark/benchmark.h>

#include <zthread/Task.h>
#include <zthread/ThreadedExecutor.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kPackageName[] = "bench_redhat_64_package.qmp";
const std::size_t kChunkSize = 1 << 20;
// The package files are cut back when they pass this size, outside the timed part, so that
// dirty page cache stays far below the point where the kernel throttles writers.
const off_t kPackageLimit = 32 << 20;

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

using qmbench::framedHeader;
using qmbench::framedMessage;
using qmbench::minorFaults;
using qmbench::reportFaults;

// Built in place once and never freed: freeing a block this large would make the C library
// raise its thresholds for the whole process, which the daemon never sees.
const std::string& uploadMessage() {
    static const std::string* message = [] {
        const std::string head = std::string("upgrade_append(") + kPackageName + ",";
        const std::size_t bodySize = head.size() + kChunkSize + 1;
        std::string* bytes = new std::string;
        bytes->reserve(13 + bodySize + 1);
        *bytes = framedHeader(bodySize);
        *bytes += head;
        for (std::size_t i = 0; i < kChunkSize; ++i) bytes->push_back(static_cast<char>(i * 131));
        *bytes += ")";
        bytes->push_back('\0');
        return bytes;
    }();
    return *message;
}

// One request on a new connection; the reply is read until the server closes. Returns the
// number of reply bytes, or -1 when the exchange failed.
long exchange(unsigned short port, const std::string& request) {
    const int fd = qmbench::connectToLoopback(port);
    if (fd < 0) return -1;
    long total = qmbench::sendAll(fd, request.data(), request.size()) ? 0 : -1;
    char reply[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(fd, reply, sizeof reply);
        if (n <= 0) break;
        if (total >= 0) total += n;
    }
    ::close(fd);
    return total;
}

// A temporary directory holding the configuration (the example, its installation root moved
// into the directory) and the log, with the shipped logger installed for the object's life.
class Installation {
public:
    Installation() {
        char pattern[] = "/tmp/qm-listener-bench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) return;
        path_ = pattern;
        root_ = path_ + "/root";
        ::mkdir(root_.c_str(), 0755);
        ::mkdir((root_ + "/temp").c_str(), 0755);
        std::string document = readWholeFile(QM_SOURCE_DIR "/examples/quillmark_agentd.xml");
        const std::string shipped = "/opt/quillmark/agent_manager";
        const std::size_t at = document.find(shipped);
        if (at == std::string::npos) return;
        document.replace(at, shipped.size(), root_);
        std::ofstream(configurationPath()) << document;
        quillmark::LogManager::getInstance()->setLogger(
            new quillmark::FileLogger((path_ + "/manager.log").c_str(), 5, 1));
        configuration_.reset(new quillmark::ConfigurationFileAccess(configurationPath(), false));
        factory_ = std::make_shared<quillmark::CommandProcessorFactory>(configuration_.get());
    }

    ~Installation() {
        factory_.reset();
        configuration_.reset();
        quillmark::LogManager::getInstance()->setLogger(nullptr);
        if (!path_.empty()) {
            const std::string command = "rm -rf " + path_;
            if (std::system(command.c_str()) != 0) {
                // Left behind in /tmp; nothing else to do.
            }
        }
    }

    bool ready() const { return configuration_ != nullptr && configuration_->isLoaded(); }
    std::string configurationPath() const { return path_ + "/agent.xml"; }
    std::string packagePath() const { return root_ + "/temp/" + kPackageName; }
    std::string sinkPath() const { return path_ + "/sink.bin"; }
    const std::shared_ptr<quillmark::CommandProcessorFactory>& factory() const { return factory_; }

private:
    std::string path_;
    std::string root_;
    std::unique_ptr<quillmark::ConfigurationFileAccess> configuration_;
    std::shared_ptr<quillmark::CommandProcessorFactory> factory_;
};

void cutBack(const std::string& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) == 0 && info.st_size > kPackageLimit) {
        if (::truncate(path.c_str(), 0) != 0) {
            // The file keeps growing; the next check tries again.
        }
    }
}

// Opens the Listener's socket on a loopback port for `installation`; 0 (and the benchmark
// skipped) when the installation is not ready or no port could be had.
unsigned short openListener(benchmark::State& state, const Installation& installation) {
    if (!installation.ready()) {
        state.SkipWithError("cannot set up the installation");
        return 0;
    }
    quillmark::Listener::initSocket(0, "127.0.0.1");
    const unsigned short port = quillmark::Listener::listeningPort();
    if (port == 0) state.SkipWithError("cannot listen on 127.0.0.1");
    return port;
}

// Listener cycles on the benchmark thread; the client keeps the next requests queued.
void runCycles(benchmark::State& state, const std::string& body) {
    Installation installation;
    const unsigned short port = openListener(state, installation);
    if (port == 0) return;
    std::unique_ptr<quillmark::Listener> listener(new quillmark::Listener(installation.factory()));
    {
        // Two client threads: the next connection waits with its request while the Listener
        // serves the last one.
        const int clients = 2;
        const std::string request = framedMessage(body);
        std::atomic<bool> failed{false};
        qmbench::OnDemand client(clients, [&] {
            if (exchange(port, request) <= 0) failed = true;
        });
        for (int i = 0; i < clients; ++i) client.request();
        const long faultsBefore = minorFaults();
        for (auto _ : state) {
            client.request();
            listener->execute();
        }
        reportFaults(state, faultsBefore);
        for (int i = 0; i < clients; ++i) listener->execute();
        if (failed) state.SkipWithError("a request failed");
    }
    listener->cancel();
}

void BM_GetConfigurationCycle(benchmark::State& state) { runCycles(state, "get_configuration"); }

void BM_UnknownCommandCycle(benchmark::State& state) { runCycles(state, "unknown_command"); }

void uploadRoundTrips(benchmark::State& state, unsigned short port, const std::string& message,
                      const std::string& packagePath) {
    const long faultsBefore = minorFaults();
    for (auto _ : state) {
        if (exchange(port, message) <= 0) {
            state.SkipWithError("upload failed");
            break;
        }
        state.PauseTiming();
        cutBack(packagePath);
        state.ResumeTiming();
    }
    reportFaults(state, faultsBefore);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(kChunkSize));
}

void BM_UploadRoundTrip(benchmark::State& state) {
    Installation installation;
    const unsigned short port = openListener(state, installation);
    if (port == 0) return;
    quillmark::Listener* listener = new quillmark::Listener(installation.factory());
    {
        // The task owns the Listener and lets it go once its thread has ended.
        ZThread::ThreadedExecutor executor;
        executor.execute(ZThread::Task(listener));
        uploadRoundTrips(state, port, uploadMessage(), installation.packagePath());
        listener->cancel();
        executor.wait();
    }
}

// Reads exactly `size` bytes; false when the stream ends first.
bool readExactly(int fd, char* buffer, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n <= 0) return false;
        buffer += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Accepts one connection at a time, appends the framed body to a file, answers "SUCCESS" and
// pauses 1 ms, until stopped.
class PausingSink {
public:
    explicit PausingSink(std::string path)
        : path_(std::move(path)),
          listening_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), nullptr) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int fd = listening_.getChannel();
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
            ::listen(fd, 16) == 0) {
            port_ = listening_.localPort();
        }
        thread_ = std::thread([this] { run(); });
    }

    ~PausingSink() {
        stop_ = true;
        const int wake = qmbench::connectToLoopback(port_);
        if (wake >= 0) ::close(wake);
        thread_.join();
    }

    unsigned short port() const { return port_; }

private:
    void run() {
        std::vector<char> buffer(kChunkSize);
        const std::string reply = framedMessage("SUCCESS");
        while (!stop_) {
            const int connection =
                ::accept4(listening_.getChannel(), nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) continue;
            serve(connection, buffer, reply);
            ::close(connection);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    void serve(int connection, std::vector<char>& buffer, const std::string& reply) {
        char header[13];
        if (!readExactly(connection, header, sizeof header)) return;
        std::uint64_t left = 0;
        for (int i = 7; i >= 0; --i) left = (left << 8) | static_cast<unsigned char>(header[5 + i]);
        const int file = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        while (left > 0) {
            const ssize_t n =
                ::read(connection, buffer.data(),
                       static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size())));
            if (n <= 0) break;
            if (file >= 0 && ::write(file, buffer.data(), static_cast<std::size_t>(n)) != n) break;
            left -= static_cast<std::uint64_t>(n);
        }
        if (file >= 0) ::close(file);
        qmbench::sendAll(connection, reply.data(), reply.size());
        char terminator;
        if (::read(connection, &terminator, 1) < 0) {
            // The client is gone; the connection is closed all the same.
        }
    }

    const std::string path_;
    // Plain system calls serve it; the Socket owns the descriptor.
    quillmark::Socket listening_;
    unsigned short port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void BM_PausingSinkRoundTrip(benchmark::State& state) {
    Installation installation;
    PausingSink sink(installation.sinkPath());
    if (sink.port() == 0) {
        state.SkipWithError("cannot listen on 127.0.0.1");
        return;
    }
    uploadRoundTrips(state, sink.port(), uploadMessage(), installation.sinkPath());
}

BENCHMARK(BM_GetConfigurationCycle)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UnknownCommandCycle)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UploadRoundTrip)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PausingSinkRoundTrip)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return qmbench::runBenchmarks(argc, argv); }
