#include "quillmark/SafeXmlParse.h"
#include "quillmark/XmlFile.h"
#include "support/BoundedFifo.h"
#include "support/ForkedCall.h"
#include "support/TempDir.h"
#include "support/TestHelpers.h"

#include <gtest/gtest.h>

#include <tinyxml.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <sstream>
#include <string>

#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using quillmark::loadXmlFile;

namespace {

// While armed, every block from operator new ends (up to the 16-byte alignment) right before a
// page that cannot be read, so a read past the end of any buffer faults at once. Used in forked
// children only. Off, blocks come from malloc.
std::atomic<bool> fenceArmed{false};

struct FencedBlock {
    void* mapping;
    std::size_t length;
    void* block;
};
FencedBlock fencedBlocks[1024];
std::size_t fencedCount = 0;

void* fencedAllocate(std::size_t size) {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t rounded = (size + 15) / 16 * 16;
    const std::size_t body = (rounded + page - 1) / page * page;
    if (fencedCount == sizeof fencedBlocks / sizeof fencedBlocks[0]) return nullptr;
    void* mapping =
        ::mmap(nullptr, body + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return nullptr;
    char* start = static_cast<char*>(mapping);
    if (::mprotect(start + body, page, PROT_NONE) != 0) {
        ::munmap(mapping, body + page);
        return nullptr;
    }
    void* block = start + body - rounded;
    fencedBlocks[fencedCount++] = FencedBlock{mapping, body + page, block};
    return block;
}

bool releaseFenced(void* block) {
    for (std::size_t i = 0; i < fencedCount; ++i) {
        if (fencedBlocks[i].block != block) continue;
        ::munmap(fencedBlocks[i].mapping, fencedBlocks[i].length);
        fencedBlocks[i] = fencedBlocks[--fencedCount];
        return true;
    }
    return false;
}

}  // namespace

void* operator new(std::size_t size) {
    void* block = fenceArmed ? fencedAllocate(size) : std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* block) noexcept {
    if (block != nullptr && !releaseFenced(block)) std::free(block);
}
void operator delete[](void* block) noexcept { operator delete(block); }
void operator delete(void* block, std::size_t) noexcept { operator delete(block); }
void operator delete[](void* block, std::size_t) noexcept { operator delete(block); }

namespace {

std::string printed(const TiXmlDocument& document) {
    std::ostringstream out;
    out << document;
    return out.str();
}

}  // namespace

// loadXmlFile reads the file itself and hands the text to Parse: it must give what TinyXML's own
// LoadFile gives, line ends and the end of the text included.
TEST(XmlFile, LoadsAsTinyXmlLoadFileDoes) {
    struct Case {
        const char* name;
        std::string contents;
    };
    const std::string body = "<a>\n\t<b>one  two</b>\n\t<c><![CDATA[x\ny]]></c>\n</a>\n";
    const Case cases[] = {
        {"line feeds", "<?xml version=\"1.0\"?>\n" + body},
        {"CR LF", "<?xml version=\"1.0\"?>\r\n<a>\r\n\t<b>one\r\ntwo</b>\r\n</a>\r\n"},
        {"lone CR", "<a>\r<b>one\rtwo</b><c><![CDATA[x\ry\r\r\nz]]></c>\r</a>\r"},
        {"ends in CR", "<a>x</a>\r"},
        {"zero byte ends the text", std::string("<a>x</a>\0<b>", 12)},
        {"zero byte inside an element", std::string("<a>x\0</a>", 9)},
        {"empty", ""},
        {"only a zero byte", std::string(1, '\0')},
        {"not well-formed", "<a><b></a>"},
    };
    qmtest::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("doc.xml");
        qmtest::writeFile(path, c.contents);
        TiXmlDocument expected;
        expected.SetTabSize(0);
        const bool expectedLoaded = expected.LoadFile(path.c_str());
        TiXmlDocument got;
        EXPECT_EQ(expectedLoaded, loadXmlFile(path, got));
        EXPECT_EQ(expected.Error(), got.Error());
        EXPECT_EQ(printed(expected), printed(got));
    }
}

TEST(XmlFile, RefusesWhatIsNotARegularFile) {
    qmtest::TempDir dir;
    TiXmlDocument document;
    EXPECT_FALSE(loadXmlFile(dir.path(), document));
    EXPECT_FALSE(loadXmlFile(dir.file("missing.xml"), document));
    EXPECT_FALSE(loadXmlFile("/dev/null", document));

    // Neither waits for a writer nor reads what one would send.
    const qmtest::BoundedFifo fifo(dir.file("fifo.xml"));
    EXPECT_FALSE(loadXmlFile(fifo.path(), document));
    EXPECT_FALSE(fifo.releasedAWaitingReader()) << "the load waited for a writer";

    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    dir.file("socket.xml").copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address));
    EXPECT_FALSE(loadXmlFile(dir.file("socket.xml"), document));
    ::close(listener);
}

// A hand-written file is held to the bounds of a received text: TinyXML recurses once per nested
// element, so one nested a million deep would overflow the loading thread's stack, also behind
// a character reference that runs past a comment start; one of millions of small nodes would
// take gigabytes; what a save may write still loads.
TEST(XmlFile, RefusesFilesPastTheBoundsOfAReceivedText) {
    qmtest::TempDir dir;
    const auto repeat = [](const std::string& fragment, std::size_t times) {
        std::string text;
        for (std::size_t i = 0; i < times; ++i) text += fragment;
        return text;
    };
    const auto nested = [&](std::size_t depth) {
        return "<?xml version=\"1.0\"?>\n" + repeat("<a>", depth) + repeat("</a>", depth) + "\n";
    };
    const struct {
        const char* name;
        std::string text;
        bool loads;
    } cases[] = {
        {"as deep as a save writes", nested(quillmark::kMaxXmlNesting), true},
        {"a level deeper", nested(quillmark::kMaxXmlNesting + 1), false},
        {"a million levels", nested(1000000), false},
        {"levels behind a reference", "<r>&#x<!--x41;" + repeat("<a>", 1000) + "--></r>", false},
        {"3,100,000 small nodes", "<r>" + repeat("<a/>", 3100000) + "</r>", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file("bounded.xml");
        qmtest::writeFile(path, c.text);
        TiXmlDocument document;
        EXPECT_EQ(c.loads, loadXmlFile(path, document));
    }
}

// In UTF-8 mode TinyXML takes a lead byte with the bytes it announces, so a file that ends in
// one must not make it read past the loaded text. Each file is loaded in a child whose heap
// blocks end at an unreadable page; sixteen lengths of each put the text's end at every place
// within the blocks' alignment.
TEST(XmlFile, AFileEndingInAUtf8LeadByteIsReadWithinItsText) {
    const struct {
        const char* name;
        std::string tail;
        bool loads;
    } cases[] = {
        {"two-byte lead in a text", "<a>x\xC3", false},
        {"three-byte lead in a text", "<a>x\xE2", false},
        {"four-byte lead in a text", "<a>x\xF0", false},
        {"four-byte lead in an attribute value", "<a b=\"\xF0", false},
        {"lead byte after the root element", "<a>x</a>\xF0", true},
    };
    qmtest::TempDir dir;
    const std::string path = dir.file("doc.xml");
    for (const auto& c : cases) {
        for (std::size_t blanks = 0; blanks < 16; ++blanks) {
            SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(blanks) + " blanks");
            qmtest::writeFile(path, "<?xml version=\"1.0\"?>" + std::string(blanks, ' ') + c.tail);
            const std::string outcome =
                qmtest::runForked([] { return true; },
                                  [&] {
                                      bool loaded;
                                      {
                                          fenceArmed = true;
                                          TiXmlDocument document;
                                          loaded = loadXmlFile(path, document);
                                          fenceArmed = false;
                                      }
                                      return std::string(loaded ? "loaded" : "not loaded");
                                  });
            EXPECT_EQ(c.loads ? "loaded" : "not loaded", outcome);
        }
    }
}
