#include "UpgradeCommandProcessor.h"

#include "ResultText.h"

namespace quillmark {

UpgradeCommandProcessor::UpgradeCommandProcessor(FileNameVerifier* verifier,
                                                 FileOperations* fileOperations,
                                                 PayloadUtilities* payloadUtilities)
    : verifier_(verifier), fileOperations_(fileOperations), payloadUtilities_(payloadUtilities) {}

UpgradeCommandProcessor::~UpgradeCommandProcessor() = default;

std::string UpgradeCommandProcessor::checkRequest(const std::vector<char>& payload,
                                                  std::string& fileName) const {
    fileName = payloadUtilities_->getFileName(payload);
    const std::string verified = verifier_->verifyFileName(fileName);
    if (!isSuccessText(verified)) return verified;
    if (payloadUtilities_->isCutShort()) {
        return failureText("Upgrade request line has no line end within 2048 bytes.");
    }
    if (!payloadUtilities_->endsWithClosingParenthesis(payload)) {
        return failureText("Upgrade request does not end with ')'.");
    }
    return kSuccessText;
}

}  // namespace quillmark
