#include "quillmark/Socket.h"

#include "support/LogCapture.h"
#include "support/LoopbackClient.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace quillmark;
using qmtest::LoopbackClient;
using qmtest::LoopbackServer;

namespace {

bool closeOnExec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

bool nonBlocking(int fd) { return (::fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }

// Whether a shell started by system(), as the manager starts the agent's commands, has `fd`.
bool inheritedByShell(int fd) {
    return std::system(("test -e /proc/$$/fd/" + std::to_string(fd)).c_str()) == 0;
}

int intOption(int fd, int option) {
    int value = -1;
    socklen_t size = sizeof value;
    ::getsockopt(fd, SOL_SOCKET, option, &value, &size);
    return value;
}

class SocketTest : public ::testing::Test {
protected:
    // A connection to `server_`: the client end and the accepted end.
    struct Connection {
        std::unique_ptr<LoopbackClient> client;
        std::unique_ptr<Socket> socket;
    };

    Connection connect() {
        Connection c;
        c.client.reset(new LoopbackClient(server_.port()));
        c.socket = server_.accept();
        return c;
    }

    // Everything left on the connection once the client has stopped sending.
    static std::string drain(Connection& c) {
        c.client->shutdownWrite();
        std::string rest;
        char chunk[4096];
        int n;
        while ((n = c.socket->readOnce(chunk, sizeof chunk, nullptr, 0, 0)) > 0) {
            rest.append(chunk, n);
        }
        return rest;
    }

    qmtest::LogCapture log_;
    LoopbackServer server_;
};

}  // namespace

TEST_F(SocketTest, CreateListenAndAcceptOpenCloseOnExecDescriptors) {
    Socket listening;
    ASSERT_EQ(0, listening.create());
    const int fd = listening.getChannel();
    EXPECT_EQ(0, listening.create()) << "a second create keeps the open descriptor";
    EXPECT_EQ(fd, listening.getChannel());
    ASSERT_EQ(0, listening.listen(0, "127.0.0.1"));
    const unsigned short port = qmtest::boundPort(fd);
    ASSERT_NE(0, port);

    LoopbackClient client(port);
    ASSERT_EQ(0, listening.accept());
    const int accepted = listening.getClientChannel();
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(htonl(INADDR_LOOPBACK), listening.getAddress().sin_addr.s_addr);
    EXPECT_EQ(qmtest::boundPort(client.descriptor()), ntohs(listening.getAddress().sin_port));

    EXPECT_TRUE(closeOnExec(fd));
    EXPECT_TRUE(closeOnExec(accepted));
    EXPECT_FALSE(inheritedByShell(fd));
    EXPECT_FALSE(inheritedByShell(accepted));
    // The probe itself: a descriptor without the flag is seen by the shell.
    const int plain = ::dup(fd);
    EXPECT_TRUE(inheritedByShell(plain));
    ::close(plain);

    Socket connection(accepted, &listening.getAddress());
    EXPECT_EQ(accepted, connection.getChannel());
    EXPECT_EQ(listening.getAddress().sin_port, connection.getAddress().sin_port);
    ASSERT_EQ(2, connection.write("hi", 2, nullptr, 0, 0));
    EXPECT_EQ("hi", client.readExactly(2));
}

TEST_F(SocketTest, ListenAndAcceptFailuresReturnMinusOne) {
    Socket everywhere;
    ASSERT_EQ(0, everywhere.create());
    ASSERT_EQ(0, everywhere.listen(0, nullptr));
    struct sockaddr_in local;
    socklen_t size = sizeof local;
    ASSERT_EQ(0,
              ::getsockname(everywhere.getChannel(), reinterpret_cast<sockaddr*>(&local), &size));
    EXPECT_EQ(htonl(INADDR_ANY), local.sin_addr.s_addr);

    Socket taken;
    ASSERT_EQ(0, taken.create());
    EXPECT_EQ(-1, taken.listen(server_.port(), "127.0.0.1"));
    EXPECT_TRUE(log_.has("Failed to bind. errno=" + std::to_string(EADDRINUSE)));
    EXPECT_NE(-1, taken.getChannel()) << "a failed listen leaves the descriptor open";

    Socket service;
    ASSERT_EQ(0, service.create());
    EXPECT_EQ(-1, service.listenService("qm-no-such-service", "tcp"));
    EXPECT_TRUE(log_.has("Couldn't find service: qm-no-such-service"));
    EXPECT_FALSE(log_.has("Failed to listen"));

    Socket closed;
    EXPECT_EQ(-1, closed.listen(0, "127.0.0.1"));
    EXPECT_TRUE(log_.has("setsockopt() RCVBUF = 49152 failed!"));
    EXPECT_EQ(-1, closed.accept());
    EXPECT_EQ(-1, closed.getClientChannel());
    EXPECT_TRUE(log_.has("Failed to accept. errno=" + std::to_string(EBADF)));
}

TEST_F(SocketTest, BufferSizesKeepAliveAndTimeout) {
    struct Case {
        int which;
        long size;
        int result;
        int sendBuffer;     // expected SO_SNDBUF afterwards (the kernel doubles the value), or 0
        int receiveBuffer;  // expected SO_RCVBUF afterwards, or 0
        const char* message;
    };
    const Case cases[] = {
        {2, 100000, 0, 0, 2 * 49152, nullptr},
        {1, 8192, 0, 2 * 8192, 0, nullptr},
        {3, 16384, 0, 2 * 16384, 2 * 16384, nullptr},
        {1, 0, -1, 0, 0, "Invalid argument=0. Must be > 0"},
        {2, -5, -1, 0, 0, "Invalid argument=-5. Must be > 0"},
        {5, 1000, 0, 0, 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("which " + std::to_string(c.which) + " size " + std::to_string(c.size));
        Socket s;
        ASSERT_EQ(0, s.create());
        const int sendBefore = intOption(s.getChannel(), SO_SNDBUF);
        const int receiveBefore = intOption(s.getChannel(), SO_RCVBUF);
        EXPECT_EQ(c.result, s.setBufferSize(c.which, c.size));
        EXPECT_EQ(c.sendBuffer ? c.sendBuffer : sendBefore, intOption(s.getChannel(), SO_SNDBUF));
        EXPECT_EQ(c.receiveBuffer ? c.receiveBuffer : receiveBefore,
                  intOption(s.getChannel(), SO_RCVBUF));
        if (c.message) {
            EXPECT_TRUE(log_.has(c.message));
        }
    }

    Socket closed;
    EXPECT_EQ(-1, closed.setBufferSize(3, 1000));
    EXPECT_TRUE(log_.has("setsockopt() SNDBUF = 1000 failed!"));
    EXPECT_FALSE(log_.has("setsockopt() RCVBUF = 1000 failed!"));
    EXPECT_EQ(-1, closed.setKeepAlive(true));
    EXPECT_TRUE(log_.has("setsockopt() to KEEP_ALIVE failed."));

    Socket s;
    ASSERT_EQ(0, s.create());
    EXPECT_EQ(0, s.setKeepAlive(true));
    EXPECT_EQ(1, intOption(s.getChannel(), SO_KEEPALIVE));
    EXPECT_EQ(0, s.setKeepAlive(false));
    EXPECT_EQ(0, intOption(s.getChannel(), SO_KEEPALIVE));

    s.setTimeout(200000000, 5000000);
    EXPECT_EQ(100000000, s.getTimeoutSec());
    EXPECT_EQ(1000000, s.getTimeoutUsec());
    s.setTimeout(-3, 250);
    EXPECT_EQ(-3, s.getTimeoutSec());
    EXPECT_EQ(250, s.getTimeoutUsec());
}

TEST_F(SocketTest, SetBlockingSwitchesTheDescriptorMode) {
    Socket s;
    ASSERT_EQ(0, s.create());
    ASSERT_FALSE(nonBlocking(s.getChannel()));
    EXPECT_EQ(0, s.setBlocking(0));
    EXPECT_TRUE(nonBlocking(s.getChannel()));
    EXPECT_EQ(0, s.setBlocking(0));
    EXPECT_TRUE(nonBlocking(s.getChannel()));
    EXPECT_EQ(0, s.setBlocking(7));
    EXPECT_FALSE(nonBlocking(s.getChannel()));
    EXPECT_EQ(0, s.setBlocking(1));
    EXPECT_FALSE(nonBlocking(s.getChannel()));
    EXPECT_EQ(0, s.setBlocking(0));
    EXPECT_TRUE(nonBlocking(s.getChannel()));

    // A descriptor handed over in non-blocking mode is recognised as such.
    const int raw = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_GE(raw, 0);
    Socket adopted(raw, nullptr);
    EXPECT_EQ(0, adopted.setBlocking(1));
    EXPECT_FALSE(nonBlocking(raw));

    Socket closed;
    EXPECT_EQ(-1, closed.setBlocking(0));
}

TEST_F(SocketTest, CopiesShareTheDescriptorAndCloseOnce) {
    Connection c = connect();
    ASSERT_TRUE(c.socket);
    Socket& original = *c.socket;
    original.setTimeout(2, 3);
    ASSERT_EQ(3, original.write("abc", 3, nullptr, 0, 0));
    ASSERT_TRUE(c.client->write("xy"));
    char buffer[2];
    ASSERT_EQ(2, original.read(buffer, 2, nullptr, false, 0, 0));
    const int fd = original.getChannel();

    Socket copy(original);
    Socket assigned;
    assigned = original;
    assigned = assigned;
    for (const Socket* s : {&copy, &assigned}) {
        EXPECT_EQ(fd, s->getChannel());
        EXPECT_EQ(2, s->getBytesRead());
        EXPECT_EQ(3, s->getBytesWritten());
        EXPECT_EQ(2, s->getTimeoutSec());
        EXPECT_EQ(3, s->getTimeoutUsec());
        EXPECT_EQ(original.getAddress().sin_port, s->getAddress().sin_port);
    }

    log_.clear();
    copy.close();
    copy.close();
    EXPECT_EQ(-1, copy.getChannel());
    EXPECT_EQ(fd, original.getChannel()) << "closing a copy does not mark the original closed";
    const std::string text = log_.text();
    const std::string line = "|\tClosing channel " + std::to_string(fd) + ", Time = ";
    const std::size_t at = text.find(line);
    ASSERT_NE(std::string::npos, at) << text;
    EXPECT_EQ(std::string::npos, text.find(line, at + 1)) << "the second close logs nothing";
    EXPECT_NE(std::string::npos, text.find(" sec, ", at)) << text;
    EXPECT_EQ("abc", c.client->readUntilClose()) << "the shared descriptor is closed";

    // The other holders give the closed descriptor up instead of closing its number again.
    assigned = Socket();
    original = Socket();
}

TEST_F(SocketTest, LocalPortIsTheBoundPortAndZeroWithoutOne) {
    EXPECT_NE(0, server_.socket().localPort());
    EXPECT_EQ(qmtest::boundPort(server_.socket().getChannel()), server_.socket().localPort());
    Socket unbound;
    EXPECT_EQ(0, unbound.localPort()) << "closed";
    ASSERT_EQ(0, unbound.create());
    EXPECT_EQ(0, unbound.localPort()) << "not bound";
}

TEST_F(SocketTest, ShutdownEndsAnAcceptBlockedOnACopyAndKeepsTheDescriptor) {
    Socket listening;
    ASSERT_EQ(0, listening.create());
    ASSERT_EQ(0, listening.listen(0, "127.0.0.1"));
    const unsigned short port = listening.localPort();
    Socket copy(listening);
    std::atomic<int> acceptError{-1};
    std::thread acceptor([&] {
        int error = 0;
        if (copy.acceptSilently(error) == -1) acceptError = error;
    });
    const bool blocked =
        qmtest::eventually([] { return qmtest::someThreadInSystemCall(::getpid(), SYS_accept4); });
    // Also without the wait the accept ends: the shutdown stays in force.
    EXPECT_EQ(0, listening.shutdown());
    acceptor.join();
    EXPECT_TRUE(blocked);
    EXPECT_EQ(EINVAL, acceptError.load());
    EXPECT_NE(-1, ::fcntl(listening.getChannel(), F_GETFD)) << "the descriptor stays open";
    int error = 0;
    EXPECT_EQ(-1, listening.acceptSilently(error)) << "later accepts fail too";
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_NE(0, ::connect(probe, reinterpret_cast<const sockaddr*>(&peer), sizeof peer))
        << "the port refuses connections";
    ::close(probe);
    copy = Socket();

    Socket closed;
    EXPECT_EQ(-1, closed.shutdown());
}

TEST_F(SocketTest, ReadArrivedTakesWhatIsThereWithoutWaiting) {
    Connection c = connect();
    ASSERT_TRUE(c.socket);
    log_.clear();
    char buffer[16];
    EXPECT_EQ(-1, c.socket->readArrived(buffer, sizeof buffer)) << "nothing has arrived";
    ASSERT_TRUE(c.client->write("abc"));
    int n = -1;
    ASSERT_TRUE(qmtest::eventually([&] {
        n = c.socket->readArrived(buffer, sizeof buffer);
        return n != -1;
    }));
    EXPECT_EQ(3, n);
    EXPECT_EQ("abc", std::string(buffer, 3));
    EXPECT_EQ(3, c.socket->getBytesRead());
    c.client->shutdownWrite();
    ASSERT_TRUE(qmtest::eventually([&] { return c.socket->readArrived(buffer, 1) == 0; }))
        << "the end of the stream";
    EXPECT_TRUE(log_.text().empty()) << log_.text();
}

TEST_F(SocketTest, ReadUntilStopsAtTheDelimiterCountOrTheBufferEnd) {
    struct Case {
        const char* name;
        std::string input;
        bool endOfStream;
        char delimiter;
        int count;
        unsigned long bufferLength;
        int result;
        std::string stored;
        std::string rest;
    };
    const Case cases[] = {
        {"newline within the buffer", "ab\ncd", false, '\n', 1, 5, 3, "ab\n", "cd"},
        {"buffer full before a newline", "abcdef", false, '\n', 1, 5, 4, "abcd", "ef"},
        {"second delimiter", "a;b;c;", false, ';', 2, 100, 4, "a;b;", "c;"},
        {"end of stream", "ab", true, '\n', 1, 5, 0, "ab", ""},
        {"buffer of one byte", "xyz", false, '\n', 1, 1, 0, "", "xyz"},
        {"count zero", "xyz", false, '\n', 0, 5, 0, "", "xyz"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Connection c = connect();
        ASSERT_TRUE(c.socket);
        ASSERT_TRUE(c.client->write(k.input));
        if (k.endOfStream) c.client->shutdownWrite();
        char buffer[128] = {};
        unsigned long received = 99;
        EXPECT_EQ(k.result, c.socket->readUntil(buffer, k.delimiter, k.count, k.bufferLength,
                                                &received, 0, 0));
        EXPECT_EQ(static_cast<unsigned long>(k.result), received);
        EXPECT_EQ(k.result, c.socket->getBytesRead());
        EXPECT_EQ(k.stored, std::string(buffer));
        EXPECT_EQ(k.rest, drain(c));
    }
}

TEST_F(SocketTest, ReadUntilStringStopsAfterTheTerminator) {
    struct Case {
        const char* name;
        std::string input;
        const char* terminator;
        unsigned long bufferLength;
        int result;
        std::string stored;
        std::string rest;
    };
    const Case cases[] = {
        // The second x breaks the match and is not taken as a new start.
        {"broken match restarts", "xxyxyz", "xy", 100, 5, "xxyxy", "z"},
        {"blank line", "GET\r\n\r\nbody", "\r\n\r\n", 100, 7, "GET\r\n\r\n", "body"},
        {"buffer full", "abcdef", "zz", 4, 3, "abc", "def"},
        {"end of stream", "ab", "\n", 100, 0, "ab", ""},
        {"empty terminator", "ab", "", 100, 0, "", "ab"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Connection c = connect();
        ASSERT_TRUE(c.socket);
        ASSERT_TRUE(c.client->write(k.input));
        c.client->shutdownWrite();
        char buffer[128];
        std::fill(buffer, buffer + sizeof buffer, 'Q');
        unsigned long received = 99;
        EXPECT_EQ(k.result,
                  c.socket->readUntilString(buffer, k.terminator, &received, k.bufferLength, 0, 0));
        EXPECT_EQ(static_cast<unsigned long>(k.result), received);
        EXPECT_EQ(k.stored, std::string(buffer)) << "the stored bytes end with a zero byte";
        EXPECT_EQ(k.rest, drain(c));
    }
}

TEST_F(SocketTest, ReadTakesExactlyTheLengthAcrossPartialArrivals) {
    Connection c = connect();
    ASSERT_TRUE(c.socket);
    std::string message;
    for (int i = 0; i < 300; ++i) message.push_back(static_cast<char>(i * 7));
    LoopbackClient* client = c.client.get();
    std::thread writer(
        [&] { client->writePieces(qmtest::splitEvery(message, 1), std::chrono::milliseconds(1)); });
    std::vector<char> buffer(message.size());
    unsigned long received = 0;
    EXPECT_EQ(300, c.socket->read(buffer.data(), buffer.size(), &received, false, 0, 0));
    writer.join();
    EXPECT_EQ(300u, received);
    EXPECT_EQ(message, std::string(buffer.begin(), buffer.end()));
    EXPECT_EQ(0, c.socket->read(buffer.data(), 0, &received, false, 0, 0));
    EXPECT_EQ(0u, received);

    ASSERT_EQ(5, c.socket->write("hello", 5, nullptr, 0, 0));
    EXPECT_EQ(0, c.socket->write("x", 0, nullptr, 0, 0));
    EXPECT_EQ(5, c.socket->getBytesWritten());
    EXPECT_EQ("hello", c.client->readExactly(5));
}

TEST_F(SocketTest, ReadAtAnEarlyEndOfStream) {
    for (bool peerCloseOk : {false, true}) {
        SCOPED_TRACE(peerCloseOk ? "peer close ok" : "peer close not ok");
        log_.clear();
        Connection c = connect();
        ASSERT_TRUE(c.socket);
        ASSERT_TRUE(c.client->write("abhello"));
        c.client->shutdownWrite();
        char buffer[16];
        ASSERT_EQ(2, c.socket->read(buffer, 2, nullptr, false, 0, 0));
        unsigned long received = 0;
        const int result = c.socket->read(buffer, 9, &received, peerCloseOk, 0, 0);
        EXPECT_EQ(5u, received);
        EXPECT_EQ("hello", std::string(buffer, 5));
        if (peerCloseOk) {
            EXPECT_EQ(7, result) << "every byte read through the object";
            EXPECT_TRUE(log_.has("Connection was closed by client."));
        } else {
            EXPECT_EQ(-99, result);
            EXPECT_TRUE(log_.has("Connection went down before all bytes were read."));
        }
    }
}

// read() and write() with a time-out: what has arrived (or room to send) is taken at once, the
// rest is waited for, and the results and the lines logged are those of waiting first.
TEST_F(SocketTest, ReadWithATimeOutTakesWhatHasArrivedAndWaitsForTheRest) {
    struct Case {
        const char* name;
        std::string before;  // sent before the read begins
        std::string later;   // sent 20 ms after it has begun
        bool ends;           // the peer ends its stream before the read begins
        int result;
        std::string read;
        const char* logged;
    };
    const Case cases[] = {
        {"all there", "abcdef", "", false, 6, "abcdef", nullptr},
        {"part there, the rest later", "abc", "def", false, 6, "abcdef", nullptr},
        {"nothing there yet", "", "abcdef", false, 6, "abcdef", nullptr},
        {"an early end of the stream", "ab", "", true, -99, "ab",
         "Connection went down before all bytes were read."},
        {"the end of the stream at once", "", "", true, -99, "",
         "Connection went down before all bytes were read."},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        log_.clear();
        Connection c = connect();
        ASSERT_TRUE(c.socket);
        if (!k.before.empty()) {
            ASSERT_TRUE(c.client->write(k.before));
        }
        if (k.ends) c.client->shutdownWrite();
        LoopbackClient* client = c.client.get();
        std::thread writer([&] {
            if (k.later.empty()) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            client->write(k.later);
        });
        char buffer[6] = {};
        unsigned long received = 0;
        EXPECT_EQ(k.result, c.socket->read(buffer, sizeof buffer, &received, false, 5, 0));
        writer.join();
        EXPECT_EQ(k.read.size(), received);
        EXPECT_EQ(k.read, std::string(buffer, received));
        EXPECT_EQ(static_cast<std::int64_t>(k.read.size()), c.socket->getBytesRead());
        if (k.logged != nullptr) {
            EXPECT_EQ(1, log_.count(k.logged));
        }
        EXPECT_FALSE(log_.hasPrefix("Select() timed out"));
    }
}

// The same read on a descriptor that is not a socket (a pipe) waits and reads as before.
TEST_F(SocketTest, ReadWithATimeOutReadsADescriptorThatIsNotASocket) {
    int ends[2];
    ASSERT_EQ(0, ::pipe2(ends, O_CLOEXEC));
    Socket readEnd(ends[0], nullptr);
    ASSERT_EQ(3, ::write(ends[1], "abc", 3));
    ::close(ends[1]);
    char buffer[3];
    EXPECT_EQ(3, readEnd.read(buffer, sizeof buffer, nullptr, false, 5, 0));
    EXPECT_EQ("abc", std::string(buffer, sizeof buffer));
}

TEST_F(SocketTest, WriteWithATimeOutSendsAtOnceAndWaitsForRoom) {
    Connection c = connect();
    ASSERT_TRUE(c.socket);
    Socket& s = *c.socket;
    const std::string announced = "write: using select. _channel [" +
                                  std::to_string(s.getChannel()) + "] tv_sec [5], tv_usec [0]";
    EXPECT_EQ(5, s.write("hello", 5, nullptr, 5, 0));
    EXPECT_EQ("hello", c.client->readExactly(5));
    EXPECT_EQ(1, log_.count(announced));

    // A peer that reads as the buffers fill: every byte goes, waiting for room as needed.
    const std::string lots(16 * 1024 * 1024, 'w');
    LoopbackClient* client = c.client.get();
    std::string arrived;
    std::thread reader([&] { arrived = client->readExactly(lots.size()); });
    unsigned long written = 0;
    EXPECT_EQ(static_cast<int>(lots.size()), s.write(lots.data(), lots.size(), &written, 5, 0));
    reader.join();
    EXPECT_EQ(lots.size(), written);
    EXPECT_EQ(lots.size(), arrived.size());
    EXPECT_FALSE(log_.hasPrefix("Select() timed out"));
}

// Bytes written with `moreFollows` arrive with the next write, or when the socket is closed.
TEST_F(SocketTest, WriteWithMoreFollowingDeliversEveryByte) {
    for (bool nextWrite : {true, false}) {
        SCOPED_TRACE(nextWrite ? "then the body" : "then the close");
        Connection c = connect();
        ASSERT_TRUE(c.socket);
        for (const long sec : {0L, 5L}) {
            ASSERT_EQ(4, c.socket->write("head", 4, nullptr, sec, 0, true));
        }
        if (nextWrite) {
            ASSERT_EQ(4, c.socket->write("body", 4, nullptr, 5, 0));
        }
        c.socket->close();
        EXPECT_EQ(nextWrite ? "headheadbody" : "headhead", c.client->readUntilClose());
    }
}

TEST_F(SocketTest, ReadOnceTakesWhatHasArrived) {
    Connection c = connect();
    ASSERT_TRUE(c.socket);
    ASSERT_TRUE(c.client->write("abcdef"));
    char buffer[16];
    unsigned long received = 0;
    EXPECT_EQ(4, c.socket->readOnce(buffer, 4, &received, 0, 0));
    EXPECT_EQ(4u, received);
    EXPECT_EQ(2, c.socket->readOnce(buffer, sizeof buffer, &received, 5, 0));
    EXPECT_EQ("ef", std::string(buffer, 2));
    c.client->shutdownWrite();
    EXPECT_EQ(0, c.socket->readOnce(buffer, sizeof buffer, &received, 0, 0));
    EXPECT_EQ(0u, received);
    EXPECT_EQ(6, c.socket->getBytesRead());
}

TEST_F(SocketTest, SelectTimeOutsReturnMinusOne) {
    Connection c = connect();
    ASSERT_TRUE(c.socket);
    Socket& s = *c.socket;
    const int fd = s.getChannel();
    char buffer[16];
    const std::string ranOut = "Select() timed out after 0 sec 50000 ms.";

    EXPECT_EQ(-1, s.readUntil(buffer, '\n', 1, sizeof buffer, nullptr, 0, 50000));
    EXPECT_EQ(1, log_.count(ranOut));
    EXPECT_EQ(-1, s.readUntilString(buffer, "\n", nullptr, sizeof buffer, 0, 50000));
    EXPECT_EQ(2, log_.count(ranOut));
    EXPECT_EQ(-1, s.readOnce(buffer, sizeof buffer, nullptr, 0, 50000));
    EXPECT_EQ(3, log_.count(ranOut));
    EXPECT_TRUE(log_.has("readOnce: using Select. _channel [" + std::to_string(fd) +
                         "] tv_sec [0], tv_usec [50000]"));
    EXPECT_EQ(-1, s.read(buffer, 4, nullptr, false, 0, 50000));
    EXPECT_TRUE(log_.has(ranOut + " errno=0"));

    // The reads raise a negative time-out to 0 (an immediate check); the message names the value
    // passed in. write() hands it to the wait, which refuses it.
    EXPECT_EQ(-1, s.readUntil(buffer, '\n', 1, sizeof buffer, nullptr, -3, 0));
    EXPECT_TRUE(log_.has("Select() timed out after -3 sec 0 ms."));
    EXPECT_EQ(-99, s.write("x", 1, nullptr, -1, 0));
    EXPECT_TRUE(log_.has("Select() failed"));
    EXPECT_EQ(0, s.getBytesWritten());

    // A peer that does not read: the write fills the buffers, then the wait runs out.
    const std::string lots(64 * 1024 * 1024, 'w');
    unsigned long written = 0;
    EXPECT_EQ(-1, s.write(lots.data(), lots.size(), &written, 0, 50000));
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, lots.size());
    EXPECT_EQ(static_cast<std::int64_t>(written), s.getBytesWritten());
    EXPECT_EQ(4, log_.count(ranOut));
    EXPECT_TRUE(log_.has("write: using select. _channel [" + std::to_string(fd) +
                         "] tv_sec [0], tv_usec [50000]"));

    // With data waiting, the same calls read; the longest wait is accepted.
    ASSERT_TRUE(c.client->write("ok\nmore"));
    EXPECT_EQ(3, s.readUntil(buffer, '\n', 1, sizeof buffer, nullptr, 200000000, 0));
    EXPECT_EQ(4, s.read(buffer, 4, nullptr, false, 5, 0));
    EXPECT_EQ("more", std::string(buffer, 4));
}

TEST_F(SocketTest, WouldBlockReturnsMinusOne) {
    Connection c = connect();
    ASSERT_TRUE(c.socket);
    Socket& s = *c.socket;
    ASSERT_EQ(0, s.setBlocking(0));
    char buffer[16];
    const std::string message = "Read() timed out after 0 sec 0 ms.";
    EXPECT_EQ(-1, s.readUntil(buffer, '\n', 1, sizeof buffer, nullptr, 0, 0));
    EXPECT_EQ(-1, s.readUntilString(buffer, "\n", nullptr, sizeof buffer, 0, 0));
    EXPECT_EQ(-1, s.read(buffer, 4, nullptr, false, 0, 0));
    EXPECT_EQ(-1, s.readOnce(buffer, sizeof buffer, nullptr, 0, 0));
    EXPECT_EQ(4, log_.count(message));

    // A write that meets a full buffer waits for room instead of failing.
    const std::string lots(16 * 1024 * 1024, 'w');
    LoopbackClient* client = c.client.get();
    std::string arrived;
    std::thread reader([&] { arrived = client->readExactly(lots.size()); });
    EXPECT_EQ(static_cast<int>(lots.size()), s.write(lots.data(), lots.size(), nullptr, 0, 0));
    reader.join();
    EXPECT_EQ(lots.size(), arrived.size());
}

TEST_F(SocketTest, FailuresReturnMinus99) {
    Socket closed;
    char buffer[16];
    EXPECT_EQ(-99, closed.readUntil(buffer, '\n', 1, sizeof buffer, nullptr, 0, 0));
    EXPECT_TRUE(log_.has("Read failed with errno = " + std::to_string(EBADF)));
    EXPECT_EQ(-99, closed.readUntilString(buffer, "\n", nullptr, sizeof buffer, 0, 0));
    EXPECT_EQ(-99, closed.read(buffer, 4, nullptr, false, 0, 0));
    EXPECT_EQ(-99, closed.readOnce(buffer, sizeof buffer, nullptr, 0, 0));
    EXPECT_EQ(3, log_.count("Read failed."));
    EXPECT_EQ(-99, closed.write("abc", 3, nullptr, 0, 0));
    EXPECT_TRUE(log_.has("write failed."));
    EXPECT_TRUE(log_.has("BytesWritten < 0."));

    // Lengths beyond a signed 32-bit count are refused before anything is transferred.
    Connection c = connect();
    ASSERT_TRUE(c.socket);
    EXPECT_EQ(-99, c.socket->read(buffer, 1ul << 31, nullptr, false, 0, 0));
    EXPECT_EQ(-99, c.socket->write(buffer, 1ul << 31, nullptr, 0, 0));
    EXPECT_EQ(0, c.socket->getBytesWritten());

    // A peer that has gone away: the write fails without a SIGPIPE ending the process.
    c.client->close();
    const std::string lots(4 * 1024 * 1024, 'p');
    int result = 0;
    for (int attempt = 0; attempt < 100 && result >= 0; ++attempt) {
        result = c.socket->write(lots.data(), lots.size(), nullptr, 0, 0);
    }
    EXPECT_EQ(-99, result);
}

namespace {

void ignoreSignal(int) {}

// Runs `call` on a thread and sends that thread SIGUSR1 (installed without SA_RESTART, so a
// blocked read fails with EINTR) every few milliseconds until the call returns. `step` runs
// between the signals. After 10 s `unblock` ends the call's wait and the test fails.
template <typename Call, typename Step, typename Unblock>
void interruptUntilDone(Call call, Step step, Unblock unblock) {
    struct sigaction action = {};
    struct sigaction previous = {};
    action.sa_handler = ignoreSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ASSERT_EQ(0, ::sigaction(SIGUSR1, &action, &previous));
    std::atomic<bool> done(false);
    std::thread worker([&] {
        call();
        done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done && std::chrono::steady_clock::now() < deadline) {
        ::pthread_kill(worker.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        step();
    }
    if (!done) {
        ADD_FAILURE() << "the call did not return";
        unblock();
    }
    worker.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
}

}  // namespace

TEST_F(SocketTest, InterruptedReads) {
    Connection c = connect();
    ASSERT_TRUE(c.socket);
    LoopbackClient* client = c.client.get();
    const auto unblock = [client] { client->shutdownWrite(); };
    char buffer[16];

    // readUntil gives up on an interrupted read.
    int result = 0;
    interruptUntilDone(
        [&] { result = c.socket->readUntil(buffer, '\n', 1, sizeof buffer, nullptr, 0, 0); }, [] {},
        unblock);
    EXPECT_EQ(-99, result);
    EXPECT_TRUE(log_.has("Read() interupted by a signal."));

    // read() repeats it: once an interruption is logged, the data sent afterwards is read.
    bool sent = false;
    interruptUntilDone([&] { result = c.socket->read(buffer, 3, nullptr, false, 0, 0); },
                       [&] {
                           if (!sent && log_.has("Read() interrupted by a signal")) {
                               sent = client->write("xyz");
                           }
                       },
                       unblock);
    EXPECT_TRUE(sent);
    EXPECT_EQ(3, result);
    EXPECT_EQ("xyz", std::string(buffer, 3));
}
