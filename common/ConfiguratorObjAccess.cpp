#include "quillmark/ConfiguratorObjAccess.h"

#include "quillmark/Exception.h"
#include "quillmark/Log.h"
#include "quillmark/StandardConfigurationFileAccess.h"

#include <zthread/Guard.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <vector>

#include <sys/stat.h>

namespace quillmark {

namespace {

typedef ZThread::Guard<ZThread::FastMutex> LockGuard;
typedef std::vector<std::unique_ptr<ConfigurationFileAccess>> AccessList;

const char* const kDefaultXmlFileName = "../conf/quillmark_agentd.xml";
const char* const kMissingExtension = "Config file extension missing, .conf or .xml is expected - ";

// Every access object initialize made, alive to the end of the process: callers keep the
// pointers getAccess handed out, also after a later initialize or destroyInstance. The list is
// never destroyed, so threads still running during exit find their objects intact. Guarded by
// ConfiguratorObjAccess::lock_.
AccessList& createdAccesses() {
    static AccessList* const accesses = new AccessList();
    return *accesses;
}

}  // namespace

ConfiguratorObjAccess* ConfiguratorObjAccess::instance_ = nullptr;
ZThread::FastMutex ConfiguratorObjAccess::lock_;

ConfiguratorObjAccess::ConfiguratorObjAccess() : access_(nullptr), initialized_(false) {}

ConfiguratorObjAccess::~ConfiguratorObjAccess() = default;

ConfiguratorObjAccess* ConfiguratorObjAccess::getInstance() {
    LockGuard guard(lock_);
    if (instance_ == nullptr) instance_ = new ConfiguratorObjAccess();
    return instance_;
}

void ConfiguratorObjAccess::destroyInstance() {
    ConfiguratorObjAccess* doomed;
    {
        LockGuard guard(lock_);
        doomed = instance_;
        instance_ = nullptr;
    }
    delete doomed;
}

ConfigurationFileAccess* ConfiguratorObjAccess::getAccess() {
    LockGuard guard(lock_);
    return access_;
}

bool ConfiguratorObjAccess::isInitialized() { return initialized_; }

void ConfiguratorObjAccess::initialize(const std::string& path, bool rich) {
    LockGuard guard(lock_);
    if (initialized_) {
        QM_LOG_DEBUG("Already initialized, ignoring the request");
        return;
    }
    const std::string::size_type dot = path.rfind('.');
    if (dot == std::string::npos) QM_THROW(Exception, kMissingExtension + path);
    const std::string extension = path.substr(dot + 1);
    std::unique_ptr<ConfigurationFileAccess> created;
    if (extension == "conf") {
        created.reset(new StandardConfigurationFileAccess(path));
    } else if (extension == "xml") {
        created.reset(new ConfigurationFileAccess(path, rich));
    } else {
        QM_THROW(Exception,
                 "Invalid config file extension, Only .conf or .xml is accepted - " + path);
    }
    AccessList& accesses = createdAccesses();
    accesses.push_back(std::move(created));
    access_ = accesses.back().get();
    initialized_ = access_->ConfigurationFileAccess::isLoaded();
}

bool ConfiguratorObjAccess::backupFile(const std::string& path) {
    const std::string backupName = path + ".old";
    struct stat status;
    // Without the file there is nothing to move, and the earlier backup may be the only copy of
    // the configuration left (a second conversion of a file already moved aside): keep it.
    const bool fileExists = ::lstat(path.c_str(), &status) == 0;
    if (fileExists && ::stat(backupName.c_str(), &status) == 0) {
        std::cout << "Backup file exists, removing it" << std::endl;
        if (std::remove(backupName.c_str()) == 0) {
            std::cout << "Removed backup file" << std::endl;
        } else {
            std::cout << "Failed to remove backup file" << std::endl;
        }
    }
    if (std::rename(path.c_str(), backupName.c_str()) == 0) {
        std::cout << "File backed up successfully" << std::endl;
        return true;
    }
    std::cout << "Error in file back up" << std::endl;
    return false;
}

std::string ConfiguratorObjAccess::getXmlFileName(const std::string& confPath) {
    if (confPath.empty()) return kDefaultXmlFileName;
    const std::string::size_type dot = confPath.rfind('.');
    if (dot == std::string::npos) {
        std::cout << kMissingExtension << confPath << std::endl;
        return kDefaultXmlFileName;
    }
    const std::string prefix = confPath.substr(0, dot);
    std::cout << "name = " << confPath << ", prefix = " << prefix
              << ", extention = " << confPath.substr(dot + 1) << std::endl;
    return prefix + ".xml";
}

}  // namespace quillmark
