#include "quillmark/Configurator.h"
#include "support/SignalState.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace quillmark;
using qmtest::openDescriptorCount;

namespace {

typedef std::vector<std::string> Texts;

std::string valueOf(Configurator& store, const std::string& key, const std::string& section) {
    std::string out = "<unset>";
    store.getValue(key, out, section);
    return out;
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) { ::setenv(name, value, 1); }
    ~ScopedEnv() { ::unsetenv(name_); }

private:
    const char* name_;
};

}  // namespace

TEST(Configurator, KeysAndSectionsCompareInUpperCase) {
    Configurator store("Agent");
    EXPECT_EQ("AGENT", store.getName());
    store.setValue("port", "8044", "main", false);
    store.setValue("Mixed", "Value Keeps Case", "Other", false);
    // Bytes above 0x7F are no letters: they stay, and only a-z fold.
    store.setValue(
        "schl\xfc"
        "ssel",
        "umlaut", "main", false);

    struct Case {
        const char* key;
        const char* section;
        const char* expected;
    };
    const Case cases[] = {
        {"PORT", "Main", "8044"},
        {"Port", "MAIN", "8044"},
        {"mixed", "other", "Value Keeps Case"},
        {"SCHL\xfc"
         "SSEL",
         "MAIN", "umlaut"},
        {"SCHL\xdc"
         "SSEL",
         "MAIN", "<unset>"},
        {"PORT", "Agent", "<unset>"},
        {"PORT", "missing", "<unset>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " in " + c.section);
        EXPECT_EQ(c.expected, valueOf(store, c.key, c.section));
    }

    // getValues, setValues and setPairs read "Main" (exactly) as the store's own section.
    store.setValues("list", Texts{"x", "y"}, "Main", false);
    Texts values{"stale"};
    EXPECT_TRUE(store.getValues("LIST", values, "agent"));
    EXPECT_EQ((Texts{"x", "y"}), values);
    EXPECT_TRUE(store.getValues("port", values, "Main"));  // section AGENT: no port there
    EXPECT_TRUE(values.empty());
    EXPECT_TRUE(store.getValues("port", values, "MAIN"));
    EXPECT_EQ(Texts{"8044"}, values);
    EXPECT_FALSE(store.getValues("port", values, "nowhere"));
}

TEST(Configurator, DefaultKeyAnswersSingleValuesOnly) {
    Configurator store("Main");
    store.setValue("Port_DEFAULT", "8042", "Main", false);
    store.setValue("Own", "first", "Main", false);
    store.setValue("Own", "second", "Main", false);
    store.setValue("Own_DEFAULT", "fallback", "Main", false);

    EXPECT_EQ("8042", valueOf(store, "port", "Main"));
    EXPECT_EQ("first", valueOf(store, "own", "Main"));
    int port = -1;
    EXPECT_TRUE(store.getValue<int>("Port", port, "Main"));
    EXPECT_EQ(8042, port);

    Texts values{"stale"};
    EXPECT_TRUE(store.getValues("Port", values, "Main"));
    EXPECT_TRUE(values.empty());
    EXPECT_TRUE(store.getValues("Own", values, "Main"));
    EXPECT_EQ((Texts{"first", "second"}), values);

    // A value that does not start with a number leaves the target as it was.
    store.setValue("text", "abc", "Main", true);
    store.setValue("huge", "99999999999", "Main", true);
    int target = 7;
    EXPECT_TRUE(store.getValue<int>("text", target, "Main"));
    EXPECT_TRUE(store.getValue<int>("huge", target, "Main"));
    EXPECT_EQ(7, target);
    EXPECT_FALSE(store.getValue<int>("missing", target, "Main"));
}

TEST(Configurator, SetOperationsReplaceAndAppend) {
    Configurator store("Main");
    store.setValues("k", Texts{"old1", "old2"}, "Main", false);
    store.setValues("k", Texts{"a", "b"}, "Main", true);
    Texts values;
    store.getValues("k", values, "Main");
    EXPECT_EQ((Texts{"a", "b"}), values);

    store.setPairs({{"p", "one", "ignored"}, {"P", "two", "ignored"}}, "Main", true);
    store.getValues("p", values, "Main");
    EXPECT_EQ(Texts{"two"}, values);

    store.setEntries({{"e", "1", "s2"}, {"e", "2", "s2"}, {"e", "3", "s1"}}, false);
    std::vector<Configurator::Entry> entries;
    EXPECT_TRUE(store.getAllEntries(entries));
    std::vector<std::string> listed;
    for (const auto& e : entries) listed.push_back(e.section + "/" + e.key + "=" + e.value);
    EXPECT_EQ((Texts{"MAIN/K=a", "MAIN/K=b", "MAIN/P=two", "S1/E=3", "S2/E=1", "S2/E=2"}), listed);

    EXPECT_EQ(2u, store.removeValue("E", "s2"));
    EXPECT_EQ(0u, store.removeValue("E", "missing"));
    EXPECT_TRUE(store.getSectionEntries(entries, "s2"));  // the section stays, empty
    EXPECT_TRUE(entries.empty());
    EXPECT_TRUE(store.getValues("e", values, "s2"));
    EXPECT_TRUE(store.getSectionEntries(entries, "missing"));
    EXPECT_TRUE(entries.empty());

    // An empty list with replace removes the key but creates no section.
    store.setValues("k", Texts{}, "fresh", true);
    EXPECT_FALSE(store.getValues("k", values, "fresh"));

    store.clear();
    EXPECT_TRUE(store.getAllEntries(entries));
    EXPECT_TRUE(entries.empty());
}

TEST(Configurator, MacrosExpandOnRead) {
    ScopedEnv home("QM_TEST_HOME", "/root");
    ScopedEnv empty("QM_TEST_EMPTY", "");
    ScopedEnv holdsRef("QM_TEST_HOLDS_REF", "<ref>KEY</ref>");
    ScopedEnv holdsFunc("QM_TEST_HOLDS_FUNC", "<func>PID</func>");
    ::unsetenv("QM_TEST_UNSET");
    const std::string pid = std::to_string(::getpid());
    const std::string longLine(1023, 'x');  // a line is read through a buffer of 1024 bytes

    Configurator store("Main");
    store.setValue("KEY", "main-value", "Main", false);
    store.setValue("KEY", "second", "Main", false);
    store.setValue("Key", "<env>QM_TEST_HOME</env>/other", "Other", false);
    store.setValue("Indirect", "<ref>other:key</ref>", "Main", false);

    struct Case {
        std::string value;
        std::string expected;
    };
    const Case cases[] = {
        {"<env>QM_TEST_HOME</env>/x", "/root/x"},
        {"<ENV>QM_TEST_HOME</Env>", "/root"},
        {"[<env>QM_TEST_EMPTY</env>]", "[]"},
        {"<env>QM_TEST_UNSET</env>", "QM_TEST_UNSET"},
        {"<env>QM_TEST_HOLDS_REF</env>", "<ref>KEY</ref>"},  // ref was done before env
        {"<func>PID</func>:<func>THREAD</func>", pid + ":" + pid},
        {"<func>pid</func>", "pid"},
        {"open <ref>KEY and no close", "open <ref>KEY and no close"},
        {"<ref>KEY</ref>", "main-value"},
        {"<ref>OTHER:KEY</ref>", "/root/other"},
        {"<ref>Indirect</ref>!", "/root/other!"},
        {"<ref>NOPE:KEY</ref>", "NOPE:KEY"},
        {"<sys>echo one; echo two</sys>", "one"},
        {"<sys>printf ''</sys>", ""},
        {"<sys>echo out; exit 3</sys>", "echo out; exit 3"},
        {"<sys>echo x >&2</sys>|", "|"},  // only standard output counts
        {"<sys>printf '%5000s' '' | tr ' ' x</sys>", longLine},
        {"<sys>echo <env>QM_TEST_HOME</env></sys>", "/root"},  // env runs before sys
        {"<env>QM_TEST_HOLDS_FUNC</env>", pid},                // func runs after env
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        store.setValue("probe", c.value, "Main", true);
        EXPECT_EQ(c.expected, valueOf(store, "probe", "Main"));
    }

    // The stored text keeps its macros; every list read expands them.
    store.setValues("probe", Texts{"<ref>KEY</ref>", "<func>PID</func>"}, "Main", true);
    Texts values;
    store.getValues("probe", values, "Main");
    EXPECT_EQ((Texts{"main-value", pid}), values);
    std::vector<Configurator::Entry> entries;
    store.getSectionEntries(entries, "other");
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ("/root/other", entries[0].value);
    std::ostringstream written;
    written << store;
    EXPECT_NE(std::string::npos, written.str().find("PROBE = <ref>KEY</ref>\n"));
}

TEST(Configurator, SelfReferencingMacrosEnd) {
    ScopedEnv self("QM_TEST_SELF", "<env>QM_TEST_SELF</env>");
    Configurator store("Main");
    store.setValue("A", "<ref>B</ref>", "Main", false);
    store.setValue("B", "<ref>A</ref>", "Main", false);
    store.setValue("Self", "<ref>Self</ref>", "Main", false);
    store.setValue("Fan", "<ref>Fan</ref><ref>Fan</ref><ref>Fan</ref>", "Main", false);
    store.setValue("Env", "<env>QM_TEST_SELF</env>", "Main", false);
    store.setValue("Plain", "fine", "Main", false);

    const std::string a = valueOf(store, "A", "Main");
    EXPECT_TRUE(a == "A" || a == "B") << a;
    EXPECT_EQ("Self", valueOf(store, "Self", "Main"));
    EXPECT_NE("<unset>", valueOf(store, "Fan", "Main"));
    EXPECT_EQ("<env>QM_TEST_SELF</env>", valueOf(store, "Env", "Main"));
    // The bounds are per read: a later, well-built value expands in full.
    store.setValue("Deep0", "end", "Main", false);
    for (int i = 1; i <= 20; ++i) {
        store.setValue("Deep" + std::to_string(i), "<ref>Deep" + std::to_string(i - 1) + "</ref>",
                       "Main", false);
    }
    EXPECT_EQ("end", valueOf(store, "Deep20", "Main"));
    EXPECT_EQ("fine", valueOf(store, "Plain", "Main"));
}

TEST(Configurator, SysMacroLeavesNoDescriptorsOrFiles) {
    Configurator store("Main");
    store.setValue("cmd", "<sys>echo ok</sys>", "Main", false);
    store.setValue("failing", "<sys>exit 1</sys>", "Main", false);
    const int before = openDescriptorCount();
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ("ok", valueOf(store, "cmd", "Main"));
        EXPECT_EQ("exit 1", valueOf(store, "failing", "Main"));
    }
    EXPECT_EQ(before, openDescriptorCount());
    // No result file is left in the working directory.
    const std::string resultFile =
        "intExec" + std::to_string(::getpid()) + "T" + std::to_string(::getpid()) + ".txt";
    EXPECT_NE(0, ::access(resultFile.c_str(), F_OK));
}

TEST(Configurator, SysMacroReadsTheFirstLineWhileTheShellRuns) {
    struct Case {
        std::string value;
        std::string expected;
    };
    const Case cases[] = {
        {"<sys>printf 'a\\000b\\nc'</sys>", "a"},  // a zero byte ends the line
        {"<sys>printf '%1023s\\n' '' | tr ' ' y</sys>", std::string(1023, 'y')},
        {"<sys>printf 'no line feed'</sys>", "no line feed"},
        // Output past the pipe's capacity is read and dropped, so the command ends normally.
        {"<sys>seq 1 200000</sys>", "1"},
        {"<sys>echo one; sleep 0.1; echo two; exit 0</sys>", "one"},
        // Output of any size is read to its end, so the command is not cut off by SIGPIPE.
        {"<sys>yes | head -c 20000000; true</sys>", "y"},
        {"<sys>echo first; head -c 17000000 /dev/zero</sys>", "first"},
    };
    Configurator store("Main");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        store.setValue("probe", c.value, "Main", true);
        EXPECT_EQ(c.expected, valueOf(store, "probe", "Main"));
    }
}

// The daemon ignores SIGPIPE and SIGHUP and its threads block signals; the macro's command must
// start without either.
TEST(Configurator, SysMacroCommandStartsWithDefaultSignalsAndAnEmptyMask) {
    Configurator store("Main");
    store.setValue("probe", "<sys>grep '^Sig' /proc/self/status | tr '\\n' ' '</sys>", "Main",
                   false);
    std::string status;
    qmtest::runAsTheDaemonDoes([&] { status = valueOf(store, "probe", "Main"); });
    const qmtest::SignalSets sets = qmtest::signalSetsOf(status);
    EXPECT_EQ(0ULL, sets.ignored) << status;
    EXPECT_EQ(0ULL, sets.blocked) << status;
}

// A command that leaves a background process holding its output open (a daemon it starts) must
// not keep the store, and its lock, waiting for that process.
TEST(Configurator, SysMacroDoesNotWaitForBackgroundProcesses) {
    qmtest::TempDir dir;
    const std::string pidFile = dir.file("background.pid");
    Configurator store("Main");
    store.setValue("probe", "<sys>echo first; (sleep 30 & echo $! > " + pidFile + "); echo x</sys>",
                   "Main", false);
    Texts values;
    ASSERT_TRUE(store.getValues("probe", values, "Main"));
    EXPECT_EQ(Texts{"first"}, values);

    // The background process still runs: the read did not wait for it.
    const pid_t background = static_cast<pid_t>(std::atoi(qmtest::readFile(pidFile).c_str()));
    ASSERT_GT(background, 0);
    EXPECT_EQ(0, ::kill(background, 0));
    ::kill(background, SIGKILL);
}

TEST(Configurator, LockedOperationsAreAtomic) {
    Configurator store("Main");
    store.setValues("k", Texts{"a", "b"}, "Main", true);
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            store.setValues("k", Texts{"a", "b"}, "Main", true);
            store.setPairs({{"other", std::to_string(i), ""}}, "Main", true);
        }
    });
    bool alwaysWhole = true;
    for (int i = 0; i < 2000; ++i) {
        Texts values;
        store.getValues("k", values, "Main");
        alwaysWhole = alwaysWhole && values == Texts({"a", "b"});
    }
    writer.join();
    EXPECT_TRUE(alwaysWhole);
}
