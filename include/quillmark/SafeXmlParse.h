// Parsing an XML text with TinyXML without handing it the inputs that make it misbehave.
//
// TinyXML parses nested elements by recursion, one chain of stack frames per level, so a text of
// a million nested elements overflows the stack and kills the process. It spends about 230 bytes
// of heap on each element of a text of four bytes (<a/>), so a large text of small nodes takes
// many times its size in memory. And it checks each attribute against every earlier one of its
// element, so an element of many attributes takes a time that grows with their square.
// measureXmlText() reads a text before it is parsed, exactly as TinyXML's parser will read it:
// its entities (a "&#x" or "&#" takes everything up to the next ";" when the digits before it are
// valid), comments, CDATA sections, declarations, other "<!" and "<?" nodes, attribute values in
// either quote, texts, the multi-byte steps it takes in UTF-8 mode, and the places where it stops.
// So it knows the nesting TinyXML will reach, the nodes it will build and the attribute names it
// will compare, also for a text that TinyXML gives up on part-way, after its recursion.
//
// In UTF-8 mode TinyXML steps over a lead byte's whole sequence at once, so a text that ends
// inside a sequence makes it read up to three bytes past the terminating zero. parseXmlText()
// hands TinyXML the text where it lies when zero bytes follow it or it cannot end inside a
// sequence, and otherwise a copy followed by zero bytes.
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

// The most heap memory the nodes of one parsed text may take, their own texts included: 640 MiB.
// With the text itself (at most the 64 MiB a save accepts) and what a save builds beside the
// document, a save then raises the manager's resident memory by well under 1 GiB, while a
// configuration of 40 MiB of ordinary settings (about 500,000 props, some 500 MiB of nodes)
// still saves.
constexpr std::size_t kMaxXmlNodeMemory = std::size_t(640) << 20;

// The most attribute names TinyXML may compare while it checks a text's attributes for
// duplicates: 2^26, some tenths of a second, which one element of 11,000 attributes reaches.
constexpr std::size_t kMaxXmlAttributeComparisons = std::size_t(1) << 26;

// What TinyXML's parse of a text reaches, as measureXmlText() finds it.
struct XmlTextShape {
    // The deepest element nesting of its recursion; 0 when no element is opened.
    std::size_t depth = 0;
    // The heap bytes its nodes and attributes take with their texts, as the GNU C library's
    // malloc allocates them; never below what the parse allocates.
    std::size_t nodeMemory = 0;
    // The attribute names its duplicate check compares.
    std::size_t attributeComparisons = 0;
};

struct XmlTextLimits {
    std::size_t depth = kMaxXmlNesting;
    std::size_t nodeMemory = kMaxXmlNodeMemory;
    std::size_t attributeComparisons = kMaxXmlAttributeComparisons;
};

// What TinyXML reaches when it parses the `length` bytes at `text`, none of them zero, followed
// by zero bytes, with its default encoding detection; `text[length]` must be readable and zero.
// The scan stops as soon as one of the figures passes its limit, and that figure then exceeds
// it. Linear in the length of the text, no recursion, at some gigabytes a second on texts and
// a few nanoseconds a node.
XmlTextShape measureXmlText(const char* text, std::size_t length,
                            const XmlTextLimits& limits = XmlTextLimits());

enum class XmlParseOutcome {
    kParsed,             // `document` holds the parsed text
    kTooDeep,            // refused before parsing: nesting deeper than kMaxXmlNesting
    kTooLarge,           // refused before parsing: nodes larger than kMaxXmlNodeMemory
    kTooManyAttributes,  // refused before parsing: more than kMaxXmlAttributeComparisons
    kMalformed,          // TinyXML reported an error (also for an empty text)
};

// Why a text was refused, for a log line after "with": "elements nested deeper than 100" and
// the like; empty for kParsed and kMalformed.
std::string xmlRefusalReason(XmlParseOutcome outcome);

// Parses the text at `text` into `document` with TinyXML's default encoding, unless it passes
// one of the limits above. The text is the `size` bytes at `text` up to the first zero byte
// among them. It is parsed in place, without a copy, when that zero byte is there and the text
// cannot make TinyXML read past the zero bytes that follow it; otherwise a copy is. `document`
// should be empty; when the text is refused it is left untouched.
XmlParseOutcome parseXmlText(const char* text, std::size_t size, TiXmlDocument& document);

// The same for `text` up to its first zero byte.
XmlParseOutcome parseXmlText(const std::string& text, TiXmlDocument& document);

}  // namespace quillmark

#endif  // QUILLMARK_SAFEXMLPARSE_H
