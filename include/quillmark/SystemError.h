// One way to turn an errno value into a message with its context, used wherever a system call's
// failure is reported: systemErrorText("open " + path, errno) gives "open <path>: <reason>".
#ifndef QUILLMARK_SYSTEMERROR_H
#define QUILLMARK_SYSTEMERROR_H

#include <string>

namespace quillmark {

std::string systemErrorText(const std::string& context, int errorNumber);

// The reason alone, as strerror words it ("No such file or directory"); any thread.
std::string systemErrorReason(int errorNumber);

}  // namespace quillmark

#endif  // QUILLMARK_SYSTEMERROR_H
