// The conversion of the held configuration (normally a ".conf" file) into the agent's XML
// configuration file: every default key with its current value, description and flags, then the
// list sections.
//
// The document is written as text in a fixed layout, one element per line (only '&', '<' and '>'
// of the texts escaped), through a temporary file renamed into place. The input is moved aside to
// its ".old" name only once the XML file is in place, so a failed write leaves the configuration
// where it was.
#include "quillmark/ConfiguratorObjAccess.h"

#include "quillmark/DefaultConfigurationKeys.h"
#include "quillmark/Log.h"
#include "quillmark/Utils.h"

#include "quillmark/AtomicFile.h"

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

// The bracket depth after `piece` when `depth` brackets were open before it; a ']' with nothing
// open closes nothing.
int depthAfter(int depth, const std::string& piece) {
    for (const char c : piece) {
        if (c == '[') {
            ++depth;
        } else if (c == ']' && depth > 0) {
            --depth;
        }
    }
    return depth;
}

// An alias stands for an item key whose parameters are bracketed and comma-separated
// (cpu.load:system.cpu.load[all,avg1]), so a piece that leaves a '[' open continues in the next
// pieces up to the one that closes it. A piece whose bracket no later piece closes stays an entry
// of its own, as the reader stored it.
std::vector<std::string> joinOpenBrackets(const std::vector<std::string>& pieces) {
    std::vector<std::string> entries;
    std::size_t first = 0;
    while (first < pieces.size()) {
        std::size_t last = first;
        int depth = depthAfter(0, pieces[first]);
        while (depth > 0 && last + 1 < pieces.size()) depth = depthAfter(depth, pieces[++last]);
        const std::size_t count = depth == 0 ? last - first + 1 : 1;
        entries.push_back(joined(pieces, first, count));
        first += count;
    }
    return entries;
}

std::vector<std::string> confEntries(const ListSection& section,
                                     const std::vector<std::string>& pieces) {
    std::vector<std::string> entries;
    switch (section.rejoin) {
    case Rejoin::OpenBrackets: entries = joinOpenBrackets(pieces); break;
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

// Markup characters only: every other byte (quotes, tabs, carriage returns) is written as it
// comes, so the file carries the configured text itself.
void appendEscaped(std::string& out, const std::string& text) {
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c; break;
        }
    }
}

void appendElementLine(std::string& out, const char* name, const std::string& text) {
    out += "\t\t\t<";
    out += name;
    out += '>';
    appendEscaped(out, text);
    out += "</";
    out += name;
    out += ">\n";
}

void appendProp(std::string& out, const std::string& key, const std::string& value,
                const std::string& description, const std::string& flags) {
    out += "\t\t<prop>\n";
    appendElementLine(out, "key", key);
    appendElementLine(out, "value", value);
    appendElementLine(out, "description", description);
    appendElementLine(out, "flags", flags);
    out += "\t\t</prop>\n";
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

// The whole file: the root, GeneralProperties, then each list section that has values.
std::string documentText(ConfigurationFileAccess& access) {
    std::string out = std::string("<") + kRootElement + ">\n";
    out += std::string("\t<") + kGeneralSection + ">\n";
    const DefaultConfigurationKey* rows = DefaultConfigurationKeys::rows();
    for (std::size_t i = 0; i < DefaultConfigurationKeys::count(); ++i) {
        const DefaultConfigurationKey& row = rows[i];
        if (row.commentBefore != nullptr) {
            out += std::string("<!--") + row.commentBefore + "-->\n";
        }
        appendProp(out, row.key, generalValue(access, row), row.description,
                   std::to_string(row.flags));
    }
    out += std::string("\t</") + kGeneralSection + ">\n";

    // The XML access holds every list entry whole; any other access is the ".conf" one.
    const bool wholeEntries = typeid(access) == typeid(ConfigurationFileAccess);
    for (const ListSection& list : kListSections) {
        std::vector<std::string> values;
        access.getValues(list.key, values);
        if (values.empty()) continue;
        out += std::string("\t<") + list.element + ">\n";
        for (const std::string& entry : wholeEntries ? values : confEntries(list, values)) {
            appendProp(out, list.key, entry, list.description, kListFlags);
        }
        out += std::string("\t</") + list.element + ">\n";
    }
    out += std::string("</") + kRootElement + ">\n";
    return out;
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

    const std::string document = documentText(*access);

    // When the XML file takes the input's own name, the input has to move aside first; it is
    // moved back should the new file not get into place.
    const bool replacesInput = sameFile(confPath, xmlName);
    const bool inputMoved = replacesInput && backupFile(confPath);
    // The XML file holds what the ".conf" file held: it gets that file's mode and owner.
    ReplacementOptions options;
    options.metadataFrom = inputMoved ? confPath + ".old" : confPath;
    std::string error;
    if (!replaceFileAtomically(xmlName, document, error, options)) {
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
