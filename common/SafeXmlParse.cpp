#include "quillmark/SafeXmlParse.h"

#include "quillmark/Utils.h"
#include "quillmark/XmlFile.h"

#include <tinyxml.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

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

// Follows the text the way TinyXML's parser reads it, tracking only positions, the element
// depth and the encoding mode, with the same <cctype> tests TinyXML makes.
class NestingScanner {
public:
    // `size` bytes at `text`, none of them zero.
    NestingScanner(const char* text, std::size_t size, std::size_t limit)
        : bytes_(reinterpret_cast<const unsigned char*>(text)), size_(size), limit_(limit) {}

    std::size_t run();

private:
    // Marks a position at which the scan no longer knows where TinyXML stands.
    static constexpr std::size_t kLost = static_cast<std::size_t>(-1);

    unsigned char at(std::size_t i) const { return i < size_ ? bytes_[i] : 0; }
    static bool isWhite(unsigned char c) {
        return c != 0 && (std::isspace(c) || c == '\n' || c == '\r');
    }
    // TinyXML takes every byte from 127 up as a letter.
    static bool isNameStart(unsigned char c) { return c >= 127 || std::isalpha(c) || c == '_'; }
    static bool isNameChar(unsigned char c) {
        return c >= 127 || std::isalnum(c) || c == '_' || c == '-' || c == '.' || c == ':';
    }
    bool startsWith(std::size_t i, const char* tag, bool ignoreCase) const;
    // The position after the first `tag` at or after `from`; size_ when there is none.
    std::size_t after(std::size_t from, const char* tag) const;
    std::size_t skipWhite(std::size_t i) const;
    // One character of a text or of a quoted attribute value.
    std::size_t step(std::size_t i) const {
        return i + (encoding_ == Encoding::kUtf8 ? utf8StepLength(bytes_[i]) : 1);
    }

    std::size_t skipText(std::size_t i) const;
    std::size_t skipAttribute(std::size_t i, std::string* value) const;
    std::size_t skipStartTag(std::size_t i);
    std::size_t skipDeclaration(std::size_t i, bool detectEncoding);
    bool enterElement();
    std::size_t countEveryElementFrom(std::size_t i);

    const unsigned char* bytes_;
    const std::size_t size_;
    const std::size_t limit_;
    Encoding encoding_ = Encoding::kUnknown;
    std::size_t depth_ = 0;
    std::size_t deepest_ = 0;
};

bool NestingScanner::startsWith(std::size_t i, const char* tag, bool ignoreCase) const {
    // size_ ends the text before its first NUL, so a tag never matches past it.
    const std::string_view rest =
        i < size_ ? std::string_view(reinterpret_cast<const char*>(bytes_) + i, size_ - i)
                  : std::string_view();
    const std::string_view wanted(tag);
    return ignoreCase ? Utils::startsWithIgnoreCase(rest, wanted)
                      : rest.substr(0, wanted.size()) == wanted;
}

std::size_t NestingScanner::after(std::size_t from, const char* tag) const {
    const std::size_t length = std::strlen(tag);
    for (std::size_t i = from; i + length <= size_; ++i) {
        if (std::memcmp(bytes_ + i, tag, length) == 0) return i + length;
    }
    return size_;
}

std::size_t NestingScanner::skipWhite(std::size_t i) const {
    while (i < size_) {
        // In UTF-8 mode TinyXML passes over byte order marks wherever it skips white space.
        if (encoding_ == Encoding::kUtf8 && at(i) == 0xEF &&
            ((at(i + 1) == 0xBB && at(i + 2) == 0xBF) ||
             (at(i + 1) == 0xBF && (at(i + 2) == 0xBE || at(i + 2) == 0xBF)))) {
            i += 3;
        } else if (isWhite(bytes_[i])) {
            ++i;
        } else {
            break;
        }
    }
    return i;
}

std::size_t NestingScanner::skipText(std::size_t i) const {
    while (i < size_ && bytes_[i] != '<') i = step(i);
    return std::min(i, size_);
}

std::size_t NestingScanner::skipAttribute(std::size_t i, std::string* value) const {
    if (!isNameStart(at(i))) return kLost;
    while (isNameChar(at(i))) ++i;
    i = skipWhite(i);
    if (at(i) != '=') return kLost;
    i = skipWhite(i + 1);
    if (i >= size_) return size_;
    const unsigned char quote = bytes_[i];
    if (quote == '\'' || quote == '"') {
        const std::size_t start = ++i;
        while (i < size_ && bytes_[i] != quote) i = step(i);
        if (i >= size_) return size_;
        if (value != nullptr) value->assign(bytes_ + start, bytes_ + i);
        return i + 1;
    }
    const std::size_t start = i;
    while (i < size_ && !isWhite(bytes_[i]) && bytes_[i] != '/' && bytes_[i] != '>') {
        if (bytes_[i] == '\'' || bytes_[i] == '"') return kLost;
        ++i;
    }
    if (value != nullptr) value->assign(bytes_ + start, bytes_ + i);
    return i;
}

std::size_t NestingScanner::skipStartTag(std::size_t i) {
    ++i;
    while (isNameChar(at(i))) ++i;
    for (;;) {
        i = skipWhite(i);
        if (i >= size_) return size_;
        if (bytes_[i] == '/') {
            if (at(i + 1) != '>') return kLost;
            --depth_;
            return i + 2;
        }
        if (bytes_[i] == '>') return i + 1;
        i = skipAttribute(i, nullptr);
        if (i == kLost || i >= size_) return i;
    }
}

std::size_t NestingScanner::skipDeclaration(std::size_t i, bool detectEncoding) {
    std::string declared;
    i += 5;
    for (;;) {
        if (i >= size_) return size_;
        if (bytes_[i] == '>') break;
        i = skipWhite(i);
        if (i >= size_) return size_;
        // TinyXML reads these three as attributes, with quotes; anything else up to white
        // space or ">" is passed over, quotes or not.
        if (startsWith(i, "version", true) || startsWith(i, "standalone", true)) {
            i = skipAttribute(i, nullptr);
        } else if (startsWith(i, "encoding", true)) {
            i = skipAttribute(i, &declared);
        } else {
            while (i < size_ && bytes_[i] != '>' && !isWhite(bytes_[i])) ++i;
        }
        if (i == kLost) return kLost;
    }
    if (detectEncoding) {
        // An entity in the name would be decoded first; rather than decode it, stop trusting
        // the mode.
        if (declared.find('&') != std::string::npos) return kLost;
        const bool utf8 = declared.empty() || Utils::startsWithIgnoreCase(declared, "utf-8") ||
                          Utils::startsWithIgnoreCase(declared, "utf8");
        encoding_ = utf8 ? Encoding::kUtf8 : Encoding::kLegacy;
    }
    return i + 1;
}

bool NestingScanner::enterElement() {
    ++depth_;
    deepest_ = std::max(deepest_, depth_);
    return depth_ <= limit_;
}

// Where the scan has lost TinyXML's reading, or TinyXML would stop, every later element start
// is taken as one level deeper: no reading of the rest can nest deeper than that.
std::size_t NestingScanner::countEveryElementFrom(std::size_t i) {
    for (; i < size_; ++i) {
        if (bytes_[i] == '<' && isNameStart(at(i + 1)) && !enterElement()) return limit_ + 1;
    }
    return deepest_;
}

std::size_t NestingScanner::run() {
    std::size_t i = 0;
    if (at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) encoding_ = Encoding::kUtf8;
    for (;;) {
        i = skipWhite(i);
        if (i >= size_) return deepest_;
        const std::size_t start = i;
        if (bytes_[i] != '<') {
            // TinyXML stops at text outside the root element.
            if (depth_ == 0) return countEveryElementFrom(i);
            i = skipText(i);
            continue;
        }
        if (depth_ > 0 && at(i + 1) == '/') {
            --depth_;
            i = after(i + 2, ">");
            continue;
        }
        if (startsWith(i, "<?xml", true)) {
            i = skipDeclaration(i, depth_ == 0 && encoding_ == Encoding::kUnknown);
        } else if (startsWith(i, "<!--", false)) {
            i = after(i + 4, "-->");
        } else if (startsWith(i, "<![CDATA[", false)) {
            i = after(i + 9, "]]>");
        } else if (isNameStart(at(i + 1))) {
            if (!enterElement()) return limit_ + 1;
            i = skipStartTag(i);
        } else {
            // "<!DOCTYPE ...>", "<?pi ...?>", an end tag outside the root and any other "<":
            // TinyXML keeps them as unknown nodes that end at the first ">".
            i = after(i + 1, ">");
        }
        if (i == kLost) return countEveryElementFrom(start + 1);
    }
}

// The length of the text at `text`: its bytes up to the first zero among the `size` given, or all
// of them.
std::size_t textLength(const char* text, std::size_t size) {
    const void* zero = std::memchr(text, '\0', size);
    return zero == nullptr ? size : static_cast<std::size_t>(static_cast<const char*>(zero) - text);
}

// Whether TinyXML, stepping over a lead byte's whole sequence at once, may step from a byte of
// the text's last three past the zero byte that ends it. Any byte counts, wherever a sequence
// starts, so this holds for every way TinyXML may have reached it.
bool mayStepPastTheEnd(const char* text, std::size_t length) {
    const std::size_t from = length < 3 ? 0 : length - 3;
    for (std::size_t i = from; i < length; ++i) {
        if (i + utf8StepLength(static_cast<unsigned char>(text[i])) > length) return true;
    }
    return false;
}

}  // namespace

std::size_t xmlNestingDepth(const std::string& text, std::size_t limit) {
    return NestingScanner(text.data(), textLength(text.data(), text.size()), limit).run();
}

XmlParseOutcome parseXmlText(const char* text, std::size_t size, TiXmlDocument& document) {
    const std::size_t length = textLength(text, size);
    if (NestingScanner(text, length, kMaxXmlNesting).run() > kMaxXmlNesting) {
        return XmlParseOutcome::kTooDeep;
    }
    disableXmlLocationTracking(document);
    if (length < size && !mayStepPastTheEnd(text, length)) {
        document.Parse(text, nullptr, TIXML_DEFAULT_ENCODING);
    } else {
        // Zero bytes for TinyXML to land on when it steps over a sequence cut short by the end.
        std::string padded(text, length);
        padForXmlParse(padded);
        document.Parse(padded.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    }
    return document.Error() ? XmlParseOutcome::kMalformed : XmlParseOutcome::kParsed;
}

XmlParseOutcome parseXmlText(const std::string& text, TiXmlDocument& document) {
    // c_str() is followed by its zero byte.
    return parseXmlText(text.c_str(), text.size() + 1, document);
}

}  // namespace quillmark
