#include "quillmark/LinuxDataRetriever.h"

#include "quillmark/ConfigurationFileAccess.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace quillmark;
using qmtest::writeFile;

using qmtest::Owned;

namespace {

class LinuxDataRetrieverTest : public ::testing::Test {
protected:
    LinuxDataRetrieverTest()
        : configuration_("/nonexistent/quillmark_agentd.xml", false),
          retriever_(createDataRetriever(&configuration_)) {}

    qmtest::TempDir dir_;
    ConfigurationFileAccess configuration_;
    std::unique_ptr<DataRetriever> retriever_;
};

std::uint64_t pageSize() { return static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)); }

// The value of a "/proc/meminfo"-style "Key:   123 kB" line, in kB; -1 when missing.
long long procValue(const std::string& path, const std::string& key) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 1, key + ":") == 0) {
            return std::stoll(line.substr(key.size() + 1));
        }
    }
    return -1;
}

double procUptime() {
    std::ifstream in("/proc/uptime");
    double seconds = -1;
    in >> seconds;
    return seconds;
}

// ---- Processors ----

TEST_F(LinuxDataRetrieverTest, ReadCpusNumbersProcessorsAndTakesTheirModels) {
    const std::string longModel(3000, 'M');
    writeFile(dir_.file("cpuinfo"),
              "model name\t: before the first processor\n"
              "processor\t: 0\n"
              "vendor_id\t: GenuineTest\n"
              "model name\t:   Common KVM processor  \n"
              "flags\t\t: " +
                  std::string(5000, 'f') +
                  "\n"
                  "\n"
                  "processor\t: 1\n"
                  "model name without colon\n"
                  "\n"
                  "processor\t: 2\n"
                  "model name\t: " +
                  longModel +
                  "\n"
                  "processor\t: 3\n"
                  "model name\t: Last");
    Owned<CpuInfo> cpus;
    cpus.items.push_back(new CpuInfo);
    cpus.items[0]->name = "already there";

    ASSERT_TRUE(LinuxDataRetriever::readCpus(dir_.file("cpuinfo"), cpus.items));

    ASSERT_EQ(5u, cpus.items.size());
    EXPECT_EQ("already there", cpus.items[0]->name);
    const char* const models[] = {"Common KVM processor", "", longModel.c_str(), "Last"};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE("processor " + std::to_string(i));
        const CpuInfo& cpu = *cpus.items[i + 1];
        EXPECT_EQ("CPU " + std::to_string(i + 1), cpu.name);
        EXPECT_EQ(i, cpu.index);
        EXPECT_EQ(models[i], cpu.model);
        EXPECT_EQ("", cpu.extra);
        EXPECT_EQ("", cpu.extra2);
    }
}

TEST_F(LinuxDataRetrieverTest, ReadCpusOfAMissingFileFailsWithAWarning) {
    qmtest::LogCapture log;
    Owned<CpuInfo> cpus;
    EXPECT_FALSE(LinuxDataRetriever::readCpus(dir_.file("missing"), cpus.items));
    EXPECT_TRUE(cpus.items.empty());
    const std::string text = log.text();
    EXPECT_NE(std::string::npos,
              text.find("Cannot open [" + dir_.file("missing") +
                        "] to determine information about the CPUs[No such file or directory]"))
        << text;
    EXPECT_NE(std::string::npos, text.find("unix/LinuxDataRetriever")) << text;
}

TEST_F(LinuxDataRetrieverTest, GetCpusListsEveryProcessorOfThisHost) {
    std::ifstream in("/proc/cpuinfo");
    std::vector<std::string> models;
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 9, "processor") == 0) {
            models.push_back("");
        } else if (line.compare(0, 10, "model name") == 0 && !models.empty()) {
            std::string model = line.substr(line.find(':') + 1);
            model.erase(0, model.find_first_not_of(' '));
            model.erase(model.find_last_not_of(' ') + 1);
            models.back() = model;
        }
    }
    Owned<CpuInfo> cpus;
    ASSERT_TRUE(retriever_->getCpus(cpus.items));
    ASSERT_EQ(models.size(), cpus.items.size());
    EXPECT_EQ(static_cast<long>(models.size()), sysconf(_SC_NPROCESSORS_CONF));
    for (std::size_t i = 0; i < models.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(static_cast<std::int32_t>(i), cpus.items[i]->index);
        EXPECT_EQ(models[i], cpus.items[i]->model);
    }
}

// ---- Memory ----

TEST_F(LinuxDataRetrieverTest, MemoryIsOneRamRecordAppended) {
    Owned<MemoryInfo> memories;
    memories.items.push_back(new MemoryInfo);
    ASSERT_TRUE(retriever_->getMemories(memories.items));
    ASSERT_EQ(2u, memories.items.size());
    const MemoryInfo& memory = *memories.items[1];
    EXPECT_EQ("Memory 1", memory.name);
    EXPECT_EQ("Memory 1", memory.description);
    EXPECT_EQ("RAM", memory.type);
    EXPECT_EQ("", memory.extra);
    EXPECT_EQ("", memory.extra2);
}

TEST_F(LinuxDataRetrieverTest, ReadProcessMemoryCountsResidentPagesIn64Bits) {
    struct Case {
        const char* name;
        const char* contents;
        std::uint64_t bytes;
    };
    const Case cases[] = {
        {"typical", "100 25 10 1 0 50 0\n", 25 * pageSize()},
        {"more pages than 32 bits count", "6000000000 5000000000 0\n", 5000000000ULL * pageSize()},
        {"tab separated", "7\t3\n", 3 * pageSize()},
        {"empty file", "", 0},
        {"only one number", "100\n", 0},
        {"not numbers", "abc def\n", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir_.file("statm"), c.contents);
        std::uint64_t bytes = 1;
        std::string errorText = "stale";
        EXPECT_TRUE(LinuxDataRetriever::readProcessMemory(dir_.file("statm"), bytes, errorText));
        EXPECT_EQ(c.bytes, bytes);
        EXPECT_EQ("", errorText);
    }
}

TEST_F(LinuxDataRetrieverTest, ReadProcessMemoryOfAMissingFileFails) {
    std::uint64_t bytes = 7;
    std::string errorText;
    EXPECT_FALSE(LinuxDataRetriever::readProcessMemory(dir_.file("gone"), bytes, errorText));
    EXPECT_EQ(7u, bytes);
    EXPECT_EQ(
        "fopen failed for file [" + dir_.file("gone") + "], error = [No such file or directory]",
        errorText);
}

TEST_F(LinuxDataRetrieverTest, ProcessMemoryAgreesWithTheKernelsFigures) {
    const long long rssBefore = procValue("/proc/self/status", "VmRSS");
    std::uint64_t bytes = 0;
    std::string errorText = "stale";
    ASSERT_TRUE(retriever_->getProcessMemory(bytes, errorText));
    const long long rssAfter = procValue("/proc/self/status", "VmRSS");
    EXPECT_EQ("", errorText);
    EXPECT_EQ(0u, bytes % pageSize());
    // The resident set may move a little between the readings.
    const long long slack = 64LL << 20;
    EXPECT_GE(static_cast<long long>(bytes), std::min(rssBefore, rssAfter) * 1024 - slack);
    EXPECT_LE(static_cast<long long>(bytes), std::max(rssBefore, rssAfter) * 1024 + slack);
    EXPECT_LT(static_cast<long long>(bytes), procValue("/proc/meminfo", "MemTotal") * 1024);
}

// ---- File systems ----

const char kDfOutput[] =
    "Filesystem     1024-blocks    Used Available Capacity Mounted on\n"
    "proc                     0       0         0        - /proc\n"
    "/dev/sda1             1000      10       990       1% /\n"
    "/dev/sda1                0       0         0        - /again\n"
    "server:/export        5000       1      4999       1% /mnt/nfs\n"
    "/dev/big        4294967296       0 4294967296       0% /big\n"
    "short\n"
    "\n"
    "tmpfs                  100       0       100       0% /run\n"
    "stub\n"
    "stub                   700       0       700       0% /stub\n";

TEST_F(LinuxDataRetrieverTest, CollectsMountsThatDfGivesASize) {
    writeFile(dir_.file("mtab"),
              "proc /proc proc rw 0 0\n"
              "/dev/sda1 / ext4 rw," +
                  std::string(20000, 'o') +
                  " 0 0\n"
                  "server:/export /mnt/nfs nfs rw 0 0\n"
                  "/dev/big /big ext4 rw 0 0\n"
                  "/dev/missing /missing ext4 rw 0 0\n"
                  "short /short none rw 0 0\n"
                  "stub /stub none rw 0 0\n"
                  "tmpfs /run tmpfs rw 0 0\n"
                  "tmpfs /dev/shm tmpfs rw 0 0\n");
    qmtest::LogCapture log;
    Owned<FileSystemInfo> fileSystems;
    fileSystems.items.push_back(new FileSystemInfo);
    std::string errorText = "untouched";

    ASSERT_TRUE(LinuxDataRetriever::collectFileSystems(kDfOutput, dir_.file("mtab"),
                                                       fileSystems.items, errorText));

    EXPECT_EQ("untouched", errorText);
    struct Expected {
        const char* name;
        const char* description;
        const char* mountPoint;
    };
    const Expected expected[] = {
        {"/dev/sda1", "/", "/"},      {"server:/export", "server:/export", "/mnt/nfs"},
        {"/dev/big", "/big", "/big"}, {"stub", "/stub", "/stub"},
        {"tmpfs", "/run", "/run"},    {"tmpfs", "/dev/shm", "/dev/shm"},
    };
    ASSERT_EQ(1 + sizeof expected / sizeof expected[0], fileSystems.items.size());
    EXPECT_EQ("", fileSystems.items[0]->name);
    for (std::size_t i = 0; i < sizeof expected / sizeof expected[0]; ++i) {
        SCOPED_TRACE(expected[i].mountPoint);
        const FileSystemInfo& fs = *fileSystems.items[i + 1];
        EXPECT_EQ(expected[i].name, fs.name);
        EXPECT_EQ(expected[i].description, fs.description);
        EXPECT_EQ(expected[i].mountPoint, fs.mountPoint);
        EXPECT_EQ("FIXED_DISK", fs.type);
        EXPECT_EQ("", fs.extra);
        EXPECT_EQ("", fs.extra2);
        EXPECT_EQ("", fs.extra3);
    }

    const std::string text = log.text();
    for (const std::string line : {
             "currentLine=[/dev/sda1             1000      10       990       1% /] value = 1000",
             "currentLine=[/dev/big        4294967296       0 4294967296       0% /big] value = "
             "4294967296",
             "currentLine=[short] skipped, it has no size",
             "currentLine=[stub] skipped, it has no size",
             "mntDrive located in DF liststub with a value = 700",
             "DFString=[Filesystem",
             "mntDrive not in DF list/dev/missing",
             "mntDrive located in DF list/dev/sda1 with a value = 1000",
             "mntDrive added server:/export",
             "mntDrive not added because value is 0proc",
             "mntDrive not in DF listshort",
         }) {
        SCOPED_TRACE(line);
        EXPECT_NE(std::string::npos, text.find(line)) << text;
    }
}

TEST_F(LinuxDataRetrieverTest, CollectsNothingFromAHeaderOnlyTable) {
    writeFile(dir_.file("mtab"), "/dev/sda1 / ext4 rw 0 0\n");
    Owned<FileSystemInfo> fileSystems;
    std::string errorText;
    EXPECT_TRUE(LinuxDataRetriever::collectFileSystems(
        "Filesystem 1024-blocks Used Available Capacity Mounted on", dir_.file("mtab"),
        fileSystems.items, errorText));
    EXPECT_TRUE(fileSystems.items.empty());
}

TEST_F(LinuxDataRetrieverTest, MissingMountTableFails) {
    Owned<FileSystemInfo> fileSystems;
    std::string errorText;
    EXPECT_FALSE(LinuxDataRetriever::collectFileSystems(kDfOutput, dir_.file("no-mtab"),
                                                        fileSystems.items, errorText));
    EXPECT_EQ("setmntent failed for " + dir_.file("no-mtab") + ".", errorText);
    EXPECT_TRUE(fileSystems.items.empty());
}

TEST_F(LinuxDataRetrieverTest, GetFileSystemsListsTheRootFileSystem) {
    Owned<FileSystemInfo> fileSystems;
    std::string errorText;
    ASSERT_TRUE(retriever_->getFileSystems(fileSystems.items, errorText)) << errorText;
    bool rootSeen = false;
    for (const FileSystemInfo* fs : fileSystems.items) {
        SCOPED_TRACE(fs->name + " on " + fs->mountPoint);
        EXPECT_FALSE(fs->name.empty());
        EXPECT_EQ("FIXED_DISK", fs->type);
        if (fs->mountPoint == "/") rootSeen = true;
    }
    EXPECT_TRUE(rootSeen);
}

// ---- Host ----

class FixedUptime : public LinuxDataRetriever {
public:
    FixedUptime(ConfigurationFileAccess* configuration, bool answers)
        : LinuxDataRetriever("redhat", "64", configuration), answers_(answers) {}
    bool getUptime(std::int64_t& seconds, int uptimeOption) override {
        optionSeen = uptimeOption;
        if (answers_) seconds = 1234;
        return answers_;
    }
    int optionSeen = -1;

private:
    const bool answers_;
};

TEST_F(LinuxDataRetrieverTest, HostInfoDescribesThisHost) {
    HostInfo host;
    host.contact = "kept";
    const double before = procUptime();
    ASSERT_TRUE(retriever_->getHostInfo(host, 0));
    const double after = procUptime();

    struct utsname names;
    ASSERT_EQ(0, uname(&names));
    EXPECT_EQ(std::string(names.sysname) + " " + names.nodename + " " + names.release + " " +
                  names.version + " " + names.machine,
              host.description);
    char hostName[256] = {};
    ASSERT_EQ(0, gethostname(hostName, sizeof hostName - 1));
    EXPECT_EQ(hostName, host.hostName);
    EXPECT_EQ("kept", host.contact);
    // The kernel rounds its uptime up to the next second.
    EXPECT_GE(host.uptime, static_cast<std::int64_t>(std::floor(before)));
    EXPECT_LE(host.uptime, static_cast<std::int64_t>(std::ceil(after)) + 1);
}

TEST_F(LinuxDataRetrieverTest, HostInfoTakesTheUptimeThroughTheVirtualOperation) {
    for (const bool answers : {true, false}) {
        SCOPED_TRACE(answers ? "uptime answers" : "uptime fails");
        FixedUptime retriever(&configuration_, answers);
        HostInfo host;
        host.uptime = 77;
        EXPECT_TRUE(retriever.getHostInfo(host, 42));
        EXPECT_EQ(42, retriever.optionSeen);
        EXPECT_EQ(answers ? 1234 : 77, host.uptime);
        EXPECT_FALSE(host.description.empty());
    }
}

// ---- Network interfaces ----

void expectMacText(const std::string& mac) {
    ASSERT_EQ(17u, mac.size()) << mac;
    for (std::size_t i = 0; i < mac.size(); ++i) {
        if (i % 3 == 2) {
            EXPECT_EQ(':', mac[i]) << mac;
        } else {
            EXPECT_NE(std::string::npos, std::string("0123456789abcdef").find(mac[i])) << mac;
        }
    }
}

TEST_F(LinuxDataRetrieverTest, NetworkInterfacesIncludeTheLoopback) {
    Owned<NetworkInterfaceInfo> interfaces;
    interfaces.items.push_back(new NetworkInterfaceInfo);
    std::string errorText;
    ASSERT_TRUE(retriever_->getNetworkInterfaces(interfaces.items, errorText, true));

    const NetworkInterfaceInfo* loopback = nullptr;
    for (std::size_t i = 1; i < interfaces.items.size(); ++i) {
        const NetworkInterfaceInfo& record = *interfaces.items[i];
        SCOPED_TRACE(record.name);
        EXPECT_EQ(record.name, record.description);
        EXPECT_EQ("work-in-progress", record.note);
        EXPECT_EQ(record.adminStatus, record.operationalStatus);
        EXPECT_TRUE(record.adminStatus == "UP" || record.adminStatus == "DOWN");
        expectMacText(record.macAddress);
        if (record.name == "lo") loopback = &record;
    }
    ASSERT_NE(nullptr, loopback);
    EXPECT_EQ("127.0.0.1", loopback->address);
    EXPECT_EQ("00:00:00:00:00:00", loopback->macAddress);
    EXPECT_EQ("UP", loopback->adminStatus);

    std::string expectedIp = "Unknown";
    for (std::size_t i = 1; i < interfaces.items.size(); ++i) {
        if (interfaces.items[i]->address.compare(0, 4, "127.") != 0) {
            expectedIp = interfaces.items[i]->address;
            break;
        }
    }
    EXPECT_EQ(expectedIp, retriever_->getIpAddress());
}

// Runs `setup` (shell commands) and then getNetworkInterfaces in a child process that has a
// network namespace of its own, so the host's interfaces stay untouched. Returns the child's
// exit status; its lines "name|address|mac|admin|oper" are in `listing`.
int listInNewNetworkNamespace(const std::string& setup, std::string& listing) {
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0) return -1;
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        close(channel[0]);
        if (unshare(CLONE_NEWNET) != 0) {
            // Without privileges a user namespace of our own grants them.
            const uid_t uid = getuid();
            const gid_t gid = getgid();
            if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) _exit(77);
            auto put = [](const char* path, const std::string& text) {
                std::ofstream out(path);
                out << text;
                return static_cast<bool>(out.flush());
            };
            if (!put("/proc/self/setgroups", "deny") ||
                !put("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
                !put("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
                _exit(77);
            }
        }
        if (std::system(setup.c_str()) != 0) _exit(78);
        std::ostringstream out;
        {
            std::unique_ptr<DataRetriever> retriever(createDataRetriever(nullptr));
            Owned<NetworkInterfaceInfo> interfaces;
            std::string errorText;
            const bool listed = retriever->getNetworkInterfaces(interfaces.items, errorText, true);
            for (const NetworkInterfaceInfo* record : interfaces.items) {
                out << record->name << '|' << record->address << '|' << record->macAddress << '|'
                    << record->adminStatus << '|' << record->operationalStatus << '\n';
            }
            out << (listed ? "listed" : "failed") << '\n';
        }
        const std::string text = out.str();
        std::size_t written = 0;
        while (written < text.size()) {
            const ssize_t n = write(channel[1], text.data() + written, text.size() - written);
            if (n <= 0) _exit(79);
            written += static_cast<std::size_t>(n);
        }
        _exit(0);
    }
    close(channel[1]);
    char buffer[4096];
    ssize_t n;
    while ((n = read(channel[0], buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        listing.append(buffer, static_cast<std::size_t>(n));
    }
    close(channel[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(LinuxDataRetrieverNamespace, ListsEveryInterfaceHoweverManyThereAre) {
    const int aliases = 40;
    std::string setup =
        "exec >/dev/null 2>&1; ip link set lo up"
        " && ip link add qmtest0 type veth peer name qmtest1"
        " && ip link set qmtest0 address 8a:bc:de:f0:80:ff"
        " && ip addr add 10.77.0.1/24 dev qmtest0";
    for (int i = 1; i <= aliases; ++i) {
        setup += " && ip addr add 127.0.1." + std::to_string(i) +
                 "/8 dev lo label lo:" + std::to_string(i);
    }
    std::string listing;
    const int status = listInNewNetworkNamespace(setup, listing);
    if (status == 77) GTEST_SKIP() << "no network namespace of our own";
    if (status == 78) GTEST_SKIP() << "cannot create interfaces (is iproute2 installed?)";
    ASSERT_EQ(0, status) << listing;

    std::vector<std::string> lines;
    std::istringstream in(listing);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("listed", lines.back());
    lines.pop_back();

    // The loopback, each of its labelled addresses and the veth end: far more than fit the
    // kernel's answer in a first buffer of 1024 bytes.
    EXPECT_EQ(static_cast<std::size_t>(1 + aliases + 1), lines.size()) << listing;
    auto has = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has("lo|127.0.0.1|00:00:00:00:00:00|UP|UP")) << listing;
    EXPECT_TRUE(has("lo:1|127.0.1.1|00:00:00:00:00:00|UP|UP")) << listing;
    EXPECT_TRUE(has("lo:40|127.0.1.40|00:00:00:00:00:00|UP|UP")) << listing;
    EXPECT_TRUE(has("qmtest0|10.77.0.1|8a:bc:de:f0:80:ff|DOWN|DOWN")) << listing;
}

}  // namespace
