// ConfiguratorObjAccess: the process-wide holder of one configuration access object, opened from
// a ".conf" file (as a StandardConfigurationFileAccess) or an ".xml" file (as a
// ConfigurationFileAccess), and the file-name services of the ".conf" to XML conversion.
//
// Ownership: the singleton is created on first use by getInstance and deleted by
// destroyInstance. The access objects it creates are never destroyed while the process runs, not
// even when a later initialize replaces one: a pointer from getAccess stays valid for the life
// of the process, and callers must not delete it.
//
// Threads: getInstance, getAccess, initialize and destroyInstance may be called from any thread;
// lock_ (non-recursive, class-wide) makes the creation happen once and an initialize atomic for
// getAccess on other threads. Code that runs under lock_ (the access objects' constructors) must
// not call back into this class. The access object itself is used outside the lock: see its own
// header for what it allows. backupFile and getXmlFileName keep no state. convertToXml is defined
// in common/ConfigurationConverter.cpp.
#ifndef QUILLMARK_CONFIGURATOROBJACCESS_H
#define QUILLMARK_CONFIGURATOROBJACCESS_H

#include "quillmark/ConfigurationFileAccess.h"

#include <zthread/FastMutex.h>

#include <atomic>
#include <string>

namespace quillmark {

class ConfiguratorObjAccess {
public:
    // The one object, created on the first call with no access object. Never null.
    static ConfiguratorObjAccess* getInstance();
    // Deletes the object when there is one; the next getInstance creates a fresh one. The access
    // objects stay alive. No thread may still use the deleted object.
    static void destroyInstance();

    virtual ~ConfiguratorObjAccess();

    ConfiguratorObjAccess(const ConfiguratorObjAccess&) = delete;
    ConfiguratorObjAccess& operator=(const ConfiguratorObjAccess&) = delete;

    // The access object of the last initialize that created one (possibly an unloaded XML
    // access); null before. Owned by this class.
    ConfigurationFileAccess* getAccess();
    // Whether that access object reported itself loaded.
    bool isInitialized();

    // Opens the file by its extension, the text after the last '.' of the whole path, compared
    // case-sensitively: "conf" makes a StandardConfigurationFileAccess, "xml" a
    // ConfigurationFileAccess in the rich (`rich` true) or simple layout. Once an access object
    // reported itself loaded, later calls only log "Already initialized, ignoring the request".
    // Throws Exception (code 0) "Config file extension missing, .conf or .xml is expected - "
    // <path> for a path without '.', "Invalid config file extension, Only .conf or .xml is
    // accepted - " <path> for any other extension, and the ".conf" access's exception for a
    // ".conf" file that cannot be read; nothing changes in those cases. An ".xml" file that does
    // not load throws nothing: getAccess then answers the unloaded object, isInitialized false,
    // and a later initialize runs again.
    void initialize(const std::string& path, bool rich);

    // Moves the file to its name with ".old" appended, replacing an earlier backup, and reports
    // each step on standard output. True when the move succeeded. When `path` itself does not
    // exist, an earlier backup is kept (it may be the only copy left of that file).
    bool backupFile(const std::string& path);

    // The XML file name that belongs to `confPath`: the text before its last '.' followed by
    // ".xml" (printed on standard output with its parts); "../conf/quillmark_agentd.xml" for an
    // empty path or a path without '.' (which is reported on standard output).
    std::string getXmlFileName(const std::string& confPath);

    // Writes the held configuration (normally the ".conf" file `confPath` was opened from) as an
    // XML configuration file named by getXmlFileName(confPath): every key of
    // DefaultConfigurationKeys with its current value, description and flags, then the sections
    // Aliases, UserParameters and PerfCounters for the lists that have values. First the
    // "key=value|key=value" pieces of `overrides` are set (replacing) on the access object, in
    // memory only; a piece without '=' is reported on standard output and skipped. The XML file
    // is written through a temporary file and renamed into place; only then is `confPath` moved
    // to its ".old" name with backupFile (whose failure does not stop the conversion). Ends with
    // "Created new xml config file [" <name> on standard output and true. False, with a line on
    // standard output, when there is no access object (no file touched) or the XML file cannot
    // be written (`confPath` left in place). Uses the access object outside lock_: its other
    // users must not run meanwhile.
    bool convertToXml(const std::string& confPath, const std::string& overrides);

private:
    ConfiguratorObjAccess();

    ConfigurationFileAccess* access_;  // guarded by lock_
    std::atomic<bool> initialized_;    // written under lock_, read without it

    static ConfiguratorObjAccess* instance_;  // guarded by lock_
    static ZThread::FastMutex lock_;
};

}  // namespace quillmark

#endif  // QUILLMARK_CONFIGURATOROBJACCESS_H
