// The outcome texts of the request commands, the upgrade name check and the file operations:
// "SUCCESS", or a message that begins "FAILURE! ". These texts go on the wire unchanged.
#ifndef QUILLMARK_MANAGER_RESULTTEXT_H
#define QUILLMARK_MANAGER_RESULTTEXT_H

#include <string>

namespace quillmark {

constexpr char kSuccessText[] = "SUCCESS";

// "FAILURE! " followed by `reason`.
inline std::string failureText(const std::string& reason) { return "FAILURE! " + reason; }

// Our own decisions on an outcome compare the whole text: a failure text that merely carries
// "SUCCESS" (in a path, say) is not a success.
inline bool isSuccessText(const std::string& text) { return text == kSuccessText; }

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_RESULTTEXT_H
