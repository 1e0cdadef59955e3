#include "CommandProcessorFactory.h"

#include "CopyConfigurationFileCommandProcessorDecorator.h"
#include "FileNameVerifier.h"
#include "GetConfigurationCommandProcessor.h"
#include "UpgradeAppendCommandProcessor.h"
#include "UpgradeFinalCommandProcessor.h"
#include "UpgradeInitialCommandProcessor.h"
#include "other/NonWindowsAgentServiceRestarter.h"
#include "other/NonWindowsFileOperations.h"

#include "quillmark/ConfigurationFileAccess.h"
#include "quillmark/DataRetriever.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

using qmtest::currentDirectory;

using namespace quillmark;

namespace {

std::vector<char> payloadOf(const std::string& body) {
    std::vector<char> payload(body.begin(), body.end());
    payload.push_back('\0');
    return payload;
}

std::string printable(const std::string& bytes) {
    std::string text;
    for (char c : bytes) text += c == '\0' ? std::string("\\0") : std::string(1, c);
    return "\"" + text + "\"";
}

enum class Kind { kNone, kGet, kSave, kInitial, kAppend, kFinal };

Kind kindOf(const CommandProcessor* processor) {
    if (processor == nullptr) return Kind::kNone;
    if (dynamic_cast<const GetConfigurationCommandProcessor*>(processor)) return Kind::kGet;
    if (dynamic_cast<const CopyConfigurationFileCommandProcessorDecorator*>(processor)) {
        return Kind::kSave;
    }
    if (dynamic_cast<const UpgradeInitialCommandProcessor*>(processor)) return Kind::kInitial;
    if (dynamic_cast<const UpgradeAppendCommandProcessor*>(processor)) return Kind::kAppend;
    if (dynamic_cast<const UpgradeFinalCommandProcessor*>(processor)) return Kind::kFinal;
    ADD_FAILURE() << "unexpected processor type";
    return Kind::kNone;
}

// A configuration file with an installation root in a temp directory, and the process's
// working directory, which an upgrade_final changes.
class CommandProcessorFactoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedDirectory_ = currentDirectory();
        configurationPath_ = dir_.file("agent.xml");
        qmtest::writeFile(configurationPath_, configurationText_);
        configuration_.reset(new ConfigurationFileAccess(configurationPath_, false));
        ASSERT_TRUE(configuration_->isLoaded());
        ASSERT_EQ(0, ::mkdir(root_.c_str(), 0755));
    }
    void TearDown() override { ASSERT_EQ(0, ::chdir(savedDirectory_.c_str())); }

    std::string serve(CommandProcessorFactory& factory, const std::string& body,
                      RequestForm form = RequestForm::kFramed) {
        std::vector<char> payload = payloadOf(body);
        std::unique_ptr<CommandProcessor> processor(factory.createProcessor(payload, form));
        if (!processor) return "no processor";
        return processor->process(payload);
    }

    qmtest::TempDir dir_;
    std::string savedDirectory_;
    std::string root_ = dir_.file("root");
    std::string configurationPath_;
    const std::string configurationText_ =
        "<?xml version=\"1.0\"?>\n<quillmark_agentd_config><GeneralProperties>"
        "<prop><key>ManagerInstallationRoot</key><value>" +
        root_ + "</value></prop></GeneralProperties></quillmark_agentd_config>\n";
    std::unique_ptr<ConfigurationFileAccess> configuration_;
};

TEST_F(CommandProcessorFactoryTest, RecognisesACommandByTheBeginningOfTheBody) {
    struct Case {
        std::string body;
        Kind kind;
    };
    const std::vector<Case> cases = {
        {"get_configuration", Kind::kGet},
        {"get_configuration\x01 anything", Kind::kGet},
        {"get_configurations", Kind::kGet},
        {"save_configuration <quillmark_agentd_config/>", Kind::kSave},
        {"save_configuration", Kind::kSave},
        {"upgrade_initial(n_redhat_64_.qmp,data)", Kind::kInitial},
        {"upgrade_append(n_redhat_64_.qmp,data)", Kind::kAppend},
        {"upgrade_appendix", Kind::kAppend},
        {"upgrade_final(n_redhat_64_.qmp)", Kind::kFinal},
        {"upgrade_final", Kind::kFinal},
        {"upgrade_finalize(n_redhat_64_.qmp)", Kind::kFinal},
        {"", Kind::kNone},
        {"GET_CONFIGURATION", Kind::kNone},
        {"Upgrade_final(n_redhat_64_.qmp)", Kind::kNone},
        {"UPGRADE_INITIAL(n_redhat_64_.qmp,data)", Kind::kNone},
        {" get_configuration", Kind::kNone},
        {"upgrade-final(n)", Kind::kNone},
        {"upgrade_fina", Kind::kNone},
        {"upgrade_", Kind::kNone},
        {"upgrade_initia", Kind::kNone},
        {"upgrade_appen", Kind::kNone},
        {"get_configuratio", Kind::kNone},
        {"save_configuratio", Kind::kNone},
        {"configuration", Kind::kNone},
        {std::string("upgrade_fi\0al(n)", 16), Kind::kNone},
    };
    CommandProcessorFactory factory(configuration_.get());
    for (const Case& c : cases) {
        SCOPED_TRACE("body " + printable(c.body));
        std::vector<char> payload = payloadOf(c.body);
        const std::vector<char> before = payload;
        std::unique_ptr<CommandProcessor> processor(factory.createProcessor(payload));
        EXPECT_EQ(c.kind, kindOf(processor.get()));
        EXPECT_EQ(before, payload);
    }

    // Payloads without the terminating zero, sized exactly: nothing is read beyond them.
    std::vector<char> empty;
    EXPECT_EQ(nullptr, std::unique_ptr<CommandProcessor>(factory.createProcessor(empty)));
    std::vector<char> shortName = {'u', 'p', 'g', 'r', 'a', 'd', 'e'};
    shortName.shrink_to_fit();
    EXPECT_EQ(nullptr, std::unique_ptr<CommandProcessor>(factory.createProcessor(shortName)));
}

TEST_F(CommandProcessorFactoryTest, TheProcessorsItMakesServeTheirCommands) {
    CommandProcessorFactory factory(configuration_.get());
    const std::string package = root_ + "/temp/n_redhat_64_.qmp";

    EXPECT_EQ("SUCCESS", serve(factory, "upgrade_initial(n_redhat_64_.qmp,abc)"));
    EXPECT_EQ("SUCCESS", serve(factory, "upgrade_append(n_redhat_64_.qmp,de)"));
    EXPECT_EQ("abcde", qmtest::readFile(package));
    // The upgrade processors read the body by the request's form.
    EXPECT_EQ("SUCCESS",
              serve(factory, "upgrade_append(n_redhat_64_.qmp,fg)\n", RequestForm::kRawLine));
    EXPECT_EQ("FAILURE! Upgrade request line has no line end within 2048 bytes.",
              serve(factory, "upgrade_append(n_redhat_64_.qmp,hi)", RequestForm::kRawUnended));
    EXPECT_EQ("abcdefg", qmtest::readFile(package));
    EXPECT_EQ("FAILURE! Unable to verify architecture of upgrade file name.",
              serve(factory, "upgrade_final(n_redhat_x64_.qmp)"));
    // The name is read from the first "(" even after further letters; the package file is no
    // zip archive.
    EXPECT_EQ("FAILURE! Unable to open target compressed upgrade file",
              serve(factory, "upgrade_finalize(n_redhat_64_.qmp)"));

    const std::string document = serve(factory, "get_configuration and more");
    EXPECT_NE(std::string::npos, document.find("<quillmark_agentd_config>")) << document;

    // The save runs inside the backup decorator: the previous file is kept as ".bak".
    EXPECT_EQ("SUCCESS", serve(factory,
                               "save_configuration <quillmark_agentd_config><GeneralProperties/>"
                               "</quillmark_agentd_config>"));
    EXPECT_EQ(configurationText_, qmtest::readFile(configurationPath_ + ".bak"));
}

TEST_F(CommandProcessorFactoryTest, MakesItsDataRetrieverOnceOnTheFirstUpgradeRequest) {
    CommandProcessorFactory factory(configuration_.get());
    for (const char* body : {"get_configuration", "save_configuration", "unknown", ""}) {
        std::vector<char> payload = payloadOf(body);
        std::unique_ptr<CommandProcessor> processor(factory.createProcessor(payload));
    }
    EXPECT_EQ(nullptr, factory.getDataRetriever());

    std::vector<char> append = payloadOf("upgrade_append(n,d)");
    std::unique_ptr<CommandProcessor> first(factory.createProcessor(append));
    DataRetriever* retriever = factory.getDataRetriever();
    ASSERT_NE(nullptr, retriever);
    EXPECT_EQ("redhat", retriever->getOsName());
    EXPECT_EQ("64", retriever->getArchitecture());

    for (const char* body : {"upgrade_final(n)", "upgrade_initial(n,d)", "upgrade_append(n,d)"}) {
        std::vector<char> payload = payloadOf(body);
        std::unique_ptr<CommandProcessor> processor(factory.createProcessor(payload));
        EXPECT_EQ(retriever, factory.getDataRetriever()) << body;
    }
    std::unique_ptr<FileNameVerifier> verifier(factory.createFileNameVerifier());
    EXPECT_EQ(retriever, factory.getDataRetriever());
    EXPECT_EQ("SUCCESS", verifier->verifyFileName("agent_redhat_64_.qmp"));
    EXPECT_EQ("FAILURE! Unable to verify operating system of upgrade file name.",
              verifier->verifyFileName("agent_debian_64_.qmp"));
}

TEST_F(CommandProcessorFactoryTest, LogsWhatItCreates) {
    qmtest::LogCapture log;
    CommandProcessorFactory factory(configuration_.get());
    struct Case {
        const char* body;
        const char* line;
    };
    const std::vector<Case> cases = {
        {"upgrade_append(n,d)", "UpgradeAppendCommandProcessor created for inbound request."},
        {"upgrade_final(n)", "UpgradeFinalCommandProcessor created for inbound request."},
        {"upgrade_initial(n,d)", "UpgradeInitialCommandProcessor created for inbound request."},
        {"get_configuration", "GetConfigurationCommandProcessor created for inbound request."},
        {"save_configuration", "SaveConfigurationCommandProcessor created for inbound request."},
        {"nothing", "Error! Unable to create CommandProcessor for inbound request."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        std::vector<char> payload = payloadOf(c.body);
        std::unique_ptr<CommandProcessor> processor(factory.createProcessor(payload));
        EXPECT_TRUE(log.has(c.line));
    }
    EXPECT_TRUE(log.has("Filename verification using redhat, and 64 for verification."));

    EXPECT_EQ("SUCCESS", serve(factory, "upgrade_initial(n_redhat_64_.qmp,abc)"));
    EXPECT_EQ("FAILURE! Unable to open target compressed upgrade file",
              serve(factory, "upgrade_final(n_redhat_64_.qmp)"));
    EXPECT_EQ("FAILURE! Incorrect upgrade file extension.",
              serve(factory, "upgrade_append(n_redhat_64_.zip,d)"));
    EXPECT_TRUE(log.has("VerifyFileName result: SUCCESS"));
    EXPECT_TRUE(log.has("UpgradeInitial result: SUCCESS"));
    EXPECT_TRUE(
        log.has("UpgradeFinal result: FAILURE! Unable to open target compressed upgrade file"));
    EXPECT_TRUE(log.has("UpgradeAppend result: FAILURE! Incorrect upgrade file extension."));
}

TEST_F(CommandProcessorFactoryTest, MakesFileOperationsAndRestarterOnItsConfiguration) {
    CommandProcessorFactory factory(configuration_.get());

    std::unique_ptr<FileOperations> operations(factory.createFileOperations());
    ASSERT_NE(nullptr, dynamic_cast<NonWindowsFileOperations*>(operations.get()));
    EXPECT_EQ(root_ + "/temp", operations->tempDirectory());

    std::unique_ptr<AgentServiceRestarter> restarter(factory.createAgentServiceRestarter());
    ASSERT_NE(nullptr, dynamic_cast<NonWindowsAgentServiceRestarter*>(restarter.get()));
    EXPECT_EQ(configuration_.get(), restarter->getConfigurationFileAccess());
    EXPECT_EQ(nullptr, factory.getDataRetriever());
}

}  // namespace
