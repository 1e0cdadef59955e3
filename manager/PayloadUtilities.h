// PayloadUtilities: takes the file name and the data out of an upgrade request's payload.
//
// An upgrade body is the command name, "(", the file name, ",", the data and ")"
// (upgrade_final has no "," and no data). The name holds any bytes but "," and ")"; the data
// holds any bytes and runs from the body's first "," up to, not including, the body's last
// byte, the closing ")". The body is the payload without its terminating zero byte and, for a
// raw line, without the line end: its "\n", or the "\r\n" a telnet-like client sends (a "\r"
// there cannot belong to a well-formed body, which ends in ")"). Nothing is trimmed, checked or
// decoded here beyond that: the upgrade processors check the name, and whether the body is
// whole and ends in ")", before anything uses it.
//
// Ownership: one instance per upgrade request, owned by that request's processor; it keeps only
// the request's form, and a range it returns points into the caller's payload. Threads: any
// thread may call it on a payload that no other thread changes meanwhile.
#ifndef QUILLMARK_MANAGER_PAYLOADUTILITIES_H
#define QUILLMARK_MANAGER_PAYLOADUTILITIES_H

#include "RequestForm.h"

#include <string>
#include <utility>
#include <vector>

namespace quillmark {

// A run of bytes inside a request payload: [first, second); also what the file operations write.
typedef std::pair<std::vector<char>::const_iterator, std::vector<char>::const_iterator> DataRange;

class PayloadUtilities {
public:
    // `form`: how the request that the payloads come from arrived.
    explicit PayloadUtilities(RequestForm form = RequestForm::kFramed);
    virtual ~PayloadUtilities();

    // The bytes after the body's first "(" up to the first "," or ")" after it; "" when there
    // is no "(" or it is directly followed by "," or ")". When neither follows before the body
    // ends, the name runs to the end of the body. Never throws; never reads outside the
    // payload.
    std::string getFileName(const std::vector<char>& payload) const;

    // The data of an upgrade_initial or upgrade_append payload: from the byte after the body's
    // first "," to the body's end minus one (leaving out the closing ")"). Without a "," the
    // range is empty at the payload's beginning; when the "," is the body's last byte the range
    // is empty at the byte after it. The range points into `payload` and is never inverted.
    // Never throws.
    DataRange getDataRange(const std::vector<char>& payload) const;

    // Whether the request is cut short: a raw line that ended without its newline.
    bool isCutShort() const { return form_ == RequestForm::kRawUnended; }
    // Whether the body's last byte is the closing ")".
    bool endsWithClosingParenthesis(const std::vector<char>& payload) const;

private:
    // The end of the body within `payload`.
    std::vector<char>::const_iterator bodyEnd(const std::vector<char>& payload) const;

    RequestForm form_;
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_PAYLOADUTILITIES_H
