// quillmark_agent_managerd: the command line, then the configuration, the logger and the
// service, which detaches into the daemon and serves until a stop signal ends the process.
#include "CommandLine.h"
#include "CopyConfigurationFileCommandProcessorDecorator.h"
#include "Service.h"
#include "ServiceApp.h"
#include "other/RequestMemory.h"
#include "other/ServiceImpl.h"

#include "quillmark/AtomicFile.h"
#include "quillmark/ConfigurationFileAccess.h"
#include "quillmark/Exception.h"
#include "quillmark/FileLogger.h"
#include "quillmark/Log.h"
#include "quillmark/Utils.h"
#include "quillmark/XmlFile.h"

#include <tinyxml.h>
#include <zthread/Thread.h>

#include <unistd.h>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

using quillmark::InterruptedRewrite;

// What start-up found of one rewrite in place that a kill interrupted, for the log.
typedef std::pair<InterruptedRewrite, std::string> RecoveryNote;

// Finishes the rewrites in place of the configuration file and of its backup that a kill
// interrupted (a save or a restore onto a bind-mounted file), so that the file loaded next holds
// the old or the new document whole. The log is not open yet: what was found is handed back.
std::vector<RecoveryNote> finishInterruptedSaves(const std::string& configurationFile) {
    using quillmark::CopyConfigurationFileCommandProcessorDecorator;
    // Only a document that loads may take the place of the configuration.
    auto loads = [](const std::string& readyPath, std::string& error) {
        TiXmlDocument document;
        if (quillmark::loadXmlFile(readyPath, document)) return true;
        error = "it does not load as an XML document";
        return false;
    };
    std::vector<RecoveryNote> notes;
    std::string report;
    InterruptedRewrite outcome =
        quillmark::finishInterruptedRewrite(configurationFile, report, loads);
    if (outcome != InterruptedRewrite::kNonePending) notes.emplace_back(outcome, report);
    outcome = quillmark::finishInterruptedRewrite(
        CopyConfigurationFileCommandProcessorDecorator::backupPathOf(configurationFile), report);
    if (outcome != InterruptedRewrite::kNonePending) notes.emplace_back(outcome, report);
    return notes;
}

}  // namespace

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
        const std::string configurationFile = Utils::absolutePath(configurationPath);
        const std::vector<RecoveryNote> recoveries = finishInterruptedSaves(configurationFile);
        std::unique_ptr<ConfigurationFileAccess> candidate(
            new ConfigurationFileAccess(configurationFile, false));
        if (!candidate->isLoaded()) {
            for (const RecoveryNote& note : recoveries) std::cerr << note.second << std::endl;
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
        for (const RecoveryNote& note : recoveries) {
            if (note.first == InterruptedRewrite::kFinished) {
                QM_LOG_WARN(note.second);
            } else {
                QM_LOG_ERROR(note.second);
            }
        }

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
