#include "CommandProcessor.h"
#include "CommandProcessorFactory.h"
#include "Listener.h"

#include "quillmark/ConfigurationFileAccess.h"
#include "quillmark/Exception.h"
#include "support/LogCapture.h"
#include "support/LoopbackClient.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <cerrno>

#include <zthread/Task.h>
#include <zthread/ThreadedExecutor.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using qmtest::eventually;
using qmtest::occurrences;

using namespace quillmark;

namespace {

const char kNoProcessor[] = "FAILURE! Unable to create processor for the given request";
const char kEmpty[] = "FAILURE! Unexpected empty response.";
// Long enough that a client which keeps sending never pauses that long on a busy machine, short
// enough for a test that waits it out several times.
const int kIdleLimitMs = 500;
// Short, so that a test that makes accepts fail does not wait the daemon's pause at its end.
const int kShortFailedAcceptPauseMs = 50;

const std::string kConfiguration =
    "<?xml version=\"1.0\"?>\n"
    "<quillmark_agentd_config>\n"
    "\t<GeneralProperties>\n"
    "\t\t<prop><key>ManagerPort</key><value>8044</value></prop>\n"
    "\t\t<prop><key>AgentServiceStart</key><value>/bin/true</value></prop>\n"
    "\t</GeneralProperties>\n"
    "</quillmark_agentd_config>\n";

std::string raw(const std::string& text) { return text + std::string(1, '\0'); }

// True while the Listener's thread is blocked in accept.
bool someThreadBlockedInAccept() { return qmtest::someThreadInSystemCall(::getpid(), SYS_accept4); }

// The descriptor of this process that listens on `port`; -1 when there is none.
int listeningDescriptor(unsigned short port) {
    for (int fd = 0; fd < 1024; ++fd) {
        int listening = 0;
        socklen_t size = sizeof listening;
        if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening &&
            qmtest::boundPort(fd) == port) {
            return fd;
        }
    }
    return -1;
}

// Whether a plain connect to 127.0.0.1:port is refused.
bool connectionRefused(unsigned short port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    const int error = errno;
    ::close(fd);
    return result != 0 && error == ECONNREFUSED;
}

class FixedProcessor : public CommandProcessor {
public:
    explicit FixedProcessor(std::string reply) : reply_(std::move(reply)) {}
    std::string process(std::vector<char>&) override { return reply_; }

private:
    std::string reply_;
};

// Throws what its request names: "bad_alloc", "runtime_error", "int", otherwise an Exception.
class ThrowingProcessor : public CommandProcessor {
public:
    explicit ThrowingProcessor(std::string request) : request_(std::move(request)) { ++alive; }
    ~ThrowingProcessor() override { --alive; }
    std::string process(std::vector<char>&) override {
        if (request_.find("bad_alloc") != std::string::npos) throw std::bad_alloc();
        if (request_.find("runtime_error") != std::string::npos) {
            throw std::runtime_error("library failed");
        }
        if (request_.find("int") != std::string::npos) throw 7;
        QM_THROW(ProcessingException, "processor failed");
    }
    static std::atomic<int> alive;

private:
    std::string request_;
};
std::atomic<int> ThrowingProcessor::alive{0};

// A Listener whose requests "throw" and "empty" get test processors; every other request goes to
// the real factory. It reports its destruction so the test can wait for the task to let it go.
class TestListener : public Listener {
public:
    TestListener(std::shared_ptr<CommandProcessorFactory> factory, std::atomic<bool>* destroyed,
                 int idleLimitMs)
        : Listener(std::move(factory), idleLimitMs, kShortFailedAcceptPauseMs),
          destroyed_(destroyed) {}
    ~TestListener() override { *destroyed_ = true; }

protected:
    CommandProcessor* createProcessor(std::vector<char>& payload) override {
        const std::string body(payload.data());
        if (body.rfind("throw", 0) == 0) return new ThrowingProcessor(body);
        if (body.rfind("empty", 0) == 0) return new FixedProcessor("");
        return Listener::createProcessor(payload);
    }

private:
    std::atomic<bool>* destroyed_;
};

// A running Listener on a loopback port chosen by the kernel, with a debug log, a real factory
// over a configuration file in a temporary directory, and the Listener on a thread-per-task
// executor as the service runs it. The teardown cancels it, waits for its thread and its
// destruction, and only then removes the logger it writes to.
class ListenerTest : public ::testing::Test {
protected:
    ListenerTest() : configurationPath_(dir_.file("agent.xml")) {
        qmtest::writeFile(configurationPath_, kConfiguration);
        configuration_.reset(new ConfigurationFileAccess(configurationPath_, false));
        factory_ = std::make_shared<CommandProcessorFactory>(configuration_.get());
    }

    ~ListenerTest() override {
        if (listener_ != nullptr) {
            listener_->cancel();
            executor_.wait();
            task_.reset();
            EXPECT_TRUE(eventually([this] { return destroyed_.load(); }));
        }
    }

    void start(int idleLimitMs = Listener::kConnectionIdleLimitMs) {
        Listener::initSocket(0, "127.0.0.1");
        port_ = Listener::listeningPort();
        ASSERT_NE(0, port_);
        listener_ = new TestListener(factory_, &destroyed_, idleLimitMs);
        task_.emplace(listener_);
        executor_.execute(*task_);
    }

    // The reply to `request` on a new connection, read until the Listener closes it.
    std::string exchange(const std::string& request) {
        qmtest::LoopbackClient client(port_);
        EXPECT_TRUE(client.write(request));
        return client.readUntilClose();
    }

    // What the get_configuration processor answers for the test's configuration.
    std::string configurationDocument() {
        CommandProcessorFactory factory(configuration_.get());
        std::vector<char> payload{'g', 'e', 't', '_', 'c', 'o', 'n', 'f', 'i',
                                  'g', 'u', 'r', 'a', 't', 'i', 'o', 'n', '\0'};
        std::unique_ptr<CommandProcessor> processor(factory.createProcessor(payload));
        EXPECT_NE(nullptr, processor);
        return processor ? processor->process(payload) : std::string();
    }

    std::string log() const { return log_.text(); }

    qmtest::LogCapture log_;
    qmtest::TempDir dir_;
    std::string configurationPath_;
    std::unique_ptr<ConfigurationFileAccess> configuration_;
    std::shared_ptr<CommandProcessorFactory> factory_;
    ZThread::ThreadedExecutor executor_;
    TestListener* listener_ = nullptr;
    std::optional<ZThread::Task> task_;
    std::atomic<bool> destroyed_{false};
    unsigned short port_ = 0;
};

TEST_F(ListenerTest, AnswersEachRequestInItsOwnForm) {
    start();
    const std::string document = configurationDocument();
    ASSERT_NE(std::string::npos, document.find("<quillmark_agentd_config>"));
    const std::string framedGet =
        qmtest::framedHeader(std::strlen("get_configuration")) + "get_configuration";
    const std::string framedUnknown = qmtest::framedHeader(7) + "unknown";
    struct Case {
        const char* name;
        std::string request;
        std::string reply;
    } cases[] = {
        {"raw get_configuration", "get_configuration\n", raw(document)},
        {"framed get_configuration", framedGet, qmtest::framedMessage(document)},
        {"raw, no command", "hello\n", raw(kNoProcessor)},
        {"framed, no command", framedUnknown, qmtest::framedMessage(kNoProcessor)},
        {"raw, empty processor reply", "empty\n", raw(kEmpty)},
        {"framed, empty processor reply", qmtest::framedHeader(5) + "empty",
         qmtest::framedMessage(kEmpty)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.reply, exchange(c.request));
    }
    const std::string text = log();
    EXPECT_EQ(2u, occurrences(text, std::string("\tQuillmark Agent Manager response: ") + kEmpty));
    EXPECT_EQ(2u, occurrences(
                      text, std::string("\tQuillmark Agent Manager response: ") + document + "\n"));
}

TEST_F(ListenerTest, FramedRequestEndsWithAnOrderlyClose) {
    // A client sends the framed request with its terminating zero byte, which the receiver does
    // not read. Closing a connection with unread input would reset it: the client would see an
    // error instead of the end of the reply (and bytes not yet sent would be thrown away).
    start();
    const std::string expected = qmtest::framedMessage(configurationDocument());
    qmtest::LoopbackClient client(port_);
    ASSERT_TRUE(client.write(qmtest::framedMessage("get_configuration")));
    EXPECT_EQ(expected, client.readExactly(expected.size()));
    char byte;
    EXPECT_EQ(0, ::recv(client.descriptor(), &byte, 1, 0)) << "errno " << errno;
}

TEST_F(ListenerTest, ClientThatClosesAtOnceIsAnsweredAndTheNextIsServed) {
    start();
    {
        qmtest::LoopbackClient silent(port_);
        silent.close();
    }
    EXPECT_EQ(raw(kNoProcessor), exchange("nothing_known\n"));
    EXPECT_EQ(2u, occurrences(log(), std::string("\tQuillmark Agent Manager response: ") +
                                         kNoProcessor + "\n"));
}

TEST_F(ListenerTest, ProcessorExceptionIsLoggedWithoutReply) {
    start();
    EXPECT_EQ("", exchange("throw\n"));
    EXPECT_EQ(0, ThrowingProcessor::alive);
    // The next connection is served as usual.
    EXPECT_EQ(raw(kNoProcessor), exchange("hello\n"));

    const std::string text = log();
    EXPECT_EQ(1u, occurrences(text,
                              "\tException raised while processing command[0] "
                              "\"processor failed\" raised from "
                              "tests/manager/ListenerTest.cpp:"));
    EXPECT_EQ(1u, occurrences(text, "\tQuillmark Agent Manager response: "));
}

TEST_F(ListenerTest, AnyExceptionFromAProcessorIsLoggedWithoutReply) {
    start();
    struct Case {
        const char* request;
        const char* line;
    } cases[] = {
        {"throw bad_alloc\n", "\tException raised while processing command: std::bad_alloc\n"},
        {"throw runtime_error\n", "\tException raised while processing command: library failed\n"},
        {"throw int\n",
         "\tException raised while processing command: an exception of unknown type\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        EXPECT_EQ("", exchange(c.request));
        EXPECT_EQ(0, ThrowingProcessor::alive);
        EXPECT_EQ(1u, occurrences(log(), c.line));
        // The Listener's thread is still there: the next connection is served as usual.
        EXPECT_EQ(raw(kNoProcessor), exchange("hello\n"));
    }
    EXPECT_EQ(3u, occurrences(log(), "\tQuillmark Agent Manager response: "));
}

TEST_F(ListenerTest, SilentOrStalledClientIsDroppedWithoutReply) {
    start(kIdleLimitMs);
    const std::string framedGet = qmtest::framedMessage("get_configuration");
    struct Case {
        const char* name;
        std::string sent;
    } cases[] = {
        {"nothing sent", ""},
        {"raw line without its newline", "get_config"},
        {"framed header cut short", framedGet.substr(0, 9)},
        {"framed body cut short", framedGet.substr(0, 20)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        qmtest::LoopbackClient stalled(port_);
        ASSERT_TRUE(stalled.write(c.sent));
        // Queued behind the stalled client, and answered once the Listener has dropped it.
        EXPECT_EQ(raw(kNoProcessor), exchange("hello\n"));
        EXPECT_EQ("", stalled.readUntilClose());
    }
    EXPECT_EQ(4u, occurrences(log(),
                              "|\tConnection from 127.0.0.1 closed without a reply: no "
                              "data for 500 ms.\n"));
    EXPECT_EQ(4u, occurrences(log(), "\tQuillmark Agent Manager response: "));
}

TEST_F(ListenerTest, SlowUploadThatKeepsSendingIsNotCut) {
    start(kIdleLimitMs);
    const std::string document = configurationDocument();
    struct Case {
        const char* name;
        std::string request;
        std::string reply;
    } cases[] = {
        {"raw", "get_configuration\n", raw(document)},
        {"framed", qmtest::framedMessage("get_configuration"), qmtest::framedMessage(document)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Each pause well within the limit, all of them together well beyond it.
        qmtest::LoopbackClient client(port_);
        ASSERT_TRUE(client.writePieces(qmtest::splitEvery(c.request, 2),
                                       std::chrono::milliseconds(kIdleLimitMs / 10)));
        EXPECT_EQ(c.reply, client.readExactly(c.reply.size()));
    }
}

TEST_F(ListenerTest, RealAcceptFailureIsStillAnError) {
    start();
    ASSERT_TRUE(eventually(someThreadBlockedInAccept));
    // Shut down behind the Listener's back: the accept fails although nobody cancelled it.
    ASSERT_EQ(0, ::shutdown(listeningDescriptor(port_), SHUT_RDWR));
    EXPECT_TRUE(eventually([this] {
        std::istringstream lines(log());
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("|ERROR\t|", 0) == 0 &&
                line.find("|\tFailed to accept. errno=22") != std::string::npos) {
                return true;
            }
        }
        return false;
    }));
}

TEST_F(ListenerTest, CancelWakesTheBlockedListenerAndClosesThePortOnce) {
    start();
    ASSERT_TRUE(eventually(someThreadBlockedInAccept));
    const int descriptor = listeningDescriptor(port_);
    ASSERT_GE(descriptor, 0);

    listener_->cancel();
    // Bounded: a Listener that stayed blocked in accept would never let the executor finish.
    ASSERT_TRUE(executor_.wait(20000));
    EXPECT_FALSE(Listener::hasListeningSocket());
    EXPECT_FALSE(listener_->hasSocketCopy());
    EXPECT_EQ(0, Listener::listeningPort());
    EXPECT_TRUE(connectionRefused(port_));
    errno = 0;
    EXPECT_EQ(-1, ::fcntl(descriptor, F_GETFD));
    EXPECT_EQ(EBADF, errno);

    // The number is taken again before the Listener goes: destroying its copy must leave the
    // new owner's descriptor alone.
    const int probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    if (probe != descriptor) {
        ASSERT_EQ(descriptor, ::dup3(probe, descriptor, O_CLOEXEC));
    }
    task_.reset();
    ASSERT_TRUE(eventually([this] { return destroyed_.load(); }));
    listener_ = nullptr;
    EXPECT_NE(-1, ::fcntl(descriptor, F_GETFD));
    ::close(descriptor);
    if (probe != descriptor) ::close(probe);

    const std::string text = log();
    const std::size_t closing = text.find("\tClosing channel " + std::to_string(descriptor));
    const std::size_t canceled = text.find("\tListener was canceled.\n");
    ASSERT_NE(std::string::npos, closing);
    ASSERT_NE(std::string::npos, canceled);
    EXPECT_LT(closing, canceled);
    EXPECT_EQ(1u, occurrences(text, "\tListener was canceled.\n"));
    EXPECT_EQ(1u, occurrences(text, "\tRunning Listener\n"));
    // The accept ended by the cancel is part of a clean stop, not a failure.
    EXPECT_EQ(0u, occurrences(text, "Failed to accept"));

    // Without a listening socket no Listener can be made.
    EXPECT_THROW({ Listener orphan(factory_); }, Exception);
    EXPECT_NE(std::string::npos,
              log().find("\tDefect in code, socketShared_ cannot be NULL. Exiting agent "
                         "application.\n"));
}

TEST(ListenerSocket, SecondInitDoesNothingAndFailedListenKeepsTheSocket) {
    qmtest::LogCapture log;
    std::shared_ptr<CommandProcessorFactory> noFactory;

    Listener::initSocket(0, "127.0.0.1");
    const unsigned short port = Listener::listeningPort();
    ASSERT_NE(0, port);
    Listener::initSocket(port == 65535 ? 1 : port + 1, "");
    EXPECT_EQ(port, Listener::listeningPort());
    {
        Listener listener(noFactory);
        listener.cancel();
    }
    EXPECT_FALSE(Listener::hasListeningSocket());

    qmtest::LoopbackServer occupant;
    try {
        Listener::initSocket(occupant.port(), "127.0.0.1");
        ADD_FAILURE() << "listen on a port in use succeeded";
    } catch (const Exception& e) {
        EXPECT_STREQ("", e.getMessage());
        EXPECT_EQ(0, e.getCode());
    }
    EXPECT_NE(std::string::npos,
              log.text().find("\tFailed to listen on port [" + std::to_string(occupant.port()) +
                              "]. The port may already be in use by another application. Exiting "
                              "quillmark agent manager.\n"));
    EXPECT_TRUE(Listener::hasListeningSocket());
    {
        Listener listener(noFactory);
        listener.cancel();
    }
    EXPECT_FALSE(Listener::hasListeningSocket());
}

TEST(ListenerSocket, FailedAcceptPausesTheDaemonsThreeSecondsOrTheGivenPause) {
    qmtest::LogCapture log;
    std::shared_ptr<CommandProcessorFactory> noFactory;
    struct Case {
        const char* name;
        std::optional<int> given;
        int pause;
    } cases[] = {
        {"the daemon's default", std::nullopt, 3000},
        {"a given pause", 50, 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Listener::initSocket(0, "127.0.0.1");
        const unsigned short port = Listener::listeningPort();
        ASSERT_NE(0, port);
        std::unique_ptr<Listener> listener(
            c.given ? new Listener(noFactory, Listener::kConnectionIdleLimitMs, *c.given)
                    : new Listener(noFactory));
        // Shut down behind the Listener's back: its accept fails at once.
        ASSERT_EQ(0, ::shutdown(listeningDescriptor(port), SHUT_RDWR));
        listener->execute();
        EXPECT_EQ(c.pause, listener->getInterval());
        listener->cancel();
    }
    EXPECT_EQ(2, log.count("Failed to accept. errno=22"));
}

}  // namespace
