#include "quillmark/OptionScanner.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

// <unistd.h> (through gtest) declares the platform's getopt state, so every name here is
// qualified.
namespace qm = quillmark;

namespace {

constexpr int kUnchecked = INT_MIN;
constexpr int kOptoptBefore = 12345;

const qm::LongOption kDaemonOptions[] = {
    {"config", qm::LongOption::kRequiredArgument, nullptr, 'c'},
    {"help", qm::LongOption::kNoArgument, nullptr, 'h'},
    {"version", qm::LongOption::kNoArgument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

int storedFlag = 0;

const qm::LongOption kFlagOptions[] = {
    {"verbose", qm::LongOption::kNoArgument, nullptr, 'v'},
    {"version", qm::LongOption::kNoArgument, nullptr, 'V'},
    {"force", qm::LongOption::kNoArgument | qm::LongOption::kNoAbbreviation, nullptr, 'f'},
    {"name", qm::LongOption::kRequiredArgument | qm::LongOption::kAttachedArgumentOnly, nullptr,
     'n'},
    {"flagged", qm::LongOption::kNoArgument, &storedFlag, 7},
    {"opt", qm::LongOption::kOptionalArgument, nullptr, 'o'},
    {"odd", 9, nullptr, 'd'},  // kinds above 2 behave as optional
    {"verb", qm::LongOption::kNoArgument, nullptr, 'b'},
    {nullptr, 0, nullptr, 0},
};

struct Step {
    int result;
    const char* optarg = nullptr;  // null: optarg must be null
    int longIndex = -1;
    int optopt = kUnchecked;
};

enum class Entry { kGetoptLong, kGetopt, kLongOnly };

struct Case {
    const char* optstring;
    std::vector<std::string> words;  // argv, program name first
    std::vector<Step> steps;         // the last one is the -1
    int finalOptind;
    std::vector<std::string> finalWords = {};  // empty: the words keep their order
    const qm::LongOption* table = kDaemonOptions;
    Entry entry = Entry::kGetoptLong;
};

// Owns a mutable argv built from words.
class ArgumentVector {
public:
    explicit ArgumentVector(const std::vector<std::string>& words) : storage_(words) {
        for (std::string& word : storage_) {
            pointers_.push_back(&word[0]);
        }
        pointers_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(storage_.size()); }
    char** argv() { return pointers_.data(); }
    std::vector<std::string> words() const {
        return std::vector<std::string>(pointers_.begin(), pointers_.end() - 1);
    }

private:
    std::vector<std::string> storage_;
    std::vector<char*> pointers_;
};

std::string describe(const Case& c) {
    std::string text = std::string("optstring '") + c.optstring + "' words";
    for (const std::string& word : c.words) {
        text += " '" + word + "'";
    }
    return text;
}

int step(ArgumentVector& args, const Case& c, int* longIndex) {
    switch (c.entry) {
    case Entry::kGetopt: return qm::getopt(args.argc(), args.argv(), c.optstring);
    case Entry::kLongOnly:
        return qm::scanOptions(args.argc(), args.argv(), c.optstring, c.table, longIndex, 1);
    case Entry::kGetoptLong: break;
    }
    return qm::getopt_long(args.argc(), args.argv(), c.optstring, c.table, longIndex);
}

void runCase(const Case& c) {
    SCOPED_TRACE(describe(c));
    ArgumentVector args(c.words);
    qm::optind = 0;
    qm::optopt = kOptoptBefore;
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
        SCOPED_TRACE("call " + std::to_string(i + 1));
        const Step& expected = c.steps[i];
        int longIndex = 99;
        const int result = step(args, c, &longIndex);
        EXPECT_EQ(expected.result, result);
        if (expected.optarg == nullptr) {
            EXPECT_EQ(nullptr, qm::optarg);
        } else {
            EXPECT_STREQ(expected.optarg, qm::optarg);
        }
        if (c.entry != Entry::kGetopt) {
            EXPECT_EQ(expected.longIndex, longIndex);
        }
        if (expected.optopt != kUnchecked) {
            EXPECT_EQ(expected.optopt, qm::optopt);
        }
    }
    EXPECT_EQ(c.finalOptind, qm::optind);
    EXPECT_EQ(c.finalWords.empty() ? c.words : c.finalWords, args.words());
}

}  // namespace

TEST(OptionScanner, DaemonOptionTable) {
    const Case cases[] = {
        {"c:hV:", {"prog", "-cfile"}, {{'c', "file"}, {-1}}, 2},
        {"c:hV:", {"prog", "-c", "file"}, {{'c', "file"}, {-1}}, 3},
        {"c:hV:", {"prog", "-c"}, {{0, nullptr, -1, 'c'}, {-1}}, 2},
        {"c:hV:", {"prog", "--config=file"}, {{'c', "file", 0}, {-1}}, 2},
        {"c:hV:", {"prog", "--config#file"}, {{'c', "file", 0}, {-1}}, 2},
        {"c:hV:", {"prog", "--config", "file"}, {{'c', "file", 0}, {-1}}, 3},
        {"c:hV:", {"prog", "--conf=file"}, {{'c', "file", 0}, {-1}}, 2},
        {"c:hV:", {"prog", "--config=", "x"}, {{'c', "x", 0}, {-1}}, 3},
        {"c:hV:", {"prog", "--config"}, {{0, nullptr, -1}, {-1}}, 2},
        {"c:hV:", {"prog", "--help=x"}, {{0, nullptr, -1}, {-1}}, 2},
        {"c:hV:", {"prog", "--he"}, {{'h', nullptr, 1}, {-1}}, 2},
        {"c:hV:", {"prog", "--version"}, {{'V', nullptr, 2}, {-1}}, 2},
        {"c:hV:", {"prog", "-x"}, {{0, nullptr, -1, 'x'}, {-1}}, 2},
        {"c:hV:", {"prog", "--bogus"}, {{0, nullptr, -1, kOptoptBefore}, {-1}}, 2},
        {"c:hV:", {"prog", "--"}, {{-1}}, 2},
        // An unknown option inside a cluster does not end the cluster.
        {"c:hV:", {"prog", "-xh"}, {{0, nullptr, -1, 'x'}, {'h'}, {-1}}, 2},
        {"c:hV:", {"prog", "-hc", "file"}, {{'h'}, {'c', "file"}, {-1}}, 3},
        {"c:hV:", {"prog", "-hcfile"}, {{'h'}, {'c', "file"}, {-1}}, 2},
        {"c:hV:", {"prog", "-V", "1", "-h"}, {{'V', "1"}, {'h'}, {-1}}, 4},
        {"c:hV:", {"prog", "-h", "-V"}, {{'h'}, {0, nullptr, -1, 'V'}, {-1}}, 3},
        // A value may itself look like an option.
        {"c:hV:", {"prog", "-c", "-h"}, {{'c', "-h"}, {-1}}, 3},
        {"c:hV:", {"prog", "--config", "--help"}, {{'c', "--help", 0}, {-1}}, 3},
    };
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    for (const Case& c : cases) {
        runCase(c);
    }
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
}

TEST(OptionScanner, OrderingAndNonOptions) {
    const Case cases[] = {
        {"c:hV:",
         {"prog", "a", "-c", "f", "b", "-h"},
         {{'c', "f"}, {'h'}, {-1}},
         4,
         {"prog", "-c", "f", "-h", "a", "b"}},
        {"c:hV:", {"prog", "-", "-h"}, {{'h'}, {-1}}, 2, {"prog", "-h", "-"}},
        {"c:hV:", {"prog", "-h", "--", "-c", "x"}, {{'h'}, {-1}}, 3},
        // "--" moves in front of the non-options skipped before it.
        {"c:hV:", {"prog", "a", "--", "-h"}, {{-1}}, 2, {"prog", "--", "a", "-h"}},
        {"c:hV:", {"prog", "a", "b"}, {{-1}}, 1},
        {"+c:h", {"prog", "a", "-h"}, {{-1}}, 1},
        {"+c:h", {"prog", "-h", "a", "-h"}, {{'h'}, {-1}}, 2},
        {"-c:h", {"prog", "a", "-h"}, {{1, "a"}, {'h'}, {-1}}, 3},
        {"-c:h", {"prog", "-c", "x", "-", "--", "b"}, {{'c', "x"}, {1, "-"}, {-1}}, 5},
        // The ordering mark is never an option character and does not hide a following ':'.
        {"-:c:", {"prog", "-c"}, {{':', nullptr, -1, 'c'}, {-1}}, 2},
        {"+c", {"prog", "-+"}, {{0, nullptr, -1, '+'}, {-1}}, 2},
        {"c:", {"prog"}, {{-1}}, 1},
        {"c:", {}, {{-1}}, 1},
    };
    for (const Case& c : cases) {
        runCase(c);
    }
}

TEST(OptionScanner, ArgumentKindsAndMissingArguments) {
    const Case cases[] = {
        {":c:", {"prog", "-c"}, {{':', nullptr, -1, 'c'}, {-1}}, 2},
        {":c:", {"prog", "--config"}, {{':', nullptr, -1}, {-1}}, 2},
        {"a::", {"prog", "-afoo"}, {{'a', "foo"}, {-1}}, 2},
        {"a::", {"prog", "-a", "foo"}, {{'a'}, {-1}}, 2},
        {"c:", {"prog", "-:"}, {{0, nullptr, -1, ':'}, {-1}}, 2},
        {"", {"prog", "--opt", "word"}, {{'o', nullptr, 5}, {-1}}, 2, {}, kFlagOptions},
        {"", {"prog", "--opt=v"}, {{'o', "v", 5}, {-1}}, 2, {}, kFlagOptions},
        {"", {"prog", "--odd", "w"}, {{'d', nullptr, 6}, {-1}}, 2, {}, kFlagOptions},
        {"", {"prog", "--odd#w"}, {{'d', "w", 6}, {-1}}, 2, {}, kFlagOptions},
        {"", {"prog", "--name=v"}, {{'n', "v", 3}, {-1}}, 2, {}, kFlagOptions},
        {"", {"prog", "--name", "v"}, {{0, nullptr, -1}, {-1}}, 2, {}, kFlagOptions},
        {":", {"prog", "--name", "v"}, {{':', nullptr, -1}, {-1}}, 2, {}, kFlagOptions},
        // A byte above 0x7f is an option like any other, never the end result -1.
        {"\xff", {"prog", "-\xff"}, {{0xff}, {-1}}, 2},
        {"c:", {"prog", "-\xfe"}, {{0, nullptr, -1, 0xfe}, {-1}}, 2},
    };
    for (const Case& c : cases) {
        runCase(c);
    }
}

TEST(OptionScanner, LongNameMatching) {
    const Case cases[] = {
        {"", {"prog", "--ver"}, {{0}, {-1}}, 2, {}, kFlagOptions},  // verbose, version or verb
        {"", {"prog", "--verb"}, {{'b', nullptr, 7}, {-1}}, 2, {}, kFlagOptions},  // exact wins
        {"", {"prog", "--verbo"}, {{'v', nullptr, 0}, {-1}}, 2, {}, kFlagOptions},
        {"", {"prog", "--forc"}, {{0}, {-1}}, 2, {}, kFlagOptions},
        {"", {"prog", "--force"}, {{'f', nullptr, 2}, {-1}}, 2, {}, kFlagOptions},
        {"", {"prog", "--fl"}, {{0, nullptr, 4}, {-1}}, 2, {}, kFlagOptions},
        {"", {"prog", "--flagged=1"}, {{0, nullptr, -1}, {-1}}, 2, {}, kFlagOptions},
        // Without a table "--x" is a cluster of short options beginning with '-'.
        {"c:",
         {"prog", "--config"},
         {{0, nullptr, -1, '-'}, {'c', "onfig"}, {-1}},
         2,
         {},
         nullptr,
         Entry::kGetopt},
        {"c:h",
         {"prog", "-config=x"},
         {{'c', "x", 0}, {-1}},
         2,
         {},
         kDaemonOptions,
         Entry::kLongOnly},
        {"c:h", {"prog", "-h"}, {{'h', nullptr, 1}, {-1}}, 2, {}, kDaemonOptions, Entry::kLongOnly},
        {"c:h", {"prog", "-cx"}, {{'c', "x"}, {-1}}, 2, {}, kDaemonOptions, Entry::kLongOnly},
        {"c:h", {"prog", "-zz"}, {{0}, {-1}}, 2, {}, kDaemonOptions, Entry::kLongOnly},
        // A ':' at the start of the name is an unknown short option; the cluster goes on.
        {":ab:c::",
         {"prog", "-a:b"},
         {{'a'}, {0, nullptr, -1, ':'}, {':', nullptr, -1, 'b'}, {-1}},
         2,
         {},
         kDaemonOptions,
         Entry::kLongOnly},
        {"a:b",
         {"prog", "-:b"},
         {{0, nullptr, -1, ':'}, {'b'}, {-1}},
         2,
         {},
         kDaemonOptions,
         Entry::kLongOnly},
        // A name whose first character is not in the option string is an unknown long name.
        {"ab",
         {"prog", "-:a"},
         {{0, nullptr, -1, kOptoptBefore}, {-1}},
         2,
         {},
         kDaemonOptions,
         Entry::kLongOnly},
    };
    storedFlag = 0;
    for (const Case& c : cases) {
        runCase(c);
    }
    EXPECT_EQ(7, storedFlag);
}

TEST(OptionScanner, ResettingOptindStartsAFreshScan) {
    ArgumentVector first({"prog", "-hx", "a"});
    qm::optind = 0;
    ASSERT_EQ('h', qm::getopt(first.argc(), first.argv(), "h"));

    // The unfinished cluster "-hx" must not leak into the new scan.
    ArgumentVector second({"prog", "b", "-c", "f"});
    qm::optind = 0;
    EXPECT_EQ('c', qm::getopt(second.argc(), second.argv(), "c:"));
    EXPECT_STREQ("f", qm::optarg);
    EXPECT_EQ(-1, qm::getopt(second.argc(), second.argv(), "c:"));
    EXPECT_EQ(3, qm::optind);
    EXPECT_EQ((std::vector<std::string>{"prog", "-c", "f", "b"}), second.words());
}
