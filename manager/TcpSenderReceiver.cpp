// Message framing of the manager's protocol over one connection.
#include "TcpSenderReceiver.h"

#include "MessageHeader.h"
#include "quillmark/Log.h"
#include "quillmark/Socket.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace quillmark {

namespace {

// The first read takes at most four bytes (bufferLength 5) and stops after a newline, so a short
// raw request ends there and a framed one leaves its header after the magic on the connection.
const unsigned long kDetectBufferLength = MessageHeader::kMagicSize + 1;

// The body is read in steps that start small and double up to kLargestStep. A step is read
// straight into the payload; room beyond what the payload already holds is zero-filled only just
// before its step, so memory is touched as bytes arrive.
const std::size_t kFirstStep = 64 * 1024;
const std::size_t kLargestStep = 4 * 1024 * 1024;

// Hands `bytes` to the caller of the array form: a new array replaces the old one.
void replaceBuffer(const std::vector<char>& bytes, char*& buffer, std::size_t* size) {
    char* fresh = new char[bytes.empty() ? 1 : bytes.size()];
    if (!bytes.empty()) std::memcpy(fresh, bytes.data(), bytes.size());
    if (fresh != buffer) delete[] buffer;
    buffer = fresh;
    if (size != nullptr) *size = bytes.size();
}

}  // namespace

TcpSenderReceiver::TcpSenderReceiver() : form_(RequestForm::kFramed), timedOut_(false) {}

TcpSenderReceiver::~TcpSenderReceiver() = default;

bool TcpSenderReceiver::readFailed(int result) {
    if (result == -1) timedOut_ = true;
    return result < 0;
}

bool TcpSenderReceiver::receivePayload(Socket* socket, std::vector<char>& payload) {
    timedOut_ = false;
    const long sec = socket->getTimeoutSec();
    const long usec = socket->getTimeoutUsec();

    char start[kDetectBufferLength] = {};
    const int n = socket->readUntil(start, '\n', 1, kDetectBufferLength, nullptr, sec, usec);
    if (readFailed(n)) {
        QM_LOG_ERROR("Failed to read from socket.");
        return false;
    }
    QM_LOG_DEBUG("received = " << n);

    if (n == static_cast<int>(MessageHeader::kMagicSize)) {
        QM_LOG_DEBUG("received == size");
        if (MessageHeader::isMagic(start)) {
            char tail[MessageHeader::kTailSize];
            const int got = socket->read(tail, sizeof tail, nullptr, false, sec, usec);
            if (readFailed(got)) {
                QM_LOG_ERROR("Failed to read from socket.");
                return false;
            }
            QM_LOG_DEBUG("received = " << got);
            form_ = RequestForm::kFramed;
            const MessageHeader header = MessageHeader::decodeTail(tail);
            QM_LOG_DEBUG("payloadSize = " << header.length);
            return receiveBody(socket, header.length, payload);
        }

        // The rest of the line after the four bytes, so the request stays within 2048 bytes.
        char line[kMaxRawLength] = {};
        std::memcpy(line, start, MessageHeader::kMagicSize);
        const int m =
            socket->readUntil(line + MessageHeader::kMagicSize, '\n', 1,
                              kMaxRawLength - MessageHeader::kMagicSize + 1, nullptr, sec, usec);
        if (readFailed(m)) {
            QM_LOG_ERROR("Failed to receive non-header message payload.");
            return false;
        }
        appendRawLine(line, MessageHeader::kMagicSize + m, payload);
        return true;
    }

    // Fewer than four bytes: a line that ended early, or the end of the stream (n is 0 then,
    // whatever arrived before it).
    appendRawLine(start, n, payload);
    return true;
}

void TcpSenderReceiver::appendRawLine(const char* line, std::size_t length,
                                      std::vector<char>& payload) {
    // A raw read keeps the newline that ended it; without one the line was cut short.
    form_ =
        length > 0 && line[length - 1] == '\n' ? RequestForm::kRawLine : RequestForm::kRawUnended;
    payload.insert(payload.end(), line, line + length);
    payload.push_back('\0');
}

bool TcpSenderReceiver::receiveBody(Socket* socket, std::uint64_t length,
                                    std::vector<char>& payload) {
    // The length comes from the peer: refuse what no request needs before reserving anything
    // (2^64-1 would wrap length + 1; large claims would reserve memory before a byte arrives).
    if (length > kMaxBodyLength) {
        QM_LOG_ERROR("Failed to receive message payload.");
        return false;
    }
    const std::size_t bodyLength = static_cast<std::size_t>(length);
    // A request of its own that fits the memory kept from the last one is read into it. The
    // caller's vector is empty then, so nothing of it is lost by the swap.
    std::vector<char> room;
    if (!payload.empty() || !memory_.takeKept(bodyLength, room)) {
        const std::size_t base = payload.size();
        if (readBody(socket, base, bodyLength, payload)) return true;
        payload.resize(base);
        QM_LOG_ERROR("Failed to receive message payload.");
        return false;
    }
    if (readBody(socket, 0, bodyLength, room)) {
        payload.swap(room);
        return true;
    }
    recycle(room);
    QM_LOG_ERROR("Failed to receive message payload.");
    return false;
}

bool TcpSenderReceiver::readBody(Socket* socket, std::size_t base, std::size_t bodyLength,
                                 std::vector<char>& room) {
    const long sec = socket->getTimeoutSec();
    const long usec = socket->getTimeoutUsec();
    const std::size_t finalSize = base + bodyLength + 1;

    std::size_t done = 0;
    std::size_t step = kFirstStep;
    while (done < bodyLength) {
        const std::size_t want = std::min(bodyLength - done, step);
        PayloadMemory::makeRoom(room, base, done, base + done + want, finalSize);
        if (readFailed(socket->read(room.data() + base + done, want, nullptr, false, sec, usec))) {
            return false;
        }
        done += want;
        step = std::min(2 * step, kLargestStep);
    }
    room.resize(finalSize);
    room[finalSize - 1] = '\0';
    return true;
}

bool TcpSenderReceiver::receive(Socket* socket, char*& buffer, std::size_t*& size) {
    if (size != nullptr) *size = 0;
    if (socket == nullptr) return true;
    std::vector<char> payload;
    const ScopedRecycle recycling(*this, payload);
    if (!receivePayload(socket, payload)) return false;
    replaceBuffer(payload, buffer, size);
    return true;
}

bool TcpSenderReceiver::receive(Socket* socket, std::vector<char>& payload) {
    if (socket == nullptr) {
        QM_LOG_DEBUG("Received2 failed");
        return true;
    }
    const bool ok = receivePayload(socket, payload);
    if (!ok) QM_LOG_DEBUG("Received2 failed");
    return ok;
}

bool TcpSenderReceiver::receive(Socket* socket, std::string& payload) {
    std::vector<char> bytes;
    const ScopedRecycle recycling(*this, bytes);
    const bool ok = socket == nullptr ? true : receivePayload(socket, bytes);
    if (ok && !bytes.empty()) {
        payload.append(bytes.data(), bytes.size());
        QM_LOG_DEBUG("Received1: " << payload);
    } else {
        QM_LOG_DEBUG("Received1 failed: " << payload);
    }
    return ok;
}

bool TcpSenderReceiver::readChunk(Socket* socket, char*& buffer, std::size_t*& size) {
    if (size != nullptr) *size = 0;
    if (socket == nullptr) return true;
    char line[kMaxRawLength + 1];
    const int n = socket->readUntil(line, '\n', 1, sizeof line, nullptr, socket->getTimeoutSec(),
                                    socket->getTimeoutUsec());
    if (n < 0) {
        QM_LOG_ERROR("Failed to read from socket.");
        return false;
    }
    replaceBuffer(std::vector<char>(line, line + n), buffer, size);
    return true;
}

bool TcpSenderReceiver::receiveRaw(Socket* socket, std::string& text) {
    char* buffer = nullptr;
    std::size_t count = 0;
    std::size_t* size = &count;
    const bool ok = readChunk(socket, buffer, size);
    if (ok && count > 0) {
        text.append(buffer, count);
        QM_LOG_DEBUG("receiveRaw: " << text);
    } else {
        QM_LOG_DEBUG("receiveRaw failed");
    }
    delete[] buffer;
    return ok;
}

bool TcpSenderReceiver::receiveRaw(Socket* socket, std::vector<char>& bytes) {
    char* buffer = nullptr;
    std::size_t count = 0;
    std::size_t* size = &count;
    const bool ok = readChunk(socket, buffer, size);
    if (ok && count > 0) {
        bytes.insert(bytes.end(), buffer, buffer + count);
    } else {
        QM_LOG_DEBUG("receiveRaw failed");
    }
    delete[] buffer;
    return ok;
}

bool TcpSenderReceiver::send(Socket* socket, const std::string& text) {
    if (socket == nullptr) return false;
    MessageHeader header;
    header.length = text.size();
    char bytes[MessageHeader::kSize];
    header.encode(bytes);
    // The text follows at once: the header goes out in the text's segment, and the peer is
    // woken once for both.
    if (socket->write(bytes, sizeof bytes, nullptr, socket->getTimeoutSec(),
                      socket->getTimeoutUsec(), true) != static_cast<int>(sizeof bytes)) {
        QM_LOG_ERROR("Failed to send message header");
        return false;
    }
    return sendRaw(socket, text);
}

bool TcpSenderReceiver::sendRaw(Socket* socket, const std::string& text) {
    if (socket == nullptr) return false;
    // c_str() is followed by its zero byte, which is the message's terminator.
    const unsigned long length = text.size() + 1;
    const int written = socket->write(text.c_str(), length, nullptr, socket->getTimeoutSec(),
                                      socket->getTimeoutUsec());
    if (written >= 0 && static_cast<unsigned long>(written) == length) {
        QM_LOG_DEBUG("Message sent: " << text);
        return true;
    }
    QM_LOG_ERROR("Failed to send message");
    return false;
}

}  // namespace quillmark
