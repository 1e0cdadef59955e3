#include "quillmark/FileUtils.h"

#include "quillmark/ConfigurationFileAccess.h"

namespace quillmark {

FileUtils::FileUtils(ConfigurationFileAccess* configuration) {
    const std::string defaultLocation = "/opt/quillmark/agent/cache";
    tempDirectory_ = configuration != nullptr
                         ? configuration->getString("TempFileLocation", defaultLocation)
                         : defaultLocation;
    const std::string::size_type lastSlash = tempDirectory_.rfind('/');
    if (lastSlash != std::string::npos && lastSlash + 1 != tempDirectory_.size()) {
        tempDirectory_ += '/';
    }
}

FileUtils::~FileUtils() = default;

void FileUtils::getTempPath(const std::string& fileName, std::string& path) const {
    path += tempDirectory_;
    path += fileName;
}

}  // namespace quillmark
