#include "quillmark/ConfigurationFileAccess.h"
#include "quillmark/ConfiguratorObjAccess.h"
#include "quillmark/DefaultConfigurationKeys.h"
#include "quillmark/LogManager.h"
#include "support/FileModes.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

using namespace quillmark;
using qmtest::fileExists;
using qmtest::readFile;
using qmtest::writeFile;

namespace {

const std::string kCreated = "Created new xml config file [";
const std::string kExample = std::string(QM_SOURCE_DIR) + "/examples/quillmark_agentd.xml";

// The values examples/quillmark_agentd.xml holds, as ".conf" lines: everything else is default.
const char* const kExampleConf =
    "# written by hand\n"
    "ManagerIp=127.0.0.1\n"
    "Alias=agent.ping:agent.ping[]\n"
    "Alias=cpu.load:system.cpu.load[all,avg1]\n"
    "UserParameter=system.uptime.seconds,cut -d. -f1 /proc/uptime\n"
    "UserParameter=system.users.count,who|wc -l\n"
    "PerfCounter=cpu.total,\\Processor(_Total)\\% Processor Time,60\n";

const std::string kFixtures = std::string(QM_SOURCE_DIR) + "/tests/common/fixtures";

// "" when the texts are equal; otherwise the number of the first line in which they differ,
// with both versions of it.
std::string firstDifferentLine(const std::string& expected, const std::string& actual) {
    std::size_t start = 0;
    for (int number = 1;; ++number) {
        const std::size_t expectedEnd = expected.find('\n', start);
        const std::size_t actualEnd = actual.find('\n', start);
        const std::string expectedLine = expected.substr(start, expectedEnd - start);
        const std::string actualLine = actual.substr(start, actualEnd - start);
        if (expectedLine != actualLine || expectedEnd != actualEnd) {
            return "line " + std::to_string(number) + ": expected '" + expectedLine + "', got '" +
                   actualLine + "'";
        }
        if (expectedEnd == std::string::npos) return "";
        start = expectedEnd + 1;
    }
}

struct Prop {
    std::string key, value, description, flags;
};

std::string childText(const TiXmlElement& prop, const char* name) {
    const TiXmlElement* child = prop.FirstChildElement(name);
    const char* text = child != nullptr ? child->GetText() : nullptr;
    return text != nullptr ? text : "";
}

// The props of `section` in document order; `present` tells whether the section element exists.
std::vector<Prop> sectionProps(const TiXmlDocument& document, const char* section,
                               bool* present = nullptr) {
    std::vector<Prop> props;
    const TiXmlElement* element = TiXmlHandle(const_cast<TiXmlDocument*>(&document))
                                      .FirstChildElement("quillmark_agentd_config")
                                      .FirstChildElement(section)
                                      .ToElement();
    if (present != nullptr) *present = element != nullptr;
    if (element == nullptr) return props;
    for (const TiXmlElement* prop = element->FirstChildElement("prop"); prop != nullptr;
         prop = prop->NextSiblingElement()) {
        props.push_back(Prop{childText(*prop, "key"), childText(*prop, "value"),
                             childText(*prop, "description"), childText(*prop, "flags")});
    }
    return props;
}

std::vector<std::string> values(const std::vector<Prop>& props) {
    std::vector<std::string> out;
    for (const Prop& prop : props) out.push_back(prop.value);
    return out;
}

// Where the two trees first differ (node kind, element name, text or comment, child count), or
// "" when they are alike. Declarations are not compared.
std::string firstDifference(const TiXmlNode& a, const TiXmlNode& b, const std::string& where) {
    if (a.Type() != b.Type() || std::string(a.Value()) != b.Value()) {
        return where + ": '" + a.Value() + "' against '" + b.Value() + "'";
    }
    const TiXmlNode* x = a.FirstChild();
    const TiXmlNode* y = b.FirstChild();
    for (int index = 0;; ++index) {
        while (x != nullptr && x->ToDeclaration() != nullptr) x = x->NextSibling();
        while (y != nullptr && y->ToDeclaration() != nullptr) y = y->NextSibling();
        if (x == nullptr || y == nullptr) {
            return x == y ? "" : where + ": a different number of children";
        }
        const std::string inner =
            firstDifference(*x, *y, where + "/" + a.Value() + "[" + std::to_string(index) + "]");
        if (!inner.empty()) return inner;
        x = x->NextSibling();
        y = y->NextSibling();
    }
}

// A fresh singleton per test; its ".conf" or XML access is opened from the test's own files.
class ConfigurationConverterTest : public ::testing::Test {
protected:
    void SetUp() override { ConfiguratorObjAccess::destroyInstance(); }
    void TearDown() override {
        ConfiguratorObjAccess::destroyInstance();
        LogManager::getInstance()->setLogger(nullptr);
    }

    // Opens `path` and converts it; the standard output goes to `printed`.
    bool convert(const std::string& path, const std::string& overrides, std::string& printed) {
        ConfiguratorObjAccess* holder = ConfiguratorObjAccess::getInstance();
        testing::internal::CaptureStdout();
        holder->initialize(path, false);
        const bool converted = holder->convertToXml(path, overrides);
        printed = testing::internal::GetCapturedStdout();
        return converted;
    }

    // Writes agent.conf, converts it and parses the result into `document_`.
    bool convertConf(const std::string& conf, const std::string& overrides = "") {
        writeFile(confPath_, conf);
        const bool converted = convert(confPath_, overrides, printed_);
        EXPECT_TRUE(document_.LoadFile(xmlPath_)) << document_.ErrorDesc();
        return converted;
    }

    std::string valueOf(const std::string& key) {
        for (const Prop& prop : sectionProps(document_, "GeneralProperties")) {
            if (prop.key == key) return prop.value;
        }
        ADD_FAILURE() << "no prop " << key;
        return "";
    }

    qmtest::TempDir dir_;
    const std::string confPath_ = dir_.file("agent.conf");
    const std::string xmlPath_ = dir_.file("agent.xml");
    std::string printed_;
    TiXmlDocument document_;
};

}  // namespace

TEST_F(ConfigurationConverterTest, WritesEveryDefaultKeyAndMovesTheConfAside) {
    writeFile(xmlPath_, "stale");
    writeFile(confPath_ + ".old", "earlier backup");
    ASSERT_TRUE(convertConf("AgentStoreCount=50\n"));

    // Compared in the file's own text: a reader condenses the double blank of one description.
    const std::string text = readFile(xmlPath_);
    const DefaultConfigurationKey* rows = DefaultConfigurationKeys::rows();
    std::string::size_type cursor = 0;
    for (std::size_t i = 0; i < DefaultConfigurationKeys::count(); ++i) {
        SCOPED_TRACE(rows[i].key);
        const std::string block = std::string("\t\t<prop>\n\t\t\t<key>") + rows[i].key +
                                  "</key>\n\t\t\t<value>" + (i == 4 ? "50" : rows[i].defaultValue) +
                                  "</value>\n\t\t\t<description>" + rows[i].description +
                                  "</description>\n\t\t\t<flags>" + std::to_string(rows[i].flags) +
                                  "</flags>\n\t\t</prop>\n";
        cursor = text.find(block, cursor);
        ASSERT_NE(std::string::npos, cursor);
    }
    const std::vector<Prop> general = sectionProps(document_, "GeneralProperties");
    ASSERT_EQ(DefaultConfigurationKeys::count(), general.size());
    EXPECT_EQ("AgentStoreCount", general[4].key);
    const struct {
        const char* key;
        const char* value;
    } defaults[] = {
        {"AgentStoreDurationSeconds", "300"},
        {"ListenIP", ""},
        {"ManagerIp", ""},
        {"MQSeriesBinPath", ""},
        {"Server", ""},
        {"ManagerDebugLevel", "5"},
        {"JmxDelegateEnabled", "false"},
        {"PingPeriod", "120000"},
    };
    for (const auto& expected : defaults) {
        SCOPED_TRACE(expected.key);
        EXPECT_EQ(expected.value, valueOf(expected.key));
    }
    for (const char* list : {"Aliases", "UserParameters", "PerfCounters"}) {
        bool present = true;
        sectionProps(document_, list, &present);
        EXPECT_FALSE(present) << list;
    }

    // The comment stands unindented right before the Jmx delegate block; empty values keep both
    // tags.
    EXPECT_NE(std::string::npos,
              text.find("\t\t</prop>\n<!-- following seven properties are for Jmx Delegate -->\n"
                        "\t\t<prop>\n\t\t\t<key>JmxDelegateHostName</key>"));
    EXPECT_NE(std::string::npos, text.find("<key>ListenIP</key>\n\t\t\t<value></value>\n"));

    EXPECT_FALSE(fileExists(confPath_));
    EXPECT_EQ("AgentStoreCount=50\n", readFile(confPath_ + ".old"));
    EXPECT_EQ("name = " + confPath_ + ", prefix = " + dir_.file("agent") +
                  ", extention = conf\n"
                  "Backup file exists, removing it\nRemoved backup file\n"
                  "File backed up successfully\n" +
                  kCreated + xmlPath_ + "\n",
              printed_);
}

TEST_F(ConfigurationConverterTest, ConfValuesAndOverridesReplaceDefaults) {
    ASSERT_TRUE(
        convertConf("ListenPort=9100\nHostname=host-a\nDebugLevel=abc\nListenIP=\n"
                    "Server=10.0.0.1,10.0.0.2\nStartAgents_DEFAULT=7\n"
                    "AgentStoreCount=10\n",
                    "AgentStoreCount=50|Bogus|ListenPort=9000|"
                    "JmxDelegateParameters=-Da=b -Dc=d|LogFile="));
    const struct {
        const char* key;
        const char* value;
    } cases[] = {
        {"AgentStoreCount", "50"},
        {"ListenPort", "9000"},
        {"Hostname", "host-a"},
        {"DebugLevel", "0"},  // an integer key whose text holds no number
        {"ListenIP", ""},     // set empty in the ".conf": not the default
        {"Server", "10.0.0.1,10.0.0.2"},
        {"StartAgents", "7"},
        {"JmxDelegateParameters", "-Da=b -Dc=d"},
        {"LogFile", ""},
        {"ManagerPort", "8044"},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.key);
        EXPECT_EQ(expected.value, valueOf(expected.key));
    }
    const std::string ignored =
        "Each property/value pair must be separated by equals sign, "
        "ignoring.\n";
    const std::string::size_type first = printed_.find(ignored);
    EXPECT_NE(std::string::npos, first);
    EXPECT_EQ(std::string::npos, printed_.find(ignored, first + 1));
}

TEST_F(ConfigurationConverterTest, ListSectionsJoinTheConfPiecesAgain) {
    struct Case {
        const char* conf;
        const char* section;
        std::vector<std::string> expected;
        const char* warning;
    };
    const Case cases[] = {
        {"UserParameter=check.disk,df -h,x\nUserParameter=load,cat /proc/loadavg\n",
         "UserParameters",
         {"check.disk,df -h,x", "load,cat /proc/loadavg"},
         nullptr},
        {"UserParameter=a,b\nUserParameter=lonely\n",
         "UserParameters",
         {},
         "One of the User Parameter settings is invalid."},
        {"PerfCounter=a,b,c\nPerfCounter=d,e,f\n", "PerfCounters", {"a,b,c", "d,e,f"}, nullptr},
        {"PerfCounter=a,b,c\nPerfCounter=d,e\n",
         "PerfCounters",
         {"a,b,c"},
         "One of the Performance Counter settings is invalid."},
        {"Alias=cpu.load:system.cpu.load[all,avg1]\nAlias=a:b\nAlias=x:y[1,[2,3],4]\n",
         "Aliases",
         {"cpu.load:system.cpu.load[all,avg1]", "a:b", "x:y[1,[2,3],4]"},
         nullptr},
        // A bracket that no later value closes joins nothing; one that is closed joins up to
        // the value that closes it.
        {"Alias=x[,y\nAlias=z\n", "Aliases", {"x[", "y", "z"}, nullptr},
        {"Alias=p[,q,r[s]\nAlias=a[1\nAlias=2]\n",
         "Aliases",
         {"p[", "q", "r[s]", "a[1,2]"},
         nullptr},
        {"Alias=open[\n", "Aliases", {"open["}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.conf);
        ConfiguratorObjAccess::destroyInstance();
        std::string log;
        {
            qmtest::LogCapture capture;
            ASSERT_TRUE(convertConf(c.conf));
            log = capture.text();
        }
        bool present = false;
        const std::vector<Prop> props = sectionProps(document_, c.section, &present);
        EXPECT_TRUE(present);
        EXPECT_EQ(c.expected, values(props));
        for (const Prop& prop : props) EXPECT_EQ("9", prop.flags);
        EXPECT_EQ(c.warning != nullptr,
                  log.find(c.warning != nullptr ? c.warning : "invalid") != std::string::npos);
    }
}

TEST_F(ConfigurationConverterTest, ExampleValuesGiveTheExampleFile) {
    ASSERT_TRUE(convertConf(kExampleConf));
    TiXmlDocument example;
    ASSERT_TRUE(example.LoadFile(kExample));
    EXPECT_EQ("", firstDifference(*example.RootElement(), *document_.RootElement(), ""));
    EXPECT_EQ(
        "Used for substituting long and complex attribute and parameters with a smaller and "
        "simplied one.",
        sectionProps(document_, "Aliases").at(0).description);
}

// An XML access holds its list entries whole, and its file is the output's name: the input is
// moved aside first and the converted file takes its place.
TEST_F(ConfigurationConverterTest, XmlInputIsReplacedAndKeptAsBackup) {
    const std::string original = readFile(kExample);
    writeFile(xmlPath_, original);
    std::string printed;
    ASSERT_TRUE(convert(xmlPath_, "", printed));
    EXPECT_EQ(original, readFile(xmlPath_ + ".old"));
    TiXmlDocument converted, example;
    ASSERT_TRUE(converted.LoadFile(xmlPath_));
    ASSERT_TRUE(example.LoadFile(kExample));
    EXPECT_EQ("", firstDifference(*example.RootElement(), *converted.RootElement(), ""));
}

// The XML file holds what the ".conf" file held, credentials included: it gets that file's mode
// and owner, whatever the umask, also when it takes the input's own name.
TEST_F(ConfigurationConverterTest, TheXmlFileGetsTheModeAndOwnerOfItsInput) {
    qmtest::UmaskScope umask(0);
    for (const std::string& input : {confPath_, xmlPath_}) {
        SCOPED_TRACE(input);
        writeFile(input, input == confPath_ ? "AgentStoreCount=50\n" : readFile(kExample));
        ASSERT_TRUE(qmtest::setModeAndOwner(input, 0600, 65534, 65534));
        std::string printed;
        ASSERT_TRUE(convert(input, "", printed));
        EXPECT_EQ("0600 65534:65534", qmtest::modeAndOwner(xmlPath_));
        ConfiguratorObjAccess::destroyInstance();
    }
}

TEST_F(ConfigurationConverterTest, SpecialCharactersSurviveTheRoundTrip) {
    const struct {
        const char* key;
        const char* value;
    } cases[] = {
        {"Hostname", "<host> & \"quoted\" 'single'"},
        {"AgentServiceStart", "/etc/init.d/agent start </value>]]>"},
        {"LogFile", "/var/log/&amp;&#x41;&lt;.log"},
        // A tab is written as it is and a reader condenses it into a blank, so it is left to the
        // whole-file test.
        {"TempFileLocation", "/tmp/caf\xc3\xa9 dir"},
        {"ListenIP", ""},
    };
    std::string conf =
        "UserParameter=x<y>,echo \"a&b\" | grep '<'\nAlias=p:q[<&>]\n"
        "ManagerPort=9999\n";
    for (const auto& c : cases) conf += std::string(c.key) + "=" + c.value + "\n";
    ASSERT_TRUE(convertConf(conf));

    ConfigurationFileAccess simple(xmlPath_, false);
    ASSERT_TRUE(simple.isLoaded());
    ConfigurationFileAccess rich(xmlPath_, true);
    ASSERT_TRUE(rich.isLoaded());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(c.value, simple.get(c.key));
        EXPECT_EQ(c.value, rich.getEntry(c.key).value);
    }
    std::vector<std::string> listed;
    simple.getValues("UserParameter", listed);
    EXPECT_EQ(std::vector<std::string>{"x<y>,echo \"a&b\" | grep '<'"}, listed);
    simple.getValues("Alias", listed);
    EXPECT_EQ(std::vector<std::string>{"p:q[<&>]"}, listed);
    EXPECT_EQ(9999, simple.getInt("ManagerPort", "8044"));

    const ConfigurationEntry port = rich.getEntry("ManagerPort");
    EXPECT_EQ("9999", port.value);
    EXPECT_EQ("Port on which Agent Manager application will listen.", port.description);
    EXPECT_EQ(18, port.flags);
    EXPECT_EQ(std::string(), rich.get("UserParameter"));  // the rich layout reads no lists
}

// The whole converted file, byte for byte, against a file written out from the layout: only
// '&', '<' and '>' are escaped, the comment line is not indented, and an odd number of user
// parameter values leaves the section's two tag lines.
TEST_F(ConfigurationConverterTest, ConvertedFileIsTheFixedLayoutByteForByte) {
    ASSERT_TRUE(
        convertConf("# converted as a whole\n"
                    "AgentStoreCount=50\n"
                    "DebugLevel=abc\n"
                    "Hostname=host \"a\" & 'b' <c>\tx\r\n"
                    "ListenIP=\n"
                    "JmxDelegatePort=-7\n"
                    "Alias=cpu.load:system.cpu.load[all,avg1]\n"
                    "Alias=x[,y\n"
                    "Alias=z\n"
                    "Alias=p:q[<&>]\n"
                    "UserParameter=lonely\n"
                    "PerfCounter=cpu.total,\\Processor(_Total)\\% Processor Time,60\n",
                    "ListenPort=9000"));
    const std::string expected = readFile(kFixtures + "/converted_agent.xml");
    const std::string written = readFile(xmlPath_);
    EXPECT_EQ("", firstDifferentLine(expected, written));
    EXPECT_TRUE(expected == written);
}

TEST_F(ConfigurationConverterTest, FailuresLeaveTheConfInPlace) {
    writeFile(confPath_, "ListenPort=9100\n");
    std::string printed;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ConfiguratorObjAccess::getInstance()->convertToXml(confPath_, ""));
    EXPECT_EQ("Failed to get ConfigurationFileAccess object.\n",
              testing::internal::GetCapturedStdout());

    // The output name is taken by a directory: nothing is written, nothing moved.
    ASSERT_EQ(0, ::mkdir(xmlPath_.c_str(), 0755));
    EXPECT_FALSE(convert(confPath_, "", printed));
    EXPECT_NE(std::string::npos, printed.find("Failed to write xml config file [" + xmlPath_));
    EXPECT_EQ(std::string::npos, printed.find(kCreated));
    EXPECT_EQ("ListenPort=9100\n", readFile(confPath_));
    EXPECT_FALSE(fileExists(confPath_ + ".old"));
}
