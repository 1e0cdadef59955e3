// ValueElementEncoderDecoder: the Base64 coding of the configuration values on the wire.
//
// On the wire the configuration document carries its setting values in Base64, so a value may
// hold any bytes without disturbing the XML; on disk they are plain. encode() and decode()
// rewrite, in place, the value texts of the setting entries of the sections GeneralProperties,
// Aliases, PerfCounters and UserParameters below the root "quillmark_agentd_config": in each
// section the first child called "prop" and every element that follows it (whatever its tag),
// and of each only the first child of its first child called "value", when that is a text.
// Everything else in the document is left as it is.
//
// The coding is the standard alphabet of RFC 4648 with "=" padding and no line breaks. The
// decoder is lenient in a fixed way that clients rely on: it reads groups of four characters,
// a "=" in the third or fourth place of a group ends the whole text, and any byte outside the
// alphabet (a blank, a line break, a "=" in the first or second place) counts as the value 255
// and keeps its place instead of being skipped or refused.
//
// Ownership: keeps no state; one instance per configuration request, owned by its processor.
// The document stays the caller's. Threads: any thread; the shared tables are built once under
// the thread-safe initialisation of function-local statics.
#ifndef QUILLMARK_MANAGER_VALUEELEMENTENCODERDECODER_H
#define QUILLMARK_MANAGER_VALUEELEMENTENCODERDECODER_H

#include <string>

class TiXmlDocument;

namespace quillmark {

class ValueElementEncoderDecoder {
public:
    ValueElementEncoderDecoder();
    virtual ~ValueElementEncoderDecoder();

    // Replaces each value text of the walk by its Base64 form. A document without the expected
    // elements is left unchanged. Never throws but for std::bad_alloc.
    void encode(TiXmlDocument& document) const;
    // Replaces each value text of the walk by its Base64 decoding (any bytes, zero included).
    void decode(TiXmlDocument& document) const;

    // The padded Base64 form of `bytes`; "" for "".
    static std::string base64Encode(const std::string& bytes);
    // The bytes that `text` decodes to under the rules above.
    static std::string base64Decode(const std::string& text);

private:
    void processValues(TiXmlDocument& document, bool encoding) const;
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_VALUEELEMENTENCODERDECODER_H
