#include "quillmark/ConfigurationFileAccess.h"

#include "quillmark/FileHandle.h"
#include "quillmark/Log.h"
#include "quillmark/Utils.h"
#include "quillmark/XmlFile.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace quillmark {

namespace {

const char* const kRootElement = "quillmark_agentd_config";
const char* const kSimpleSections[] = {"GeneralProperties", "Aliases", "PerfCounters",
                                       "UserParameters"};
const char* const kOpenFailure = "Failed to open completedEntries_xxx file contents";
// The side files are read through a line buffer of 2064 bytes, of which 2063 hold the line.
const std::size_t kMaxSideFileLine = 2063;

typedef ConfigurationFileAccess::Table Table;

// A side file that is a FIFO or a socket counts as one that does not open.
FileHandle openForReading(const std::string& path) {
    return openFileForReading(path, ReadableKinds::kAllButFifoOrSocket);
}

// strtol in base 10, then the low 32 bits of the long: "12abc" gives 12, "4294967297" gives 1.
int toInt32(const std::string& text) {
    const long number = std::strtol(text.c_str(), nullptr, 10);
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(static_cast<unsigned long>(number)));
}

// A side-file line: at most kMaxSideFileLine bytes, without its line feed. The rest of a longer
// line is consumed and dropped, so every call moves forward and the caller's loop ends at the end
// of the file. Returns the number of bytes consumed, the line feed included; 0 only at the end.
std::size_t readSideFileLine(FILE* file, std::string& line) {
    line.clear();
    std::size_t consumed = 0;
    int c;
    while ((c = std::getc(file)) != EOF) {
        ++consumed;
        if (c == '\n') break;
        if (line.size() < kMaxSideFileLine) line.push_back(static_cast<char>(c));
    }
    return consumed;
}

// The text of an element: its first child node when that is text; "" otherwise or when the
// element is missing. TinyXML answers null for "no text", which must not reach std::string.
std::string elementText(const TiXmlElement* element) {
    const char* text = element != nullptr ? element->GetText() : nullptr;
    return text != nullptr ? std::string(text) : std::string();
}

bool hasText(const TiXmlElement* element) {
    return element != nullptr && element->GetText() != nullptr;
}

// Calls visit(prop) for the section's first child named "prop" and every sibling element after
// it, whatever its name; children before the first prop are not visited.
template <typename Visit>
void forEachProp(TiXmlHandle document, const char* section, Visit visit) {
    TiXmlNode* first = document.FirstChildElement(kRootElement)
                           .FirstChildElement(section)
                           .FirstChild("prop")
                           .ToNode();
    TiXmlElement* prop = first != nullptr ? first->ToElement() : nullptr;
    for (; prop != nullptr; prop = prop->NextSiblingElement()) visit(*prop);
}

}  // namespace

ConfigurationFileAccess::ConfigurationFileAccess(const std::string& fileName, bool rich)
    : attributeParameters_(std::make_shared<const Table>()),
      fileName_(fileName),
      properties_(std::make_shared<const Table>()),
      loaded_(false) {
    if (rich) {
        ConfigurationFileAccess::loadRich(fileName);
    } else {
        ConfigurationFileAccess::load(fileName);
    }
}

ConfigurationFileAccess::ConfigurationFileAccess()
    : attributeParameters_(std::make_shared<const Table>()),
      properties_(std::make_shared<const Table>()),
      loaded_(false) {}

ConfigurationFileAccess::~ConfigurationFileAccess() = default;

std::shared_ptr<const Table> ConfigurationFileAccess::propertiesSnapshot() {
    std::lock_guard<std::mutex> guard(tableLock_);
    return properties_;
}

std::shared_ptr<const Table> ConfigurationFileAccess::getAttributeParameters() {
    std::lock_guard<std::mutex> guard(tableLock_);
    return attributeParameters_;
}

void ConfigurationFileAccess::installProperties(std::shared_ptr<const Table> table) {
    std::lock_guard<std::mutex> guard(tableLock_);
    properties_.swap(table);
}

void ConfigurationFileAccess::clear() {
    std::lock_guard<std::mutex> writer(writeLock_);
    installProperties(std::make_shared<const Table>());
}

std::string ConfigurationFileAccess::get(const std::string& key) {
    const std::shared_ptr<const Table> table = propertiesSnapshot();
    const Table::const_iterator first = table->lower_bound(key);
    if (first == table->end() || first->first != key) return std::string();
    return first->second;
}

std::string ConfigurationFileAccess::getString(const std::string& key,
                                               const std::string& defaultValue) {
    const std::string text = get(key);
    return text.empty() ? defaultValue : text;
}

void ConfigurationFileAccess::set(const std::string& key, const std::string& value, bool replace) {
    std::lock_guard<std::mutex> writer(writeLock_);
    auto table = std::make_shared<Table>(*propertiesSnapshot());
    if (replace) {
        const Table::iterator first = table->lower_bound(key);
        if (first != table->end() && first->first == key) table->erase(first);
    }
    // multimap::insert places the entry at the upper bound of its key's range.
    table->insert(Table::value_type(key, value));
    installProperties(std::move(table));
}

int ConfigurationFileAccess::getInt(const std::string& key) {
    const std::string text = get(key);
    return text.empty() ? 0 : toInt32(text);
}

int ConfigurationFileAccess::getInt(const std::string& key, const std::string& defaultValue) {
    const std::string text = get(key);
    return toInt32(text.empty() ? defaultValue : text);
}

bool ConfigurationFileAccess::getBool(const std::string& key) {
    const std::string text = get(key);
    if (text.empty() || text == "false" || text == "0") return false;
    if (text == "true" || text == "1") return true;
    return toInt32(text) > 0;
}

bool ConfigurationFileAccess::getBool(const std::string& key, bool /*defaultValue*/) {
    return getBool(key);
}

void ConfigurationFileAccess::add(const std::string& key, const std::string& value) {
    addEntries({{key, value}});
}

void ConfigurationFileAccess::addEntries(
    const std::vector<std::pair<std::string, std::string>>& entries) {
    if (entries.empty()) return;
    std::lock_guard<std::mutex> writer(writeLock_);
    auto table = std::make_shared<Table>(*propertiesSnapshot());
    for (const auto& entry : entries) table->insert(Table::value_type(entry.first, entry.second));
    installProperties(std::move(table));
}

ConfigurationEntry ConfigurationFileAccess::getEntry(const std::string& key) {
    ConfigurationEntry entry;
    const std::shared_ptr<const Table> table = propertiesSnapshot();
    const Table::const_iterator first = table->lower_bound(key);
    if (first == table->end() || first->first != key) return entry;
    const std::string& text = first->second;
    std::vector<std::string> pieces;
    if (std::count(text.begin(), text.end(), '\n') == 2) {
        // A rich-layout text: its empty value or description keeps its place, so that the later
        // pieces do not move forward.
        const std::size_t firstFeed = text.find('\n');
        const std::size_t secondFeed = text.find('\n', firstFeed + 1);
        pieces = {text.substr(0, firstFeed), text.substr(firstFeed + 1, secondFeed - firstFeed - 1),
                  text.substr(secondFeed + 1)};
    } else {
        Utils::split(text, pieces, "\n");
    }
    if (pieces.size() > 0) entry.value = pieces[0];
    if (pieces.size() > 1) entry.description = pieces[1];
    if (pieces.size() > 2) entry.flags = toInt32(pieces[2]);
    return entry;
}

ConfigurationEntry ConfigurationFileAccess::getEntry(const std::string& key,
                                                     const std::string& defaultValue) {
    ConfigurationEntry entry = getEntry(key);
    if (entry.value.empty()) entry.value = defaultValue;
    return entry;
}

ConfigurationIntEntry ConfigurationFileAccess::getIntEntry(const std::string& key) {
    const ConfigurationEntry entry = getEntry(key);
    ConfigurationIntEntry result;
    result.value = entry.value.empty() ? 0 : toInt32(entry.value);
    result.description = entry.description;
    result.flags = entry.flags;
    return result;
}

ConfigurationIntEntry ConfigurationFileAccess::getIntEntry(const std::string& key,
                                                           const std::string& defaultValue) {
    const ConfigurationEntry entry = getEntry(key);
    ConfigurationIntEntry result;
    result.value = toInt32(entry.value.empty() ? defaultValue : entry.value);
    result.description = entry.description;
    result.flags = entry.flags;
    return result;
}

std::shared_ptr<const Table> ConfigurationFileAccess::getProperties() {
    return propertiesSnapshot();
}

bool ConfigurationFileAccess::getValues(const std::string& key, std::vector<std::string>& out) {
    out.clear();
    const std::shared_ptr<const Table> table = propertiesSnapshot();
    const auto range = table->equal_range(key);
    for (Table::const_iterator it = range.first; it != range.second; ++it) {
        out.push_back(it->second);
    }
    return true;
}

const std::string& ConfigurationFileAccess::getFileName() { return fileName_; }

void ConfigurationFileAccess::readSimple(TiXmlHandle document) {
    auto table = std::make_shared<Table>();
    for (const char* section : kSimpleSections) {
        forEachProp(document, section, [&table](TiXmlElement& prop) {
            const TiXmlElement* key = prop.FirstChildElement("key");
            const TiXmlElement* value = prop.FirstChildElement("value");
            if (!hasText(key) || value == nullptr) return;
            table->insert(Table::value_type(elementText(key), elementText(value)));
        });
    }
    if (table->empty()) return;
    std::lock_guard<std::mutex> writer(writeLock_);
    installProperties(std::move(table));
}

void ConfigurationFileAccess::readRich(TiXmlHandle document) {
    auto readSection = [&document](const char* section) {
        auto table = std::make_shared<Table>();
        forEachProp(document, section, [&table](TiXmlElement& prop) {
            const TiXmlElement* key = prop.FirstChildElement("key");
            const TiXmlElement* value = prop.FirstChildElement("value");
            if (!hasText(key) || value == nullptr) return;
            // An empty value is stored as "" like in the simple layout, so that look-ups answer
            // their defaults for it.
            table->insert(Table::value_type(
                elementText(key), hasText(value)
                                      ? elementText(value) + "\n" +
                                            elementText(prop.FirstChildElement("description")) +
                                            "\n" + elementText(prop.FirstChildElement("flags"))
                                      : std::string()));
        });
        return table;
    };
    std::shared_ptr<const Table> general = readSection("GeneralProperties");
    std::shared_ptr<const Table> attributes = readSection("AttributeParameters");

    std::lock_guard<std::mutex> writer(writeLock_);
    std::lock_guard<std::mutex> guard(tableLock_);
    // The swaps leave the previous tables in the locals, released after both locks.
    if (!general->empty()) properties_.swap(general);
    if (!attributes->empty()) attributeParameters_.swap(attributes);
}

bool ConfigurationFileAccess::loadGlobalProperties() {
    const std::string path =
        getEntry("GlobalPropertiesFile", "/quillmark/system_config/global.properties").value;
    if (path.empty()) return false;
    FileHandle file = openForReading(path);
    if (!file) {
        QM_LOG_ERROR(kOpenFailure);
        return false;
    }
    std::vector<std::pair<std::string, std::string>> entries;
    bool sawCloudIp = false;
    bool sawHttpPorts = false;
    std::string line;
    while (readSideFileLine(file.get(), line) > 0) {
        if (line.find("cloud_ip") != std::string::npos) {
            entries.emplace_back("cloud_ip", Utils::getToken(line, "=", 1));
            sawCloudIp = true;
        } else if (line.find("edge_services_http_ports") != std::string::npos) {
            entries.emplace_back("edge_services_http_ports", Utils::getToken(line, "=", 1));
            sawHttpPorts = true;
        }
    }
    file.reset();
    addEntries(entries);
    return sawCloudIp && sawHttpPorts;
}

bool ConfigurationFileAccess::loadEdition() {
    const std::string path = getEntry("QMEditionFile", "/etc/QMEDITION").value;
    if (path.empty()) return false;
    FileHandle file = openForReading(path);
    if (!file) {
        QM_LOG_ERROR(kOpenFailure);
        return false;
    }
    std::string line;
    const bool readSome = readSideFileLine(file.get(), line) > 0;
    file.reset();
    if (!readSome) return false;
    add("QMEdition", line);
    return true;
}

bool ConfigurationFileAccess::isLoaded() { return loaded_; }

bool ConfigurationFileAccess::parseFile(const std::string& fileName, TiXmlDocument& document) {
    const bool parsed = loadXmlFile(fileName, document);
    if (!parsed) {
        QM_LOG_ERROR("Failed to load the config file ["
                     << fileName << "]. Please make sure that the config file has valid format.");
    }
    return parsed;
}

void ConfigurationFileAccess::loadWith(const std::string& fileName,
                                       void (ConfigurationFileAccess::*read)(TiXmlHandle)) {
    TiXmlDocument document(fileName);
    if (!parseFile(fileName, document)) {
        loaded_ = false;
        return;
    }
    (this->*read)(TiXmlHandle(&document));
    loaded_ = true;
}

void ConfigurationFileAccess::load(std::string fileName) {
    loadWith(fileName, &ConfigurationFileAccess::readSimple);
}

void ConfigurationFileAccess::loadRich(std::string fileName) {
    loadWith(fileName, &ConfigurationFileAccess::readRich);
}

void ConfigurationFileAccess::dump() {
    const std::shared_ptr<const Table> table = propertiesSnapshot();
    std::string text = "Configuration keys / values\n";
    for (const Table::value_type& entry : *table) {
        text += "Key " + entry.first + ", Value " + entry.second + "\n";
    }
    QM_LOG_DEBUG(text);
}

}  // namespace quillmark
