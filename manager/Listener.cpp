#include "Listener.h"

#include "CommandProcessor.h"
#include "CommandProcessorFactory.h"
#include "other/RequestMemory.h"

#include "quillmark/Exception.h"
#include "quillmark/Log.h"
#include "quillmark/Socket.h"

#include <zthread/Condition.h>
#include <zthread/Exceptions.h>
#include <zthread/FastMutex.h>
#include <zthread/Guard.h>

#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace quillmark {

namespace {

// Closing a connection whose peer's bytes are still unread makes the kernel reset it, and a reset
// can destroy the reply before the client reads it. A framed request always leaves its
// terminating zero byte unread, so what has already arrived is read and dropped first.
void discardArrivedInput(Socket& connection) {
    char sink[4096];
    for (int round = 0; round < 256; ++round) {
        // A read that does not fill the sink has taken all that had arrived.
        if (connection.readArrived(sink, sizeof sink) < static_cast<int>(sizeof sink)) return;
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

// The process's one listening socket, which every Listener uses through a copy of the object
// (the same descriptor), and the bookkeeping that lets a cancel() close it while other threads
// may be blocked in accept() on their copies.
//
// Invariants, all guarded by socketLock_: every member but lock() expects the caller to hold it.
// - socketShared_ is the socket that create() made, null before and again once remove() has
//   taken it away; socketGeneration_ counts the sockets made, so that a copy of a removed socket
//   is recognised as stale even after a new one has been made.
// - acceptsInProgress_ counts the threads between enterAccept(), before they read their copy's
//   descriptor, and leaveAccept(), after accept() has returned.
// - A removed socket's descriptor is closed once, and only while acceptsInProgress_ is 0: closed
//   any earlier, its number could be handed to another open() and a thread would accept on that.
//   remove() closes it itself, or leaves it in closesPending_ for the last thread to leave.
// - socketChanged_ is broadcast when the last thread leaves accept() and when a cancel() ends.
class SharedListeningSocket {
public:
    SharedListeningSocket()
        : socketChanged_(socketLock_), socketGeneration_(0), acceptsInProgress_(0) {}

    ZThread::FastMutex& lock() { return socketLock_; }

    // Makes and binds the socket unless there is one. Throws Exception (empty message) after a
    // FATAL line when it cannot be made or cannot listen; the failed socket then stays in place.
    void create(int port, const std::string& ip);
    // A copy of the socket for a new Listener and, in `generation`, the socket it copies; null
    // when there is none.
    std::unique_ptr<Socket> copy(unsigned& generation) const;
    // Counts a thread into accept() on a copy of the socket `generation`. False, and not counted,
    // when that socket has been removed.
    bool enterAccept(unsigned generation);
    // Ends the count of enterAccept(); the last thread out closes what remove() left.
    void leaveAccept();
    // Takes the socket away and shuts it down, so that every accept() on it fails, then waits
    // briefly for the threads inside accept() to leave and closes it; should they not leave in
    // time (or the wait be interrupted), the last of them closes it.
    void remove();
    // Waits, releasing the lock, until `done()` holds or kAcceptExitWait has passed.
    // ZThread::Interrupted_Exception propagates.
    template <typename Done>
    void waitBriefly(Done done);
    void announceChange() { socketChanged_.broadcast(); }

    bool exists() const { return socketShared_ != nullptr; }
    // The local port; 0 when there is no socket or it is not bound.
    unsigned short port() const { return exists() ? socketShared_->localPort() : 0; }

private:
    ZThread::FastMutex socketLock_;
    ZThread::Condition socketChanged_;
    std::unique_ptr<Socket> socketShared_;
    unsigned socketGeneration_;
    int acceptsInProgress_;
    std::vector<std::unique_ptr<Socket>> closesPending_;
};

void SharedListeningSocket::create(int port, const std::string& ip) {
    if (socketShared_ != nullptr) return;
    socketShared_.reset(new Socket());
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

std::unique_ptr<Socket> SharedListeningSocket::copy(unsigned& generation) const {
    if (socketShared_ == nullptr) return nullptr;
    generation = socketGeneration_;
    return std::unique_ptr<Socket>(new Socket(*socketShared_));
}

bool SharedListeningSocket::enterAccept(unsigned generation) {
    if (socketShared_ == nullptr || generation != socketGeneration_) return false;
    ++acceptsInProgress_;
    return true;
}

void SharedListeningSocket::leaveAccept() {
    if (--acceptsInProgress_ > 0) return;
    for (const std::unique_ptr<Socket>& pending : closesPending_) pending->close();
    closesPending_.clear();
    socketChanged_.broadcast();
}

void SharedListeningSocket::remove() {
    if (socketShared_ == nullptr) return;
    std::unique_ptr<Socket> removed = std::move(socketShared_);
    // shutdown() acts on the socket, not the descriptor: accept() fails at once in every thread
    // blocked on it, later calls fail too, and the port refuses new connections.
    removed->shutdown();
    try {
        waitBriefly([this] { return acceptsInProgress_ == 0; });
    } catch (const ZThread::Interrupted_Exception&) {
        // An interrupted canceller stops waiting; the close is then left to the last thread.
    }
    if (acceptsInProgress_ == 0) {
        removed->close();
    } else {
        closesPending_.push_back(std::move(removed));
    }
}

template <typename Done>
void SharedListeningSocket::waitBriefly(Done done) {
    const auto deadline = std::chrono::steady_clock::now() + kAcceptExitWait;
    while (!done()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        socketChanged_.wait(static_cast<unsigned long>(left.count()));
    }
}

// Built by the unit's static initialisation and never destroyed, so a Listener thread still in
// accept() while the process exits never meets a destroyed lock.
SharedListeningSocket& sharedSocket = *new SharedListeningSocket;

}  // namespace

void Listener::initSocket(int port, const std::string& ip) {
    SocketGuard guard(sharedSocket.lock());
    sharedSocket.create(port, ip);
}

Listener::Listener(std::shared_ptr<CommandProcessorFactory> factory, int idleLimitMs,
                   int failedAcceptPauseMs)
    : AbstractExecution(1, "Listener"),
      number_(0),
      factory_(std::move(factory)),
      socket_(nullptr),
      generation_(0),
      idleLimitMs_(idleLimitMs),
      failedAcceptPauseMs_(failedAcceptPauseMs) {
    {
        SocketGuard guard(sharedSocket.lock());
        copy_ = sharedSocket.copy(generation_);
        socket_ = copy_.get();
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
    SocketGuard guard(sharedSocket.lock());
    stale = false;
    if (socket_ == nullptr) return nullptr;
    if (!sharedSocket.enterAccept(generation_)) {
        // Another Listener's cancel() removed the socket this copy was taken from.
        socket_ = nullptr;
        stale = true;
        return nullptr;
    }
    return socket_;
}

bool Listener::leaveAccept(bool acceptFailed) {
    SocketGuard guard(sharedSocket.lock());
    sharedSocket.leaveAccept();
    // cancel() gives up the copy before it shuts the socket down.
    const bool canceling = socket_ == nullptr;
    if (!acceptFailed || !canceling) return canceling;
    // The accept was ended by this Listener's cancel(), which sets the worker's flag only after
    // the close. Waiting for it here keeps the loop from starting the pause of a failed accept
    // just before it would have seen the flag.
    sharedSocket.waitBriefly([this] { return isCanceled(); });
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
            intervalMs_ = failedAcceptPauseMs_;
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
        intervalMs_ = failedAcceptPauseMs_;
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
    return factory_->createProcessor(payload, transport_.requestForm());
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
    SocketGuard guard(sharedSocket.lock());
    // Given up first, so that this Listener's thread, once woken, knows the cancel is under way.
    socket_ = nullptr;
    sharedSocket.remove();
    AbstractExecution::cancel();
    sharedSocket.announceChange();
}

int Listener::getInterval() { return intervalMs_; }

unsigned short Listener::listeningPort() {
    SocketGuard guard(sharedSocket.lock());
    return sharedSocket.port();
}

bool Listener::hasListeningSocket() {
    SocketGuard guard(sharedSocket.lock());
    return sharedSocket.exists();
}

bool Listener::hasSocketCopy() {
    SocketGuard guard(sharedSocket.lock());
    return socket_ != nullptr;
}

}  // namespace quillmark
