#include "quillmark/OptionScanner.h"

#include <algorithm>
#include <cstring>

namespace quillmark {

char* optarg = nullptr;
int optind = 0;
int optopt = 0;

namespace {

enum Ordering { kRequireOrder = 0, kPermute = 1, kReturnInOrder = 2 };

// Where scanning resumes inside the current word; null or empty: move on to the next word.
char* nextChar = nullptr;
int ordering = kPermute;
// argv[firstNonOption, lastNonOption) holds the non-options skipped so far and not yet moved
// behind the options.
int firstNonOption = 1;
int lastNonOption = 1;

bool isNonOption(const char* word) { return word[0] != '-' || word[1] == '\0'; }

bool hasSkippedNonOptions() { return firstNonOption != lastNonOption; }

char* endOfWord(char* word) { return word + std::strlen(word); }

// The options in argv[lastNonOption, optind) change places with the non-options in
// argv[firstNonOption, lastNonOption); both blocks keep their inner order.
void permuteOptionArguments(char** argv) {
    const int optionCount = optind - lastNonOption;
    std::rotate(argv + firstNonOption, argv + lastNonOption, argv + optind);
    firstNonOption += optionCount;
    lastNonOption = optind;
}

// Looks the option character up in the option string; ':' is never an option and '\0' never
// matches the string's terminator.
const char* findShortOption(const char* optstring, char c) {
    if (c == '\0' || c == ':') {
        return nullptr;
    }
    return std::strchr(optstring, c);
}

int missingArgumentResult(const char* optstring) { return optstring[0] == ':' ? ':' : 0; }

int scanShortOption(int argc, char** argv, const char* optstring) {
    const char c = *nextChar++;
    const char* entry = findShortOption(optstring, c);
    if (*nextChar == '\0') {
        ++optind;
    }
    // Unsigned so that a byte such as 0xff can never be taken for the end result -1.
    const int result = static_cast<unsigned char>(c);
    if (entry == nullptr) {
        optopt = result;
        return 0;
    }
    if (entry[1] != ':') {
        return result;
    }
    if (entry[2] == ':') {
        if (*nextChar != '\0') {
            optarg = nextChar;
            ++optind;
        }
        nextChar = nullptr;
        return result;
    }
    int outcome = result;
    if (*nextChar != '\0') {
        optarg = nextChar;
        ++optind;
    } else if (optind >= argc) {
        optopt = result;
        outcome = missingArgumentResult(optstring);
    } else {
        optarg = argv[optind++];
    }
    nextChar = nullptr;
    return outcome;
}

// Returns false, with nothing consumed, when a single-dash word under longOnly names no long
// option but starts with a short option character: the word is then scanned as short options.
bool scanLongOption(int argc, char** argv, const char* optstring, const LongOption* longopts,
                    int* longindex, int longOnly, int& result) {
    char* const word = argv[optind];
    const std::size_t nameLength = std::strcspn(nextChar, "=#");
    const char terminator = nextChar[nameLength];

    const LongOption* candidate = nullptr;
    int candidateIndex = -1;
    bool exact = false;
    bool ambiguous = false;
    bool abbreviationForbidden = false;
    for (int index = 0; longopts[index].name != nullptr; ++index) {
        const LongOption& entry = longopts[index];
        if (std::strncmp(entry.name, nextChar, nameLength) != 0) {
            continue;
        }
        if (std::strlen(entry.name) == nameLength) {
            candidate = &entry;
            candidateIndex = index;
            exact = true;
            break;
        }
        if (candidate == nullptr) {
            candidate = &entry;
            candidateIndex = index;
        } else {
            ambiguous = true;
        }
        if (entry.argFlags & LongOption::kNoAbbreviation) {
            abbreviationForbidden = true;
        }
    }

    result = 0;
    if (!exact && (ambiguous || abbreviationForbidden)) {
        nextChar = endOfWord(word);
        ++optind;
        return true;
    }

    if (candidate == nullptr) {
        // Any character of the option string sends the word to the short scan, a ':' too,
        // which is then reported there as an unknown option with the rest of the cluster kept.
        if (longOnly && word[1] != '-' && *nextChar != '\0' &&
            std::strchr(optstring, *nextChar) != nullptr) {
            return false;
        }
        nextChar = endOfWord(word);
        ++optind;
        return true;
    }

    ++optind;
    char* const attached = terminator == '\0' ? nullptr : nextChar + nameLength + 1;
    nextChar = endOfWord(word);
    const int kind = candidate->argFlags & LongOption::kArgumentKindMask;
    char* argument = nullptr;
    if (attached != nullptr) {
        if (kind == LongOption::kNoArgument) {
            return true;
        }
        // An empty attached text counts as no argument.
        if (*attached != '\0') {
            argument = attached;
        }
    }
    if (argument == nullptr && kind == LongOption::kRequiredArgument) {
        if (optind < argc && !(candidate->argFlags & LongOption::kAttachedArgumentOnly)) {
            argument = argv[optind++];
        } else {
            result = missingArgumentResult(optstring);
            return true;
        }
    }

    optarg = argument;
    if (longindex != nullptr) {
        *longindex = candidateIndex;
    }
    if (candidate->flag != nullptr) {
        *candidate->flag = candidate->val;
    } else {
        result = candidate->val;
    }
    return true;
}

}  // namespace

int scanOptions(int argc, char** argv, const char* optstring, const LongOption* longopts,
                int* longindex, int longOnly) {
    if (longindex != nullptr) {
        *longindex = -1;
    }
    optarg = nullptr;
    if (optstring == nullptr) {
        optstring = "";
    }

    if (optind == 0) {
        optind = 1;
        firstNonOption = lastNonOption = 1;
        nextChar = nullptr;
        if (optstring[0] == '-') {
            ordering = kReturnInOrder;
        } else if (optstring[0] == '+') {
            ordering = kRequireOrder;
        } else {
            ordering = kPermute;
        }
    }
    // The ordering mark is skipped on every call, not only the first, so that it is never taken
    // for an option character and a ':' after it still asks for the ':' result.
    if (optstring[0] == '-' || optstring[0] == '+') {
        ++optstring;
    }

    if (nextChar == nullptr || *nextChar == '\0') {
        if (ordering == kPermute) {
            if (hasSkippedNonOptions() && lastNonOption != optind) {
                permuteOptionArguments(argv);
            } else if (lastNonOption != optind) {
                firstNonOption = optind;
            }
            while (optind < argc && isNonOption(argv[optind])) {
                ++optind;
            }
            lastNonOption = optind;
        }

        if (optind < argc && std::strcmp(argv[optind], "--") == 0) {
            ++optind;
            if (hasSkippedNonOptions() && lastNonOption != optind) {
                permuteOptionArguments(argv);
            } else if (!hasSkippedNonOptions()) {
                firstNonOption = optind;
            }
            lastNonOption = argc;
            optind = argc;
        }

        // ">=" rather than "==": with argc 0 the scan starts past the end.
        if (optind >= argc) {
            if (hasSkippedNonOptions()) {
                optind = firstNonOption;
            }
            return -1;
        }

        if (isNonOption(argv[optind])) {
            if (ordering == kRequireOrder) {
                return -1;
            }
            optarg = argv[optind++];
            return 1;
        }

        char* word = argv[optind];
        nextChar = word + 1;
        if (longopts != nullptr && word[1] == '-') {
            ++nextChar;
        }
    }

    const char* word = argv[optind];
    if (longopts != nullptr && word[0] == '-' && (word[1] == '-' || longOnly)) {
        int result = 0;
        if (scanLongOption(argc, argv, optstring, longopts, longindex, longOnly, result)) {
            return result;
        }
    }
    return scanShortOption(argc, argv, optstring);
}

int getopt_long(int argc, char** argv, const char* optstring, const LongOption* longopts,
                int* longindex) {
    return scanOptions(argc, argv, optstring, longopts, longindex, 0);
}

int getopt(int argc, char** argv, const char* optstring) {
    return scanOptions(argc, argv, optstring, nullptr, nullptr, 0);
}

}  // namespace quillmark
