#include "UpgradeInitialCommandProcessor.h"

#include "ResultText.h"
#include "quillmark/Log.h"

namespace quillmark {

UpgradeInitialCommandProcessor::UpgradeInitialCommandProcessor(FileNameVerifier* verifier,
                                                               FileOperations* fileOperations,
                                                               PayloadUtilities* payloadUtilities)
    : UpgradeCommandProcessor(verifier, fileOperations, payloadUtilities) {}

UpgradeInitialCommandProcessor::~UpgradeInitialCommandProcessor() = default;

std::string UpgradeInitialCommandProcessor::process(std::vector<char>& payload) {
    std::string fileName;
    std::string result = checkRequest(payload, fileName);
    if (isSuccessText(result)) {
        const DataRange data = payloadUtilities_->getDataRange(payload);
        result = fileOperations_->recreateTempDirectory();
        if (isSuccessText(result)) result = fileOperations_->writeFile(fileName, data);
    }
    QM_LOG_DEBUG("UpgradeInitial result: " << result);
    return result;
}

}  // namespace quillmark
