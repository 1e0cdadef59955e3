// The socket layer: listening, accepting, reading and writing on one IPv4 TCP descriptor, and
// the client side (name resolution and connects with time-outs from the configuration).
#include "quillmark/Socket.h"

#include "quillmark/ConfiguratorObjAccess.h"
#include "quillmark/Exception.h"
#include "quillmark/Log.h"
#include "quillmark/SystemError.h"
#include "quillmark/Utils.h"

#include <zthread/Guard.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <vector>

namespace quillmark {

namespace {

const long long kMaxWaitSec = 100000000;
const long long kMaxWaitUsec = 1000000;
const long kMaxBufferSize = 49152;
const int kListenBacklog = 4096;
// read(), readOnce() and write() count in a signed 32-bit integer.
const unsigned long kMaxTransfer = INT_MAX;
// `_fileFlags` of a descriptor handed to the constructor: its flags are read when setBlocking()
// first needs them, so that a connection that never changes its mode costs no fcntl().
const std::int64_t kFlagsUnknown = -1;

bool hasTimeout(long sec, long usec) { return sec != 0 || usec != 0; }

struct WaitTime {
    long long sec;
    long long usec;
};

// The reads raise a negative time-out to 0 (an immediate check); write() passes it on, and the
// wait then fails with EINVAL.
WaitTime lowered(long sec, long usec, bool raiseNegative) {
    WaitTime wait = {std::min<long long>(sec, kMaxWaitSec),
                     std::min<long long>(usec, kMaxWaitUsec)};
    if (raiseNegative) {
        wait.sec = std::max<long long>(wait.sec, 0);
        wait.usec = std::max<long long>(wait.usec, 0);
    }
    return wait;
}

// Waits until `fd` is readable (or writable) for at most `wait`, with select's results: above 0
// ready, 0 the time ran out, -1 failed with errno set. ppoll instead of select because an
// fd_set cannot hold a descriptor of FD_SETSIZE or more (writing it would overrun the set),
// and it rejects a negative time the same way (EINVAL).
int waitFor(int fd, bool forWrite, const WaitTime& wait) {
    struct pollfd entry;
    entry.fd = fd;
    entry.events = forWrite ? POLLOUT : POLLIN;
    entry.revents = 0;
    struct timespec limit;
    if (wait.sec < 0 || wait.usec < 0) {
        limit.tv_sec = static_cast<time_t>(wait.sec);
        limit.tv_nsec = static_cast<long>(wait.usec * 1000);
    } else {
        limit.tv_sec = static_cast<time_t>(wait.sec + wait.usec / 1000000);
        limit.tv_nsec = static_cast<long>((wait.usec % 1000000) * 1000);
    }
    return ::ppoll(&entry, 1, &limit, nullptr);
}

// The socket's pending error into `pending`; false when it cannot be fetched.
bool pendingError(int fd, int& pending) {
    pending = 0;
    socklen_t size = sizeof pending;
    return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &size) == 0;
}

void clearOut(unsigned long* count) {
    if (count != nullptr) *count = 0;
}

void setOut(unsigned long* count, unsigned long value) {
    if (count != nullptr) *count = value;
}

// ---- Client side ----

// Room for a dotted IPv4 text and its zero byte (INET_ADDRSTRLEN).
const std::size_t kAddressSize = 16;
const std::size_t kFirstLookupBuffer = 3000;
// An entry with more aliases and addresses than fit in 1 MiB is treated as a failed lookup.
const std::size_t kLastLookupBuffer = 1 << 20;
const std::size_t kHostNameBuffer = 15;
const char* const kRefusedHost = "BYPASS_HOST_CHECKS_FOR_LAB_BENCH_ONLY_NEVER_ON";
const char* const kLocalAddress = "127.0.0.1";
const char* const kNoConfiguration = "Cannot access Configuration";
const char* const kNoConfigurationAccess =
    "Cannot access ConfigurationFileAccess or xml is poorly formed.";

typedef ZThread::Guard<ZThread::FastMutex> LockGuard;

// Whether `text` is four runs of digits separated by dots, empty runs not counted.
bool isFourPartDottedText(const char* text) {
    int parts = 0;
    bool inPart = false;
    for (const char* at = text; *at != '\0'; ++at) {
        if (*at == '.') {
            inPart = false;
        } else if (*at >= '0' && *at <= '9') {
            if (!inPart) ++parts;
            inPart = true;
        } else {
            return false;
        }
    }
    return parts == 4;
}

// The configured time-out for a connection to `host`, in milliseconds. Throws when the
// configuration holder has no loaded access.
int configuredTimeoutMillis(const char* host) {
    ConfiguratorObjAccess* holder = ConfiguratorObjAccess::getInstance();
    if (holder == nullptr) QM_THROW(Exception, kNoConfiguration);
    ConfigurationFileAccess* access = holder->getAccess();
    if (access == nullptr || !access->isLoaded()) QM_THROW(Exception, kNoConfigurationAccess);
    if (host != nullptr && std::strcmp(host, kLocalAddress) == 0) {
        return access->getInt("LocalSocketTimeoutMillisec", "100");
    }
    return access->getInt("SocketTimeoutMillisec", "500");
}

// Milliseconds as seconds and microseconds: above 1000 split at whole seconds, otherwise all in
// microseconds (1000 ms is 0 s and 1000000 us). 64-bit, so no configured int overflows.
WaitTime fromMillis(int millis) {
    const long long value = millis;
    if (value > 1000) return WaitTime{value / 1000, (value % 1000) * 1000};
    return WaitTime{0, value * 1000};
}

// `wait` with whole seconds carried out of the microseconds: the kernel refuses a socket
// time-out of 1000000 us or more (EDOM), which would leave the descriptor without any.
timeval normalised(const timeval& wait) {
    const long long total = static_cast<long long>(wait.tv_sec) * 1000000 + wait.tv_usec;
    timeval result;
    result.tv_sec = static_cast<time_t>(total / 1000000);
    result.tv_usec = static_cast<suseconds_t>(total % 1000000);
    if (result.tv_usec < 0) {
        result.tv_sec -= 1;
        result.tv_usec += 1000000;
    }
    return result;
}

sockaddr_in peerAddress(const char* dotted, unsigned short port) {
    sockaddr_in peer;
    std::memset(&peer, 0, sizeof peer);
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = ::inet_addr(dotted);
    return peer;
}

// Waits up to `wait` for a connecting descriptor to become readable or writable, as select with
// the descriptor in both sets does: an error or hang-up counts as both, a hang-up alone as
// readable. An interrupted wait goes on for the time that remains. Returns above 0 when ready
// (with `readable` and `writable` set), 0 when the time ran out, -1 when the wait failed (errno
// set; a negative time fails with EINVAL).
int waitForConnection(int fd, const WaitTime& wait, bool& readable, bool& writable) {
    readable = false;
    writable = false;
    struct pollfd entry;
    entry.fd = fd;
    entry.events = POLLIN | POLLOUT;
    if (wait.sec < 0 || wait.usec < 0) {
        entry.revents = 0;
        const struct timespec limit = {static_cast<time_t>(wait.sec),
                                       static_cast<long>(wait.usec * 1000)};
        return ::ppoll(&entry, 1, &limit, nullptr);
    }
    typedef std::chrono::steady_clock Clock;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::seconds(wait.sec) + std::chrono::microseconds(wait.usec);
    for (;;) {
        const std::chrono::nanoseconds left =
            std::max(std::chrono::nanoseconds(0), deadline - Clock::now());
        const struct timespec limit = {static_cast<time_t>(left.count() / 1000000000),
                                       static_cast<long>(left.count() % 1000000000)};
        entry.revents = 0;
        const int ready = ::ppoll(&entry, 1, &limit, nullptr);
        if (ready < 0 && errno == EINTR) continue;
        if (ready > 0) {
            readable = (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
            writable = (entry.revents & (POLLOUT | POLLERR)) != 0;
        }
        return ready;
    }
}

// connect() that sees an interrupted attempt through: after EINTR the kernel goes on connecting
// in the background and a second connect() would only report EALREADY, so wait (without a time
// limit, as the blocking connect does) for the outcome and take it from the pending error.
// Returns 0, or -1 with errno set.
int connectUninterrupted(int fd, const sockaddr_in& peer) {
    if (::connect(fd, reinterpret_cast<const struct sockaddr*>(&peer), sizeof peer) == 0) return 0;
    if (errno != EINTR) return -1;
    struct pollfd entry;
    entry.fd = fd;
    entry.events = POLLOUT;
    for (;;) {
        entry.revents = 0;
        const int ready = ::poll(&entry, 1, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return -1;
        break;
    }
    int pending = 0;
    if (!pendingError(fd, pending)) return -1;
    if (pending != 0) {
        errno = pending;
        return -1;
    }
    return 0;
}

}  // namespace

ZThread::FastMutex Socket::resolveLock_;

Socket::Socket()
    : _channel(-1),
      _clientChannel(0),
      _bytesRead(0),
      _bytesWritten(0),
      _fileFlags(0),
      // A descriptor starts in blocking mode, so a first request for non-blocking mode acts.
      _blocking(1),
      _timeoutSec(0),
      _timeoutUsec(0) {
    std::memset(&_address, 0, sizeof _address);
    _ioTimeout.tv_sec = 0;
    _ioTimeout.tv_usec = 0;
}

Socket::Socket(int descriptor, const sockaddr_in* peer)
    : _channel(descriptor),
      _clientChannel(-1),
      _bytesRead(0),
      _bytesWritten(0),
      _fileFlags(kFlagsUnknown),
      _blocking(1),
      _timeoutSec(0),
      _timeoutUsec(0) {
    std::memset(&_address, 0, sizeof _address);
    if (peer != nullptr) _address = *peer;
    _ioTimeout.tv_sec = 0;
    _ioTimeout.tv_usec = 0;
}

Socket::Socket(const Socket& other)
    : _channel(other._channel),
      _clientChannel(other._clientChannel),
      _bytesRead(other._bytesRead),
      _bytesWritten(other._bytesWritten),
      _fileFlags(other._fileFlags),
      _blocking(other._blocking),
      _timeoutSec(other._timeoutSec),
      _timeoutUsec(other._timeoutUsec),
      _address(other._address) {
    _ioTimeout.tv_sec = 0;
    _ioTimeout.tv_usec = 0;
}

Socket& Socket::operator=(const Socket& other) {
    if (this == &other) return *this;
    _channel = other._channel;
    _clientChannel = other._clientChannel;
    _bytesRead = other._bytesRead;
    _bytesWritten = other._bytesWritten;
    _fileFlags = other._fileFlags;
    _blocking = other._blocking;
    _timeoutSec = other._timeoutSec;
    _timeoutUsec = other._timeoutUsec;
    _address = other._address;
    return *this;
}

Socket::~Socket() { close(); }

void Socket::recordFileFlags() {
    const int flags = ::fcntl(_channel, F_GETFL);
    if (flags < 0) return;
    _fileFlags = flags;
    _blocking = (flags & O_NONBLOCK) ? 0 : 1;
}

int Socket::create() {
    if (_channel != -1) return 0;
    _channel = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (_channel == -1) {
        const int error = errno;
        QM_LOG_FATAL("Failed to create socket. errno=" << error);
        return -1;
    }
    recordFileFlags();
    return 0;
}

int Socket::listen(unsigned short port, const char* ip) {
    if (setBufferSize(2, kMaxBufferSize) == -1) return -1;

    // A restarted manager must be able to bind its port while connections of the previous run
    // are still in TIME_WAIT.
    const int reuse = 1;
    if (::setsockopt(_channel, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0) {
        const int error = errno;
        QM_LOG_FATAL("Failed to set sockopt to REUSEADDR. errno=" << error);
        return -1;
    }

    struct sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = ip != nullptr ? ::inet_addr(ip) : htonl(INADDR_ANY);
    if (::bind(_channel, reinterpret_cast<const struct sockaddr*>(&local), sizeof local) != 0) {
        const int error = errno;
        QM_LOG_FATAL("Failed to bind. errno=" << error);
        return -1;
    }

    if (::listen(_channel, kListenBacklog) != 0) {
        const int error = errno;
        QM_LOG_FATAL("Failed to listen. errno=" << error);
        return -1;
    }
    return 0;
}

int Socket::listenService(const char* service, const char* protocol) {
    struct servent entry;
    struct servent* found = nullptr;
    char work[4096];
    if (service == nullptr ||
        ::getservbyname_r(service, protocol, &entry, work, sizeof work, &found) != 0 ||
        found == nullptr) {
        QM_LOG_FATAL("Couldn't find service: " << (service != nullptr ? service : ""));
        return -1;
    }
    if (listen(ntohs(static_cast<unsigned short>(found->s_port)), nullptr) < 0) {
        QM_LOG_FATAL("Failed to listen");
        return -1;
    }
    return 0;
}

int Socket::setBufferSize(int which, long size) {
    const int capped = static_cast<int>(std::min(size, kMaxBufferSize));
    if (capped <= 0) {
        QM_LOG_ERROR("Invalid argument=" << capped << ". Must be > 0");
        return -1;
    }
    if (which == 1 || which == 3) {
        if (::setsockopt(_channel, SOL_SOCKET, SO_SNDBUF, &capped, sizeof capped) != 0) {
            QM_LOG_ERROR("setsockopt() SNDBUF = " << capped << " failed!");
            return -1;
        }
    }
    if (which == 2 || which == 3) {
        if (::setsockopt(_channel, SOL_SOCKET, SO_RCVBUF, &capped, sizeof capped) != 0) {
            QM_LOG_ERROR("setsockopt() RCVBUF = " << capped << " failed!");
            return -1;
        }
    }
    return 0;
}

int Socket::setKeepAlive(bool on) {
    const int value = on ? 1 : 0;
    if (::setsockopt(_channel, SOL_SOCKET, SO_KEEPALIVE, &value, sizeof value) != 0) {
        QM_LOG_ERROR("setsockopt() to KEEP_ALIVE failed.");
        return -1;
    }
    return 0;
}

int Socket::accept() {
    int error = 0;
    if (acceptSilently(error) == -1) {
        QM_LOG_ERROR("Failed to accept. errno=" << error);
        return -1;
    }
    return 0;
}

int Socket::acceptSilently(int& error) {
    errno = 0;
    socklen_t size = sizeof _address;
    _clientChannel =
        ::accept4(_channel, reinterpret_cast<struct sockaddr*>(&_address), &size, SOCK_CLOEXEC);
    error = _clientChannel == -1 ? errno : 0;
    return _clientChannel == -1 ? -1 : 0;
}

int Socket::setBlocking(int blocking) {
    // Normalised, so that a request for blocking mode with any non-zero value is recognised as
    // the mode already in force.
    const std::int64_t wanted = blocking != 0 ? 1 : 0;
    if (_fileFlags == kFlagsUnknown) {
        recordFileFlags();
        if (_fileFlags == kFlagsUnknown) return -1;
    }
    if (wanted == _blocking) return 0;
    const std::int64_t previous = _fileFlags;
    if (wanted) {
        _fileFlags &= ~static_cast<std::int64_t>(O_NONBLOCK);
    } else {
        _fileFlags |= O_NONBLOCK;
    }
    if (::fcntl(_channel, F_SETFL, static_cast<int>(_fileFlags)) == -1) {
        _fileFlags = previous;
        return -1;
    }
    _blocking = wanted;
    return 0;
}

void Socket::setTimeout(long sec, long usec) {
    _timeoutSec = std::min<long long>(sec, kMaxWaitSec);
    _timeoutUsec = std::min<long long>(usec, kMaxWaitUsec);
}

void Socket::close() {
    if (_channel == -1) return;
    QM_LOG_DEBUG("Closing channel " << _channel << ", Time = " << Utils::timeString());
    ::close(_channel);
    _channel = -1;
}

int Socket::shutdown() {
    if (_channel == -1) return -1;
    return ::shutdown(_channel, SHUT_RDWR) == 0 ? 0 : -1;
}

unsigned short Socket::localPort() const {
    if (_channel == -1) return 0;
    struct sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    socklen_t size = sizeof local;
    if (::getsockname(_channel, reinterpret_cast<struct sockaddr*>(&local), &size) != 0 ||
        local.sin_family != AF_INET) {
        return 0;
    }
    return ntohs(local.sin_port);
}

namespace {

// The DEBUG line `announce` that opens the wait before a transfer with a time-out, showing it.
void announceWait(int channel, bool forWrite, long sec, long usec, const char* announce) {
    const WaitTime wait = lowered(sec, usec, !forWrite);
    QM_LOG_DEBUG(announce << ". _channel [" << channel << "] tv_sec [" << wait.sec << "], tv_usec ["
                          << wait.usec << "]");
}

// The wait before a transfer with a time-out (none when `sec` and `usec` are both 0): 0 to go
// on with the transfer, -1 when the time ran out, -99 when the wait was interrupted or refused
// its time. Any other failed wait is left to the transfer, which reports what it meets;
// `otherFailure`, when not null, is logged for it. `announce`, when not null, is logged first
// (announceWait).
int waitBeforeTransfer(int channel, bool forWrite, long sec, long usec, const char* announce,
                       const char* otherFailure) {
    if (!hasTimeout(sec, usec)) return 0;
    if (announce != nullptr) announceWait(channel, forWrite, sec, usec, announce);
    const int ready = waitFor(channel, forWrite, lowered(sec, usec, !forWrite));
    if (ready == 0) {
        QM_LOG_ERROR("Select() timed out after " << sec << " sec " << usec << " ms.");
        return -1;
    }
    if (ready < 0) {
        if (errno == EINTR || errno == EINVAL) {
            QM_LOG_ERROR("Select() failed");
            return -99;
        }
        if (otherFailure != nullptr) QM_LOG_ERROR(otherFailure);
    }
    return 0;
}

// read() and write() with a time-out make their first attempt without the wait (MSG_DONTWAIT),
// and wait as the time-out allows only when that attempt would block (EAGAIN). What has arrived,
// or room in the send buffer, is all the wait would find, so the results and the lines logged are
// those of a wait followed by the transfer, one system call fewer. Later attempts wait first:
// after a short transfer the wait is what comes next anyway. A descriptor that is not a socket
// (ENOTSOCK) and an interrupted attempt go the way of the wait as well.
bool wouldBlock(ssize_t result) {
    return result < 0 &&
           (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTSOCK || errno == EINTR);
}

// The single wait before a byte-by-byte read: 0 to go on reading, or the read's result.
int waitBeforeByteReads(int channel, long sec, long usec) {
    if (!hasTimeout(sec, usec)) return 0;
    const int waited = waitBeforeTransfer(channel, false, sec, usec, nullptr, nullptr);
    if (waited != 0) return waited;
    int pending = 0;
    if (!pendingError(channel, pending)) {
        QM_LOG_ERROR("getsockopt() failed");
        return -1;
    }
    return 0;
}

// What a read logs when ::read() fails; the texts differ from one read to another.
struct ReadFailureTexts {
    const char* interrupted;  // EINTR
    bool repeatsInterrupted;  // after EINTR the read is repeated instead of failing
    const char* failed;       // any error but EINTR, EAGAIN and EWOULDBLOCK
    bool failedNamesErrno;    // `failed` is followed by the errno
};

const ReadFailureTexts kReadUntilFailure = {"Read() interupted by a signal.", false,
                                            "Read failed with errno = ", true};
const ReadFailureTexts kReadFailure = {"Read() interupted by a signal.", false, "Read failed.",
                                       false};
const ReadFailureTexts kExactReadFailure = {"Read() interrupted by a signal", true, "Read failed.",
                                            false};

// failedRead() result: the interrupted read is to be repeated.
const int kReadAgain = 0;

// The result of a read whose ::read() failed with `error`, logged with `texts`: -1 for a
// time-out (EAGAIN or EWOULDBLOCK), kReadAgain for an interruption that `texts` repeats, -99 for
// any other interruption or failure.
int failedRead(int error, long sec, long usec, const ReadFailureTexts& texts) {
    if (error == EINTR) {
        QM_LOG_ERROR(texts.interrupted);
        return texts.repeatsInterrupted ? kReadAgain : -99;
    }
    if (error == EAGAIN || error == EWOULDBLOCK) {
        QM_LOG_ERROR("Read() timed out after " << sec << " sec " << usec << " ms.");
        return -1;
    }
    if (texts.failedNamesErrno) {
        QM_LOG_ERROR(texts.failed << error);
    } else {
        QM_LOG_ERROR(texts.failed);
    }
    return -99;
}

}  // namespace

int Socket::readUntil(char* buffer, char delimiter, int count, unsigned long bufferLength,
                      unsigned long* received, long sec, long usec) {
    clearOut(received);
    const int waited = waitBeforeByteReads(_channel, sec, usec);
    if (waited != 0) return waited;
    if (bufferLength <= 1 || count <= 0) return 0;

    const unsigned long limit = std::min(bufferLength - 1, kMaxTransfer);
    unsigned long stored = 0;
    int delimiters = 0;
    while (stored < limit && delimiters < count) {
        const ssize_t n = ::read(_channel, buffer + stored, 1);
        if (n == 0) return 0;
        if (n < 0) return failedRead(errno, sec, usec, kReadUntilFailure);
        if (buffer[stored] == delimiter) ++delimiters;
        ++stored;
    }
    setOut(received, stored);
    _bytesRead += static_cast<std::int64_t>(stored);
    return static_cast<int>(stored);
}

int Socket::readUntilString(char* buffer, const char* terminator, unsigned long* received,
                            unsigned long bufferLength, long sec, long usec) {
    clearOut(received);
    const int waited = waitBeforeByteReads(_channel, sec, usec);
    if (waited != 0) return waited;
    if (terminator == nullptr || *terminator == '\0' || bufferLength <= 1) {
        if (bufferLength >= 1) buffer[0] = '\0';
        return 0;
    }

    const unsigned long limit = std::min(bufferLength - 1, kMaxTransfer);
    unsigned long stored = 0;
    const char* position = terminator;
    while (stored < limit && *position != '\0') {
        const ssize_t n = ::read(_channel, buffer + stored, 1);
        if (n == 0) {
            buffer[stored] = '\0';
            return 0;
        }
        if (n < 0) {
            const int error = errno;
            buffer[stored] = '\0';
            return failedRead(error, sec, usec, kReadFailure);
        }
        // A mismatching byte restarts the match and is not tried as the terminator's first byte.
        position = buffer[stored] == *position ? position + 1 : terminator;
        ++stored;
    }
    buffer[stored] = '\0';
    setOut(received, stored);
    _bytesRead += static_cast<std::int64_t>(stored);
    return static_cast<int>(stored);
}

int Socket::read(char* buffer, unsigned long length, unsigned long* received, bool peerCloseOk,
                 long sec, long usec) {
    clearOut(received);
    if (length == 0) return 0;
    if (length > kMaxTransfer) {
        QM_LOG_ERROR("Read failed.");
        return -99;
    }
    const bool waits = hasTimeout(sec, usec);
    const WaitTime wait = lowered(sec, usec, true);
    bool atOnce = waits;
    unsigned long done = 0;
    while (done < length) {
        errno = 0;
        ssize_t n = atOnce ? ::recv(_channel, buffer + done, length - done, MSG_DONTWAIT) : -1;
        if (!atOnce || wouldBlock(n)) {
            atOnce = false;
            if (waits) {
                errno = 0;
                const int ready = waitFor(_channel, false, wait);
                const int error = errno;
                if (ready == 0) {
                    QM_LOG_ERROR("Select() timed out after " << sec << " sec " << usec
                                                             << " ms. errno=" << error);
                    return -1;
                }
                if (ready < 0) {
                    QM_LOG_ERROR("Select() failed. errno=" << error);
                    if (error == EINTR) continue;
                    if (error == EINVAL) return -99;
                }
            }
            errno = 0;
            n = ::read(_channel, buffer + done, length - done);
        }
        atOnce = false;
        if (n > 0) {
            done += static_cast<unsigned long>(n);
            setOut(received, done);
            _bytesRead += n;
            continue;
        }
        if (n == 0) {
            setOut(received, done);
            if (peerCloseOk) {
                QM_LOG_DEBUG("Connection was closed by client.");
                return static_cast<int>(_bytesRead);
            }
            QM_LOG_ERROR("Connection went down before all bytes were read.");
            return -99;
        }
        const int result = failedRead(errno, sec, usec, kExactReadFailure);
        if (result == kReadAgain) continue;
        return result;
    }
    return static_cast<int>(length);
}

int Socket::readOnce(char* buffer, unsigned long length, unsigned long* received, long sec,
                     long usec) {
    clearOut(received);
    const int waited =
        waitBeforeTransfer(_channel, false, sec, usec, "readOnce: using Select", nullptr);
    if (waited != 0) return waited;
    const ssize_t n = ::read(_channel, buffer, std::min(length, kMaxTransfer));
    if (n > 0) {
        setOut(received, static_cast<unsigned long>(n));
        _bytesRead += n;
        return static_cast<int>(n);
    }
    if (n == 0) return 0;
    return failedRead(errno, sec, usec, kReadFailure);
}

int Socket::readArrived(char* buffer, unsigned long length) {
    for (;;) {
        const ssize_t n = ::recv(_channel, buffer, std::min(length, kMaxTransfer), MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        _bytesRead += n;
        return static_cast<int>(n);
    }
}

int Socket::write(const char* buffer, unsigned long length, unsigned long* written, long sec,
                  long usec, bool moreFollows) {
    clearOut(written);
    if (length == 0) return 0;
    if (length > kMaxTransfer) {
        QM_LOG_ERROR("write failed.");
        return -99;
    }
    const bool waits = hasTimeout(sec, usec);
    // MSG_NOSIGNAL: a peer that has gone away is a failed write (EPIPE), not a SIGPIPE that ends
    // a process which has not ignored it. With a time-out the send takes only what fits now
    // (MSG_DONTWAIT) and the loop waits again for the rest: on a blocking descriptor a plain send
    // would wait for room for every byte, past the time-out. MSG_MORE holds back a last part
    // that does not fill a segment until the next write.
    const int flags = MSG_NOSIGNAL | (waits ? MSG_DONTWAIT : 0) | (moreFollows ? MSG_MORE : 0);
    // A negative time, which the wait refuses, keeps the wait first so that the write fails.
    const WaitTime wait = lowered(sec, usec, false);
    bool atOnce = waits && wait.sec >= 0 && wait.usec >= 0;
    const char* const kAnnounce = "write: using select";
    const char* const kWaitFailed = "Select failed with error";
    unsigned long done = 0;
    while (done < length) {
        // The first attempt is announced as the wait would be, and waits only when it must.
        const bool first = atOnce;
        atOnce = false;
        if (first) announceWait(_channel, true, sec, usec, kAnnounce);
        ssize_t n = first ? ::send(_channel, buffer + done, length - done, flags) : -1;
        if (!first || wouldBlock(n)) {
            const int waited = waitBeforeTransfer(_channel, true, sec, usec,
                                                  first ? nullptr : kAnnounce, kWaitFailed);
            if (waited != 0) return waited;
            n = ::send(_channel, buffer + done, length - done, flags);
        }
        if (n > 0) {
            done += static_cast<unsigned long>(n);
            setOut(written, done);
            _bytesWritten += n;
            continue;
        }
        const int error = errno;
        QM_LOG_DEBUG("BytesWritten <= 0.");
        if (n == 0) {
            setOut(written, done);
            QM_LOG_DEBUG("Connection went down before all bytes were read.");
            return -99;
        }
        QM_LOG_DEBUG("BytesWritten < 0.");
        if (error == EINTR || error == EAGAIN || error == EWOULDBLOCK) {
            QM_LOG_DEBUG("EINTR or EWOULDBLOCK");
            // A non-blocking descriptor without a time-out would otherwise spin on EAGAIN until
            // the peer reads; wait for room instead. The result of the wait does not matter: the
            // write that follows reports any failure.
            if (error != EINTR && !waits) {
                struct pollfd entry = {_channel, POLLOUT, 0};
                ::poll(&entry, 1, -1);
            }
            continue;
        }
        QM_LOG_ERROR("write failed.");
        return -99;
    }
    return static_cast<int>(length);
}

// ---- Client side ----

int Socket::resolve(const char* host, char* address) {
    LockGuard guard(resolveLock_);
    if (host == nullptr || *host == '\0' || address == nullptr) return -1;
    if (std::strcmp(host, kRefusedHost) == 0) return -1;

    if (isFourPartDottedText(host)) {
        const std::size_t length = std::strlen(host);
        if (length >= kAddressSize) {
            QM_LOG_ERROR("Address text " << host << " is too long.");
            return -1;
        }
        std::memcpy(address, host, length + 1);
        return 0;
    }

    struct hostent entry;
    struct hostent* found = nullptr;
    int resolverError = 0;
    std::vector<char> work(kFirstLookupBuffer);
    for (;;) {
        const int result =
            ::gethostbyname_r(host, &entry, work.data(), work.size(), &found, &resolverError);
        // A large entry (many aliases or addresses) does not fit the work buffer: grow it.
        if (result != ERANGE || work.size() >= kLastLookupBuffer) break;
        work.resize(work.size() * 2);
    }
    if (found == nullptr) {
        QM_LOG_ERROR("gethostbyname(" << host << ") failed. errno=" << resolverError);
        return -1;
    }
    if (found->h_addrtype != AF_INET || found->h_length != sizeof(struct in_addr) ||
        found->h_addr_list == nullptr || found->h_addr_list[0] == nullptr ||
        ::inet_ntop(AF_INET, found->h_addr_list[0], address, kAddressSize) == nullptr) {
        QM_LOG_ERROR("inet_ntoa failed.");
        return -1;
    }
    return 0;
}

int Socket::connect(const char* host, unsigned short port, int /*unusedTimeout*/) {
    if (create() == -1) return -1;
    char address[kAddressSize];
    if (resolve(host, address) == -1) return -1;
    _address = peerAddress(address, port);

    errno = 0;
    const int flags = ::fcntl(_channel, F_GETFL);
    if (flags == -1 || ::fcntl(_channel, F_SETFL, flags | O_NONBLOCK) == -1) {
        QM_LOG_FATAL("Couldn't set socket to non-blocking.");
        return -1;
    }
    // The cached mode follows the descriptor, so that a later setBlocking(1) is not mistaken
    // for the mode already in force.
    recordFileFlags();

    errno = 0;
    if (::connect(_channel, reinterpret_cast<const struct sockaddr*>(&_address), sizeof _address) !=
        0) {
        const int error = errno;
        // An interrupted attempt goes on in the background just like one in progress.
        if (error != EAGAIN && error != EINPROGRESS && error != EINTR) {
            QM_LOG_FATAL("Couldn't connect to socket");
            return -1;
        }
        QM_LOG_DEBUG("Connection may be in progress");
    }

    const WaitTime configured = fromMillis(configuredTimeoutMillis(host));
    _timeoutSec = std::min(configured.sec, kMaxWaitSec);
    _timeoutUsec = std::min(configured.usec, kMaxWaitUsec);
    QM_LOG_DEBUG("connect - Select timeout set to " << _timeoutSec << " sec, " << _timeoutUsec
                                                    << " usec");

    errno = 0;
    bool readable = false;
    bool writable = false;
    const int ready =
        waitForConnection(_channel, WaitTime{_timeoutSec, _timeoutUsec}, readable, writable);
    const int waitError = errno;
    QM_LOG_DEBUG("rc = " << ready << ", errno = " << waitError);
    if (ready == -1) {
        QM_LOG_ERROR("Couldn't select on socket.");
        return -1;
    }
    if (readable || writable) {
        int pending = 0;
        if (!pendingError(_channel, pending)) {
            QM_LOG_ERROR("Couldn't getsocopt on socket.");
            return -1;
        }
        // A refused or unreachable peer also makes the descriptor writable; only the pending
        // error tells it from a connection that stands.
        if (pending != 0) {
            QM_LOG_FATAL("Couldn't connect to socket");
            return -1;
        }
    }
    if (writable) return 0;
    QM_LOG_ERROR("Couldn't FD_ISSET on socket.");
    return -1;
}

int Socket::connect(const char* host, unsigned short port) {
    if (create() == -1) return -1;
    char address[kAddressSize];
    if (resolve(host, address) == -1) return -1;
    _address = peerAddress(address, port);

    if (connectUninterrupted(_channel, _address) != 0) {
        QM_LOG_FATAL("Failed to connect to host=" << host << " at port=" << port);
        return -1;
    }

    setIoTimeoutFromConfig(host);
    applyIoTimeout(_ioTimeout);
    return 0;
}

int Socket::applyIoTimeout(const timeval& limit) {
    _ioTimeout = limit;
    const timeval applied = normalised(limit);
    if (::setsockopt(_channel, SOL_SOCKET, SO_RCVTIMEO, &applied, sizeof applied) != 0 ||
        ::setsockopt(_channel, SOL_SOCKET, SO_SNDTIMEO, &applied, sizeof applied) != 0) {
        const int error = errno;
        QM_LOG_WARN(systemErrorText("Socket time-out of " + std::to_string(applied.tv_sec) +
                                        " sec " + std::to_string(applied.tv_usec) + " usec not set",
                                    error));
        return -1;
    }
    return 0;
}

void Socket::setIoTimeoutFromConfig(const char* host) {
    const WaitTime configured = fromMillis(configuredTimeoutMillis(host));
    _ioTimeout.tv_sec = static_cast<time_t>(configured.sec);
    _ioTimeout.tv_usec = static_cast<suseconds_t>(configured.usec);
}

int Socket::getLocalHostName(std::string& name) {
    char buffer[kHostNameBuffer];
    std::memset(buffer, 0, sizeof buffer);
    errno = 0;
    // gethostname fails with ENAMETOOLONG when the name and its zero byte do not fit; the last
    // test guards against a C library that truncates without saying so.
    if (::gethostname(buffer, sizeof buffer) != 0 || buffer[sizeof buffer - 1] != '\0') {
        const int error = errno != 0 ? errno : ENAMETOOLONG;
        QM_LOG_ERROR("Failed to get localhost name. errno=" << error);
        return -1;
    }
    name = buffer;
    return 0;
}

int Socket::getAddressString(std::string& text) const {
    char peer[kAddressSize];
    if (::inet_ntop(AF_INET, &_address.sin_addr, peer, sizeof peer) == nullptr) return -1;
    char resolved[kAddressSize];
    if (resolve(peer, resolved) == -1) return -1;
    text = resolved;
    return 0;
}

}  // namespace quillmark
