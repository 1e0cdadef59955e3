// UpgradeCommandProcessor: what the three upgrade processors (upgrade_initial, upgrade_append,
// upgrade_final) have in common: the objects they own and their first step, taking the
// package's file name from the payload and checking it.
//
// An upgrade body is the command name, "(", the package's file name, ",", the data and ")"
// (upgrade_final: no "," and no data). A raw line's line end is not part of the body
// (PayloadUtilities). No state links the requests of one upgrade; what one request leaves for
// the next is only the files in the temp directory.
//
// Ownership: owns the verifier, the file operations and the payload utilities handed to its
// constructor. Threads: one thread (the Listener's), one request at a time.
#ifndef QUILLMARK_MANAGER_UPGRADECOMMANDPROCESSOR_H
#define QUILLMARK_MANAGER_UPGRADECOMMANDPROCESSOR_H

#include "CommandProcessor.h"
#include "FileNameVerifier.h"
#include "FileOperations.h"
#include "PayloadUtilities.h"

#include <memory>
#include <string>
#include <vector>

namespace quillmark {

class UpgradeCommandProcessor : public CommandProcessor {
public:
    ~UpgradeCommandProcessor() override;

    UpgradeCommandProcessor(const UpgradeCommandProcessor&) = delete;
    UpgradeCommandProcessor& operator=(const UpgradeCommandProcessor&) = delete;

protected:
    // Takes ownership of all three (none may be null).
    UpgradeCommandProcessor(FileNameVerifier* verifier, FileOperations* fileOperations,
                            PayloadUtilities* payloadUtilities);

    // Sets `fileName` to the payload's file name and returns the verifier's result text for it
    // when that is a failure; otherwise refuses a request that is not whole: a raw line cut
    // short ("FAILURE! Upgrade request line has no line end within 2048 bytes.") or a body whose
    // last byte is not the closing ")" ("FAILURE! Upgrade request does not end with ')'."), so
    // that no chunk is stored cut or with a byte of another kind. "SUCCESS" when all hold.
    // Touches no file.
    std::string checkRequest(const std::vector<char>& payload, std::string& fileName) const;

    std::unique_ptr<FileNameVerifier> verifier_;
    std::unique_ptr<FileOperations> fileOperations_;
    std::unique_ptr<PayloadUtilities> payloadUtilities_;
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_UPGRADECOMMANDPROCESSOR_H
