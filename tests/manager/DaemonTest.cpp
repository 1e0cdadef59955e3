// End-to-end runs of the real quillmark_agent_managerd binary on configurations written into a
// temporary directory. The test process is a child subreaper, so every process the launcher
// leaves behind (the first child, the daemon, the shells the daemon runs) is reparented to it:
// the daemon's exit status is read with waitpid, and nothing outlives the test.
#include "support/BoundedFifo.h"
#include "support/ForkedCall.h"
#include "support/LoopbackClient.h"
#include "support/Process.h"
#include "support/ScopedMount.h"
#include "support/SignalState.h"
#include "support/SpecialFile.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"
#include "support/ZipBuilder.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using qmtest::eventually;

using qmtest::linesOf;

namespace {

const char kDaemonPath[] = QM_MANAGERD_PATH;
const char kPackageName[] = "quillmark_redhat_64_agent.qmp";

std::string contentsOrEmpty(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    if (in) contents << in.rdbuf();
    return contents.str();
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string base64(const std::string& bytes) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t left = bytes.size() - i;
        unsigned value = static_cast<unsigned char>(bytes[i]) << 16;
        if (left > 1) value |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (left > 2) value |= static_cast<unsigned char>(bytes[i + 2]);
        out += alphabet[(value >> 18) & 63];
        out += alphabet[(value >> 12) & 63];
        out += left > 1 ? alphabet[(value >> 6) & 63] : '=';
        out += left > 2 ? alphabet[value & 63] : '=';
    }
    return out;
}

// A configuration document as a client sends it in save_configuration: the settings of
// GeneralProperties in order, every value in Base64.
std::string encodedDocument(const std::vector<std::pair<std::string, std::string>>& settings) {
    std::string document =
        "<?xml version=\"1.0\"?>\n<quillmark_agentd_config>\n\t<GeneralProperties>\n";
    for (const auto& setting : settings) {
        document += "\t\t<prop><key>" + setting.first + "</key><value>" + base64(setting.second) +
                    "</value></prop>\n";
    }
    return document + "\t</GeneralProperties>\n</quillmark_agentd_config>\n";
}

// A port that was free a moment ago: bound on 127.0.0.1 with port 0, read back, closed.
unsigned short freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    struct sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    unsigned short port = 0;
    if (::bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) == 0) {
        port = qmtest::boundPort(fd);
    }
    ::close(fd);
    return port;
}

// The children of `pid`, over all of its threads.
std::vector<pid_t> childrenOf(pid_t pid) {
    std::vector<pid_t> children;
    const std::string taskDirectory = "/proc/" + std::to_string(pid) + "/task";
    DIR* tasks = ::opendir(taskDirectory.c_str());
    if (tasks == nullptr) return children;
    while (struct dirent* entry = ::readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        std::istringstream list(contentsOrEmpty(taskDirectory + "/" + entry->d_name + "/children"));
        for (pid_t child; list >> child;) children.push_back(child);
    }
    ::closedir(tasks);
    return children;
}

// A configuration in the simple layout; every path the manager uses lies in `dir`.
struct DaemonFiles {
    explicit DaemonFiles(const qmtest::TempDir& dir, const std::string& suffix = "")
        : configuration(dir.file("quillmark_agentd" + suffix + ".xml")),
          log(dir.file("managerd" + suffix + ".log")),
          pid(dir.file("managerd.pid")),
          root(dir.file("agent_manager")),
          journal(dir.file("journal")),
          start(dir.file("agent-start.sh")),
          stop(dir.file("agent-stop.sh")) {}

    std::string text(unsigned short port, const std::string& extraProps = "") const {
        return text(std::to_string(port), extraProps);
    }
    // The same with any text as the port setting.
    std::string text(const std::string& port, const std::string& extraProps = "") const {
        return "<?xml version=\"1.0\"?>\n"
               "<quillmark_agentd_config>\n"
               "\t<GeneralProperties>\n" +
               prop("ManagerPort", port) + prop("ManagerIp", "127.0.0.1") +
               prop("ManagerLogFile", log) + prop("ManagerDebugLevel", "5") +
               prop("ManagerPidFile", pid) + prop("ManagerInstallationRoot", root) +
               prop("AgentServiceStart", start) + prop("AgentServiceStop", stop) + extraProps +
               "\t</GeneralProperties>\n"
               "</quillmark_agentd_config>\n";
    }

    static std::string prop(const std::string& key, const std::string& value) {
        return "\t\t<prop><key>" + key + "</key><value>" + value + "</value></prop>\n";
    }

    std::string configuration, log, pid, root, journal, start, stop;
};

class DaemonTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(0, ::prctl(PR_SET_CHILD_SUBREAPER, 1)) << std::strerror(errno);
    }

    DaemonTest() : files_(dir_) {
        ::mkdir(files_.root.c_str(), 0755);
        writeScript(files_.start, "start");
        writeScript(files_.stop, "stop");
    }

    // Every daemon still running is killed by its pid; then every child of this process
    // (first children, shells orphaned by a killed daemon) is reaped.
    ~DaemonTest() override {
        for (pid_t pid : daemons_) {
            if (exited_.count(pid) != 0) continue;
            ::kill(pid, SIGKILL);
            EXPECT_TRUE(waitForExit(pid).has_value()) << "daemon " << pid << " was not reaped";
        }
        const bool reaped = eventually(
            [this] {
                reapExited();
                return childrenOf(::getpid()).empty();
            },
            std::chrono::seconds(10));
        if (!reaped) {
            for (pid_t child : childrenOf(::getpid())) {
                ADD_FAILURE() << "process " << child << " left behind";
            }
            // Killing a shell hands its own children to this process: kill each generation.
            eventually([this] {
                for (pid_t child : childrenOf(::getpid())) ::kill(child, SIGKILL);
                reapExited();
                return childrenOf(::getpid()).empty();
            });
        }
    }

    void writeScript(const std::string& path, const std::string& word) {
        qmtest::writeFile(path, "#!/bin/sh\necho " + word + " >> '" + files_.journal + "'\n");
        ASSERT_EQ(0, ::chmod(path.c_str(), 0755));
    }

    qmtest::ProcessResult launch(const std::string& configuration,
                                 const std::string& workingDirectory = "",
                                 const std::vector<std::string>& environment = {}) {
        qmtest::ProcessOptions options;
        options.workingDirectory = workingDirectory;
        options.environment = environment;
        options.timeout = std::chrono::milliseconds(20000);
        return qmtest::runProcess({kDaemonPath, "-c", configuration}, options);
    }

    // Launches on `files`, expects the launcher's clean return and the daemon's pid in its PID
    // file, and keeps the pid for the clean-up. -1 (with a test failure) when that fails.
    pid_t startDaemon(const DaemonFiles& files, const std::string& workingDirectory = "",
                      const std::string& configurationArgument = "",
                      const std::vector<std::string>& environment = {}) {
        const qmtest::ProcessResult launcher =
            launch(configurationArgument.empty() ? files.configuration : configurationArgument,
                   workingDirectory, environment);
        EXPECT_EQ("", launcher.launchError);
        EXPECT_EQ(0, launcher.exitStatus);
        EXPECT_EQ("", launcher.standardOutput);
        EXPECT_EQ("", launcher.standardError);
        const pid_t pid = waitForPidFile(files.pid);
        EXPECT_GT(pid, 0) << "no PID file; log:\n" << contentsOrEmpty(files.log);
        if (pid > 0) daemons_.push_back(pid);
        return pid;
    }

    // startDaemon on the default configuration, with `extraProps` after its settings, with a port
    // that was free; the port in `port`.
    pid_t startOnFreePort(unsigned short& port, const std::string& extraProps = "") {
        port = freePort();
        EXPECT_NE(0, port);
        qmtest::writeFile(files_.configuration, files_.text(port, extraProps));
        return startDaemon(files_);
    }

    // startOnFreePort with the watch's 30000 ms between two cycles made 300 ms, once the watch
    // has run two cycles.
    pid_t startWithQuickWatch(unsigned short& port);

    // How many ERROR lines of the log hold `part`.
    std::size_t errorLinesWith(const std::string& part) const;

    // Sends get_configuration (twelve times at most) until the log at `log` has been moved aside
    // `rotations` times, and returns how often it was. Every reply is logged, before it is sent:
    // with withLargeSetting() in the configuration two replies pass the 1 MiB limit.
    static int rotateLog(unsigned short port, const std::string& log, int rotations);
    static std::string withLargeSetting() {
        return DaemonFiles::prop("Filler", std::string(400000, 'x'));
    }

    // Installs an upgrade whose script prints one line on its standard output and one on its
    // standard error, and expects both in the log at `log`, which the daemon `pid` has as its
    // descriptors 1 and 2.
    void expectUpgradeScriptOutputIn(pid_t pid, unsigned short port, const std::string& log);

    // The pid in the PID file once it holds only digits.
    static pid_t waitForPidFile(const std::string& path) {
        pid_t pid = -1;
        eventually([&] {
            const std::string text = contentsOrEmpty(path);
            if (text.empty()) return false;
            for (char c : text) {
                if (!std::isdigit(static_cast<unsigned char>(c))) return false;
            }
            pid = static_cast<pid_t>(std::stol(text));
            return true;
        });
        return pid;
    }

    // Reaps every child that has ended, keeping its status.
    void reapExited() {
        for (;;) {
            int status = 0;
            const pid_t pid = ::waitpid(-1, &status, WNOHANG);
            if (pid <= 0) return;
            exited_[pid] = status;
        }
    }

    // The wait status of `pid` once it has ended and been reparented to this process.
    std::optional<int> waitForExit(pid_t pid) {
        if (!eventually([&] {
                reapExited();
                return exited_.count(pid) != 0;
            })) {
            return std::nullopt;
        }
        return exited_[pid];
    }

    // Whether a process that had not ended by `before` (an earlier copy of exited_) ends with
    // status 255 within the usual wait.
    bool endsWith255Since(const std::map<pid_t, int>& before) {
        return eventually([&] {
            reapExited();
            for (const auto& entry : exited_) {
                if (before.count(entry.first) == 0 && WIFEXITED(entry.second) &&
                    WEXITSTATUS(entry.second) == 255) {
                    return true;
                }
            }
            return false;
        });
    }

    bool hasEnded(pid_t pid) {
        reapExited();
        return exited_.count(pid) != 0;
    }

    std::vector<std::string> journal() const { return linesOf(contentsOrEmpty(files_.journal)); }

    // Delivers, in one framed chunk, a package that holds only `script` as its upgrade script,
    // and installs it. True when both requests were answered "SUCCESS"; otherwise the test fails.
    bool installScriptPackage(unsigned short port, const std::string& script) {
        const std::string archivePath = dir_.file("package.zip");
        EXPECT_TRUE(
            qmtest::ZipBuilder().addFile("quillmark_upgrade.sh", script).writeTo(archivePath));
        const std::string name(kPackageName);
        for (const std::string& body :
             {"upgrade_initial(" + name + "," + contentsOrEmpty(archivePath) + ")",
              "upgrade_final(" + name + ")"}) {
            SCOPED_TRACE(body.substr(0, body.find('(')));
            const std::string reply = request(port, qmtest::framedMessage(body));
            EXPECT_EQ(qmtest::framedMessage("SUCCESS"), reply);
            if (reply != qmtest::framedMessage("SUCCESS")) return false;
        }
        return true;
    }

    // The reply to one request, read until the daemon closes the connection.
    static std::string request(unsigned short port, const std::string& bytes) {
        qmtest::LoopbackClient client(port);
        if (!client.isConnected() || !client.write(bytes)) return "";
        return client.readUntilClose();
    }

    qmtest::TempDir dir_;
    DaemonFiles files_;
    std::vector<pid_t> daemons_;
    std::map<pid_t, int> exited_;
};

TEST_F(DaemonTest, DetachesHoldsItsPidFileAndStopsOnSigterm) {
    unsigned short port = 0;
    const pid_t pid = startOnFreePort(port);
    ASSERT_GT(pid, 0);

    // The PID file: the pid alone, and a write lock over the whole file held by the daemon.
    EXPECT_EQ(std::to_string(pid), contentsOrEmpty(files_.pid));
    {
        const int fd = ::open(files_.pid.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        struct flock lock;
        std::memset(&lock, 0, sizeof lock);
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        ASSERT_EQ(0, ::fcntl(fd, F_GETLK, &lock));
        ::close(fd);
        EXPECT_EQ(F_WRLCK, lock.l_type);
        EXPECT_EQ(pid, lock.l_pid);
        EXPECT_EQ(0, lock.l_start);
        EXPECT_EQ(0, lock.l_len);
    }

    // The log begins with the configuration dump, the start line and the build tag.
    const std::vector<std::string> log = linesOf(contentsOrEmpty(files_.log));
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(0u, log[0].rfind("|DEBUG\t|", 0)) << log[0];
    EXPECT_TRUE(endsWith(log[0], "|\tConfiguration keys / values")) << log[0];
    std::size_t next = 1;
    bool portListed = false;
    while (next < log.size() && log[next].rfind("Key ", 0) == 0) {
        portListed = portListed || log[next] == "Key ManagerPort, Value " + std::to_string(port);
        ++next;
    }
    EXPECT_TRUE(portListed);
    ASSERT_LT(next + 2, log.size());
    EXPECT_EQ("", log[next]);
    EXPECT_EQ(0u, log[next + 1].rfind("|INFO\t|", 0)) << log[next + 1];
    EXPECT_TRUE(endsWith(log[next + 1], "|\tStarting Quillmark Agent Manager service."))
        << log[next + 1];
    EXPECT_TRUE(endsWith(log[next + 2], "|\tQuillmark Agent Manager BuildTag: 100"))
        << log[next + 2];

    // The watch's first cycle starts the agent; once the start's shell has been reaped the
    // daemon counts the agent as started by it.
    ASSERT_TRUE(eventually([this] { return journal() == std::vector<std::string>{"start"}; }));
    ASSERT_TRUE(eventually([pid] { return childrenOf(pid).empty(); }));

    ASSERT_EQ(0, ::kill(pid, SIGPIPE));
    ASSERT_EQ(0, ::kill(pid, SIGHUP));
    EXPECT_NE("", request(port, "get_configuration\n"));
    EXPECT_FALSE(hasEnded(pid)) << "SIGPIPE or SIGHUP ended the daemon";

    ASSERT_EQ(0, ::kill(pid, SIGTERM));
    const std::optional<int> status = waitForExit(pid);
    ASSERT_TRUE(status.has_value());
    ASSERT_TRUE(WIFEXITED(*status)) << "wait status " << *status;
    EXPECT_EQ(255, WEXITSTATUS(*status));
    EXPECT_FALSE(qmtest::fileExists(files_.pid));
    EXPECT_EQ((std::vector<std::string>{"start", "stop"}), journal());
    EXPECT_NE(std::string::npos, contentsOrEmpty(files_.log).find("\tGot signal. Exiting ..."));
}

TEST_F(DaemonTest, ServesAndSavesTheConfigurationGivenByARelativePath) {
    const unsigned short port = freePort();
    ASSERT_NE(0, port);
    const std::string original = files_.text(port, DaemonFiles::prop("Hostname", "original-host"));
    qmtest::writeFile(files_.configuration, original);
    // Started from the temp directory with a relative path; the daemon itself works from "/".
    const pid_t pid = startDaemon(files_, dir_.path(), "quillmark_agentd.xml");
    ASSERT_GT(pid, 0);

    const std::string raw = request(port, "get_configuration\n");
    ASSERT_FALSE(raw.empty());
    EXPECT_EQ('\0', raw.back()) << "a raw reply ends with one zero byte";
    const std::string document = raw.substr(0, raw.size() - 1);
    EXPECT_NE(std::string::npos, document.find("<value>" + base64("original-host") + "</value>"))
        << document;
    EXPECT_NE(std::string::npos, document.find("<value>" + base64(files_.start) + "</value>"));
    EXPECT_EQ(std::string::npos, document.find("original-host"));
    EXPECT_EQ(qmtest::framedMessage(document),
              request(port, qmtest::framedMessage("get_configuration")));

    // The same settings with a changed host name, every value in Base64 as on the wire.
    const std::string changed = encodedDocument({{"ManagerPort", std::to_string(port)},
                                                 {"ManagerIp", "127.0.0.1"},
                                                 {"ManagerLogFile", files_.log},
                                                 {"ManagerDebugLevel", "5"},
                                                 {"ManagerPidFile", files_.pid},
                                                 {"ManagerInstallationRoot", files_.root},
                                                 {"AgentServiceStart", files_.start},
                                                 {"AgentServiceStop", files_.stop},
                                                 {"Hostname", "saved-host"}});
    EXPECT_EQ(qmtest::framedMessage("SUCCESS"),
              request(port, qmtest::framedMessage("save_configuration " + changed)));

    const std::string saved = contentsOrEmpty(files_.configuration);
    EXPECT_NE(std::string::npos, saved.find("<value>saved-host</value>")) << saved;
    EXPECT_NE(std::string::npos, saved.find("<value>" + files_.start + "</value>")) << saved;
    EXPECT_EQ(original, contentsOrEmpty(files_.configuration + ".bak"));
    EXPECT_NE(std::string::npos,
              request(port, "get_configuration\n").find("<value>" + base64("saved-host")));
}

TEST_F(DaemonTest, InstallsAnUpgradeDeliveredInChunks) {
    unsigned short port = 0;
    const pid_t pid = startOnFreePort(port);
    ASSERT_GT(pid, 0);

    const std::string marker = dir_.file("upgraded");
    const std::string archivePath = dir_.file("package.zip");
    ASSERT_TRUE(
        qmtest::ZipBuilder()
            .addFile("quillmark_upgrade.sh", "#!/bin/sh\necho upgraded > '" + marker + "'\n")
            .addFile("agent.bin", std::string(3000, '\0') + "payload,with)delimiters")
            .writeTo(archivePath));
    const std::string package = contentsOrEmpty(archivePath);
    ASSERT_GT(package.size(), 3u);

    const std::size_t third = package.size() / 3;
    const std::vector<std::string> bodies = {
        "upgrade_initial(" + std::string(kPackageName) + "," + package.substr(0, third) + ")",
        "upgrade_append(" + std::string(kPackageName) + "," + package.substr(third, third) + ")",
        "upgrade_append(" + std::string(kPackageName) + "," + package.substr(2 * third) + ")",
        "upgrade_final(" + std::string(kPackageName) + ")"};
    for (const std::string& body : bodies) {
        SCOPED_TRACE(body.substr(0, body.find('(')));
        EXPECT_EQ(qmtest::framedMessage("SUCCESS"), request(port, qmtest::framedMessage(body)));
    }

    EXPECT_EQ(package, contentsOrEmpty(files_.root + "/temp/" + kPackageName));
    EXPECT_EQ("upgraded\n", contentsOrEmpty(marker));
    EXPECT_FALSE(hasEnded(pid));
}

// The resident memory of `pid` in KiB (VmRSS); -1 when it cannot be read.
long residentKiB(pid_t pid) {
    std::istringstream status(contentsOrEmpty("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

TEST_F(DaemonTest, GivesALargeRequestsMemoryBackOnceServed) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer's allocator keeps freed memory in quarantine";
#endif
    unsigned short port = 0;
    const pid_t pid = startOnFreePort(port);
    ASSERT_GT(pid, 0);
    const std::string name = "(" + std::string(kPackageName) + ",";
    const std::string success = qmtest::framedMessage("SUCCESS");
    ASSERT_EQ(success, request(port, qmtest::framedMessage("upgrade_initial" + name + "a)")));
    const long idle = residentKiB(pid);
    ASSERT_GT(idle, 0);

    // Chunks of 1 MiB, whose memory the daemon may keep for the next one, and then a body of
    // 64 MiB, which it must not keep; the second round used to find the C library's thresholds
    // raised by the first and kept the large body's memory.
    const std::string chunk =
        qmtest::framedMessage("upgrade_append" + name + std::string(1 << 20, 'c') + ")");
    const std::string large =
        qmtest::framedMessage("upgrade_append" + name + std::string(64 << 20, 'l') + ")");
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 4; ++i) ASSERT_EQ(success, request(port, chunk));
        ASSERT_EQ(success, request(port, large));
    }
    long resident = 0;
    EXPECT_TRUE(eventually(
        [&] {
            resident = residentKiB(pid);
            return resident <= idle + 2048;
        },
        std::chrono::seconds(5)))
        << "resident " << resident << " KiB, " << idle << " KiB before the uploads";
    EXPECT_EQ(1u + 2u * (4u * (1u << 20) + (64u << 20)),
              contentsOrEmpty(files_.root + "/temp/" + kPackageName).size());
}

TEST_F(DaemonTest, UnloadableConfigurationFileIsReportedOnStandardError) {
    for (const std::string& path : {dir_.file("missing.xml"), dir_.path()}) {
        SCOPED_TRACE(path);
        const qmtest::ProcessResult result = launch(path);
        EXPECT_EQ(255, result.exitStatus);
        EXPECT_EQ(0, result.terminatingSignal);
        EXPECT_EQ("", result.standardOutput);

        const std::string prefix =
            "error in main: [0] \"Cannot access xml Configuration file\" raised from "
            "manager/main.cpp:";
        const std::string& error = result.standardError;
        ASSERT_EQ(0u, error.rfind(prefix, 0)) << error;
        ASSERT_TRUE(endsWith(error, ".\n\n")) << error;
        const std::string line = error.substr(prefix.size(), error.size() - prefix.size() - 3);
        EXPECT_FALSE(line.empty());
        for (char c : line) EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(c))) << error;
    }
}

TEST_F(DaemonTest, TakenPortEndsTheLauncherWith255) {
    qmtest::LoopbackServer occupant;
    ASSERT_NE(0, occupant.port());
    qmtest::writeFile(files_.configuration, files_.text(occupant.port()));

    const qmtest::ProcessResult launcher = launch(files_.configuration);
    EXPECT_EQ(255, launcher.exitStatus);
    EXPECT_EQ("", launcher.standardOutput);
    EXPECT_EQ("", launcher.standardError) << "reports go to the log once it is redirected";

    bool fatalLine = false;
    for (const std::string& line : linesOf(contentsOrEmpty(files_.log))) {
        fatalLine =
            fatalLine || (line.rfind("|FATAL\t|", 0) == 0 &&
                          line.find("|\tFailed to listen on port [" +
                                    std::to_string(occupant.port()) + "]. ") != std::string::npos);
    }
    EXPECT_TRUE(fatalLine) << contentsOrEmpty(files_.log);
    EXPECT_FALSE(qmtest::fileExists(files_.pid)) << "no daemon may start";
    EXPECT_TRUE(journal().empty());
}

TEST_F(DaemonTest, SecondInstanceOnTheLockedPidFileEnds) {
    const unsigned short firstPort = freePort();
    ASSERT_NE(0, firstPort);
    qmtest::writeFile(files_.configuration, files_.text(firstPort));
    const pid_t first = startDaemon(files_);
    ASSERT_GT(first, 0);

    DaemonFiles second(dir_, "-second");
    const unsigned short secondPort = freePort();
    ASSERT_NE(0, secondPort);
    qmtest::writeFile(second.configuration, second.text(secondPort));
    const qmtest::ProcessResult launcher = launch(second.configuration);
    EXPECT_EQ(0, launcher.exitStatus) << "the lock is tested after the forks";

    // The second daemon ends with 255; the first child of its launch ends with 0.
    pid_t secondDaemon = -1;
    ASSERT_TRUE(eventually([&] {
        reapExited();
        for (const auto& entry : exited_) {
            if (entry.first != first && WIFEXITED(entry.second) &&
                WEXITSTATUS(entry.second) == 255) {
                secondDaemon = entry.first;
            }
        }
        return secondDaemon > 0;
    })) << contentsOrEmpty(second.log);
    EXPECT_NE(std::string::npos,
              contentsOrEmpty(second.log)
                  .find("|\tFile [" + files_.pid +
                        "] exists and locked. Is this process already running ?"));

    EXPECT_FALSE(hasEnded(first));
    EXPECT_EQ(std::to_string(first), contentsOrEmpty(files_.pid));
    EXPECT_NE("", request(firstPort, "get_configuration\n"));
}

TEST_F(DaemonTest, StalePidFileIsReplaced) {
    const unsigned short port = freePort();
    ASSERT_NE(0, port);
    qmtest::writeFile(files_.configuration, files_.text(port));
    qmtest::writeFile(files_.pid, "4194999999 left over from an earlier run\n");

    const pid_t pid = startDaemon(files_);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(std::to_string(pid), contentsOrEmpty(files_.pid));

    ASSERT_EQ(0, ::kill(pid, SIGTERM));
    const std::optional<int> status = waitForExit(pid);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 255) << "wait status " << *status;
    EXPECT_FALSE(qmtest::fileExists(files_.pid));
}

// The fields of /proc/<pid>/stat after the command name: [0] is the state (field 3), [3] the
// session (field 6), [16] the nice value (field 19).
std::vector<std::string> statFields(pid_t pid) {
    const std::string stat = contentsOrEmpty("/proc/" + std::to_string(pid) + "/stat");
    std::vector<std::string> fields;
    const std::size_t nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos) return fields;
    std::istringstream rest(stat.substr(nameEnd + 1));
    for (std::string field; rest >> field;) fields.push_back(field);
    return fields;
}

// Whether some line of the log at `path` carries `message` at FATAL level.
bool hasFatalLine(const std::string& path, const std::string& message) {
    for (const std::string& line : linesOf(contentsOrEmpty(path))) {
        if (line.rfind("|FATAL\t|", 0) == 0 && endsWith(line, "|\t" + message)) return true;
    }
    return false;
}

TEST_F(DaemonTest, RunsFromTheRootInASessionItDoesNotLead) {
    const unsigned short port = freePort();
    ASSERT_NE(0, port);
    qmtest::writeFile(files_.configuration, files_.text(port));
    const pid_t pid = startDaemon(files_, dir_.path());
    ASSERT_GT(pid, 0);
    const std::string proc = "/proc/" + std::to_string(pid);

    char cwd[4096];
    const ssize_t length = ::readlink((proc + "/cwd").c_str(), cwd, sizeof cwd);
    ASSERT_GT(length, 0);
    EXPECT_EQ("/", std::string(cwd, static_cast<std::size_t>(length)));
    EXPECT_NE(std::string::npos, contentsOrEmpty(proc + "/status").find("\nUmask:\t0002\n"));
    const std::vector<std::string> fields = statFields(pid);
    ASSERT_GT(fields.size(), 16u);
    EXPECT_EQ("5", fields[16]) << "priority";
    EXPECT_NE(std::to_string(pid), fields[3]) << "a session leader could acquire a terminal";
}

TEST_F(DaemonTest, SigintAndSigquitStopItOnceAlsoWhileAStartRuns) {
    struct Case {
        const char* label;
        int signal;
        int secondSignal;  // sent right after the first, or 0
        bool duringStart;  // sent while the watch's first start command runs
    };
    const Case cases[] = {
        {"SIGINT", SIGINT, 0, false},
        {"SIGQUIT", SIGQUIT, 0, false},
        {"SIGINT during a start", SIGINT, 0, true},
        {"SIGQUIT during a start", SIGQUIT, 0, true},
        {"SIGINT and SIGQUIT at once", SIGINT, SIGQUIT, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        qmtest::TempDir caseDir;
        DaemonFiles files(caseDir);
        ASSERT_EQ(0, ::mkdir(files.root.c_str(), 0755));
        const std::string release = caseDir.file("release");
        // The start command records its beginning and end; in between it waits (20 s at most)
        // for the test to release it.
        qmtest::writeFile(files.start, "#!/bin/sh\necho begin >> '" + files.journal +
                                           "'\ni=0\nwhile [ ! -e '" + release +
                                           "' ] && [ $i -lt 1000 ]; do sleep 0.02; "
                                           "i=$((i+1)); done\necho start >> '" +
                                           files.journal + "'\n");
        qmtest::writeFile(files.stop, "#!/bin/sh\necho stop >> '" + files.journal + "'\n");
        ASSERT_EQ(0, ::chmod(files.start.c_str(), 0755));
        ASSERT_EQ(0, ::chmod(files.stop.c_str(), 0755));
        if (!c.duringStart) qmtest::writeFile(release, "");
        const auto journalIs = [&files](const std::vector<std::string>& lines) {
            return linesOf(contentsOrEmpty(files.journal)) == lines;
        };

        const unsigned short port = freePort();
        ASSERT_NE(0, port);
        qmtest::writeFile(files.configuration, files.text(port));
        const pid_t pid = startDaemon(files);
        ASSERT_GT(pid, 0);

        if (c.duringStart) {
            ASSERT_TRUE(eventually([&] { return journalIs({"begin"}); }));
        } else {
            ASSERT_TRUE(eventually([&] { return journalIs({"begin", "start"}); }));
            ASSERT_TRUE(eventually([pid] { return childrenOf(pid).empty(); }));
        }
        ASSERT_EQ(0, ::kill(pid, c.signal));
        if (c.secondSignal != 0) {
            ASSERT_EQ(0, ::kill(pid, c.secondSignal));
        }
        if (c.duringStart) {
            // The stop has begun and waits for the start, whose outcome decides.
            ASSERT_TRUE(eventually([&] {
                return contentsOrEmpty(files.log).find("\tGot signal. Exiting ...") !=
                       std::string::npos;
            }));
            EXPECT_FALSE(hasEnded(pid));
            EXPECT_TRUE(journalIs({"begin"}));
            qmtest::writeFile(release, "");
        }

        const std::optional<int> status = waitForExit(pid);
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 255) << "wait status " << *status;
        EXPECT_FALSE(qmtest::fileExists(files.pid));
        EXPECT_EQ((std::vector<std::string>{"begin", "start", "stop"}),
                  linesOf(contentsOrEmpty(files.journal)));
        EXPECT_EQ(1u, qmtest::occurrences(contentsOrEmpty(files.log), "\tGot signal. Exiting ..."));
    }
}

TEST_F(DaemonTest, RemovesItsOwnPidFileAfterASaveChangedTheSetting) {
    const unsigned short port = freePort();
    ASSERT_NE(0, port);
    qmtest::writeFile(files_.configuration, files_.text(port));
    const std::string decoy = dir_.file("decoy");
    qmtest::writeFile(decoy, "not the daemon's");
    const pid_t pid = startDaemon(files_);
    ASSERT_GT(pid, 0);

    const std::string saved = encodedDocument({{"ManagerPort", std::to_string(port)},
                                               {"ManagerIp", "127.0.0.1"},
                                               {"ManagerLogFile", files_.log},
                                               {"ManagerDebugLevel", "5"},
                                               {"ManagerPidFile", decoy},
                                               {"ManagerInstallationRoot", files_.root},
                                               {"AgentServiceStart", files_.start},
                                               {"AgentServiceStop", files_.stop}});
    ASSERT_EQ(qmtest::framedMessage("SUCCESS"),
              request(port, qmtest::framedMessage("save_configuration " + saved)));

    ASSERT_EQ(0, ::kill(pid, SIGTERM));
    const std::optional<int> status = waitForExit(pid);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 255) << "wait status " << *status;
    EXPECT_FALSE(qmtest::fileExists(files_.pid));
    EXPECT_EQ("not the daemon's", contentsOrEmpty(decoy));
}

TEST_F(DaemonTest, RelativeLogAndPidFilesStayInTheLaunchDirectory) {
    const unsigned short port = freePort();
    ASSERT_NE(0, port);
    // Relative to the directory the daemon is started from; every reply is logged at DEBUG
    // level, so a few replies of this configuration take the log past its 1 MiB.
    DaemonFiles relative = files_;
    relative.log = "managerd.log";
    relative.pid = "managerd.pid";
    qmtest::writeFile(files_.configuration,
                      relative.text(port, DaemonFiles::prop("Filler", std::string(400000, 'x'))));

    const qmtest::ProcessResult launcher = launch(files_.configuration, dir_.path());
    ASSERT_EQ(0, launcher.exitStatus) << launcher.standardError;
    const pid_t pid = waitForPidFile(dir_.file("managerd.pid"));
    ASSERT_GT(pid, 0);
    daemons_.push_back(pid);

    const std::string log = dir_.file("managerd.log");
    for (int i = 0; i < 4 && !qmtest::fileExists(log + ".old"); ++i) {
        EXPECT_NE("", request(port, "get_configuration\n"));
    }
    EXPECT_TRUE(qmtest::fileExists(log + ".old")) << "the log was not rotated";
    EXPECT_TRUE(qmtest::fileExists(log));
    EXPECT_LT(contentsOrEmpty(log).size(), contentsOrEmpty(log + ".old").size());

    ASSERT_EQ(0, ::kill(pid, SIGTERM));
    const std::optional<int> status = waitForExit(pid);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 255) << "wait status " << *status;
    EXPECT_FALSE(qmtest::fileExists(dir_.file("managerd.pid")));
    EXPECT_NE(std::string::npos, contentsOrEmpty(log).find("\tGot signal. Exiting ..."));
}

// The environment that preloads `library` into the daemon. A sanitizer runtime then no longer
// comes first in the library list, which it accepts only when told so.
std::vector<std::string> preloading(const std::string& library) {
    const char* inherited = std::getenv("ASAN_OPTIONS");
    return {"LD_PRELOAD=" + library,
            "ASAN_OPTIONS=" + std::string(inherited != nullptr ? inherited : "") +
                ":verify_asan_link_order=0"};
}

TEST_F(DaemonTest, AFailedForkEndsWith255) {
    for (const int failingFork : {1, 2}) {
        SCOPED_TRACE("fork " + std::to_string(failingFork) + " fails");
        qmtest::TempDir caseDir;
        DaemonFiles files(caseDir);
        const unsigned short port = freePort();
        ASSERT_NE(0, port);
        qmtest::writeFile(files.configuration, files.text(port));

        reapExited();
        const std::map<pid_t, int> before = exited_;
        // The preloaded library fails the chosen fork with EAGAIN, as a process limit does.
        std::vector<std::string> environment = preloading(QM_FAIL_FORK_LIBRARY);
        environment.push_back("QM_FAIL_FORK=" + std::to_string(failingFork));
        const qmtest::ProcessResult launcher = launch(files.configuration, "", environment);
        EXPECT_EQ("", launcher.standardOutput);
        EXPECT_EQ("", launcher.standardError);
        const std::string fatal =
            "Cannot fork the daemon process: " + std::string(strerror(EAGAIN));
        if (failingFork == 1) {
            EXPECT_EQ(255, launcher.exitStatus);
        } else {
            // The launcher's own fork worked; the first child, whose fork failed, ends with 255.
            EXPECT_EQ(0, launcher.exitStatus);
            EXPECT_TRUE(endsWith255Since(before));
        }
        EXPECT_TRUE(eventually([&] { return hasFatalLine(files.log, fatal); }))
            << contentsOrEmpty(files.log);
        EXPECT_NE(std::string::npos, contentsOrEmpty(files.log).find("error in main: "));
        EXPECT_FALSE(qmtest::fileExists(files.pid));
        EXPECT_FALSE(qmtest::fileExists(files.journal)) << "no daemon may run";
    }
}

TEST_F(DaemonTest, RefusesAPortSettingThatIsNotAPort) {
    for (const std::string port : {"abc", "0", "70000", "-8044", "8044x"}) {
        SCOPED_TRACE(port);
        DaemonFiles files(dir_, "-" + port);
        qmtest::writeFile(files.configuration, files.text(port));

        const qmtest::ProcessResult launcher = launch(files.configuration);
        EXPECT_EQ(255, launcher.exitStatus);
        EXPECT_EQ("", launcher.standardOutput);
        EXPECT_EQ("", launcher.standardError) << "reports go to the log once it is redirected";
        EXPECT_TRUE(hasFatalLine(
            files.log, "ManagerPort [" + port + "] is not a port number from 1 to 65535."))
            << contentsOrEmpty(files.log);
        EXPECT_NE(std::string::npos, contentsOrEmpty(files.log).find("error in main: "));
        EXPECT_FALSE(qmtest::fileExists(files.pid)) << "no daemon may start";
    }
    EXPECT_TRUE(journal().empty());
}

// The log's ERROR lines.
std::vector<std::string> errorLines(const std::string& log) {
    std::vector<std::string> errors;
    for (const std::string& line : linesOf(log)) {
        if (line.rfind("|ERROR\t|", 0) == 0) errors.push_back(line);
    }
    return errors;
}

pid_t DaemonTest::startWithQuickWatch(unsigned short& port) {
    port = freePort();
    EXPECT_NE(0, port);
    qmtest::writeFile(files_.configuration, files_.text(port));
    const pid_t pid = startDaemon(files_, "", "", preloading(QM_SHORT_SLEEP_PATH));
    EXPECT_TRUE(eventually([this] { return journal().size() >= 2; }))
        << "the watch does not cycle quickly; log:\n"
        << contentsOrEmpty(files_.log);
    return pid;
}

std::size_t DaemonTest::errorLinesWith(const std::string& part) const {
    std::size_t count = 0;
    for (const std::string& line : errorLines(contentsOrEmpty(files_.log))) {
        if (line.find(part) != std::string::npos) ++count;
    }
    return count;
}

TEST_F(DaemonTest, WatchOutlivesAMissingConfigurationFile) {
    unsigned short port = 0;
    const pid_t pid = startWithQuickWatch(port);
    ASSERT_GT(pid, 0);
    ASSERT_GE(journal().size(), 2u);

    const auto failedCycles = [&] {
        return errorLinesWith(
            "|\tAgentConfigRefresh caught exception: [0] \"Cannot stat() file\" raised from ");
    };
    // Moved away as an editor or a package manager may do while it replaces the file.
    const std::string away = files_.configuration + ".away";
    ASSERT_EQ(0, std::rename(files_.configuration.c_str(), away.c_str()));
    ASSERT_TRUE(eventually([&] { return failedCycles() >= 1; }));
    // Every command of an earlier cycle has ended by the first ERROR line; none runs after it.
    const std::size_t whileMissing = journal().size();
    ASSERT_TRUE(eventually([&] { return failedCycles() >= 2; }));
    EXPECT_EQ(whileMissing, journal().size());

    ASSERT_EQ(0, std::rename(away.c_str(), files_.configuration.c_str()));
    ASSERT_TRUE(eventually([&] { return journal().size() > whileMissing; }))
        << "the agent was not started again";
    // Back unchanged: starts only, no restart.
    for (const std::string& line : journal()) EXPECT_EQ("start", line);
    EXPECT_FALSE(hasEnded(pid));
}

TEST_F(DaemonTest, CleanStopLogsNoError) {
    unsigned short port = 0;
    const pid_t pid = startOnFreePort(port);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(eventually([this] { return journal() == std::vector<std::string>{"start"}; }));
    // One request served, and the Listener back waiting in accept when the signal comes.
    EXPECT_NE("", request(port, "get_configuration\n"));
    ASSERT_TRUE(eventually([pid] { return qmtest::someThreadInSystemCall(pid, SYS_accept4); }));

    ASSERT_EQ(0, ::kill(pid, SIGTERM));
    const std::optional<int> status = waitForExit(pid);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 255) << "wait status " << *status;
    const std::string log = contentsOrEmpty(files_.log);
    EXPECT_NE(std::string::npos, log.find("\tListener was canceled.\n")) << log;
    EXPECT_EQ(std::vector<std::string>{}, errorLines(log));
}

// A FIFO in place of the configuration file: the start reports it as a file that does not load,
// and never waits for a writer.
TEST_F(DaemonTest, AFifoGivenAsTheConfigurationIsReportedOnStandardError) {
    const qmtest::BoundedFifo fifo(dir_.file("fifo.xml"));
    const qmtest::ProcessResult result = launch(fifo.path());
    EXPECT_FALSE(result.timedOut);
    EXPECT_FALSE(fifo.releasedAWaitingReader()) << "the start waited for a writer";
    EXPECT_EQ(255, result.exitStatus);
    EXPECT_EQ("", result.standardOutput);
    EXPECT_EQ(0u, result.standardError.rfind(
                      "error in main: [0] \"Cannot access xml Configuration file\" raised from "
                      "manager/main.cpp:",
                      0))
        << result.standardError;
    EXPECT_FALSE(qmtest::fileExists(files_.pid));
}

// A FIFO put where the configuration file was, while the daemon runs: get_configuration answers
// its load failure at once, the watch logs each failed cycle and goes on, and both work again
// once the file is back.
TEST_F(DaemonTest, AFifoInPlaceOfTheConfigurationBlocksNeitherTheListenerNorTheWatch) {
    unsigned short port = 0;
    const pid_t pid = startWithQuickWatch(port);
    ASSERT_GT(pid, 0);
    ASSERT_GE(journal().size(), 2u);

    const auto failedCycles = [&] {
        return errorLinesWith(
            "|\tAgentConfigRefresh caught exception: [0] \"Failed to open file.\" raised from ");
    };
    const std::string away = files_.configuration + ".away";
    ASSERT_EQ(0, std::rename(files_.configuration.c_str(), away.c_str()));
    {
        const qmtest::BoundedFifo fifo(files_.configuration);
        EXPECT_EQ("FAILURE! Unable to load the following xml configuration file: " +
                      files_.configuration + std::string(1, '\0'),
                  request(port, "get_configuration\n"));
        ASSERT_TRUE(eventually([&] { return failedCycles() >= 2; })) << contentsOrEmpty(files_.log);
        const std::size_t whileFifo = journal().size();
        EXPECT_FALSE(fifo.releasedAWaitingReader()) << "the daemon waited for a writer";

        ASSERT_EQ(0, std::rename(away.c_str(), files_.configuration.c_str()));
        ASSERT_TRUE(eventually([&] { return journal().size() > whileFifo; }))
            << "the agent was not started again";
        EXPECT_NE(std::string::npos,
                  request(port, "get_configuration\n").find("<quillmark_agentd_config>"));
    }
    EXPECT_FALSE(hasEnded(pid));
}

// What descriptor `fd` of process `pid` names, as /proc shows it (" (deleted)" follows the path of
// a removed file); empty when it cannot be read.
std::string descriptorTarget(pid_t pid, int fd) {
    char target[4096];
    const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

// The inode of the file at `path`, or 0 while there is none.
ino_t inodeOf(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// Appends `text` to `path` through a descriptor of its own, as another writer of a log does.
bool appendTo(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return false;
    const ssize_t written = ::write(fd, text.data(), text.size());
    ::close(fd);
    return written == static_cast<ssize_t>(text.size());
}

TEST_F(DaemonTest, UpgradeScriptOutputReachesTheCurrentLogAfterTwoRotations) {
    unsigned short port = 0;
    const pid_t pid = startOnFreePort(port, withLargeSetting());
    ASSERT_GT(pid, 0);
    ASSERT_EQ(2, rotateLog(port, files_.log, 2));
    expectUpgradeScriptOutputIn(pid, port, files_.log);
}

TEST_F(DaemonTest, LoggingResumesAfterAReopenFoundNoFreeInode) {
    const std::string logs = dir_.file("logs");
    ASSERT_EQ(0, ::mkdir(logs.c_str(), 0755));
    const qmtest::ScopedMount mount = qmtest::ScopedMount::tmpfs(logs, 8 << 20, 16);
    if (!mount.mounted()) GTEST_SKIP() << mount.error();
    DaemonFiles files = files_;
    files.log = logs + "/managerd.log";
    const unsigned short port = freePort();
    ASSERT_NE(0, port);
    qmtest::writeFile(files.configuration, files.text(port));
    const pid_t pid = startDaemon(files);
    ASSERT_GT(pid, 0);

    // Every inode taken, then the log filled to its limit: the next line moves it aside and
    // finds no inode for the new file.
    std::vector<std::string> inodeFillers;
    bool full = false;
    while (!full && inodeFillers.size() < 64) {
        const std::string filler = logs + "/filler-" + std::to_string(inodeFillers.size());
        const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        full = fd < 0 && errno == ENOSPC;
        ASSERT_TRUE(fd >= 0 || full) << std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
            inodeFillers.push_back(filler);
        }
    }
    ASSERT_TRUE(full);
    ASSERT_TRUE(appendTo(files.log, std::string(1048576, 'f')));
    ASSERT_NE("", request(port, "get_configuration\n"));
    ASSERT_TRUE(qmtest::fileExists(files.log + ".old"));
    ASSERT_FALSE(qmtest::fileExists(files.log)) << "the new log found an inode";

    // Lines are lost while no file can be made; a line after an inode is free again reopens.
    ASSERT_EQ(0, ::unlink(inodeFillers.back().c_str()));
    const std::string response = "|\tQuillmark Agent Manager response: ";
    EXPECT_TRUE(eventually(
        [&] {
            EXPECT_NE("", request(port, "get_configuration\n"));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            return contentsOrEmpty(files.log).find(response) != std::string::npos;
        },
        std::chrono::seconds(10)))
        << "logging did not resume";
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        EXPECT_EQ(files.log, descriptorTarget(pid, fd)) << "descriptor " << fd;
    }

    ASSERT_EQ(0, ::kill(pid, SIGTERM));
    const std::optional<int> status = waitForExit(pid);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 255) << "wait status " << *status;
    EXPECT_NE(std::string::npos, contentsOrEmpty(files.log).find("\tGot signal. Exiting ..."));
}

TEST_F(DaemonTest, KeepsTheGenerationASecondInstanceMovedAside) {
    unsigned short port = 0;
    const pid_t pid = startOnFreePort(port);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(eventually([this] { return journal() == std::vector<std::string>{"start"}; }));

    // The log short of its limit by less than the second instance's start-up lines, with a line
    // to know this generation by.
    const std::string marker = "a line of the earlier generation\n";
    const std::size_t size = contentsOrEmpty(files_.log).size() + marker.size();
    ASSERT_LT(size, 1048576u - 100000u);
    ASSERT_TRUE(appendTo(files_.log, marker + std::string(1048576 - 100000 - size, 'g')));

    // On the same log and port: its configuration dump moves the log aside, the port ends it.
    DaemonFiles second(dir_, "-second");
    second.log = files_.log;
    qmtest::writeFile(second.configuration,
                      second.text(port, DaemonFiles::prop("Filler", std::string(200000, 'x'))));
    EXPECT_EQ(255, launch(second.configuration).exitStatus);
    ASSERT_NE(std::string::npos, contentsOrEmpty(files_.log + ".old").find(marker));

    // The running daemon's lines go on in the file the second instance started.
    for (int i = 0; i < 2; ++i) ASSERT_NE("", request(port, "get_configuration\n"));
    EXPECT_NE(std::string::npos, contentsOrEmpty(files_.log + ".old").find(marker))
        << "the earlier generation was replaced";
    const std::string log = contentsOrEmpty(files_.log);
    EXPECT_NE(std::string::npos,
              log.find("|\tFailed to listen on port [" + std::to_string(port) + "]. "));
    char daemonLine[64];
    std::snprintf(daemonLine, sizeof daemonLine, "|Thread[%6ld]|", static_cast<long>(pid));
    EXPECT_NE(std::string::npos, log.find(daemonLine)) << "no line of the running daemon";
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        EXPECT_EQ(files_.log, descriptorTarget(pid, fd)) << "descriptor " << fd;
    }
    EXPECT_FALSE(hasEnded(pid));
}

// Settings "Setting0" = "value 0" and on, as many as take `bytes` bytes in encodedDocument.
std::vector<std::pair<std::string, std::string>> ordinarySettings(std::size_t bytes) {
    std::vector<std::pair<std::string, std::string>> settings;
    for (std::size_t size = 0; size < bytes;) {
        settings.emplace_back("Setting" + std::to_string(settings.size()),
                              "value " + std::to_string(settings.size()));
        // The prop's line in encodedDocument.
        size += 42 + settings.back().first.size() + (settings.back().second.size() + 2) / 3 * 4;
    }
    return settings;
}

// The GeneralProperties of files_ with `extra` settings after them, as a client saves them.
std::string savedSettings(const DaemonFiles& files, unsigned short port,
                          const std::vector<std::pair<std::string, std::string>>& extra = {}) {
    std::vector<std::pair<std::string, std::string>> settings = {
        {"ManagerPort", std::to_string(port)}, {"ManagerIp", "127.0.0.1"},
        {"ManagerLogFile", files.log},         {"ManagerDebugLevel", "5"},
        {"ManagerPidFile", files.pid},         {"ManagerInstallationRoot", files.root},
        {"AgentServiceStart", files.start},    {"AgentServiceStop", files.stop}};
    settings.insert(settings.end(), extra.begin(), extra.end());
    return encodedDocument(settings);
}

// A save whose file the configuration watch could not digest (above 64 MiB) is refused, the
// body for its size before it is parsed, a small body for its indented file form; the
// configuration file stays as it was.
TEST_F(DaemonTest, RefusesASaveThatTheWatchCouldNotDigest) {
    unsigned short port = 0;
    const pid_t pid = startOnFreePort(port);
    ASSERT_GT(pid, 0);
    const std::string original = contentsOrEmpty(files_.configuration);

    const std::size_t limit = 67108864;
    const std::string large = "save_configuration " + savedSettings(files_, port) + "<!--" +
                              std::string(limit, '-') + "-->";
    std::string indented = "save_configuration <quillmark_agentd_config>";
    for (int level = 0; level < 90; ++level) indented += "<a>";
    for (int element = 0; element < 200000; ++element) indented += "<x/>";
    for (int level = 0; level < 90; ++level) indented += "</a>";
    indented += "</quillmark_agentd_config>";
    const std::pair<std::string, std::string> refusals[] = {
        {large, "FAILURE! The received xml payload is larger than 67108864 bytes."},
        {indented, "FAILURE! The configuration xml file would be larger than 67108864 bytes."},
    };
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.second);
        EXPECT_EQ(qmtest::framedMessage(refusal.second),
                  request(port, qmtest::framedMessage(refusal.first)));
        EXPECT_EQ(original, contentsOrEmpty(files_.configuration));
        EXPECT_EQ(original, contentsOrEmpty(files_.configuration + ".bak"));
        for (const std::string& name : qmtest::namesIn(dir_.path())) {
            EXPECT_EQ(std::string::npos, name.find(".tmp")) << name;
        }
    }
    EXPECT_EQ(
        qmtest::framedMessage("SUCCESS"),
        request(port, qmtest::framedMessage("save_configuration " + savedSettings(files_, port))));
    EXPECT_FALSE(hasEnded(pid));
}

// After a large save and a small one, which frees the large one's settings, the idle daemon
// is back within 2 MiB of its resident size before them.
TEST_F(DaemonTest, GivesALargeSavesMemoryBack) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer's allocator keeps freed memory in quarantine";
#endif
    unsigned short port = 0;
    const pid_t pid = startOnFreePort(port);
    ASSERT_GT(pid, 0);
    const std::string small =
        qmtest::framedMessage("save_configuration " + savedSettings(files_, port));
    const std::string success = qmtest::framedMessage("SUCCESS");
    ASSERT_EQ(success, request(port, small));
    const long idle = residentKiB(pid);
    ASSERT_GT(idle, 0);

    const std::vector<std::pair<std::string, std::string>> many = ordinarySettings(20u << 20);
    const std::string large =
        qmtest::framedMessage("save_configuration " + savedSettings(files_, port, many));
    ASSERT_GT(large.size(), 20u << 20);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(success, request(port, large));
        ASSERT_EQ(success, request(port, small));
        long resident = 0;
        EXPECT_TRUE(eventually(
            [&] {
                resident = residentKiB(pid);
                return resident <= idle + 2048;
            },
            std::chrono::seconds(5)))
            << "resident " << resident << " KiB, " << idle << " KiB before the large save";
    }
}

// A save first removes the temporary files that interrupted saves left beside the
// configuration and its backup, and keeps a file that a writer holds locked.
TEST_F(DaemonTest, ASaveRemovesTheTemporariesOfInterruptedSaves) {
    unsigned short port = 0;
    const pid_t pid = startOnFreePort(port);
    ASSERT_GT(pid, 0);
    const std::string ended =
        qmtest::runForked([] { return true; }, [] { return std::to_string(::getpid()); });
    ASSERT_NE("", ended);
    const std::string daemon = std::to_string(pid);
    const std::string name = ".quillmark_agentd.xml";
    const std::vector<std::string> stale = {
        name + ".tmp" + ended + ".0.17", name + ".bak.tmp" + ended + ".1.17",
        // An earlier process with the daemon's id, as a restarted container's often has.
        name + ".tmp" + daemon + ".2.17"};
    const std::string locked = name + ".tmp" + daemon + ".3.17";
    for (const std::string& file : stale) qmtest::writeFile(dir_.file(file), "partial");
    qmtest::writeFile(dir_.file(locked), "being written");
    const int writer = ::open(dir_.file(locked).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(0, ::flock(writer, LOCK_EX | LOCK_NB));

    EXPECT_EQ(
        qmtest::framedMessage("SUCCESS"),
        request(port, qmtest::framedMessage("save_configuration " + savedSettings(files_, port))));
    ::close(writer);
    for (const std::string& file : stale) EXPECT_FALSE(qmtest::fileExists(dir_.file(file))) << file;
    EXPECT_EQ("being written", contentsOrEmpty(dir_.file(locked)));
}

// The agent's start command (run by the watch) and the upgrade script (run by the Listener)
// start with no signal ignored and none blocked, although the daemon ignores SIGPIPE and SIGHUP:
// a writer into "head -n1" in the upgrade script ends, and so does the script.
TEST_F(DaemonTest, CommandsItRunsStartWithDefaultSignalsAndAnEmptyMask) {
    const std::string startReport = dir_.file("start-status");
    const std::string upgradeReport = dir_.file("upgrade-status");
    qmtest::writeFile(files_.start, "#!/bin/sh\ncat /proc/self/status > '" + startReport +
                                        ".part' && mv '" + startReport + ".part' '" + startReport +
                                        "'\n");
    unsigned short port = 0;
    const pid_t pid = startOnFreePort(port);
    ASSERT_GT(pid, 0);

    // The writer's complaints go nowhere: should it not end, it must not fill the log.
    ASSERT_TRUE(installScriptPackage(port,
                                     "#!/bin/sh\nwhile :; do echo y; done 2>/dev/null | head -n1\n"
                                     "cat /proc/self/status > '" +
                                         upgradeReport + "'\n"));
    ASSERT_TRUE(eventually([&] { return qmtest::fileExists(startReport); }));

    for (const std::string& report : {startReport, upgradeReport}) {
        SCOPED_TRACE(report);
        const std::string status = contentsOrEmpty(report);
        const qmtest::SignalSets sets = qmtest::signalSetsOf(status);
        EXPECT_EQ(0ULL, sets.ignored) << status;
        EXPECT_EQ(0ULL, sets.blocked) << status;
    }
    EXPECT_FALSE(hasEnded(pid));
}

// Raw upgrade lines are stored without their line end, and a raw line cut at 2048 bytes or a
// body without its closing ")" is refused with the package left as it was.
TEST_F(DaemonTest, StoresRawUpgradeChunksExactlyOrRefusesThem) {
    unsigned short port = 0;
    const pid_t pid = startOnFreePort(port);
    ASSERT_GT(pid, 0);
    const std::string name(kPackageName);
    const std::string package = files_.root + "/temp/" + name;
    std::string longAppend = "upgrade_append(" + name + ",";
    longAppend += std::string(3000 - 2 - longAppend.size(), 'x') + ")\n";
    ASSERT_EQ(3000u, longAppend.size());
    struct Case {
        const char* label;
        std::string request;
        std::string reply;
        std::string package;  // the package file's contents afterwards
    };
    const std::vector<Case> cases = {
        {"raw initial", "upgrade_initial(" + name + ",HELLO)\n", "SUCCESS", "HELLO"},
        {"raw append from a telnet-like client", "upgrade_append(" + name + ", WORLD)\r\n",
         "SUCCESS", "HELLO WORLD"},
        {"raw append of 3000 bytes", longAppend,
         "FAILURE! Upgrade request line has no line end within 2048 bytes.", "HELLO WORLD"},
        {"framed append without its closing parenthesis",
         qmtest::framedMessage("upgrade_append(" + name + ",!"),
         "FAILURE! Upgrade request does not end with ')'.", "HELLO WORLD"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const bool framed = c.request.compare(0, 4, "QMCP") == 0;
        EXPECT_EQ(framed ? qmtest::framedMessage(c.reply) : c.reply + std::string(1, '\0'),
                  request(port, c.request));
        EXPECT_EQ(c.package, contentsOrEmpty(package));
    }
    EXPECT_NE("", request(port, "get_configuration\n"));
    EXPECT_FALSE(hasEnded(pid));
}

// Saves onto a configuration file bind-mounted on its own, so that each one is written over the
// file in place, each killed with SIGKILL once that rewrite has begun (the file's ready name has
// appeared) and at a different point of it: every restart starts, having finished the rewrite,
// and serves the document whose save was killed, read from a whole file.
TEST_F(DaemonTest, EveryRestartAfterASaveInPlaceWasKilledLoadsAWholeDocument) {
    const unsigned short port = freePort();
    ASSERT_NE(0, port);
    const std::string mounted = dir_.file("mounted.xml");
    qmtest::writeFile(mounted, files_.text(port));
    qmtest::writeFile(files_.configuration, "");
    const qmtest::ScopedMount mount = qmtest::ScopedMount::bind(mounted, files_.configuration);
    if (!mount.mounted()) GTEST_SKIP() << mount.error();
    const std::string ready = dir_.file(".quillmark_agentd.xml.ready");
    pid_t pid = startDaemon(files_);
    ASSERT_GT(pid, 0);

    const int killDelaysMs[] = {0, 2, 5, 10};
    int round = 0;
    for (const int delay : killDelaysMs) {
        ++round;
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string generation = "generation-" + std::to_string(round);
        // A large comment makes the rewrite take long enough for the kill to land inside it;
        // its size and letter change from round to round, so that a cut file shows.
        const std::string filler =
            "<!--" + std::string((round % 2 == 0 ? 8 : 12) << 20, 'a' + round) + "-->";
        const std::string save = qmtest::framedMessage(
            "save_configuration " + savedSettings(files_, port, {{"Generation", generation}}) +
            filler);
        {
            qmtest::LoopbackClient client(port);
            ASSERT_TRUE(client.write(save));
            ASSERT_TRUE(
                eventually([&] { return qmtest::fileExists(ready); }, std::chrono::seconds(60)))
                << "the save was not written in place; log:\n"
                << contentsOrEmpty(files_.log).substr(0, 4096);
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            ASSERT_EQ(0, ::kill(pid, SIGKILL));
            ASSERT_TRUE(waitForExit(pid).has_value());
            const std::string reply = client.readUntilClose();
            EXPECT_TRUE(reply.empty() || reply == qmtest::framedMessage("SUCCESS")) << reply;
        }
        const bool interrupted = qmtest::fileExists(ready);
        ::unlink(files_.pid.c_str());

        pid = startDaemon(files_);
        ASSERT_GT(pid, 0);
        EXPECT_FALSE(qmtest::fileExists(ready));
        const std::string finished = "|\tFinished the interrupted rewrite of " +
                                     files_.configuration + " from " + ready + ".";
        EXPECT_EQ(interrupted, contentsOrEmpty(files_.log).find(finished) != std::string::npos);
        const std::string file = contentsOrEmpty(mounted);
        EXPECT_NE(std::string::npos, file.find("<value>" + generation + "</value>"));
        EXPECT_TRUE(endsWith(file, filler + "\n")) << "the file is cut";
        EXPECT_NE(std::string::npos,
                  request(port, "get_configuration\n").find("<value>" + base64(generation)));
    }
}

// What stands at the configuration's ready name and is not a ready file the daemon made (a
// symbolic link to another document, a FIFO), or does not hold a whole document, is refused at
// start-up and logged; the daemon starts on its own configuration file.
TEST_F(DaemonTest, StartsOnItsOwnConfigurationBesideAPlantedReadyFile) {
    const unsigned short port = freePort();
    ASSERT_NE(0, port);
    const std::string ready = dir_.file(".quillmark_agentd.xml.ready");
    const std::string planted = dir_.file("planted.xml");
    qmtest::writeFile(planted, files_.text(port, DaemonFiles::prop("Hostname", "planted")));
    ASSERT_EQ(0, ::chmod(planted.c_str(), 0600));
    struct Case {
        const char* label;
        std::function<int()> plant;
        const char* reason;
    };
    const Case cases[] = {
        {"a symbolic link", [&] { return ::symlink(planted.c_str(), ready.c_str()); },
         "it is a symbolic link"},
        {"a FIFO", [&] { return ::mkfifo(ready.c_str(), 0600); }, "it is not a regular file"},
        {"a cut document",
         [&] {
             qmtest::writeFile(ready, contentsOrEmpty(planted).substr(0, 100));
             return ::chmod(ready.c_str(), 0600);
         },
         "it does not load as an XML document"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        qmtest::writeFile(files_.configuration, files_.text(port));
        ASSERT_EQ(0, c.plant());

        const pid_t pid = startDaemon(files_);
        ASSERT_GT(pid, 0);
        EXPECT_EQ(std::string::npos, request(port, "get_configuration\n").find(base64("planted")));
        EXPECT_EQ(files_.text(port), contentsOrEmpty(files_.configuration));
        EXPECT_EQ(1u, errorLinesWith("|\tRefused " + ready + " as the ready file of " +
                                     files_.configuration + ": " + c.reason + "; "));

        ASSERT_EQ(0, ::kill(pid, SIGTERM));
        ASSERT_TRUE(waitForExit(pid).has_value());
        ASSERT_EQ(0, ::unlink(ready.c_str()));
        ::unlink(files_.log.c_str());
    }
}

// A start first finishes the rewrites in place of the configuration and of its backup that a
// kill left cut, each from its ready file, logs them, and serves the finished document.
TEST_F(DaemonTest, AStartFinishesTheInterruptedRewritesOfTheConfigurationAndItsBackup) {
    const unsigned short port = freePort();
    ASSERT_NE(0, port);
    const std::string document = files_.text(port, DaemonFiles::prop("Hostname", "finished"));
    const std::string backup = files_.configuration + ".bak";
    const std::string readyDocument = dir_.file(".quillmark_agentd.xml.ready");
    const std::string readyBackup = dir_.file(".quillmark_agentd.xml.bak.ready");
    qmtest::writeFile(files_.configuration, document.substr(0, document.size() / 2));
    qmtest::writeFile(readyDocument, document);
    qmtest::writeFile(backup, "the previous ");
    qmtest::writeFile(readyBackup, "the previous document");
    for (const std::string& ready : {readyDocument, readyBackup}) {
        ASSERT_EQ(0, ::chmod(ready.c_str(), 0600));
    }

    const pid_t pid = startDaemon(files_);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(document, contentsOrEmpty(files_.configuration));
    EXPECT_EQ("the previous document", contentsOrEmpty(backup));
    EXPECT_FALSE(qmtest::fileExists(readyDocument));
    EXPECT_FALSE(qmtest::fileExists(readyBackup));
    EXPECT_NE(std::string::npos, request(port, "get_configuration\n").find(base64("finished")));
    const std::string log = contentsOrEmpty(files_.log);
    for (const auto& rewrite : {std::make_pair(files_.configuration, readyDocument),
                                std::make_pair(backup, readyBackup)}) {
        EXPECT_NE(std::string::npos, log.find("|\tFinished the interrupted rewrite of " +
                                              rewrite.first + " from " + rewrite.second + "."))
            << log;
    }
}

// A configuration cut short whose ready file is refused does not load: the refusal is reported
// on standard error before the start's own failure.
TEST_F(DaemonTest, ARefusedReadyFileIsReportedWhenTheConfigurationDoesNotLoad) {
    const std::string document = files_.text(freePort());
    const std::string ready = dir_.file(".quillmark_agentd.xml.ready");
    qmtest::writeFile(files_.configuration, document.substr(0, document.size() / 2));
    qmtest::writeFile(dir_.file("planted.xml"), document);
    ASSERT_EQ(0, ::symlink(dir_.file("planted.xml").c_str(), ready.c_str()));

    const qmtest::ProcessResult result = launch(files_.configuration);
    EXPECT_EQ(255, result.exitStatus);
    EXPECT_EQ(0u, result.standardError.rfind(
                      "Refused " + ready + " as the ready file of " + files_.configuration +
                          ": it is a symbolic link; " + files_.configuration +
                          " is left as it is.\nerror in main: [0] \"Cannot access xml "
                          "Configuration file\"",
                      0))
        << result.standardError;
    EXPECT_FALSE(qmtest::fileExists(files_.pid));
}

// ---- The log and the daemon's start and stop ----

int DaemonTest::rotateLog(unsigned short port, const std::string& log, int rotations) {
    int done = 0;
    ino_t current = inodeOf(log);
    for (int i = 0; i < 12 && done < rotations; ++i) {
        if (request(port, "get_configuration\n").empty()) break;
        const ino_t now = inodeOf(log);
        if (now != 0 && now != current) {
            ++done;
            current = now;
        }
    }
    return done;
}

void DaemonTest::expectUpgradeScriptOutputIn(pid_t pid, unsigned short port,
                                             const std::string& log) {
    ASSERT_TRUE(installScriptPackage(port,
                                     "#!/bin/sh\necho printed-by-the-upgrade\n"
                                     "echo reported-by-the-upgrade >&2\n"));
    const std::string text = contentsOrEmpty(log);
    EXPECT_NE(std::string::npos, text.find("\nprinted-by-the-upgrade\n"));
    EXPECT_NE(std::string::npos, text.find("\nreported-by-the-upgrade\n"));
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        EXPECT_EQ(log, descriptorTarget(pid, fd)) << "descriptor " << fd;
    }
}

// A FIFO put at the log path while the daemon runs: the rotation that finds it neither waits in
// the open nor writes there, requests are answered and a stop signal ends the daemon.
TEST_F(DaemonTest, AFifoAtTheLogPathStopsNeitherRequestsNorTheStop) {
    unsigned short port = 0;
    const pid_t pid = startOnFreePort(port, withLargeSetting());
    ASSERT_GT(pid, 0);
    const std::string moved = files_.log + ".moved";
    ASSERT_EQ(0, std::rename(files_.log.c_str(), moved.c_str()));
    const qmtest::BoundedFifo fifo(files_.log, std::chrono::seconds(5), qmtest::FifoSide::kWriting);

    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_NE("", request(port, "get_configuration\n"));
    }
    EXPECT_GT(contentsOrEmpty(moved).size(), 1048576u) << "no rotation met the FIFO";
    EXPECT_FALSE(qmtest::fileExists(files_.log + ".old"));

    ASSERT_EQ(0, ::kill(pid, SIGTERM));
    const std::optional<int> status = waitForExit(pid);
    ASSERT_TRUE(status.has_value()) << "the stop waited";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 255) << "wait status " << *status;
    EXPECT_FALSE(qmtest::fileExists(files_.pid));
    EXPECT_FALSE(fifo.releasedAWaitingWriter()) << "the log was opened on the FIFO";
}

// A FIFO at the log path at start: the launcher returns, the daemon serves with its output on
// the null device, and logs once a file takes the FIFO's place.
TEST_F(DaemonTest, AFifoAtTheLogPathAtStartLetsTheLauncherReturn) {
    const unsigned short port = freePort();
    ASSERT_NE(0, port);
    qmtest::writeFile(files_.configuration, files_.text(port));
    qmtest::SpecialFile fifo(files_.log, qmtest::SpecialFile::kFifoWithoutReader);
    const pid_t pid = startDaemon(files_);
    ASSERT_GT(pid, 0);
    EXPECT_NE("", request(port, "get_configuration\n"));
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        EXPECT_EQ("/dev/null", descriptorTarget(pid, fd)) << "descriptor " << fd;
    }
    EXPECT_FALSE(fifo.wasWrittenTo());

    ASSERT_TRUE(fifo.remove());
    EXPECT_TRUE(eventually(
        [&] {
            EXPECT_NE("", request(port, "get_configuration\n"));
            return contentsOrEmpty(files_.log).find("|\tQuillmark Agent Manager response: ") !=
                   std::string::npos;
        },
        std::chrono::seconds(10)))
        << "logging did not resume";
    EXPECT_FALSE(hasEnded(pid));
}

// With a directory at ".old" every rotation fails: it is reported with its reason, and the log
// starts over past twice its limit instead of growing without bound.
TEST_F(DaemonTest, ADirectoryAtTheOldLogKeepsTheLogWithinTwiceItsLimit) {
    ASSERT_EQ(0, ::mkdir((files_.log + ".old").c_str(), 0755));
    qmtest::writeFile(files_.log + ".old/keep", "k");
    unsigned short port = 0;
    const pid_t pid = startOnFreePort(port, withLargeSetting());
    ASSERT_GT(pid, 0);

    const std::string reason = " [" + std::string(std::strerror(EISDIR)) + "]";
    bool reported = false;
    int startOvers = 0;
    std::size_t previous = 0;
    for (int i = 0; i < 12; ++i) {
        SCOPED_TRACE(i);
        ASSERT_NE("", request(port, "get_configuration\n"));
        const std::string log = contentsOrEmpty(files_.log);
        EXPECT_LE(log.size(), 2u * 1048576u);
        reported = reported || log.find("|\tCannot rotate log file [" + files_.log + "] to [" +
                                        files_.log + ".old]" + reason + "\n") != std::string::npos;
        if (log.size() < previous) {
            ++startOvers;
            EXPECT_EQ(0u, log.rfind("|ERROR\t|", 0)) << log.substr(0, 200);
            EXPECT_NE(std::string::npos,
                      log.substr(0, log.find('\n'))
                          .find("|\tLog file [" + files_.log +
                                "] started over: it passed twice its limit of 1048576 bytes "
                                "and cannot be rotated" +
                                reason));
        }
        previous = log.size();
    }
    EXPECT_TRUE(reported);
    EXPECT_GE(startOvers, 2);
    EXPECT_EQ("k", contentsOrEmpty(files_.log + ".old/keep"));
    EXPECT_FALSE(hasEnded(pid));
}

// Started with standard descriptors closed, the daemon keeps logging after its configuration
// dump, and the commands it runs have the log as their output.
TEST_F(DaemonTest, StartedWithStandardDescriptorsClosedItStillLogs) {
    const char* closings[] = {"<&-", ">&- 2>&-", "<&- >&- 2>&-"};
    for (const std::string closing : closings) {
        SCOPED_TRACE(closing);
        DaemonFiles files(dir_, "-" + std::to_string(daemons_.size()));
        const unsigned short port = freePort();
        ASSERT_NE(0, port);
        qmtest::writeFile(files.configuration, files.text(port, withLargeSetting()));
        qmtest::ProcessOptions options;
        options.timeout = std::chrono::milliseconds(20000);
        const qmtest::ProcessResult launcher = qmtest::runProcess(
            {"/bin/sh", "-c", "exec \"$0\" -c \"$1\" " + closing, kDaemonPath, files.configuration},
            options);
        ASSERT_EQ(0, launcher.exitStatus) << launcher.standardError;
        const pid_t pid = waitForPidFile(files.pid);
        ASSERT_GT(pid, 0);
        daemons_.push_back(pid);

        EXPECT_EQ(1, rotateLog(port, files.log, 1)) << "the log stopped growing";
        expectUpgradeScriptOutputIn(pid, port, files.log);
        EXPECT_EQ("/dev/null", descriptorTarget(pid, STDIN_FILENO));

        ASSERT_EQ(0, ::kill(pid, SIGTERM));
        const std::optional<int> status = waitForExit(pid);
        ASSERT_TRUE(status.has_value());
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 255) << "wait status " << *status;
        EXPECT_NE(std::string::npos, contentsOrEmpty(files.log).find("\tGot signal. Exiting ..."));
    }
}

// A second daemon's configuration in `dir` on a port that was free, with files_'s PID file.
DaemonFiles secondInstance(const qmtest::TempDir& dir, unsigned short& port) {
    DaemonFiles second(dir, "-second");
    port = freePort();
    EXPECT_NE(0, port);
    qmtest::writeFile(second.configuration, second.text(port));
    return second;
}

// The environment that makes the daemon lock and unlink its PID file `holdMs` late each.
std::vector<std::string> slowPidFile(const DaemonFiles& files, int holdMs) {
    std::vector<std::string> environment = preloading(QM_SLOW_PID_FILE_LIBRARY);
    environment.push_back("QM_SLOW_PID_FILE=" + files.pid);
    environment.push_back("QM_SLOW_PID_FILE_MS=" + std::to_string(holdMs));
    return environment;
}

// Whether the daemon `pid` holds a write lock over the whole file at `path`.
bool holdsTheLock(pid_t pid, const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    const bool held = ::fcntl(fd, F_GETLK, &lock) == 0 && lock.l_type == F_WRLCK &&
                      lock.l_pid == pid && lock.l_start == 0 && lock.l_len == 0;
    ::close(fd);
    return held;
}

// A process reparented to this one (a daemon) other than `except` that has `path` open; -1
// while there is none.
pid_t processWithOpen(const std::string& path, pid_t except) {
    for (const pid_t child : childrenOf(::getpid())) {
        if (child == except) continue;
        for (int fd = 0; fd < 64; ++fd) {
            if (descriptorTarget(child, fd) == path) return child;
        }
    }
    return -1;
}

// A daemon stopping while a second one starts on the same PID file: the stopping one removes
// the file while it still holds its lock, so the second either meets the lock or makes a file of
// its own that stays; at the end one daemon runs and the PID file names it.
TEST_F(DaemonTest, AStoppingDaemonRemovesItsPidFileBeforeLettingItGo) {
    const unsigned short firstPort = freePort();
    ASSERT_NE(0, firstPort);
    qmtest::writeFile(files_.configuration, files_.text(firstPort));
    // Its stop waits before the unlink, long enough for the second start to reach the file.
    const pid_t first = startDaemon(files_, "", "", slowPidFile(files_, 2000));
    ASSERT_GT(first, 0);
    unsigned short secondPort = 0;
    const DaemonFiles second = secondInstance(dir_, secondPort);

    ASSERT_EQ(0, ::kill(first, SIGTERM));
    ASSERT_TRUE(eventually([&] {
        return contentsOrEmpty(files_.log)
                   .find("\tQuillmark Agent Manager service thread was canceled.\n") !=
               std::string::npos;
    }));
    EXPECT_EQ(0, launch(second.configuration).exitStatus);
    ASSERT_TRUE(eventually([&] {
        return contentsOrEmpty(second.log).find("\tCreating pid file:") != std::string::npos &&
               (hasEnded(first) ||
                contentsOrEmpty(second.log).find("exists and locked") != std::string::npos);
    }));
    const std::optional<int> status = waitForExit(first);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 255) << "wait status " << *status;

    // Refused while the first held the file, the second starts now.
    if (contentsOrEmpty(second.log).find("exists and locked") != std::string::npos) {
        EXPECT_EQ("", contentsOrEmpty(files_.pid)) << "the stopped daemon left its PID file";
        ASSERT_GT(startDaemon(second), 0);
    }
    const pid_t running = waitForPidFile(files_.pid);
    ASSERT_GT(running, 0) << "the second daemon runs without a PID file";
    EXPECT_NE(first, running);
    EXPECT_FALSE(hasEnded(running));
    EXPECT_TRUE(holdsTheLock(running, files_.pid));
    EXPECT_NE("", request(secondPort, "get_configuration\n"));
    if (std::find(daemons_.begin(), daemons_.end(), running) == daemons_.end()) {
        daemons_.push_back(running);
    }
}

// A daemon that opened the PID file of a daemon that then stopped and removed it: the lock it
// takes afterwards guards an unlinked file, so it makes a new file at the path and locks that.
TEST_F(DaemonTest, AStartingDaemonLocksTheFileThatThePathNames) {
    unsigned short firstPort = 0;
    const pid_t first = startOnFreePort(firstPort);
    ASSERT_GT(first, 0);
    unsigned short secondPort = 0;
    const DaemonFiles second = secondInstance(dir_, secondPort);

    // The second holds back each lock it takes on the file, the first while it has it open.
    EXPECT_EQ(0, launch(second.configuration, "", slowPidFile(second, 1500)).exitStatus);
    pid_t starting = -1;
    ASSERT_TRUE(eventually([&] {
        starting = processWithOpen(files_.pid, first);
        return starting > 0;
    })) << contentsOrEmpty(second.log);
    daemons_.push_back(starting);

    ASSERT_EQ(0, ::kill(first, SIGTERM));
    const std::optional<int> status = waitForExit(first);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 255) << "wait status " << *status;

    EXPECT_EQ(starting, waitForPidFile(files_.pid)) << contentsOrEmpty(second.log);
    EXPECT_TRUE(holdsTheLock(starting, files_.pid));
    EXPECT_FALSE(hasEnded(starting));
    EXPECT_NE("", request(secondPort, "get_configuration\n"));
}

// Something other than a file at the PID path: the daemon neither waits on it nor writes there,
// and ends with 255 after saying why.
TEST_F(DaemonTest, APidPathThatNamesNoFileEndsTheDaemon) {
    for (const qmtest::SpecialFile::Kind kind : qmtest::SpecialFile::kinds()) {
        SCOPED_TRACE(qmtest::SpecialFile::name(kind));
        qmtest::TempDir caseDir;
        DaemonFiles files(caseDir);
        ASSERT_EQ(0, ::mkdir(files.root.c_str(), 0755));
        const unsigned short port = freePort();
        ASSERT_NE(0, port);
        qmtest::writeFile(files.configuration, files.text(port));
        qmtest::SpecialFile special(files.pid, kind);

        reapExited();
        const std::map<pid_t, int> before = exited_;
        EXPECT_EQ(0, launch(files.configuration).exitStatus);
        EXPECT_TRUE(endsWith255Since(before)) << contentsOrEmpty(files.log);
        EXPECT_TRUE(hasFatalLine(files.log,
                                 "Cannot open PID file [" + files.pid + "] [not a regular file]"))
            << contentsOrEmpty(files.log);
        EXPECT_FALSE(special.wasWrittenTo());
    }
}

// The bounds of a received document, before TinyXML parses it.

const char kParseFailure[] = "FAILURE! Unable to parse the received xml payload.";

// The highest resident memory of `pid` in KiB (VmHWM) since it started or since the last
// resetPeakResident; -1 when it cannot be read.
long peakResidentKiB(pid_t pid) {
    std::istringstream status(contentsOrEmpty("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

// Starts the peak of peakResidentKiB afresh at the current resident memory.
bool resetPeakResident(pid_t pid) {
    std::ofstream clear("/proc/" + std::to_string(pid) + "/clear_refs");
    clear << "5";
    clear.close();
    return static_cast<bool>(clear);
}

// A character reference that TinyXML reads up to the next ";", wherever it stands, hid a comment
// or CDATA start from the nesting bound: behind it, 60,000 nested elements overflowed the
// Listener's stack and ended the daemon. Both are refused; the daemon serves on, unchanged.
TEST_F(DaemonTest, RefusesNestingHiddenBehindACharacterReference) {
    unsigned short port = 0;
    const pid_t pid = startOnFreePort(port);
    ASSERT_GT(pid, 0);
    const std::string original = contentsOrEmpty(files_.configuration);
    std::string levels;
    for (int level = 0; level < 60000; ++level) levels += "<a>";
    const std::string start = "save_configuration <quillmark_agentd_config><GeneralProperties>";
    for (const std::string& body :
         {start + "&#x<!--x41;" + levels + "-->", start + "&#x<![CDATA[x41;" + levels + "]]>"}) {
        SCOPED_TRACE(body.substr(start.size(), 16));
        EXPECT_EQ(qmtest::framedMessage(kParseFailure), request(port, qmtest::framedMessage(body)));
        EXPECT_EQ(original, contentsOrEmpty(files_.configuration));
        EXPECT_NE(std::string::npos, request(port, "get_configuration\n").find("<value>"));
    }
    EXPECT_FALSE(hasEnded(pid));
}

// TinyXML spends some 230 bytes on each "<a/>": 64 MiB of them took 3.7 GB before the save was
// refused. Now they are refused before they are parsed, with no more memory than the body's.
TEST_F(DaemonTest, RefusesADocumentOfSmallNodesBeforeItsMemoryGrows) {
    unsigned short port = 0;
    const pid_t pid = startOnFreePort(port);
    ASSERT_GT(pid, 0);
    const std::string original = contentsOrEmpty(files_.configuration);
    const std::string start = "save_configuration <quillmark_agentd_config>";
    const std::string end = "</quillmark_agentd_config>";
    std::string body = start;
    body.reserve(67108864);
    while (body.size() + 4 + end.size() <= 67108864) body += "<a/>";
    body += end;
    const std::string message = qmtest::framedMessage(body);
    body.clear();
    body.shrink_to_fit();

    const long before = residentKiB(pid);
    ASSERT_TRUE(resetPeakResident(pid));
    EXPECT_EQ(qmtest::framedMessage("FAILURE! The received xml payload would take more than "
                                    "671088640 bytes of memory to parse."),
              request(port, message));
    const long peak = peakResidentKiB(pid);
    EXPECT_LT(peak - before, 128 * 1024) << "KiB above the resident memory before the save";
    EXPECT_EQ(original, contentsOrEmpty(files_.configuration));
    EXPECT_NE(std::string::npos, request(port, "get_configuration\n").find("<value>"));
    EXPECT_FALSE(hasEnded(pid));
}

// The bound still lets a configuration of 40 MiB of ordinary settings (some 500,000 props) be
// saved, and the save raises the resident memory by less than 1 GiB.
TEST_F(DaemonTest, SavesFortyMebibytesOfOrdinarySettingsWithinAGibibyte) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer's allocator takes several times the memory of the parse";
#endif
    unsigned short port = 0;
    const pid_t pid = startOnFreePort(port);
    ASSERT_GT(pid, 0);
    const std::vector<std::pair<std::string, std::string>> many = ordinarySettings(40u << 20);
    const std::string message =
        qmtest::framedMessage("save_configuration " + savedSettings(files_, port, many));
    ASSERT_GT(message.size(), 40u << 20);

    const long before = residentKiB(pid);
    ASSERT_TRUE(resetPeakResident(pid));
    EXPECT_EQ(qmtest::framedMessage("SUCCESS"), request(port, message));
    const long peak = peakResidentKiB(pid);
    EXPECT_LT(peak - before, 1024 * 1024) << "KiB above the resident memory before the save";
    EXPECT_NE(std::string::npos, contentsOrEmpty(files_.configuration)
                                     .find("<key>Setting" + std::to_string(many.size() - 1)));
    EXPECT_FALSE(hasEnded(pid));
}

}  // namespace
