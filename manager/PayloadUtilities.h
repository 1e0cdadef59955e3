// PayloadUtilities: takes the file name and the data out of an upgrade request's payload.
//
// An upgrade body is the command name, "(", the file name, ",", the data and ")"
// (upgrade_final has no "," and no data). The name holds any bytes but "," and ")"; the data
// holds any bytes and runs from the body's first "," up to, not including, the body's last
// byte, which counts as the closing ")" whatever its value. Nothing is trimmed, checked or
// decoded here: the upgrade processors check the name before anything uses it.
//
// Ownership: one instance per upgrade request, owned by that request's processor; it keeps no
// state, and a range it returns points into the caller's payload. Threads: any thread may call
// it on a payload that no other thread changes meanwhile.
#ifndef QUILLMARK_MANAGER_PAYLOADUTILITIES_H
#define QUILLMARK_MANAGER_PAYLOADUTILITIES_H

#include <string>
#include <utility>
#include <vector>

namespace quillmark {

// A run of bytes inside a request payload: [first, second); also what the file operations write.
typedef std::pair<std::vector<char>::const_iterator, std::vector<char>::const_iterator> DataRange;

class PayloadUtilities {
public:
    PayloadUtilities();
    virtual ~PayloadUtilities();

    // The bytes after the payload's first "(" up to the first "," or ")" after it; "" when
    // there is no "(" or it is directly followed by "," or ")". When neither follows before the
    // body ends, the name runs to the end of the body (the terminating zero byte left out).
    // Never throws; never reads outside the payload.
    std::string getFileName(const std::vector<char>& payload) const;

    // The data of an upgrade_initial or upgrade_append payload: from the byte after the first
    // "," of the payload to its end minus two (leaving out the terminating zero byte and the
    // closing ")"). Without a "," the range is empty at the payload's beginning; when the ","
    // is the body's last byte the range is empty at the byte after it. The range points into
    // `payload` and is never inverted. Never throws.
    DataRange getDataRange(const std::vector<char>& payload) const;
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_PAYLOADUTILITIES_H
