#include "quillmark/SafeXmlParse.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <algorithm>
#include <cstddef>
#include <random>
#include <string>
#include <vector>

using namespace quillmark;

namespace {

// The deepest element chain of what TinyXML built, also from a text it stopped on: every
// element it starts parsing is linked into the tree, so this is the depth its recursion reached.
std::size_t treeDepth(const TiXmlNode& node) {
    std::size_t deepest = 0;
    for (const TiXmlNode* child = node.FirstChild(); child != nullptr;
         child = child->NextSibling()) {
        deepest = std::max(deepest, treeDepth(*child));
    }
    return deepest + (node.ToElement() != nullptr ? 1 : 0);
}

// Only for texts shallow enough for TinyXML's recursion.
std::size_t tinyXmlDepth(const std::string& text) {
    TiXmlDocument document;
    std::string padded = text;
    padded.append(4, '\0');
    document.Parse(padded.c_str());
    return treeDepth(document);
}

std::string repeat(const std::string& fragment, std::size_t times) {
    std::string out;
    out.reserve(fragment.size() * times);
    for (std::size_t i = 0; i < times; ++i) out += fragment;
    return out;
}

const std::string kUtf8Declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

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
        // In UTF-8 mode TinyXML takes a lead byte and the "<" after it as one character, so the
        // end tag is text and the next element nests deeper.
        {"lead byte swallows end tags", kUtf8Declaration + "<a>" + repeat("\xC3</a><a>", 5), 6},
        {"declaration without encoding is UTF-8", "<?xml version='1.0'?><a>\xE2x</a><a/>", 2},
        {"byte order mark means UTF-8", "\xEF\xBB\xBF<a>\xC3</a><a>", 2},
        {"legacy encoding steps bytewise",
         "<?xml version='1.0' encoding='ISO-8859-1'?><a>\xC3</a><a>\xC3</a>", 1},
        {"no declaration steps bytewise", "<a>\xC3</a><a>\xC3</a>", 1},
        {"continuation bytes are ordinary text", kUtf8Declaration + "<a>\xC3\xA9</a><a/>", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.depth, xmlNestingDepth(c.text, kMaxXmlNesting));
        EXPECT_EQ(c.depth, tinyXmlDepth(c.text));
    }
}

TEST(SafeXmlParse, Utf8StepsMatchTinyXmlForEveryByte) {
    for (int byte = 0x80; byte < 0x100; ++byte) {
        for (const std::string filler : {"", "x", "xy"}) {
            const std::string text =
                kUtf8Declaration + "<a>" + std::string(1, char(byte)) + filler + "</a><b><c/></b>";
            SCOPED_TRACE(testing::Message() << "byte " << byte << " then " << filler.size());
            EXPECT_EQ(tinyXmlDepth(text), xmlNestingDepth(text, kMaxXmlNesting));
        }
    }
}

// Random texts made of the fragments that change TinyXML's reading: whatever the mix, the scan may
// overstate the depth but never understate it.
TEST(SafeXmlParse, NeverBelowTinyXmlOnMixedTexts) {
    const std::vector<std::string> fragments = {"<a>",
                                                "</a>",
                                                "<b x='1'>",
                                                "</b>",
                                                "<c/>",
                                                "<!--",
                                                "-->",
                                                "<![CDATA[",
                                                "]]>",
                                                "\"",
                                                "'",
                                                "<?xml version=\"1.0\"?>",
                                                "<?xml encoding=\"ISO-8859-1\"?>",
                                                "<?xml encoding='UTF&#45;8'?>",
                                                "<!x",
                                                ">",
                                                "/>",
                                                "<d y=\"",
                                                "\xC3",
                                                "\xE2\x82",
                                                "\xF0",
                                                "text",
                                                " ",
                                                "&#x41;",
                                                "&",
                                                "<?pi",
                                                "?>",
                                                "\xEF\xBB\xBF",
                                                "=",
                                                "<",
                                                "/",
                                                "<e\n z = '>' >",
                                                "<_f",
                                                "\xC3\xA9",
                                                "&#x3c;",
                                                "<\xC3\xA9>",
                                                "</\xC3\xA9>",
                                                "<?xml version='\xE2'?>",
                                                "\xC3'",
                                                "\xE2\""};
    std::mt19937 random(20240517);
    std::uniform_int_distribution<std::size_t> pick(0, fragments.size() - 1);
    std::uniform_int_distribution<int> length(1, 40);
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        for (int n = length(random); n > 0; --n) text += fragments[pick(random)];
        const std::size_t actual = tinyXmlDepth(text);
        const std::size_t bound = xmlNestingDepth(text, kMaxXmlNesting);
        if (bound < actual) {
            ADD_FAILURE() << "scan " << bound << " < TinyXML " << actual << " for: " << text;
            return;
        }
    }
}

TEST(SafeXmlParse, CountsEveryLaterElementWhereTinyXmlStops) {
    // TinyXML stops at text outside the root; the scan does not follow it there.
    EXPECT_EQ(1u, tinyXmlDepth("<a/>x<b><c/></b>"));
    EXPECT_EQ(2u, xmlNestingDepth("<a/>x<b><c/></b>", kMaxXmlNesting));
}

TEST(SafeXmlParse, StopsCountingPastTheLimit) {
    EXPECT_EQ(100u, xmlNestingDepth(repeat("<a>", 100), 100));
    EXPECT_EQ(101u, xmlNestingDepth(repeat("<a>", 1000000), 100));
    EXPECT_EQ(1u, xmlNestingDepth(repeat("<a/>", 100000), 100));
    EXPECT_EQ(6u, xmlNestingDepth(repeat("<a>", 10), 5));
}

TEST(SafeXmlParse, RefusesDeepTextsAndParsesTheRest) {
    struct Case {
        const char* name;
        std::string text;
        XmlParseOutcome outcome;
    };
    const Case cases[] = {
        {"100 levels", repeat("<a>", 100) + repeat("</a>", 100), XmlParseOutcome::kParsed},
        {"101 levels", repeat("<a>", 101) + repeat("</a>", 101), XmlParseOutcome::kTooDeep},
        {"a million levels", repeat("<a>", 1000000), XmlParseOutcome::kTooDeep},
        {"end tags swallowed in UTF-8", kUtf8Declaration + "<a>" + repeat("\xC3</a><a>", 200000),
         XmlParseOutcome::kTooDeep},
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
