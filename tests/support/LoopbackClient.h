// Loopback helpers for tests that drive real TCP connections on 127.0.0.1.
//
// LoopbackServer is a quillmark::Socket listening on a port the kernel picks; LoopbackClient is
// the other end of a connection to it, built on plain system calls so that it does not depend
// on the Socket code under test. framedMessage() and framedHeader() spell out the bytes of the
// manager's framed messages independently of MessageHeader.
//
// Each object belongs to one thread at a time; a client may be handed to another thread (for a
// writer that sends while the test thread receives) as long as only that thread uses it.
#ifndef QM_TESTS_SUPPORT_LOOPBACKCLIENT_H
#define QM_TESTS_SUPPORT_LOOPBACKCLIENT_H

#include "quillmark/Socket.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qmtest {

// The local port of a bound socket descriptor (getsockname); 0 when it cannot be read.
unsigned short boundPort(int descriptor);

// A Socket created and listening on 127.0.0.1 at a port chosen at run time. A failure to set it
// up fails the current test.
class LoopbackServer {
public:
    LoopbackServer();

    quillmark::Socket& socket() { return socket_; }
    unsigned short port() const { return port_; }

    // Accepts one connection and wraps its descriptor and address in a new Socket, as the
    // manager's listener does; the caller owns it. Null (and a test failure) when accept fails.
    std::unique_ptr<quillmark::Socket> accept();

private:
    quillmark::Socket socket_;
    unsigned short port_;
};

// One client connection to 127.0.0.1:port, closed when the object goes. Reads give up after 30 s
// without data, so a server that never answers fails the test instead of hanging it.
class LoopbackClient {
public:
    // Connects at once; a failure fails the current test and leaves isConnected() false.
    explicit LoopbackClient(unsigned short port);
    ~LoopbackClient();
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    bool isConnected() const { return fd_ >= 0; }
    int descriptor() const { return fd_; }

    // Writes every byte. False when the connection fails (no SIGPIPE is raised).
    bool write(const std::string& bytes);
    // Writes the pieces in order with Nagle's delay off, pausing `pause` after each but the last
    // so that the peer sees them arrive apart. False when a write fails.
    bool writePieces(const std::vector<std::string>& pieces,
                     std::chrono::milliseconds pause = std::chrono::milliseconds(0));
    // Ends the sending direction: the peer reads the end of the stream and may still reply.
    void shutdownWrite();
    // Reads until the peer closes, an error or the 30 s read time-out; returns what arrived.
    std::string readUntilClose();
    // Reads until `count` bytes have arrived or the stream ends; returns what arrived.
    std::string readExactly(std::size_t count);
    // Closes the connection now (the destructor then does nothing).
    void close();

private:
    int fd_;
};

// `bytes` cut into pieces of `size` bytes; the last piece may be shorter.
std::vector<std::string> splitEvery(const std::string& bytes, std::size_t size);

// The 13 header bytes of a framed message: "QMCP", `version`, `length` as 8 little-endian bytes.
std::string framedHeader(std::uint64_t length, unsigned char version = 1);
// A whole framed message: the header for `body`, the body and its terminating zero byte.
std::string framedMessage(const std::string& body, unsigned char version = 1);

}  // namespace qmtest

#endif  // QM_TESTS_SUPPORT_LOOPBACKCLIENT_H
