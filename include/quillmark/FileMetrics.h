// FileMetrics: the metric item for single files: existence, time stamps, size, a regular-
// expression search of the file's text, the POSIX cksum checksum and the MD5 digest.
//
// Every operation takes the path from request.args[0], unchanged (a relative path resolves
// against the working directory), and ignores request.command; execute chooses among them.
// Files are opened close-on-exec and closed before any operation returns or throws. Results are
// new objects owned by the caller; failures are exceptions of code 0 from the source file
// "VfsMetrics", with fixed messages that name neither the file nor the system error. The item
// keeps no state but its name: any thread may call any operation, also at the same time.
//
// The configuration watch calls md5sum directly every cycle and restarts the agent when the
// digest changes, so md5sum never digests less than the whole file: a read error is thrown.
#ifndef QUILLMARK_FILEMETRICS_H
#define QUILLMARK_FILEMETRICS_H

#include "quillmark/VfsMetrics.h"

#include <string>

namespace quillmark {

class FileMetrics : public VfsMetrics {
public:
    explicit FileMetrics(const std::string& name);
    ~FileMetrics() override;

    // Runs the operation whose name equals request.command, tried in the order "exists", "time",
    // "size", "regexp", "regmatch", "cksum", "md5sum". Throws UnsupportedException "Command
    // unsupported." for any other text, and whatever the chosen operation throws.
    ResultInfo* execute(const MetricRequest& request) override;

    // 1 when the path (symbolic links followed) is a regular file; 0 when it is anything else or
    // cannot be stat-ed. Throws InvalidArgException "Agruments missing." when args is empty.
    ResultInfo* exists(const MetricRequest& request);

    // The time of last modification, access or status change in seconds since the epoch, chosen
    // by args[1]: "modify" (also when missing or empty), "access", "change". Throws
    // InvalidArgException "Agruments missing." when args is empty or args[0] is empty;
    // ProcessingException "Failed to get stat." when stat fails or the mode is any other text
    // (case included).
    ResultInfo* time(const MetricRequest& request);

    // The size in bytes. Throws InvalidArgException "File name missing." when args is empty;
    // ProcessingException "Failed to get stat." when stat fails (an empty path included).
    ResultInfo* size(const MetricRequest& request);

    // The file's text is its lines joined without their line feeds, up to its first zero byte;
    // the pattern args[1] (Regexp.h syntax, possibly empty) is searched in it.
    //
    // regexp: the first match as text, or "EOF" when there is none, when it is empty or when the
    // pattern does not compile. regmatch: 1 when the pattern matches, also emptily, else 0.
    // Both throw InvalidArgException "Agruments missing." with fewer than two arguments;
    // ProcessingException "Failed to open file." when the file does not open, "Failed to read
    // file." when reading it fails (a directory, an I/O error) and "Pattern too costly to
    // match." when the engine cannot have the memory the search needs, which is no answer
    // about the file.
    ResultInfo* regexp(const MetricRequest& request);
    ResultInfo* regmatch(const MetricRequest& request);

    // The checksum the POSIX cksum utility prints first for the file (0 to 4294967295). Throws
    // InvalidArgException "Arguments missing." when args is empty; ProcessingException "Failed to
    // open file." or "Failed to read file.".
    ResultInfo* cksum(const MetricRequest& request);

    // The MD5 digest of the whole file as 32 lower-case hexadecimal digits. A file that grows
    // while it is read is read to its end, as long as that end is within 67108864 bytes. Throws
    // InvalidArgException "Agrument missing." when args is empty; SystemException "Cannot stat()
    // file" when stat fails (an empty path included); ProcessingException "Will not calculate MD5
    // for files larger than 64M" when stat reports more than 67108864 bytes, or when more than
    // that is read (the reading stops there); SystemException "Failed to open file." when it does
    // not open; ProcessingException "Failed to read file." when a read fails.
    ResultInfo* md5sum(const MetricRequest& request);
};

}  // namespace quillmark

#endif  // QUILLMARK_FILEMETRICS_H
