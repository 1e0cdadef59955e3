#include "ShellQuote.h"

namespace quillmark {

std::string shellQuote(const std::string& path) {
    std::string quoted;
    quoted.reserve(path.size() + 2);
    quoted += '\'';
    for (char c : path) {
        if (c == '\'') {
            // Close the quoted run, add an escaped quote, open a new run.
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

}  // namespace quillmark
