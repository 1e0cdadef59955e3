#include "UpgradeAppendCommandProcessor.h"

#include "ResultText.h"
#include "quillmark/Log.h"

namespace quillmark {

UpgradeAppendCommandProcessor::UpgradeAppendCommandProcessor(FileNameVerifier* verifier,
                                                             FileOperations* fileOperations,
                                                             PayloadUtilities* payloadUtilities)
    : UpgradeCommandProcessor(verifier, fileOperations, payloadUtilities) {}

UpgradeAppendCommandProcessor::~UpgradeAppendCommandProcessor() = default;

std::string UpgradeAppendCommandProcessor::process(std::vector<char>& payload) {
    std::string fileName;
    std::string result = checkRequest(payload, fileName);
    if (isSuccessText(result)) {
        result = fileOperations_->appendFile(fileName, payloadUtilities_->getDataRange(payload));
    }
    QM_LOG_DEBUG("UpgradeAppend result: " << result);
    return result;
}

}  // namespace quillmark
