// ResultInfo: the value a metric item produced, as text, with the second it was produced at.
//
// Always created with `new` by the item or runner that answers a request; the receiver owns it and
// deletes it (through the virtual destructor). A result does not refer to the item that made it.
// Its fields are public for the receiver; like a string, one result is read by several threads at
// once only while nobody changes it.
#ifndef QUILLMARK_RESULTINFO_H
#define QUILLMARK_RESULTINFO_H

#include <cstdint>
#include <string>

namespace quillmark {

class ResultInfo {
public:
    // Each constructor sets `value`, then stamps `timestamp` with getCurrentTimeSecondsInt().
    // Numbers are passed as unsigned long or double (1UL, 0.5): a plain int is ambiguous.

    // The number in plain decimal digits: 18446744073709551615 reads as such, 0 as "0".
    explicit ResultInfo(unsigned long number);
    // The number in fixed-point notation with 6 decimals: 50 reads "50.000000".
    explicit ResultInfo(double number);
    // A copy of the text up to its first zero byte; a null pointer gives the empty text.
    explicit ResultInfo(const char* text);
    // A copy of the whole text, zero bytes included.
    explicit ResultInfo(const std::string& text);
    virtual ~ResultInfo();

    std::string value;
    // Seconds since the epoch at construction, truncated to 32 bits.
    std::int32_t timestamp;
};

}  // namespace quillmark

#endif  // QUILLMARK_RESULTINFO_H
