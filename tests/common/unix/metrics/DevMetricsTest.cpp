#include "quillmark/DevMetrics.h"

#include "quillmark/Exception.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace quillmark;

namespace {

MetricRequest makeRequest(const std::string& command, std::vector<std::string> args) {
    return qmtest::metricRequest("device", command, std::move(args));
}

struct Expected {
    const char* device;
    int result;
    DiskStat stat;
};

TEST(DevMetrics, ParsesDiskAndPartitionLayouts) {
    qmtest::TempDir dir;
    const std::string stats = dir.file("diskstats");
    // A line longer than any fixed buffer whose tail looks like a line of its own.
    const std::string longLine = "   8      16 sdb 11 0 12 0 13 0 14 0 0 0 0" +
                                 std::string(5000, ' ') + "8 0 ghost 9 0 9 0 9 0 9 0 0 0 0\n";
    qmtest::writeFile(
        stats,
        "   8       0 sda 1 2 3 4 5 6 7 8 9 10 11\n"
        "   8       1 sda1 100 200 300 400\n"
        "   8       2 sda2 1 2 3\n"
        "garbage line\n"
        "\n" +
            longLine +
            " 254       0 vda 124021 25911 6708146 57682 42557 39066 33270128 107440 0 "
            "35940 177162 27430 80 25744056 11306 1654 731\n"
            " 253       0 big 18446744073709551615 0 4294967296 0 1 0 2 0 0 0 0\n"
            "   8       0 sda 99 99 99 99 99 99 99 99 99 99 99\n");
    const Expected cases[] = {
        {"sda", 0, {1, 3, 5, 7}},
        {"sda1", 0, {100, 200, 300, 400}},
        {"sdb", 0, {11, 12, 13, 14}},
        {"vda", 0, {124021, 6708146, 42557, 33270128}},
        {"big", 0, {18446744073709551615ULL, 4294967296ULL, 1, 2}},
        {"sda2", -1, {0, 0, 0, 0}},
        {"sd", -1, {0, 0, 0, 0}},
        {"ghost", -1, {0, 0, 0, 0}},
        {"", -1, {0, 0, 0, 0}},
    };
    for (const Expected& c : cases) {
        SCOPED_TRACE(c.device);
        DiskStat stat{7, 7, 7, 7};
        EXPECT_EQ(c.result, getDiskStat(c.device, &stat, stats.c_str()));
        EXPECT_EQ(c.stat.readOperations, stat.readOperations);
        EXPECT_EQ(c.stat.readSectors, stat.readSectors);
        EXPECT_EQ(c.stat.writeOperations, stat.writeOperations);
        EXPECT_EQ(c.stat.writeSectors, stat.writeSectors);
    }

    DiskStat stat{7, 7, 7, 7};
    EXPECT_EQ(-1, getDiskStat("sda", &stat, dir.file("missing").c_str()));
    EXPECT_EQ(0u,
              stat.readOperations + stat.readSectors + stat.writeOperations + stat.writeSectors);
}

// The first device of this host's /proc/diskstats with its fields 4, 6, 8 and 10.
bool firstHostDevice(std::string& name, std::vector<std::uint64_t>& fields) {
    std::ifstream in("/proc/diskstats");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string major, minor;
        std::vector<std::uint64_t> counters;
        std::uint64_t value;
        words >> major >> minor >> name;
        while (words >> value) counters.push_back(value);
        if (counters.size() >= 7) {
            fields = {counters[0], counters[2], counters[4], counters[6]};
            return true;
        }
    }
    return false;
}

TEST(DevMetrics, ReadsThisHostsCounters) {
    std::string device;
    std::vector<std::uint64_t> before, after;
    if (!firstHostDevice(device, before)) GTEST_SKIP() << "no device in /proc/diskstats";

    DevMetrics item("device");
    const struct {
        const char* command;
        const char* mode;
        int field;
    } cases[] = {
        {"read", "", 1},  {"read", "sectors", 1},  {"read", "operations", 0},
        {"write", "", 3}, {"write", "sectors", 3}, {"write", "operations", 2},
    };
    std::vector<std::uint64_t> answers;
    for (const auto& c : cases) {
        std::unique_ptr<ResultInfo> result(item.execute(makeRequest(c.command, {device, c.mode})));
        answers.push_back(std::stoull(result->value));
    }
    ASSERT_TRUE(firstHostDevice(device, after));
    for (std::size_t i = 0; i < answers.size(); ++i) {
        SCOPED_TRACE(std::string(cases[i].command) + " " + cases[i].mode);
        // The counters only grow.
        EXPECT_LE(before[cases[i].field], answers[i]);
        EXPECT_GE(after[cases[i].field], answers[i]);
    }
}

TEST(DevMetrics, Failures) {
    std::string device = "sda";
    std::vector<std::uint64_t> fields;
    const bool listed = firstHostDevice(device, fields);
    DevMetrics item("device");
    const struct {
        const char* command;
        std::vector<std::string> args;
        const char* message;
        bool needsDevice;
    } cases[] = {
        {"read", {}, "Agrument missing.", false},
        {"write", {"", "operations"}, "Agrument missing.", false},
        {"read", {"no_such_device", "bytes"}, "Failed to get disk stat.", false},
        {"write", {"no_such_device"}, "Failed to get disk stat.", false},
        {"read", {device, "bytes"}, "Parameter not supported.", true},
        {"write", {device, "Sectors"}, "Parameter not supported.", true},
        {"READ", {device}, "Command unsupported.", false},
        {"size", {device}, "Command unsupported.", false},
        {"", {device}, "Command unsupported.", false},
    };
    for (const auto& c : cases) {
        if (c.needsDevice && !listed) continue;
        SCOPED_TRACE(std::string("[") + c.command + "] " + c.message);
        try {
            std::unique_ptr<ResultInfo> result(item.execute(makeRequest(c.command, c.args)));
            ADD_FAILURE() << "answered " << result->value;
        } catch (const InvalidArgException& e) {
            EXPECT_STREQ("Agrument missing.", c.message);
            EXPECT_STREQ(c.message, e.getMessage());
            EXPECT_NE(std::string::npos, e.getFile().find("unix/metrics/DevMetrics"));
        } catch (const UnsupportedException& e) {
            EXPECT_STREQ("Command unsupported.", c.message);
            EXPECT_STREQ(c.message, e.getMessage());
            EXPECT_NE(std::string::npos, e.getFile().find("VfsMetrics"));
        } catch (const ProcessingException& e) {
            EXPECT_STREQ(c.message, e.getMessage());
            EXPECT_EQ(0, e.getCode());
            EXPECT_NE(std::string::npos, e.getFile().find("unix/metrics/DevMetrics"));
        }
    }
}

}  // namespace
