#include "ValueElementEncoderDecoder.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <sstream>
#include <string>

using namespace quillmark;

namespace {

std::string printed(const TiXmlDocument& document) {
    std::ostringstream out;
    out << document;
    return out.str();
}

TiXmlDocument parsed(const std::string& text) {
    TiXmlDocument document;
    document.Parse(text.c_str());
    EXPECT_FALSE(document.Error()) << document.ErrorDesc();
    return document;
}

}  // namespace

TEST(ValueElementEncoderDecoder, Rfc4648Vectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& vector : vectors) {
        SCOPED_TRACE(vector.first);
        EXPECT_EQ(vector.second, ValueElementEncoderDecoder::base64Encode(vector.first));
        EXPECT_EQ(vector.first, ValueElementEncoderDecoder::base64Decode(vector.second));
    }
}

TEST(ValueElementEncoderDecoder, EveryByteValueRoundTrips) {
    std::string all;
    for (int byte = 0; byte < 256; ++byte) all += static_cast<char>(byte);
    // Every byte in each of the three places of a group, and every length of the last group.
    for (std::size_t shift = 0; shift < 3; ++shift) {
        const std::string bytes = std::string(shift, 'x') + all;
        SCOPED_TRACE(shift);
        const std::string encoded = ValueElementEncoderDecoder::base64Encode(bytes);
        EXPECT_EQ((bytes.size() + 2) / 3 * 4, encoded.size());
        EXPECT_EQ(std::string::npos,
                  encoded.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                            "0123456789+/="));
        EXPECT_EQ(bytes, ValueElementEncoderDecoder::base64Decode(encoded));
    }
    EXPECT_EQ("AP8=", ValueElementEncoderDecoder::base64Encode(std::string("\0\xff", 2)));
    EXPECT_EQ("+/+/", ValueElementEncoderDecoder::base64Encode("\xfb\xff\xbf"));
}

TEST(ValueElementEncoderDecoder, DecodingRules) {
    struct Case {
        const char* name;
        std::string text;
        std::string bytes;
    };
    const Case cases[] = {
        {"a pad ends the whole text", "Zg==Zm8=", "f"},
        {"a pad in the third place ends it", "Zg=x", "f"},
        {"three characters without pad", "Zm9", "fo"},
        {"two characters without pad", "Zg", "f"},
        {"one character gives (d << 2) | 3", "Z", "g"},
        {"a blank in the fourth place gives 255", "Zm9 ", "fo\xff"},
        {"a pad in the first place is an ordinary byte", "=AAA", std::string("\xfc\0\0", 3)},
        {"a pad in the second place is an ordinary byte", "A=AA", std::string("\x03\xf0\0", 3)},
        {"a foreign byte keeps its place", "Z-9v", "g\xffo"},
        {"a line break is not skipped", "Zm9v\nYmFy", "foo\xfd\x89\x85\xcb"},
        {"the empty text", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.bytes, ValueElementEncoderDecoder::base64Decode(c.text));
    }
}

TEST(ValueElementEncoderDecoder, WalksTheValuesOfTheFourSections) {
    const std::string plain =
        "<quillmark_agentd_config>"
        "<GeneralProperties>"
        "<note><value>before the first prop</value></note>"
        "<prop><key>A</key><value>alpha</value><description>d</description></prop>"
        "<!-- between -->"
        "<item><key>B</key><value>beta</value></item>"
        "<prop><key>C</key><value><!-- c -->gamma</value></prop>"
        "<prop><key>D</key><value><b>delta</b></value></prop>"
        "<prop><key>E</key><value /></prop>"
        "<prop><key>F</key></prop>"
        "<prop><group><value>nested deeper</value></group></prop>"
        "</GeneralProperties>"
        "<Aliases><prop><value>alias</value></prop></Aliases>"
        "<PerfCounters><prop><value>counter</value></prop></PerfCounters>"
        "<UserParameters><prop><value>user</value></prop></UserParameters>"
        "<AttributeParameters><prop><value>attribute</value></prop></AttributeParameters>"
        "<Aliases><prop><value>second Aliases</value></prop></Aliases>"
        "</quillmark_agentd_config>";
    TiXmlDocument document = parsed(plain);
    ValueElementEncoderDecoder coder;
    coder.encode(document);

    std::string expected = plain;
    for (const char* value : {"alpha", "beta", "alias", "counter", "user"}) {
        const std::string element = std::string("<value>") + value + "</value>";
        expected.replace(expected.find(element), element.size(),
                         "<value>" + ValueElementEncoderDecoder::base64Encode(value) + "</value>");
    }
    EXPECT_EQ(printed(parsed(expected)), printed(document));

    coder.decode(document);
    EXPECT_EQ(printed(parsed(plain)), printed(document));
}

TEST(ValueElementEncoderDecoder, LeavesOtherDocumentsAlone) {
    const std::string texts[] = {
        "<other_root><GeneralProperties><prop><value>v</value></prop></GeneralProperties>"
        "</other_root>",
        "<quillmark_agentd_config><GeneralProperties><entry><value>v</value></entry>"
        "</GeneralProperties><Aliases /></quillmark_agentd_config>",
        // The section's first child called "prop" is a text, not an element.
        "<quillmark_agentd_config><Aliases>prop<prop><value>v</value></prop></Aliases>"
        "</quillmark_agentd_config>",
    };
    ValueElementEncoderDecoder coder;
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        TiXmlDocument document = parsed(text);
        const std::string before = printed(document);
        coder.encode(document);
        EXPECT_EQ(before, printed(document));
        coder.decode(document);
        EXPECT_EQ(before, printed(document));
    }
}
