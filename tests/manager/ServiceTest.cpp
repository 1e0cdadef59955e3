#include "Service.h"
#include "ServiceApp.h"
#include "other/ServiceImpl.h"

#include "quillmark/ConfigurationFileAccess.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>
#include <string>

using qmtest::occurrences;

using namespace quillmark;

namespace {

const char kCanceledLine[] = "Quillmark Agent Manager service thread was canceled.";

class ServiceTest : public ::testing::Test {
protected:
    std::string log() const { return log_.text(); }

    qmtest::LogCapture log_;
    qmtest::TempDir dir_;
};

TEST(ServiceInstanceTest, GetInstanceAlwaysReturnsTheSameService) {
    Service* first = Service::getInstance();
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(first, Service::getInstance());
}

TEST_F(ServiceTest, CancelWithoutWorkersSetsTheFlagAndLogsEveryTime) {
    ServiceApp application(nullptr);
    EXPECT_FALSE(application.isCanceled());

    application.cancel();
    EXPECT_TRUE(application.isCanceled());
    EXPECT_EQ(1u, occurrences(log(), kCanceledLine));

    application.cancel();
    EXPECT_TRUE(application.isCanceled());
    EXPECT_EQ(2u, occurrences(log(), kCanceledLine));
}

TEST_F(ServiceTest, CancelBeforeRunLeavesNoWorkerToStart) {
    const std::string journalPath = dir_.file("journal");
    const std::string configPath = dir_.file("quillmark_agentd.xml");
    qmtest::writeFile(configPath,
                      "<?xml version=\"1.0\"?>\n<quillmark_agentd_config><GeneralProperties>"
                      "<prop><key>AgentServiceStart</key><value>echo start >> " +
                          journalPath +
                          "</value></prop>"
                          "</GeneralProperties></quillmark_agentd_config>\n");
    ConfigurationFileAccess configuration(configPath, false);
    ASSERT_TRUE(configuration.isLoaded());

    // A stop that comes before the application's thread has started its workers: run() starts
    // none (the Listener would find no listening socket and throw) and returns.
    ServiceApp application(&configuration);
    application.cancel();
    EXPECT_NO_THROW(application.run());
    EXPECT_TRUE(application.isCanceled());
    EXPECT_EQ(0u, occurrences(log(), "Running "));
    EXPECT_EQ(0u, occurrences(log(), "|FATAL"));
    EXPECT_FALSE(qmtest::fileExists(journalPath)) << "no start command may run";
}

TEST_F(ServiceTest, PidFileHoldsTheProcessIdAndOnlyTheFileCreatedIsRemoved) {
    const std::string pidPath = dir_.file("managerd.pid");
    const std::string otherPath = dir_.file("other.pid");
    qmtest::writeFile(otherPath, "12345");
    ServiceImpl::createPidFile(pidPath);
    EXPECT_EQ(std::to_string(::getpid()), qmtest::readFile(pidPath));

    ServiceImpl::removePidFile(otherPath);
    EXPECT_EQ("12345", qmtest::readFile(otherPath));
    EXPECT_TRUE(qmtest::fileExists(pidPath));

    ServiceImpl::removePidFile(pidPath);
    EXPECT_FALSE(qmtest::fileExists(pidPath));
    ServiceImpl::removePidFile(pidPath);
    EXPECT_EQ(0u, occurrences(log(), "Cannot remove PID file")) << "nothing is left to remove";
}

TEST_F(ServiceTest, StopAfterCancelRemovesItsOwnPidFileAndStopsNoAgentItDidNotStart) {
    const std::string pidPath = dir_.file("managerd.pid");
    const std::string decoyPath = dir_.file("decoy.pid");
    const std::string journalPath = dir_.file("journal");
    const std::string configPath = dir_.file("quillmark_agentd.xml");
    qmtest::writeFile(configPath,
                      "<?xml version=\"1.0\"?>\n<quillmark_agentd_config><GeneralProperties>"
                      "<prop><key>ManagerPidFile</key><value>" +
                          pidPath +
                          "</value></prop>"
                          "<prop><key>AgentServiceStop</key><value>echo stop >> " +
                          journalPath +
                          "</value></prop>"
                          "</GeneralProperties></quillmark_agentd_config>\n");
    qmtest::writeFile(decoyPath, "12345");
    ConfigurationFileAccess configuration(configPath, false);
    ASSERT_TRUE(configuration.isLoaded());
    ServiceImpl::createPidFile(pidPath);
    // A save may change the setting while the service runs; the file created stays the one.
    configuration.set("ManagerPidFile", decoyPath, true);

    Service* service = Service::getInstance();
    service->setConfiguration(&configuration);
    ServiceApp* application = new ServiceApp(&configuration);
    service->setApplication(application);
    application->cancel();

    // The application is already cancelled, so nothing waits; nobody waits on the condition.
    EXPECT_EQ(0, service->stop());
    EXPECT_EQ(Stopping, service->getState());
    EXPECT_FALSE(qmtest::fileExists(pidPath));
    EXPECT_EQ("12345", qmtest::readFile(decoyPath));
    EXPECT_FALSE(qmtest::fileExists(journalPath)) << "no start command of this process succeeded";
    EXPECT_EQ(2u, occurrences(log(), kCanceledLine));

    service->setApplication(nullptr);
    service->setConfiguration(nullptr);
}

}  // namespace
