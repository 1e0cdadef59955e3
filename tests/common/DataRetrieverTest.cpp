#include "quillmark/DataRetriever.h"

#include "quillmark/ConfigurationFileAccess.h"
#include "quillmark/Exception.h"
#include "quillmark/LinuxDataRetriever.h"
#include "support/BoundedFifo.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace quillmark;
using qmtest::writeFile;

namespace {

// A configuration object with no file behind it; tests set the keys they need.
class Configuration {
public:
    Configuration() : access_("/nonexistent/quillmark_agentd.xml", false) {}
    void set(const std::string& key, const std::string& value) { access_.set(key, value, true); }
    ConfigurationFileAccess* get() { return &access_; }

private:
    ConfigurationFileAccess access_;
};

// Lists interfaces with the given addresses instead of asking the kernel.
class ListedInterfaces : public LinuxDataRetriever {
public:
    ListedInterfaces(ConfigurationFileAccess* configuration, std::vector<std::string> addresses,
                     bool result)
        : LinuxDataRetriever("redhat", "64", configuration),
          addresses_(std::move(addresses)),
          result_(result) {}

    bool getNetworkInterfaces(std::vector<NetworkInterfaceInfo*>& interfaces,
                              std::string& errorText, bool platformFlag) override {
        ++calls;
        sawEmptyErrorText = errorText.empty();
        sawFlag = platformFlag;
        for (const std::string& address : addresses_) {
            NetworkInterfaceInfo* record = new NetworkInterfaceInfo;
            record->address = address;
            interfaces.push_back(record);
        }
        return result_;
    }

    int calls = 0;
    bool sawEmptyErrorText = false;
    bool sawFlag = false;

private:
    const std::vector<std::string> addresses_;
    const bool result_;
};

TEST(DataRetriever, FactoryMakesTheLinuxRetrieverForRedhat64) {
    Configuration configuration;
    std::unique_ptr<DataRetriever> retriever(createDataRetriever(configuration.get()));
    ASSERT_NE(nullptr, retriever);
    EXPECT_NE(nullptr, dynamic_cast<LinuxDataRetriever*>(retriever.get()));
    EXPECT_EQ("redhat", retriever->getOsName());
    EXPECT_EQ("64", retriever->getArchitecture());
    EXPECT_TRUE(retriever->isSupported());
    retriever->clear();
    EXPECT_EQ("redhat", retriever->getOsName());
}

TEST(DataRetriever, IpAddressIsTheConfiguredListenIpWithoutListingInterfaces) {
    Configuration configuration;
    configuration.set("ListenIP", " 10.0.0.7 ");
    ListedInterfaces retriever(configuration.get(), {"192.168.1.5"}, true);
    EXPECT_EQ(" 10.0.0.7 ", retriever.getIpAddress());
    EXPECT_EQ(0, retriever.calls);
}

TEST(DataRetriever, IpAddressIsTheFirstInterfaceOutsideLoopback) {
    struct Case {
        const char* name;
        std::vector<std::string> addresses;
        bool listingResult;
        const char* expected;
    };
    const Case cases[] = {
        {"loopback first", {"127.0.0.1", "192.168.1.5", "10.0.0.1"}, true, "192.168.1.5"},
        {"only loopback", {"127.0.0.1", "127.0.1.1"}, true, "Unknown"},
        {"no interfaces", {}, true, "Unknown"},
        {"listing failed part-way", {"127.0.0.1", "10.1.1.1"}, false, "10.1.1.1"},
        {"listing failed at once", {}, false, "Unknown"},
        {"127 only as prefix counts", {"1.127.0.1"}, true, "1.127.0.1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Configuration configuration;
        // Records the listing appends are deleted by getIpAddress; the sanitizer build would
        // report any it kept.
        ListedInterfaces retriever(configuration.get(), c.addresses, c.listingResult);
        EXPECT_EQ(c.expected, retriever.getIpAddress());
        EXPECT_EQ(1, retriever.calls);
        EXPECT_TRUE(retriever.sawEmptyErrorText);
        EXPECT_TRUE(retriever.sawFlag);
    }
}

class LastUpgradeStatus : public ::testing::Test {
protected:
    LastUpgradeStatus() { configuration_.set("TempFileLocation", dir_.path()); }

    std::unique_ptr<DataRetriever> retriever() {
        return std::unique_ptr<DataRetriever>(createDataRetriever(configuration_.get()));
    }
    void writeStatus(const std::string& contents) {
        writeFile(dir_.file("last_upgrade_status.txt"), contents);
    }

    qmtest::TempDir dir_;
    Configuration configuration_;
};

TEST_F(LastUpgradeStatus, ReadsTheValuesAfterTheirKeys) {
    struct Case {
        const char* name;
        std::string contents;
        bool result;
        const char* time;
        const char* status;
    };
    const Case cases[] = {
        {"both keys", "LAST_UPGRADE_TIME:  t1 \nLAST_UPGRADE_STATUS:ok\n", true, "t1", "ok"},
        {"comments and empty lines only", "# LAST_UPGRADE_TIME: c\n\n   \n  # x\n", false, "before",
         "before"},
        {"empty file", "", false, "before", "before"},
        {"data line without keys", "hello\n", true, "before", "before"},
        {"leading blanks trimmed first", "   LAST_UPGRADE_TIME:x", true, "x", "before"},
        {"both keys on one line", "LAST_UPGRADE_TIME:abcLAST_UPGRADE_STATUS:def", true,
         "abcLAST_UPGRADE_STATUS:def", "cLAST_UPGRADE_STATUS:def"},
        {"carriage return stays", "LAST_UPGRADE_STATUS: ok\r\n", true, "before", "ok\r"},
        {"tab is not a blank", "LAST_UPGRADE_STATUS:\tok", true, "before", "\tok"},
        {"later lines win", "LAST_UPGRADE_TIME:1\nLAST_UPGRADE_TIME:2\n", true, "2", "before"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeStatus(c.contents);
        std::string time = "before";
        std::string status = "before";
        EXPECT_EQ(c.result, retriever()->getLastUpgradeStatus(time, status));
        EXPECT_EQ(c.time, time);
        EXPECT_EQ(c.status, status);
    }
}

TEST_F(LastUpgradeStatus, ReadsALongLineWhole) {
    const std::string value(10000, 'v');
    writeStatus("# " + std::string(9000, 'c') + "\nLAST_UPGRADE_STATUS:" + value + "\n");
    std::string time;
    std::string status;
    EXPECT_TRUE(retriever()->getLastUpgradeStatus(time, status));
    EXPECT_EQ(value, status);
    EXPECT_EQ("", time);
}

TEST_F(LastUpgradeStatus, MissingFileAnswersFalseAndSaysSo) {
    qmtest::LogCapture log;
    std::string time = "t";
    std::string status = "s";
    EXPECT_FALSE(retriever()->getLastUpgradeStatus(time, status));
    EXPECT_EQ("t", time);
    EXPECT_EQ("s", status);
    const std::string text = log.text();
    EXPECT_NE(std::string::npos,
              text.find("File does not exist:" + dir_.path() + "/last_upgrade_status.txt"))
        << text;
    EXPECT_NE(std::string::npos, text.find("DataRetriever")) << text;
}

// A FIFO in place of the status file counts as a missing one, rather than wait for a writer.
TEST_F(LastUpgradeStatus, AFifoAnswersFalse) {
    const qmtest::BoundedFifo fifo(dir_.file("last_upgrade_status.txt"));
    std::string time = "t";
    std::string status = "s";
    EXPECT_FALSE(retriever()->getLastUpgradeStatus(time, status));
    EXPECT_EQ("t", time);
    EXPECT_EQ("s", status);
    EXPECT_FALSE(fifo.releasedAWaitingReader()) << "the read waited for a writer";
}

TEST_F(LastUpgradeStatus, LogsWhereEachKeyWasFound) {
    writeStatus("# note\n  LAST_UPGRADE_TIME: 2024 \nLAST_UPGRADE_STATUS:done\n");
    qmtest::LogCapture log;
    std::string time;
    std::string status;
    EXPECT_TRUE(retriever()->getLastUpgradeStatus(time, status));
    const std::string text = log.text();
    for (const char* line : {"This is comment, ignoring", "Found LAST_UPGRADE_TIME at: 0",
                             "Result = 2024", "Found LAST_UPGRADE_STATUS at: 0", "Result = done"}) {
        SCOPED_TRACE(line);
        EXPECT_NE(std::string::npos, text.find(line)) << text;
    }
}

// The holder is process-wide and cannot be emptied again, so its whole life is one test.
TEST(DataRetriever, InstanceHolderRefusesNullAndHandsOutWhatWasSet) {
    auto expectDefect = [](const std::function<void()>& action) {
        try {
            action();
            ADD_FAILURE() << "no exception";
        } catch (const ProcessingException& e) {
            EXPECT_STREQ("Defect:DataRetriever is not initialized.", e.getMessage());
            EXPECT_NE(std::string::npos, e.getFile().find("DataRetriever")) << e.getFile();
        }
    };
    expectDefect([] { DataRetriever::getInstance(); });
    expectDefect([] { DataRetriever::setInstance(nullptr); });
    expectDefect([] { DataRetriever::getInstance(); });

    Configuration configuration;
    std::unique_ptr<DataRetriever> first(createDataRetriever(configuration.get()));
    std::unique_ptr<DataRetriever> second(createDataRetriever(configuration.get()));
    DataRetriever::setInstance(first.get());
    EXPECT_EQ(first.get(), DataRetriever::getInstance());
    expectDefect([] { DataRetriever::setInstance(nullptr); });
    EXPECT_EQ(first.get(), DataRetriever::getInstance());
    DataRetriever::setInstance(second.get());
    EXPECT_EQ(second.get(), DataRetriever::getInstance());
}

}  // namespace
