// quillmark_agent_managerd: the command line, then the configuration, the logger and the
// service, which detaches into the daemon and serves until a stop signal ends the process.
#include "CommandLine.h"
#include "Service.h"
#include "ServiceApp.h"
#include "other/RequestMemory.h"
#include "other/ServiceImpl.h"

#include "quillmark/ConfigurationFileAccess.h"
#include "quillmark/Exception.h"
#include "quillmark/FileLogger.h"
#include "quillmark/Log.h"
#include "quillmark/Utils.h"

#include <zthread/Thread.h>

#include <unistd.h>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

int main(int argc, char** argv) {
    using namespace quillmark;
    // Started with a standard descriptor closed, the log file would take its number and then be
    // replaced by the redirection, or become the standard output of every command run.
    Utils::openClosedStandardDescriptors();
    keepLargeAllocationsApart();

    std::string configurationPath = kDefaultConfigurationFile;
    parseArgs(argc, argv, configurationPath);
    if (configurationPath.empty()) {
        std::cout << "Failure...please provide a config file." << std::endl;
        return 0;
    }

    try {
        // The daemon works from "/" and an upgrade moves it into the temp directory for a while,
        // so every relative path (this one, the log file, the PID file) is anchored to the
        // directory the manager was started from: the file loaded now is the one that is
        // served, saved and watched later. A file that does not load leaves an object nobody
        // will use: it goes with the throw.
        std::unique_ptr<ConfigurationFileAccess> candidate(
            new ConfigurationFileAccess(Utils::absolutePath(configurationPath), false));
        if (!candidate->isLoaded()) {
            QM_THROW(Exception, "Cannot access xml Configuration file");
        }
        // From here on the configuration lives for the process; the service and every object
        // that reads a setting keep this pointer.
        ConfigurationFileAccess* configuration = candidate.release();
        Service* service = Service::getInstance();
        service->setConfiguration(configuration);

        const std::string logFile = Utils::absolutePath(configuration->getString(
            "ManagerLogFile", "/opt/quillmark/agent/logs/quillmark_agent_managerd.log"));
        const int level = configuration->getInt("ManagerDebugLevel", "5");
        LogManager::getInstance()->setLogger(new FileLogger(logFile.c_str(), level, 1));

        configuration->dump();
        QM_LOG_INFO("Starting Quillmark Agent Manager service.");
        QM_LOG_DEBUG("Quillmark Agent Manager BuildTag: " << kBuildTag);

        service->setApplication(new ServiceApp(configuration));
        service->start();

        // A stop signal ends the process on the thread that handles it, with status 255.
        while (ServiceImpl::stopInProgress()) ::pause();
        while (service->getState() != Stopped) ZThread::Thread::sleep(1000);
        QM_LOG_INFO("Stopped Quillmark Agent Manager service.");
        return 0;
    } catch (Exception& e) {
        std::cerr << "error in main: " << e << std::endl;
        std::exit(-1);
    }
}
