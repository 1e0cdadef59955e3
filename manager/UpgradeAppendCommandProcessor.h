// UpgradeAppendCommandProcessor: serves upgrade_append, which adds the next chunk of the package
// to the end of the package file in the temp directory (created when there is none; the order
// and completeness of the chunks are the client's business).
//
// Ownership: owns the verifier, the file operations and the payload utilities. Threads: one
// thread (the Listener's).
#ifndef QUILLMARK_MANAGER_UPGRADEAPPENDCOMMANDPROCESSOR_H
#define QUILLMARK_MANAGER_UPGRADEAPPENDCOMMANDPROCESSOR_H

#include "UpgradeCommandProcessor.h"

#include <string>
#include <vector>

namespace quillmark {

class UpgradeAppendCommandProcessor : public UpgradeCommandProcessor {
public:
    // Takes ownership of all three (none may be null).
    UpgradeAppendCommandProcessor(FileNameVerifier* verifier, FileOperations* fileOperations,
                                  PayloadUtilities* payloadUtilities);
    ~UpgradeAppendCommandProcessor() override;

    // "SUCCESS" once the data of the payload is at the end of the package file; otherwise the
    // text of the check of the name and the body (checkRequest; nothing appended) or "FAILURE!
    // Unable to write upgrade file". Never throws for a failed step.
    std::string process(std::vector<char>& payload) override;
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_UPGRADEAPPENDCOMMANDPROCESSOR_H
