// NonWindowsFileOperations: the file operations whose work goes through the shell on Unix-like
// hosts, recreating the temp directory and running the upgrade script.
//
// Every path put into a command line is one shell word (shellQuote), since the installation
// root comes from a setting that a client can change remotely.
//
// Ownership and threads as FileOperations: the configuration object stays the caller's; one
// thread at a time. The commands run through the shell (runShellCommand) and block the calling
// thread.
#ifndef QUILLMARK_MANAGER_NONWINDOWSFILEOPERATIONS_H
#define QUILLMARK_MANAGER_NONWINDOWSFILEOPERATIONS_H

#include "FileOperations.h"

#include <string>

namespace quillmark {

class NonWindowsFileOperations : public FileOperations {
public:
    // `configuration` is not owned.
    explicit NonWindowsFileOperations(ConfigurationFileAccess* configuration);
    ~NonWindowsFileOperations() override;

    // Runs "rm -rf <temp>" (its outcome not used), then "mkdir <temp>". "SUCCESS" when mkdir
    // succeeds, else "FAILURE! Unable to create temp directory after previously deleting it".
    std::string recreateTempDirectory() override;
    // Runs "chmod 755 <script>", then the script itself with the process's environment, standard
    // output and error and working directory. "SUCCESS" when the script exits with 0; otherwise
    // "FAILURE! Unable to make the quillmark upgrade script executable." (chmod failed, for
    // instance because there is no script) or "FAILURE! Unable to execute quillmark upgrade
    // script file".
    std::string runUpgradeScript() override;
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_NONWINDOWSFILEOPERATIONS_H
