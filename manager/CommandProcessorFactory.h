// CommandProcessorFactory: turns a request payload into the command processor that serves it,
// and makes the file operations, agent service restarters and upgrade file-name verifiers that
// the processors and the workers use.
//
// A command is recognised by the first bytes of the request body alone, case-sensitively:
// "upgrade_append", "upgrade_final", "upgrade_initial", "get_configuration",
// "save_configuration" (tested in that order; none is a prefix of another). Nothing after the
// name is examined, so "upgrade_finalize(...)" is an upgrade_final request.
//
// Ownership: the configuration object is not owned and must outlive the factory. Every object
// a create operation returns belongs to the caller. The factory owns the one host-information
// retriever it makes on the first upgrade request and keeps it for its lifetime.
//
// Threads: no lock. createAgentServiceRestarter may be called from any thread; the other create
// operations touch the retriever and must all be called from one thread (the Listener's).
#ifndef QUILLMARK_MANAGER_COMMANDPROCESSORFACTORY_H
#define QUILLMARK_MANAGER_COMMANDPROCESSORFACTORY_H

#include "RequestForm.h"

#include <memory>
#include <string>
#include <vector>

namespace quillmark {

class AgentServiceRestarter;
class CommandProcessor;
class ConfigurationFileAccess;
class DataRetriever;
class FileNameVerifier;
class FileOperations;

class CommandProcessorFactory {
public:
    // `configuration` is not owned. No retriever is made yet.
    explicit CommandProcessorFactory(ConfigurationFileAccess* configuration);
    virtual ~CommandProcessorFactory();

    CommandProcessorFactory(const CommandProcessorFactory&) = delete;
    CommandProcessorFactory& operator=(const CommandProcessorFactory&) = delete;

    // A new processor for the command the payload's body begins with, owned by the caller; null
    // when the body begins with none of the names (the caller then replies "FAILURE! Unable to
    // create processor for the given request"). `form` is how the request arrived; the upgrade
    // processors read their bodies by it. The payload is only read, never beyond its end.
    // Throws nothing of its own.
    CommandProcessor* createProcessor(std::vector<char>& payload,
                                      RequestForm form = RequestForm::kFramed);

    // A new NonWindowsFileOperations on the configuration; owned by the caller.
    FileOperations* createFileOperations();
    // A new NonWindowsAgentServiceRestarter on the configuration; owned by the caller.
    AgentServiceRestarter* createAgentServiceRestarter();
    // A new FileNameVerifier for the host's operating-system and architecture names ("redhat"
    // and "64"); owned by the caller. The first call makes the factory's retriever.
    FileNameVerifier* createFileNameVerifier();

    // The retriever the factory owns; null until the first file-name verifier is made.
    DataRetriever* getDataRetriever() const { return dataRetriever_.get(); }

private:
    // Whether the payload holds at least the name's bytes and begins with them.
    static bool matchesCommand(const std::vector<char>& payload, const std::string& name);

    const std::string getConfigurationName_;
    const std::string saveConfigurationName_;
    const std::string upgradeInitialName_;
    const std::string upgradeAppendName_;
    const std::string upgradeFinalName_;
    ConfigurationFileAccess* configuration_;
    std::unique_ptr<DataRetriever> dataRetriever_;
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_COMMANDPROCESSORFACTORY_H
