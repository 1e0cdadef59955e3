#include "quillmark/SystemError.h"

#include <cstring>

namespace quillmark {

std::string systemErrorText(const std::string& context, int errorNumber) {
    char buffer[256];
    // The GNU strerror_r returns its text, which need not be the buffer.
    const char* reason = strerror_r(errorNumber, buffer, sizeof buffer);
    return context + ": " + reason;
}

}  // namespace quillmark
