#include "quillmark/ConfiguratorObjAccess.h"
#include "quillmark/Exception.h"
#include "quillmark/StandardConfigurationFileAccess.h"
#include "support/BoundedFifo.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

using namespace quillmark;
using qmtest::fileExists;
using qmtest::readFile;
using qmtest::writeFile;

namespace {

const char* const kMissing = "Config file extension missing, .conf or .xml is expected - ";
const char* const kInvalid = "Invalid config file extension, Only .conf or .xml is accepted - ";

std::string xmlDocument(const std::string& value) {
    return "<quillmark_agentd_config><GeneralProperties><prop><key>ManagerPort</key><value>" +
           value +
           "</value><description>Port</description><flags>18</flags></prop>"
           "</GeneralProperties></quillmark_agentd_config>";
}

// Each test starts from a fresh singleton.
class ConfiguratorObjAccessTest : public ::testing::Test {
protected:
    void SetUp() override { ConfiguratorObjAccess::destroyInstance(); }
    void TearDown() override { ConfiguratorObjAccess::destroyInstance(); }

    // The message of the Exception that initialize throws, or "" when it throws none.
    std::string initializeError(const std::string& path) {
        try {
            ConfiguratorObjAccess::getInstance()->initialize(path, false);
        } catch (const Exception& e) {
            EXPECT_EQ(0, e.getCode());
            return e.getMessage();
        }
        return std::string();
    }

    qmtest::TempDir dir_;
};

}  // namespace

TEST_F(ConfiguratorObjAccessTest, FirstUseFromTwoThreadsMakesOneObject) {
    ConfiguratorObjAccess* seen[2] = {nullptr, nullptr};
    std::thread first([&] { seen[0] = ConfiguratorObjAccess::getInstance(); });
    std::thread second([&] { seen[1] = ConfiguratorObjAccess::getInstance(); });
    first.join();
    second.join();
    ASSERT_NE(nullptr, seen[0]);
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(nullptr, seen[0]->getAccess());
    EXPECT_FALSE(seen[0]->isInitialized());
}

TEST_F(ConfiguratorObjAccessTest, ExtensionChoosesTheAccess) {
    const std::string conf = dir_.file("agent.conf");
    writeFile(conf, "ManagerPort=9000\n");
    const std::string xml = dir_.file("agent.xml");
    writeFile(xml, xmlDocument("9100"));

    struct Case {
        std::string path;
        bool rich;
        bool dotConf;
        std::string port;
    };
    const Case cases[] = {
        {conf, false, true, "9000"},
        {xml, false, false, "9100"},
        {xml, true, false, "9100\nPort\n18"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + (c.rich ? " rich" : " simple"));
        ConfiguratorObjAccess::destroyInstance();
        ConfiguratorObjAccess* holder = ConfiguratorObjAccess::getInstance();
        holder->initialize(c.path, c.rich);
        ConfigurationFileAccess* access = holder->getAccess();
        ASSERT_NE(nullptr, access);
        EXPECT_TRUE(holder->isInitialized());
        EXPECT_EQ(c.dotConf, dynamic_cast<StandardConfigurationFileAccess*>(access) != nullptr);
        EXPECT_EQ(c.port, access->get("ManagerPort"));
    }
}

// A FIFO in either form is a file that does not load, found so at once: the XML access reports
// itself not loaded, the ".conf" access throws.
TEST_F(ConfiguratorObjAccessTest, AFifoDoesNotLoadInEitherForm) {
    const qmtest::BoundedFifo xml(dir_.file("fifo.xml"));
    const qmtest::BoundedFifo conf(dir_.file("fifo.conf"));

    EXPECT_EQ("", initializeError(xml.path()));
    ConfiguratorObjAccess* holder = ConfiguratorObjAccess::getInstance();
    EXPECT_FALSE(holder->isInitialized());
    ASSERT_NE(nullptr, holder->getAccess());
    EXPECT_FALSE(holder->getAccess()->isLoaded());

    ConfiguratorObjAccess::destroyInstance();
    EXPECT_EQ("Failed to read config file " + conf.path(), initializeError(conf.path()));
    EXPECT_EQ(nullptr, ConfiguratorObjAccess::getInstance()->getAccess());

    EXPECT_FALSE(xml.releasedAWaitingReader()) << "the XML load waited for a writer";
    EXPECT_FALSE(conf.releasedAWaitingReader()) << "the .conf load waited for a writer";
}

TEST_F(ConfiguratorObjAccessTest, BadExtensionsThrowAndChangeNothing) {
    const std::string conf = dir_.file("agent.conf");
    const struct {
        std::string path;
        std::string message;
    } cases[] = {
        {dir_.file("agent.CONF"), kInvalid + dir_.file("agent.CONF")},
        {dir_.file("agent."), kInvalid + dir_.file("agent.")},
        {"noextension", kMissing + std::string("noextension")},
        {dir_.file("app.d/agent"), kInvalid + dir_.file("app.d/agent")},
        {conf, "Failed to read config file " + conf},  // missing ".conf" file
    };
    testing::internal::CaptureStdout();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(c.message, initializeError(c.path));
        EXPECT_EQ(nullptr, ConfiguratorObjAccess::getInstance()->getAccess());
        EXPECT_FALSE(ConfiguratorObjAccess::getInstance()->isInitialized());
    }
    testing::internal::GetCapturedStdout();
}

TEST_F(ConfiguratorObjAccessTest, InitializeOnceLoaded) {
    qmtest::LogCapture capture;
    ConfiguratorObjAccess* holder = ConfiguratorObjAccess::getInstance();

    // An XML file that does not load leaves an unloaded access, and the next call runs again.
    holder->initialize(dir_.file("missing.xml"), false);
    ConfigurationFileAccess* unloaded = holder->getAccess();
    ASSERT_NE(nullptr, unloaded);
    EXPECT_FALSE(unloaded->isLoaded());
    EXPECT_FALSE(holder->isInitialized());

    const std::string conf = dir_.file("agent.conf");
    writeFile(conf, "Key=first\n");
    holder->initialize(conf, false);
    ConfigurationFileAccess* loaded = holder->getAccess();
    EXPECT_NE(unloaded, loaded);
    EXPECT_TRUE(holder->isInitialized());
    EXPECT_EQ("", unloaded->get("Key"));  // the replaced object is still alive

    const std::string other = dir_.file("other.conf");
    writeFile(other, "Key=second\n");
    holder->initialize(other, false);
    EXPECT_EQ(loaded, holder->getAccess());
    EXPECT_EQ("first", holder->getAccess()->get("Key"));
    EXPECT_NE(std::string::npos, capture.text().find("Already initialized, ignoring the request"));

    // The access objects outlive the singleton.
    ConfiguratorObjAccess::destroyInstance();
    EXPECT_EQ("first", loaded->get("Key"));
    EXPECT_EQ(nullptr, ConfiguratorObjAccess::getInstance()->getAccess());
}

TEST_F(ConfiguratorObjAccessTest, BackupFileMovesToOld) {
    ConfiguratorObjAccess* holder = ConfiguratorObjAccess::getInstance();
    const std::string conf = dir_.file("a.conf");
    const std::string backup = conf + ".old";

    struct Case {
        const char* name;
        bool source;
        bool oldBackup;
        bool result;
        const char* output;
        const char* backupAfter;
    };
    const Case cases[] = {
        {"first backup", true, false, true, "File backed up successfully\n", "new"},
        {"backup replaced", true, true, true,
         "Backup file exists, removing it\nRemoved backup file\nFile backed up successfully\n",
         "new"},
        // Nothing to move: the earlier backup may be the only copy left, so it stays.
        {"no source", false, true, false, "Error in file back up\n", "earlier"},
        {"nothing at all", false, false, false, "Error in file back up\n", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(conf.c_str());
        std::remove(backup.c_str());
        if (c.source) writeFile(conf, "new");
        if (c.oldBackup) writeFile(backup, "earlier");
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.result, holder->backupFile(conf));
        EXPECT_EQ(c.output, testing::internal::GetCapturedStdout());
        EXPECT_FALSE(fileExists(conf));
        if (c.backupAfter != nullptr) {
            EXPECT_EQ(c.backupAfter, readFile(backup));
        } else {
            EXPECT_FALSE(fileExists(backup));
        }
    }
}

TEST_F(ConfiguratorObjAccessTest, XmlFileName) {
    ConfiguratorObjAccess* holder = ConfiguratorObjAccess::getInstance();
    struct Case {
        const char* path;
        const char* result;
        const char* output;
    };
    const Case cases[] = {
        {"conf/a.conf", "conf/a.xml", "name = conf/a.conf, prefix = conf/a, extention = conf\n"},
        {"a.xml", "a.xml", "name = a.xml, prefix = a, extention = xml\n"},
        {"dir.d/agent", "dir.xml", "name = dir.d/agent, prefix = dir, extention = d/agent\n"},
        {"", "../conf/quillmark_agentd.xml", ""},
        {"agent", "../conf/quillmark_agentd.xml",
         "Config file extension missing, .conf or .xml is expected - agent\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.result, holder->getXmlFileName(c.path));
        EXPECT_EQ(c.output, testing::internal::GetCapturedStdout());
    }
}
