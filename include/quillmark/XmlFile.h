// Loading an XML file into a TinyXML document, the one way every configuration reader of the
// process does it.
//
// The file is opened close-on-exec (other threads run shell commands while it is open), without
// waiting on a FIFO, and must be a regular file: the text is sized from the file's length, which
// a directory or a device reports as nonsense, and a FIFO would keep the caller waiting for a
// writer. Row and column tracking is turned off, since nothing in the
// process reads the positions and tracking them costs a call per parsed character.
// Any thread; each call uses its own document.
#ifndef QUILLMARK_XMLFILE_H
#define QUILLMARK_XMLFILE_H

#include <cstddef>
#include <string>

class TiXmlDocument;

namespace quillmark {

// Parses the file at `path` into `document`. Returns false when the file cannot be opened, is not
// a regular file, passes one of the bounds of a received text (parseXmlText in SafeXmlParse.h:
// nesting, the memory of its nodes, its attributes; logged at WARN level) or does not parse;
// `document` then holds nothing usable. Never throws for a bad file.
bool loadXmlFile(const std::string& path, TiXmlDocument& document);

// Turns every CR LF and lone CR of `text` into LF, as TinyXML's own file loading has them.
void normalizeXmlLineEnds(std::string& text);

// In UTF-8 mode TinyXML steps over a lead byte's whole sequence at once, so a text that ends
// inside one makes it read up to three bytes past the text's terminating zero. Every text handed
// to Parse is therefore followed by this many zero bytes.
constexpr std::size_t kXmlParsePadding = 4;

// Appends kXmlParsePadding zero bytes to `text`; Parse is then given text.c_str().
void padForXmlParse(std::string& text);

// Turns off row and column tracking on `document` before a Parse of a text held in memory.
void disableXmlLocationTracking(TiXmlDocument& document);

}  // namespace quillmark

#endif  // QUILLMARK_XMLFILE_H
