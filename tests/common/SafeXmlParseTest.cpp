#include "quillmark/SafeXmlParse.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

using namespace quillmark;

namespace {

// While `counting`, the heap bytes operator new has handed out and not yet taken back, and the
// most of them at any one time: TinyXML allocates its nodes and their strings through it. Each
// block counts as the GNU C library's malloc lays out a request in fresh memory: an 8-byte header,
// rounded up to 16 bytes, 32 at least. (A block reused from freed memory may take 16 bytes more.)
struct HeapCount {
    bool counting = false;
    std::ptrdiff_t live = 0;
    std::ptrdiff_t peak = 0;
};
HeapCount heap;

// Each block is preceded by its requested size, kept in an aligned prefix.
constexpr std::size_t kPrefix = alignof(std::max_align_t);

std::ptrdiff_t heapBytesOf(std::size_t requested) {
    return static_cast<std::ptrdiff_t>(std::max<std::size_t>(32, (requested + 8 + 15) / 16 * 16));
}

void* allocateCounted(std::size_t size) {
    char* block = static_cast<char*>(std::malloc(kPrefix + size));
    if (block == nullptr) throw std::bad_alloc();
    *reinterpret_cast<std::size_t*>(block) = size;
    if (heap.counting) {
        heap.live += heapBytesOf(size);
        heap.peak = std::max(heap.peak, heap.live);
    }
    return block + kPrefix;
}

void releaseCounted(void* block) noexcept {
    if (block == nullptr) return;
    char* start = static_cast<char*>(block) - kPrefix;
    if (heap.counting) heap.live -= heapBytesOf(*reinterpret_cast<std::size_t*>(start));
    std::free(start);
}

}  // namespace

void* operator new(std::size_t size) { return allocateCounted(size); }
void* operator new[](std::size_t size) { return allocateCounted(size); }
void operator delete(void* block) noexcept { releaseCounted(block); }
void operator delete[](void* block) noexcept { releaseCounted(block); }
void operator delete(void* block, std::size_t) noexcept { releaseCounted(block); }
void operator delete[](void* block, std::size_t) noexcept { releaseCounted(block); }

namespace {

// Limits no generated text reaches, deeper than the 150 levels they nest.
const XmlTextLimits kUnlimited = {1000, std::numeric_limits<std::size_t>::max(),
                                  std::numeric_limits<std::size_t>::max()};

XmlTextShape shapeOf(const std::string& text) {
    return measureXmlText(text.data(), text.size(), kUnlimited);
}

// The deepest element chain of what TinyXML built. It links every node it starts to parse into
// the tree before it knows whether the parse succeeds, and keeps them when it gives up, so this
// is also the depth its recursion reached in a text it stopped on.
std::size_t treeDepth(const TiXmlNode& node) {
    std::size_t deepest = 0;
    for (const TiXmlNode* child = node.FirstChild(); child != nullptr;
         child = child->NextSibling()) {
        deepest = std::max(deepest, treeDepth(*child));
    }
    return deepest + (node.ToElement() != nullptr ? 1 : 0);
}

// What TinyXML's own parse of a text did, as the manager runs it. Only for texts shallow
// enough for its recursion.
struct TinyXmlParse {
    bool parsed;
    std::size_t depth;
    std::size_t peakHeap;
};

TinyXmlParse parsedByTinyXml(const std::string& text) {
    std::string padded = text;
    padded.append(4, '\0');
    TiXmlDocument document;
    document.SetTabSize(0);
    heap = HeapCount{true, 0, 0};
    document.Parse(padded.c_str());
    heap.counting = false;
    return TinyXmlParse{!document.Error(), treeDepth(document),
                        static_cast<std::size_t>(heap.peak)};
}

std::size_t tinyXmlDepth(const std::string& text) { return parsedByTinyXml(text).depth; }

std::string repeat(const std::string& fragment, std::size_t times) {
    std::string out;
    out.reserve(fragment.size() * times);
    for (std::size_t i = 0; i < times; ++i) out += fragment;
    return out;
}

const std::string kUtf8Declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

// Random documents made of the pieces that change how TinyXML reads a text: elements, end tags
// and empty elements, attributes in either quote or none, entities of every kind and broken
// ones, comments, CDATA sections, declarations, "<!" and "<?" nodes, texts, UTF-8 lead bytes and
// byte order marks, stray ">" and ";". Each nests one chain of elements down to a random depth
// of up to 150 levels. The pieces of half of the documents keep them well-formed; in the others
// one piece in thirty is one that breaks it or makes TinyXML read on past the markup that follows
// (a reference up to a later ";", a lead byte before a "<"). Half of the documents are then
// edited at random places.
class DocumentGenerator {
public:
    explicit DocumentGenerator(unsigned seed) : random_(seed) {}

    std::string next() {
        risky_ = chance(2);
        std::string out;
        if (chance(8)) out += "\xEF\xBB\xBF";
        if (chance(2)) out += piece(kDeclarations);
        for (int n = below(3); n > 0; --n) out += piece(kMiscellany);
        element(out, 1, 1 + below(150));
        if (chance(4)) out += piece(kMiscellany);
        if (chance(8)) out += piece(kTexts);
        if (chance(2)) {
            for (int n = 1 + below(3); n > 0; --n) edit(out);
        }
        return out;
    }

private:
    struct Pieces {
        std::vector<std::string> sound;
        std::vector<std::string> risky;
    };
    static const Pieces kNames, kTexts, kQuoted, kUnquoted, kMiscellany, kDeclarations, kMarkup;

    bool chance(int oneIn) { return below(oneIn) == 0; }
    int below(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random_); }
    const std::string& pick(const std::vector<std::string>& from) {
        return from[static_cast<std::size_t>(below(static_cast<int>(from.size())))];
    }
    const std::string& piece(const Pieces& pieces) {
        return pick((risky_ && chance(30)) || pieces.sound.empty() ? pieces.risky : pieces.sound);
    }

    std::string text() {
        std::string out;
        for (int n = 1 + below(4); n > 0; --n) out += piece(kTexts);
        return out;
    }

    void attribute(std::string& out, const std::string& name) {
        out += " " + name + (chance(4) ? " = " : "=");
        const int kind = below(3);
        const char* quote = kind == 0 ? "\"" : kind == 1 ? "'" : "";
        out += quote;
        // An unquoted value needs a byte at least.
        for (int n = below(3) + (kind == 2 ? 1 : 0); n > 0; --n) {
            const std::string& value = piece(kind == 2 ? kUnquoted : kQuoted);
            // The other quote is plain text in a quoted value.
            out += value == quote ? std::string(kind == 0 ? "'" : "\"") : value;
        }
        out += quote;
    }

    void element(std::string& out, int depth, int chainDepth) {
        const std::string& name = piece(kNames);
        out += "<" + name;
        const int attributes = below(3);
        for (int n = 0; n < attributes; ++n) {
            // Distinct names, but now and then the same twice, which TinyXML refuses.
            attribute(out, chance(20) ? "a" : "n" + std::to_string(n));
        }
        if (depth >= chainDepth && chance(3)) {
            out += chance(4) ? " />" : "/>";
            return;
        }
        out += ">";
        const int chainAt = depth < chainDepth ? below(3) : -1;
        for (int item = 0; item < 3; ++item) {
            if (item == chainAt) element(out, depth + 1, chainDepth);
            switch (below(6)) {
            case 0: out += piece(kMiscellany); break;
            case 1:
                if (depth + 1 < chainDepth && chance(8)) element(out, depth + 1, depth + 2);
                break;
            default: out += text(); break;
            }
        }
        out += "</" + name + (chance(8) ? " >" : ">");
    }

    void edit(std::string& out) {
        const std::size_t at = std::uniform_int_distribution<std::size_t>(0, out.size())(random_);
        switch (below(3)) {
        case 0: out.insert(at, pick(kMarkup.risky)); break;
        case 1: out.insert(at, pick(kTexts.risky)); break;
        default: out.erase(at, static_cast<std::size_t>(1 + below(8))); break;
        }
    }

    std::mt19937 random_;
    bool risky_ = false;
};

const DocumentGenerator::Pieces DocumentGenerator::kNames = {
    {"a", "b", "c", "_d", "e.f", "g-h:i", "\xC3\xA9", "\x7F", "version", "encoding"},
    {"\xEF\xBB\xBF", "\xC3",
     "\xEF\xBB\xBF"
     "a"}};
const DocumentGenerator::Pieces DocumentGenerator::kTexts = {
    {"text",         " ",  "\n",   "&amp;", "&lt;", "&quot;", "&#x41;", "&#65;",    "&#x;",
     "&#;",          "&",  "x41;", "x;",    "#9;",  ";",      ">",      "\xC3\xA9", "\xEF\xBB\xBF",
     "\xEF\xBF\xBE", "\"", "'",    "]]>",   "-->",  "/>",     "=",      "?>"},
    {"&#x", "&#", "&#xZ;", "&#1a;", "&#X41;", "&#x41", "\xC3", "\xE2\x82", "\xF0", "\xEF"}};
const DocumentGenerator::Pieces DocumentGenerator::kQuoted = {
    {"v", " ", "&amp;", "&#x3c;", "x;", ";", ">", "/>", "<", "<!--", "-->", "<a>", "</a>", "\"",
     "'", "\xC3\xA9"},
    {"&#x", "&#", "&#xZ;", "\xC3", "\xF0"}};
const DocumentGenerator::Pieces DocumentGenerator::kUnquoted = {
    {"v", "x;", ";", "&amp;", "&#x", "\xC3"}, {"'", "\"", "<", "=", "\xC3\xA9"}};
const DocumentGenerator::Pieces DocumentGenerator::kMiscellany = {
    {"<!-- c -->", "<!--<a><b>-->", "<![CDATA[<a>]]>", "<![CDATA[&#x]]>", "<!DOCTYPE a>", "<!x>",
     "<?pi x?>", "<?>", "<?xml version='1'?>", "<!---->"},
    {"<!-->", "<!--", "<![CDATA[", "<!x", "<?xml version", "<?xml"}};
const DocumentGenerator::Pieces DocumentGenerator::kDeclarations = {
    {"<?xml version=\"1.0\"?>", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
     "<?xml version='1.0' encoding='ISO-8859-1'?>", "<?xml encoding='UTF&#45;8'?>",
     "<?xml encoding='&#85;TF8'?>", "<?xml encoding='utf&amp;8'?>", "<?xml encoding='&#0;latin'?>",
     "<?xml encoding=latin1 ?>", "<?xml encoding=\"u&x;tf-8\"?>",
     "<?XML standalone='yes' other=\"a b\"?>"},
    {"<?xml version=\"&#x\"?>", "<?xml version=>", "<?xml encoding='&#xZ;'?>"}};
const DocumentGenerator::Pieces DocumentGenerator::kMarkup = {
    {}, {"<a>", "</a>",  "<b x='1'>", "</b>", "<c/>", "<!--",    "-->", "<![CDATA[",
         "]]>", "<?xml", "<!x",       "<?",   "<",    ">",       "&#x", "&#",
         ";",   "\xC3",  "\xF0",      "'",    "\"",   "<a b=\"", "</"}};

}  // namespace

TEST(SafeXmlParse, DepthFollowsTinyXmlReading) {
    struct Case {
        const char* name;
        std::string text;
        std::size_t depth;
    };
    const Case cases[] = {
        {"empty", "", 0},
        {"empty element", "<a/>", 1},
        {"siblings close", "<a><b></b><b/><b>t</b></a>", 2},
        {"end tag with blanks", "<a><b></b  ><c><d/></c></a>", 3},
        {"comment hides tags", "<a><!-- <b><c><d> --></a>", 1},
        {"comment hides an end tag", "<a><!-- </a> --><b><c/></b></a>", 3},
        {"cdata hides tags", "<a><![CDATA[<b><c></a>]]><d/></a>", 2},
        {"quoted values hide tags", "<a x=\"<b>\" y='/>' z=\"</a>\"><c/></a>", 2},
        {"declaration value hides an end tag", "<a><?xml version=\"</a>\"?><b/></a>", 2},
        {"processing instruction", "<a><?pi stuff?><b/></a>", 2},
        {"doctype", "<!DOCTYPE a><a><b/></a>", 2},
        {"end tag outside the root", "</x><a><b/></a>", 2},
        {"several roots", "<a><b/></a><c><d><e/></d></c>", 3},
        {"text after the root ends the reading", "<a/>x<b><c/></b>", 1},
        {"a wrong end tag ends the reading", "<a><b></a><c><d/></c>", 2},
        // A character reference runs to the next ";" wherever it is, when only digits stand
        // between the last "x" or "#" before it and the ";".
        {"hex reference hides a comment start", "<a>&#x<!--x41;<b><c><d/></c></b></a>-->", 4},
        {"decimal reference hides a comment start", "<a>&#<!--#65;<b><c/></b></a>-->", 3},
        {"reference hides a CDATA start", "<a>&#x<![CDATA[x41;<b><c/></b></a>]]>", 3},
        {"reference hides an end tag", "<a><b>&#x</b></a>x;<c/></b></a>", 3},
        {"reference in a value hides its quote and a comment start",
         "<a v=\"&#x\"><!--x;\"><b><c><d/></c></b></a>-->", 4},
        {"reference in a value hides tags", "<a v='&#x'><b><c>x;'/>", 1},
        {"broken reference ends the reading", "<a>&#x<b;<c><d/></c></a>", 1},
        {"reference without a semicolon ends the reading", "<a><b>&#x41</b><c/></a>", 2},
        {"named entities are plain text", "<a>&lt;b&gt;&amp;<c/></a>", 2},
        // In UTF-8 mode TinyXML takes a lead byte and the "<" after it as one character, so the
        // end tag is text and the next element nests deeper.
        {"lead byte swallows end tags", kUtf8Declaration + "<a>" + repeat("\xC3</a><a>", 5), 6},
        {"declaration without encoding is UTF-8", "<?xml version='1.0'?><a>\xE2x</a><a/>", 2},
        {"byte order mark means UTF-8", "\xEF\xBB\xBF<a>\xC3</a><a>", 2},
        {"legacy encoding steps bytewise",
         "<?xml version='1.0' encoding='ISO-8859-1'?><a>\xC3</a><a>\xC3</a>", 1},
        {"the encoding's entities are decoded",
         "<?xml encoding='UTF&#45;8'?><a>\xC3</a><b>\xC3</b>", 2},
        {"no declaration steps bytewise", "<a>\xC3</a><a>\xC3</a>", 1},
        {"continuation bytes are ordinary text", kUtf8Declaration + "<a>\xC3\xA9</a><a/>", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.depth, shapeOf(c.text).depth);
        EXPECT_EQ(c.depth, tinyXmlDepth(c.text));
    }
}

TEST(SafeXmlParse, Utf8StepsMatchTinyXmlForEveryByte) {
    for (int byte = 0x80; byte < 0x100; ++byte) {
        for (const std::string filler : {"", "x", "xy"}) {
            const std::string text =
                kUtf8Declaration + "<a>" + std::string(1, char(byte)) + filler + "</a><b><c/></b>";
            SCOPED_TRACE(testing::Message() << "byte " << byte << " then " << filler.size());
            EXPECT_EQ(tinyXmlDepth(text), shapeOf(text).depth);
        }
    }
}

// Whatever TinyXML makes of a generated document, the scan finds its nesting and at least the
// memory its parse took; where TinyXML parses the whole document, exactly its nesting.
TEST(SafeXmlParse, FindsTinyXmlsNestingAndMemoryInGeneratedDocuments) {
    DocumentGenerator generator(20240517);
    int parsed = 0, deep = 0;
    const int rounds = 3000;
    for (int round = 0; round < rounds; ++round) {
        const std::string text = generator.next();
        const TinyXmlParse actual = parsedByTinyXml(text);
        const XmlTextShape shape = shapeOf(text);
        if (actual.parsed) ++parsed;
        if (actual.depth > 100) ++deep;
        const bool found =
            actual.parsed ? shape.depth == actual.depth : shape.depth >= actual.depth;
        if (!found || shape.nodeMemory < actual.peakHeap) {
            ADD_FAILURE() << "round " << round << ": scan " << shape.depth << " levels, "
                          << shape.nodeMemory << " bytes; TinyXML " << actual.depth << " levels, "
                          << actual.peakHeap << " bytes, " << (actual.parsed ? "" : "not ")
                          << "parsed: " << text;
            return;
        }
    }
    // The generated documents cover what the test is about.
    EXPECT_GT(parsed, rounds / 5);
    EXPECT_GT(deep, rounds / 20);
}

TEST(SafeXmlParse, StopsCountingPastTheLimit) {
    const auto depthWithin = [](const std::string& text, std::size_t limit) {
        XmlTextLimits limits;
        limits.depth = limit;
        return measureXmlText(text.data(), text.size(), limits).depth;
    };
    EXPECT_EQ(100u, depthWithin(repeat("<a>", 100), 100));
    EXPECT_EQ(101u, depthWithin(repeat("<a>", 1000000), 100));
    EXPECT_EQ(1u, depthWithin(repeat("<a/>", 100000), 100));
    EXPECT_EQ(6u, depthWithin(repeat("<a>", 10), 5));
}

TEST(SafeXmlParse, RefusesDeepTextsAndParsesTheRest) {
    struct Case {
        const char* name;
        std::string text;
        XmlParseOutcome outcome;
    };
    const std::string section = "<quillmark_agentd_config><GeneralProperties>";
    const Case cases[] = {
        {"100 levels", repeat("<a>", 100) + repeat("</a>", 100), XmlParseOutcome::kParsed},
        {"101 levels", repeat("<a>", 101) + repeat("</a>", 101), XmlParseOutcome::kTooDeep},
        {"a million levels", repeat("<a>", 1000000), XmlParseOutcome::kTooDeep},
        {"end tags swallowed in UTF-8", kUtf8Declaration + "<a>" + repeat("\xC3</a><a>", 200000),
         XmlParseOutcome::kTooDeep},
        {"levels behind a reference that hides a comment start",
         section + "&#x<!--x41;" + repeat("<a>", 60000) + "-->", XmlParseOutcome::kTooDeep},
        {"levels behind a reference that hides a CDATA start",
         section + "&#x<![CDATA[x41;" + repeat("<a>", 60000) + "]]>", XmlParseOutcome::kTooDeep},
        {"empty", "", XmlParseOutcome::kMalformed},
        {"unclosed", "<a><b></a>", XmlParseOutcome::kMalformed},
        {"text ends in a lead byte", kUtf8Declaration + "<a>\xE2", XmlParseOutcome::kMalformed},
        {"text ends in a quoted lead byte", kUtf8Declaration + "<a x='\xF0",
         XmlParseOutcome::kMalformed},
        {"text ends at the first zero byte", std::string("<a/>\0<b", 7), XmlParseOutcome::kParsed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // An exact-size copy, so reading past its end is caught by the sanitizer build.
        const std::string text(c.text.begin(), c.text.end());
        TiXmlDocument document;
        EXPECT_EQ(c.outcome, parseXmlText(text, document));
    }
}

// Nodes that would take more memory than the bound, and attributes whose duplicate check would
// take TinyXML longer, are refused before TinyXML builds anything.
TEST(SafeXmlParse, RefusesTextsThatWouldTakeTooMuchToParse) {
    const auto attributes = [](std::size_t count) {
        std::string text = "<a";
        for (std::size_t i = 0; i < count; ++i) text += " b" + std::to_string(i) + "=''";
        return text + "/>";
    };
    struct Case {
        const char* name;
        std::string text;
        XmlParseOutcome outcome;
    };
    const Case cases[] = {
        {"3,100,000 empty elements", "<r>" + repeat("<a/>", 3100000) + "</r>",
         XmlParseOutcome::kTooLarge},
        {"3,100,000 empty elements in a comment", "<r><!--" + repeat("<a/>", 3100000) + "--></r>",
         XmlParseOutcome::kParsed},
        {"an element of 12,000 attributes", attributes(12000), XmlParseOutcome::kTooManyAttributes},
        {"elements of 100 attributes", repeat(attributes(100), 100), XmlParseOutcome::kParsed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TiXmlDocument document;
        heap = HeapCount{true, 0, 0};
        EXPECT_EQ(c.outcome, parseXmlText(c.text, document));
        heap.counting = false;
        if (c.outcome != XmlParseOutcome::kParsed) {
            EXPECT_EQ(nullptr, document.FirstChild());
            EXPECT_LT(heap.peak, 4096);
        }
    }
}

// The bound is the memory TinyXML spends, not a far larger figure: on a configuration of
// ordinary settings the scan is within a tenth of what the parse takes.
TEST(SafeXmlParse, MemoryOfOrdinarySettingsIsCloseToWhatTinyXmlTakes) {
    std::string text = kUtf8Declaration + "\n<quillmark_agentd_config>\n\t<GeneralProperties>\n";
    for (int i = 0; i < 20000; ++i) {
        text += "\t\t<prop><key>Setting" + std::to_string(i) + "</key><value>dmFsdWUgMTIzNDU2" +
                std::to_string(i % 10) + "</value></prop>\n";
    }
    text += "\t</GeneralProperties>\n</quillmark_agentd_config>\n";
    const TinyXmlParse actual = parsedByTinyXml(text);
    ASSERT_TRUE(actual.parsed);
    const std::size_t estimate = shapeOf(text).nodeMemory;
    EXPECT_GE(estimate, actual.peakHeap);
    EXPECT_LE(estimate, actual.peakHeap + actual.peakHeap / 10);
}

// A text is read where it lies, up to its first zero byte: what follows in the buffer is never
// part of the document, also when the text ends inside a UTF-8 sequence that TinyXML would step
// over.
TEST(SafeXmlParse, ReadsATextInItsBufferUpToItsZeroByte) {
    struct Case {
        const char* name;
        std::string buffer;
        XmlParseOutcome outcome;
    };
    const std::string zero(1, '\0');
    const Case cases[] = {
        {"ends at its zero byte", "<a/>" + zero, XmlParseOutcome::kParsed},
        {"bytes after the zero byte", "<a/>" + zero + "<b", XmlParseOutcome::kParsed},
        {"no zero byte", "<a/>", XmlParseOutcome::kParsed},
        {"no zero byte, ends in a lead byte", kUtf8Declaration + "<a>x\xC3",
         XmlParseOutcome::kMalformed},
        {"a lead byte before the zero byte and the rest of a document after it",
         kUtf8Declaration + "<a>x\xC3" + zero + "</a>", XmlParseOutcome::kMalformed},
        {"a four-byte lead two bytes before the zero byte",
         kUtf8Declaration + "<a>\xF0x" + zero + "</a>", XmlParseOutcome::kMalformed},
        {"a lead byte before four zero bytes",
         kUtf8Declaration + "<a>x\xC3" + repeat(zero, 4) + "</a>", XmlParseOutcome::kMalformed},
        {"a complete sequence just before the zero byte",
         kUtf8Declaration + "<a>\xE2\x82\xAC</a>" + zero + "<b", XmlParseOutcome::kParsed},
        {"too deep before the zero byte", repeat("<a>", 101) + zero + repeat("</a>", 101),
         XmlParseOutcome::kTooDeep},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Exactly the buffer's bytes, so that a read past them is caught by the sanitizer build.
        const std::vector<char> buffer(c.buffer.begin(), c.buffer.end());
        TiXmlDocument document;
        EXPECT_EQ(c.outcome, parseXmlText(buffer.data(), buffer.size(), document));
    }
}
