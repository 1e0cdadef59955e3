// Socket: one IPv4 TCP descriptor, used as a listening socket, as an accepted connection and as
// the client end of a connection.
//
// Set-up operations (create, listen, buffer sizes, keep-alive, accept, blocking mode, the client
// connects and name queries) return 0 for success and -1 for failure. Reads and writes return the
// number of bytes transferred, 0 for nothing to transfer or (where stated) the end of the stream,
// -1 for a time-out and -99 for an input or output failure. Every failure is logged (the few
// silent -1 results are named at their declarations). Only the client connects throw: they read
// their time-outs from the configuration held by ConfiguratorObjAccess and throw Exception when
// it holds none that is loaded.
//
// Ownership: the object owns `_channel` and closes it in close() and in the destructor. A copy
// holds the same descriptor number without sharing ownership: whichever copy is closed first
// closes the descriptor for all of them, and the others do not notice. The descriptor of an
// accepted connection (`_clientChannel` of a listening socket) is not owned by the listening
// object; wrap it in its own Socket (the descriptor constructor), which then owns it.
//
// Every descriptor this class opens is close-on-exec, so commands the process runs through the
// shell never inherit the listening socket or a connection.
//
// Threads: a Socket holds no lock; one thread at a time may use an object. Separate objects,
// copies of one another included, may be used from different threads, and close() of one copy
// may run while another thread waits in accept() on another copy. resolve() and
// getLocalHostName() may be called from any thread; resolve() runs under the class-wide
// resolveLock_, which it holds for the whole lookup (and takes no other lock but the logger's).
#ifndef QUILLMARK_SOCKET_H
#define QUILLMARK_SOCKET_H

#include <netinet/in.h>
#include <sys/time.h>

#include <zthread/FastMutex.h>

#include <cstdint>
#include <string>

namespace quillmark {

class Socket {
public:
    // A closed socket (no descriptor) with no select time-out.
    Socket();
    // Takes ownership of `descriptor`, an open connection; `peer`, when not null, is copied as
    // the peer's address. The select time-out is 0 (reads and writes block).
    Socket(int descriptor, const sockaddr_in* peer);
    // Copy every field but the receive and send time-out of the client side; the copy refers to
    // the same descriptor (see the ownership note above).
    Socket(const Socket& other);
    Socket& operator=(const Socket& other);
    // close().
    virtual ~Socket();

    // ---- Listening and accepting ----

    // Opens a new IPv4 stream socket. Returns 0 at once when a descriptor is already open, -1
    // when the socket cannot be made (FATAL "Failed to create socket. errno=<n>").
    int create();
    // Sets a 49152-byte receive buffer and address reuse, binds to `port` on `ip` (a dotted
    // IPv4 text, or null for all local addresses; port 0 lets the kernel choose) and listens
    // with a backlog of 4096. Returns 0, or -1 with a FATAL line naming the failed step. A
    // failure leaves the descriptor open.
    int listen(unsigned short port, const char* ip);
    // listen() on all local addresses at the port of the service entry (`service`, `protocol`).
    // Returns 0, or -1 (FATAL "Couldn't find service: <name>" or "Failed to listen").
    int listenService(const char* service, const char* protocol);
    // Sets the send buffer (`which` 1), the receive buffer (2) or both (3) to `size`, capped at
    // 49152 bytes. Returns 0 (also for any other `which`, which sets nothing), or -1 for a size of
    // 0 or below or a refused option (ERROR line). With `which` 3 a refused send buffer leaves the
    // receive buffer untouched.
    int setBufferSize(int which, long size);
    // SO_KEEPALIVE on or off. Returns 0, or -1 (ERROR "setsockopt() to KEEP_ALIVE failed.").
    int setKeepAlive(bool on);
    // Blocks until a client connects, without a time limit. Stores the new descriptor (close-on-
    // exec, blocking) in `_clientChannel` and the client's address in `_address`. Returns 0, or
    // -1 with `_clientChannel` -1 (ERROR "Failed to accept. errno=<n>").
    int accept();
    // accept() without its ERROR line, for a caller that tells an expected failure (its own
    // shutdown of the socket) from a real one: returns 0, or -1 with `_clientChannel` -1 and the
    // failure's errno in `error`.
    int acceptSilently(int& error);
    // Puts the descriptor into blocking (non-zero) or non-blocking (0) mode. Returns 0 when the
    // mode is set or already was the one last recorded; -1 when the descriptor refuses it (the
    // recorded mode then stays as it was; nothing is logged).
    int setBlocking(int blocking);
    // The select time-out of reads and writes made with this socket's own time-out (the message
    // framing passes it to every transfer). `sec` is capped at 100000000 and `usec` at 1000000;
    // 0 and 0 mean that transfers block without a time limit.
    void setTimeout(long sec, long usec);
    // Closes the descriptor (DEBUG "Closing channel <n>, Time = <time>") and marks the socket
    // closed. Does nothing on a closed socket. `_clientChannel` is left alone.
    void close();
    // Shuts both directions of the socket down. Unlike close() this acts on the socket itself,
    // and so on every copy: an accept() blocked in another thread fails at once, so does every
    // later one, and a listening port refuses new connections. The descriptor stays open. Returns
    // 0, or -1 (silently) on a closed socket or when the shutdown is refused.
    int shutdown();
    // The local port the descriptor is bound to; 0 (silently) when the socket is closed, not
    // bound or its name cannot be read.
    unsigned short localPort() const;

    // ---- Reading and writing ----
    //
    // Each takes a time-out in seconds and microseconds. With both 0 the call blocks and makes no
    // wait of its own; otherwise it first waits for the descriptor (at most 100000000 s and
    // 1000000 us; the reads raise negative values to 0, write() passes them on and fails).
    // read() and write() make that wait only when their first transfer would block: bytes that
    // have arrived, or room to send, are taken at once, as the wait would have found them. The
    // out-parameter `received` / `written` may be null; when given it is set to 0 on entry.
    // Bytes read or written through the object are added to getBytesRead() / getBytesWritten()
    // as each operation states.

    // Reads one byte at a time, so nothing beyond the stop point is taken from the connection,
    // until `count` bytes equal to `delimiter` have been read or `bufferLength` - 1 bytes are
    // stored. No zero byte is added. Returns the bytes stored; 0 when `bufferLength` is 1 or less
    // or `count` 0 or less; 0 with `received` 0 at the end of the stream (the bytes stored so far
    // stay in `buffer` and are not counted); -1 on a time-out or EAGAIN; -99 on a failure or an
    // interrupted read (not repeated).
    int readUntil(char* buffer, char delimiter, int count, unsigned long bufferLength,
                  unsigned long* received, long sec, long usec);
    // Reads one byte at a time until the text `terminator` has been read or `bufferLength` - 1
    // bytes are stored, and ends the stored bytes with a zero byte. A byte that breaks a partial
    // match restarts the match without being compared with the terminator's first byte. Returns
    // the bytes stored; 0 for an empty terminator or a `bufferLength` of 1 or less (`buffer`
    // becomes empty when it has room); 0 with `received` 0 at the end of the stream; -1 on a
    // time-out or EAGAIN; -99 on a failure or an interrupted read.
    int readUntilString(char* buffer, const char* terminator, unsigned long* received,
                        unsigned long bufferLength, long sec, long usec);
    // Reads exactly `length` bytes, looping over partial reads and repeating interrupted waits
    // and reads. Returns `length` (0 for a length of 0); at an early end of the stream, with
    // `peerCloseOk`, getBytesRead() after the bytes of this call (DEBUG "Connection was closed by
    // client."), otherwise -99 (ERROR "Connection went down before all bytes were read.");
    // -1 on a time-out or EAGAIN; -99 on a failure or a length above 2147483647. `received`
    // always holds the bytes this call read.
    int read(char* buffer, unsigned long length, unsigned long* received, bool peerCloseOk,
             long sec, long usec);
    // One read of at most `length` bytes (at most 2147483647). Returns the bytes read; 0 at the
    // end of the stream; -1 on a time-out or EAGAIN; -99 on a failure or an interrupted read.
    int readOnce(char* buffer, unsigned long length, unsigned long* received, long sec, long usec);
    // One read of at most `length` bytes of what has already arrived, without waiting whatever
    // the descriptor's mode and time-outs; an interrupted read is repeated. Returns the bytes
    // read (added to getBytesRead()); 0 at the end of the stream; -1 when nothing has arrived or
    // the read fails. Logs nothing.
    int readArrived(char* buffer, unsigned long length);
    // Writes all `length` bytes, looping over partial writes and repeating interrupted and
    // would-block writes. Returns `length` (0 for a length of 0); -1 on a time-out; -99 on a
    // failure (a peer that has gone away included: no SIGPIPE is raised) or a length above
    // 2147483647. `written` always holds the bytes this call wrote. With `moreFollows` the
    // caller writes more at once (a header before its body): the kernel may hold the last bytes
    // back until that write, or the close, so that both leave in one segment (MSG_MORE).
    int write(const char* buffer, unsigned long length, unsigned long* written, long sec, long usec,
              bool moreFollows = false);

    // ---- Client side ----
    //
    // The connects take their time-out from the configuration that ConfiguratorObjAccess holds:
    // "LocalSocketTimeoutMillisec" (default 100) when `host` is exactly "127.0.0.1",
    // "SocketTimeoutMillisec" (default 500) for any other host text, "localhost" included. A
    // value above 1000 ms becomes value / 1000 s and (value % 1000) * 1000 us; 1000 ms or less
    // becomes 0 s and value * 1000 us. Both throw Exception (code 0) "Cannot access
    // ConfigurationFileAccess or xml is poorly formed." when that configuration is missing or did
    // not load, and "Cannot access Configuration" when there is no holder. A connect that fails
    // or throws leaves the descriptor open, in whatever state the attempt left it; the caller
    // closes it with close() (or by destroying the object) before it tries again.

    // Writes the dotted IPv4 text of `host` into `address`, which must have room for 16 bytes. A
    // text of four dot-separated runs of digits (empty runs skipped, values not checked) is
    // copied unchanged without a lookup (-1 when it is longer than 15 characters); anything else
    // is looked up by name and the first IPv4 address written. Returns 0, or -1: silently for a
    // null or empty `host`, a null `address` and the refused text
    // "BYPASS_HOST_CHECKS_FOR_LAB_BENCH_ONLY_NEVER_ON"; with an ERROR line when the name is
    // unknown ("gethostbyname(<host>) failed. errno=<resolver code>"), the dotted text too long
    // or the entry holds no IPv4 address ("inet_ntoa failed.").
    static int resolve(const char* host, char* address);
    // Connects to `host`:`port` without blocking the caller beyond the configured time-out,
    // which also becomes this socket's select time-out (getTimeoutSec/getTimeoutUsec) for the
    // transfers that follow. `unusedTimeout` plays no part. Opens the descriptor first when
    // none is open; the descriptor stays non-blocking. Returns 0 once the connection stands; -1
    // (with a FATAL or ERROR line) when the socket cannot be made or resolved, the connection is
    // refused or fails, or the time-out runs out first ("Couldn't FD_ISSET on socket."). The
    // exceptions above are thrown after the connection attempt has begun.
    int connect(const char* host, unsigned short port, int unusedTimeout);
    // Connects to `host`:`port` and blocks until the connection stands or fails, then applies
    // the configured time-out as the receive and send time-out of the descriptor (setIoTimeout-
    // FromConfig): a read or write that waits longer fails as a time-out (-1). Returns 0, or -1
    // when the socket cannot be made or resolved or the connection fails (FATAL "Failed to
    // connect to host=<host> at port=<port>"). Throws as above, once connected.
    int connect(const char* host, unsigned short port);
    // Stores the configured time-out for `host` (null counts as a remote host) in
    // getIoTimeout(), unnormalised and uncapped. Throws as above; logs nothing.
    void setIoTimeoutFromConfig(const char* host);
    // Stores `limit` in getIoTimeout() and applies it to the descriptor as its receive and send
    // time-out: each single read or write that waits longer fails as a time-out (-1), also
    // inside the byte-by-byte reads, which wait with select only before their first byte.
    // Returns 0, or -1 with a WARN line when the descriptor refuses it.
    int applyIoTimeout(const timeval& limit);
    // The local host name. Returns 0, or -1 when it cannot be read or has 15 characters or more
    // (ERROR "Failed to get localhost name. errno=<n>", ENAMETOOLONG for a long name); `name` is
    // then unchanged.
    static int getLocalHostName(std::string& name);
    // The peer's address (getAddress()) as dotted text. Returns 0, or -1 with `text` unchanged.
    int getAddressString(std::string& text) const;

    // ---- State ----

    // The descriptor, or -1 when closed.
    int getChannel() const { return _channel; }
    // On a listening socket: the descriptor of the last accept (-1 after a failed one).
    int getClientChannel() const { return _clientChannel; }
    // The peer's address; on a listening socket, the last client accepted.
    const sockaddr_in& getAddress() const { return _address; }
    long getTimeoutSec() const { return static_cast<long>(_timeoutSec); }
    long getTimeoutUsec() const { return static_cast<long>(_timeoutUsec); }
    std::int64_t getBytesRead() const { return _bytesRead; }
    std::int64_t getBytesWritten() const { return _bytesWritten; }
    // The receive and send time-out set by setIoTimeoutFromConfig() or applyIoTimeout(); 0 and
    // 0 until then.
    const timeval& getIoTimeout() const { return _ioTimeout; }

private:
    // The descriptor's status flags and mode become the cached word setBlocking() works on; the
    // word stays unknown when they cannot be read.
    void recordFileFlags();

    int _channel;
    int _clientChannel;
    std::int64_t _bytesRead;
    std::int64_t _bytesWritten;
    std::int64_t _fileFlags;
    std::int64_t _blocking;
    std::int64_t _timeoutSec;
    std::int64_t _timeoutUsec;
    sockaddr_in _address;
    // The receive and send time-out of the client side's blocking connect or of
    // applyIoTimeout(); never copied.
    timeval _ioTimeout;

    // Serialises host-name lookups. Built before main by this unit's static initialisation.
    static ZThread::FastMutex resolveLock_;
};

}  // namespace quillmark

#endif  // QUILLMARK_SOCKET_H
