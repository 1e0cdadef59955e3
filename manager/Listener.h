// Listener: the worker that serves the manager's TCP protocol, one connection per cycle.
//
// initSocket() opens the process's one listening socket before the daemon detaches. Each
// Listener keeps its own copy of it (the same descriptor) and, in each cycle, accepts one
// connection, reads one request (framed or raw), lets the command processor factory make the
// processor for it, sends the reply back in the request's own form and closes the connection.
// Connections are served one at a time on the Listener's thread. So that one client cannot hold
// up the others for ever, every wait for a connection's bytes (and for room for its reply) is
// limited: a client silent for longer is dropped without a reply, while a slow upload that keeps
// sending is never cut. A failure of any kind while serving (an Exception, a std::exception such
// as std::bad_alloc for a large body, anything else) is logged, no reply is sent, and the next
// connection is served. The pause is 1 ms after a served connection and 3000 ms (the daemon's;
// a constructor argument) after a failed accept.
//
// Cancelling closes the listening socket. A thread blocked in accept() is not woken by close()
// on Linux, so cancel() first shuts the socket down, which makes every pending and later
// accept() fail at once and the port refuse connections. The descriptor itself is closed only
// once no Listener thread is between reading its number and leaving accept(): closed any
// earlier, the number could be handed to another open() and the thread would accept on that.
// cancel() waits briefly for such a thread to leave accept(); should it not (a thread that is
// held up, or cancel() called on that thread itself), the last thread to leave closes the
// descriptor instead. The copy of a Listener is never used to close anything. An accept ended
// by the Listener's own cancel is part of a clean stop and is logged at DEBUG, not as a failure.
//
// Ownership: the factory is shared (std::shared_ptr) with the other worker that uses it, so it
// is destroyed once, after the last of them. The listening socket belongs to the class (created
// by initSocket(), destroyed by cancel()), kept with its bookkeeping (who is inside accept(), what
// is left to close) under one lock, socketLock_, by a small class of Listener.cpp; the Listener's
// copy object belongs to the Listener and lives until its destructor, so its thread can use it
// until it has left execute(). Each processor and connection lives for one cycle and is deleted
// by the Listener.
//
// Threads: initSocket() before any worker runs (it takes socketLock_ all the same). execute(),
// sendResponse() and createProcessor() on the Listener's thread. cancel() and the observers from
// any thread; cancel() may run while the Listener's thread is blocked in accept(). Lock order:
// socketLock_, then the worker's own mutex (AbstractExecution::cancel), then the logger's.
#ifndef QUILLMARK_MANAGER_LISTENER_H
#define QUILLMARK_MANAGER_LISTENER_H

#include "AbstractExecution.h"
#include "TcpSenderReceiver.h"

#include <memory>
#include <string>
#include <vector>

namespace quillmark {

class CommandProcessor;
class CommandProcessorFactory;
class Socket;

class Listener : public AbstractExecution {
public:
    // Creates the listening socket on `port` (cut to 16 bits; 0 lets the kernel choose) and
    // `ip` (a dotted IPv4 address; empty for all local addresses). Does nothing when the socket
    // already exists. Throws Exception (empty message, code 0) after a FATAL line when the
    // socket cannot be created or cannot listen; the failed socket then stays in place.
    static void initSocket(int port, const std::string& ip);

    // How long a connection may stay silent: the limit of each wait for its bytes.
    static constexpr int kConnectionIdleLimitMs = 60000;
    // The pause after a failed accept before the next one.
    static constexpr int kFailedAcceptPauseMs = 3000;

    // Copies the listening socket; `factory` makes the processors and may be null (every request
    // is then answered as matching no command). `idleLimitMs` is the limit of each wait on a
    // connection, 0 for none; `failedAcceptPauseMs` the pause after a failed accept (the service
    // uses the defaults of both). Throws Exception (empty message, code 0) after a FATAL line
    // when initSocket() has not created the socket, or cancel() has removed it.
    explicit Listener(std::shared_ptr<CommandProcessorFactory> factory,
                      int idleLimitMs = kConnectionIdleLimitMs,
                      int failedAcceptPauseMs = kFailedAcceptPauseMs);
    // Gives up the factory and the copy (without closing the descriptor). Cancels the worker
    // (not the socket) when nobody did. Call only once the Listener's thread has left run().
    ~Listener() override;

    // One cycle: accept one connection, serve its request, close it. A failure while serving is
    // logged at ERROR ("Exception raised while processing command" and the exception) after the
    // processor has been deleted; only ZThread::Interrupted_Exception propagates, so that an
    // interruption still ends the worker.
    void execute() override;
    // Sends `reply` on `connection` in the form of the last request received, framed or raw;
    // an empty reply first becomes "FAILURE! Unexpected empty response.". The connection stays
    // the caller's. Failures are logged, not thrown.
    void sendResponse(Socket* connection, std::string& reply);
    // Shuts down, closes and destroys the listening socket, gives up this Listener's copy and
    // cancels the worker. Any thread; may block for a short while (see the note above).
    void cancel() override;
    // The pause after the cycle just finished: 1 ms, or the failed-accept pause.
    int getInterval() override;

    // Observers for diagnostics and tests; any thread.
    // The local port of the listening socket; 0 when there is none or it is not bound.
    static unsigned short listeningPort();
    // Whether initSocket() has created a socket that cancel() has not removed.
    static bool hasListeningSocket();
    // Whether this Listener still holds its copy (until cancel()).
    bool hasSocketCopy();

protected:
    // The processor for one request; null when no command matches. The caller owns the result.
    // A derived class may serve requests with processors of its own. Listener's thread.
    virtual CommandProcessor* createProcessor(std::vector<char>& payload);

private:
    // Limits every wait on `connection` to idleLimitMs_.
    void limitSilence(Socket& connection);
    // Reads one request from `connection` and answers it. Throws what the transport, the
    // factory and the processor throw.
    void serve(Socket* connection);
    // The copy to accept on, counted as a thread inside accept(); null (and not counted) when
    // the copy has been given up, or (`stale` true) the listening socket it copies is gone
    // although this Listener was not cancelled.
    Socket* enterAccept(bool& stale);
    // Ends the count of enterAccept(); the last thread out closes the sockets cancel() left.
    // After an accept that failed because this Listener is being cancelled, waits (briefly)
    // until the cancel has set the worker's flag. Returns whether this Listener's cancel() has
    // begun, that is whether a failed accept was ended by it.
    bool leaveAccept(bool acceptFailed);

    // Kept because the system's interfaces name them; nothing reads either. text_ hides
    // AbstractExecution's text_, which is kept for the same reason.
    int number_;
    std::string text_;
    TcpSenderReceiver transport_;
    std::shared_ptr<CommandProcessorFactory> factory_;
    // The copy's storage; its descriptor is never closed through it.
    std::unique_ptr<Socket> copy_;
    Socket* socket_;       // copy_.get(), null after cancel(); guarded by socketLock_
    unsigned generation_;  // which listening socket copy_ was taken from
    const int idleLimitMs_;
    const int failedAcceptPauseMs_;
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_LISTENER_H
