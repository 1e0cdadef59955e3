#include "quillmark/Exception.h"

namespace quillmark {

Exception::Exception(const char* file, long line, const char* message, long code)
    : message_(message ? message : ""), code_(code), line_(line), file_(file ? file : "") {}

Exception::~Exception() = default;

const char* Exception::getMessage() const { return message_.c_str(); }

// Out-of-line destructors give each subclass its own type identity in one translation unit.
ProcessingException::~ProcessingException() = default;
InvalidArgException::~InvalidArgException() = default;
SystemException::~SystemException() = default;
UnsupportedException::~UnsupportedException() = default;
SocketException::~SocketException() = default;
TimeoutException::~TimeoutException() = default;

std::ostream& operator<<(std::ostream& out, const Exception& e) {
    out << '[' << e.getCode() << "] \"" << e.getMessage() << "\" raised from " << e.getFile() << ':'
        << e.getLine() << '.' << std::endl;
    return out;
}

}  // namespace quillmark
