#include "quillmark/XmlFile.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <tinyxml.h>

#include <sstream>
#include <string>

using quillmark::loadXmlFile;

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
}
