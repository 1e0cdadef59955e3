// The string and number helpers of Utils.
//
// The byte rules work on unsigned byte values so that they give the same sets on every platform,
// whether `char` is signed or not.
#include "quillmark/Utils.h"

#include <cstdio>
#include <sstream>

namespace quillmark {
namespace Utils {

namespace {

const char kBlank = ' ';

unsigned char byteAt(const std::string& text, std::size_t position) {
    return static_cast<unsigned char>(text[position]);
}

// Bytes that read as at most 0x20 as a signed char (0x00-0x20 and 0x80-0xFF), and DEL.
bool isTrailingJunk(unsigned char byte) { return byte <= 0x20 || byte >= 0x7F; }

// Bytes that read as at most 0x1D as a signed char (0x00-0x1D and 0x80-0xFF), and DEL. The bound
// is 0x1D: the record and unit separators 0x1E and 0x1F survive.
bool isControlByte(unsigned char byte) { return byte <= 0x1D || byte >= 0x7F; }

template <typename Trimmer>
void splitAndApply(const std::string& text, std::vector<std::string>& out, char separator,
                   Trimmer trimPiece) {
    std::size_t position = 0;
    while (position < text.size()) {
        std::size_t next = text.find(separator, position);
        if (next == std::string::npos) next = text.size();
        out.push_back(trimPiece(text.substr(position, next - position)));
        position = next + 1;
    }
}

}  // namespace

std::string intToString(const int& value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%d", value);
    return buffer;
}

std::string unquote(const std::string& text) {
    if (text.empty() || text[0] != '"') return text;
    const std::size_t closing = text.find('"', 1);
    if (closing == std::string::npos) return text;
    return text.substr(1, closing - 1);
}

std::string trim(const std::string& text) {
    const std::size_t last = text.find_last_not_of(kBlank);
    if (last == std::string::npos) return std::string();
    const std::size_t first = text.find_first_not_of(kBlank);
    return text.substr(first, last - first + 1);
}

std::string trimRight(const std::string& text) {
    std::size_t end = text.size();
    while (end > 0 && isTrailingJunk(byteAt(text, end - 1))) --end;
    return text.substr(0, end);
}

std::string trimRightSpaces(const std::string& text) {
    const std::size_t last = text.find_last_not_of(kBlank);
    return last == std::string::npos ? std::string() : text.substr(0, last + 1);
}

std::string trimLeftSpaces(const std::string& text) {
    std::size_t start = 0;
    while (text.size() - start > 1 && text[start] == kBlank) ++start;
    return text.substr(start);
}

std::string removeControlChars(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!isControlByte(byteAt(text, i))) result.push_back(text[i]);
    }
    return result;
}

template <typename T>
void fromString(const std::string& text, T& value) {
    std::istringstream stream(text);
    // Extracting into a local keeps `value` untouched on failure: since C++11 a failed
    // extraction stores 0 (or the type's limit) into its target.
    T parsed;
    if (stream >> parsed) value = parsed;
}

template void fromString<double>(const std::string& text, double& value);
template void fromString<long>(const std::string& text, long& value);
template void fromString<int>(const std::string& text, int& value);

double toDouble(const std::string& text) {
    double value = 0;
    fromString(text, value);
    return value;
}

long toLong(const std::string& text) {
    long value = 0;
    fromString(text, value);
    return value;
}

int toInt(const std::string& text) {
    int value = 0;
    fromString(text, value);
    return value;
}

void split(const std::string& text, std::vector<std::string>& out, const std::string& delimiters) {
    std::size_t start = text.find_first_not_of(delimiters);
    while (start != std::string::npos) {
        const std::size_t end = text.find_first_of(delimiters, start);
        if (end == std::string::npos) {
            out.push_back(text.substr(start));
            return;
        }
        out.push_back(text.substr(start, end - start));
        start = text.find_first_not_of(delimiters, end);
    }
}

void splitTokens(const std::string& text, std::vector<std::string>& out,
                 const std::string& delimiters) {
    split(text, out, delimiters);
}

std::string getToken(const std::string& text, const std::string& delimiters, std::size_t index) {
    std::vector<std::string> tokens;
    split(text, tokens, delimiters);
    return index < tokens.size() ? tokens[index] : std::string();
}

void splitAndTrim(const std::string& text, std::vector<std::string>& out, char separator) {
    splitAndApply(text, out, separator, trim);
}

void splitAndTrimLeft(const std::string& text, std::vector<std::string>& out, char separator) {
    splitAndApply(text, out, separator, trimLeftSpaces);
}

void splitAtLastComma(const std::string& text, std::vector<std::string>& out,
                      const std::string& closer, char /*opener*/) {
    if (text.empty()) return;
    const std::size_t closerPosition = text.rfind(closer);
    const std::size_t comma = text.rfind(',');
    if (closerPosition == std::string::npos || comma == std::string::npos ||
        comma >= closerPosition) {
        out.push_back(trim(text));
        return;
    }
    out.push_back(trim(text.substr(0, comma)));
    // The position of the last ')' serves as the piece's length, not its end: a text ending in
    // that ')' keeps it in the second piece.
    const std::size_t lastParenthesis = text.rfind(')');
    out.push_back(trim(text.substr(comma + 1, lastParenthesis)));
}

std::uint64_t hton64(std::uint64_t value) { return value; }

std::uint64_t ntoh64(std::uint64_t value) { return value; }

}  // namespace Utils
}  // namespace quillmark
