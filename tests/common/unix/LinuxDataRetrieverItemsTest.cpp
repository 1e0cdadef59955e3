#include "quillmark/ConfigurationFileAccess.h"
#include "quillmark/LinuxDataRetriever.h"

#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace quillmark;

using qmtest::Owned;

namespace {

using Texts = std::vector<std::string>;

Texts hostTexts() {
    return {"<description-oid>host_information</description-oid>",
            "<up-time-oid>host_uptime</up-time-oid>", "<contact-oid></contact-oid>",
            "<name-oid>host_name</name-oid>", "<location-oid></location-oid>"};
}

Texts memoryTexts() {
    return {"<total-space-oid>memory_size(total)</total-space-oid>",
            "<free-space-oid>memory_size(free)</free-space-oid>"};
}

Texts cpuTexts(const std::string& n) { return {"<load-oid>cpu_utilization(" + n + ")</load-oid>"}; }

Texts fileSystemTexts(const std::string& n) {
    return {"<total-space-oid>filesystem_size(" + n + ",total)</total-space-oid>",
            "<used-space-oid>filesystem_size(" + n + ",used)</used-space-oid>",
            "<pused-space-oid>filesystem_size(" + n + ",pused)</pused-space-oid>",
            "<storage-alloc-units>1024</storage-alloc-units>"};
}

Texts interfaceTexts(const std::string& n) {
    return {
        "<inbound-errors-oid>network_interface_incoming(" + n + ",errors)</inbound-errors-oid>",
        "<outbound-errors-oid>network_interface_outgoing(" + n + ",errors)</outbound-errors-oid>",
        "<inbound-traffic-oid>network_interface_incoming(" + n + ",bytes)</inbound-traffic-oid>",
        "<outbound-traffic-oid>network_interface_outgoing(" + n + ",bytes)</outbound-traffic-oid>",
        "<admin-status-oid></admin-status-oid>",
        "<operational-status-oid></operational-status-oid>"};
}

Texts joined(Texts first, const Texts& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

class LinuxDataRetrieverItemsTest : public ::testing::Test {
protected:
    LinuxDataRetrieverItemsTest()
        : configuration_("/nonexistent/quillmark_agentd.xml", false),
          retriever_(createDataRetriever(&configuration_)) {}

    ConfigurationFileAccess configuration_;
    std::unique_ptr<DataRetriever> retriever_;
};

TEST_F(LinuxDataRetrieverItemsTest, AppendsTheTextsOfEachResource) {
    const std::string withZero("eth\0x", 5);
    struct Case {
        const char* label;
        std::function<bool(DataRetriever&, Texts&)> call;
        Texts expected;
    };
    const std::vector<Case> cases = {
        {"host", [](DataRetriever& r, Texts& t) { return r.getHostOids(t); }, hostTexts()},
        {"memory", [](DataRetriever& r, Texts& t) { return r.getMemoryOids(t); }, memoryTexts()},
        {"cpu CPU 1", [](DataRetriever& r, Texts& t) { return r.getCpuOids(t, "CPU 1"); },
         cpuTexts("CPU 1")},
        {"cpu empty",
         [](DataRetriever& r, Texts& t) { return r.getCpuOids(t, ""); },
         {"<load-oid>cpu_utilization()</load-oid>"}},
        {"file system /home",
         [](DataRetriever& r, Texts& t) { return r.getFileSystemOids(t, "/home"); },
         {"<total-space-oid>filesystem_size(/home,total)</total-space-oid>",
          "<used-space-oid>filesystem_size(/home,used)</used-space-oid>",
          "<pused-space-oid>filesystem_size(/home,pused)</pused-space-oid>",
          "<storage-alloc-units>1024</storage-alloc-units>"}},
        {"file system with markup",
         [](DataRetriever& r, Texts& t) { return r.getFileSystemOids(t, "a<b&c,d)"); },
         fileSystemTexts("a<b&c,d)")},
        {"interface eth0",
         [](DataRetriever& r, Texts& t) { return r.getNetworkInterfaceOids(t, "eth0"); },
         {"<inbound-errors-oid>network_interface_incoming(eth0,errors)</inbound-errors-oid>",
          "<outbound-errors-oid>network_interface_outgoing(eth0,errors)</outbound-errors-oid>",
          "<inbound-traffic-oid>network_interface_incoming(eth0,bytes)</inbound-traffic-oid>",
          "<outbound-traffic-oid>network_interface_outgoing(eth0,bytes)</outbound-traffic-oid>",
          "<admin-status-oid></admin-status-oid>",
          "<operational-status-oid></operational-status-oid>"}},
        {"interface with a zero byte",
         [&withZero](DataRetriever& r, Texts& t) { return r.getNetworkInterfaceOids(t, withZero); },
         interfaceTexts(withZero)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Texts items = {"kept"};
        ASSERT_TRUE(c.call(*retriever_, items));
        EXPECT_EQ(joined({"kept"}, c.expected), items);
        // A second call appends the same texts again behind the first ones.
        ASSERT_TRUE(c.call(*retriever_, items));
        EXPECT_EQ(joined(joined({"kept"}, c.expected), c.expected), items);
    }
}

// A caller that asks once per processor on one vector must not pay a reallocation per call.
TEST_F(LinuxDataRetrieverItemsTest, RepeatedCallsGrowTheVectorGeometrically) {
    Texts items;
    int reallocations = 0;
    for (int i = 0; i < 1000; ++i) {
        const std::string* before = items.data();
        ASSERT_TRUE(retriever_->getCpuOids(items, std::to_string(i)));
        if (items.data() != before) ++reallocations;
    }
    ASSERT_EQ(1000u, items.size());
    EXPECT_EQ(cpuTexts("999"), Texts{items.back()});
    EXPECT_LT(reallocations, 20);
}

TEST_F(LinuxDataRetrieverItemsTest, NamesTheMetricsOfThisHostsResources) {
    {
        SCOPED_TRACE("one text per processor");
        Owned<CpuInfo> cpus;
        ASSERT_TRUE(retriever_->getCpus(cpus.items));
        ASSERT_FALSE(cpus.items.empty());
        Texts items;
        for (const CpuInfo* cpu : cpus.items) ASSERT_TRUE(retriever_->getCpuOids(items, cpu->name));
        ASSERT_EQ(cpus.items.size(), items.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
            EXPECT_EQ(cpuTexts(cpus.items[i]->name), Texts{items[i]});
        }
    }
    {
        SCOPED_TRACE("loopback interface");
        Owned<NetworkInterfaceInfo> interfaces;
        std::string errorText;
        ASSERT_TRUE(retriever_->getNetworkInterfaces(interfaces.items, errorText, true));
        const NetworkInterfaceInfo* loopback = nullptr;
        for (const NetworkInterfaceInfo* info : interfaces.items) {
            if (info->address == "127.0.0.1") loopback = info;
        }
        ASSERT_NE(nullptr, loopback);
        Texts items;
        ASSERT_TRUE(retriever_->getNetworkInterfaceOids(items, loopback->name));
        EXPECT_EQ(interfaceTexts(loopback->name), items);
    }
    {
        SCOPED_TRACE("root file system");
        Owned<FileSystemInfo> fileSystems;
        std::string errorText;
        ASSERT_TRUE(retriever_->getFileSystems(fileSystems.items, errorText)) << errorText;
        const FileSystemInfo* root = nullptr;
        for (const FileSystemInfo* info : fileSystems.items) {
            if (info->mountPoint == "/") root = info;
        }
        ASSERT_NE(nullptr, root);
        Texts items;
        ASSERT_TRUE(retriever_->getFileSystemOids(items, root->name));
        EXPECT_EQ(fileSystemTexts(root->name), items);
    }
}

}  // namespace
