#include "quillmark/LogText.h"

namespace quillmark {

// The stream is given its buffer only once the buffer exists: a base class is built first.
LogText::LogText() : std::ostream(nullptr) { rdbuf(&buffer_); }

LogText::~LogText() = default;

LogText::Buffer::int_type LogText::Buffer::overflow(int_type character) {
    if (!traits_type::eq_int_type(character, traits_type::eof())) {
        text_.push_back(traits_type::to_char_type(character));
    }
    return traits_type::not_eof(character);
}

std::streamsize LogText::Buffer::xsputn(const char* bytes, std::streamsize count) {
    text_.append(bytes, static_cast<std::size_t>(count));
    return count;
}

}  // namespace quillmark
