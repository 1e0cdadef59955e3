#include "quillmark/FsMetrics.h"

#include "quillmark/Exception.h"
#include "quillmark/Utils.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <sys/statvfs.h>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

using namespace quillmark;

namespace {

MetricRequest makeRequest(const std::string& command, std::vector<std::string> args) {
    return qmtest::metricRequest("filesystem", command, std::move(args));
}

std::string value(ResultInfo* raw) {
    std::unique_ptr<ResultInfo> result(raw);
    return result->value;
}

struct statvfs sizeStats(unsigned long fragment, std::uint64_t blocks, std::uint64_t available) {
    struct statvfs stats {};
    stats.f_frsize = fragment;
    stats.f_blocks = blocks;
    stats.f_bavail = available;
    return stats;
}

struct statvfs inodeStats(std::uint64_t files, std::uint64_t available) {
    struct statvfs stats {};
    stats.f_files = files;
    stats.f_favail = available;
    return stats;
}

TEST(FsMetrics, FiguresOfAStatRecord) {
    const struct {
        const char* name;
        struct statvfs stats;
        bool inodes;
        const char* mode;
        const char* answer;
    } cases[] = {
        {"4 KiB fragments", sizeStats(4096, 1000, 250), false, "total", "4000"},
        {"4 KiB fragments", sizeStats(4096, 1000, 250), false, "free", "1000"},
        {"4 KiB fragments", sizeStats(4096, 1000, 250), false, "used", "3000"},
        {"4 KiB fragments", sizeStats(4096, 1000, 250), false, "pfree", "25.000000"},
        {"4 KiB fragments", sizeStats(4096, 1000, 250), false, "pused", "75.000000"},
        {"mode in upper case", sizeStats(4096, 1000, 250), false, "TOTAL", "0"},
        {"unknown mode", sizeStats(4096, 1000, 250), false, "percent", "0"},
        {"half-KiB fragments", sizeStats(512, 3, 1), false, "total", "1"},
        {"half-KiB fragments", sizeStats(512, 3, 1), false, "free", "0"},
        {"half-KiB fragments", sizeStats(512, 3, 1), false, "used", "1"},
        {"beyond 32 bits", sizeStats(4096, 1ULL << 40, 1ULL << 39), false, "total",
         "4398046511104"},
        {"beyond 32 bits", sizeStats(4096, 1ULL << 40, 1ULL << 39), false, "used", "2199023255552"},
        {"no blocks", sizeStats(4096, 0, 0), false, "pfree", "0.000000"},
        {"no blocks", sizeStats(4096, 0, 0), false, "pused", "0.000000"},
        {"more available than total", sizeStats(1024, 10, 20), false, "used", "0"},
        {"inodes", inodeStats(100, 40), true, "total", "100"},
        {"inodes", inodeStats(100, 40), true, "free", "40"},
        {"inodes", inodeStats(100, 40), true, "used", "60"},
        {"inodes", inodeStats(100, 40), true, "pused", "60.000000"},
        {"inodes", inodeStats(100, 40), true, "pfree", "40.000000"},
        {"inodes", inodeStats(100, 40), true, "Used", "0"},
        {"no inodes", inodeStats(0, 0), true, "pused", "0.000000"},
        {"no inodes", inodeStats(0, 0), true, "pfree", "0.000000"},
        {"more inodes available than total", inodeStats(5, 9), true, "used", "0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " " + c.mode);
        EXPECT_EQ(c.answer, value(c.inodes ? FsMetrics::inodeFigure(c.stats, c.mode)
                                           : FsMetrics::sizeFigure(c.stats, c.mode)));
    }
}

TEST(FsMetrics, RootFileSystem) {
    struct statvfs stats;
    ASSERT_EQ(0, ::statvfs("/", &stats));
    const double kib = static_cast<double>(stats.f_frsize) / 1024.0;
    const auto total = static_cast<std::uint64_t>(static_cast<double>(stats.f_blocks) * kib);

    FsMetrics item("filesystem");
    auto number = [&](const char* command, const char* mode) {
        return std::stod(value(item.execute(makeRequest(command, {"/", mode}))));
    };
    EXPECT_EQ(std::to_string(total), value(item.execute(makeRequest("size", {"/"}))));
    EXPECT_EQ(std::to_string(total), value(item.execute(makeRequest("size", {"/", ""}))));
    // Free space moves while other programs write; the figures agree within a margin.
    const double slack = static_cast<double>(total) / 100.0 + 1024.0 * 1024.0;
    EXPECT_NEAR(static_cast<double>(total), number("size", "free") + number("size", "used"), slack);
    EXPECT_NEAR(static_cast<double>(stats.f_bavail) * kib, number("size", "free"), slack);
    EXPECT_NEAR(100.0, number("size", "pfree") + number("size", "pused"), 1.0);
    EXPECT_EQ(std::to_string(stats.f_files), value(item.execute(makeRequest("inode", {"/"}))));
    for (const char* command : {"size", "inode"}) {
        for (const char* mode : {"pfree", "pused"}) {
            SCOPED_TRACE(std::string(command) + " " + mode);
            const double percent = number(command, mode);
            EXPECT_GE(percent, 0.0);
            EXPECT_LE(percent, 100.0);
        }
    }

    std::vector<std::string> mountPoints;
    Utils::split(value(item.execute(makeRequest("filesystems", {}))), mountPoints, ",");
    EXPECT_NE(mountPoints.end(), std::find(mountPoints.begin(), mountPoints.end(), "/"));
}

TEST(FsMetrics, MountTables) {
    qmtest::TempDir dir;
    const std::string table = dir.file("mtab");
    qmtest::writeFile(table,
                      "/dev/sda1 / ext4 rw 0 0\n"
                      "server:/export /mnt/nfs nfs rw," +
                          std::string(100000, 'o') +
                          " 0 0\n"
                          "/dev/sda2 /mnt/my\\040disk ext4 rw 0 0\n"
                          "/dev/sda3 /boot ext4 rw 0 0\n");
    EXPECT_EQ("/,/mnt/nfs,/mnt/my disk,/boot", FsMetrics::joinMountPoints(table.c_str()));
    EXPECT_EQ("/mnt/nfs", FsMetrics::resolveMountPoint("server:/export", table.c_str()));
    EXPECT_EQ("/boot", FsMetrics::resolveMountPoint("/dev/sda3", table.c_str()));
    EXPECT_EQ("server:/", FsMetrics::resolveMountPoint("server:/", table.c_str()));
    EXPECT_EQ("a:b", FsMetrics::resolveMountPoint("a:b", dir.file("missing").c_str()));

    const std::string empty = dir.file("empty");
    qmtest::writeFile(empty, "");
    EXPECT_EQ("", FsMetrics::joinMountPoints(empty.c_str()));
    try {
        FsMetrics::joinMountPoints(dir.file("missing").c_str());
        ADD_FAILURE() << "a missing table was read";
    } catch (const ProcessingException& e) {
        EXPECT_STREQ("Failed setmntent for /etc/mtab.", e.getMessage());
        EXPECT_NE(std::string::npos, e.getFile().find("unix/metrics/VfsMetricsUnix"));
    }
}

TEST(FsMetrics, Failures) {
    qmtest::TempDir dir;
    FsMetrics item("filesystem");
    const struct {
        const char* command;
        std::vector<std::string> args;
        bool invalidArg;
        const char* message;
        const char* output;
    } cases[] = {
        {"size", {}, true, "Agruments missing.", ""},
        {"size", {"", "free"}, true, "Agruments missing.", ""},
        {"inode", {}, true, "Agruments missing.", ""},
        {"inode", {""}, true, "Agruments missing.", ""},
        {"size", {dir.file("missing")}, false, "Failed to get vfs stats.", ""},
        {"inode", {dir.file("missing"), "pfree"}, false, "Failed to get vfs stats.", ""},
        {"size", {"nosuchserver:/export"}, false, "Failed to get vfs stats.", "found!\n"},
        {"inode", {"nosuchserver:/export"}, false, "Failed to get vfs stats.", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.command) + " " + c.message);
        testing::internal::CaptureStdout();
        try {
            std::unique_ptr<ResultInfo> result(item.execute(makeRequest(c.command, c.args)));
            ADD_FAILURE() << "answered " << result->value;
        } catch (const InvalidArgException& e) {
            EXPECT_TRUE(c.invalidArg);
            EXPECT_STREQ(c.message, e.getMessage());
            EXPECT_NE(std::string::npos, e.getFile().find("unix/metrics/VfsMetricsUnix"));
        } catch (const ProcessingException& e) {
            EXPECT_FALSE(c.invalidArg);
            EXPECT_STREQ(c.message, e.getMessage());
            EXPECT_EQ(0, e.getCode());
            EXPECT_NE(std::string::npos, e.getFile().find("unix/metrics/VfsMetricsUnix"));
        }
        EXPECT_EQ(c.output, testing::internal::GetCapturedStdout());
    }

    for (const char* command : {"read", "SIZE", "size ", ""}) {
        SCOPED_TRACE(command);
        try {
            std::unique_ptr<ResultInfo> result(item.execute(makeRequest(command, {"/"})));
            ADD_FAILURE() << "answered " << result->value;
        } catch (const UnsupportedException& e) {
            EXPECT_STREQ("Command unsupported.", e.getMessage());
        }
    }
}

}  // namespace
