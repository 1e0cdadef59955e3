#include "UpgradeCommandProcessor.h"

namespace quillmark {

UpgradeCommandProcessor::UpgradeCommandProcessor(FileNameVerifier* verifier,
                                                 FileOperations* fileOperations,
                                                 PayloadUtilities* payloadUtilities)
    : verifier_(verifier), fileOperations_(fileOperations), payloadUtilities_(payloadUtilities) {}

UpgradeCommandProcessor::~UpgradeCommandProcessor() = default;

std::string UpgradeCommandProcessor::takeVerifiedFileName(const std::vector<char>& payload,
                                                          std::string& fileName) const {
    fileName = payloadUtilities_->getFileName(payload);
    return verifier_->verifyFileName(fileName);
}

}  // namespace quillmark
