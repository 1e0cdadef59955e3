#include "support/LoopbackClient.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace qmtest {

unsigned short boundPort(int descriptor) {
    struct sockaddr_in local;
    socklen_t size = sizeof local;
    std::memset(&local, 0, sizeof local);
    if (::getsockname(descriptor, reinterpret_cast<struct sockaddr*>(&local), &size) != 0) return 0;
    return ntohs(local.sin_port);
}

LoopbackServer::LoopbackServer() : port_(0) {
    if (socket_.create() != 0 || socket_.listen(0, "127.0.0.1") != 0) {
        ADD_FAILURE() << "cannot listen on 127.0.0.1";
        return;
    }
    port_ = socket_.localPort();
    if (port_ == 0) ADD_FAILURE() << "cannot read the listening port";
}

std::unique_ptr<quillmark::Socket> LoopbackServer::accept() {
    if (socket_.accept() != 0) {
        ADD_FAILURE() << "accept failed";
        return nullptr;
    }
    return std::unique_ptr<quillmark::Socket>(
        new quillmark::Socket(socket_.getClientChannel(), &socket_.getAddress()));
}

LoopbackClient::LoopbackClient(unsigned short port)
    : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (fd_ < 0) {
        ADD_FAILURE() << "socket: " << std::strerror(errno);
        return;
    }
    struct timeval limit = {30, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    struct sockaddr_in peer;
    std::memset(&peer, 0, sizeof peer);
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<const struct sockaddr*>(&peer), sizeof peer) != 0) {
        ADD_FAILURE() << "connect to 127.0.0.1:" << port << ": " << std::strerror(errno);
        close();
    }
}

LoopbackClient::~LoopbackClient() { close(); }

bool LoopbackClient::write(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool LoopbackClient::writePieces(const std::vector<std::string>& pieces,
                                 std::chrono::milliseconds pause) {
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        if (!write(pieces[i])) return false;
        if (i + 1 < pieces.size() && pause.count() > 0) std::this_thread::sleep_for(pause);
    }
    return true;
}

void LoopbackClient::shutdownWrite() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

std::string LoopbackClient::readUntilClose() {
    std::string out;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return out;
        out.append(chunk, static_cast<std::size_t>(n));
    }
}

std::string LoopbackClient::readExactly(std::size_t count) {
    std::string out(count, '\0');
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::read(fd_, &out[done], count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    out.resize(done);
    return out;
}

void LoopbackClient::close() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
}

std::vector<std::string> splitEvery(const std::string& bytes, std::size_t size) {
    std::vector<std::string> pieces;
    for (std::size_t at = 0; at < bytes.size(); at += size) {
        pieces.push_back(bytes.substr(at, size));
    }
    return pieces;
}

std::string framedHeader(std::uint64_t length, unsigned char version) {
    std::string header = "QMCP";
    header.push_back(static_cast<char>(version));
    for (int i = 0; i < 8; ++i) header.push_back(static_cast<char>((length >> (8 * i)) & 0xFF));
    return header;
}

std::string framedMessage(const std::string& body, unsigned char version) {
    return framedHeader(body.size(), version) + body + std::string(1, '\0');
}

}  // namespace qmtest
