// LinuxDataRetriever: the Linux answers of DataRetriever.
//
// Processors come from /proc/cpuinfo, the process's memory from /proc/<pid>/statm, network
// interfaces from SIOCGIFCONF and per-interface queries on a datagram socket, file systems from
// the mount table /etc/mtab together with the sizes printed by "df -Pa", the host description,
// uptime and name from uname, sysinfo and gethostname.
//
// Made only by createDataRetriever (subclasses may call the protected constructor). Ownership,
// records and threads as for DataRetriever: every call opens and closes its own socket, files
// and mount-table stream (all close-on-exec) and keeps no state, so calls may run on several
// threads at once. Log lines name the source file "unix/LinuxDataRetriever".
#ifndef QUILLMARK_LINUXDATARETRIEVER_H
#define QUILLMARK_LINUXDATARETRIEVER_H

#include "quillmark/DataRetriever.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quillmark {

class LinuxDataRetriever : public DataRetriever {
public:
    ~LinuxDataRetriever() override;

    // readCpus of "/proc/cpuinfo".
    bool getCpus(std::vector<CpuInfo*>& cpus) override;
    // One record per entry of the kernel's interface address list (every interface with an
    // IPv4 address, each address label on its own), however many there are. False when the
    // socket cannot be made or a query fails; records of the entries before a failing one stay.
    // `errorText` and `platformFlag` are not used.
    bool getNetworkInterfaces(std::vector<NetworkInterfaceInfo*>& interfaces,
                              std::string& errorText, bool platformFlag) override;
    // Appends the one record "Memory 1"; always true.
    bool getMemories(std::vector<MemoryInfo*>& memories) override;
    // collectFileSystems of the output of "df -Pa" (runDfCommand) and "/etc/mtab". The
    // ProcessingException or TimeoutException of runDfCommand passes through, with nothing
    // appended.
    bool getFileSystems(std::vector<FileSystemInfo*>& fileSystems, std::string& errorText) override;
    // Sets `description` from uname, `uptime` from getUptime (through the virtual table, with
    // `uptimeOption`) and `hostName` from gethostname, each only when its source answers.
    // Always true.
    bool getHostInfo(HostInfo& host, int uptimeOption) override;
    // From sysinfo; `uptimeOption` is not used.
    bool getUptime(std::int64_t& seconds, int uptimeOption) override;
    // readProcessMemory of "/proc/<pid>/statm".
    bool getProcessMemory(std::uint64_t& bytes, std::string& errorText) override;

    // The item texts of DataRetriever.h, in this order (N is the name handed in):
    //   host: description-oid host_information, up-time-oid host_uptime, contact-oid empty,
    //         name-oid host_name, location-oid empty;
    //   memory: total-space-oid memory_size(total), free-space-oid memory_size(free);
    //   processor: load-oid cpu_utilization(N);
    //   file system: total-space-oid, used-space-oid and pused-space-oid of
    //         filesystem_size(N,total|used|pused), then storage-alloc-units 1024;
    //   interface: inbound-errors-oid network_interface_incoming(N,errors), outbound-errors-oid
    //         network_interface_outgoing(N,errors), the same two as inbound-/outbound-traffic-oid
    //         with "bytes", admin-status-oid empty, operational-status-oid empty.
    // Always true. All of an operation's texts are appended or, on std::bad_alloc, none.
    bool getCpuOids(std::vector<std::string>& items, const std::string& cpu) override;
    bool getNetworkInterfaceOids(std::vector<std::string>& items,
                                 const std::string& interfaceName) override;
    bool getMemoryOids(std::vector<std::string>& items) override;
    bool getFileSystemOids(std::vector<std::string>& items, const std::string& fileSystem) override;
    bool getHostOids(std::vector<std::string>& items) override;

    // Always true.
    bool isSupported() override;

    // The parsing steps of the operations above, on sources the caller names; the operations
    // call them on the system's own files. Records are appended as described in DataRetriever.h.

    // One record per line that begins with the key "processor", numbered from 0 in file order;
    // a line that begins with "model name" gives the current record its model (the text after
    // the first ':', without line end and surrounding blanks). Lines are read whole, whatever
    // their length.
    // False, with a WARN line, when the file cannot be opened.
    static bool readCpus(const std::string& cpuInfoPath, std::vector<CpuInfo*>& cpus);

    // The second number of the statm file's first line (resident pages) times the page size,
    // in 64 bits; 0 when the file has no such number. Empties `errorText` first; false, with
    // `errorText` "fopen failed for file [<path>], error = [<reason>]" and `bytes` unchanged,
    // when the file cannot be opened.
    static bool readProcessMemory(const std::string& statmPath, std::uint64_t& bytes,
                                  std::string& errorText);

    // Takes the size (second column, in 1024-byte blocks) of each device from `dfOutput`, a
    // table in the form "df -Pa" prints, header line first; a device listed twice is judged by
    // its first line that has a size (a line of fewer than two fields is skipped). Then appends one
    // record per entry of the mount table `mountTablePath` whose device has a non-zero size, in
    // table order. False, with `errorText` "setmntent failed for <path>." and nothing appended,
    // when the table cannot be opened.
    static bool collectFileSystems(const std::string& dfOutput, const std::string& mountTablePath,
                                   std::vector<FileSystemInfo*>& fileSystems,
                                   std::string& errorText);

protected:
    LinuxDataRetriever(const std::string& osName, const std::string& architecture,
                       ConfigurationFileAccess* configuration);

private:
    friend DataRetriever* createDataRetriever(ConfigurationFileAccess* configuration);
};

}  // namespace quillmark

#endif  // QUILLMARK_LINUXDATARETRIEVER_H
