#include "PayloadUtilities.h"

#include <algorithm>

namespace quillmark {

PayloadUtilities::PayloadUtilities(RequestForm form) : form_(form) {}

PayloadUtilities::~PayloadUtilities() {}

std::vector<char>::const_iterator PayloadUtilities::bodyEnd(
    const std::vector<char>& payload) const {
    std::vector<char>::const_iterator end = payload.end();
    // The payload's last byte is the receiver's terminating zero.
    if (end != payload.begin() && end[-1] == '\0') --end;
    if (form_ != RequestForm::kRawLine || end == payload.begin() || end[-1] != '\n') return end;
    --end;
    if (end != payload.begin() && end[-1] == '\r') --end;
    return end;
}

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
    const std::vector<char>::const_iterator end = bodyEnd(payload);
    const std::vector<char>::const_iterator comma = std::find(payload.begin(), end, ',');
    if (comma == end) return DataRange(payload.begin(), payload.begin());
    const std::vector<char>::const_iterator first = comma + 1;
    // The body's last byte is the closing ")".
    const std::vector<char>::const_iterator last = end - 1;
    return DataRange(first, last > first ? last : first);
}

bool PayloadUtilities::endsWithClosingParenthesis(const std::vector<char>& payload) const {
    const std::vector<char>::const_iterator end = bodyEnd(payload);
    return end != payload.begin() && end[-1] == ')';
}

}  // namespace quillmark
