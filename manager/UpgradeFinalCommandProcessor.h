// UpgradeFinalCommandProcessor: serves upgrade_final, which unpacks the package file flat into
// the temp directory and runs the upgrade script "quillmark_upgrade.sh" that the package brings,
// as the manager's user and with the temp directory as working directory. The script runs only
// on a package that was unpacked whole. When the request ends, whatever its outcome, the whole
// process works from "/" again.
//
// Ownership: owns the verifier, the file operations and the payload utilities. Threads: one
// thread (the Listener's).
#ifndef QUILLMARK_MANAGER_UPGRADEFINALCOMMANDPROCESSOR_H
#define QUILLMARK_MANAGER_UPGRADEFINALCOMMANDPROCESSOR_H

#include "UpgradeCommandProcessor.h"

#include <string>
#include <vector>

namespace quillmark {

class UpgradeFinalCommandProcessor : public UpgradeCommandProcessor {
public:
    // Takes ownership of all three (none may be null).
    UpgradeFinalCommandProcessor(FileNameVerifier* verifier, FileOperations* fileOperations,
                                 PayloadUtilities* payloadUtilities);
    ~UpgradeFinalCommandProcessor() override;

    // The payload's data, if any, is not read. "SUCCESS" when the package was unpacked and the
    // script exited with 0; otherwise the text of the step that failed: the check of the name
    // and the body (checkRequest; nothing unpacked), the unpacking (nothing or part unpacked, no
    // script run) or the script's (the package is unpacked; the script may have run in part). Never
    // throws for a failed step. Leaves the process's working directory at "/".
    std::string process(std::vector<char>& payload) override;
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_UPGRADEFINALCOMMANDPROCESSOR_H
