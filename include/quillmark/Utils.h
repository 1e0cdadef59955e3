// Utils: the free helper functions of the system.
//
// Text helpers (cut, trim, split, convert), the 64-bit byte-order helpers of the message framing,
// path and text tests, the daemon's output redirection, a hex dump and a time text for log
// messages; beside them, in the system namespace itself, the clock readings that stamp metric
// results.
//
// No function keeps state. Arguments are never changed; the only outputs are the results, the
// vectors the split functions append to and the value fromString writes. Every function may be
// called from any thread, except forkProcess and redirectOutput, which act on the whole process
// and belong to the daemon's start-up before other threads exist.
//
// Texts are byte strings: the byte rules below are stated on byte values 0x00 to 0xFF and do
// not depend on whether `char` is signed.
#ifndef QUILLMARK_UTILS_H
#define QUILLMARK_UTILS_H

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace quillmark {
namespace Utils {

// ---- Strings and numbers ----

// The value in decimal, as printf's "%d" writes it.
std::string intToString(const int& value);

// When the text begins with '"' and holds a second '"', the text between the two (whatever
// follows the second is dropped); otherwise the text unchanged.
std::string unquote(const std::string& text);

// Removes blanks (0x20 only) at the end, then at the start; tabs and other white space stay.
std::string trim(const std::string& text);

// Removes trailing bytes while the last one is 0x00-0x20, 0x7F or 0x80-0xFF, so a text ending in
// a multi-byte UTF-8 character loses that character too. Stops at a byte 0x21-0x7E.
std::string trimRight(const std::string& text);

// Removes trailing blanks (0x20) only.
std::string trimRightSpaces(const std::string& text);

// Removes leading blanks (0x20) while more than one byte remains: a text of blanks only becomes
// one blank.
std::string trimLeftSpaces(const std::string& text);

// Removes every byte 0x00-0x1D, 0x7F and 0x80-0xFF wherever it stands; 0x1E, 0x1F and printable
// ASCII stay.
std::string removeControlChars(const std::string& text);

// Reads one T from the text by formatted stream input: leading white space is skipped, the
// longest decimal prefix that forms a T is converted, the rest is ignored ("12abc" gives 12,
// "0x1F" gives 0). `value` is written only when the extraction succeeds; a text with no number at
// its start, or a number outside T's range, leaves it as it was. Available for double, long and
// int.
template <typename T>
void fromString(const std::string& text, T& value);

extern template void fromString<double>(const std::string& text, double& value);
extern template void fromString<long>(const std::string& text, long& value);
extern template void fromString<int>(const std::string& text, int& value);

// fromString of the matching type; 0 when the text holds no number at its start or the number is
// outside the type's range.
double toDouble(const std::string& text);
long toLong(const std::string& text);
int toInt(const std::string& text);

// Appends to `out` (which is not cleared) the tokens of the text: the maximal runs of bytes not
// in `delimiters`. Runs of delimiters and delimiters at either end yield no empty token.
void split(const std::string& text, std::vector<std::string>& out, const std::string& delimiters);

// The same as split.
void splitTokens(const std::string& text, std::vector<std::string>& out,
                 const std::string& delimiters);

// The token with the zero-based `index` among those split finds; empty when there are fewer.
std::string getToken(const std::string& text, const std::string& delimiters, std::size_t index);

// Appends the pieces between separators, each passed through trim. Empty pieces between two
// separators or before a leading one are appended as empty texts; a final separator adds no
// empty piece after it; an empty text appends nothing.
void splitAndTrim(const std::string& text, std::vector<std::string>& out, char separator);

// The same as splitAndTrim, each piece passed through trimLeftSpaces instead.
void splitAndTrimLeft(const std::string& text, std::vector<std::string>& out, char separator);

// Splits a call-like text in two at its last comma when that comma stands before the last
// occurrence of `closer`: appends trim of the text before the comma, then trim of at most P bytes
// after it, where P is the position of the last ')' in the text (the rest of the text when there
// is none). Otherwise appends trim of the whole text; an empty text appends nothing. `opener`
// plays no part. Example: "f(a,b)" with closer ")" gives "f(a" and "b)".
void splitAtLastComma(const std::string& text, std::vector<std::string>& out,
                      const std::string& closer, char opener);

// Return the value unchanged: no swap to big-endian order takes place. The framing's 64-bit body
// length therefore travels in host (little-endian) order, which peers rely on.
std::uint64_t hton64(std::uint64_t value);
std::uint64_t ntoh64(std::uint64_t value);

// ---- Utility functions ----

// The text after the last '/'; the whole text when it holds none; empty when it ends in '/'.
std::string baseName(const std::string& path);

// True when the text begins with `prefix` (so always for an empty prefix).
bool startsWith(const std::string& text, const std::string& prefix);

// The byte with A-Z folded to a-z (lowerAscii) or a-z to A-Z (upperAscii); every other byte
// unchanged, whatever the process's locale.
char lowerAscii(char c);
char upperAscii(char c);

// False when the lengths differ; otherwise true when every pair of bytes is equal after
// lowerAscii (only ASCII letters fold).
bool equalsIgnoreCase(const std::string& a, const std::string& b);

// True when `text` begins with `prefix`, pairs of bytes compared as equalsIgnoreCase compares
// them (so always for an empty prefix).
bool startsWithIgnoreCase(std::string_view text, std::string_view prefix);

// The process's current working directory; empty when it cannot be read.
std::string workingDirectory();

// `path` anchored to `directory` when it is relative; "" and absolute paths unchanged, and the
// path as it is when `directory` is empty.
std::string pathFrom(const std::string& directory, const std::string& path);

// `path` anchored to the process's current working directory when it is relative (pathFrom). The
// daemon moves to "/" after its start, so a relative path from the command line or the
// configuration is resolved with this while the process still works from the directory it was
// launched in.
std::string absolutePath(const std::string& path);

// Flushes stdout and stderr, then forks. Returns fork's result: 0 in the child, the child's id in
// the parent, -1 on failure (errno set).
pid_t forkProcess();

// Points standard input at "/dev/null" and standard output and error at `fileName` (opened for
// appending, created with mode 0666 before the umask), or at "/dev/null" when the name is null or
// empty. A `fileName` that is a symbolic link is not followed: like the log file, it counts as a
// file that cannot be opened. The open never waits; a path that names neither a regular file nor
// a character device (a FIFO, a socket, a directory, a block device) sends both streams to
// "/dev/null" after the DEBUG line "Cannot open file <name> for redirecting stderr/stdout". When
// the file cannot be opened for another reason, the same line is logged and both streams stay as
// they were; a failed duplication is logged likewise and ignored. Nothing is reported to the
// caller. Works also when the process started with some of the descriptors 0 to 2 closed. Call
// before other threads exist.
void redirectOutput(const char* fileName);

// Opens "/dev/null" on each of the descriptors 0, 1 and 2 that is closed, not close-on-exec, so
// that no file opened later becomes a standard stream by chance. Call first thing in main.
void openClosedStandardDescriptors();

// Writes to `out` a dump of `length` bytes of `data`: a newline, two header lines, then one
// 62-character row per 16 bytes: offset, hex bytes in groups of four, the bytes as characters
// between bars ('.' for bytes outside 0x20-0x7F). A short last row is padded so its columns line
// up. `data` may be null when `length` is 0. Write errors on `out` are not reported.
void hexDump(const char* data, unsigned length, FILE* out);

// The current time as "<seconds since the epoch> sec, <milliseconds 0-999> msec".
std::string timeString();

// ---- Regular expressions ----
// Each call compiles the pattern afresh (nothing is cached), matches and releases it, so these may
// be called from any thread. Patterns use the syntax of Regexp.h.

// The length regexpFirstMatch reports when the engine did not finish the search: it could not
// have the memory the search needs, or the text is null or longer than INT_MAX bytes. It is a
// failure, not an answer about the text.
const int kRegexpSearchFailed = -1;

// The first (leftmost) match of `pattern` in the NUL-terminated `text`: a pointer into `text` (not
// a copy) at the match's start, with its length in *matchLength when that is not null. Returns
// null with a length of 0 when there is no match and when the pattern does not compile (logged at
// DEBUG level as "re_comp failed."). Returns null with a length of kRegexpSearchFailed when the
// engine did not finish the search (logged at DEBUG level as "regexec failed.", the engine's
// reason on standard error); a caller that must tell this failure from "no match" passes
// `matchLength`. Never throws.
const char* regexpFirstMatch(const char* text, const char* pattern, int* matchLength);

// The same as regexpFirstMatch.
const char* regexpFind(const char* text, const char* pattern, int* matchLength);
const char* regexpMatch(const char* text, const char* pattern, int* matchLength);

// Include/exclude filter over regexpFirstMatch (the patterns see the text up to its first NUL).
// With a non-empty `include`, the text of its first match, or "" when it does not match or matches
// only the empty string. With a non-empty `exclude` that is reached (after the include step), ""
// when it matches the text and otherwise the whole text. "" when both patterns are empty or the
// text is. A pattern that does not compile counts as no match. A search that the engine does not
// finish lets nothing through: the result is "", also for `exclude`, whose no match would pass
// the whole text. Never throws.
std::string regexpFilter(const std::string& text, const std::string& include,
                         const std::string& exclude);

}  // namespace Utils

// Wall-clock time in milliseconds since the epoch, with the microseconds as the fraction.
double getCurrentTimeMillis();
// Wall-clock time in seconds since the epoch, with the microseconds as the fraction.
double getCurrentTimeSeconds();
// getCurrentTimeSeconds truncated toward zero.
std::int32_t getCurrentTimeSecondsInt();

}  // namespace quillmark

#endif  // QUILLMARK_UTILS_H
