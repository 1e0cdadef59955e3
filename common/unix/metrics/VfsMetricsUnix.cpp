// The Linux operations of FsMetrics: statvfs figures and the mount table.
#include "quillmark/FsMetrics.h"

#include "quillmark/Exception.h"
#include "quillmark/MountTable.h"

#include <sys/statvfs.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

namespace quillmark {

namespace {

// count × kibPerBlock truncated to whole KiB; the figure saturates rather than overflow the
// conversion on a file system that reports absurd counts.
std::uint64_t toKib(std::uint64_t count, double kibPerBlock) {
    const double kib = static_cast<double>(count) * kibPerBlock;
    if (kib >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(kib);
}

// Some file systems report more available than total (counts taken at different moments, or
// none at all); unsigned subtraction would then give a used figure near 2^64.
std::uint64_t usedOf(std::uint64_t total, std::uint64_t available) {
    return total > available ? total - available : 0;
}

// A file system without blocks or inodes (proc, sysfs) has nothing free and nothing used.
double percentOf(std::uint64_t part, std::uint64_t total) {
    return total == 0 ? 0.0 : static_cast<double>(part) * 100.0 / static_cast<double>(total);
}

ResultInfo* figureFor(const std::string& mode, std::uint64_t total, std::uint64_t free,
                      std::uint64_t used) {
    if (mode == "used") return new ResultInfo(static_cast<unsigned long>(used));
    if (mode == "free") return new ResultInfo(static_cast<unsigned long>(free));
    if (mode == "total") return new ResultInfo(static_cast<unsigned long>(total));
    if (mode == "pfree") return new ResultInfo(percentOf(free, total));
    if (mode == "pused") return new ResultInfo(percentOf(used, total));
    return new ResultInfo(0UL);
}

std::string modeOf(const MetricRequest& request) {
    return request.args.size() >= 2 && !request.args[1].empty() ? request.args[1] : "total";
}

void requirePath(const MetricRequest& request) {
    if (request.args.empty() || request.args[0].empty()) {
        QM_THROW(InvalidArgException, "Agruments missing.");
    }
}

void statFileSystem(const std::string& path, struct statvfs& stats) {
    if (::statvfs(path.c_str(), &stats) != 0)
        QM_THROW(ProcessingException, "Failed to get vfs stats.");
}

}  // namespace

ResultInfo* FsMetrics::size(const MetricRequest& request) {
    requirePath(request);
    std::string path = request.args[0];
    if (path.find(':') != std::string::npos) {
        std::fputs("found!\n", stdout);
        std::fflush(stdout);
        path = resolveMountPoint(path);
    }
    struct statvfs stats;
    statFileSystem(path, stats);
    return sizeFigure(stats, modeOf(request));
}

ResultInfo* FsMetrics::inode(const MetricRequest& request) {
    requirePath(request);
    struct statvfs stats;
    statFileSystem(request.args[0], stats);
    return inodeFigure(stats, modeOf(request));
}

ResultInfo* FsMetrics::fileSystems(const MetricRequest& /*request*/) {
    return new ResultInfo(joinMountPoints("/etc/mtab"));
}

ResultInfo* FsMetrics::sizeFigure(const struct statvfs& stats, const std::string& mode) {
    const double kibPerBlock = static_cast<double>(stats.f_frsize) / 1024.0;
    const std::uint64_t blocks = stats.f_blocks;
    const std::uint64_t available = stats.f_bavail;
    return figureFor(mode, toKib(blocks, kibPerBlock), toKib(available, kibPerBlock),
                     toKib(usedOf(blocks, available), kibPerBlock));
}

ResultInfo* FsMetrics::inodeFigure(const struct statvfs& stats, const std::string& mode) {
    const std::uint64_t total = stats.f_files;
    const std::uint64_t free = stats.f_favail;
    return figureFor(mode, total, free, usedOf(total, free));
}

std::string FsMetrics::joinMountPoints(const char* mountTable) {
    std::vector<MountTable::Entry> entries;
    if (!MountTable::read(mountTable, entries)) {
        QM_THROW(ProcessingException, "Failed setmntent for /etc/mtab.");
    }
    std::string joined;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i > 0) joined += ',';
        joined += entries[i].mountPoint;
    }
    return joined;
}

std::string FsMetrics::resolveMountPoint(const std::string& name, const char* mountTable) {
    std::vector<MountTable::Entry> entries;
    if (!MountTable::read(mountTable, entries)) return name;
    for (const MountTable::Entry& entry : entries) {
        if (name == entry.device) return entry.mountPoint;
    }
    return name;
}

}  // namespace quillmark
