// StandardConfigurationFileAccess: the ".conf" form of the ConfigurationFileAccess interface.
//
// The settings come from a ".conf" text file held in an embedded Configurator named "Main"; every
// operation works on its section "MAIN". Keys compare in upper case, values have their macros
// expanded, and a single-value look-up of a missing key answers the key + "_DEFAULT" value (a
// list look-up does not). The key "Server" (exactly so written) holds a list: `get` joins its
// values with "," and `set` splits at ",". The inherited tables (properties, attribute
// parameters) are never filled: the operations of the interface that this class does not
// override (add, getEntry, getProperties, clear ...) work on them alone; getBool reads through
// the overridden `get`.
//
// Ownership: made with `new` by ConfiguratorObjAccess::initialize, which never destroys it.
//
// Threads: no operation takes a lock. Look-ups only read the store and may run beside each other
// on any threads; `set` and `load` change it and must not run beside any other call of the same
// object (the caller serialises them).
#ifndef QUILLMARK_STANDARDCONFIGURATIONFILEACCESS_H
#define QUILLMARK_STANDARDCONFIGURATIONFILEACCESS_H

#include "quillmark/ConfigurationFileAccess.h"
#include "quillmark/Configurator.h"

#include <string>
#include <vector>

namespace quillmark {

class StandardConfigurationFileAccess : public ConfigurationFileAccess {
public:
    // Reads the ".conf" file at `path` (with this class's own load). Throws what load throws, so
    // an object exists only when its file was read. getFileName answers "" for this class.
    explicit StandardConfigurationFileAccess(const std::string& path);
    ~StandardConfigurationFileAccess() override;

    // "Server": every value joined with ","; any other key: its first value. "" when missing.
    std::string get(const std::string& key) override;
    // The key's first value when the key (or key + "_DEFAULT") exists, even when it is empty;
    // otherwise `defaultValue`. No special case for "Server".
    std::string getString(const std::string& key, const std::string& defaultValue) override;
    // "Server": the value split at "," (empty pieces dropped), each piece a value of its own;
    // any other key: the value as one text. With `replace` every former value of the key is
    // removed first; without it the value goes behind the others.
    void set(const std::string& key, const std::string& value, bool replace) override;
    // The number at the start of the key's first value (stream extraction: blanks, a sign,
    // digits); 0 when the key is missing or no number in int's range starts the value.
    int getInt(const std::string& key) override;
    // As getInt(key); a missing key converts `defaultValue` with strtol in base 10, narrowed to
    // its low 32 bits.
    int getInt(const std::string& key, const std::string& defaultValue) override;
    // Clears `out`, then appends every value of the key in stored order. False only when no
    // setting was ever stored (the section "MAIN" does not exist).
    bool getValues(const std::string& key, std::vector<std::string>& out) override;
    // Replaces the values by those of the ".conf" file at `path`; isLoaded is true afterwards.
    // A file that cannot be opened or read prints "Failure in initialize...please provide a
    // config file." on standard output and throws Exception "Failed to read config file <path>"
    // (code 0), the values staying as they were.
    void load(std::string path) override;

private:
    Configurator configurator_;
};

}  // namespace quillmark

#endif  // QUILLMARK_STANDARDCONFIGURATIONFILEACCESS_H
