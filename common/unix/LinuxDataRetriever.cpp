// The Linux answers of DataRetriever and the factory that makes them.
//
// Every source is read whole: lines of /proc files and of the mount table are taken at any
// length, and the interface list is fetched into a buffer that grows until the kernel's list
// fits, so nothing is cut off silently. Sizes and byte counts are 64-bit.
#include "quillmark/LinuxDataRetriever.h"

#include "quillmark/FileHandle.h"
#include "quillmark/Log.h"
#include "quillmark/MountTable.h"
#include "quillmark/SystemError.h"
#include "quillmark/SystemMetrics.h"
#include "quillmark/Utils.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/sysinfo.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>

namespace quillmark {

namespace {

const char kCpuInfoPath[] = "/proc/cpuinfo";
const char kMountTablePath[] = "/etc/mtab";

// The first size asked of SIOCGIFCONF (25 entries); doubled while the list does not fit, up to
// the limit, past which the entries that fit are reported.
const std::size_t kInitialInterfaceBuffer = 1024;
const std::size_t kMaxInterfaceBuffer = std::size_t(1) << 24;

const std::size_t kHostNameBuffer = 128;
const std::uint64_t kFallbackPageSize = 4096;

// Appends `record` to `records`, which takes it over; the record is still deleted when the
// vector cannot grow.
template <typename Record>
void append(std::vector<Record*>& records, std::unique_ptr<Record>& record) {
    records.push_back(record.get());
    record.release();
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads the unsigned decimal number at `position` after optional blanks and moves past it; a
// number too large for 64 bits gives the largest value. False when no digit stands there.
bool readUnsigned(const std::string& text, std::size_t& position, std::uint64_t& value) {
    while (position < text.size() && isBlank(text[position])) ++position;
    if (position >= text.size() || !isDigit(text[position])) return false;
    value = 0;
    for (; position < text.size() && isDigit(text[position]); ++position) {
        const std::uint64_t digit = static_cast<std::uint64_t>(text[position] - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
            value = std::numeric_limits<std::uint64_t>::max();
        } else {
            value = value * 10 + digit;
        }
    }
    return true;
}

// The leading decimal number of a df size field (after optional blanks and a sign); 0 when the
// field does not begin with one.
std::int64_t parseSize(const std::string& field) {
    return static_cast<std::int64_t>(std::strtoll(field.c_str(), nullptr, 10));
}

std::uint64_t pageSize() {
    const long size = ::sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::uint64_t>(size) : kFallbackPageSize;
}

std::string addressText(const struct ifreq& entry) {
    char text[INET6_ADDRSTRLEN];
    const char* address = reinterpret_cast<const char*>(&entry.ifr_addr);
    switch (entry.ifr_addr.sa_family) {
    case AF_INET: {
        struct sockaddr_in ipv4;
        std::memcpy(&ipv4, address, sizeof ipv4);
        if (inet_ntop(AF_INET, &ipv4.sin_addr, text, sizeof text) == nullptr) return "";
        return text;
    }
    case AF_INET6: {
        // A sockaddr_in6 is longer than the entry's address field, but its address part
        // still lies within the entry.
        static_assert(offsetof(struct sockaddr_in6, sin6_addr) + sizeof(struct in6_addr) <=
                          sizeof(struct ifreq) - offsetof(struct ifreq, ifr_ifru),
                      "IPv6 address outside the interface entry");
        struct in6_addr ipv6;
        std::memcpy(&ipv6, address + offsetof(struct sockaddr_in6, sin6_addr), sizeof ipv6);
        if (inet_ntop(AF_INET6, &ipv6, text, sizeof text) == nullptr) return "";
        return text;
    }
    default: return "Unknown AF";
    }
}

std::string macAddressText(const struct ifreq& entry) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(entry.ifr_hwaddr.sa_data);
    char text[sizeof "00:00:00:00:00:00"];
    std::snprintf(text, sizeof text, "%.2x:%.2x:%.2x:%.2x:%.2x:%.2x", bytes[0], bytes[1], bytes[2],
                  bytes[3], bytes[4], bytes[5]);
    return text;
}

// Fetches the kernel's interface address list into `buffer`. The kernel fills as much of the
// buffer as the list needs and no more, so only a buffer with room left for another entry is
// known to hold the whole list. Returns the number of entries, or -1 when the query fails.
long readInterfaceList(int fd, std::vector<char>& buffer) {
    std::size_t capacity = kInitialInterfaceBuffer;
    for (;;) {
        buffer.assign(capacity, 0);
        struct ifconf list;
        list.ifc_len = static_cast<int>(capacity);
        list.ifc_buf = buffer.data();
        if (::ioctl(fd, SIOCGIFCONF, &list) < 0) return -1;
        const std::size_t used = static_cast<std::size_t>(list.ifc_len);
        if (used + sizeof(struct ifreq) <= capacity || capacity >= kMaxInterfaceBuffer) {
            return static_cast<long>(used / sizeof(struct ifreq));
        }
        capacity *= 2;
    }
}

}  // namespace

DataRetriever* createDataRetriever(ConfigurationFileAccess* configuration) {
    return new LinuxDataRetriever("redhat", "64", configuration);
}

LinuxDataRetriever::LinuxDataRetriever(const std::string& osName, const std::string& architecture,
                                       ConfigurationFileAccess* configuration)
    : DataRetriever(osName, architecture, configuration) {}

LinuxDataRetriever::~LinuxDataRetriever() = default;

bool LinuxDataRetriever::getCpus(std::vector<CpuInfo*>& cpus) {
    return readCpus(kCpuInfoPath, cpus);
}

bool LinuxDataRetriever::readCpus(const std::string& cpuInfoPath, std::vector<CpuInfo*>& cpus) {
    FileHandle file(std::fopen(cpuInfoPath.c_str(), "re"));
    if (!file) {
        const int error = errno;
        QM_LOG_WARN("Cannot open [" << cpuInfoPath << "] to determine information about the CPUs["
                                    << systemErrorReason(error) << "]");
        return false;
    }

    std::unique_ptr<CpuInfo> pending;
    std::int32_t count = 0;
    std::string line;
    while (readLine(file.get(), line)) {
        // Keys stand at the start of their lines. A value may hold the word as well (QEMU's
        // "model name : Common KVM processor"), which must not count as another processor.
        if (Utils::startsWith(line, "processor")) {
            if (pending) append(cpus, pending);
            pending.reset(new CpuInfo);
            pending->name = "CPU " + std::to_string(count + 1);
            pending->index = count;
            ++count;
        } else if (Utils::startsWith(line, "model name")) {
            const std::string::size_type colon = line.find(':');
            // A model line outside a processor block, or one without a value, names nothing.
            if (pending && colon != std::string::npos) {
                pending->model = Utils::trim(line.substr(colon + 1));
            }
        }
    }
    if (pending) append(cpus, pending);
    return true;
}

bool LinuxDataRetriever::getNetworkInterfaces(std::vector<NetworkInterfaceInfo*>& interfaces,
                                              std::string& /*errorText*/, bool /*platformFlag*/) {
    Descriptor socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (socket.get() < 0) {
        QM_LOG_DEBUG("socket call failed");
        return false;
    }

    std::vector<char> buffer;
    const long count = readInterfaceList(socket.get(), buffer);
    if (count < 0) {
        QM_LOG_DEBUG("ioctl(SIOCGIFCONF) call failed");
        return false;
    }

    for (long i = 0; i < count; ++i) {
        struct ifreq entry;
        std::memcpy(&entry, buffer.data() + static_cast<std::size_t>(i) * sizeof entry,
                    sizeof entry);

        std::unique_ptr<NetworkInterfaceInfo> record(new NetworkInterfaceInfo);
        record->name.assign(entry.ifr_name, strnlen(entry.ifr_name, IFNAMSIZ));
        record->description = record->name;
        record->note = "work-in-progress";
        // Before the queries below, which write their answers over the address.
        record->address = addressText(entry);

        if (::ioctl(socket.get(), SIOCGIFHWADDR, &entry) < 0) {
            QM_LOG_DEBUG("ioctl(SIOCGIFHWADDR) call failed");
            return false;
        }
        record->macAddress = macAddressText(entry);

        if (::ioctl(socket.get(), SIOCGIFFLAGS, &entry) < 0) {
            QM_LOG_DEBUG("ioctl(SIOCGIFFLAGS) call failed");
            return false;
        }
        record->adminStatus = (entry.ifr_flags & IFF_UP) != 0 ? "UP" : "DOWN";
        record->operationalStatus = record->adminStatus;

        append(interfaces, record);
    }
    return true;
}

bool LinuxDataRetriever::getMemories(std::vector<MemoryInfo*>& memories) {
    std::unique_ptr<MemoryInfo> record(new MemoryInfo);
    record->name = "Memory 1";
    record->description = "Memory 1";
    record->type = "RAM";
    append(memories, record);
    return true;
}

bool LinuxDataRetriever::getFileSystems(std::vector<FileSystemInfo*>& fileSystems,
                                        std::string& errorText) {
    return collectFileSystems(runDfCommand(), kMountTablePath, fileSystems, errorText);
}

bool LinuxDataRetriever::collectFileSystems(const std::string& dfOutput,
                                            const std::string& mountTablePath,
                                            std::vector<FileSystemInfo*>& fileSystems,
                                            std::string& errorText) {
    std::vector<std::string> lines;
    Utils::split(dfOutput, lines, "\n");
    std::map<std::string, std::int64_t> sizes;
    // The first line is the column header.
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        std::vector<std::string> fields;
        Utils::split(line, fields, " ");
        // A line without its size says nothing about the device; entered as 0 it would hide a
        // complete line for the same device further down.
        if (fields.size() < 2) {
            QM_LOG_DEBUG("currentLine=[" << line << "] skipped, it has no size");
            continue;
        }
        const std::int64_t size = parseSize(fields[1]);
        sizes.emplace(fields[0], size);
        QM_LOG_DEBUG("currentLine=[" << line << "] value = " << size);
    }
    QM_LOG_DEBUG("DFString=[" << dfOutput << "]");

    std::vector<MountTable::Entry> entries;
    if (!MountTable::read(mountTablePath, entries)) {
        errorText = "setmntent failed for " + mountTablePath + ".";
        return false;
    }

    for (const MountTable::Entry& entry : entries) {
        std::unique_ptr<FileSystemInfo> record(new FileSystemInfo);
        record->name = entry.device;
        const auto found = sizes.find(record->name);
        if (found == sizes.end()) {
            QM_LOG_DEBUG("mntDrive not in DF list" << record->name);
            continue;
        }
        const std::int64_t size = found->second;
        QM_LOG_DEBUG("mntDrive located in DF list" << record->name << " with a value = " << size);
        if (size == 0) {
            QM_LOG_DEBUG("mntDrive not added because value is 0" << record->name);
            continue;
        }
        record->mountPoint = entry.mountPoint;
        // A remote file system (host:/export) is known by its device; a local one by where it
        // is mounted.
        record->description =
            record->name.find(':') != std::string::npos ? record->name : record->mountPoint;
        record->type = "FIXED_DISK";
        const std::string name = record->name;
        append(fileSystems, record);
        QM_LOG_DEBUG("mntDrive added " << name);
    }
    return true;
}

bool LinuxDataRetriever::getHostInfo(HostInfo& host, int uptimeOption) {
    struct utsname names;
    if (::uname(&names) == 0) {
        host.description = std::string(names.sysname) + " " + names.nodename + " " + names.release +
                           " " + names.version + " " + names.machine;
    }

    std::int64_t uptime = 0;
    if (getUptime(uptime, uptimeOption)) host.uptime = uptime;

    char hostName[kHostNameBuffer];
    if (::gethostname(hostName, sizeof hostName) == 0) {
        // gethostname need not terminate a name that fills the buffer.
        hostName[sizeof hostName - 1] = '\0';
        host.hostName = hostName;
    }
    return true;
}

bool LinuxDataRetriever::getUptime(std::int64_t& seconds, int /*uptimeOption*/) {
    struct sysinfo info;
    if (::sysinfo(&info) != 0) return false;
    seconds = static_cast<std::int64_t>(info.uptime);
    return true;
}

bool LinuxDataRetriever::getProcessMemory(std::uint64_t& bytes, std::string& errorText) {
    return readProcessMemory("/proc/" + std::to_string(::getpid()) + "/statm", bytes, errorText);
}

bool LinuxDataRetriever::readProcessMemory(const std::string& statmPath, std::uint64_t& bytes,
                                           std::string& errorText) {
    errorText.clear();
    FileHandle file(std::fopen(statmPath.c_str(), "re"));
    if (!file) {
        const int error = errno;
        errorText =
            "fopen failed for file [" + statmPath + "], error = [" + systemErrorReason(error) + "]";
        return false;
    }

    std::uint64_t residentPages = 0;
    std::string line;
    if (readLine(file.get(), line)) {
        std::size_t position = 0;
        std::uint64_t programPages = 0;
        if (!readUnsigned(line, position, programPages) ||
            !readUnsigned(line, position, residentPages)) {
            residentPages = 0;
        }
    }
    std::uint64_t product = 0;
    bytes = __builtin_mul_overflow(residentPages, pageSize(), &product)
                ? std::numeric_limits<std::uint64_t>::max()
                : product;
    return true;
}

bool LinuxDataRetriever::isSupported() { return true; }

}  // namespace quillmark
