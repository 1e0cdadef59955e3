#include "ValueElementEncoderDecoder.h"

#include <tinyxml.h>

#include <array>
#include <cstdint>

namespace quillmark {

namespace {

const char* const kSections[] = {"GeneralProperties", "Aliases", "PerfCounters", "UserParameters"};

const std::string& alphabet() {
    static const std::string characters =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    return characters;
}

// Indexed by the byte taken as unsigned: an alphabet character's value, -1 for every other
// byte ("=" and the zero byte included). Only the low 8 bits take part in decoding, so -1 acts
// as 255; clients depend on the bytes this gives for malformed texts.
const std::array<std::int64_t, 256>& reverseTable() {
    static const std::array<std::int64_t, 256> table = [] {
        std::array<std::int64_t, 256> entries;
        entries.fill(-1);
        const std::string& characters = alphabet();
        for (std::size_t value = 0; value < characters.size(); ++value) {
            entries[static_cast<unsigned char>(characters[value])] =
                static_cast<std::int64_t>(value);
        }
        return entries;
    }();
    return table;
}

unsigned decodedValue(char character) {
    return static_cast<unsigned>(reverseTable()[static_cast<unsigned char>(character)] & 0xFF);
}

}  // namespace

ValueElementEncoderDecoder::ValueElementEncoderDecoder() {}

ValueElementEncoderDecoder::~ValueElementEncoderDecoder() {}

void ValueElementEncoderDecoder::encode(TiXmlDocument& document) const {
    processValues(document, true);
}

void ValueElementEncoderDecoder::decode(TiXmlDocument& document) const {
    processValues(document, false);
}

void ValueElementEncoderDecoder::processValues(TiXmlDocument& document, bool encoding) const {
    TiXmlHandle root = TiXmlHandle(&document).FirstChild("quillmark_agentd_config");
    for (const char* section : kSections) {
        TiXmlNode* first = root.FirstChild(section).FirstChild("prop").ToNode();
        if (first == nullptr || first->ToElement() == nullptr) continue;
        for (TiXmlElement* entry = first->ToElement(); entry != nullptr;
             entry = entry->NextSiblingElement()) {
            TiXmlNode* value = entry->FirstChild("value");
            if (value == nullptr) continue;
            TiXmlNode* child = value->FirstChild();
            TiXmlText* text = child != nullptr ? child->ToText() : nullptr;
            if (text == nullptr) continue;
            text->SetValue(encoding ? base64Encode(text->ValueStr())
                                    : base64Decode(text->ValueStr()));
        }
    }
}

std::string ValueElementEncoderDecoder::base64Encode(const std::string& bytes) {
    const char* const characters = alphabet().data();
    const std::size_t length = bytes.size();
    // Every group of up to three bytes becomes four characters, written in place.
    std::string out((length + 2) / 3 * 4, '=');
    char* next = &out[0];
    std::size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        const unsigned b0 = static_cast<unsigned char>(bytes[i]);
        const unsigned b1 = static_cast<unsigned char>(bytes[i + 1]);
        const unsigned b2 = static_cast<unsigned char>(bytes[i + 2]);
        next[0] = characters[b0 >> 2];
        next[1] = characters[((b0 << 4) & 63) | (b1 >> 4)];
        next[2] = characters[((b1 << 2) & 63) | (b2 >> 6)];
        next[3] = characters[b2 & 63];
        next += 4;
    }
    const std::size_t rest = length - i;
    if (rest > 0) {
        // The last group's missing characters stay "=".
        const unsigned b0 = static_cast<unsigned char>(bytes[i]);
        const unsigned b1 = rest == 2 ? static_cast<unsigned char>(bytes[i + 1]) : 0u;
        next[0] = characters[b0 >> 2];
        next[1] = characters[((b0 << 4) & 63) | (b1 >> 4)];
        if (rest == 2) next[2] = characters[(b1 << 2) & 63];
    }
    return out;
}

std::string ValueElementEncoderDecoder::base64Decode(const std::string& text) {
    const std::size_t length = text.size();
    std::string out;
    out.reserve(length);
    for (std::size_t start = 0; start < length; start += 4) {
        // A one-character group pairs with the zero byte that ends the text.
        const unsigned d0 = decodedValue(text[start]);
        const unsigned d1 = decodedValue(start + 1 < length ? text[start + 1] : '\0');
        out += static_cast<char>(((d0 << 2) | ((d1 >> 4) & 3)) & 255);
        if (start + 2 >= length) continue;
        if (text[start + 2] == '=') break;
        const unsigned d2 = decodedValue(text[start + 2]);
        out += static_cast<char>(((d1 << 4) | ((d2 >> 2) & 15)) & 255);
        if (start + 3 >= length) continue;
        if (text[start + 3] == '=') break;
        const unsigned d3 = decodedValue(text[start + 3]);
        out += static_cast<char>(((d2 << 6) | d3) & 255);
    }
    return out;
}

}  // namespace quillmark
