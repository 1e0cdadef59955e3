// Parsing an XML text that came from a client, without handing TinyXML the two inputs that
// make it misbehave.
//
// TinyXML parses nested elements by recursion, one stack frame chain per level, so a text of a
// million nested elements overflows the stack and kills the process. xmlNestingDepth() bounds
// the nesting TinyXML would reach before it is asked to parse: it follows TinyXML's own reading
// of the text (comments, CDATA sections, declarations and other "<!"/"<?" nodes, quoted
// attribute values, the multi-byte steps it takes in UTF-8 mode) and, wherever TinyXML would
// stop with an error or the text leaves the forms it follows, counts every further element
// start as one level deeper. Its answer is therefore never below the depth TinyXML reaches.
//
// In UTF-8 mode TinyXML steps over a lead byte's whole sequence at once, so a text that ends
// inside a sequence makes it read up to three bytes past the terminating zero. parseXmlText()
// hands TinyXML the text where it lies, and only such a text as a copy followed by zero bytes.
//
// Threads: any thread; nothing is shared.
#ifndef QUILLMARK_SAFEXMLPARSE_H
#define QUILLMARK_SAFEXMLPARSE_H

#include <cstddef>
#include <string>

class TiXmlDocument;

namespace quillmark {

// The deepest element nesting a received document, and a loaded configuration file, may have.
constexpr std::size_t kMaxXmlNesting = 100;

// An upper bound of the element nesting TinyXML reaches when it parses `text` (which ends at
// its first zero byte, as a C string would) with its default encoding detection; 0 when no
// element is opened. The scan stops as soon as the bound exceeds `limit` and then answers
// limit + 1. Linear in the length of the text, no recursion.
std::size_t xmlNestingDepth(const std::string& text, std::size_t limit);

enum class XmlParseOutcome {
    kParsed,     // `document` holds the parsed text
    kTooDeep,    // refused before parsing: nesting deeper than kMaxXmlNesting
    kMalformed,  // TinyXML reported an error (also for an empty text)
};

// Parses the text at `text` into `document` with TinyXML's default encoding, unless its nesting
// could exceed kMaxXmlNesting. The text is the `size` bytes at `text` up to the first zero byte
// among them. It is parsed in place, without a copy, when that zero byte is there and the text
// does not end inside a UTF-8 sequence; otherwise a copy is. `document` should be empty; on
// kTooDeep it is left untouched.
XmlParseOutcome parseXmlText(const char* text, std::size_t size, TiXmlDocument& document);

// The same for `text` up to its first zero byte.
XmlParseOutcome parseXmlText(const std::string& text, TiXmlDocument& document);

}  // namespace quillmark

#endif  // QUILLMARK_SAFEXMLPARSE_H
