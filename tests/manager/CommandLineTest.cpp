#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

namespace {

const std::string kHelp = std::string("\n") + "Quillmark Agent Manager Options:\n" + "\n" +
                          "\t--version -V" + std::string(20, ' ') + "show version number\n" +
                          "\t--help   -h" + std::string(21, ' ') + "display this help\n" +
                          "\t--config -c <config-file-name>" + std::string(2, ' ') +
                          "provide name of the configuration file\n";
const std::string kVersion = "Version:3.0.0\n";
const std::string kUsage = "\nQuillmark Agent Manager Usage: [-c <config-file-name>]\n";
const std::string kNoConfig = "Failure...please provide a config file.\n";

// Runs the daemon binary in a working directory of its own, so that the relative default
// configuration path resolves inside the temporary directory.
class CommandLineTest : public testing::Test {
protected:
    void SetUp() override {
        workingDirectory_ = dir_.file("run");
        ASSERT_EQ(0, ::mkdir(workingDirectory_.c_str(), 0755));
    }

    qmtest::ProcessResult run(const std::vector<std::string>& arguments) {
        std::vector<std::string> argv{QM_MANAGERD_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        qmtest::ProcessOptions options;
        options.workingDirectory = workingDirectory_;
        qmtest::ProcessResult result = qmtest::runProcess(argv, options);
        EXPECT_EQ("", result.launchError);
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    std::string missingFile() const { return dir_.file("missing.xml"); }

    qmtest::TempDir dir_;
    std::string workingDirectory_;
};

std::string describe(const std::vector<std::string>& arguments) {
    std::string text = "arguments:";
    for (const std::string& argument : arguments) {
        text += " '" + argument + "'";
    }
    return text;
}

}  // namespace

// Every case here ends on the command line: exit(-1) after help or version, or main's return
// for an empty configuration path, which also shows that scanning went on past earlier options.
TEST_F(CommandLineTest, EndsOnTheCommandLine) {
    struct Case {
        std::vector<std::string> arguments;
        std::string expectedOutput;
        int expectedStatus;
    };
    const Case cases[] = {
        {{"-h"}, kHelp, 255},
        {{"--help"}, kHelp, 255},
        {{"--he"}, kHelp, 255},
        {{"-h", "-c", missingFile()}, kHelp, 255},
        {{"-c", "", "-h"}, kHelp, 255},
        {{"--version"}, kVersion, 255},
        {{"-V", "1"}, kVersion, 255},
        {{"-V1"}, kVersion, 255},
        {{"-V", "1", "-h"}, kVersion, 255},
        {{"-c", ""}, kNoConfig, 0},
        {{"--config", ""}, kNoConfig, 0},
        {{"-c", missingFile(), "-c", ""}, kNoConfig, 0},
        {{"stray", "-c", ""}, kNoConfig, 0},
        {{"-x", "-c", ""}, kUsage + kNoConfig, 0},
        {{"--bogus", "-c", ""}, kUsage + kNoConfig, 0},
        {{"--version=1", "-c", ""}, kUsage + kNoConfig, 0},
        {{"-c", "", "-V"}, kUsage + kNoConfig, 0},
        {{"-x", "-y", "-h"}, kUsage + kUsage + kHelp, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(describe(c.arguments));
        const qmtest::ProcessResult result = run(c.arguments);
        EXPECT_EQ(c.expectedOutput, result.standardOutput);
        EXPECT_EQ("", result.standardError);
        EXPECT_EQ(c.expectedStatus, result.exitStatus);
    }
}

// Here the command line leaves a non-empty configuration path, so start-up goes on beyond it:
// the command line must have written exactly the expected text and nothing of help or version.
TEST_F(CommandLineTest, StartUpGoesOnWithAPath) {
    struct Case {
        std::vector<std::string> arguments;
        std::string expectedOutput;
    };
    const Case cases[] = {
        {{"-V"}, kUsage}, {{"--config="}, kUsage},
        {{"-x"}, kUsage}, {{"-c", "", "-c", missingFile()}, ""},
        {{}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(describe(c.arguments));
        const qmtest::ProcessResult result = run(c.arguments);
        EXPECT_EQ(c.expectedOutput, result.standardOutput);
        EXPECT_NE(-1, result.exitStatus) << "ended by signal " << result.terminatingSignal;
    }
}
