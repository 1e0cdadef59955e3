#include "quillmark/SystemError.h"

#include <cstring>

namespace quillmark {

std::string systemErrorText(const std::string& context, int errorNumber) {
    return context + ": " + systemErrorReason(errorNumber);
}

std::string systemErrorReason(int errorNumber) {
    char buffer[256];
    // The GNU strerror_r returns its text, which need not be the buffer.
    return strerror_r(errorNumber, buffer, sizeof buffer);
}

}  // namespace quillmark
