#include "FileNameVerifier.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using quillmark::FileNameVerifier;

namespace {

const char kOsFailure[] = "FAILURE! Unable to verify operating system of upgrade file name.";
const char kArchitectureFailure[] = "FAILURE! Unable to verify architecture of upgrade file name.";
const char kExtensionFailure[] = "FAILURE! Incorrect upgrade file extension.";
const char kCharacterFailure[] = "FAILURE! Unable to verify characters of upgrade file name.";

struct Case {
    std::string name;
    std::string result;
};

void expectResults(const FileNameVerifier& verifier, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE("name \"" + c.name + "\" (" + std::to_string(c.name.size()) + " bytes)");
        EXPECT_EQ(c.result, verifier.verifyFileName(c.name));
    }
}

}  // namespace

TEST(FileNameVerifier, TestsTheThreeMarkersInOrder) {
    const FileNameVerifier verifier("redhat", "64");
    expectResults(verifier, {
                                {"agent_redhat_64_.qmp", "SUCCESS"},
                                {".qmp_64_x_redhat_", "SUCCESS"},
                                {"agent_redhat_64_.qmp.old", "SUCCESS"},
                                {"a..b_redhat_64_ v1 .qmp", "SUCCESS"},
                                {"_redhat__64_.qmp", "SUCCESS"},
                                {"", kOsFailure},
                                {"agent.zip", kOsFailure},
                                {"agent_64_.qmp", kOsFailure},
                                {"agent_Redhat_64_.qmp", kOsFailure},
                                {"agent-redhat_64_.qmp", kOsFailure},
                                {"agent_redhat_64.qmp", kArchitectureFailure},
                                {"agent_redhat_x64_.qmp", kArchitectureFailure},
                                {"agent_redhat_.qmp", kArchitectureFailure},
                                {"agent_redhat_64_.zip", kExtensionFailure},
                                {"agent_redhat_64_.QMP", kExtensionFailure},
                                {"agent_redhat_64_qmp", kExtensionFailure},
                            });
}

TEST(FileNameVerifier, RefusesANameThatIsNotOneDirectoryEntry) {
    const FileNameVerifier verifier("redhat", "64");
    expectResults(verifier,
                  {
                      {"../agent_redhat_64_.qmp", kCharacterFailure},
                      {"/etc/agent_redhat_64_.qmp", kCharacterFailure},
                      {"sub/agent_redhat_64_.qmp", kCharacterFailure},
                      {"agent_redhat_64_.qmp/", kCharacterFailure},
                      {"..\\agent_redhat_64_.qmp", kCharacterFailure},
                      {std::string("agent_redhat_64_.qmp\0.sh", 24), kCharacterFailure},
                      {std::string("\0agent_redhat_64_.qmp", 21), kCharacterFailure},
                      // The marker tests come first: these fail them before the character test.
                      {"..", kOsFailure},
                      {".", kOsFailure},
                      {"../agent.zip", kOsFailure},
                  });
}

TEST(FileNameVerifier, BuildsItsMarkersFromTheHostNames) {
    const FileNameVerifier verifier("debian", "32");
    expectResults(verifier, {
                                {"agent_debian_32_.qmp", "SUCCESS"},
                                {"agent_redhat_64_.qmp", kOsFailure},
                                {"agent_debian_64_.qmp", kArchitectureFailure},
                            });
}
