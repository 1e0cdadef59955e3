// Configurator: a sectioned, multi-valued key/value store in memory, read from and written to a
// ".conf" text file.
//
// Keys live in named sections; a key may hold several values, kept in insertion order. Keys and
// section names compare in upper case (ASCII a-z only, byte by byte; the caller's strings are
// never changed); values keep their bytes. Values may hold macros, expanded whenever a value is
// read and never in the stored text:
//   <ref>SECTION:KEY</ref> or <ref>KEY</ref>  the value of another key (section "MAIN" without ':')
//   <env>NAME</env>                            an environment variable
//   <sys>COMMAND</sys>                         the first output line of a shell command (at
//                                              most 1023 bytes; only the shell is waited for)
//   <func>PID</func>, <func>THREAD</func>      the process id
// Tags match in any case. A macro that does not resolve is replaced by its inner text. Expansion
// is bounded: references nest at most kMaxReferenceDepth deep and one read resolves at most
// kMaxMacroResolutions macros, so a reference cycle or a self-reproducing value ends; a value
// that is not so built expands in full.
//
// The ".conf" syntax (reader and writer: the stream operators below): one setting per line,
// KEY=value1,value2,...; lines that start with '#' or '/' after trimming blanks, and lines
// without '=', are skipped; the reader fills the store's own section. A line is read as its
// first 4095 bytes up to a zero byte among them; the rest of a longer line is dropped. The writer
// prints every section as "[NAME]", one "KEY = value" line per value and an empty line.
//
// Threads: the public operations take lock_ (a non-recursive ZThread::FastMutex) for their whole
// duration and may be called from any thread. The *Unlocked workers and getValue, setValue and
// removeValue take no lock; their caller serialises them with every other call. Look-ups only
// read the tables, so unlocked look-ups may run beside each other, never beside a change. A sys
// macro runs its command synchronously in the calling thread, under lock_ when reached through a
// public operation.
#ifndef QUILLMARK_CONFIGURATOR_H
#define QUILLMARK_CONFIGURATOR_H

#include <zthread/FastMutex.h>

#include <cstddef>
#include <istream>
#include <map>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace quillmark {

// "Main": the section name that getValues, setValues and setPairs map to the store's own name.
extern const std::string mainSectionName;

class Configurator {
public:
    struct Entry {
        std::string key;
        std::string value;
        std::string section;
    };

    typedef std::multimap<std::string, std::string> Section;  // key (upper case) to value
    typedef std::map<std::string, Section> Sections;          // name (upper case) to section

    // How deeply <ref> macros may nest inside one read; a deeper reference resolves to its inner
    // text, as a missing key does.
    static constexpr int kMaxReferenceDepth = 32;
    // How many macros one read may resolve, nested references included; the expansion stops
    // there and answers the text as it stands.
    static constexpr int kMaxMacroResolutions = 1000;

    // `name` (upper-cased) is the section that load fills.
    explicit Configurator(const std::string& name);
    virtual ~Configurator();

    Configurator(const Configurator&) = delete;
    Configurator& operator=(const Configurator&) = delete;

    // The store's own section name, upper case.
    const std::string& getName() const { return name_; }

    // ---- Locked operations: each holds lock_ and runs its worker. ----
    void clear();
    bool setEntries(const std::vector<Entry>& entries, bool replace);
    bool save(const std::string& path);
    bool load(const std::string& path);
    bool getValues(const std::string& key, std::vector<std::string>& out,
                   const std::string& section);
    bool getAllEntries(std::vector<Entry>& out);
    bool getSectionEntries(std::vector<Entry>& out, const std::string& section);
    bool setValues(const std::string& key, const std::vector<std::string>& values,
                   const std::string& section, bool replace);
    bool setPairs(const std::vector<Entry>& entries, const std::string& section, bool replace);

    // ---- Workers: no lock. ----

    // Removes every section.
    void clearUnlocked();
    // Stores each entry's value under its key and section, in order; with `replace` each entry
    // first removes the values of its key in its section. Always true.
    bool setEntriesUnlocked(const std::vector<Entry>& entries, bool replace);
    // Writes the store in the ".conf" form to `path`, replacing the file as a whole: the text goes
    // to a temporary file beside it, which is synced and renamed over `path`, so a failure or a
    // crash part-way leaves the old file. A symbolic link at `path` stays and its target is
    // replaced; an existing file keeps its permission bits. False when the file cannot be
    // written; the old file is then untouched.
    bool saveUnlocked(const std::string& path);
    // Replaces the whole store by the settings of the ".conf" file at `path` (into the store's own
    // section). False, with the store unchanged, when the file cannot be opened or read to its
    // end.
    bool loadUnlocked(const std::string& path);
    // Clears `out`, then appends every value of the key, expanded, in insertion order (no
    // "_DEFAULT" fallback). A `section` equal to "Main" means the store's own section. False,
    // with `out` emptied, when the section does not exist; true with nothing appended for a
    // missing key.
    bool getValuesUnlocked(std::string key, std::vector<std::string>& out, std::string section);
    // Clears `out`, then appends {key, expanded value, section} for every value, sections in name
    // order, keys in byte order. Always true.
    bool getAllEntriesUnlocked(std::vector<Entry>& out);
    // The same for one section; true, with `out` empty, also when the section is missing.
    bool getSectionEntriesUnlocked(std::vector<Entry>& out, std::string section);
    // With `replace` removes the key's values once, then appends each element in order. A
    // `section` equal to "Main" means the store's own section. An empty `values` creates no
    // section. Always true.
    bool setValuesUnlocked(std::string key, const std::vector<std::string>& values,
                           std::string section, bool replace);
    // Stores each entry's key and value into `section` (the entries' own sections are ignored);
    // with `replace` each entry first removes its key's values there. "Main" as above. Always
    // true.
    bool setPairsUnlocked(const std::vector<Entry>& entries, std::string section, bool replace);

    // The key's first value, expanded, into `out`; when the key has none, that of key + "_DEFAULT".
    // False, with `out` unchanged, when the section is missing or neither key has a value.
    bool getValue(std::string key, std::string& out, std::string section);
    // Appends the value behind the key's values (with `replace`, after removing them all),
    // creating the section when missing. Always true.
    bool setValue(std::string key, const std::string& value, std::string section, bool replace);
    // Removes every value of the key; the number removed (0 when the section is missing). The
    // section stays even when it becomes empty.
    std::size_t removeValue(std::string key, std::string section);

    // setValue with the value written by operator<<.
    template <typename T>
    bool setValue(std::string key, const T& value, std::string section, bool replace) {
        std::ostringstream text;
        text << value;
        return setValue(std::move(key), text.str(), std::move(section), replace);
    }

    // getValue, then the text read by operator>>. True whenever getValue is, also when nothing
    // could be read: `out` is written only when the text starts with a T (for numbers, one in
    // T's range).
    template <typename T>
    bool getValue(std::string key, T& out, std::string section) {
        std::string text;
        if (!getValue(std::move(key), text, std::move(section))) return false;
        std::istringstream in(text);
        T parsed{};
        if (in >> parsed) out = parsed;
        return true;
    }

    // The ".conf" reader: empties the store, then stores every setting of the stream into the
    // store's own section. No lock.
    friend std::istream& operator>>(std::istream& in, Configurator& store);
    // The ".conf" writer: every section with its values unexpanded. No lock.
    friend std::ostream& operator<<(std::ostream& out, const Configurator& store);

private:
    enum MacroKind { kRefMacro, kEnvMacro, kSysMacro, kFuncMacro, kMacroKinds };

    // The bounds of one read, shared by the nested expansions of the references it follows.
    struct Expansion {
        int depth = 0;
        int resolutionsLeft = kMaxMacroResolutions;
        bool boundReached = false;
    };

    static void toUpper(std::string& text);
    // "Main" stands for the store's own section in the operations that document it.
    void mapMainSection(std::string& section) const;
    Section* findSection(const std::string& upperName);
    void insertValue(const std::string& upperKey, const std::string& value,
                     const std::string& upperSection);
    void appendSectionEntries(const std::string& upperName, const Section& section,
                              std::vector<Entry>& out);

    bool lookUpValue(std::string key, std::string& out, std::string section, Expansion& state);
    std::string expandMacros(const std::string& value);
    std::string expandMacros(const std::string& value, Expansion& state);
    std::string resolveMacro(const std::string& inner, int kind, Expansion& state);

    std::string name_;
    Sections sections_;
    ZThread::FastMutex lock_;  // held by each locked operation for its whole duration
};

}  // namespace quillmark

#endif  // QUILLMARK_CONFIGURATOR_H
