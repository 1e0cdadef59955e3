#include "CopyConfigurationFileCommandProcessorDecorator.h"

#include "FileOperations.h"
#include "ResultText.h"

#include "quillmark/ConfigurationFileAccess.h"

namespace quillmark {

CopyConfigurationFileCommandProcessorDecorator::CopyConfigurationFileCommandProcessorDecorator(
    CommandProcessor* processor, ConfigurationFileAccess* configuration,
    FileOperations* fileOperations)
    : processor_(processor), configuration_(configuration), fileOperations_(fileOperations) {}

CopyConfigurationFileCommandProcessorDecorator::~CopyConfigurationFileCommandProcessorDecorator() {}

std::string CopyConfigurationFileCommandProcessorDecorator::process(std::vector<char>& payload) {
    const std::string path = configuration_->getFileName();
    const std::string backup = backupPathOf(path);
    const std::string copied = fileOperations_->copyFile(path, backup);
    if (!isSuccessText(copied)) return copied;
    const std::string reply = processor_->process(payload);
    if (!isSuccessText(reply)) fileOperations_->copyFile(backup, path);
    return reply;
}

std::string CopyConfigurationFileCommandProcessorDecorator::backupPathOf(
    const std::string& configurationPath) {
    return configurationPath + ".bak";
}

}  // namespace quillmark
