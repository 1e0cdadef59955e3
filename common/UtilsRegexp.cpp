// The regular-expression helpers of Utils, over the engine of Regexp.h.
#include "quillmark/Utils.h"

#include "quillmark/Log.h"
#include "quillmark/Regexp.h"

namespace quillmark {
namespace Utils {

const char* regexpFirstMatch(const char* text, const char* pattern, int* matchLength) {
    if (matchLength != nullptr) *matchLength = 0;
    RegexpProgram* program = nullptr;
    if (re_comp(&program, pattern) < 0) {
        QM_LOG_DEBUG("re_comp failed.");
        return nullptr;
    }
    int pair[1][2] = {{-1, -1}};
    const char* found = nullptr;
    const int outcome = regexec(program, text, 1, pair);
    re_free(program);
    if (outcome == 1) {
        found = text + pair[0][0];
        if (matchLength != nullptr) *matchLength = pair[0][1] - pair[0][0];
    } else if (outcome < 0) {
        // The engine had no memory for the search or refused the text: no answer about a match.
        QM_LOG_DEBUG("regexec failed.");
        if (matchLength != nullptr) *matchLength = kRegexpSearchFailed;
    }
    return found;
}

const char* regexpFind(const char* text, const char* pattern, int* matchLength) {
    return regexpFirstMatch(text, pattern, matchLength);
}

const char* regexpMatch(const char* text, const char* pattern, int* matchLength) {
    return regexpFirstMatch(text, pattern, matchLength);
}

std::string regexpFilter(const std::string& text, const std::string& include,
                         const std::string& exclude) {
    std::string result;
    if (text.empty()) return result;
    int length = 0;
    if (!include.empty()) {
        const char* match = regexpFirstMatch(text.c_str(), include.c_str(), &length);
        if (match == nullptr || length <= 0) return std::string();
        result.assign(match, static_cast<std::size_t>(length));
    }
    if (!exclude.empty()) {
        const char* match = regexpFirstMatch(text.c_str(), exclude.c_str(), &length);
        if (match != nullptr || length == kRegexpSearchFailed) {
            result.clear();
        } else {
            result = text;
        }
    }
    return result;
}

}  // namespace Utils
}  // namespace quillmark
