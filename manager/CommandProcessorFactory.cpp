#include "CommandProcessorFactory.h"

#include "CopyConfigurationFileCommandProcessorDecorator.h"
#include "FileNameVerifier.h"
#include "GetConfigurationCommandProcessor.h"
#include "PayloadUtilities.h"
#include "SaveConfigurationCommandProcessor.h"
#include "UpgradeAppendCommandProcessor.h"
#include "UpgradeFinalCommandProcessor.h"
#include "UpgradeInitialCommandProcessor.h"
#include "ValueElementEncoderDecoder.h"
#include "other/NonWindowsAgentServiceRestarter.h"
#include "other/NonWindowsFileOperations.h"
#include "quillmark/DataRetriever.h"
#include "quillmark/Log.h"

#include <algorithm>

namespace quillmark {

namespace {

// Builds an upgrade processor from its three parts, made in the order verifier, file
// operations, payload utilities; none leaks when a later allocation throws.
template <typename Processor>
CommandProcessor* createUpgradeProcessor(CommandProcessorFactory& factory, RequestForm form) {
    std::unique_ptr<FileNameVerifier> verifier(factory.createFileNameVerifier());
    std::unique_ptr<FileOperations> fileOperations(factory.createFileOperations());
    std::unique_ptr<PayloadUtilities> payloadUtilities(new PayloadUtilities(form));
    std::unique_ptr<Processor> processor(
        new Processor(verifier.get(), fileOperations.get(), payloadUtilities.get()));
    verifier.release();
    fileOperations.release();
    payloadUtilities.release();
    return processor.release();
}

}  // namespace

CommandProcessorFactory::CommandProcessorFactory(ConfigurationFileAccess* configuration)
    : getConfigurationName_("get_configuration"),
      saveConfigurationName_("save_configuration"),
      upgradeInitialName_("upgrade_initial"),
      upgradeAppendName_("upgrade_append"),
      upgradeFinalName_("upgrade_final"),
      configuration_(configuration) {}

CommandProcessorFactory::~CommandProcessorFactory() = default;

bool CommandProcessorFactory::matchesCommand(const std::vector<char>& payload,
                                             const std::string& name) {
    return payload.size() >= name.size() && std::equal(name.begin(), name.end(), payload.begin());
}

CommandProcessor* CommandProcessorFactory::createProcessor(std::vector<char>& payload,
                                                           RequestForm form) {
    if (matchesCommand(payload, upgradeAppendName_)) {
        CommandProcessor* processor =
            createUpgradeProcessor<UpgradeAppendCommandProcessor>(*this, form);
        QM_LOG_DEBUG("UpgradeAppendCommandProcessor created for inbound request.");
        return processor;
    }
    if (matchesCommand(payload, upgradeFinalName_)) {
        CommandProcessor* processor =
            createUpgradeProcessor<UpgradeFinalCommandProcessor>(*this, form);
        QM_LOG_DEBUG("UpgradeFinalCommandProcessor created for inbound request.");
        return processor;
    }
    if (matchesCommand(payload, upgradeInitialName_)) {
        CommandProcessor* processor =
            createUpgradeProcessor<UpgradeInitialCommandProcessor>(*this, form);
        QM_LOG_DEBUG("UpgradeInitialCommandProcessor created for inbound request.");
        return processor;
    }
    if (matchesCommand(payload, getConfigurationName_)) {
        std::unique_ptr<ValueElementEncoderDecoder> encoder(new ValueElementEncoderDecoder());
        CommandProcessor* processor =
            new GetConfigurationCommandProcessor(encoder.get(), configuration_);
        encoder.release();
        QM_LOG_DEBUG("GetConfigurationCommandProcessor created for inbound request.");
        return processor;
    }
    if (matchesCommand(payload, saveConfigurationName_)) {
        std::unique_ptr<ValueElementEncoderDecoder> decoder(new ValueElementEncoderDecoder());
        std::unique_ptr<CommandProcessor> save(
            new SaveConfigurationCommandProcessor(decoder.get(), this, configuration_));
        decoder.release();
        std::unique_ptr<FileOperations> fileOperations(createFileOperations());
        CommandProcessor* processor = new CopyConfigurationFileCommandProcessorDecorator(
            save.get(), configuration_, fileOperations.get());
        save.release();
        fileOperations.release();
        QM_LOG_DEBUG("SaveConfigurationCommandProcessor created for inbound request.");
        return processor;
    }
    QM_LOG_DEBUG("Error! Unable to create CommandProcessor for inbound request.");
    return nullptr;
}

FileOperations* CommandProcessorFactory::createFileOperations() {
    return new NonWindowsFileOperations(configuration_);
}

AgentServiceRestarter* CommandProcessorFactory::createAgentServiceRestarter() {
    return new NonWindowsAgentServiceRestarter(configuration_);
}

FileNameVerifier* CommandProcessorFactory::createFileNameVerifier() {
    if (!dataRetriever_) dataRetriever_.reset(createDataRetriever(configuration_));
    QM_LOG_DEBUG("Filename verification using " << dataRetriever_->getOsName() << ", and "
                                                << dataRetriever_->getArchitecture()
                                                << " for verification.");
    return new FileNameVerifier(dataRetriever_->getOsName(), dataRetriever_->getArchitecture());
}

}  // namespace quillmark
