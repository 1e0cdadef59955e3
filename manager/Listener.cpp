#include "Listener.h"

#include "CommandProcessor.h"
#include "CommandProcessorFactory.h"
#include "other/RequestMemory.h"

#include "quillmark/Exception.h"
#include "quillmark/Log.h"
#include "quillmark/Socket.h"

#include <zthread/Exceptions.h>
#include <zthread/Guard.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <exception>

namespace quillmark {

namespace {

// Closing a connection whose peer's bytes are still unread makes the kernel reset it, and a reset
// can destroy the reply before the client reads it. A framed request always leaves its
// terminating zero byte unread, so what has already arrived is read and dropped first.
void discardArrivedInput(Socket& connection) {
    char sink[4096];
    for (int round = 0; round < 256; ++round) {
        const ssize_t n = ::recv(connection.getChannel(), sink, sizeof sink, MSG_DONTWAIT);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        return;
    }
}

typedef ZThread::Guard<ZThread::FastMutex> SocketGuard;

// How long cancel() waits for a thread woken from accept() by the shutdown to leave it, and that
// thread for the cancel() to finish. The woken thread only logs the failed accept and takes
// socketLock_, so this is ample; after it cancel() leaves the close to that thread.
const auto kAcceptExitWait = std::chrono::milliseconds(2000);

const char kNoProcessorReply[] = "FAILURE! Unable to create processor for the given request";
const char kProcessingFailed[] = "Exception raised while processing command";
const char kEmptyReply[] = "FAILURE! Unexpected empty response.";
const char kPortInUse[] =
    "]. The port may already be in use by another application. Exiting quillmark agent manager.";

// Logs a failure while serving one request. Building the line needs memory too; should that
// fail as well, the line is lost rather than the Listener's thread.
template <typename Detail>
void logProcessingFailure(const char* separator, const Detail& detail) {
    try {
        QM_LOG_ERROR(kProcessingFailed << separator << detail);
    } catch (...) {
    }
}

}  // namespace

ZThread::FastMutex& Listener::socketLock_ = *new ZThread::FastMutex;
ZThread::Condition& Listener::socketChanged_ = *new ZThread::Condition(Listener::socketLock_);
Socket* Listener::socketShared_ = nullptr;
unsigned Listener::socketGeneration_ = 0;
int Listener::acceptsInProgress_ = 0;
std::vector<Socket*>& Listener::closesPending_ = *new std::vector<Socket*>;

void Listener::initSocket(int port, const std::string& ip) {
    SocketGuard guard(socketLock_);
    if (socketShared_ != nullptr) return;
    socketShared_ = new Socket();
    ++socketGeneration_;
    if (socketShared_->create() == -1) {
        QM_LOG_FATAL("Failed to open listening socket on port [" << port << kPortInUse);
        QM_THROW(Exception, "");
    }
    if (socketShared_->listen(static_cast<unsigned short>(port),
                              ip.empty() ? nullptr : ip.c_str()) == -1) {
        QM_LOG_FATAL("Failed to listen on port [" << port << kPortInUse);
        QM_THROW(Exception, "");
    }
}

Listener::Listener(std::shared_ptr<CommandProcessorFactory> factory, int idleLimitMs)
    : AbstractExecution(1, "Listener"),
      number_(0),
      factory_(std::move(factory)),
      socket_(nullptr),
      generation_(0),
      idleLimitMs_(idleLimitMs) {
    {
        SocketGuard guard(socketLock_);
        if (socketShared_ != nullptr) {
            copy_.reset(new Socket(*socketShared_));
            socket_ = copy_.get();
            generation_ = socketGeneration_;
        }
    }
    if (socket_ == nullptr) {
        QM_LOG_FATAL("Defect in code, socketShared_ cannot be NULL. Exiting agent application.");
        QM_THROW(Exception, "");
    }
}

Listener::~Listener() {
    factory_.reset();
    if (copy_ != nullptr) {
        // The descriptor belongs to the listening socket (or is already closed and its number
        // possibly reused): the copy forgets it so that deleting the copy closes nothing.
        *copy_ = Socket();
    }
}

Socket* Listener::enterAccept(bool& stale) {
    SocketGuard guard(socketLock_);
    stale = false;
    if (socket_ == nullptr) return nullptr;
    if (socketShared_ == nullptr || generation_ != socketGeneration_) {
        // Another Listener's cancel() removed the socket this copy was taken from.
        socket_ = nullptr;
        stale = true;
        return nullptr;
    }
    ++acceptsInProgress_;
    return socket_;
}

bool Listener::leaveAccept(bool acceptFailed) {
    SocketGuard guard(socketLock_);
    if (--acceptsInProgress_ == 0) {
        for (Socket* pending : closesPending_) {
            pending->close();
            delete pending;
        }
        closesPending_.clear();
        socketChanged_.broadcast();
    }
    // cancel() gives up the copy before it shuts the socket down.
    const bool canceling = socket_ == nullptr;
    if (!acceptFailed || !canceling) return canceling;
    // The accept was ended by this Listener's cancel(), which sets the worker's flag only after
    // the close. Waiting for it here keeps the loop from starting the 3000 ms pause of a failed
    // accept just before it would have seen the flag.
    const auto deadline = std::chrono::steady_clock::now() + kAcceptExitWait;
    while (!isCanceled()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        socketChanged_.wait(static_cast<unsigned long>(left.count()));
    }
    return true;
}

void Listener::execute() {
    bool stale = false;
    Socket* listening = enterAccept(stale);
    if (listening == nullptr) {
        if (stale) {
            QM_LOG_ERROR("Required local socket reference was found to be null");
            // The socket is gone but this worker goes on: pause as after a failed accept instead
            // of spinning every 1 ms.
            intervalMs_ = 3000;
        } else {
            // Given up by this Listener's cancel(), which is under way: part of a clean stop.
            QM_LOG_DEBUG("Required local socket reference was found to be null");
        }
        return;
    }
    QM_LOG_DEBUG("Waiting to accept on socket " << listening->getChannel());
    int acceptError = 0;
    const int accepted = listening->acceptSilently(acceptError);
    const int clientChannel = listening->getClientChannel();
    const sockaddr_in address = listening->getAddress();
    const bool canceling = leaveAccept(accepted == -1);
    if (accepted == -1) {
        // The cancel's shutdown ends the accept with EINVAL: a clean stop, not a failure.
        if (canceling) {
            QM_LOG_DEBUG("Accept ended by the cancel. errno=" << acceptError);
        } else {
            QM_LOG_ERROR("Failed to accept. errno=" << acceptError);
        }
        intervalMs_ = 3000;
        return;
    }
    intervalMs_ = 1;

    // On the stack: a connection object that cannot be allocated would leak the descriptor.
    Socket connection(clientChannel, &address);
    limitSilence(connection);
    // Whatever a request throws must not end the thread: the kernel would go on accepting
    // connections that nobody answers. The processor and the payload are gone (unwound) by the
    // time the failure is logged.
    try {
        serve(&connection);
    } catch (const ZThread::Interrupted_Exception&) {
        throw;
    } catch (const Exception& e) {
        logProcessingFailure("", e);
    } catch (const std::exception& e) {
        logProcessingFailure(": ", e.what());
    } catch (...) {
        logProcessingFailure(": ", "an exception of unknown type");
    }
    discardArrivedInput(connection);
    // The request's payload, processor and documents are gone, and what a save replaced too.
    returnFreedMemory();
}

void Listener::limitSilence(Socket& connection) {
    const long sec = idleLimitMs_ / 1000;
    const long usec = (idleLimitMs_ % 1000) * 1000L;
    // The select time-out bounds the wait before each transfer; the descriptor's own time-out
    // also bounds each read inside the byte-by-byte reads, which wait only before their first
    // byte.
    connection.setTimeout(sec, usec);
    timeval limit;
    limit.tv_sec = sec;
    limit.tv_usec = usec;
    connection.applyIoTimeout(limit);
}

void Listener::serve(Socket* connection) {
    std::vector<char> payload;
    // The payload's memory goes back to the transport for the next request, on every path.
    const TcpSenderReceiver::ScopedRecycle recycling(transport_, payload);
    if (!transport_.receive(connection, payload)) {
        if (transport_.timedOut()) {
            std::string peer;
            connection->getAddressString(peer);
            QM_LOG_WARN("Connection from " << peer << " closed without a reply: no data for "
                                           << idleLimitMs_ << " ms.");
        }
        return;
    }
    if (payload.empty()) return;

    std::unique_ptr<CommandProcessor> processor(createProcessor(payload));
    std::string reply;
    if (processor == nullptr) {
        reply = kNoProcessorReply;
        sendResponse(connection, reply);
    } else {
        reply = processor->process(payload);
        sendResponse(connection, reply);
    }
}

CommandProcessor* Listener::createProcessor(std::vector<char>& payload) {
    if (factory_ == nullptr) return nullptr;
    return factory_->createProcessor(payload);
}

void Listener::sendResponse(Socket* connection, std::string& reply) {
    if (reply.empty()) reply = kEmptyReply;
    QM_LOG_DEBUG("Quillmark Agent Manager response: " << reply);
    if (transport_.isFramed()) {
        if (!transport_.send(connection, reply)) {
            QM_LOG_DEBUG("--------- Listener::sendResponse failed to send!!!");
        }
    } else {
        transport_.sendRaw(connection, reply);
    }
}

void Listener::cancel() {
    SocketGuard guard(socketLock_);
    // Given up first, so that this Listener's thread, once woken, knows the cancel is under way.
    socket_ = nullptr;
    if (socketShared_ != nullptr) {
        Socket* shared = socketShared_;
        socketShared_ = nullptr;
        // shutdown() acts on the socket, not the descriptor: accept() fails at once in every
        // thread blocked on it, later calls fail too, and the port refuses new connections.
        if (shared->getChannel() >= 0) ::shutdown(shared->getChannel(), SHUT_RDWR);

        const auto deadline = std::chrono::steady_clock::now() + kAcceptExitWait;
        try {
            while (acceptsInProgress_ > 0) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0) break;
                socketChanged_.wait(static_cast<unsigned long>(left.count()));
            }
        } catch (const ZThread::Interrupted_Exception&) {
            // An interrupted canceller stops waiting; the close is then left to the last thread.
        }
        if (acceptsInProgress_ == 0) {
            shared->close();
            delete shared;
        } else {
            closesPending_.push_back(shared);
        }
    }
    AbstractExecution::cancel();
    socketChanged_.broadcast();
}

int Listener::getInterval() { return intervalMs_; }

unsigned short Listener::listeningPort() {
    SocketGuard guard(socketLock_);
    if (socketShared_ == nullptr || socketShared_->getChannel() < 0) return 0;
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (::getsockname(socketShared_->getChannel(), reinterpret_cast<sockaddr*>(&address),
                      &size) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

bool Listener::hasListeningSocket() {
    SocketGuard guard(socketLock_);
    return socketShared_ != nullptr;
}

bool Listener::hasSocketCopy() {
    SocketGuard guard(socketLock_);
    return socket_ != nullptr;
}

}  // namespace quillmark
