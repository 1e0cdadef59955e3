// UpgradeInitialCommandProcessor: serves upgrade_initial, the first request of an upgrade: it
// makes the temp directory afresh (removing the one an earlier upgrade left) and writes the
// first chunk of the package there.
//
// Ownership: owns the verifier, the file operations and the payload utilities. Threads: one
// thread (the Listener's).
#ifndef QUILLMARK_MANAGER_UPGRADEINITIALCOMMANDPROCESSOR_H
#define QUILLMARK_MANAGER_UPGRADEINITIALCOMMANDPROCESSOR_H

#include "UpgradeCommandProcessor.h"

#include <string>
#include <vector>

namespace quillmark {

class UpgradeInitialCommandProcessor : public UpgradeCommandProcessor {
public:
    // Takes ownership of all three (none may be null).
    UpgradeInitialCommandProcessor(FileNameVerifier* verifier, FileOperations* fileOperations,
                                   PayloadUtilities* payloadUtilities);
    ~UpgradeInitialCommandProcessor() override;

    // "SUCCESS" once the temp directory is new and holds the package file with the data of
    // the payload (possibly none); otherwise the text of the step that failed: the check of the
    // name and the body (checkRequest; the temp directory is then left as it was),
    // "FAILURE! Unable to create temp directory after previously deleting it" (nothing
    // written) or "FAILURE! Unable to write upgrade file". Never throws for a failed step.
    std::string process(std::vector<char>& payload) override;
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_UPGRADEINITIALCOMMANDPROCESSOR_H
