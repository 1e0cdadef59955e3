// The ".conf" reader and writer of Configurator, and its load and save on real files.
#include "quillmark/Configurator.h"
#include "support/BoundedFifo.h"
#include "support/FileModes.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

using namespace quillmark;
using qmtest::readFile;
using qmtest::writeFile;

namespace {

typedef std::vector<std::string> Texts;

// Every stored value as "SECTION/KEY=value", in the store's order.
Texts listing(Configurator& store) {
    std::vector<Configurator::Entry> entries;
    store.getAllEntries(entries);
    Texts listed;
    for (const auto& e : entries) listed.push_back(e.section + "/" + e.key + "=" + e.value);
    return listed;
}

Texts read(const std::string& text, const std::string& storeName = "Main") {
    Configurator store(storeName);
    std::istringstream in(text);
    in >> store;
    return listing(store);
}

Texts directoryNames(const std::string& path) {
    Texts names;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        ::closedir(dir);
    }
    return names;
}

}  // namespace

TEST(ConfSyntax, ReaderLines) {
    const std::string longValue(10000, 'v');
    struct Case {
        std::string text;
        Texts expected;
    };
    const Case cases[] = {
        {"Server=10.1.1.1,10.1.1.2", {"MAIN/SERVER=10.1.1.1", "MAIN/SERVER=10.1.1.2"}},
        {"Server = a, b", {"MAIN/SERVER = a", "MAIN/SERVER = b"}},
        {"  key=value  ", {"MAIN/KEY=value"}},
        {"\tkey=value", {"MAIN/\tKEY=value"}},  // only blanks are trimmed
        {"UserParameter=load,cat /proc/loadavg,x",
         {"MAIN/USERPARAMETER=load", "MAIN/USERPARAMETER=cat /proc/loadavg,x"}},
        {"userparameter=only", {"MAIN/USERPARAMETER=only"}},
        {"KEY=", {"MAIN/KEY="}},
        {"KEY=a,,b", {"MAIN/KEY=a", "MAIN/KEY=", "MAIN/KEY=b"}},
        {"KEY=a,", {"MAIN/KEY=a", "MAIN/KEY="}},
        {"KEY=a=b", {"MAIN/KEY=a=b"}},
        {"KEY=a\r\n", {"MAIN/KEY=a\r"}},
        {"# KEY=a\n   #KEY=b\n// KEY=c\n  /KEY=d\nno equals here\n\n[Section]\n", {}},
        {"A=1\n[Other]\nB=2\nA=3", {"MAIN/A=1", "MAIN/A=3", "MAIN/B=2"}},
        // A line is its first 4095 bytes; the rest of a longer one is dropped, commas and all.
        {"K=" + std::string(4093, 'v') + ",cut\nNext=n",
         {"MAIN/K=" + std::string(4093, 'v'), "MAIN/NEXT=n"}},
        {"Long=" + longValue + ",x=y\nNext=n",
         {"MAIN/LONG=" + longValue.substr(0, 4090), "MAIN/NEXT=n"}},
        // A zero byte ends the line's text.
        {std::string("A=x\0y,z\nB=2", 12), {"MAIN/A=x", "MAIN/B=2"}},
        {std::string("\0A=1\nB=2", 8), {"MAIN/B=2"}},
        {"Raw=<ref>X</ref>", {"MAIN/RAW=X"}},  // stored raw, expanded on reading
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        EXPECT_EQ(c.expected, read(c.text));
    }
    EXPECT_EQ(Texts{"AGENT/K=v"}, read("k=v", "agent"));
}

TEST(ConfSyntax, ReadingReplacesTheWholeStore) {
    Configurator store("Main");
    store.setValue("old", "x", "Elsewhere", false);
    std::istringstream first("A=1");
    first >> store;
    std::istringstream second("B=2");
    second >> store;
    EXPECT_EQ(Texts{"MAIN/B=2"}, listing(store));
}

TEST(ConfSyntax, WriterFormat) {
    Configurator store("Main");
    std::ostringstream empty;
    empty << store;
    EXPECT_EQ("", empty.str());

    store.setValue("b", "2", "Main", false);
    store.setValue("a", "<env>HOME</env>", "Main", false);
    store.setValue("a", "second", "Main", false);
    store.setValue("k", "v", "extra", false);
    std::ostringstream out;
    out << store;
    EXPECT_EQ("[EXTRA]\nK = v\n\n[MAIN]\nA = <env>HOME</env>\nA = second\nB = 2\n\n", out.str());
}

class ConfFileTest : public ::testing::Test {
protected:
    qmtest::TempDir dir_;
};

TEST_F(ConfFileTest, SaveAndLoadRoundTrip) {
    Configurator written("Main");
    written.setValue("Server", "10.0.0.1", "Main", false);
    written.setValue("Server", "10.0.0.2", "Main", false);
    written.setValue("Other", "x", "Side", false);
    const std::string path = dir_.file("agent.conf");
    ASSERT_TRUE(written.save(path));
    EXPECT_EQ("[MAIN]\nSERVER = 10.0.0.1\nSERVER = 10.0.0.2\n\n[SIDE]\nOTHER = x\n\n",
              readFile(path));

    // Read back, every setting lands in the reader's own section, the key followed by a blank
    // and each value preceded by one.
    Configurator loaded("Agent");
    ASSERT_TRUE(loaded.load(path));
    EXPECT_EQ((Texts{"AGENT/OTHER = x", "AGENT/SERVER = 10.0.0.1", "AGENT/SERVER = 10.0.0.2"}),
              listing(loaded));
    EXPECT_EQ(Texts{"agent.conf"}, directoryNames(dir_.path()));
}

TEST_F(ConfFileTest, SaveReplacesTheFileAsAWhole) {
    const std::string path = dir_.file("agent.conf");
    writeFile(path, "OLD=1\n");
    ASSERT_TRUE(qmtest::setModeAndOwner(path, 0640, 65534, 65534));
    const std::string link = dir_.file("link.conf");
    ASSERT_EQ(0, ::symlink("agent.conf", link.c_str()));

    Configurator store("Main");
    store.setValue("NEW", "2", "Main", false);
    ASSERT_TRUE(store.save(link));
    EXPECT_EQ("[MAIN]\nNEW = 2\n\n", readFile(path));
    struct stat info;
    ASSERT_EQ(0, ::lstat(link.c_str(), &info));
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ("0640 65534:65534", qmtest::modeAndOwner(path));

    // A target that cannot be written fails and leaves nothing behind.
    EXPECT_FALSE(store.save(dir_.file("no/such/dir/agent.conf")));
    const std::string directory = dir_.file("sub");
    ASSERT_EQ(0, ::mkdir(directory.c_str(), 0755));
    EXPECT_FALSE(store.save(directory));
    EXPECT_EQ((Texts{"agent.conf", "link.conf", "sub"}), [&] {
        Texts names = directoryNames(dir_.path());
        std::sort(names.begin(), names.end());
        return names;
    }());
}

TEST_F(ConfFileTest, LoadFailureKeepsTheStore) {
    Configurator store("Main");
    store.setValue("kept", "1", "Main", false);
    EXPECT_FALSE(store.load(dir_.file("missing.conf")));
    EXPECT_FALSE(store.load(dir_.path()));  // a directory opens but does not read
    {
        // Does not open, rather than wait for a writer.
        const qmtest::BoundedFifo fifo(dir_.file("fifo.conf"));
        EXPECT_FALSE(store.load(fifo.path()));
        EXPECT_FALSE(fifo.releasedAWaitingReader()) << "the load waited for a writer";
    }
    EXPECT_EQ(Texts{"MAIN/KEPT=1"}, listing(store));

    const std::string path = dir_.file("no-final-newline.conf");
    writeFile(path, "A=1\nB=2");
    EXPECT_TRUE(store.loadUnlocked(path));
    EXPECT_EQ((Texts{"MAIN/A=1", "MAIN/B=2"}), listing(store));
}

TEST_F(ConfFileTest, LoadCutsLongLinesAndReadsToTheEnd) {
    const std::string path = dir_.file("long.conf");
    writeFile(path, "Long=" + std::string(100000, 'v') + ",Hidden=1\n" +
                        std::string("Z=a\0b,c\n", 8) + "Last=1");
    Configurator store("Main");
    ASSERT_TRUE(store.load(path));
    EXPECT_EQ((Texts{"MAIN/LAST=1", "MAIN/LONG=" + std::string(4090, 'v'), "MAIN/Z=a"}),
              listing(store));
}
