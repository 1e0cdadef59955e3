#include "quillmark/SafeXmlParse.h"

#include "quillmark/Utils.h"
#include "quillmark/XmlFile.h"

#include <tinyxml.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace quillmark {

namespace {

enum class Encoding { kUnknown, kUtf8, kLegacy };

// The number of bytes TinyXML 2.6 takes at once for a byte in UTF-8 mode, continuation bytes
// or not: 2 for C2-DF, 3 for E0-EF, 4 for F0-F4, otherwise 1.
std::size_t utf8StepLength(unsigned char byte) {
    if (byte >= 0xC2 && byte <= 0xDF) return 2;
    if (byte >= 0xE0 && byte <= 0xEF) return 3;
    if (byte >= 0xF0 && byte <= 0xF4) return 4;
    return 1;
}

// The classes of bytes that TinyXML tells apart with <cctype>. The process never leaves the "C"
// locale, so a table made from those calls at first use answers as TinyXML's own calls do.
class ByteClasses {
public:
    static const ByteClasses& get() {
        static const ByteClasses classes;
        return classes;
    }
    bool isWhite(unsigned char c) const { return (bits_[c] & kWhite) != 0; }
    // TinyXML takes every byte from 127 up as a letter.
    bool isNameStart(unsigned char c) const { return (bits_[c] & kNameStart) != 0; }
    bool isNameChar(unsigned char c) const { return (bits_[c] & kNameChar) != 0; }

private:
    enum : unsigned char { kWhite = 1, kNameStart = 2, kNameChar = 4 };

    ByteClasses() {
        for (int c = 0; c < 256; ++c) {
            unsigned char bits = 0;
            if (c != 0 && (std::isspace(c) || c == '\n' || c == '\r')) bits |= kWhite;
            if (c >= 127 || std::isalpha(c) || c == '_') bits |= kNameStart;
            if (c >= 127 || std::isalnum(c) || c == '_' || c == '-' || c == '.' || c == ':') {
                bits |= kNameChar;
            }
            bits_[c] = bits;
        }
    }

    unsigned char bits_[256];
};

// What the GNU C library's malloc takes for a block of `size` bytes: an 8-byte header, rounded
// up to 16 bytes, 32 at least.
constexpr std::size_t heapBlock(std::size_t size) {
    return std::max<std::size_t>(32, (size + 8 + 15) / 16 * 16);
}

constexpr std::size_t kElementMemory = heapBlock(sizeof(TiXmlElement));
constexpr std::size_t kTextMemory = heapBlock(sizeof(TiXmlText));
constexpr std::size_t kCommentMemory = heapBlock(sizeof(TiXmlComment));
constexpr std::size_t kUnknownMemory = heapBlock(sizeof(TiXmlUnknown));
constexpr std::size_t kDeclarationMemory = heapBlock(sizeof(TiXmlDeclaration));
constexpr std::size_t kAttributeMemory = heapBlock(sizeof(TiXmlAttribute));

bool isDecimalDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool isHexDigit(unsigned char c) {
    return isDecimalDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Follows the text the way TinyXML's parser reads it, tracking positions, the encoding mode,
// the names of the open elements and what the parse builds. Wherever TinyXML gives up, the scan
// ends too: nothing after that point is parsed.
class NestingScanner {
public:
    // `size` bytes at `text`, none of them zero, and a zero byte after them.
    NestingScanner(const char* text, std::size_t size, const XmlTextLimits& limits)
        : bytes_(reinterpret_cast<const unsigned char*>(text)),
          size_(size),
          limits_(limits),
          classes_(ByteClasses::get()) {
        open_.reserve(std::min<std::size_t>(limits.depth, kMaxXmlNesting) + 1);
    }

    XmlTextShape run();

private:
    // The position at which TinyXML stops reading: it reports an error there, or ignores the
    // rest of the text.
    static constexpr std::size_t kEnd = static_cast<std::size_t>(-1);

    struct Span {
        std::size_t start = 0;
        std::size_t length = 0;
    };
    struct AttributeValue {
        Span span;
        bool quoted = false;
    };

    // TinyXML reads the text followed by zero bytes; the scan may step past the first of them
    // as TinyXML does, but reads only that one.
    unsigned char at(std::size_t i) const { return i <= size_ ? bytes_[i] : 0; }
    bool startsWith(std::size_t i, std::string_view tag, bool ignoreCase) const;
    // The position of the first `tag`, three bytes ending in ">", at or after `from`; kEnd
    // when there is none.
    std::size_t findTag(std::size_t from, const char* tag) const;
    // Both from a position `i` up to the end of the text, size_ included.
    std::size_t skipWhite(std::size_t i) const {
        // Most calls find no white space at all.
        return classes_.isWhite(bytes_[i]) || bytes_[i] == 0xEF ? skipWhiteRun(i) : i;
    }
    std::size_t skipWhiteRun(std::size_t i) const;
    std::size_t skipName(std::size_t i) const;
    std::size_t skipEntity(std::size_t i) const;
    // The "&#" or "&#x" reference at `i` as TinyXML reads it: the position after its ";", or
    // kEnd where TinyXML gives up; its value (modulo 256, all a byte keeps) in *value when given.
    std::size_t characterReference(std::size_t i, unsigned* value) const;
    // The first position at or after `i` (below size_) that holds `end` or "&", or in UTF-8
    // mode a byte from 0x80 up: the only bytes that change how TinyXML reads on in a text or a
    // quoted attribute value. size_ when there is none.
    std::size_t findSpecial(std::size_t i, unsigned char end) const;
    // The characters of a text or of a quoted attribute value from `i` up to the first `end`
    // byte between them: the position of that byte, or where TinyXML stops reading (at a broken
    // character reference, or at or past the end of the text).
    std::size_t charactersUpTo(std::size_t i, unsigned char end) const;

    std::size_t text(std::size_t i);
    std::size_t attribute(std::size_t i, AttributeValue* value);
    std::size_t startTag(std::size_t i);
    std::size_t endTag(std::size_t i);
    std::size_t declaration(std::size_t i, bool detectEncoding);
    std::size_t node(std::size_t i, bool inDocument);
    bool declaresUtf8(const AttributeValue& encoding) const;

    void spend(std::size_t bytes);
    // A string of TinyXML's of at most `length` bytes.
    void spendString(std::size_t length);
    void compareAttributes(std::size_t earlier);
    bool pastTheLimits() {
        if (shape_.nodeMemory + largestGrowth_ > limits_.nodeMemory ||
            shape_.attributeComparisons > limits_.attributeComparisons) {
            passedALimit_ = true;
        }
        return passedALimit_;
    }

    const unsigned char* bytes_;
    const std::size_t size_;
    const XmlTextLimits limits_;
    const ByteClasses& classes_;
    Encoding encoding_ = Encoding::kUnknown;
    std::vector<Span> open_;
    XmlTextShape shape_;
    // The block a string held last while it grew, the largest of them.
    std::size_t largestGrowth_ = 0;
    bool passedALimit_ = false;
};

bool NestingScanner::startsWith(std::size_t i, std::string_view tag, bool ignoreCase) const {
    // size_ ends the text before its first zero byte, so a tag never matches past it.
    const std::string_view rest =
        i < size_ ? std::string_view(reinterpret_cast<const char*>(bytes_) + i, size_ - i)
                  : std::string_view();
    return ignoreCase ? Utils::startsWithIgnoreCase(rest, tag) : rest.substr(0, tag.size()) == tag;
}

std::size_t NestingScanner::findTag(std::size_t from, const char* tag) const {
    for (std::size_t i = from + 2; i < size_; ++i) {
        const void* close = std::memchr(bytes_ + i, '>', size_ - i);
        if (close == nullptr) return kEnd;
        i = static_cast<std::size_t>(static_cast<const unsigned char*>(close) - bytes_);
        if (bytes_[i - 2] == tag[0] && bytes_[i - 1] == tag[1]) return i - 2;
    }
    return kEnd;
}

std::size_t NestingScanner::skipWhiteRun(std::size_t i) const {
    for (;; ++i) {
        const unsigned char c = bytes_[i];
        if (classes_.isWhite(c)) continue;
        if (c != 0xEF || encoding_ != Encoding::kUtf8 ||
            !((bytes_[i + 1] == 0xBB && bytes_[i + 2] == 0xBF) ||
              (bytes_[i + 1] == 0xBF && (bytes_[i + 2] == 0xBE || bytes_[i + 2] == 0xBF)))) {
            return i;
        }
        i += 2;
    }
}

std::size_t NestingScanner::skipName(std::size_t i) const {
    if (!classes_.isNameStart(bytes_[i])) return i;
    while (classes_.isNameChar(bytes_[++i])) {
    }
    return i;
}

std::size_t NestingScanner::skipEntity(std::size_t i) const {
    // The five named entities hold none of the bytes that change the reading, so taking them
    // a byte at a time ends at the same place.
    if (at(i + 1) != '#' || at(i + 2) == 0) return i + 1;
    return characterReference(i, nullptr);
}

std::size_t NestingScanner::characterReference(std::size_t i, unsigned* value) const {
    // A character reference takes everything up to the first ";" after it, wherever that is,
    // when only digits stand between the last "x" (or "#") before the ";" and the ";".
    const bool hex = at(i + 2) == 'x';
    if (hex && at(i + 3) == 0) return kEnd;
    const std::size_t from = i + (hex ? 3 : 2);
    const void* found = std::memchr(bytes_ + from, ';', size_ - from);
    if (found == nullptr) return kEnd;
    const std::size_t semicolon =
        static_cast<std::size_t>(static_cast<const unsigned char*>(found) - bytes_);
    unsigned sum = 0;
    unsigned scale = 1;
    for (std::size_t digit = semicolon - 1; bytes_[digit] != (hex ? 'x' : '#'); --digit) {
        const unsigned char d = bytes_[digit];
        if (!(hex ? isHexDigit(d) : isDecimalDigit(d))) return kEnd;
        sum += scale * (isDecimalDigit(d) ? d - '0' : (std::tolower(d) - 'a' + 10));
        scale *= hex ? 16 : 10;
    }
    if (value != nullptr) *value = sum;
    return semicolon + 1;
}

std::size_t NestingScanner::findSpecial(std::size_t i, unsigned char end) const {
    const bool utf8 = encoding_ == Encoding::kUtf8;
#ifdef __SSE2__
    // Sixteen bytes at a time: most texts hold none of these bytes for long stretches.
    const __m128i ends = _mm_set1_epi8(static_cast<char>(end));
    const __m128i ampersands = _mm_set1_epi8('&');
    for (; size_ - i >= 16; i += 16) {
        const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes_ + i));
        int found = _mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(chunk, ends), _mm_cmpeq_epi8(chunk, ampersands)));
        // The sign bits are the bytes from 0x80 up.
        if (utf8) found |= _mm_movemask_epi8(chunk);
        if (found != 0) return i + static_cast<std::size_t>(__builtin_ctz(found));
    }
#endif
    for (; i < size_; ++i) {
        const unsigned char c = bytes_[i];
        if (c == end || c == '&' || (utf8 && c >= 0x80)) return i;
    }
    return size_;
}

std::size_t NestingScanner::charactersUpTo(std::size_t i, unsigned char end) const {
    for (;;) {
        // A lead byte may have stepped past the end.
        if (i >= size_) return i;
        i = findSpecial(i, end);
        if (i >= size_ || bytes_[i] == end) return i;
        if (bytes_[i] == '&') {
            const std::size_t next = skipEntity(i);
            if (next == kEnd) return i;
            i = next;
        } else {
            // In UTF-8 mode a lead byte takes the bytes its sequence announces, whatever they are.
            i += utf8StepLength(bytes_[i]);
        }
    }
}

// A text inside an element, up to the "<" that ends it.
std::size_t NestingScanner::text(std::size_t i) {
    spend(kTextMemory);
    const std::size_t end = charactersUpTo(i, '<');
    // What TinyXML has decoded by then, also where it gives up.
    spendString(std::min(end, size_) - i);
    // TinyXML steps past the "<" and gives up when the text ends there.
    return at(end) == '<' && at(end + 1) != 0 ? end : kEnd;
}

std::size_t NestingScanner::attribute(std::size_t i, AttributeValue* value) {
    // TinyXML keeps the name it has read, also when the text ends after it.
    const std::size_t nameEnd = skipName(i);
    spendString(nameEnd - i);
    if (nameEnd == i || at(nameEnd) == 0) return kEnd;
    i = skipWhite(nameEnd);
    if (at(i) != '=') return kEnd;
    i = skipWhite(i + 1);
    const unsigned char quote = at(i);
    if (quote == 0) return kEnd;
    if (quote == '\'' || quote == '"') {
        const std::size_t start = i + 1;
        const std::size_t end = charactersUpTo(start, quote);
        spendString(std::min(end, size_) - start);
        if (value != nullptr) *value = AttributeValue{Span{start, end - start}, true};
        // TinyXML gives up when the text ends right after the quote.
        return at(end) == quote && at(end + 1) != 0 ? end + 1 : kEnd;
    }
    const std::size_t start = i;
    unsigned char c = at(i);
    while (c != 0 && !classes_.isWhite(c) && c != '/' && c != '>' && c != '\'' && c != '"') {
        c = at(++i);
    }
    spendString(i - start);
    if (value != nullptr) *value = AttributeValue{Span{start, i - start}, false};
    // A quote after the start of an unquoted value makes TinyXML give up.
    return c == '\'' || c == '"' ? kEnd : i;
}

std::size_t NestingScanner::startTag(std::size_t i) {
    if (open_.size() + 1 > shape_.depth) shape_.depth = open_.size() + 1;
    if (shape_.depth > limits_.depth) passedALimit_ = true;
    spend(kElementMemory);
    const std::size_t name = skipWhite(i + 1);
    const std::size_t nameEnd = skipName(name);
    spendString(nameEnd - name);
    if (nameEnd == name || at(nameEnd) == 0) return kEnd;
    // The end tag TinyXML makes of the name while the element is open.
    spendString(nameEnd - name + 2);
    std::size_t attributes = 0;
    for (i = nameEnd; !passedALimit_;) {
        i = skipWhite(i);
        const unsigned char c = at(i);
        if (c == 0) return kEnd;
        if (c == '/') return at(i + 1) == '>' ? i + 2 : kEnd;
        if (c == '>') {
            open_.push_back(Span{name, nameEnd - name});
            return i + 1;
        }
        compareAttributes(attributes++);
        spend(kAttributeMemory);
        if (pastTheLimits()) return kEnd;
        i = attribute(i, nullptr);
        if (at(i) == 0) return kEnd;
    }
    return kEnd;
}

std::size_t NestingScanner::endTag(std::size_t i) {
    const Span name = open_.back();
    i += 2;
    if (size_ - i < name.length) return kEnd;
    std::size_t k = 0;
    // Eight bytes at a time while both lie within the text.
    for (; k + 8 <= name.length; k += 8) {
        std::uint64_t a, b;
        std::memcpy(&a, bytes_ + i + k, 8);
        std::memcpy(&b, bytes_ + name.start + k, 8);
        if (a != b) return kEnd;
    }
    for (; k < name.length; ++k) {
        if (bytes_[i + k] != bytes_[name.start + k]) return kEnd;
    }
    i = skipWhite(i + name.length);
    if (at(i) != '>') return kEnd;
    open_.pop_back();
    return i + 1;
}

bool NestingScanner::declaresUtf8(const AttributeValue& encoding) const {
    // TinyXML compares the value as it decoded it, a C string: a quoted value's entities are
    // replaced by their byte, an unknown "&" is dropped, and a zero byte ends it.
    std::string decoded;
    const std::size_t end = encoding.span.start + encoding.span.length;
    for (std::size_t i = encoding.span.start; i < end;) {
        unsigned char c = bytes_[i];
        if (!encoding.quoted || c != '&') {
            ++i;
        } else if (at(i + 1) == '#' && at(i + 2) != 0) {
            // The scan has found the reference valid.
            unsigned value = 0;
            i = characterReference(i, &value);
            c = static_cast<unsigned char>(value);
        } else {
            static const std::pair<std::string_view, char> kNamed[] = {
                {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
            c = 0;
            for (const auto& named : kNamed) {
                if (startsWith(i, named.first, false)) {
                    c = static_cast<unsigned char>(named.second);
                    i += named.first.size();
                    break;
                }
            }
            if (c == 0) {
                ++i;
                continue;
            }
        }
        if (c == 0) break;
        decoded += static_cast<char>(c);
        if (decoded.size() == 5) break;
    }
    return decoded.empty() || Utils::startsWithIgnoreCase(decoded, "utf-8") ||
           Utils::startsWithIgnoreCase(decoded, "utf8");
}

std::size_t NestingScanner::declaration(std::size_t i, bool detectEncoding) {
    spend(kDeclarationMemory);
    AttributeValue encoding;
    for (i += 5;;) {
        const unsigned char c = at(i);
        if (c == 0) return kEnd;
        if (c == '>') break;
        i = skipWhite(i);
        if (at(i) == 0) return kEnd;
        // TinyXML reads these three as attributes; anything else up to white space or ">" is
        // passed over, quotes or not.
        const bool isEncoding = startsWith(i, "encoding", true);
        if (isEncoding || startsWith(i, "version", true) || startsWith(i, "standalone", true)) {
            AttributeValue value;
            i = attribute(i, &value);
            if (i == kEnd) return kEnd;
            // The declaration keeps a copy of the value.
            spendString(value.span.length);
            if (isEncoding) encoding = value;
        } else {
            while (at(i) != 0 && at(i) != '>' && !classes_.isWhite(at(i))) ++i;
        }
    }
    if (detectEncoding) {
        encoding_ = declaresUtf8(encoding) ? Encoding::kUtf8 : Encoding::kLegacy;
    }
    return i + 1;
}

std::size_t NestingScanner::node(std::size_t i, bool inDocument) {
    const unsigned char next = at(i + 1);
    if (classes_.isNameStart(next)) return startTag(i);
    if (next == '?' && startsWith(i, "<?xml", true)) {
        // The first declaration of the document sets the encoding when no byte order mark did.
        return declaration(i, inDocument && encoding_ == Encoding::kUnknown);
    }
    if (startsWith(i, "<!--", false)) {
        spend(kCommentMemory);
        const std::size_t end = findTag(i + 4, "-->");
        spendString((end == kEnd ? size_ : end) - (i + 4));
        return end == kEnd ? size_ : end + 3;
    }
    if (startsWith(i, "<![CDATA[", false)) {
        spend(kTextMemory);
        const std::size_t end = findTag(i + 9, "]]>");
        spendString((end == kEnd ? size_ : end) - (i + 9));
        if (end == kEnd) return kEnd;
        // TinyXML gives up when the text ends right after the section.
        return at(end + 3) != 0 ? end + 3 : kEnd;
    }
    // "<!DOCTYPE ...>", "<?pi ...?>", an end tag outside the root and any other "<": TinyXML
    // keeps them as unknown nodes that end at the first ">".
    spend(kUnknownMemory);
    const void* close = std::memchr(bytes_ + i + 1, '>', size_ - i - 1);
    const std::size_t end =
        close == nullptr
            ? size_
            : static_cast<std::size_t>(static_cast<const unsigned char*>(close) - bytes_);
    spendString(end - (i + 1));
    return close == nullptr ? size_ : end + 1;
}

void NestingScanner::spend(std::size_t bytes) { shape_.nodeMemory += bytes; }

void NestingScanner::spendString(std::size_t length) {
    // Up to 15 bytes are kept in the string itself. Built a byte at a time, a string doubles
    // its capacity from those 15 whenever it is full, and holds the old block while it copies
    // it into the new one; a string assigned at once gets no more.
    if (length <= 15) return;
    std::size_t capacity = 15;
    while (capacity < length) capacity *= 2;
    if (capacity / 2 > 15) largestGrowth_ = std::max(largestGrowth_, heapBlock(capacity / 2 + 1));
    spend(heapBlock(capacity + 1));
}

void NestingScanner::compareAttributes(std::size_t earlier) {
    shape_.attributeComparisons += earlier;
}

XmlTextShape NestingScanner::run() {
    // The text TinyXML keeps of the error it stops on, "Error reading Element value." at most.
    spendString(28);
    if (at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) encoding_ = Encoding::kUtf8;
    std::size_t i = skipWhite(0);
    while (i < size_ && !pastTheLimits()) {
        if (open_.empty()) {
            // At the document's level TinyXML stops at anything but a "<".
            if (bytes_[i] != '<') break;
            i = node(i, true);
        } else if (bytes_[i] != '<') {
            i = text(i);
        } else if (at(i + 1) == '/') {
            i = endTag(i);
        } else if (classes_.isNameStart(bytes_[i + 1])) {
            i = startTag(i);
        } else {
            i = node(i, false);
        }
        if (i == kEnd) break;
        i = skipWhite(i);
    }
    shape_.nodeMemory += largestGrowth_;
    return shape_;
}

// The length of the text at `text`: its bytes up to the first zero among the `size` given, or all
// of them.
std::size_t textLength(const char* text, std::size_t size) {
    const void* zero = std::memchr(text, '\0', size);
    return zero == nullptr ? size : static_cast<std::size_t>(static_cast<const char*>(zero) - text);
}

// Whether TinyXML may read the text in its buffer: whether it cannot step from the text past the
// zero bytes that follow it there. Stepping over a lead byte's whole sequence at once, it may
// step from a byte of the text's last three past the zero byte that ends it; any byte counts,
// wherever a sequence starts, so this holds for every way TinyXML may have reached it.
bool readableInPlace(const char* text, std::size_t length, std::size_t size) {
    if (length == size) return false;
    const std::size_t zeros = std::min(size - length, kXmlParsePadding);
    if (zeros == kXmlParsePadding &&
        std::all_of(text + length, text + length + zeros, [](char c) { return c == '\0'; })) {
        return true;
    }
    const std::size_t from = length < 3 ? 0 : length - 3;
    for (std::size_t i = from; i < length; ++i) {
        if (i + utf8StepLength(static_cast<unsigned char>(text[i])) > length) return false;
    }
    return true;
}

}  // namespace

XmlTextShape measureXmlText(const char* text, std::size_t length, const XmlTextLimits& limits) {
    return NestingScanner(text, length, limits).run();
}

std::string xmlRefusalReason(XmlParseOutcome outcome) {
    switch (outcome) {
    case XmlParseOutcome::kTooDeep:
        return "elements nested deeper than " + std::to_string(kMaxXmlNesting);
    case XmlParseOutcome::kTooLarge:
        return "nodes that would take more than " + std::to_string(kMaxXmlNodeMemory) +
               " bytes of memory";
    case XmlParseOutcome::kTooManyAttributes:
        return "attributes that would take more than " +
               std::to_string(kMaxXmlAttributeComparisons) + " name comparisons to check";
    case XmlParseOutcome::kParsed:
    case XmlParseOutcome::kMalformed: break;
    }
    return std::string();
}

XmlParseOutcome parseXmlText(const char* text, std::size_t size, TiXmlDocument& document) {
    const std::size_t length = textLength(text, size);
    std::string padded;
    if (!readableInPlace(text, length, size)) {
        // Zero bytes for TinyXML to land on when it steps over a sequence cut short by the end.
        padded.assign(text, length);
        padForXmlParse(padded);
        text = padded.c_str();
    }
    const XmlTextShape shape = measureXmlText(text, length);
    if (shape.depth > kMaxXmlNesting) return XmlParseOutcome::kTooDeep;
    if (shape.nodeMemory > kMaxXmlNodeMemory) return XmlParseOutcome::kTooLarge;
    if (shape.attributeComparisons > kMaxXmlAttributeComparisons) {
        return XmlParseOutcome::kTooManyAttributes;
    }
    disableXmlLocationTracking(document);
    document.Parse(text, nullptr, TIXML_DEFAULT_ENCODING);
    return document.Error() ? XmlParseOutcome::kMalformed : XmlParseOutcome::kParsed;
}

XmlParseOutcome parseXmlText(const std::string& text, TiXmlDocument& document) {
    // c_str() is followed by its zero byte.
    return parseXmlText(text.c_str(), text.size() + 1, document);
}

}  // namespace quillmark
