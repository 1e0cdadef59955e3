// DefaultConfigurationKeys: the agent's general configuration keys as the conversion of a ".conf"
// file into XML writes them into GeneralProperties, one prop per row, in the order of the rows,
// with each row's fixed description and flags and the value the current configuration gives.
//
// The rows are constant data with static storage: valid for the whole process, readable from any
// thread. Modules that read single keys pass their own default texts at their call sites; this
// table serves the conversion.
#ifndef QUILLMARK_DEFAULTCONFIGURATIONKEYS_H
#define QUILLMARK_DEFAULTCONFIGURATIONKEYS_H

#include <cstddef>

namespace quillmark {

struct DefaultConfigurationKey {
    // How the current value is fetched: getInt (key, default) and written in decimal, or
    // getString (key, default) and written as it comes.
    enum Kind { Integer, Text };

    const char* key;
    const char* defaultValue;  // "" where the key has no default
    Kind kind;
    int flags;
    const char* description;
    // A comment the converted file carries on a line of its own before this row's prop; null
    // for every row but the first of the Jmx delegate block.
    const char* commentBefore;
};

class DefaultConfigurationKeys {
public:
    // The rows in writing order: alphabetical without regard to case, except that the seven
    // Jmx delegate keys follow Hostname as one block. Never null; points at count() rows.
    static const DefaultConfigurationKey* rows();
    static std::size_t count();
};

}  // namespace quillmark

#endif  // QUILLMARK_DEFAULTCONFIGURATIONKEYS_H
