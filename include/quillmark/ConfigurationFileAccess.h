// ConfigurationFileAccess: the configuration property store and the interface through which every
// module reads a setting.
//
// The store holds the key/value properties of the agent's XML configuration file, read in the
// simple layout (GeneralProperties, Aliases, PerfCounters, UserParameters: key and value) or in
// the rich layout (GeneralProperties and AttributeParameters: value "\n" description "\n" flags).
// Look-ups take a key and mostly a textual default that answers when the stored text is empty or
// missing. Two side files, the edition file and the global-properties file, add entries to the
// same table.
//
// Tables: std::multimap keyed by the byte-wise comparison of the (case-sensitive) key. A key may
// have several entries; they keep their insertion order and every single-value look-up answers
// the first (earliest inserted) of them.
//
// Ownership: created with `new` by whoever needs it and owned by its creator; start-up makes the
// process's one object and never destroys it. Derived classes (the ".conf" access) override the
// virtual operations below; the operations that call others through the virtual table are named
// at their declarations.
//
// Threads: every operation may be called from any thread. Each table is an immutable snapshot
// held by std::shared_ptr<const Table>; a look-up takes the current snapshot (under tableLock_,
// for the pointer copy only) and reads nothing else, so it sees either the whole table from
// before a reload or the whole table after it, never one being rebuilt. Writers (set, add,
// clear, the readers of the XML layouts and the side files) build a new table and swap it in;
// writeLock_ serialises them so that no update is lost. Neither lock is held while logging,
// reading a file or calling a virtual operation, so overrides and loggers may call back freely.
#ifndef QUILLMARK_CONFIGURATIONFILEACCESS_H
#define QUILLMARK_CONFIGURATIONFILEACCESS_H

#include <tinyxml.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quillmark {

// One entry in its three parts. For a text that holds no line feed (every simple-layout text)
// the whole text is `value`, `description` is empty and `flags` 0.
struct ConfigurationEntry {
    std::string value;
    std::string description;
    int flags = 0;
};

// ConfigurationEntry with the value converted to a number.
struct ConfigurationIntEntry {
    int value = 0;
    std::string description;
    int flags = 0;
};

class ConfigurationFileAccess {
public:
    typedef std::multimap<std::string, std::string> Table;

    // Loads `fileName` with loadRich (when `rich`) or load; this class's own loaders run, not a
    // derived class's. A file that does not load leaves the object empty with isLoaded false.
    ConfigurationFileAccess(const std::string& fileName, bool rich);
    virtual ~ConfigurationFileAccess();

    ConfigurationFileAccess(const ConfigurationFileAccess&) = delete;
    ConfigurationFileAccess& operator=(const ConfigurationFileAccess&) = delete;

    // Empties the properties table; the AttributeParameters table stays.
    virtual void clear();
    // The text of the key's first entry; "" when the key has none.
    virtual std::string get(const std::string& key);
    // get(key) (through the virtual table); `defaultValue` when that text is empty.
    virtual std::string getString(const std::string& key, const std::string& defaultValue);
    // With `replace` the key's first entry (that one only) is erased; then (key, value) is
    // inserted behind the entries of the key that remain.
    virtual void set(const std::string& key, const std::string& value, bool replace);
    // The number at the start of get(key) (through the virtual table), read as strtol in base 10
    // reads it and narrowed to its low 32 bits; 0 when the text is empty or holds no number.
    virtual int getInt(const std::string& key);
    // As getInt(key), but an empty text converts `defaultValue` instead. A non-empty text that
    // holds no number gives 0, not the default.
    virtual int getInt(const std::string& key, const std::string& defaultValue);
    // get(key) (through the virtual table): empty, "false" and "0" are false; "true" and "1" are
    // true; any other text is true when its number (as getInt reads it) is greater than 0.
    // Texts are compared case-sensitively.
    virtual bool getBool(const std::string& key);
    // The same answer as getBool(key); `defaultValue` is not consulted.
    virtual bool getBool(const std::string& key, bool defaultValue);
    // Inserts (key, value) behind the existing entries of the key.
    virtual void add(const std::string& key, const std::string& value);
    // The key's first entry in three parts: value, description and flags (converted like
    // getInt). A text with exactly two line feeds (a rich-layout text) is cut at them, and its
    // empty pieces keep their place; any other text is cut at runs of line feeds with empty
    // pieces dropped (Utils::split), and pieces after the third are ignored. Parts that no piece
    // fills, and every part of a missing key, are empty texts and flags 0.
    virtual ConfigurationEntry getEntry(const std::string& key);
    // getEntry(key) (through the virtual table), then `value` := defaultValue when it is empty.
    virtual ConfigurationEntry getEntry(const std::string& key, const std::string& defaultValue);
    // getEntry(key) (through the virtual table) with its value converted like getInt; 0 when the
    // value is empty.
    virtual ConfigurationIntEntry getIntEntry(const std::string& key);
    // As getIntEntry(key), but an empty value converts `defaultValue` instead.
    virtual ConfigurationIntEntry getIntEntry(const std::string& key,
                                              const std::string& defaultValue);
    // The current properties table as an immutable snapshot shared with the caller: it stays
    // valid and unchanged for as long as the caller holds it, whatever reloads or updates
    // happen meanwhile (they replace the store's table, never this one). Never null.
    virtual std::shared_ptr<const Table> getProperties();
    // Clears `out`, then appends the text of every entry of the key in table order. Always true,
    // also for a missing key.
    virtual bool getValues(const std::string& key, std::vector<std::string>& out);
    // The path given to the constructor; empty for a derived class's object. Never changes.
    virtual const std::string& getFileName();
    // Reads the props of GeneralProperties, Aliases, PerfCounters and UserParameters (in that
    // order, key and value) from a parsed document into one new table, which replaces the
    // properties as a whole when it holds at least one entry. `document` points at the document
    // node; the document stays the caller's.
    virtual void readSimple(TiXmlHandle document);
    // Reads GeneralProperties into a new properties table and AttributeParameters into a new
    // attribute table, each entry stored as value "\n" description "\n" flags (a missing or
    // empty description or flags as ""), or as "" when the value element has no text; each new
    // table replaces its target when it is not empty.
    virtual void readRich(TiXmlHandle document);
    // Adds ("cloud_ip", ...) and ("edge_services_http_ports", ...) from the file named by
    // getEntry("GlobalPropertiesFile", default) (through the virtual table). True when both kinds
    // of line were seen; false (and an ERROR line when it cannot be opened) otherwise.
    virtual bool loadGlobalProperties();
    // Adds ("QMEdition", first line) from the file named by getEntry("QMEditionFile", default)
    // (through the virtual table). True when the file holds at least one byte; false for an
    // empty file, an empty path, or a file that cannot be opened (with an ERROR line).
    virtual bool loadEdition();
    // Whether the last load or loadRich parsed its file.
    virtual bool isLoaded();
    // Parses the file and hands it to readSimple (through the virtual table); sets isLoaded. A
    // file that is missing, unreadable or not well-formed leaves the tables as they were.
    virtual void load(std::string fileName);
    // The same with readRich.
    virtual void loadRich(std::string fileName);

    // Logs every property at DEBUG level in one message: the line "Configuration keys / values",
    // then "Key <key>, Value <text>" per entry in table order, each line ending in a newline.
    void dump();

    // The current AttributeParameters table (rich layout) as a snapshot, like getProperties.
    std::shared_ptr<const Table> getAttributeParameters();

protected:
    // For derived classes that keep their values elsewhere: empty tables, empty file name,
    // isLoaded false; loads nothing.
    ConfigurationFileAccess();

    void setLoaded(bool loaded) { loaded_ = loaded; }

private:
    std::shared_ptr<const Table> propertiesSnapshot();
    // Replaces the properties table; the previous one is released after tableLock_ is.
    void installProperties(std::shared_ptr<const Table> table);
    // Inserts the entries behind the existing entries of their keys, in one swap.
    void addEntries(const std::vector<std::pair<std::string, std::string>>& entries);
    bool parseFile(const std::string& fileName, TiXmlDocument& document);
    // Parses the file and hands it to `read` (through the virtual table); sets isLoaded.
    void loadWith(const std::string& fileName, void (ConfigurationFileAccess::*read)(TiXmlHandle));

    std::mutex
        writeLock_;  // held by each writer across its read-copy-swap; taken before tableLock_
    std::mutex tableLock_;  // guards the two pointers below, for copying or swapping them only
    std::shared_ptr<const Table> attributeParameters_;  // guarded by tableLock_
    const std::string fileName_;
    std::shared_ptr<const Table> properties_;  // guarded by tableLock_
    std::atomic<bool> loaded_;
};

}  // namespace quillmark

#endif  // QUILLMARK_CONFIGURATIONFILEACCESS_H
