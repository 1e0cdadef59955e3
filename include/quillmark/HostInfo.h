// HostInfo: the description of the host as a whole, filled in place by
// DataRetriever::getHostInfo.
//
// A plain record made and owned by the caller. The retriever writes a field only when its source
// answers, so the caller's values stay where a source fails.
#ifndef QUILLMARK_HOSTINFO_H
#define QUILLMARK_HOSTINFO_H

#include <cstdint>
#include <string>

namespace quillmark {

struct HostInfo {
    // The kernel's sysname, nodename, release, version and machine, joined by single blanks.
    std::string description;
    // Seconds since the host started.
    std::int64_t uptime = 0;
    // Not filled by the Linux retriever.
    std::string contact;
    std::string hostName;
};

}  // namespace quillmark

#endif  // QUILLMARK_HOSTINFO_H
