// The system's own command-line option scanner: getopt_long and getopt over one routine,
// scanOptions, with its own process-wide state (optarg, optind, optopt).
//
// Calling conventions are those of the usual long-option parser: an option string of characters
// with ':' marks ("x" no argument, "x:" required, "x::" optional; a leading ':' asks for ':' as
// the missing-argument result; a leading '-' delivers non-options in order as result 1, a leading
// '+' stops at the first non-option, anything else permutes the argument vector in place so that
// the non-options end up behind the options), and a table of long options that ends with an entry
// whose name is null. Where it differs from the platform library's parser:
//   - it writes nothing to any stream and never throws; every error is the result 0 (or ':' for a
//     missing argument when asked for), never '?';
//   - a long name ends at '\0', '=' or '#', so "--config#file" attaches "file";
//   - each long option carries flag bits that forbid abbreviating it or taking its required
//     argument from the next word;
//   - the long index is reset to -1 on every call, so -1 after a result of 0 tells an error from a
//     long option that stored its value through `flag`.
//
// Everything lives in namespace quillmark and never touches the platform's getopt state; code
// that also includes <unistd.h> should qualify these names.
//
// Threads: the state is process-wide and unlocked; one thread at a time may scan (the daemon scans
// only in main, before any other thread exists).
#ifndef QUILLMARK_OPTIONSCANNER_H
#define QUILLMARK_OPTIONSCANNER_H

namespace quillmark {

// One entry of a long-option table. The table's last entry has a null `name`.
struct LongOption {
    // Argument kinds, in bits 0 to 3 of argFlags (kinds 3 to 15 behave as optional).
    static constexpr int kNoArgument = 0;
    static constexpr int kRequiredArgument = 1;
    static constexpr int kOptionalArgument = 2;
    static constexpr int kArgumentKindMask = 0x0f;
    // The name must be given in full.
    static constexpr int kNoAbbreviation = 0x10;
    // A required argument must be attached ("--name=value" or "--name#value"), never taken from
    // the next word.
    static constexpr int kAttachedArgumentOnly = 0x20;

    const char* name;  // without the leading "--"; not owned
    int argFlags;
    int* flag;  // when not null, a recognised option stores val here and the scan returns 0
    int val;    // returned (or stored through flag) when the option is recognised
};

// The argument of the option just returned, or the non-option word just delivered (result 1);
// null otherwise. Points into the argument vector. Set to null at the start of every call.
extern char* optarg;
// Index of the next word of the argument vector to examine. Starts at 0; a call that finds 0
// starts a new scan (argv[0] is never examined). After the result -1 it is the index of the first
// non-option word. Must stay within 0..argc between calls.
extern int optind;
// The character (as an unsigned char value) of the last unknown short option or short option
// missing its argument; long options leave it unchanged.
extern int optopt;

// One step of a scan over argv[0..argc). `longopts` may be null (short options only),
// `longindex` may be null; non-zero `longOnly` lets a word with a single '-' name a long option.
// With permuting order argv is reordered in place (the words themselves are not modified).
// Results:
//   -1            no more options;
//   the character a known short option (an unsigned char value); optarg holds its argument;
//   1             with a leading '-' in optstring: a non-option word, which optarg points at;
//   val           a recognised long option whose flag is null;
//   0             a recognised long option whose flag is not null, or any error: unknown short
//                 option (optopt set), unknown, ambiguous or forbidden abbreviation of a long name,
//                 or an attached argument for a long option that takes none;
//   ':' or 0      a required argument is missing (':' when optstring begins with ':' after any
//                 leading '-' or '+'); for a short option optopt is set.
// *longindex is -1 except after a successful long option, when it is the option's table index.
int scanOptions(int argc, char** argv, const char* optstring, const LongOption* longopts,
                int* longindex, int longOnly);

// scanOptions with longOnly 0.
int getopt_long(int argc, char** argv, const char* optstring, const LongOption* longopts,
                int* longindex);

// scanOptions with short options only.
int getopt(int argc, char** argv, const char* optstring);

}  // namespace quillmark

#endif  // QUILLMARK_OPTIONSCANNER_H
