#include "quillmark/Exception.h"
#include "quillmark/StandardConfigurationFileAccess.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace quillmark;
using qmtest::writeFile;

namespace {

typedef std::vector<std::string> Texts;

class StandardConfigurationFileAccessTest : public ::testing::Test {
protected:
    std::unique_ptr<StandardConfigurationFileAccess> accessOn(const std::string& text) {
        const std::string path = dir_.file("agent.conf");
        writeFile(path, text);
        return std::make_unique<StandardConfigurationFileAccess>(path);
    }

    qmtest::TempDir dir_;
};

}  // namespace

TEST_F(StandardConfigurationFileAccessTest, LookUpsThroughTheInterface) {
    std::unique_ptr<ConfigurationFileAccess> config = accessOn(
        "# agent settings\n"
        "Server=10.0.0.1,10.0.0.2\n"
        "Port_DEFAULT=8042\n"
        "Word=abc\n"
        "Number= 12abc\n"
        "Empty=\n"
        "Home=<ref>Word</ref>/x\n"
        "Flag=1\n");
    EXPECT_TRUE(config->isLoaded());
    EXPECT_EQ("", config->getFileName());

    struct Case {
        const char* key;
        const char* get;
        const char* getString;
        int getInt;
        int getIntDefault;
    };
    const Case cases[] = {
        {"Server", "10.0.0.1,10.0.0.2", "10.0.0.1", 10, 10},
        {"server", "10.0.0.1", "10.0.0.1", 10, 10},  // joining is for the exact key only
        {"Port", "8042", "8042", 8042, 8042},
        {"Word", "abc", "abc", 0, 0},
        {"Number", " 12abc", " 12abc", 12, 12},
        {"Empty", "", "", 0, 0},  // present and empty: not the default
        {"HOME", "abc/x", "abc/x", 0, 0},
        {"Missing", "", "dflt", 0, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(c.get, config->get(c.key));
        EXPECT_EQ(c.getString, config->getString(c.key, "dflt"));
        EXPECT_EQ(c.getInt, config->getInt(c.key));
        EXPECT_EQ(c.getIntDefault, config->getInt(c.key, "100"));
    }
    EXPECT_EQ(1, config->getInt("Missing", "4294967297"));  // strtol, then the low 32 bits
    EXPECT_TRUE(config->getBool("Flag"));
    EXPECT_FALSE(config->getBool("Word"));

    Texts values{"stale"};
    EXPECT_TRUE(config->getValues("Server", values));
    EXPECT_EQ((Texts{"10.0.0.1", "10.0.0.2"}), values);
    EXPECT_TRUE(config->getValues("Port", values));  // no "_DEFAULT" for lists
    EXPECT_TRUE(values.empty());

    // The inherited table stays apart: clear and add do not touch the ".conf" values.
    config->clear();
    config->add("Word", "from-table");
    EXPECT_EQ("abc", config->get("Word"));
    EXPECT_EQ("from-table", config->getEntry("Word").value);
}

TEST_F(StandardConfigurationFileAccessTest, SetStoresServerAsAList) {
    auto config = accessOn("Server=old\nKey=first\n");
    config->set("Server", "a,,b", true);
    EXPECT_EQ("a,b", config->get("Server"));
    Texts values;
    config->getValues("Server", values);
    EXPECT_EQ((Texts{"a", "b"}), values);
    config->set("Server", "c", false);
    EXPECT_EQ("a,b,c", config->get("Server"));
    config->set("Server", "", true);
    EXPECT_EQ("", config->get("Server"));

    config->set("Key", "second", false);
    EXPECT_EQ("first", config->get("Key"));
    config->set("Key", "x,y", true);
    EXPECT_EQ("x,y", config->get("Key"));
    config->set("Blank", "", true);
    EXPECT_EQ("", config->getString("Blank", "dflt"));
}

TEST_F(StandardConfigurationFileAccessTest, LoadingAndFailures) {
    auto config = accessOn("");
    EXPECT_TRUE(config->isLoaded());
    EXPECT_EQ("dflt", config->getString("Any", "dflt"));
    Texts values{"stale"};
    EXPECT_FALSE(config->getValues("Any", values));  // no section yet
    EXPECT_TRUE(values.empty());

    const std::string missing = dir_.file("missing.conf");
    testing::internal::CaptureStdout();
    try {
        StandardConfigurationFileAccess failed(missing);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ("Failed to read config file " + missing, e.getMessage());
        EXPECT_EQ(0, e.getCode());
    }
    EXPECT_EQ("Failure in initialize...please provide a config file.\n",
              testing::internal::GetCapturedStdout());

    // A reload replaces the values; a failed one throws and keeps them.
    const std::string other = dir_.file("other.conf");
    writeFile(other, "New=1\n");
    config->load(other);
    EXPECT_EQ("1", config->get("New"));
    testing::internal::CaptureStdout();
    EXPECT_THROW(config->load(missing), Exception);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ("1", config->get("New"));
}
