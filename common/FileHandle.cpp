#include "quillmark/FileHandle.h"

#include <cstdlib>
#include <stdio.h>
#include <unistd.h>

namespace quillmark {

Descriptor::~Descriptor() { reset(); }

void Descriptor::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool readLine(std::FILE* file, std::string& line) {
    char* buffer = nullptr;
    std::size_t capacity = 0;
    const ssize_t length = ::getline(&buffer, &capacity, file);
    std::unique_ptr<char, decltype(&std::free)> owned(buffer, &std::free);
    if (length < 0) return false;
    line.assign(buffer, static_cast<std::size_t>(length));
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return true;
}

}  // namespace quillmark
