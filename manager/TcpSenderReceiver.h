// TcpSenderReceiver: reads one request from a connection and writes one reply back, in the two
// forms of the manager's protocol.
//
// A framed request opens with the 13-byte MessageHeader and carries a body of the announced
// length; any other request is a raw line of at most 2048 bytes. The receiver tells them apart
// by the first four bytes and hands the caller a payload: the request's bytes followed by one
// zero byte. It remembers in isFramed() which form the last request had, so the owner can reply
// in the same form with send() (framed) or sendRaw() (raw), and in requestForm() whether a raw
// line ended in its newline.
//
// Every transfer uses the connection's own select time-out (Socket::setTimeout); with 0 and 0
// the operations block until the peer sends or closes. The Listener gives each connection a
// limit, and timedOut() tells a receive that ran out of it from one that failed otherwise.
//
// A framed body longer than kMaxBodyLength is refused before anything is allocated; the room a
// body takes grows with the bytes that actually arrive, and payloads handed back through
// recycle() (or ScopedRecycle) are kept for the next request, both as PayloadMemory decides.
// (Whether the C library gives freed memory back to the system is its own policy; the daemon
// sets it with keepLargeAllocationsApart().)
//
// The daemon's Listener uses receive(Socket*, std::vector<char>&) with a ScopedRecycle, and
// send() or sendRaw() for the reply; the array and string forms of receive, readChunk and
// receiveRaw serve other callers of the interface.
//
// Ownership: the Socket passed in stays the caller's; nothing here closes it. Threads: one
// thread at a time per object (the Listener's thread on the manager's path).
#ifndef QUILLMARK_TCPSENDERRECEIVER_H
#define QUILLMARK_TCPSENDERRECEIVER_H

#include "RequestForm.h"
#include "other/PayloadMemory.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quillmark {

class Socket;

class TcpSenderReceiver {
public:
    // The largest framed body accepted: 256 MiB.
    static constexpr std::uint64_t kMaxBodyLength = 256ull * 1024 * 1024;
    // The longest raw request line, its newline included.
    static constexpr std::size_t kMaxRawLength = 2048;
    // The largest payload room kept between requests (PayloadMemory).
    static constexpr std::size_t kKeptCapacity = PayloadMemory::kKeptCapacity;

    // Hands `payload`'s memory back to `transport` when the scope ends, by whatever way: the
    // Listener declares one right after its payload.
    class ScopedRecycle {
    public:
        ScopedRecycle(TcpSenderReceiver& transport, std::vector<char>& payload)
            : transport_(transport), payload_(payload) {}
        ~ScopedRecycle() { transport_.recycle(payload_); }
        ScopedRecycle(const ScopedRecycle&) = delete;
        ScopedRecycle& operator=(const ScopedRecycle&) = delete;

    private:
        TcpSenderReceiver& transport_;
        std::vector<char>& payload_;
    };

    TcpSenderReceiver();
    virtual ~TcpSenderReceiver();

    // Reads one request. On success `buffer` points to a new array (new[], owned by the caller)
    // holding the payload, the array it pointed to before is deleted, and *size is the payload
    // size (the zero byte included). Returns false when a read fails, the peer closes inside a
    // framed header or body, or the announced body is longer than kMaxBodyLength; `buffer` is
    // then unchanged and *size 0. A null socket: true with *size 0 and `buffer` unchanged.
    // `size` must point to a size_t.
    bool receive(Socket* socket, char*& buffer, std::size_t*& size);
    // The same, the payload's bytes appended to `payload`. An empty `payload` receives a framed
    // body into the memory kept from an earlier request. On failure nothing is appended
    // (`payload` keeps its size; its capacity may have grown with what arrived).
    bool receive(Socket* socket, std::vector<char>& payload);
    // The same, appended to a string (the zero byte included).
    bool receive(Socket* socket, std::string& payload);

    // Reads one line of at most 2048 bytes, its newline included, without the framing test; at
    // the end of the stream the line is empty. On success `buffer` points to a new array of
    // exactly *size bytes (no zero byte added; owned by the caller). False when the read fails.
    bool readChunk(Socket* socket, char*& buffer, std::size_t*& size);
    // readChunk, the bytes appended to `text` / `bytes`.
    bool receiveRaw(Socket* socket, std::string& text);
    bool receiveRaw(Socket* socket, std::vector<char>& bytes);

    // Writes the header, the text and one zero byte. False when the socket is null or a write
    // does not complete.
    bool send(Socket* socket, const std::string& text);
    // Writes the text and one zero byte. False when the socket is null or the write does not
    // complete.
    bool sendRaw(Socket* socket, const std::string& text);

    // Hands `payload`'s memory to PayloadMemory::recycle: kept for the next request when its
    // capacity is at most kKeptCapacity, freed otherwise. `payload` is left empty, without
    // memory. Never throws.
    void recycle(std::vector<char>& payload) noexcept { memory_.recycle(payload); }

    // True when the last request received was framed (also before the first request); false
    // after a raw or short one. A receive that fails before the form is known leaves it alone.
    bool isFramed() const { return form_ == RequestForm::kFramed; }
    // The form of the last request received, with the same rule: for a raw request, whether
    // its payload ends in the newline that ended the line (kRawLine) or not (kRawUnended: the
    // line filled kMaxRawLength bytes, or the stream ended first).
    RequestForm requestForm() const { return form_; }
    // True when the last receive failed because a wait for the peer's bytes ran out (the
    // connection's time-out); false after a receive that succeeded or failed otherwise.
    bool timedOut() const { return timedOut_; }

private:
    // Reads one request and appends its payload to `payload`; on failure `payload` keeps its
    // size. The core of every receive form.
    bool receivePayload(Socket* socket, std::vector<char>& payload);
    bool receiveBody(Socket* socket, std::uint64_t length, std::vector<char>& payload);
    // Appends the raw line's `length` bytes and the zero byte to `payload`, and records its form.
    void appendRawLine(const char* line, std::size_t length, std::vector<char>& payload);
    // Whether a read's `result` is a failure; a time-out (-1) is remembered for timedOut().
    bool readFailed(int result);

    // Reads the body into `room` after its first `base` bytes; `room` grows as bytes arrive.
    // On failure `room` may hold anything beyond `base`.
    bool readBody(Socket* socket, std::size_t base, std::size_t bodyLength,
                  std::vector<char>& room);

    RequestForm form_;
    bool timedOut_;
    PayloadMemory memory_;
};

}  // namespace quillmark

#endif  // QUILLMARK_TCPSENDERRECEIVER_H
