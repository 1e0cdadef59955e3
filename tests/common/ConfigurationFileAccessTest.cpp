#include "quillmark/ConfigurationFileAccess.h"
#include "support/BoundedFifo.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace quillmark;
using qmtest::readFile;
using qmtest::writeFile;

namespace {

typedef ConfigurationFileAccess::Table Table;
typedef std::vector<std::string> Texts;

const char* const kOpenFailure = "Failed to open completedEntries_xxx file contents";

std::string prop(const std::string& key, const std::string& value) {
    return "<prop><key>" + key + "</key><value>" + value + "</value></prop>";
}

std::string document(const std::string& sections) {
    return "<?xml version=\"1.0\"?><!-- comment --><quillmark_agentd_config>" + sections +
           "</quillmark_agentd_config>";
}

class ConfigurationFileAccessTest : public ::testing::Test {
protected:
    // An access on a file that does not exist: loaded false, empty tables.
    std::unique_ptr<ConfigurationFileAccess> emptyAccess() {
        return std::make_unique<ConfigurationFileAccess>(dir_.file("missing.xml"), false);
    }

    std::unique_ptr<ConfigurationFileAccess> accessOn(const std::string& xml, bool rich) {
        const std::string path = dir_.file(rich ? "rich.xml" : "simple.xml");
        writeFile(path, xml);
        return std::make_unique<ConfigurationFileAccess>(path, rich);
    }

    qmtest::TempDir dir_;
};

}  // namespace

TEST_F(ConfigurationFileAccessTest, NumberAndBooleanLookups) {
    auto config = emptyAccess();
    EXPECT_FALSE(config->isLoaded());
    struct Case {
        const char* text;
        int asInt;
        int withDefault7;
        bool asBool;
    };
    const Case cases[] = {
        {"12abc", 12, 12, true},
        {" -3", -3, -3, false},
        {"4294967297", 1, 1, true},
        {"-2147483649", 2147483647, 2147483647, true},
        {"x", 0, 0, false},
        {"", 0, 7, false},
        {"true", 0, 0, true},
        {"1", 1, 1, true},
        {"2", 2, 2, true},
        {"TRUE", 0, 0, false},
        {"yes", 0, 0, false},
        {"-1", -1, -1, false},
        {"0", 0, 0, false},
        {"false", 0, 0, false},
        {"8044\nPort\n19", 8044, 8044, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("text '") + c.text + "'");
        config->set("k", c.text, true);
        EXPECT_EQ(c.asInt, config->getInt("k"));
        EXPECT_EQ(c.withDefault7, config->getInt("k", "7"));
        EXPECT_EQ(c.asBool, config->getBool("k"));
        EXPECT_EQ(c.asBool, config->getBool("k", !c.asBool));
    }
    EXPECT_EQ(0, config->getInt("missing"));
    EXPECT_EQ(7, config->getInt("missing", "7"));
    EXPECT_FALSE(config->getBool("missing", true));

    config->set("empty", "", false);
    EXPECT_EQ("", config->get("empty"));
    EXPECT_EQ("dflt", config->getString("empty", "dflt"));
    EXPECT_EQ("dflt", config->getString("missing", "dflt"));
    EXPECT_EQ("", config->get("K"));  // keys are case-sensitive
}

TEST_F(ConfigurationFileAccessTest, SeveralEntriesPerKey) {
    auto config = emptyAccess();
    Texts values{"stale"};
    EXPECT_TRUE(config->getValues("k", values));
    EXPECT_TRUE(values.empty());

    config->add("k", "a");
    config->add("k", "b");
    EXPECT_EQ("a", config->get("k"));
    config->getValues("k", values);
    EXPECT_EQ((Texts{"a", "b"}), values);

    config->set("k", "v", true);  // replaces the first entry only
    EXPECT_EQ("b", config->get("k"));
    config->getValues("k", values);
    EXPECT_EQ((Texts{"b", "v"}), values);

    config->set("single", "a", true);
    config->set("single", "v", true);
    config->getValues("single", values);
    EXPECT_EQ((Texts{"v"}), values);

    config->set("single", "w", false);
    EXPECT_EQ("v", config->get("single"));
    config->getValues("single", values);
    EXPECT_EQ((Texts{"v", "w"}), values);

    // A snapshot handed out stays as it was across later updates.
    const std::shared_ptr<const Table> before = config->getProperties();
    config->clear();
    EXPECT_TRUE(config->getProperties()->empty());
    EXPECT_EQ(4u, before->size());
    EXPECT_EQ("b", before->find("k")->second);
}

TEST_F(ConfigurationFileAccessTest, EntriesInThreeParts) {
    auto config = emptyAccess();
    struct Case {
        const char* text;
        const char* value;
        const char* description;
        int flags;
    };
    const Case cases[] = {
        // Exactly two line feeds: cut at them, empty pieces keep their place.
        {"v\nd\n7", "v", "d", 7},
        {"\nPort\n19", "", "Port", 19},
        {"v\n\n19", "v", "", 19},
        {"v\nd\n", "v", "d", 0},
        // Any other number: runs of line feeds cut once, empty pieces dropped.
        {"v\nd\n7\nextra", "v", "d", 7},
        {"v\n\n\nd\n7", "v", "d", 7},
        {"v\nd\n\n5", "v", "d", 5},
        {"\n\n\nv", "v", "", 0},
        {"v\n", "v", "", 0},
        {"plain", "plain", "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("text '") + c.text + "'");
        config->set("k", c.text, true);
        const ConfigurationEntry entry = config->getEntry("k");
        EXPECT_EQ(c.value, entry.value);
        EXPECT_EQ(c.description, entry.description);
        EXPECT_EQ(c.flags, entry.flags);
        const ConfigurationEntry withDefault = config->getEntry("k", "dflt");
        EXPECT_EQ(*c.value ? c.value : "dflt", withDefault.value);
        EXPECT_EQ(c.description, withDefault.description);
    }

    const ConfigurationEntry missing = config->getEntry("missing", "dflt");
    EXPECT_EQ("dflt", missing.value);
    EXPECT_EQ("", missing.description);
    EXPECT_EQ(0, missing.flags);

    config->set("port", "8044x\nPort\n19", true);
    ConfigurationIntEntry number = config->getIntEntry("port");
    EXPECT_EQ(8044, number.value);
    EXPECT_EQ("Port", number.description);
    EXPECT_EQ(19, number.flags);
    config->set("port", "\nPort\n19", true);
    EXPECT_EQ(0, config->getIntEntry("port").value);
    number = config->getIntEntry("port", "8044");
    EXPECT_EQ(8044, number.value);
    EXPECT_EQ(19, number.flags);
    EXPECT_EQ(55, config->getIntEntry("missing", "55").value);
}

TEST_F(ConfigurationFileAccessTest, SimpleLayoutReadsFourSectionsFromFirstProp) {
    const std::string xml = document(
        "<GeneralProperties>"
        "<note><key>BeforeFirstProp</key><value>x</value></note>" +
        prop("ManagerPort", "8044") + prop("Shared", "general") +
        "<item><key>Item</key><value>read like a prop</value></item>"
        "<prop><key>EmptyValue</key><value/></prop>"
        "<prop><key>NoValue</key></prop>"
        "<prop><value>no key</value></prop>"
        "<prop><key></key><value>empty key</value></prop>"
        "<!-- a comment between props -->" +
        prop("Spaced", "  a   b  ") +
        "</GeneralProperties>"
        "<GeneralProperties>" +
        prop("SecondSection", "ignored") +
        "</GeneralProperties>"
        "<UserParameters>" +
        prop("UserParameter", "u1") + prop("Shared", "user") +
        "</UserParameters>"
        "<PerfCounters>" +
        prop("PerfCounter", "p1") +
        "</PerfCounters>"
        "<Aliases>" +
        prop("Alias", "a1") + prop("Alias", "a2") +
        "</Aliases>"
        "<AttributeParameters>" +
        prop("Attribute", "not read") + "</AttributeParameters>");
    auto config = accessOn(xml, false);
    ASSERT_TRUE(config->isLoaded());
    EXPECT_EQ(dir_.file("simple.xml"), config->getFileName());

    const Table expected{
        {"ManagerPort", "8044"}, {"Shared", "general"}, {"Item", "read like a prop"},
        {"EmptyValue", ""},      {"Spaced", "a b"},     {"Alias", "a1"},
        {"Alias", "a2"},         {"PerfCounter", "p1"}, {"UserParameter", "u1"},
        {"Shared", "user"},
    };
    EXPECT_EQ(expected, *config->getProperties());
    EXPECT_EQ("general", config->get("Shared"));
    EXPECT_EQ("dflt", config->getString("EmptyValue", "dflt"));
    EXPECT_TRUE(config->getAttributeParameters()->empty());
}

TEST_F(ConfigurationFileAccessTest, LoadFailuresAndReloads) {
    struct Case {
        const char* name;
        std::string xml;
        bool loaded;
    };
    const Case cases[] = {
        {"other root",
         "<other><GeneralProperties>" + prop("k", "v") + "</GeneralProperties></other>", true},
        {"no usable prop",
         document("<GeneralProperties><prop><key>k</key></prop></GeneralProperties>"), true},
        {"not well-formed", document("<GeneralProperties>"), false},
        {"empty file", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto config = accessOn(c.xml, false);
        EXPECT_EQ(c.loaded, config->isLoaded());
        EXPECT_TRUE(config->getProperties()->empty());
    }
    EXPECT_FALSE(emptyAccess()->isLoaded());
    // A path that names a directory or a device is a file that does not load, not a crash.
    for (const std::string& path : {dir_.path(), std::string("/dev/null")}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(ConfigurationFileAccess(path, false).isLoaded());
    }

    auto config = accessOn(document("<GeneralProperties>" + prop("k", "first") + prop("old", "o") +
                                    "</GeneralProperties>"),
                           false);
    // A document without a usable prop keeps the table; one with props replaces it whole.
    TiXmlDocument keep;
    keep.Parse(document("<Aliases><note/></Aliases>").c_str());
    config->readSimple(TiXmlHandle(&keep));
    EXPECT_EQ("first", config->get("k"));
    TiXmlDocument replace;
    replace.Parse(document("<Aliases>" + prop("k", "second") + "</Aliases>").c_str());
    config->readSimple(TiXmlHandle(&replace));
    EXPECT_EQ((Table{{"k", "second"}}), *config->getProperties());

    // A later load of a broken file reports it and keeps the table.
    writeFile(dir_.file("broken.xml"), "<quillmark_agentd_config>");
    config->load(dir_.file("broken.xml"));
    EXPECT_FALSE(config->isLoaded());
    EXPECT_EQ("second", config->get("k"));
}

TEST_F(ConfigurationFileAccessTest, RichLayout) {
    const std::string xml = document(
        "<GeneralProperties>"
        "<prop><key>ManagerPort</key><value>8044</value><description>Port</description>"
        "<flags>19</flags></prop>"
        "<prop><key>NoDescription</key><value>v</value><flags>3</flags></prop>"
        "<prop><key>NoFlags</key><value>v</value><description/></prop>"
        "<prop><key>EmptyValue</key><value></value><description>d</description>"
        "<flags>9</flags></prop>"
        "<prop><key>NoValue</key><description>d</description></prop>"
        "</GeneralProperties>"
        "<Aliases>" +
        prop("Alias", "not read") +
        "</Aliases>"
        "<AttributeParameters><prop><key>Attr</key><value>x</value><description>a</description>"
        "<flags>9</flags></prop></AttributeParameters>");
    auto config = accessOn(xml, true);
    ASSERT_TRUE(config->isLoaded());

    const Table expected{
        {"ManagerPort", "8044\nPort\n19"},
        {"NoDescription", "v\n\n3"},
        {"NoFlags", "v\n\n"},
        {"EmptyValue", ""},
    };
    EXPECT_EQ(expected, *config->getProperties());
    EXPECT_EQ((Table{{"Attr", "x\na\n9"}}), *config->getAttributeParameters());

    EXPECT_EQ("8044\nPort\n19", config->getString("ManagerPort", "1"));
    EXPECT_EQ(8044, config->getInt("ManagerPort"));
    const ConfigurationEntry port = config->getEntry("ManagerPort");
    EXPECT_EQ("8044", port.value);
    EXPECT_EQ("Port", port.description);
    EXPECT_EQ(19, port.flags);
    EXPECT_EQ(3, config->getEntry("NoDescription").flags);
    // A prop without a value text is stored empty, as in the simple layout: look-ups answer
    // their defaults.
    EXPECT_EQ("dflt", config->getString("EmptyValue", "dflt"));
    const ConfigurationEntry empty = config->getEntry("EmptyValue", "dflt");
    EXPECT_EQ("dflt", empty.value);
    EXPECT_EQ("", empty.description);
    EXPECT_EQ(0, empty.flags);

    config->clear();
    EXPECT_TRUE(config->getProperties()->empty());
    EXPECT_EQ(1u, config->getAttributeParameters()->size());
}

TEST_F(ConfigurationFileAccessTest, DumpLogsEveryEntryInOneMessage) {
    qmtest::LogCapture log;
    auto config = emptyAccess();
    config->dump();
    config->add("b", "");
    config->add("a", "1");
    config->add("a", "2");
    config->dump();
    const std::string text = log.text();
    EXPECT_NE(std::string::npos, text.find("|\tConfiguration keys / values\n\n|"));
    EXPECT_NE(std::string::npos,
              text.find("|\tConfiguration keys / values\nKey a, Value 1\nKey a, Value 2\n"
                        "Key b, Value \n\n"));
}

TEST_F(ConfigurationFileAccessTest, EditionFile) {
    const std::string longLine(3000, 'e');
    struct Case {
        const char* name;
        std::string contents;
        bool result;
        Texts values;
    };
    const Case cases[] = {
        {"two lines", "Enterprise\nsecond\n", true, {"old", "Enterprise"}},
        {"no line feed", "Standard", true, {"old", "Standard"}},
        {"empty first line", "\nsecond\n", true, {"old", ""}},
        {"empty file", "", false, {"old"}},
        {"over-long line", longLine + "\n", true, {"old", longLine.substr(0, 2063)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto config = emptyAccess();
        writeFile(dir_.file("QMEDITION"), c.contents);
        config->set("QMEditionFile", dir_.file("QMEDITION"), true);
        config->add("QMEdition", "old");
        EXPECT_EQ(c.result, config->loadEdition());
        Texts values;
        config->getValues("QMEdition", values);
        EXPECT_EQ(c.values, values);
    }

    qmtest::LogCapture log;
    auto config = emptyAccess();
    config->set("QMEditionFile", dir_.file("no-such-edition"), true);
    EXPECT_FALSE(config->loadEdition());
    EXPECT_TRUE(config->getProperties()->count("QMEdition") == 0);
    EXPECT_NE(std::string::npos, log.text().find(std::string("|ERROR\t|")));
    EXPECT_NE(std::string::npos, log.text().find(kOpenFailure));
}

TEST_F(ConfigurationFileAccessTest, GlobalPropertiesFile) {
    const std::string longLine(5000, 'x');
    struct Case {
        const char* name;
        std::string contents;
        bool result;
        Texts cloudIp, ports;
    };
    const Case cases[] = {
        {"both keys",
         "# comment\ncloud_ip=10.0.0.1\nother=1\nedge_services_http_ports=80,443\n",
         true,
         {"10.0.0.1"},
         {"80,443"}},
        {"blank kept", "cloud_ip = 10.0.0.1\n", false, {" 10.0.0.1"}, {}},
        {"no value", "my.cloud_ip\nedge_services_http_ports==8080=x", true, {""}, {"8080"}},
        {"each line adds", "cloud_ip=a\ncloud_ip=b\n", false, {"a", "b"}, {}},
        {"ports only", "edge_services_http_ports=1\n", false, {}, {"1"}},
        {"over-long lines",
         longLine + "\ncloud_ip=1.2.3.4\n" + longLine + "cloud_ip=5.6.7.8\n" + longLine +
             "\nedge_services_http_ports=9",
         true,
         {"1.2.3.4"},
         {"9"}},
        {"empty file", "", false, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto config = emptyAccess();
        writeFile(dir_.file("global.properties"), c.contents);
        config->set("GlobalPropertiesFile", dir_.file("global.properties"), true);
        EXPECT_EQ(c.result, config->loadGlobalProperties());
        Texts values;
        config->getValues("cloud_ip", values);
        EXPECT_EQ(c.cloudIp, values);
        config->getValues("edge_services_http_ports", values);
        EXPECT_EQ(c.ports, values);
    }

    qmtest::LogCapture log;
    auto config = emptyAccess();
    config->set("GlobalPropertiesFile", dir_.file("no-such-file"), true);
    EXPECT_FALSE(config->loadGlobalProperties());
    EXPECT_EQ(1u, config->getProperties()->size());
    EXPECT_NE(std::string::npos, log.text().find(kOpenFailure));
}

// A side file that is a FIFO counts as one that does not open, rather than wait for a writer;
// so does a configuration file that is one.
TEST_F(ConfigurationFileAccessTest, AFifoDoesNotOpen) {
    const qmtest::BoundedFifo fifo(dir_.file("fifo"));
    qmtest::LogCapture log;
    auto config = emptyAccess();
    config->set("QMEditionFile", fifo.path(), true);
    config->set("GlobalPropertiesFile", fifo.path(), true);
    EXPECT_FALSE(config->loadEdition());
    EXPECT_FALSE(config->loadGlobalProperties());
    EXPECT_EQ(2u, qmtest::occurrences(log.text(), kOpenFailure));
    EXPECT_EQ(0u, config->getProperties()->count("QMEdition"));

    for (const bool rich : {false, true}) {
        SCOPED_TRACE(rich ? "rich" : "simple");
        EXPECT_FALSE(ConfigurationFileAccess(fifo.path(), rich).isLoaded());
    }
    EXPECT_FALSE(fifo.releasedAWaitingReader()) << "an open waited for a writer";
}

TEST_F(ConfigurationFileAccessTest, ExampleConfigurationLoadsInBothLayouts) {
    const std::string path = std::string(QM_SOURCE_DIR) + "/examples/quillmark_agentd.xml";
    ConfigurationFileAccess simple(path, false);
    ASSERT_TRUE(simple.isLoaded());
    EXPECT_EQ(8044, simple.getInt("ManagerPort", "1"));
    EXPECT_EQ("8044", simple.get("ManagerPort"));
    EXPECT_EQ(5, simple.getInt("ManagerDebugLevel", "0"));
    for (const char* key : {"ManagerIp", "ManagerLogFile", "ManagerPidFile",
                            "ManagerInstallationRoot", "AgentServiceStart", "AgentServiceStop"}) {
        SCOPED_TRACE(key);
        EXPECT_NE("", simple.get(key));
        EXPECT_EQ(1u, simple.getProperties()->count(key));
    }
    Texts values;
    for (const char* key : {"Alias", "UserParameter", "PerfCounter"}) {
        SCOPED_TRACE(key);
        simple.getValues(key, values);
        EXPECT_FALSE(values.empty());
    }

    ConfigurationFileAccess rich(path, true);
    ASSERT_TRUE(rich.isLoaded());
    const ConfigurationEntry port = rich.getEntry("ManagerPort");
    EXPECT_EQ("8044", port.value);
    EXPECT_EQ("Port on which Agent Manager application will listen.", port.description);
    EXPECT_EQ(18, port.flags);
    EXPECT_EQ(19, rich.getEntry("ManagerLogFile").flags);
    EXPECT_EQ(0u, rich.getProperties()->count("Alias"));
}

namespace {

// Stands in for a derived access that serves its values from elsewhere.
class FixedAccess : public ConfigurationFileAccess {
public:
    using ConfigurationFileAccess::getEntry;
    std::string get(const std::string&) override { return "42"; }
    ConfigurationEntry getEntry(const std::string&) override {
        ConfigurationEntry entry;
        entry.description = "from override";
        return entry;
    }
    void readSimple(TiXmlHandle) override { ++simpleReads; }
    int simpleReads = 0;
};

}  // namespace

TEST_F(ConfigurationFileAccessTest, DerivedOverridesAreReachedThroughTheVirtualTable) {
    FixedAccess config;
    EXPECT_FALSE(config.isLoaded());
    EXPECT_EQ("", config.getFileName());
    EXPECT_EQ("42", config.getString("any", "dflt"));
    EXPECT_EQ(42, config.getInt("any"));
    EXPECT_EQ(42, config.getInt("any", "7"));
    EXPECT_TRUE(config.getBool("any"));
    EXPECT_EQ("dflt", config.getEntry("any", "dflt").value);
    EXPECT_EQ("from override", config.getIntEntry("any", "3").description);
    EXPECT_EQ(3, config.getIntEntry("any", "3").value);

    writeFile(dir_.file("c.xml"), document(""));
    config.load(dir_.file("c.xml"));
    EXPECT_TRUE(config.isLoaded());
    EXPECT_EQ(1, config.simpleReads);
}

// One thread reloads the table in a loop while others look keys up: every look-up must see one
// whole table, never a mix or a table being rebuilt.
TEST_F(ConfigurationFileAccessTest, LookupsDuringReloadsSeeWholeTables) {
    const int kKeys = 40;
    auto makeDocument = [&](const std::string& value) {
        std::string general;
        for (int i = 0; i < kKeys; ++i) general += prop("K" + std::to_string(i), value);
        auto doc = std::make_unique<TiXmlDocument>();
        doc->Parse(document("<GeneralProperties>" + general + "</GeneralProperties><Aliases>" +
                            prop("Alias", value) + prop("Alias", value) + "</Aliases>")
                       .c_str());
        return doc;
    };
    const std::unique_ptr<TiXmlDocument> docA = makeDocument("a");
    const std::unique_ptr<TiXmlDocument> docB = makeDocument("b");
    auto config = emptyAccess();
    config->readSimple(TiXmlHandle(docA.get()));

    std::atomic<bool> done(false);
    std::atomic<int> faults(0);
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            Texts values;
            while (!done) {
                const std::shared_ptr<const Table> table = config->getProperties();
                const std::string first = table->find("K0")->second;
                std::size_t fromDocument = 0;
                for (const Table::value_type& entry : *table) {
                    if (entry.first == "Extra") continue;
                    ++fromDocument;
                    if (entry.second != first) ++faults;
                }
                if (fromDocument != static_cast<std::size_t>(kKeys) + 2) ++faults;
                const std::string value = config->get("K7");
                if (value != "a" && value != "b") ++faults;
                config->getValues("Alias", values);
                if (values.size() != 2 || values[0] != values[1]) ++faults;
                if (config->getEntry("K3", "x").value.size() != 1) ++faults;
            }
        });
    }
    std::thread writer([&] {
        while (!done) config->set("Extra", "x", true);
    });
    for (int i = 0; i < 400; ++i) {
        config->readSimple(TiXmlHandle((i % 2 ? docA : docB).get()));
    }
    done = true;
    writer.join();
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(0, faults.load());
}
