#include "FileOperations.h"

#include "ResultText.h"
#include "quillmark/AtomicFile.h"
#include "quillmark/ConfigurationFileAccess.h"
#include "quillmark/FileHandle.h"
#include "quillmark/Log.h"
#include "quillmark/SystemError.h"
#include "quillmark/Utils.h"
#include "unzip/UnzipArchive.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <memory>
#include <system_error>

namespace quillmark {

namespace {

const char kInstallationRootKey[] = "ManagerInstallationRoot";
const char kDefaultInstallationRoot[] = "/opt/quillmark/agent_manager";
const char kTempDirectoryName[] = "temp";
const char kUpgradeScriptName[] = "quillmark_upgrade.sh";
const std::size_t kCopyBufferSize = 64 * 1024;

// Gives the file at `path` back its earlier `length`, dropping what a failed write added.
void cutBack(const std::string& path, long length) {
    std::error_code error;
    std::filesystem::resize_file(path, static_cast<std::uintmax_t>(length), error);
    if (error) {
        QM_LOG_ERROR(
            systemErrorText("truncate " + path + " to " + std::to_string(length), error.value()));
    }
}

}  // namespace

FileOperations::FileOperations(ConfigurationFileAccess* configuration)
    : configuration_(configuration), workingDirectory_(Utils::workingDirectory()) {}

FileOperations::~FileOperations() = default;

std::string FileOperations::installationRoot() {
    const std::string root =
        configuration_->getString(kInstallationRootKey, kDefaultInstallationRoot);
    // unzipFile moves the process into the temp directory before the script's path is needed.
    return Utils::pathFrom(workingDirectory_, root);
}

std::string FileOperations::tempDirectory() {
    std::string root = installationRoot();
    if (root.empty() || root.back() != '/') root += '/';
    return root + kTempDirectoryName;
}

std::string FileOperations::packageFilePath(const std::string& fileName) {
    return tempDirectory() + "/" + fileName;
}

std::string FileOperations::upgradeScriptPath() {
    return tempDirectory() + "/" + kUpgradeScriptName;
}

std::string FileOperations::unzipFile(const std::string& fileName) {
    const std::string archive = packageFilePath(fileName);
    const std::string target = tempDirectory();
    std::string result;
    switch (extractArchiveToDirectory(archive.c_str(), target.c_str())) {
    case kExtractionDone: result = kSuccessText; break;
    case kArchiveNotOpened:
        result = failureText("Unable to open target compressed upgrade file");
        break;
    case kTargetDirectoryNotEntered:
        result = failureText(
            "Unable to change directory to target directory. Verify that temp directory "
            "exists.");
        break;
    default: result = failureText("Unable to extract target compressed upgrade file"); break;
    }
    QM_LOG_DEBUG("UnzipFile result: " << result);
    return result;
}

std::string FileOperations::copyFile(const std::string& source, const std::string& target) {
    // The source may itself be a file that an interrupted rewrite in place left cut: it is
    // copied only once it holds its whole new contents.
    std::string recovery;
    switch (finishInterruptedRewrite(source, recovery)) {
    case InterruptedRewrite::kNonePending: break;
    case InterruptedRewrite::kFinished: QM_LOG_WARN(recovery); break;
    case InterruptedRewrite::kRefused: QM_LOG_ERROR(recovery); break;
    case InterruptedRewrite::kFailed:
        QM_LOG_ERROR(recovery);
        return failureText("Unable to open " + source + " for copy operation.");
    }
    // A FIFO or a socket in place of the source counts as a source that does not open.
    FileHandle in(openFileForReading(source, ReadableKinds::kAllButFifoOrSocket));
    if (!in) {
        QM_LOG_ERROR(systemErrorText("open " + source, errno));
        return failureText("Unable to open " + source + " for copy operation.");
    }

    bool targetOpened = false;
    std::string readError;
    auto copyContents = [&](std::FILE* out) {
        targetOpened = true;
        std::vector<char> buffer(kCopyBufferSize);
        for (;;) {
            const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), in.get());
            if (got > 0 && std::fwrite(buffer.data(), 1, got, out) != got) return false;
            if (got < buffer.size()) break;
        }
        if (std::ferror(in.get())) {
            readError = systemErrorText("read " + source, errno);
            return false;
        }
        return true;
    };

    // The source stays whole whatever happens to the target, so the target may be rewritten in
    // place when it cannot be renamed over (a bind-mounted file).
    ReplacementOptions options;
    options.metadataFrom = source;
    options.rewriteInPlaceWhenRenameRefused = true;
    std::string error;
    if (replaceFileAtomically(target, copyContents, error, options)) return kSuccessText;
    QM_LOG_ERROR("Copy of " << source << " to " << target
                            << " failed: " << (readError.empty() ? error : readError));
    if (!targetOpened) return failureText("Unable to open " + target + " for copy operation.");
    return failureText("Unable to copy " + source + " to " + target + ".");
}

std::string FileOperations::writeFile(const std::string& fileName, DataRange range) {
    return storeChunk(fileName, range, false);
}

std::string FileOperations::appendFile(const std::string& fileName, DataRange range) {
    return storeChunk(fileName, range, true);
}

std::string FileOperations::storeChunk(const std::string& fileName, DataRange range, bool append) {
    const std::string path = packageFilePath(fileName);
    const std::string failure = failureText("Unable to write upgrade file");
    FileHandle file(openRegularFileForWriting(path, append));
    if (!file) {
        QM_LOG_ERROR(systemErrorText("open " + path, errno));
        return failure;
    }
    // A client retries a failed chunk, so a failure must leave the package as it was before
    // the request (empty after a truncating open) rather than holding part of the chunk.
    if (std::fseek(file.get(), 0, SEEK_END) != 0) {
        QM_LOG_ERROR(systemErrorText("seek " + path, errno));
        return failure;
    }
    const long lengthBefore = std::ftell(file.get());
    if (lengthBefore < 0) {
        QM_LOG_ERROR(systemErrorText("seek " + path, errno));
        return failure;
    }
    const std::size_t length = static_cast<std::size_t>(std::distance(range.first, range.second));
    if (length > 0 && std::fwrite(&*range.first, 1, length, file.get()) != length) {
        QM_LOG_ERROR(systemErrorText("write " + path, errno));
        // The close may still flush buffered bytes, so the package is cut only after it.
        file.reset();
        cutBack(path, lengthBefore);
        return failure;
    }
    // A full disk often shows only when the buffer is flushed at the close.
    if (std::fclose(file.release()) != 0) {
        QM_LOG_ERROR(systemErrorText("close " + path, errno));
        cutBack(path, lengthBefore);
        return failure;
    }
    return kSuccessText;
}

}  // namespace quillmark
