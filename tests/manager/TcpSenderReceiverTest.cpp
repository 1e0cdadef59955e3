#include "TcpSenderReceiver.h"

#include "quillmark/Socket.h"
#include "support/LogCapture.h"
#include "support/LoopbackClient.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace quillmark;
using qmtest::framedHeader;
using qmtest::framedMessage;
using qmtest::LoopbackClient;
using qmtest::LoopbackServer;

namespace {

std::string bytes(const std::vector<char>& v) { return std::string(v.begin(), v.end()); }

std::string withZero(const std::string& text) { return text + std::string(1, '\0'); }

std::string binaryBody(std::size_t size) {
    std::string body(size, '\0');
    for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>((i * 131) % 251);
    return body;
}

class TcpSenderReceiverTest : public ::testing::Test {
protected:
    struct Exchange {
        bool ok = false;
        std::vector<char> payload;
        // What the receive left on the connection.
        std::string rest;
    };

    // A client sends `pieces` (pausing `pause` between them) and ends its sending direction;
    // `transport_` receives one request from the accepted connection.
    Exchange receiveFrom(const std::vector<std::string>& pieces,
                         std::chrono::milliseconds pause = std::chrono::milliseconds(0)) {
        Exchange result;
        LoopbackClient client(server_.port());
        std::unique_ptr<Socket> connection = server_.accept();
        if (!connection) return result;
        std::thread writer([&] {
            client.writePieces(pieces, pause);
            client.shutdownWrite();
        });
        result.ok = transport_.receive(connection.get(), result.payload);
        writer.join();
        char chunk[4096];
        int n;
        while ((n = connection->readOnce(chunk, sizeof chunk, nullptr, 0, 0)) > 0) {
            result.rest.append(chunk, n);
        }
        return result;
    }

    Exchange receiveFrom(const std::string& input) {
        return receiveFrom(std::vector<std::string>{input});
    }

    qmtest::LogCapture log_;
    LoopbackServer server_;
    TcpSenderReceiver transport_;
};

}  // namespace

TEST_F(TcpSenderReceiverTest, ReceivesFramedAndRawRequests) {
    const std::string command = "get_configuration";
    const std::string binary = std::string("\0\xff\n\0QMCP\r\n", 10) + binaryBody(300);
    const std::string longLine = std::string(3000, 'a') + "\n";
    const std::string fullLine = std::string(2047, 'b') + "\n";
    const RequestForm framed = RequestForm::kFramed;
    const RequestForm line = RequestForm::kRawLine;
    const RequestForm unended = RequestForm::kRawUnended;
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        std::string payload;  // without the zero byte the receiver adds
        RequestForm form;
        std::string rest;
    };
    const Case cases[] = {
        // The sender's terminating zero byte is left on the connection.
        {"framed command", {framedMessage(command)}, command, framed, withZero("")},
        {"framed, version 7", {framedMessage(command, 7)}, command, framed, withZero("")},
        {"framed, empty body", {framedMessage("")}, "", framed, withZero("")},
        {"framed, binary body", {framedMessage(binary)}, binary, framed, withZero("")},
        {"framed, one byte at a time", qmtest::splitEvery(framedMessage(command), 1), command,
         framed, withZero("")},
        {"raw command", {command + "\n"}, command + "\n", line, ""},
        {"raw, one byte at a time", qmtest::splitEvery(command + "\nnext", 1), command + "\n", line,
         "next"},
        {"newline among the first three bytes", {"ab\nrest"}, "ab\n", line, "rest"},
        {"newline as the fourth byte", {"abc\nxyz\nq"}, "abc\nxyz\n", line, "q"},
        {"newline as the fourth byte, then the end", {"abc\n"}, "abc\n", line, ""},
        {"magic in lower case", {"qmcp\n"}, "qmcp\n", line, ""},
        {"magic with one byte changed",
         {"QMCX" + framedHeader(3).substr(4) + "abc\n"},
         "QMCX" + framedHeader(3).substr(4) + "abc\n",
         line,
         ""},
        {"line of 2048 bytes with its newline", {fullLine + "x"}, fullLine, line, "x"},
        {"line cut at 2048 bytes",
         {longLine},
         longLine.substr(0, 2048),
         unended,
         longLine.substr(2048)},
        {"end before a newline after four bytes", {"abcdef"}, "abcd", unended, ""},
        {"end before a newline within three bytes", {"QMC"}, "", unended, ""},
        {"no data at all", {}, "", unended, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool bytewise = c.pieces.size() > 1;
        const Exchange got = receiveFrom(c.pieces, std::chrono::milliseconds(bytewise ? 1 : 0));
        ASSERT_TRUE(got.ok);
        EXPECT_EQ(withZero(c.payload), bytes(got.payload));
        EXPECT_EQ(c.form == framed, transport_.isFramed());
        EXPECT_EQ(c.form, transport_.requestForm());
        EXPECT_EQ(c.rest, got.rest);
    }
}

TEST_F(TcpSenderReceiverTest, LargeBodyArrivingInPieces) {
    // Crosses the receiver's growth steps at odd offsets.
    const std::string body = binaryBody(5 * 1024 * 1024 + 3);
    const Exchange got = receiveFrom(qmtest::splitEvery(framedMessage(body), 1024 * 1024 - 7));
    ASSERT_TRUE(got.ok);
    ASSERT_EQ(body.size() + 1, got.payload.size());
    EXPECT_TRUE(withZero(body) == bytes(got.payload));
    EXPECT_TRUE(transport_.isFramed());
    EXPECT_TRUE(log_.has("payloadSize = " + std::to_string(body.size())));
}

TEST_F(TcpSenderReceiverTest, PeerClosingInsideAFramedRequest) {
    struct Case {
        const char* name;
        std::string input;
        const char* message;
        bool framedAfter;  // the header was read, so the request counts as framed
    };
    const Case cases[] = {
        {"closed after the magic", "QMCP", "Failed to read from socket.", false},
        {"closed inside the header", framedHeader(10).substr(0, 9), "Failed to read from socket.",
         false},
        {"closed inside the body", framedHeader(10) + "abcd", "Failed to receive message payload.",
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(receiveFrom("ab\n").ok);  // a raw request first: the form is now raw
        log_.clear();
        const Exchange got = receiveFrom(c.input);
        EXPECT_FALSE(got.ok);
        EXPECT_TRUE(got.payload.empty());
        EXPECT_TRUE(log_.has(c.message));
        EXPECT_TRUE(log_.has("Connection went down before all bytes were read."));
        EXPECT_TRUE(log_.has("Received2 failed"));
        EXPECT_EQ(c.framedAfter, transport_.isFramed());
    }
}

TEST_F(TcpSenderReceiverTest, OversizedLengthIsRefusedBeforeAnythingIsReserved) {
    const std::uint64_t claims[] = {TcpSenderReceiver::kMaxBodyLength + 1, 1ull << 32, 1ull << 40,
                                    ~0ull};
    for (const std::uint64_t claim : claims) {
        SCOPED_TRACE(claim);
        log_.clear();
        LoopbackClient client(server_.port());
        std::unique_ptr<Socket> connection = server_.accept();
        ASSERT_TRUE(connection);
        // The client keeps the connection open: a receiver that waited for the body would hang,
        // which the time-out turns into a visible "Select() timed out" line.
        connection->setTimeout(10, 0);
        ASSERT_TRUE(client.write(framedHeader(claim) + "abc"));
        std::vector<char> payload;
        bool ok = true;
        EXPECT_NO_THROW(ok = transport_.receive(connection.get(), payload));
        EXPECT_FALSE(ok);
        EXPECT_EQ(0u, payload.capacity());
        EXPECT_TRUE(log_.has("payloadSize = " + std::to_string(claim)));
        EXPECT_TRUE(log_.has("Failed to receive message payload."));
        EXPECT_FALSE(log_.has("Select() timed out after 10 sec 0 ms. errno=0"));
        // No reply follows a refused request; the connection is simply closed.
        connection.reset();
        EXPECT_EQ("", client.readUntilClose());
    }

    // The largest accepted length: the payload grows with what arrives, not with the claim.
    log_.clear();
    const Exchange got =
        receiveFrom(framedHeader(TcpSenderReceiver::kMaxBodyLength) + std::string(1000, 'x'));
    EXPECT_FALSE(got.ok);
    EXPECT_TRUE(got.payload.empty());
    EXPECT_LE(got.payload.capacity(), 1024u * 1024u);
    EXPECT_TRUE(log_.has("Connection went down before all bytes were read."));
    EXPECT_TRUE(log_.has("Failed to receive message payload."));
}

TEST_F(TcpSenderReceiverTest, RecycledMemoryCarriesNothingIntoTheNextRequest) {
    // Each request goes into an empty payload, as the Listener's does, and is handed back after
    // use; the kept memory then holds the bytes of a larger, earlier body.
    const std::string large = binaryBody(TcpSenderReceiver::kKeptCapacity - 100);
    const std::string small = "upgrade_append(n,x)";
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        bool ok;
        std::string payload;  // without the zero byte the receiver adds
    };
    const Case cases[] = {
        {"a large body fills the kept memory", {framedMessage(large)}, true, large},
        {"a smaller body", {framedMessage(small)}, true, small},
        {"an empty body", {framedMessage("")}, true, ""},
        {"a raw line", {"raw\n"}, true, "raw\n"},
        {"a body that ends early", {framedHeader(5000) + large.substr(0, 3000)}, false, ""},
        {"the large body again", {framedMessage(large)}, true, large},
        {"a body beyond the kept memory", {framedMessage(large + large)}, true, large + large},
        {"a small body after it", {framedMessage(small)}, true, small},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Exchange got = receiveFrom(c.pieces);
        EXPECT_EQ(c.ok, got.ok);
        EXPECT_EQ(c.ok ? withZero(c.payload) : "", bytes(got.payload));
        transport_.recycle(got.payload);
        EXPECT_TRUE(got.payload.empty());
    }

    // A payload that already holds bytes gets the body appended, kept memory or not.
    LoopbackClient client(server_.port());
    std::unique_ptr<Socket> connection = server_.accept();
    ASSERT_TRUE(connection);
    ASSERT_TRUE(client.write(framedMessage(small)));
    std::vector<char> payload{'<'};
    ASSERT_TRUE(transport_.receive(connection.get(), payload));
    EXPECT_EQ("<" + withZero(small), bytes(payload));
}

TEST_F(TcpSenderReceiverTest, SendWritesFramedAndRawReplies) {
    struct Case {
        const char* name;
        bool framed;
        std::string text;
        std::string wire;
    };
    const std::string binary("a\0b", 3);
    const Case cases[] = {
        {"framed", true, "SUCCESS", framedMessage("SUCCESS")},
        {"framed, empty", true, "", framedHeader(0) + withZero("")},
        {"framed, zero bytes inside", true, binary, framedMessage(binary)},
        {"raw", false, "FAILURE! Unable to create processor for the given request",
         withZero("FAILURE! Unable to create processor for the given request")},
        {"raw, empty", false, "", withZero("")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackClient client(server_.port());
        std::unique_ptr<Socket> connection = server_.accept();
        ASSERT_TRUE(connection);
        EXPECT_TRUE(c.framed ? transport_.send(connection.get(), c.text)
                             : transport_.sendRaw(connection.get(), c.text));
        connection.reset();
        EXPECT_EQ(c.wire, client.readUntilClose());
        EXPECT_TRUE(log_.has("Message sent: " + c.text));
    }

    Socket closed;
    EXPECT_FALSE(transport_.send(&closed, "SUCCESS"));
    EXPECT_TRUE(log_.has("Failed to send message header"));
    EXPECT_FALSE(transport_.sendRaw(&closed, "SUCCESS"));
    EXPECT_TRUE(log_.has("Failed to send message"));
}

TEST_F(TcpSenderReceiverTest, RequestAndReplyOnOneConnection) {
    LoopbackClient client(server_.port());
    std::unique_ptr<Socket> connection = server_.accept();
    ASSERT_TRUE(connection);
    ASSERT_TRUE(client.write(framedMessage("get_configuration")));
    std::vector<char> payload;
    ASSERT_TRUE(transport_.receive(connection.get(), payload));
    ASSERT_TRUE(transport_.isFramed());
    ASSERT_TRUE(transport_.send(connection.get(), "<config/>"));
    EXPECT_EQ(framedMessage("<config/>"), client.readExactly(framedMessage("<config/>").size()));
}

TEST_F(TcpSenderReceiverTest, OtherReceiveForms) {
    Socket* none = nullptr;
    std::vector<char> vector;
    EXPECT_TRUE(transport_.receive(none, vector));
    EXPECT_TRUE(vector.empty());
    EXPECT_FALSE(transport_.send(none, "x"));
    EXPECT_FALSE(transport_.sendRaw(none, "x"));

    // The array form replaces the caller's array and reports the size with the zero byte.
    char* buffer = new char[1];
    std::size_t* size = new std::size_t(7);
    EXPECT_TRUE(transport_.receive(none, buffer, size));
    EXPECT_EQ(0u, *size);
    {
        LoopbackClient client(server_.port());
        std::unique_ptr<Socket> connection = server_.accept();
        ASSERT_TRUE(connection);
        ASSERT_TRUE(client.write(framedMessage("abc")));
        EXPECT_TRUE(transport_.receive(connection.get(), buffer, size));
        EXPECT_EQ(withZero("abc"), std::string(buffer, *size));
    }
    delete[] buffer;
    delete size;

    LoopbackClient client(server_.port());
    std::unique_ptr<Socket> connection = server_.accept();
    ASSERT_TRUE(connection);
    ASSERT_TRUE(client.write("ab\nQMCPxyz\n" + std::string(3000, 'c') + "\nraw\nlast\n"));
    client.shutdownWrite();

    std::string text = "<";
    EXPECT_TRUE(transport_.receive(connection.get(), text));
    EXPECT_EQ("<" + withZero("ab\n"), text);

    // readChunk makes no framing test and adds no zero byte.
    char* chunk = nullptr;
    std::size_t chunkSize = 0;
    std::size_t* chunkSizePointer = &chunkSize;
    EXPECT_TRUE(transport_.readChunk(connection.get(), chunk, chunkSizePointer));
    EXPECT_EQ("QMCPxyz\n", std::string(chunk, chunkSize));
    EXPECT_TRUE(transport_.readChunk(connection.get(), chunk, chunkSizePointer));
    EXPECT_EQ(std::string(2048, 'c'), std::string(chunk, chunkSize));
    delete[] chunk;

    std::vector<char> rest;
    EXPECT_TRUE(transport_.receiveRaw(connection.get(), rest));
    EXPECT_EQ(std::string(3000 - 2048, 'c') + "\n", bytes(rest));
    std::string raw = "=";
    EXPECT_TRUE(transport_.receiveRaw(connection.get(), raw));
    EXPECT_EQ("=raw\n", raw);
    EXPECT_TRUE(log_.has("receiveRaw: =raw\n"));
    EXPECT_TRUE(transport_.receiveRaw(connection.get(), raw));
    EXPECT_EQ("=raw\nlast\n", raw);
    // At the end of the stream the line is empty.
    EXPECT_TRUE(transport_.receiveRaw(connection.get(), raw));
    EXPECT_EQ("=raw\nlast\n", raw);
    EXPECT_TRUE(log_.has("receiveRaw failed"));
}
