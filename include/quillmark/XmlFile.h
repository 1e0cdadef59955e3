// Loading an XML file into a TinyXML document, the one way every configuration reader of the
// process does it.
//
// The file is opened close-on-exec (other threads run shell commands while it is open) and must
// be a regular file: TinyXML sizes its buffer from the stream's length, which a directory or a
// device reports as nonsense. Row and column tracking is turned off, since nothing in the
// process reads the positions and tracking them costs a call per parsed character.
// Any thread; each call uses its own document.
#ifndef QUILLMARK_XMLFILE_H
#define QUILLMARK_XMLFILE_H

#include <string>

class TiXmlDocument;

namespace quillmark {

// Parses the file at `path` into `document`. Returns false when the file cannot be opened, is not
// a regular file, or does not parse; `document` then holds nothing usable. Never throws for a
// bad file.
bool loadXmlFile(const std::string& path, TiXmlDocument& document);

// Turns off row and column tracking on `document` before a Parse of a text held in memory.
void disableXmlLocationTracking(TiXmlDocument& document);

}  // namespace quillmark

#endif  // QUILLMARK_XMLFILE_H
