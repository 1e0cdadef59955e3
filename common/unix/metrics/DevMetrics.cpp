// The Linux operations of DevMetrics: the counters of "/proc/diskstats".
#include "quillmark/DevMetrics.h"

#include "quillmark/Exception.h"
#include "quillmark/FileHandle.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace quillmark {

namespace {

// The device name and counters of one line, in the disk layout or in the short partition
// layout of old kernels. The name's width keeps it inside its buffer whatever the line holds;
// a longer name leaves the rest to the next conversion, which fails, so the line is skipped.
bool parseLine(const std::string& line, char (&name)[4096], DiskStat& stat) {
    const char* text = line.c_str();
    if (std::sscanf(text,
                    "%*d %*d %4095s %" SCNu64 " %*d %" SCNu64 " %*d %" SCNu64 " %*d %" SCNu64
                    " %*d %*d %*d %*d",
                    name, &stat.readOperations, &stat.readSectors, &stat.writeOperations,
                    &stat.writeSectors) == 5) {
        return true;
    }
    return std::sscanf(text, "%*d %*d %4095s %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64, name,
                       &stat.readOperations, &stat.readSectors, &stat.writeOperations,
                       &stat.writeSectors) == 5;
}

// The counter chosen by the mode args[1] ("sectors" by default) of the device args[0].
ResultInfo* deviceCounter(const MetricRequest& request, bool reads) {
    if (request.args.empty() || request.args[0].empty()) {
        QM_THROW(InvalidArgException, "Agrument missing.");
    }
    const std::string mode =
        request.args.size() >= 2 && !request.args[1].empty() ? request.args[1] : "sectors";
    DiskStat stat;
    if (getDiskStat(request.args[0].c_str(), &stat) != 0) {
        QM_THROW(ProcessingException, "Failed to get disk stat.");
    }
    if (mode == "sectors") {
        return new ResultInfo(
            static_cast<unsigned long>(reads ? stat.readSectors : stat.writeSectors));
    }
    if (mode == "operations") {
        return new ResultInfo(
            static_cast<unsigned long>(reads ? stat.readOperations : stat.writeOperations));
    }
    QM_THROW(ProcessingException, "Parameter not supported.");
}

}  // namespace

int getDiskStat(const char* device, DiskStat* out, const char* statsFile) {
    *out = DiskStat{};
    if (device == nullptr) return -1;
    FileHandle file(std::fopen(statsFile, "re"));
    if (!file) return -1;
    std::string line;
    char name[4096];
    while (readLine(file.get(), line)) {
        DiskStat stat{};
        if (parseLine(line, name, stat) && std::strcmp(name, device) == 0) {
            *out = stat;
            return 0;
        }
    }
    return -1;
}

ResultInfo* DevMetrics::read(const MetricRequest& request) { return deviceCounter(request, true); }

ResultInfo* DevMetrics::write(const MetricRequest& request) {
    return deviceCounter(request, false);
}

}  // namespace quillmark
