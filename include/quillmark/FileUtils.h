// FileUtils: places file names in the temporary-file directory, the configuration's
// `TempFileLocation` (default "/opt/quillmark/agent/cache").
//
// The directory is read once, by the constructor; the object does not keep the configuration.
// After construction nothing changes, so any thread may use one object.
#ifndef QUILLMARK_FILEUTILS_H
#define QUILLMARK_FILEUTILS_H

#include <string>

namespace quillmark {

class ConfigurationFileAccess;

class FileUtils {
public:
    // Reads `TempFileLocation` from `configuration` (not owned, used only during the call; null
    // means no configuration, so the default). A '/' is appended when the text holds a '/' and
    // does not already end in one; a text without any '/' ("cache", "") is kept as it is, so
    // file names are then joined to it directly.
    explicit FileUtils(ConfigurationFileAccess* configuration);
    virtual ~FileUtils();

    // Appends the temporary-file directory and then `fileName` to `path`; callers pass an
    // empty text. Never throws (beyond allocation).
    void getTempPath(const std::string& fileName, std::string& path) const;

    // The directory in the form file names are joined to.
    const std::string& getTempDirectory() const { return tempDirectory_; }

private:
    std::string tempDirectory_;
};

}  // namespace quillmark

#endif  // QUILLMARK_FILEUTILS_H
