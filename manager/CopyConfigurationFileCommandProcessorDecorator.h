// CopyConfigurationFileCommandProcessorDecorator: keeps a backup around a save of the
// configuration file.
//
// Before the wrapped processor (the save processor) runs, the configuration file is copied to
// its path with ".bak" appended; when the wrapped reply is not a success the backup is copied
// back. The backup stays in place afterwards and is overwritten by the next save. Success means
// the whole text is "SUCCESS": a failure text that merely holds the word (in a path, say) does
// not count. Replies go out unchanged.
//
// Ownership: owns the wrapped processor and the file operations; the configuration object stays
// the caller's. Threads: one thread (the Listener's).
#ifndef QUILLMARK_MANAGER_COPYCONFIGURATIONFILECOMMANDPROCESSORDECORATOR_H
#define QUILLMARK_MANAGER_COPYCONFIGURATIONFILECOMMANDPROCESSORDECORATOR_H

#include "CommandProcessor.h"

#include <memory>
#include <string>
#include <vector>

namespace quillmark {

class ConfigurationFileAccess;
class FileOperations;

class CopyConfigurationFileCommandProcessorDecorator : public CommandProcessor {
public:
    // Takes ownership of `processor` and `fileOperations`; `configuration` is not owned.
    CopyConfigurationFileCommandProcessorDecorator(CommandProcessor* processor,
                                                   ConfigurationFileAccess* configuration,
                                                   FileOperations* fileOperations);
    ~CopyConfigurationFileCommandProcessorDecorator() override;

    CopyConfigurationFileCommandProcessorDecorator(
        const CopyConfigurationFileCommandProcessorDecorator&) = delete;
    CopyConfigurationFileCommandProcessorDecorator& operator=(
        const CopyConfigurationFileCommandProcessorDecorator&) = delete;

    // The backup copy's failure text when the backup cannot be written (the wrapped processor
    // is then not run and the file not touched); otherwise the wrapped processor's reply, after
    // restoring the file from the backup when that reply is not "SUCCESS" (the restore's own
    // outcome is not reported).
    std::string process(std::vector<char>& payload) override;

    // The backup's path: the configuration file's path with ".bak" appended.
    static std::string backupPathOf(const std::string& configurationPath);

private:
    std::unique_ptr<CommandProcessor> processor_;
    ConfigurationFileAccess* configuration_;
    std::unique_ptr<FileOperations> fileOperations_;
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_COPYCONFIGURATIONFILECOMMANDPROCESSORDECORATOR_H
