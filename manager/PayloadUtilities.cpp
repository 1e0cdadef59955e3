#include "PayloadUtilities.h"

#include <algorithm>

namespace quillmark {

namespace {

// The end of the body: the payload's last byte is the receiver's terminating zero.
std::vector<char>::const_iterator bodyEnd(const std::vector<char>& payload) {
    if (!payload.empty() && payload.back() == '\0') return payload.end() - 1;
    return payload.end();
}

}  // namespace

PayloadUtilities::PayloadUtilities() {}

PayloadUtilities::~PayloadUtilities() {}

std::string PayloadUtilities::getFileName(const std::vector<char>& payload) const {
    const std::vector<char>::const_iterator end = bodyEnd(payload);
    const std::vector<char>::const_iterator open = std::find(payload.begin(), end, '(');
    if (open == end) return std::string();
    const std::vector<char>::const_iterator nameBegin = open + 1;
    const std::vector<char>::const_iterator nameEnd =
        std::find_if(nameBegin, end, [](char byte) { return byte == ',' || byte == ')'; });
    return std::string(nameBegin, nameEnd);
}

DataRange PayloadUtilities::getDataRange(const std::vector<char>& payload) const {
    const std::vector<char>::const_iterator comma = std::find(payload.begin(), payload.end(), ',');
    if (comma == payload.end()) return DataRange(payload.begin(), payload.begin());
    const std::vector<char>::size_type first =
        static_cast<std::vector<char>::size_type>(comma - payload.begin()) + 1;
    // The last two bytes are the closing ")" and the terminating zero.
    const std::vector<char>::size_type end = payload.size() >= 2 ? payload.size() - 2 : 0;
    if (end <= first) return DataRange(payload.begin() + first, payload.begin() + first);
    return DataRange(payload.begin() + first, payload.begin() + end);
}

}  // namespace quillmark
