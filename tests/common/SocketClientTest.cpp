#include "quillmark/Socket.h"

#include "quillmark/ConfiguratorObjAccess.h"
#include "quillmark/Exception.h"
#include "support/LogCapture.h"
#include "support/LoopbackClient.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace quillmark;
using qmtest::LoopbackServer;
using qmtest::openDescriptorCount;

namespace {

const char* const kNoAccess = "Cannot access ConfigurationFileAccess or xml is poorly formed.";

bool closeOnExec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

bool nonBlocking(int fd) { return (::fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }

timeval timeOption(int fd, int option) {
    timeval value = {-1, -1};
    socklen_t size = sizeof value;
    ::getsockopt(fd, SOL_SOCKET, option, &value, &size);
    return value;
}

// Whether `fd` becomes readable within 10 s.
bool readableSoon(int fd) {
    struct pollfd entry = {fd, POLLIN, 0};
    return ::poll(&entry, 1, 10000) == 1;
}

sockaddr_in loopback(unsigned short port) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A descriptor bound to a loopback port that does not listen: connections to the port are
// refused for as long as the object lives, and no other program can take the port meanwhile.
class RefusingPort {
public:
    RefusingPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        const sockaddr_in any = loopback(0);
        EXPECT_EQ(0, ::bind(fd_, reinterpret_cast<const sockaddr*>(&any), sizeof any));
    }
    ~RefusingPort() { ::close(fd_); }
    unsigned short port() const { return qmtest::boundPort(fd_); }

private:
    int fd_;
};

// A loopback listener whose accept queue is full: the kernel then drops new SYNs, so a new
// connection stays pending until acceptOne() makes room (its SYN is sent again after about a
// second). Not every network stack behaves so; isReady() says whether this one does.
class FullBacklog {
public:
    FullBacklog() : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), ready_(false) {
        const sockaddr_in any = loopback(0);
        if (::bind(listener_, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 ||
            ::listen(listener_, 0) != 0) {
            return;
        }
        const sockaddr_in target = loopback(port());
        for (int attempt = 0; attempt < 16 && !ready_; ++attempt) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0 &&
                errno != EINPROGRESS) {
                ::close(fd);
                return;
            }
            struct pollfd entry = {fd, POLLOUT, 0};
            if (::poll(&entry, 1, 300) == 0) {
                // Still pending: the queue is full. The probe goes, so that it cannot take the
                // room that acceptOne() makes.
                ::close(fd);
                ready_ = true;
            } else {
                held_.push_back(fd);
            }
        }
    }
    ~FullBacklog() {
        for (int fd : held_) ::close(fd);
        ::close(listener_);
    }
    bool isReady() const { return ready_; }
    unsigned short port() const { return qmtest::boundPort(listener_); }
    void acceptOne() {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) held_.push_back(fd);
    }

private:
    int listener_;
    bool ready_;
    std::vector<int> held_;
};

std::atomic<int> signalsSeen(0);
void countSignal(int) { ++signalsSeen; }

// SIGUSR1 installed without SA_RESTART for the life of the object, so that a blocked call on the
// thread it is sent to fails with EINTR.
class InterruptingSignal {
public:
    InterruptingSignal() {
        struct sigaction action = {};
        action.sa_handler = countSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        EXPECT_EQ(0, ::sigaction(SIGUSR1, &action, &previous_));
        signalsSeen = 0;
    }
    ~InterruptingSignal() { ::sigaction(SIGUSR1, &previous_, nullptr); }

private:
    struct sigaction previous_;
};

class SocketClientTest : public ::testing::Test {
protected:
    void SetUp() override { ConfiguratorObjAccess::destroyInstance(); }
    void TearDown() override { ConfiguratorObjAccess::destroyInstance(); }

    // Loads a fresh ".xml" configuration through ConfiguratorObjAccess with the two time-outs in
    // milliseconds; an empty text leaves its key out.
    void useTimeouts(const std::string& local, const std::string& remote) {
        std::string props;
        const std::pair<const char*, std::string> keys[] = {{"LocalSocketTimeoutMillisec", local},
                                                            {"SocketTimeoutMillisec", remote}};
        for (const auto& key : keys) {
            if (key.second.empty()) continue;
            props += std::string("<prop><key>") + key.first + "</key><value>" + key.second +
                     "</value><description>Time-out</description><flags>0</flags></prop>";
        }
        const std::string path = dir_.file("agent" + std::to_string(++files_) + ".xml");
        qmtest::writeFile(path, "<quillmark_agentd_config><GeneralProperties>" + props +
                                    "</GeneralProperties></quillmark_agentd_config>");
        ConfiguratorObjAccess::destroyInstance();
        ConfiguratorObjAccess::getInstance()->initialize(path, false);
        ASSERT_TRUE(ConfiguratorObjAccess::getInstance()->isInitialized());
    }

    qmtest::LogCapture log_;
    qmtest::TempDir dir_;
    LoopbackServer server_;
    int files_ = 0;
};

}  // namespace

TEST_F(SocketClientTest, ResolveCopiesDottedAddressesAndLooksUpNames) {
    struct Case {
        const char* host;
        int result;
        const char* address;  // expected text on success
        const char* logged;   // a message the call must log, or null for none at all
    };
    const Case cases[] = {
        {"10.0.0.1", 0, "10.0.0.1", nullptr},
        {"1..2.3.4", 0, "1..2.3.4", nullptr},  // the empty part is not counted
        {"255.255.255.255", 0, "255.255.255.255", nullptr},
        // Three and five parts go to the lookup, which reads a numeric text itself.
        {"10.0.0", 0, "10.0.0.0", nullptr},
        {"1.2.3.4.5", -1, nullptr, "gethostbyname(1.2.3.4.5) failed. errno="},
        {"localhost", 0, "127.0.0.1", nullptr},
        {"no-such-host.invalid", -1, nullptr, "gethostbyname(no-such-host.invalid) failed. errno="},
        {"", -1, nullptr, nullptr},
        {"BYPASS_HOST_CHECKS_FOR_LAB_BENCH_ONLY_NEVER_ON", -1, nullptr, nullptr},
        {"BYPASS_HOST_CHECKS_FOR_LAB_BENCH_ONLY_NEVER_ONX", -1, nullptr,
         "gethostbyname(BYPASS_HOST_CHECKS_FOR_LAB_BENCH_ONLY_NEVER_ONX) failed. errno="},
        // Sixteen characters do not fit the address buffer with its zero byte.
        {"0000000010.0.0.1", -1, nullptr, "Address text 0000000010.0.0.1 is too long."},
        {"000000010.0.0.1", 0, "000000010.0.0.1", nullptr},
    };
    // The failing lookups must not ask the host's name server, which lies beyond the machine:
    // the table runs where no resolver can be reached; "localhost" is answered by the hosts file.
    EXPECT_EQ("", qmtest::runWithoutNetwork([&] {
                  for (const Case& c : cases) {
                      SCOPED_TRACE(c.host);
                      log_.clear();
                      // Exactly the room the contract promises, on the heap so that the sanitizer
                      // sees a write past it.
                      std::unique_ptr<char[]> address(new char[16]);
                      std::memset(address.get(), 'x', 16);
                      EXPECT_EQ(c.result, Socket::resolve(c.host, address.get()));
                      if (c.address != nullptr) {
                          EXPECT_STREQ(c.address, address.get());
                      }
                      if (c.logged != nullptr) {
                          EXPECT_TRUE(log_.hasPrefix(c.logged));
                      } else {
                          EXPECT_EQ("", log_.text());
                      }
                  }
              }));
    char address[16];
    EXPECT_EQ(-1, Socket::resolve(nullptr, address));
    EXPECT_EQ(-1, Socket::resolve("10.0.0.1", nullptr));
}

TEST_F(SocketClientTest, BoundedConnectReachesALoopbackServer) {
    useTimeouts("100", "2500");
    struct Case {
        const char* host;
        long sec;
        long usec;
    };
    const Case cases[] = {{"127.0.0.1", 0, 100000}, {"localhost", 2, 500000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        Socket client;
        ASSERT_EQ(0, client.connect(c.host, server_.port(), 12345));
        std::unique_ptr<Socket> served = server_.accept();
        ASSERT_TRUE(served);
        const int fd = client.getChannel();
        EXPECT_TRUE(closeOnExec(fd));
        EXPECT_TRUE(nonBlocking(fd));
        EXPECT_EQ(c.sec, client.getTimeoutSec());
        EXPECT_EQ(c.usec, client.getTimeoutUsec());
        EXPECT_TRUE(log_.has("connect - Select timeout set to " + std::to_string(c.sec) + " sec, " +
                             std::to_string(c.usec) + " usec"));
        std::string peer;
        EXPECT_EQ(0, client.getAddressString(peer));
        EXPECT_EQ("127.0.0.1", peer);
        EXPECT_EQ(server_.port(), ntohs(client.getAddress().sin_port));

        // Transfers with the socket's own select time-out, as the framing makes them.
        const long sec = client.getTimeoutSec();
        const long usec = client.getTimeoutUsec();
        char buffer[8];
        ASSERT_EQ(4, client.write("ping", 4, nullptr, sec, usec));
        ASSERT_EQ(4, served->read(buffer, 4, nullptr, false, 0, 0));
        EXPECT_EQ("ping", std::string(buffer, 4));
        ASSERT_EQ(4, served->write("pong", 4, nullptr, 0, 0));
        ASSERT_EQ(4, client.read(buffer, 4, nullptr, false, sec, usec));
        EXPECT_EQ("pong", std::string(buffer, 4));
        EXPECT_EQ(-1, client.readOnce(buffer, sizeof buffer, nullptr, 0, 1000));

        // The mode cache follows the descriptor, so blocking mode can be asked for again.
        EXPECT_EQ(0, client.setBlocking(1));
        EXPECT_FALSE(nonBlocking(fd));
    }
}

TEST_F(SocketClientTest, BlockingConnectAppliesTheConfiguredTimeOuts) {
    useTimeouts("100", "2500");
    struct Case {
        const char* host;
        long sec;
        long usec;
    };
    const Case cases[] = {{"127.0.0.1", 0, 100000}, {"localhost", 2, 500000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        Socket client;
        ASSERT_EQ(0, client.connect(c.host, server_.port()));
        std::unique_ptr<Socket> served = server_.accept();
        ASSERT_TRUE(served);
        const int fd = client.getChannel();
        EXPECT_TRUE(closeOnExec(fd));
        EXPECT_FALSE(nonBlocking(fd));
        EXPECT_EQ(c.sec, client.getIoTimeout().tv_sec);
        EXPECT_EQ(c.usec, client.getIoTimeout().tv_usec);
        for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
            const timeval applied = timeOption(fd, option);
            EXPECT_EQ(c.sec, applied.tv_sec);
            EXPECT_EQ(c.usec, applied.tv_usec);
        }
        EXPECT_EQ(0, client.getTimeoutSec()) << "transfers use the descriptor's time-out";
        EXPECT_EQ(0, client.getTimeoutUsec());
        char buffer[8];
        ASSERT_EQ(2, client.write("hi", 2, nullptr, 0, 0));
        ASSERT_EQ(2, served->read(buffer, 2, nullptr, false, 0, 0));
        EXPECT_EQ("hi", std::string(buffer, 2));
    }

    // A blocking read that waits longer than the descriptor's time-out reports a time-out.
    Socket client;
    ASSERT_EQ(0, client.connect("127.0.0.1", server_.port()));
    std::unique_ptr<Socket> served = server_.accept();
    char buffer[8];
    EXPECT_EQ(-1, client.read(buffer, sizeof buffer, nullptr, false, 0, 0));
    EXPECT_TRUE(log_.has("Read() timed out after 0 sec 0 ms."));
}

TEST_F(SocketClientTest, MillisecondsBecomeSecondsAndMicroseconds) {
    struct Case {
        const char* local;
        const char* remote;
        const char* host;
        long long sec;
        long long usec;
    };
    const Case cases[] = {
        {"100", "2500", "127.0.0.1", 0, 100000},
        {"100", "2500", "localhost", 2, 500000},
        {"100", "2500", "10.0.0.1", 2, 500000},
        {"100", "2500", nullptr, 2, 500000},
        {"1000", "1001", "127.0.0.1", 0, 1000000},
        {"1000", "1001", "10.0.0.1", 1, 1000},
        {"0", "2147483647", "127.0.0.1", 0, 0},
        {"0", "2147483647", "localhost", 2147483, 647000},
        // The product does not fit an int; it must not wrap.
        {"-2147483648", "", "127.0.0.1", 0, -2147483648000LL},
        {"", "", "127.0.0.1", 0, 100000},  // the defaults
        {"", "", "localhost", 0, 500000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.local) + " / " + c.remote + " for " +
                     (c.host != nullptr ? c.host : "(null)"));
        useTimeouts(c.local, c.remote);
        Socket socket;
        socket.setIoTimeoutFromConfig(c.host);
        EXPECT_EQ(c.sec, socket.getIoTimeout().tv_sec);
        EXPECT_EQ(c.usec, socket.getIoTimeout().tv_usec);
        // A copy does not take the time-out over.
        Socket copy(socket);
        EXPECT_EQ(0, copy.getIoTimeout().tv_sec);
        EXPECT_EQ(0, copy.getIoTimeout().tv_usec);
    }
}

TEST_F(SocketClientTest, WholeSecondsOfMicrosecondsReachTheDescriptor) {
    // 1000 ms is stored as 1000000 us, which the kernel refuses as a socket time-out; the
    // descriptor gets 1 s instead of none at all.
    useTimeouts("1000", "");
    Socket client;
    ASSERT_EQ(0, client.connect("127.0.0.1", server_.port()));
    EXPECT_EQ(1000000, client.getIoTimeout().tv_usec);
    for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
        const timeval applied = timeOption(client.getChannel(), option);
        EXPECT_EQ(1, applied.tv_sec);
        EXPECT_EQ(0, applied.tv_usec);
    }

    // The bounded wait takes the same value as 1 s.
    Socket bounded;
    EXPECT_EQ(0, bounded.connect("127.0.0.1", server_.port(), 0));
    EXPECT_EQ(0, bounded.getTimeoutSec());
    EXPECT_EQ(1000000, bounded.getTimeoutUsec());

    // A negative wait cannot be waited for: the connect fails instead of reporting success.
    useTimeouts("-5", "");
    Socket negative;
    EXPECT_EQ(-1, negative.connect("127.0.0.1", server_.port(), 0));
    EXPECT_TRUE(log_.has("Couldn't select on socket."));
}

TEST_F(SocketClientTest, RefusedAndUnresolvableHostsGiveMinusOne) {
    useTimeouts("100", "100");
    RefusingPort refusing;
    const int before = openDescriptorCount();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        {
            Socket client;
            EXPECT_EQ(-1, client.connect("127.0.0.1", refusing.port(), 0));
            EXPECT_TRUE(log_.has("Couldn't connect to socket"));
            EXPECT_GE(client.getChannel(), 0) << "a failed connect leaves the descriptor open";
        }
        {
            Socket client;
            EXPECT_EQ(-1, client.connect("127.0.0.1", refusing.port()));
            EXPECT_TRUE(log_.has("Failed to connect to host=127.0.0.1 at port=" +
                                 std::to_string(refusing.port())));
            EXPECT_GE(client.getChannel(), 0);
            client.close();
            EXPECT_EQ(-1, client.getChannel());
        }
    }
    EXPECT_EQ(before, openDescriptorCount()) << "each failure's descriptor goes with its Socket";

    // A name no resolver can answer, asked where none can be reached.
    EXPECT_EQ(
        "", qmtest::runWithoutNetwork([&] {
            const int beforeLookups = openDescriptorCount();
            for (const bool bounded : {true, false}) {
                SCOPED_TRACE(bounded ? "bounded" : "blocking");
                log_.clear();
                Socket client;
                const int result = bounded ? client.connect("no-such-host.invalid", 80, 0)
                                           : client.connect("no-such-host.invalid", 80);
                EXPECT_EQ(-1, result);
                EXPECT_TRUE(log_.hasPrefix("gethostbyname(no-such-host.invalid) failed. errno="));
                EXPECT_GE(client.getChannel(), 0);
            }
            EXPECT_EQ(beforeLookups, openDescriptorCount());
        }));
}

TEST_F(SocketClientTest, ConnectsThrowWithoutALoadedConfiguration) {
    const std::string malformed = dir_.file("broken.xml");
    qmtest::writeFile(malformed, "<quillmark_agentd_config><GeneralProperties>");
    const char* const states[] = {"no access", "not loaded"};
    for (const char* state : states) {
        SCOPED_TRACE(state);
        ConfiguratorObjAccess::destroyInstance();
        if (std::string(state) == "not loaded") {
            ConfiguratorObjAccess::getInstance()->initialize(malformed, false);
            ASSERT_NE(nullptr, ConfiguratorObjAccess::getInstance()->getAccess());
            ASSERT_FALSE(ConfiguratorObjAccess::getInstance()->isInitialized());
        }
        const auto expectThrow = [](const std::function<void()>& call) {
            try {
                call();
                ADD_FAILURE() << "no exception";
            } catch (const Exception& e) {
                EXPECT_STREQ(kNoAccess, e.getMessage());
                EXPECT_EQ(0, e.getCode());
                EXPECT_NE(std::string::npos, e.getFile().find("Socket")) << e.getFile();
                EXPECT_GT(e.getLine(), 0);
            }
        };
        Socket plain;
        expectThrow([&] { plain.setIoTimeoutFromConfig("127.0.0.1"); });
        expectThrow([&] { plain.setIoTimeoutFromConfig("localhost"); });
        EXPECT_EQ(-1, plain.getChannel()) << "nothing is opened";

        // Both connects throw once the connection attempt has been made: the server sees it.
        for (const bool bounded : {true, false}) {
            SCOPED_TRACE(bounded ? "bounded" : "blocking");
            Socket client;
            expectThrow([&] {
                if (bounded) {
                    client.connect("127.0.0.1", server_.port(), 0);
                } else {
                    client.connect("127.0.0.1", server_.port());
                }
            });
            EXPECT_GE(client.getChannel(), 0);
            ASSERT_TRUE(readableSoon(server_.socket().getChannel()));
            EXPECT_TRUE(server_.accept());
        }
    }
}

TEST_F(SocketClientTest, BoundedConnectTimesOutWhileThePeerDoesNotAnswer) {
    FullBacklog backlog;
    if (!backlog.isReady()) GTEST_SKIP() << "this network stack does not hold back connections";

    useTimeouts("50", "");
    Socket client;
    EXPECT_EQ(-1, client.connect("127.0.0.1", backlog.port(), 0));
    EXPECT_TRUE(log_.has("Couldn't FD_ISSET on socket."));
    EXPECT_GE(client.getChannel(), 0);

    // Signals during the wait do not end it: it goes on for the time that remains.
    useTimeouts("600", "");
    log_.clear();
    InterruptingSignal signal;
    Socket interrupted;
    std::atomic<bool> done(false);
    int result = 0;
    std::thread worker([&] {
        result = interrupted.connect("127.0.0.1", backlog.port(), 0);
        done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done && std::chrono::steady_clock::now() < deadline) {
        ::pthread_kill(worker.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    worker.join();
    EXPECT_GT(signalsSeen.load(), 0);
    EXPECT_EQ(-1, result);
    EXPECT_TRUE(log_.has("Couldn't FD_ISSET on socket."));
    EXPECT_FALSE(log_.has("Couldn't select on socket."));
}

TEST_F(SocketClientTest, BlockingConnectSurvivesAnInterruption) {
    FullBacklog backlog;
    if (!backlog.isReady()) GTEST_SKIP() << "this network stack does not hold back connections";

    useTimeouts("100", "");
    InterruptingSignal signal;
    Socket client;
    std::atomic<bool> done(false);
    int result = 0;
    std::thread worker([&] {
        result = client.connect("127.0.0.1", backlog.port());
        done = true;
    });
    // The connect waits for an answer that cannot come while the queue is full; the signals
    // interrupt that wait. Then room is made and the connection must still come about.
    for (int sent = 0; sent < 40 && !done; ++sent) {
        ::pthread_kill(worker.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    backlog.acceptOne();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!done) {
        ADD_FAILURE() << "the connect did not return";
        ::shutdown(client.getChannel(), SHUT_RDWR);
    }
    worker.join();
    EXPECT_GT(signalsSeen.load(), 0);
    EXPECT_EQ(0, result);
    EXPECT_FALSE(log_.hasPrefix("Failed to connect to host="));
    EXPECT_EQ(0, client.getIoTimeout().tv_sec);
    EXPECT_EQ(100000, client.getIoTimeout().tv_usec);
}

TEST_F(SocketClientTest, LocalHostNameAndAddressText) {
    struct utsname host;
    ASSERT_EQ(0, ::uname(&host));
    const std::string expected = host.nodename;
    std::string name = "unchanged";
    if (expected.size() < 15) {
        EXPECT_EQ(0, Socket::getLocalHostName(name));
        EXPECT_EQ(expected, name);
    } else {
        EXPECT_EQ(-1, Socket::getLocalHostName(name));
        EXPECT_EQ("unchanged", name);
        EXPECT_TRUE(
            log_.has("Failed to get localhost name. errno=" + std::to_string(ENAMETOOLONG)));
    }

    // The address text of an accepted connection and of a socket without a peer.
    qmtest::LoopbackClient peer(server_.port());
    std::unique_ptr<Socket> served = server_.accept();
    ASSERT_TRUE(served);
    std::string text;
    EXPECT_EQ(0, served->getAddressString(text));
    EXPECT_EQ("127.0.0.1", text);
    Socket unconnected;
    EXPECT_EQ(0, unconnected.getAddressString(text));
    EXPECT_EQ("0.0.0.0", text);
}
