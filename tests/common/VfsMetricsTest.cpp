#include "quillmark/VfsMetrics.h"

#include "quillmark/Exception.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using namespace quillmark;

namespace {

// An item with the dispatch of the concrete items: two commands and a later duplicate name.
class ProbeMetrics : public VfsMetrics {
public:
    ProbeMetrics() : VfsMetrics("probe") {}

    ResultInfo* execute(const MetricRequest& request) override {
        static const Command<ProbeMetrics> commands[] = {
            {"size", &ProbeMetrics::size},
            {"md5sum", &ProbeMetrics::md5sum},
            {"size", &ProbeMetrics::shadowed},
        };
        return dispatch(*this, commands, request);
    }

    ResultInfo* size(const MetricRequest& request) {
        return new ResultInfo("size " + (request.args.empty() ? std::string() : request.args[0]));
    }
    ResultInfo* md5sum(const MetricRequest&) { return new ResultInfo("md5sum"); }
    ResultInfo* shadowed(const MetricRequest&) { return new ResultInfo("shadowed"); }
};

MetricRequest makeRequest(const std::string& command, std::vector<std::string> args = {}) {
    return qmtest::metricRequest("probe", command, std::move(args));
}

}  // namespace

TEST(VfsMetrics, AnswersZeroToAnything) {
    std::unique_ptr<MetricItem> item(new VfsMetrics("filesystem_file"));
    EXPECT_EQ("filesystem_file", item->getName());
    for (const char* command : {"", "md5sum", "no such command"}) {
        SCOPED_TRACE(command);
        std::unique_ptr<ResultInfo> result(item->execute(makeRequest(command, {"x"})));
        EXPECT_EQ("0", result->value);
    }
}

TEST(VfsMetrics, DispatchSelectsTheFirstEqualName) {
    ProbeMetrics item;
    std::unique_ptr<ResultInfo> size(item.execute(makeRequest("size", {"/a", "b"})));
    EXPECT_EQ("size /a", size->value) << "the operation receives the whole request";
    std::unique_ptr<ResultInfo> md5(item.execute(makeRequest("md5sum")));
    EXPECT_EQ("md5sum", md5->value);
}

TEST(VfsMetrics, DispatchRejectsAnyOtherText) {
    ProbeMetrics item;
    for (const char* command : {"MD5SUM", "md5sum ", " size", "siz", "sizes", ""}) {
        SCOPED_TRACE(std::string("[") + command + "]");
        try {
            std::unique_ptr<ResultInfo> result(item.execute(makeRequest(command)));
            ADD_FAILURE() << "answered " << result->value;
        } catch (const UnsupportedException& e) {
            EXPECT_STREQ("Command unsupported.", e.getMessage());
            EXPECT_EQ(0, e.getCode());
            EXPECT_NE(std::string::npos, e.getFile().find("VfsMetrics"));
        }
    }
}
