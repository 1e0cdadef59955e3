// FileOperations: the file work of the configuration and upgrade commands.
//
// Copies the configuration file to and from its backup, and for an upgrade writes and appends
// the package's chunks in the temp directory below the installation root, unpacks the package
// and (in the platform class) recreates the temp directory and runs the package's script.
// Every operation returns a result text: "SUCCESS" or a text that begins "FAILURE! ", and never
// throws for a failed operation.
//
// Paths are worked out anew on every call from the current "ManagerInstallationRoot" setting:
// the temp directory is the root, a "/" unless the root ends in one, and "temp"; the package
// file and the upgrade script "quillmark_upgrade.sh" lie in it. A relative root is taken from
// the working directory the object was created in (the daemon's "/"), so it names the same
// directory after unzipFile has moved the process into the temp directory.
//
// Ownership: the configuration object stays the caller's and must outlive this object. The
// processor that receives a FileOperations owns it. Threads: one thread at a time (the
// Listener's); unzipFile changes the process's working directory to the temp directory.
#ifndef QUILLMARK_MANAGER_FILEOPERATIONS_H
#define QUILLMARK_MANAGER_FILEOPERATIONS_H

#include "PayloadUtilities.h"

#include <string>
#include <utility>
#include <vector>

namespace quillmark {

class ConfigurationFileAccess;

class FileOperations {
public:
    // `configuration` is not owned.
    explicit FileOperations(ConfigurationFileAccess* configuration);
    virtual ~FileOperations();

    FileOperations(const FileOperations&) = delete;
    FileOperations& operator=(const FileOperations&) = delete;

    // Removes the temp directory with its contents and makes it anew (one level: the root must
    // exist). "SUCCESS" or "FAILURE! Unable to create temp directory after previously deleting
    // it".
    virtual std::string recreateTempDirectory() = 0;
    // Makes the upgrade script executable and runs it, waiting for it to end. "SUCCESS",
    // "FAILURE! Unable to make the quillmark upgrade script executable." or "FAILURE! Unable to
    // execute quillmark upgrade script file" (it could not run or ended with a nonzero status).
    virtual std::string runUpgradeScript() = 0;

    // Unpacks the package file `fileName` flat into the temp directory, which stays the
    // process's working directory. "SUCCESS"; "FAILURE! Unable to open target compressed
    // upgrade file"; "FAILURE! Unable to change directory to target directory. Verify that temp
    // directory exists."; "FAILURE! Unable to extract target compressed upgrade file" when an
    // entry could not be extracted whole (the files before it are in place).
    virtual std::string unzipFile(const std::string& fileName);
    // Replaces `target` with a copy of `source` through replaceFileAtomically, so `target` is
    // either its old self or the whole copy; a symlinked target keeps its link. A rewrite in
    // place of `source` that a kill interrupted is finished first (finishInterruptedRewrite,
    // logged), so that the copy never takes a source cut short; when it cannot be finished the
    // copy fails as for a source that does not open. The copy gets the source's mode, and its
    // owner where the process may set it (replaceFileAtomically says what happens otherwise). A
    // target that rename cannot replace (a file bind-mounted on its own) is rewritten in place
    // through its ready file, so that one cut short by a kill is finished at the next start; the
    // source still holds the whole contents. "SUCCESS"; "FAILURE! Unable to open <source>
    // for copy operation." (target untouched); "FAILURE! Unable to open <target> for copy
    // operation." when no file can be created beside the target or given its owner; "FAILURE!
    // Unable to copy <source> to <target>." when a read, write, flush, sync, close or the final
    // rename fails.
    virtual std::string copyFile(const std::string& source, const std::string& target);
    // Writes the bytes of `range` to the package file `fileName` in the temp directory,
    // replacing what it held (created when missing). "SUCCESS", or "FAILURE! Unable to write
    // upgrade file" when it cannot be opened, written or closed; after a failed write or close
    // the package file is empty, so the chunk can be sent again. The range must lie in one
    // vector.
    virtual std::string writeFile(const std::string& fileName, DataRange range);
    // As writeFile, but the bytes go after what the package file already holds; after a failed
    // write or close the package file is cut back to its length before the call.
    virtual std::string appendFile(const std::string& fileName, DataRange range);

    // The setting "ManagerInstallationRoot", "/opt/quillmark/agent_manager" when it is empty; a
    // relative one anchored to the working directory at construction.
    std::string installationRoot();
    // The installation root with "/" and "temp" appended (no trailing slash).
    std::string tempDirectory();
    // The temp directory, "/", and `fileName` unchanged.
    std::string packageFilePath(const std::string& fileName);
    // The temp directory and "/quillmark_upgrade.sh".
    std::string upgradeScriptPath();

protected:
    ConfigurationFileAccess* configuration_;

private:
    // The working directory at construction; empty when it could not be read.
    const std::string workingDirectory_;

    std::string storeChunk(const std::string& fileName, DataRange range, bool append);
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_FILEOPERATIONS_H
