#include "quillmark/DataRetriever.h"

#include "quillmark/ConfigurationFileAccess.h"
#include "quillmark/Exception.h"
#include "quillmark/FileHandle.h"
#include "quillmark/FileUtils.h"
#include "quillmark/Log.h"
#include "quillmark/Utils.h"

#include <sys/types.h>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace quillmark {

namespace {

const char kStatusFileName[] = "last_upgrade_status.txt";
const char kTimeKey[] = "LAST_UPGRADE_TIME:";
const char kStatusKey[] = "LAST_UPGRADE_STATUS:";
const std::string::size_type kTimeKeyLength = sizeof kTimeKey - 1;
const std::string::size_type kStatusKeyLength = sizeof kStatusKey - 1;

// Deletes the records of a vector this file filled for itself.
class OwnedInterfaces {
public:
    OwnedInterfaces() = default;
    ~OwnedInterfaces() {
        for (NetworkInterfaceInfo* record : records) delete record;
    }
    OwnedInterfaces(const OwnedInterfaces&) = delete;
    OwnedInterfaces& operator=(const OwnedInterfaces&) = delete;

    std::vector<NetworkInterfaceInfo*> records;
};

}  // namespace

std::atomic<DataRetriever*> DataRetriever::instance_{nullptr};

DataRetriever::DataRetriever(const std::string& osName, const std::string& architecture,
                             ConfigurationFileAccess* configuration)
    : osName_(osName), architecture_(architecture), configuration_(configuration) {}

DataRetriever::~DataRetriever() = default;

std::string DataRetriever::getIpAddress() {
    if (configuration_ != nullptr) {
        const std::string listenIp = configuration_->getString("ListenIP", "");
        if (!listenIp.empty()) return listenIp;
    }

    OwnedInterfaces interfaces;
    std::string errorText;
    // A listing that fails part-way still offers the interfaces found before the failure.
    getNetworkInterfaces(interfaces.records, errorText, true);
    QM_LOG_DEBUG("Number of Interfaces = " << interfaces.records.size());
    for (const NetworkInterfaceInfo* record : interfaces.records) {
        if (!Utils::startsWith(record->address, "127.")) return record->address;
    }
    return "Unknown";
}

std::string DataRetriever::getOsName() { return osName_; }

std::string DataRetriever::getArchitecture() { return architecture_; }

bool DataRetriever::getLastUpgradeStatus(std::string& time, std::string& status) {
    std::string path;
    FileUtils(configuration_).getTempPath(kStatusFileName, path);

    FileHandle file(openFileForReading(path, ReadableKinds::kAllButFifoOrSocket));
    if (!file) {
        QM_LOG_DEBUG("File does not exist:" << path);
        return false;
    }

    bool found = false;
    std::string line;
    while (readLine(file.get(), line)) {
        line = Utils::trim(line);
        if (line.empty()) continue;
        if (line[0] == '#') {
            QM_LOG_DEBUG("This is comment, ignoring");
            continue;
        }
        // The keys stand at the start of their lines, so each value is what follows the key's
        // length from the line start. A line holding a key is at least that long.
        const std::string::size_type timeAt = line.find(kTimeKey);
        if (timeAt != std::string::npos) {
            QM_LOG_DEBUG("Found LAST_UPGRADE_TIME at: " << timeAt);
            time = Utils::trim(line.substr(kTimeKeyLength));
            QM_LOG_DEBUG("Result = " << time);
        }
        const std::string::size_type statusAt = line.find(kStatusKey);
        if (statusAt != std::string::npos) {
            QM_LOG_DEBUG("Found LAST_UPGRADE_STATUS at: " << statusAt);
            status = Utils::trim(line.substr(kStatusKeyLength));
            QM_LOG_DEBUG("Result = " << status);
        }
        found = true;
    }
    return found;
}

void DataRetriever::clear() { entries_.clear(); }

DataRetriever* DataRetriever::getInstance() {
    DataRetriever* retriever = instance_.load();
    if (retriever == nullptr) {
        QM_THROW(ProcessingException, "Defect:DataRetriever is not initialized.");
    }
    return retriever;
}

void DataRetriever::setInstance(DataRetriever* retriever) {
    if (retriever == nullptr) {
        QM_THROW(ProcessingException, "Defect:DataRetriever is not initialized.");
    }
    QM_LOG_DEBUG("Initializing the instance");
    instance_.store(retriever);
}

}  // namespace quillmark
