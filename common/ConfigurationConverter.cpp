// The conversion of the held configuration (normally a ".conf" file) into the agent's XML
// configuration file: every default key with its current value, description and flags, then the
// list sections.
//
// The document is built with TinyXML, which escapes the markup characters of values, and written
// through a temporary file renamed into place. The input is moved aside to its ".old" name only
// once the XML file is in place, so a failed write leaves the configuration where it was.
#include "quillmark/ConfiguratorObjAccess.h"

#include "quillmark/DefaultConfigurationKeys.h"
#include "quillmark/Log.h"
#include "quillmark/Utils.h"

#include "quillmark/AtomicFile.h"

#include <tinyxml.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <typeinfo>
#include <vector>

#include <sys/stat.h>

namespace quillmark {

namespace {

const char* const kRootElement = "quillmark_agentd_config";
const char* const kGeneralSection = "GeneralProperties";
const char* const kServerKey = "Server";
const char* const kListFlags = "9";

// How the ".conf" reader's pieces of one list make whole entries again: it cut every line at
// its commas (a user parameter at its first comma only).
enum class Rejoin { OpenBrackets, Pairs, Triples };

struct ListSection {
    const char* element;
    const char* key;
    const char* description;
    Rejoin rejoin;
};

const ListSection kListSections[] = {
    {"Aliases", "Alias",
     "Used for substituting long and complex attribute and parameters with a smaller and "
     "simplied one.",
     Rejoin::OpenBrackets},
    {"UserParameters", "UserParameter", "User Parameter setting.", Rejoin::Pairs},
    {"PerfCounters", "PerfCounter", "Performance Counter for Windows", Rejoin::Triples},
};

std::string joined(const std::vector<std::string>& pieces, std::size_t first, std::size_t count) {
    std::string text;
    for (std::size_t i = first; i < first + count; ++i) {
        if (i > first) text += ',';
        text += pieces[i];
    }
    return text;
}

// An alias stands for an item key whose parameters are bracketed and comma-separated
// (cpu.load:system.cpu.load[all,avg1]), so a piece that leaves a '[' open continues in the next.
std::vector<std::string> joinOpenBrackets(const std::vector<std::string>& pieces) {
    std::vector<std::string> entries;
    int open = 0;
    for (const std::string& piece : pieces) {
        if (open > 0) {
            entries.back() += ',' + piece;
        } else {
            entries.push_back(piece);
        }
        for (const char c : piece) {
            if (c == '[') {
                ++open;
            } else if (c == ']' && open > 0) {
                --open;
            }
        }
    }
    return entries;
}

std::vector<std::string> confEntries(const ListSection& section,
                                     const std::vector<std::string>& pieces) {
    std::vector<std::string> entries;
    switch (section.rejoin) {
    case Rejoin::OpenBrackets:
        entries = joinOpenBrackets(pieces);
        break;
    case Rejoin::Pairs:
        // With an odd count the pairs cannot be told apart: none is written rather than
        // commands under the wrong names.
        if (pieces.size() % 2 != 0) {
            QM_LOG_WARN("One of the User Parameter settings is invalid.");
            break;
        }
        for (std::size_t i = 0; i < pieces.size(); i += 2) entries.push_back(joined(pieces, i, 2));
        break;
    case Rejoin::Triples:
        for (std::size_t i = 0; i + 3 <= pieces.size(); i += 3) {
            entries.push_back(joined(pieces, i, 3));
        }
        if (pieces.size() % 3 != 0) {
            QM_LOG_WARN("One of the Performance Counter settings is invalid.");
        }
        break;
    }
    return entries;
}

TiXmlElement* textElement(const char* name, const std::string& text) {
    TiXmlElement* element = new TiXmlElement(name);
    // Also an empty text, so that an empty value prints as <value></value> like every other.
    element->LinkEndChild(new TiXmlText(text));
    return element;
}

void appendProp(TiXmlElement& section, const std::string& key, const std::string& value,
                const std::string& description, const std::string& flags) {
    TiXmlElement* prop = new TiXmlElement("prop");
    section.LinkEndChild(prop);
    prop->LinkEndChild(textElement("key", key));
    prop->LinkEndChild(textElement("value", value));
    prop->LinkEndChild(textElement("description", description));
    prop->LinkEndChild(textElement("flags", flags));
}

std::string generalValue(ConfigurationFileAccess& access, const DefaultConfigurationKey& row) {
    if (row.kind == DefaultConfigurationKey::Integer) {
        return std::to_string(access.getInt(row.key, row.defaultValue));
    }
    if (std::strcmp(row.key, kServerKey) == 0) {
        // The ".conf" access keeps one value per server, and getString answers only the first;
        // get joins them all (the XML access answers the same text through either).
        const std::string servers = access.get(row.key);
        if (!servers.empty()) return servers;
    }
    return access.getString(row.key, row.defaultValue);
}

void buildDocument(ConfigurationFileAccess& access, TiXmlDocument& document) {
    TiXmlElement* root = new TiXmlElement(kRootElement);
    document.LinkEndChild(root);

    TiXmlElement* general = new TiXmlElement(kGeneralSection);
    root->LinkEndChild(general);
    const DefaultConfigurationKey* rows = DefaultConfigurationKeys::rows();
    for (std::size_t i = 0; i < DefaultConfigurationKeys::count(); ++i) {
        const DefaultConfigurationKey& row = rows[i];
        if (row.commentBefore != nullptr) {
            general->LinkEndChild(new TiXmlComment(row.commentBefore));
        }
        appendProp(*general, row.key, generalValue(access, row), row.description,
                   std::to_string(row.flags));
    }

    // The XML access holds every list entry whole; any other access is the ".conf" one.
    const bool wholeEntries = typeid(access) == typeid(ConfigurationFileAccess);
    for (const ListSection& list : kListSections) {
        std::vector<std::string> values;
        access.getValues(list.key, values);
        if (values.empty()) continue;
        TiXmlElement* section = new TiXmlElement(list.element);
        root->LinkEndChild(section);
        for (const std::string& entry : wholeEntries ? values : confEntries(list, values)) {
            appendProp(*section, list.key, entry, list.description, kListFlags);
        }
    }
}

void applyOverrides(ConfigurationFileAccess& access, const std::string& overrides) {
    std::vector<std::string> pieces;
    Utils::split(overrides, pieces, "|");
    for (const std::string& piece : pieces) {
        const std::string::size_type equals = piece.find('=');
        if (equals == std::string::npos) {
            std::cout << "Each property/value pair must be separated by equals sign, ignoring."
                      << std::endl;
            continue;
        }
        access.set(piece.substr(0, equals), piece.substr(equals + 1), true);
    }
}

bool sameFile(const std::string& first, const std::string& second) {
    if (first == second) return true;
    struct stat a;
    struct stat b;
    return ::stat(first.c_str(), &a) == 0 && ::stat(second.c_str(), &b) == 0 &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool ConfiguratorObjAccess::convertToXml(const std::string& confPath,
                                         const std::string& overrides) {
    ConfigurationFileAccess* access = getAccess();
    if (access == nullptr) {
        std::cout << "Failed to get ConfigurationFileAccess object." << std::endl;
        return false;
    }
    const std::string xmlName = getXmlFileName(confPath);
    applyOverrides(*access, overrides);

    TiXmlDocument document;
    buildDocument(*access, document);
    TiXmlPrinter printer;
    printer.SetIndent("\t");
    printer.SetLineBreak("\n");
    document.Accept(&printer);

    // When the XML file takes the input's own name, the input has to move aside first; it is
    // moved back should the new file not get into place.
    const bool replacesInput = sameFile(confPath, xmlName);
    const bool inputMoved = replacesInput && backupFile(confPath);
    // The XML file holds what the ".conf" file held: it gets that file's mode and owner.
    ReplacementOptions options;
    options.metadataFrom = inputMoved ? confPath + ".old" : confPath;
    std::string error;
    if (!replaceFileAtomically(xmlName, printer.Str(), error, options)) {
        std::cout << "Failed to write xml config file [" << xmlName << "]: " << error << std::endl;
        if (inputMoved && std::rename((confPath + ".old").c_str(), confPath.c_str()) != 0) {
            std::cout << "Failed to restore " << confPath << " from its backup" << std::endl;
        }
        return false;
    }
    if (!replacesInput) backupFile(confPath);
    std::cout << "Created new xml config file [" << xmlName << std::endl;
    return true;
}

}  // namespace quillmark
