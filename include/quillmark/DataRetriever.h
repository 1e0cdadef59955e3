// DataRetriever: the source of information about the host the process runs on.
//
// It names the operating system and the architecture, finds the address the host is reached
// at, reads the outcome of the last upgrade, and, through operations each platform implements,
// lists processors, memory, file systems and network interfaces, describes the host and its
// uptime, measures the process's own memory and names the metric items of each resource.
//
// Retrievers are made only by createDataRetriever. The object belongs to whoever called it and
// is deleted through a DataRetriever pointer. The configuration handed in is not owned and must
// outlive the retriever.
//
// Records: every list operation appends records made with `new` to the caller's vector (never
// clearing it first). The appended records belong to the caller, who deletes them, also when
// the operation answers false: records appended before a failure stay in the vector.
//
// Failures are reported by a false result, never by an exception of the retriever's own;
// exceptions raised by the commands an operation runs pass through (named at the operation).
//
// Threads: no operation takes a lock. Apart from clear, no operation changes the retriever: each
// works on its own temporary objects and the caller's arguments, so several threads may call the
// operations of one retriever at once as long as none calls clear.
#ifndef QUILLMARK_DATARETRIEVER_H
#define QUILLMARK_DATARETRIEVER_H

#include "quillmark/CpuInfo.h"
#include "quillmark/FileSystemInfo.h"
#include "quillmark/HostInfo.h"
#include "quillmark/MemoryInfo.h"
#include "quillmark/NetworkInterfaceInfo.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace quillmark {

class ConfigurationFileAccess;

class DataRetriever {
public:
    virtual ~DataRetriever();

    DataRetriever(const DataRetriever&) = delete;
    DataRetriever& operator=(const DataRetriever&) = delete;

    // The configured `ListenIP` when it is not empty. Otherwise the address of the first
    // interface that getNetworkInterfaces (through the virtual table) lists whose address does
    // not begin with "127.", also when the listing failed part-way; "Unknown" when none does.
    virtual std::string getIpAddress();
    // Copies of the names given to the constructor ("redhat" and "64" for every retriever made
    // by createDataRetriever).
    virtual std::string getOsName();
    virtual std::string getArchitecture();
    // Reads "last_upgrade_status.txt" in the temporary-file directory (FileUtils). Assigns `time`
    // from a line carrying "LAST_UPGRADE_TIME:" and `status` from one carrying
    // "LAST_UPGRADE_STATUS:", each only when such a line is read; otherwise the caller's value
    // stays. True when the file holds at least one data line (not empty, not a '#' comment);
    // false when it holds none or cannot be opened.
    virtual bool getLastUpgradeStatus(std::string& time, std::string& status);

    // One record per processor. False when the processor list cannot be read.
    virtual bool getCpus(std::vector<CpuInfo*>& cpus) = 0;
    // One record per interface address. False when the interfaces cannot be queried; records
    // appended before the failure stay. `errorText` and `platformFlag` are for platforms that
    // need them; getIpAddress passes an empty text and true.
    virtual bool getNetworkInterfaces(std::vector<NetworkInterfaceInfo*>& interfaces,
                                      std::string& errorText, bool platformFlag) = 0;
    // The memory as one record.
    virtual bool getMemories(std::vector<MemoryInfo*>& memories) = 0;
    // One record per mounted file system that has a size. False, with `errorText` set, when the
    // mount table cannot be read.
    virtual bool getFileSystems(std::vector<FileSystemInfo*>& fileSystems,
                                std::string& errorText) = 0;
    // Fills the caller's record in place; `uptimeOption` is handed unchanged to getUptime.
    virtual bool getHostInfo(HostInfo& host, int uptimeOption) = 0;
    // Seconds since the host started. False, with `seconds` unchanged, when the kernel does not
    // answer.
    virtual bool getUptime(std::int64_t& seconds, int uptimeOption) = 0;
    // The resident memory of this process in bytes. False, with `bytes` unchanged and
    // `errorText` set, when it cannot be read; `errorText` is emptied otherwise.
    virtual bool getProcessMemory(std::uint64_t& bytes, std::string& errorText) = 0;

    // The item texts naming the metric items of one resource: each operation appends its fixed
    // list of texts to `items`, after whatever the vector holds, and never clears it. A text is
    // one element in text form, "<figure-oid>item(parameters)</figure-oid>" or an empty
    // element. The resource name is inserted exactly as given, not escaped, because it is the
    // parameter of the item's key; a name holding '<' or '&' therefore makes a text that is not
    // well-formed XML, and one holding ',' or ')' a key that cannot be split back into its
    // parameters. True when the texts were appended.
    virtual bool getCpuOids(std::vector<std::string>& items, const std::string& cpu) = 0;
    virtual bool getNetworkInterfaceOids(std::vector<std::string>& items,
                                         const std::string& interfaceName) = 0;
    virtual bool getMemoryOids(std::vector<std::string>& items) = 0;
    virtual bool getFileSystemOids(std::vector<std::string>& items,
                                   const std::string& fileSystem) = 0;
    virtual bool getHostOids(std::vector<std::string>& items) = 0;

    // Whether this platform's retriever answers the operations above.
    virtual bool isSupported() = 0;

    // Empties the entry table. Must not run while another thread uses the retriever.
    virtual void clear();

    // The process-wide retriever set by setInstance; it is not owned by the holder. Throws
    // ProcessingException "Defect:DataRetriever is not initialized." while none is set.
    static DataRetriever* getInstance();
    // Replaces the process-wide retriever without deleting the previous one. Throws
    // ProcessingException "Defect:DataRetriever is not initialized." for a null pointer, which
    // leaves the holder unchanged.
    static void setInstance(DataRetriever* retriever);

protected:
    // Copies the two names; `configuration` is not owned.
    DataRetriever(const std::string& osName, const std::string& architecture,
                  ConfigurationFileAccess* configuration);

    ConfigurationFileAccess* configuration() const { return configuration_; }

    // Free for platforms that keep named values; empty when the object is made.
    std::map<std::string, std::string> entries_;

private:
    const std::string osName_;
    const std::string architecture_;
    ConfigurationFileAccess* const configuration_;

    static std::atomic<DataRetriever*> instance_;
};

// A new retriever for this platform (a LinuxDataRetriever named "redhat" and "64") on
// `configuration`, which is not owned and must outlive it. The caller owns the result and
// deletes it through the DataRetriever pointer. Never null; never throws (beyond allocation).
DataRetriever* createDataRetriever(ConfigurationFileAccess* configuration);

}  // namespace quillmark

#endif  // QUILLMARK_DATARETRIEVER_H
