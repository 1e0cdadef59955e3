#include "quillmark/Configurator.h"

#include "quillmark/CommandFirstLine.h"
#include "quillmark/FileHandle.h"
#include "quillmark/Log.h"
#include "quillmark/SystemError.h"
#include "quillmark/Utils.h"

#include "quillmark/AtomicFile.h"

#include <zthread/Guard.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <sys/types.h>
#include <unistd.h>

namespace quillmark {

const std::string mainSectionName = "Main";

namespace {

typedef ZThread::Guard<ZThread::FastMutex> LockGuard;

const char* const kMacroNames[] = {"ref", "env", "sys", "func"};
const char* const kDefaultSuffix = "_DEFAULT";
// The longest ".conf" line that is read, in bytes.
const std::size_t kMaxConfLine = 4095;

// A sys macro answers the first output line as a buffer of 1024 bytes holds it; the command's
// further output is read and dropped so that it can finish normally.
const std::size_t kMaxCommandLine = 1023;

// ASCII only, whatever the process's locale: keys and tags fold exactly a-z / A-Z, and no byte
// value reaches a <ctype.h> function (where a negative char is undefined behaviour).
std::string lowerCopy(const std::string& text) {
    std::string lower(text);
    for (char& c : lower) c = Utils::lowerAscii(c);
    return lower;
}

// The whole file, opened close-on-exec so that a command started meanwhile does not inherit it.
// A FIFO or a socket does not open: the store would wait on it for a writer.
bool readWholeFile(const std::string& path, std::string& contents) {
    FileHandle file(openFileForReading(path, ReadableKinds::kAllButFifoOrSocket));
    if (!file) return false;
    std::string text;
    char buffer[8192];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, file.get())) > 0)
        text.append(buffer, count);
    if (std::ferror(file.get())) return false;
    contents.swap(text);
    return true;
}

}  // namespace

Configurator::Configurator(const std::string& name) : name_(name) { toUpper(name_); }

Configurator::~Configurator() = default;

void Configurator::toUpper(std::string& text) {
    for (char& c : text) c = Utils::upperAscii(c);
}

void Configurator::mapMainSection(std::string& section) const {
    if (section == mainSectionName) section = name_;
}

Configurator::Section* Configurator::findSection(const std::string& upperName) {
    const Sections::iterator found = sections_.find(upperName);
    return found == sections_.end() ? nullptr : &found->second;
}

void Configurator::insertValue(const std::string& upperKey, const std::string& value,
                               const std::string& upperSection) {
    // multimap::insert places the value at the upper bound of its key: behind the key's others.
    sections_[upperSection].insert(Section::value_type(upperKey, value));
}

void Configurator::appendSectionEntries(const std::string& upperName, const Section& section,
                                        std::vector<Entry>& out) {
    for (const Section::value_type& value : section) {
        out.push_back(Entry{value.first, expandMacros(value.second), upperName});
    }
}

// ---- Locked operations ----

void Configurator::clear() {
    LockGuard guard(lock_);
    clearUnlocked();
}

bool Configurator::setEntries(const std::vector<Entry>& entries, bool replace) {
    LockGuard guard(lock_);
    return setEntriesUnlocked(entries, replace);
}

bool Configurator::save(const std::string& path) {
    LockGuard guard(lock_);
    return saveUnlocked(path);
}

bool Configurator::load(const std::string& path) {
    LockGuard guard(lock_);
    return loadUnlocked(path);
}

bool Configurator::getValues(const std::string& key, std::vector<std::string>& out,
                             const std::string& section) {
    LockGuard guard(lock_);
    return getValuesUnlocked(key, out, section);
}

bool Configurator::getAllEntries(std::vector<Entry>& out) {
    LockGuard guard(lock_);
    return getAllEntriesUnlocked(out);
}

bool Configurator::getSectionEntries(std::vector<Entry>& out, const std::string& section) {
    LockGuard guard(lock_);
    return getSectionEntriesUnlocked(out, section);
}

bool Configurator::setValues(const std::string& key, const std::vector<std::string>& values,
                             const std::string& section, bool replace) {
    LockGuard guard(lock_);
    return setValuesUnlocked(key, values, section, replace);
}

bool Configurator::setPairs(const std::vector<Entry>& entries, const std::string& section,
                            bool replace) {
    LockGuard guard(lock_);
    return setPairsUnlocked(entries, section, replace);
}

// ---- Workers ----

void Configurator::clearUnlocked() { sections_.clear(); }

bool Configurator::setEntriesUnlocked(const std::vector<Entry>& entries, bool replace) {
    for (const Entry& entry : entries) {
        std::string key = entry.key;
        std::string section = entry.section;
        toUpper(key);
        toUpper(section);
        if (replace) removeValue(key, section);
        insertValue(key, entry.value, section);
    }
    return true;
}

bool Configurator::saveUnlocked(const std::string& path) {
    std::ostringstream text;
    text << *this;
    std::string error;
    if (!text || !replaceFileAtomically(path, text.str(), error)) {
        QM_LOG_ERROR("Cannot save configuration file " << path << ": " << error);
        return false;
    }
    return true;
}

bool Configurator::loadUnlocked(const std::string& path) {
    std::string contents;
    if (!readWholeFile(path, contents)) return false;
    std::istringstream in(contents);
    in >> *this;
    return true;
}

bool Configurator::getValuesUnlocked(std::string key, std::vector<std::string>& out,
                                     std::string section) {
    out.clear();
    mapMainSection(section);
    toUpper(key);
    toUpper(section);
    const Section* values = findSection(section);
    if (values == nullptr) return false;
    const auto range = values->equal_range(key);
    for (auto value = range.first; value != range.second; ++value) {
        out.push_back(expandMacros(value->second));
    }
    return true;
}

bool Configurator::getAllEntriesUnlocked(std::vector<Entry>& out) {
    out.clear();
    for (const Sections::value_type& section : sections_) {
        appendSectionEntries(section.first, section.second, out);
    }
    return true;
}

bool Configurator::getSectionEntriesUnlocked(std::vector<Entry>& out, std::string section) {
    out.clear();
    toUpper(section);
    const Section* values = findSection(section);
    if (values != nullptr) appendSectionEntries(section, *values, out);
    return true;
}

bool Configurator::setValuesUnlocked(std::string key, const std::vector<std::string>& values,
                                     std::string section, bool replace) {
    mapMainSection(section);
    toUpper(key);
    toUpper(section);
    if (replace) removeValue(key, section);
    for (const std::string& value : values) insertValue(key, value, section);
    return true;
}

bool Configurator::setPairsUnlocked(const std::vector<Entry>& entries, std::string section,
                                    bool replace) {
    mapMainSection(section);
    toUpper(section);
    for (const Entry& entry : entries) {
        std::string key = entry.key;
        toUpper(key);
        if (replace) removeValue(key, section);
        insertValue(key, entry.value, section);
    }
    return true;
}

bool Configurator::getValue(std::string key, std::string& out, std::string section) {
    Expansion state;
    const bool found = lookUpValue(std::move(key), out, std::move(section), state);
    if (state.boundReached) {
        QM_LOG_WARN("Macro expansion stopped at its bound; the value read is " << out);
    }
    return found;
}

bool Configurator::setValue(std::string key, const std::string& value, std::string section,
                            bool replace) {
    toUpper(key);
    toUpper(section);
    if (replace) removeValue(key, section);
    insertValue(key, value, section);
    return true;
}

std::size_t Configurator::removeValue(std::string key, std::string section) {
    toUpper(key);
    toUpper(section);
    Section* values = findSection(section);
    return values == nullptr ? 0 : values->erase(key);
}

// ---- Macros ----

bool Configurator::lookUpValue(std::string key, std::string& out, std::string section,
                               Expansion& state) {
    toUpper(key);
    toUpper(section);
    const Section* values = findSection(section);
    if (values == nullptr) return false;
    for (const std::string& candidate : {key, key + kDefaultSuffix}) {
        // The lower bound is the key's first value in insertion order.
        const Section::const_iterator value = values->lower_bound(candidate);
        if (value != values->end() && value->first == candidate) {
            out = expandMacros(value->second, state);
            return true;
        }
    }
    return false;
}

std::string Configurator::expandMacros(const std::string& value) {
    Expansion state;
    std::string expanded = expandMacros(value, state);
    if (state.boundReached) {
        QM_LOG_WARN("Macro expansion stopped at its bound; the value read is " << expanded);
    }
    return expanded;
}

std::string Configurator::expandMacros(const std::string& value, Expansion& state) {
    std::string text = value;
    for (int kind = kRefMacro; kind < kMacroKinds; ++kind) {
        const std::string opening = std::string("<") + kMacroNames[kind] + ">";
        const std::string closing = std::string("</") + kMacroNames[kind] + ">";
        std::string::size_type from = 0;
        while (from < text.size()) {
            const std::string lower = lowerCopy(text);
            const std::string::size_type start = lower.find(opening, from);
            if (start == std::string::npos) break;
            const std::string::size_type innerStart = start + opening.size();
            const std::string::size_type end = lower.find(closing, innerStart);
            if (end == std::string::npos) {
                from = innerStart;
                continue;
            }
            if (state.resolutionsLeft == 0) {
                state.boundReached = true;
                return text;
            }
            --state.resolutionsLeft;
            const std::string inner = text.substr(innerStart, end - innerStart);
            text.replace(start, end + closing.size() - start, resolveMacro(inner, kind, state));
            from = 0;
        }
    }
    return text;
}

std::string Configurator::resolveMacro(const std::string& inner, int kind, Expansion& state) {
    switch (kind) {
    case kRefMacro: {
        if (state.depth >= kMaxReferenceDepth) {
            state.boundReached = true;
            return inner;
        }
        const std::string::size_type colon = inner.find(':');
        const std::string section =
            colon == std::string::npos ? mainSectionName : inner.substr(0, colon);
        const std::string key = colon == std::string::npos ? inner : inner.substr(colon + 1);
        std::string found;
        ++state.depth;
        const bool resolved = lookUpValue(key, found, section, state);
        --state.depth;
        return resolved ? found : inner;
    }
    case kEnvMacro: {
        const char* variable = std::getenv(inner.c_str());
        return variable != nullptr ? std::string(variable) : inner;
    }
    case kSysMacro: {
        std::string line;
        return runForFirstLine(inner, kMaxCommandLine, line) ? line : inner;
    }
    case kFuncMacro:
        if (inner == "PID" || inner == "THREAD") return std::to_string(::getpid());
        return inner;
    default: return inner;
    }
}

// ---- The ".conf" syntax ----

std::istream& operator>>(std::istream& in, Configurator& store) {
    const std::string section = store.name_;
    store.clearUnlocked();
    std::string line;
    while (std::getline(in, line)) {
        // A line is read into a buffer of kMaxConfLine bytes and used as a C string: the rest
        // of a longer line is dropped, and a zero byte ends the text.
        if (line.size() > kMaxConfLine) line.resize(kMaxConfLine);
        line.resize(std::strlen(line.c_str()));
        const std::string setting = Utils::trim(line);
        if (setting.empty() || setting[0] == '#' || setting[0] == '/') continue;
        const std::string::size_type equals = setting.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = setting.substr(0, equals);
        std::string upperKey = key;
        Configurator::toUpper(upperKey);
        // A user parameter is a name and a command line, and the command may hold commas.
        const bool twoPieces = upperKey == "USERPARAMETER";
        std::string::size_type pieceStart = equals + 1;
        for (;;) {
            const std::string::size_type comma = setting.find(',', pieceStart);
            if (comma == std::string::npos) {
                store.setValue<std::string>(key, setting.substr(pieceStart), section, false);
                break;
            }
            store.setValue<std::string>(key, setting.substr(pieceStart, comma - pieceStart),
                                        section, false);
            pieceStart = comma + 1;
            if (twoPieces) {
                store.setValue<std::string>(key, setting.substr(pieceStart), section, false);
                break;
            }
        }
    }
    return in;
}

std::ostream& operator<<(std::ostream& out, const Configurator& store) {
    for (const Configurator::Sections::value_type& section : store.sections_) {
        out << '[' << section.first << "]\n" << std::flush;
        for (const Configurator::Section::value_type& value : section.second) {
            out << value.first << " = " << value.second << '\n' << std::flush;
        }
        out << '\n' << std::flush;
    }
    return out;
}

}  // namespace quillmark
