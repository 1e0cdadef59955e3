#include "UpgradeFinalCommandProcessor.h"

#include "ResultText.h"
#include "quillmark/Log.h"
#include "quillmark/SystemError.h"

#include <unistd.h>
#include <cerrno>

namespace quillmark {

UpgradeFinalCommandProcessor::UpgradeFinalCommandProcessor(FileNameVerifier* verifier,
                                                           FileOperations* fileOperations,
                                                           PayloadUtilities* payloadUtilities)
    : UpgradeCommandProcessor(verifier, fileOperations, payloadUtilities) {}

UpgradeFinalCommandProcessor::~UpgradeFinalCommandProcessor() = default;

namespace {

// Moves the process back to "/" when the request ends, however it ends: the unpacking leaves
// the process in the temp directory, which the next upgrade_initial deletes, and a relative
// installation root must name the same directory on every request.
class ReturnToRootDirectory {
public:
    ReturnToRootDirectory() = default;
    ~ReturnToRootDirectory() {
        if (::chdir("/") != 0) {
            const int error = errno;
            QM_LOG_ERROR(systemErrorText("chdir /", error));
        }
    }
    ReturnToRootDirectory(const ReturnToRootDirectory&) = delete;
    ReturnToRootDirectory& operator=(const ReturnToRootDirectory&) = delete;
};

}  // namespace

std::string UpgradeFinalCommandProcessor::process(std::vector<char>& payload) {
    ReturnToRootDirectory returnToRoot;
    std::string fileName;
    std::string result = checkRequest(payload, fileName);
    // The script runs as the manager's user (root), so it must not run on a package that was
    // unpacked only in part.
    if (isSuccessText(result)) result = fileOperations_->unzipFile(fileName);
    if (isSuccessText(result)) result = fileOperations_->runUpgradeScript();
    QM_LOG_DEBUG("UpgradeFinal result: " << result);
    return result;
}

}  // namespace quillmark
