#include "NonWindowsFileOperations.h"

#include "ResultText.h"
#include "ShellQuote.h"
#include "other/ShellCommand.h"
#include "quillmark/Log.h"

namespace quillmark {

namespace {

// A path as one word of a command line. A relative path that begins with "-" gets "./" in
// front, so that the command cannot read it as options.
std::string commandWord(const std::string& path) {
    return shellQuote(!path.empty() && path[0] == '-' ? "./" + path : path);
}

int runCommand(const std::string& command) {
    QM_LOG_DEBUG("Running command: " << command);
    return runShellCommand(command);
}

}  // namespace

NonWindowsFileOperations::NonWindowsFileOperations(ConfigurationFileAccess* configuration)
    : FileOperations(configuration) {}

NonWindowsFileOperations::~NonWindowsFileOperations() = default;

std::string NonWindowsFileOperations::recreateTempDirectory() {
    const std::string temp = commandWord(tempDirectory());
    runCommand("rm -rf " + temp);
    if (runCommand("mkdir " + temp) != 0) {
        return failureText("Unable to create temp directory after previously deleting it");
    }
    return kSuccessText;
}

std::string NonWindowsFileOperations::runUpgradeScript() {
    const std::string script = commandWord(upgradeScriptPath());
    if (runCommand("chmod 755 " + script) != 0) {
        return failureText("Unable to make the quillmark upgrade script executable.");
    }
    if (runCommand(script) != 0) {
        return failureText("Unable to execute quillmark upgrade script file");
    }
    return kSuccessText;
}

}  // namespace quillmark
