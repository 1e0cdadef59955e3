// DevMetrics: the metric item for the read and write counters of a Linux block device, as the
// kernel lists them in "/proc/diskstats"; beside it the record and the parser of that file.
//
// The counters are the kernel's running totals since boot. Each call reads the file afresh and
// keeps nothing; any thread may call any operation, also at the same time. Results are new
// objects owned by the caller; failures are exceptions of code 0 carrying the source file
// "unix/metrics/DevMetrics" (an unknown command: "VfsMetrics").
#ifndef QUILLMARK_DEVMETRICS_H
#define QUILLMARK_DEVMETRICS_H

#include "quillmark/VfsMetrics.h"

#include <cstdint>
#include <string>

namespace quillmark {

// One device's line of "/proc/diskstats".
struct DiskStat {
    std::uint64_t readOperations;   // reads completed
    std::uint64_t readSectors;      // sectors read
    std::uint64_t writeOperations;  // writes completed
    std::uint64_t writeSectors;     // sectors written
};

// Fills *out from the first line of `statsFile` that names `device` exactly (sda is not sd):
// the disk layout (reads at field 4, sectors read 6, writes 8, sectors written 10, counting the
// major number as 1) or, failing that, the short partition layout of old kernels (fields 4 to
// 7). Lines of any length are read whole; lines in neither layout are skipped. Returns 0 when
// found, -1 when the file does not open, cannot be read or does not list the device, *out then
// all zero. Never throws.
int getDiskStat(const char* device, DiskStat* out, const char* statsFile = "/proc/diskstats");

class DevMetrics : public VfsMetrics {
public:
    explicit DevMetrics(const std::string& name);
    ~DevMetrics() override;

    // Runs "read" or "write" (compared exactly, in that order). Throws UnsupportedException
    // "Command unsupported." for any other text, and whatever the chosen operation throws.
    ResultInfo* execute(const MetricRequest& request) override;

    // The sectors read (args[1] "sectors", also when missing or empty) or reads completed
    // ("operations") of the device args[0], named as "/proc/diskstats" names it (sda, sda1).
    // Throws InvalidArgException "Agrument missing." when args is empty or args[0] is empty;
    // ProcessingException "Failed to get disk stat." when the device is not listed (checked
    // before the mode) and "Parameter not supported." for any other mode.
    ResultInfo* read(const MetricRequest& request);

    // The same for sectors written and writes completed.
    ResultInfo* write(const MetricRequest& request);
};

}  // namespace quillmark

#endif  // QUILLMARK_DEVMETRICS_H
