#include "FileNameVerifier.h"

#include "ResultText.h"
#include "quillmark/Log.h"

namespace quillmark {

namespace {

const char kPackageExtension[] = ".qmp";

// The name is appended to the temp directory's path; anything that would make that path leave
// the directory, or cut it short at the C boundary, is refused.
bool isPlainDirectoryEntry(const std::string& fileName) {
    if (fileName == "." || fileName == "..") return false;
    return fileName.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

}  // namespace

FileNameVerifier::FileNameVerifier(const std::string& osName, const std::string& architecture)
    : osMarker_("_" + osName + "_"), architectureMarker_("_" + architecture + "_") {}

FileNameVerifier::~FileNameVerifier() {}

std::string FileNameVerifier::verifyFileName(const std::string& fileName) const {
    std::string result;
    if (fileName.find(osMarker_) == std::string::npos) {
        result = failureText("Unable to verify operating system of upgrade file name.");
    } else if (fileName.find(architectureMarker_) == std::string::npos) {
        result = failureText("Unable to verify architecture of upgrade file name.");
    } else if (fileName.find(kPackageExtension) == std::string::npos) {
        result = failureText("Incorrect upgrade file extension.");
    } else if (!isPlainDirectoryEntry(fileName)) {
        result = failureText("Unable to verify characters of upgrade file name.");
    } else {
        result = kSuccessText;
    }
    QM_LOG_DEBUG("VerifyFileName result: " << result);
    return result;
}

}  // namespace quillmark
