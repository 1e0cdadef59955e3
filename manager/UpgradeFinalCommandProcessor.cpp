#include "UpgradeFinalCommandProcessor.h"

#include "ResultText.h"
#include "quillmark/Log.h"

namespace quillmark {

UpgradeFinalCommandProcessor::UpgradeFinalCommandProcessor(
    FileNameVerifier* verifier, FileOperations* fileOperations,
    PayloadUtilities* payloadUtilities)
    : UpgradeCommandProcessor(verifier, fileOperations, payloadUtilities) {}

UpgradeFinalCommandProcessor::~UpgradeFinalCommandProcessor() = default;

std::string UpgradeFinalCommandProcessor::process(std::vector<char>& payload) {
    std::string fileName;
    std::string result = takeVerifiedFileName(payload, fileName);
    // The script runs as the manager's user (root), so it must not run on a package that was
    // unpacked only in part.
    if (isSuccessText(result)) result = fileOperations_->unzipFile(fileName);
    if (isSuccessText(result)) result = fileOperations_->runUpgradeScript();
    QM_LOG_DEBUG("UpgradeFinal result: " << result);
    return result;
}

}  // namespace quillmark
