#include "quillmark/ShellRunner.h"

#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace quillmark;

namespace {

MetricRequest commandRequest(std::vector<std::string> args) {
    return qmtest::metricRequest("host", "run", std::move(args));
}

}  // namespace

TEST(ShellRunner, RunsItsOwnCopyOfTheRequest) {
    qmtest::TempDir dir;
    const std::string target = dir.file("out");
    std::unique_ptr<MetricRequest> request(
        new MetricRequest(commandRequest({"echo copied > '" + target + "'; echo x"})));
    ShellRunner runner(*request);
    request->args[0] = "echo changed > '" + target + "'; echo x";
    request.reset();

    runner.run();
    EXPECT_EQ("copied\n", qmtest::readFile(target));
}

TEST(ShellRunner, DropsFailures) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {""}, {"true"}, {"exit 3"}}) {
        SCOPED_TRACE(args.empty() ? std::string("no arguments") : "[" + args[0] + "]");
        ShellRunner runner(commandRequest(args));
        EXPECT_NO_THROW(runner.run());
    }
}
