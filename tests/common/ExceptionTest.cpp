#include "quillmark/Exception.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace quillmark;

namespace {

std::string report(const Exception& e) {
    std::ostringstream out;
    out << e;
    return out.str();
}

}  // namespace

TEST(Exception, ReportForm) {
    struct Case {
        const char* file;
        long line;
        const char* message;
        long code;
        const char* expected;
    };
    const Case cases[] = {
        {"F", 12, "", 0, "[0] \"\" raised from F:12.\n"},
        {"common/X.cpp", 7, "Cannot access xml Configuration file", 0,
         "[0] \"Cannot access xml Configuration file\" raised from common/X.cpp:7.\n"},
        {"a", -5, "m", -42, "[-42] \"m\" raised from a:-5.\n"},
        {"a", 2147483648L, "m", 9000000000L, "[9000000000] \"m\" raised from a:2147483648.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(c.expected, report(Exception(c.file, c.line, c.message, c.code)));
    }
}

TEST(Exception, FamilyIsCaughtThroughItsBases) {
    bool caughtAsSocket = false;
    try {
        QM_THROW(TimeoutException, "late");
    } catch (SocketException& e) {
        caughtAsSocket = true;
        EXPECT_STREQ("late", e.getMessage());
        EXPECT_EQ(0, e.getCode());
        EXPECT_NE(std::string::npos, e.getFile().find("ExceptionTest.cpp"));
    }
    EXPECT_TRUE(caughtAsSocket);

    bool caughtAsBase = false;
    try {
        try {
            QM_THROW(ProcessingException, "p");
        } catch (SocketException&) {
            FAIL() << "a ProcessingException is not a SocketException";
        }
    } catch (Exception& e) {
        caughtAsBase = true;
        EXPECT_STREQ("p", e.getMessage());
        EXPECT_NE(nullptr, dynamic_cast<ProcessingException*>(&e));
    }
    EXPECT_TRUE(caughtAsBase);
}

TEST(Exception, IsNotAStandardException) {
    bool caught = false;
    try {
        try {
            QM_THROW(InvalidArgException, "x");
        } catch (std::exception&) {
            FAIL() << "the family must not derive from std::exception";
        }
    } catch (Exception&) {
        caught = true;
    }
    EXPECT_TRUE(caught);
}
