#include "CopyConfigurationFileCommandProcessorDecorator.h"
#include "FileOperations.h"
#include "GetConfigurationCommandProcessor.h"
#include "ResultText.h"
#include "SaveConfigurationCommandProcessor.h"
#include "ValueElementEncoderDecoder.h"
#include "other/NonWindowsFileOperations.h"

#include "quillmark/ConfigurationFileAccess.h"
#include "support/BoundedFifo.h"
#include "support/FileModes.h"
#include "support/ScopedMount.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using qmtest::namesIn;

using namespace quillmark;

namespace {

const char kParseFailure[] = "FAILURE! Unable to parse the received xml payload.";
const char kSaveFailure[] = "FAILURE! Unable to save configuration xml file";

const std::string kConfiguration =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!-- agent configuration -->\n"
    "<quillmark_agentd_config>\n"
    "\t<GeneralProperties>\n"
    "\t\t<prop>\n"
    "\t\t\t<key>ManagerPort</key>\n"
    "\t\t\t<value>8044</value>\n"
    "\t\t\t<description>Port of the manager.</description>\n"
    "\t\t\t<flags>19</flags>\n"
    "\t\t</prop>\n"
    "\t\t<prop>\n"
    "\t\t\t<key>AgentServiceStart</key>\n"
    "\t\t\t<value>/etc/init.d/quillmark_agentd start &amp; echo \"ok\" &lt;now&gt;</value>\n"
    "\t\t</prop>\n"
    "\t\t<prop><key>Greeting</key><value>h\xC3\xA9llo</value></prop>\n"
    "\t</GeneralProperties>\n"
    "\t<Aliases><prop><key>Alias</key><value>a1</value></prop></Aliases>\n"
    "\t<PerfCounters><prop><key>Counter</key><value>cpu</value></prop></PerfCounters>\n"
    "\t<UserParameters><prop><key>User</key><value>u1</value></prop></UserParameters>\n"
    "\t<AttributeParameters><prop><key>Attr</key><value>plain</value></prop>"
    "</AttributeParameters>\n"
    "</quillmark_agentd_config>\n";

std::vector<char> payloadOf(const std::string& body) {
    std::vector<char> payload(body.begin(), body.end());
    payload.push_back('\0');
    payload.shrink_to_fit();
    return payload;
}

// The document as TinyXML reads it from `path`, in its stream form.
std::string documentIn(const std::string& path) {
    TiXmlDocument document(path);
    EXPECT_TRUE(document.LoadFile()) << path;
    std::ostringstream out;
    out << document;
    return out.str();
}

// A configuration document with the given settings, each value in Base64 as on the wire.
std::string wireDocument(const std::vector<std::pair<std::string, std::string>>& settings) {
    std::string text = "<quillmark_agentd_config><GeneralProperties>";
    for (const auto& setting : settings) {
        text += "<prop><key>" + setting.first + "</key><value>" +
                ValueElementEncoderDecoder::base64Encode(setting.second) + "</value></prop>";
    }
    return text + "</GeneralProperties></quillmark_agentd_config>";
}

class ConfigurationCommandsTest : public ::testing::Test {
protected:
    void SetUp() override { useConfiguration(dir_.file("agent.xml")); }

    void useConfiguration(const std::string& path) {
        path_ = path;
        qmtest::writeFile(path_, kConfiguration);
        configuration_.reset(new ConfigurationFileAccess(path_, false));
        ASSERT_TRUE(configuration_->isLoaded());
    }

    std::string get(const std::string& body) {
        GetConfigurationCommandProcessor processor(new ValueElementEncoderDecoder,
                                                   configuration_.get());
        std::vector<char> payload = payloadOf(body);
        return processor.process(payload);
    }

    // Through the backup decorator, as the command dispatch builds it.
    std::string save(const std::string& body) {
        CopyConfigurationFileCommandProcessorDecorator decorator(
            new SaveConfigurationCommandProcessor(new ValueElementEncoderDecoder, nullptr,
                                                  configuration_.get()),
            configuration_.get(), new NonWindowsFileOperations(configuration_.get()));
        std::vector<char> payload = payloadOf(body);
        return decorator.process(payload);
    }

    qmtest::TempDir dir_;
    std::string path_;
    std::unique_ptr<ConfigurationFileAccess> configuration_;
};

}  // namespace

TEST_F(ConfigurationCommandsTest, GetRepliesWithTheDocumentAndEncodedValues) {
    const std::string expected =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><!-- agent configuration -->"
        "<quillmark_agentd_config><GeneralProperties>"
        "<prop><key>ManagerPort</key><value>ODA0NA==</value>"
        "<description>Port of the manager.</description><flags>19</flags></prop>"
        "<prop><key>AgentServiceStart</key><value>L2V0Yy9pbml0LmQvcXVpbGxtYXJrX2FnZW50ZCBzdGFy"
        "dCAmIGVjaG8gIm9rIiA8bm93Pg==</value></prop>"
        "<prop><key>Greeting</key><value>aMOpbGxv</value></prop></GeneralProperties>"
        "<Aliases><prop><key>Alias</key><value>YTE=</value></prop></Aliases>"
        "<PerfCounters><prop><key>Counter</key><value>Y3B1</value></prop></PerfCounters>"
        "<UserParameters><prop><key>User</key><value>dTE=</value></prop></UserParameters>"
        "<AttributeParameters><prop><key>Attr</key><value>plain</value></prop>"
        "</AttributeParameters></quillmark_agentd_config>";
    EXPECT_EQ(expected, get("get_configuration"));
    EXPECT_EQ(expected, get(std::string("get_configuration(any\0bytes", 26)));
    EXPECT_EQ(kConfiguration, qmtest::readFile(path_));
}

TEST_F(ConfigurationCommandsTest, GetRepliesWhatTheStreamOperatorPrints) {
    // The shipped example: declaration, comments, descriptions with entities and line breaks.
    qmtest::writeFile(
        path_, qmtest::readFile(std::string(QM_SOURCE_DIR) + "/examples/quillmark_agentd.xml"));
    TiXmlDocument document;
    ASSERT_TRUE(document.LoadFile(path_.c_str()));
    ValueElementEncoderDecoder().encode(document);
    std::ostringstream printed;
    printed << document;
    EXPECT_EQ(printed.str(), get("get_configuration"));
}

TEST_F(ConfigurationCommandsTest, GetFailsOnAFileThatDoesNotLoad) {
    const std::string reply =
        "FAILURE! Unable to load the following xml configuration file: " + path_;
    qmtest::writeFile(path_, "<quillmark_agentd_config><GeneralProperties>");
    EXPECT_EQ(reply, get("get_configuration"));
    ASSERT_EQ(0, ::unlink(path_.c_str()));
    EXPECT_EQ(reply, get("get_configuration"));
    ASSERT_EQ(0, ::mkdir(path_.c_str(), 0700));
    EXPECT_EQ(reply, get("get_configuration"));
}

// A FIFO in place of the file is answered at once: get as a file that does not load, save as a
// file that cannot be backed up; the FIFO stays, and no backup is written.
TEST_F(ConfigurationCommandsTest, AFifoInPlaceOfTheFileFailsAtOnce) {
    ASSERT_EQ(0, ::unlink(path_.c_str()));
    const qmtest::BoundedFifo fifo(path_);
    EXPECT_EQ("FAILURE! Unable to load the following xml configuration file: " + path_,
              get("get_configuration"));
    EXPECT_EQ("FAILURE! Unable to open " + path_ + " for copy operation.",
              save("save_configuration " + kConfiguration));
    struct stat status;
    ASSERT_EQ(0, ::stat(path_.c_str(), &status));
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
    EXPECT_FALSE(qmtest::fileExists(path_ + ".bak"));
    EXPECT_FALSE(fifo.releasedAWaitingReader()) << "a command waited for a writer";
}

TEST_F(ConfigurationCommandsTest, GetReplySavedBackKeepsTheValues) {
    const std::string before = documentIn(path_);
    const std::string reply = get("get_configuration");
    EXPECT_EQ(kSuccessText, save("save_configuration(" + reply));
    EXPECT_EQ(kConfiguration, qmtest::readFile(path_ + ".bak"));
    EXPECT_EQ(before, documentIn(path_));
    EXPECT_EQ(reply, get("get_configuration"));
    EXPECT_EQ("/etc/init.d/quillmark_agentd start & echo \"ok\" <now>",
              configuration_->get("AgentServiceStart"));
    EXPECT_EQ("h\xC3\xA9llo", configuration_->get("Greeting"));
}

TEST_F(ConfigurationCommandsTest, SaveWritesPlainValuesAndReloadsTheSettings) {
    const std::string previous =
        "<quillmark_agentd_config><GeneralProperties><prop><key>Old"
        "</key><value>1</value></prop></GeneralProperties>"
        "</quillmark_agentd_config>";
    qmtest::writeFile(path_, previous);
    const std::string document =
        wireDocument({{"ManagerPort", "9090"}, {"AgentServiceStop", "stop 'now' & <then>"}});
    EXPECT_EQ(kSuccessText, save("save_configuration " + document));

    EXPECT_EQ(previous, qmtest::readFile(path_ + ".bak"));
    const std::string written = qmtest::readFile(path_);
    EXPECT_NE(std::string::npos, written.find("<value>9090</value>"));
    EXPECT_NE(std::string::npos, written.find("\n    <GeneralProperties>\n"));  // the file form
    EXPECT_EQ("9090", configuration_->getString("ManagerPort", "8044"));
    EXPECT_EQ("stop 'now' & <then>", configuration_->get("AgentServiceStop"));
    EXPECT_EQ("", configuration_->get("Greeting"));
    ConfigurationFileAccess reread(path_, false);
    EXPECT_EQ("9090", reread.get("ManagerPort"));
    EXPECT_EQ("stop 'now' & <then>", reread.get("AgentServiceStop"));
}

TEST_F(ConfigurationCommandsTest, SaveOfADocumentWithoutSettingsKeepsTheSettings) {
    EXPECT_EQ(kSuccessText, save("save_configuration <other_root><x>1</x></other_root>"));
    EXPECT_EQ("<other_root>\n    <x>1</x>\n</other_root>\n", qmtest::readFile(path_));
    EXPECT_EQ("8044", configuration_->get("ManagerPort"));
}

TEST_F(ConfigurationCommandsTest, RefusedTextsLeaveTheFileAsItWas) {
    const std::string declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    std::string deep = "save_configuration ";
    for (int i = 0; i < 1000000; ++i) deep += "<a>";
    std::string swallowedEndTags = "save_configuration " + declaration + "<a>";
    for (int i = 0; i < 100000; ++i) swallowedEndTags += "\xC3</a><a>";
    std::string levels;
    for (int i = 0; i < 60000; ++i) levels += "<a>";
    const std::string section = "save_configuration <quillmark_agentd_config><GeneralProperties>";
    const std::pair<const char*, std::string> bodies[] = {
        {"only the name", "save_configuration"},
        {"only the separator", "save_configuration "},
        {"the first byte lost", "save_configuration<quillmark_agentd_config/>"},
        {"not well-formed", "save_configuration <quillmark_agentd_config><a></b>"},
        {"ends inside a UTF-8 sequence",
         "save_configuration " + declaration + "<quillmark_agentd_config>\xE2"},
        {"a million nested elements", deep},
        {"end tags hidden behind lead bytes", swallowedEndTags},
        {"levels behind a reference that hides a comment start",
         section + "&#x<!--x41;" + levels + "-->"},
        {"levels behind a reference that hides a CDATA start",
         section + "&#x<![CDATA[x41;" + levels + "]]>"},
    };
    for (const auto& body : bodies) {
        SCOPED_TRACE(body.first);
        EXPECT_EQ(kParseFailure, save(body.second));
        EXPECT_EQ(kConfiguration, qmtest::readFile(path_));
        EXPECT_EQ(kConfiguration, qmtest::readFile(path_ + ".bak"));
        EXPECT_EQ("8044", configuration_->get("ManagerPort"));
    }
}

// Texts whose nodes would take more memory than the bound, or whose attributes TinyXML would
// take too long to check, are refused before they are parsed.
TEST_F(ConfigurationCommandsTest, RefusesTextsThatWouldTakeTooMuchToParse) {
    std::string small = "save_configuration <quillmark_agentd_config>";
    for (int i = 0; i < 3100000; ++i) small += "<a/>";
    small += "</quillmark_agentd_config>";
    std::string attributes = "save_configuration <quillmark_agentd_config a0=''";
    for (int i = 1; i < 12000; ++i) attributes += " a" + std::to_string(i) + "=''";
    attributes += "/>";
    const std::pair<std::string, std::string> refusals[] = {
        {small,
         "FAILURE! The received xml payload would take more than 671088640 bytes of memory to "
         "parse."},
        {attributes, "FAILURE! The received xml payload has too many attributes to parse."},
    };
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.second);
        EXPECT_EQ(refusal.second, save(refusal.first));
        EXPECT_EQ(kConfiguration, qmtest::readFile(path_));
        EXPECT_EQ("8044", configuration_->get("ManagerPort"));
    }
}

// TinyXML prints a value's bytes as they are, and in UTF-8 mode a lead byte takes the "<" of
// the end tag after it: such a file would not load again, so it is not written.
TEST_F(ConfigurationCommandsTest, ValuesThatWouldNotReadBackAreNotSaved) {
    const std::string declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    for (const char* value : {"\xC3", "ends in \xE2\x82", "\xF0\x9F\x98"}) {
        SCOPED_TRACE(value);
        EXPECT_EQ(kSaveFailure, save("save_configuration " + declaration +
                                     wireDocument({{"ManagerPort", value}})));
        EXPECT_EQ(kConfiguration, qmtest::readFile(path_));
        EXPECT_EQ("8044", configuration_->get("ManagerPort"));
    }
    // Without a declaration TinyXML reads the file byte by byte, and the value loads again.
    EXPECT_EQ(kSuccessText, save("save_configuration " + wireDocument({{"ManagerPort", "\xC3"}})));
    EXPECT_EQ("\xC3", ConfigurationFileAccess(path_, false).get("ManagerPort"));
}

// The configuration watch takes no digest of a file larger than 64 MiB and would never start
// the agent again: neither such a body nor a document whose file form is that large is saved.
TEST_F(ConfigurationCommandsTest, RefusesABodyOrAFileLargerThanTheWatchDigests) {
    const std::size_t limit = 67108864;
    const char bodyTooLarge[] = "FAILURE! The received xml payload is larger than 67108864 bytes.";
    const char fileTooLarge[] =
        "FAILURE! The configuration xml file would be larger than 67108864 bytes.";
    // Elements 90 levels down, which the file form indents by 360 blanks each: a small body
    // with a large file form. `siblings` empty elements, then a text of `length` bytes.
    const auto indented = [](std::size_t siblings, std::size_t length) {
        std::string body = "save_configuration ";
        for (int level = 0; level < 90; ++level) body += "<a>";
        for (std::size_t i = 0; i < siblings; ++i) body += "<x/>";
        body += "<t>" + std::string(length, 'y') + "</t>";
        for (int level = 0; level < 90; ++level) body += "</a>";
        return body;
    };
    ASSERT_EQ(kSuccessText, save(indented(1, 1)));
    const std::size_t lineOfASibling = qmtest::readFile(path_).size();
    ASSERT_EQ(kSuccessText, save(indented(0, 1)));
    const std::size_t rest = qmtest::readFile(path_).size() - 1;
    qmtest::writeFile(path_, kConfiguration);
    const std::size_t siblingLine = lineOfASibling - (rest + 1);
    ASSERT_EQ(366u, siblingLine);
    const std::size_t siblings = (limit - rest - 4096) / siblingLine;
    const std::size_t lengthAtTheLimit = limit - rest - siblings * siblingLine;

    const std::string prefix = "save_configuration <r>";
    const std::pair<std::string, std::string> refused[] = {
        {bodyTooLarge,
         prefix + std::string(limit + 1 - prefix.size() - std::strlen("</r>"), 'x') + "</r>"},
        {fileTooLarge, indented(siblings, lengthAtTheLimit + 1)},
    };
    for (const auto& body : refused) {
        SCOPED_TRACE(body.first);
        EXPECT_EQ(body.first, save(body.second));
        EXPECT_EQ(kConfiguration, qmtest::readFile(path_));
        EXPECT_EQ(kConfiguration, qmtest::readFile(path_ + ".bak"));
        EXPECT_EQ((std::set<std::string>{"agent.xml", "agent.xml.bak"}), namesIn(dir_.path()));
        EXPECT_EQ("8044", configuration_->get("ManagerPort"));
    }

    EXPECT_EQ(kSuccessText, save(indented(siblings, lengthAtTheLimit)));
    EXPECT_EQ(limit, qmtest::readFile(path_).size());
}

TEST_F(ConfigurationCommandsTest, SaveOnAFullDiskFailsCleanly) {
    const std::string mountPoint = dir_.file("small");
    ASSERT_EQ(0, ::mkdir(mountPoint.c_str(), 0755));
    const qmtest::ScopedMount tmpfs = qmtest::ScopedMount::tmpfs(mountPoint, 256 * 1024);
    if (!tmpfs.mounted()) GTEST_SKIP() << tmpfs.error();

    useConfiguration(mountPoint + "/agent.xml");
    const std::string filler = mountPoint + "/filler";
    ASSERT_TRUE(qmtest::fillFileSystem(filler));
    // Room for the backup and the restore, not for the new document.
    struct stat info;
    ASSERT_EQ(0, ::stat(filler.c_str(), &info));
    ASSERT_EQ(0, ::truncate(filler.c_str(), info.st_size > 16384 ? info.st_size - 16384 : 0));

    const std::string document = wireDocument({{"ManagerPort", std::string(512 * 1024, 'x')}});
    EXPECT_EQ(kSaveFailure, save("save_configuration " + document));
    EXPECT_EQ(kConfiguration, qmtest::readFile(path_));
    EXPECT_EQ(kConfiguration, qmtest::readFile(path_ + ".bak"));
    EXPECT_EQ((std::set<std::string>{"agent.xml", "agent.xml.bak", "filler"}), namesIn(mountPoint));
    EXPECT_EQ("8044", configuration_->get("ManagerPort"));
}

// The backup of a configuration that holds credentials must not be readable by more users than
// the configuration itself; the saved file and a restored one keep its mode and owner.
TEST_F(ConfigurationCommandsTest, TheFileAndItsBackupKeepTheFilesModeAndOwner) {
    const std::string backup = path_ + ".bak";
    const std::string document = wireDocument({{"ManagerPort", "9090"}});
    for (const mode_t mask : {0, 077}) {
        qmtest::UmaskScope umask(mask);
        for (const bool earlierBackup : {false, true}) {
            SCOPED_TRACE(std::string(mask == 0 ? "umask 0" : "umask 077") +
                         (earlierBackup ? ", a wide earlier backup" : ", no earlier backup"));
            qmtest::writeFile(path_, kConfiguration);
            ASSERT_TRUE(qmtest::setModeAndOwner(path_, 0640, 65534, 65534));
            ::unlink(backup.c_str());
            if (earlierBackup) {
                qmtest::writeFile(backup, "earlier");
                ASSERT_TRUE(qmtest::setModeAndOwner(backup, 0666, 0, 0));
            }

            EXPECT_EQ(kSuccessText, save("save_configuration " + document));
            EXPECT_EQ(kConfiguration, qmtest::readFile(backup));
            EXPECT_EQ("0640 65534:65534", qmtest::modeAndOwner(backup));
            EXPECT_EQ("0640 65534:65534", qmtest::modeAndOwner(path_));

            // Restored from the backup.
            EXPECT_EQ(kParseFailure, save("save_configuration <unclosed>"));
            EXPECT_EQ("0640 65534:65534", qmtest::modeAndOwner(path_));
            EXPECT_EQ("0640 65534:65534", qmtest::modeAndOwner(backup));
            EXPECT_EQ((std::set<std::string>{"agent.xml", "agent.xml.bak"}), namesIn(dir_.path()));
        }
    }
}

// In a container the configuration is often a single bind-mounted file, which rename cannot
// replace: the save rewrites it in place once the backup is written.
TEST_F(ConfigurationCommandsTest, SaveOntoABindMountedFile) {
    const std::string real = dir_.file("real.xml");
    qmtest::writeFile(real, kConfiguration);
    ASSERT_TRUE(qmtest::setModeAndOwner(real, 0640, 65534, 65534));
    const qmtest::ScopedMount mount = qmtest::ScopedMount::bind(real, path_);
    if (!mount.mounted()) GTEST_SKIP() << mount.error();

    const std::string document =
        wireDocument({{"ManagerPort", "9090"}, {"AgentServiceStop", "stop"}});
    EXPECT_EQ(kSuccessText, save("save_configuration " + document));

    const std::string written = qmtest::readFile(path_);
    EXPECT_EQ(written, qmtest::readFile(real));
    TiXmlDocument sent;
    sent.Parse(document.c_str());
    ValueElementEncoderDecoder().decode(sent);
    std::ostringstream expected;
    expected << sent;
    EXPECT_EQ(expected.str(), documentIn(path_));
    EXPECT_EQ(kConfiguration, qmtest::readFile(path_ + ".bak"));
    EXPECT_EQ("0640 65534:65534", qmtest::modeAndOwner(real));
    EXPECT_EQ((std::set<std::string>{"agent.xml", "agent.xml.bak", "real.xml"}),
              namesIn(dir_.path()));
    EXPECT_EQ("9090", configuration_->get("ManagerPort"));
    EXPECT_EQ("stop", ConfigurationFileAccess(path_, false).get("AgentServiceStop"));
}

// The rewrite in place fails part-way (the bound file's own file system is full): the reply is
// a failure and the backup's copy, also written in place, puts the old file back.
TEST_F(ConfigurationCommandsTest, AFailedSaveOntoABindMountedFileIsRestoredFromTheBackup) {
    const std::string small = dir_.file("small");
    ASSERT_EQ(0, ::mkdir(small.c_str(), 0755));
    const qmtest::ScopedMount tmpfs = qmtest::ScopedMount::tmpfs(small, 64 * 1024);
    if (!tmpfs.mounted()) GTEST_SKIP() << tmpfs.error();
    const std::string real = small + "/real.xml";
    qmtest::writeFile(real, kConfiguration);
    ASSERT_TRUE(qmtest::fillFileSystem(small + "/filler"));
    const qmtest::ScopedMount mount = qmtest::ScopedMount::bind(real, path_);
    if (!mount.mounted()) GTEST_SKIP() << mount.error();

    const std::string document = wireDocument({{"ManagerPort", std::string(256 * 1024, 'x')}});
    EXPECT_EQ(kSaveFailure, save("save_configuration " + document));

    EXPECT_EQ(kConfiguration, qmtest::readFile(path_));
    EXPECT_EQ(kConfiguration, qmtest::readFile(path_ + ".bak"));
    EXPECT_EQ((std::set<std::string>{"agent.xml", "agent.xml.bak", "small"}), namesIn(dir_.path()));
    EXPECT_EQ("8044", configuration_->get("ManagerPort"));
}

namespace {

// File operations whose copies answer scripted texts and are recorded.
class ScriptedFileOperations : public FileOperations {
public:
    ScriptedFileOperations(std::vector<std::string> replies,
                           std::vector<std::pair<std::string, std::string>>* copies)
        : FileOperations(nullptr), replies_(std::move(replies)), copies_(copies) {}

    std::string recreateTempDirectory() override { return kSuccessText; }
    std::string runUpgradeScript() override { return kSuccessText; }
    std::string copyFile(const std::string& source, const std::string& target) override {
        copies_->push_back(std::make_pair(source, target));
        return copies_->size() <= replies_.size() ? replies_[copies_->size() - 1] : kSuccessText;
    }

private:
    std::vector<std::string> replies_;
    std::vector<std::pair<std::string, std::string>>* copies_;
};

class ScriptedProcessor : public CommandProcessor {
public:
    ScriptedProcessor(std::string reply, int* runs) : reply_(std::move(reply)), runs_(runs) {}
    std::string process(std::vector<char>&) override {
        ++*runs_;
        return reply_;
    }

private:
    std::string reply_;
    int* runs_;
};

}  // namespace

TEST_F(ConfigurationCommandsTest, DecoratorCountsOnlyTheWholeTextSuccessAsSuccess) {
    const std::string backup = path_ + ".bak";
    const std::string openFailure = "FAILURE! Unable to open /data/SUCCESS for copy operation.";
    struct Case {
        const char* name;
        std::string backupReply;
        std::string processorReply;
        std::string reply;
        int runs;
        std::vector<std::pair<std::string, std::string>> copies;
    };
    const Case cases[] = {
        {"saved", kSuccessText, kSuccessText, kSuccessText, 1, {{path_, backup}}},
        {"save failed",
         kSuccessText,
         kSaveFailure,
         kSaveFailure,
         1,
         {{path_, backup}, {backup, path_}}},
        {"save failed with SUCCESS in its text",
         kSuccessText,
         openFailure,
         openFailure,
         1,
         {{path_, backup}, {backup, path_}}},
        {"backup failed with SUCCESS in its text",
         openFailure,
         kSuccessText,
         openFailure,
         0,
         {{path_, backup}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::pair<std::string, std::string>> copies;
        int runs = 0;
        CopyConfigurationFileCommandProcessorDecorator decorator(
            new ScriptedProcessor(c.processorReply, &runs), configuration_.get(),
            new ScriptedFileOperations({c.backupReply}, &copies));
        std::vector<char> payload = payloadOf("save_configuration");
        EXPECT_EQ(c.reply, decorator.process(payload));
        EXPECT_EQ(c.runs, runs);
        EXPECT_EQ(c.copies, copies);
    }
}
