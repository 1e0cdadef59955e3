#include "quillmark/FileUtils.h"

#include "quillmark/ConfigurationFileAccess.h"

#include <gtest/gtest.h>

#include <string>

using namespace quillmark;

namespace {

// Answers TempFileLocation with a fixed text, the empty text included, which the XML access
// would replace by the default.
class FixedLocation : public ConfigurationFileAccess {
public:
    explicit FixedLocation(const std::string& location) : location_(location) {}
    std::string getString(const std::string& key, const std::string& defaultValue) override {
        return key == "TempFileLocation" ? location_ : defaultValue;
    }

private:
    const std::string location_;
};

TEST(FileUtils, JoinsFileNamesToTheConfiguredLocation) {
    struct Case {
        const char* location;
        const char* path;
    };
    const Case cases[] = {
        {"/var/tmp", "/var/tmp/last_upgrade_status.txt"},
        {"/var/tmp/", "/var/tmp/last_upgrade_status.txt"},
        {"relative/dir", "relative/dir/last_upgrade_status.txt"},
        {"/", "/last_upgrade_status.txt"},
        {"cache", "cachelast_upgrade_status.txt"},
        {"", "last_upgrade_status.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("location [") + c.location + "]");
        FixedLocation configuration(c.location);
        const FileUtils files(&configuration);
        std::string path;
        files.getTempPath("last_upgrade_status.txt", path);
        EXPECT_EQ(c.path, path);
    }
}

TEST(FileUtils, AppendsToThePathItIsGiven) {
    FixedLocation configuration("/var/tmp");
    const FileUtils files(&configuration);
    std::string path = "prefix:";
    files.getTempPath("a.txt", path);
    EXPECT_EQ("prefix:/var/tmp/a.txt", path);
}

TEST(FileUtils, UsesTheDefaultLocationWhenNoneIsConfigured) {
    ConfigurationFileAccess empty("/nonexistent/quillmark_agentd.xml", false);
    EXPECT_EQ("/opt/quillmark/agent/cache/", FileUtils(&empty).getTempDirectory());
    EXPECT_EQ("/opt/quillmark/agent/cache/", FileUtils(nullptr).getTempDirectory());
}

}  // namespace
