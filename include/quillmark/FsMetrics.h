// FsMetrics: the metric item for mounted file systems: size and free space in KiB, inode counts,
// both also as percentages (statvfs), and the list of mount points of "/etc/mtab".
//
// Each call reads the file system or the mount table afresh and keeps nothing; the mount table
// is read with getmntent_r into a buffer of the call, so any thread may call any operation, also
// at the same time. Results are new objects owned by the caller; failures are exceptions of
// code 0 carrying the source file "unix/metrics/VfsMetricsUnix" (an unknown command:
// "VfsMetrics").
#ifndef QUILLMARK_FSMETRICS_H
#define QUILLMARK_FSMETRICS_H

#include "quillmark/VfsMetrics.h"

#include <string>

struct statvfs;

namespace quillmark {

class FsMetrics : public VfsMetrics {
public:
    explicit FsMetrics(const std::string& name);
    ~FsMetrics() override;

    // Runs "size", "filesystems" or "inode" (compared exactly, in that order). Throws
    // UnsupportedException "Command unsupported." for any other text, and whatever the chosen
    // operation throws.
    ResultInfo* execute(const MetricRequest& request) override;

    // A figure of the file system holding the path args[0], chosen by args[1] ("total" also when
    // missing or empty): see sizeFigure. A path containing ':' is a mount-table device (a network
    // file system's server:path): "found!" is written to standard output and the device's mount
    // point replaces it, when the table lists it. Throws InvalidArgException "Agruments missing."
    // when args is empty or args[0] is empty; ProcessingException "Failed to get vfs stats." when
    // statvfs fails.
    ResultInfo* size(const MetricRequest& request);

    // Every mount point of "/etc/mtab" in table order, joined with ',' (not escaped); args are
    // not looked at. Throws ProcessingException "Failed setmntent for /etc/mtab." when the table
    // does not open.
    ResultInfo* fileSystems(const MetricRequest& request);

    // An inode figure of the file system holding the path args[0], chosen by args[1] as for
    // size: see inodeFigure. The exceptions of size; no ':' handling.
    ResultInfo* inode(const MetricRequest& request);

    // The figures of a statvfs record for `mode`, compared exactly: "used", "free", "total" as
    // unsigned numbers, "pfree", "pused" as percentages of the total with six decimals (0.000000
    // when the total is 0); 0 for any other mode. Never throws; the result is owned by the
    // caller.
    //
    // sizeFigure counts KiB: total is f_blocks, free f_bavail (what unprivileged users may
    // use), used f_blocks - f_bavail (so the superuser's reserve counts as used), each times
    // f_frsize / 1024 and truncated. inodeFigure counts f_files, f_favail and their difference.
    // A used count never goes below 0.
    static ResultInfo* sizeFigure(const struct statvfs& stats, const std::string& mode);
    static ResultInfo* inodeFigure(const struct statvfs& stats, const std::string& mode);

    // The mount points of the mount table `mountTable`, joined as fileSystems joins them. Throws
    // ProcessingException "Failed setmntent for /etc/mtab." when the table does not open.
    static std::string joinMountPoints(const char* mountTable);

    // The mount point of the first entry of `mountTable` whose device equals `name` exactly;
    // `name` itself when none does or the table does not open. Never throws.
    static std::string resolveMountPoint(const std::string& name,
                                         const char* mountTable = "/etc/mtab");
};

}  // namespace quillmark

#endif  // QUILLMARK_FSMETRICS_H
