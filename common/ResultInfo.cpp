#include "quillmark/ResultInfo.h"

#include "quillmark/Utils.h"

#include <locale>
#include <sstream>

namespace quillmark {

namespace {

// The classic locale keeps the digits free of grouping whatever global locale a program sets.
std::ostringstream numberStream() {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    return out;
}

}  // namespace

ResultInfo::ResultInfo(unsigned long number) {
    std::ostringstream out = numberStream();
    out << std::noshowpoint << number;
    value = out.str();
    timestamp = getCurrentTimeSecondsInt();
}

ResultInfo::ResultInfo(double number) {
    std::ostringstream out = numberStream();
    out << std::fixed << number;
    value = out.str();
    timestamp = getCurrentTimeSecondsInt();
}

ResultInfo::ResultInfo(const char* text) : value(text != nullptr ? text : "") {
    timestamp = getCurrentTimeSecondsInt();
}

ResultInfo::ResultInfo(const std::string& text) : value(text) {
    timestamp = getCurrentTimeSecondsInt();
}

ResultInfo::~ResultInfo() = default;

}  // namespace quillmark
