#include "quillmark/StandardConfigurationFileAccess.h"

#include "quillmark/Exception.h"
#include "quillmark/Utils.h"

#include <cstdint>
#include <cstdlib>
#include <iostream>

namespace quillmark {

namespace {

// The key whose values form a list in both directions of the interface (the agent's servers).
const char* const kListKey = "Server";

}  // namespace

StandardConfigurationFileAccess::StandardConfigurationFileAccess(const std::string& path)
    : ConfigurationFileAccess(), configurator_(mainSectionName) {
    StandardConfigurationFileAccess::load(path);
}

StandardConfigurationFileAccess::~StandardConfigurationFileAccess() = default;

std::string StandardConfigurationFileAccess::get(const std::string& key) {
    if (key == kListKey) {
        std::vector<std::string> values;
        configurator_.getValuesUnlocked(key, values, mainSectionName);
        std::string joined;
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (i > 0) joined += ',';
            joined += values[i];
        }
        return joined;
    }
    std::string value;
    configurator_.getValue(key, value, mainSectionName);
    return value;
}

std::string StandardConfigurationFileAccess::getString(const std::string& key,
                                                       const std::string& defaultValue) {
    std::string value;
    return configurator_.getValue(key, value, mainSectionName) ? value : defaultValue;
}

void StandardConfigurationFileAccess::set(const std::string& key, const std::string& value,
                                          bool replace) {
    if (key == kListKey) {
        std::vector<std::string> pieces;
        Utils::split(value, pieces, ",");
        configurator_.setValuesUnlocked(key, pieces, mainSectionName, replace);
        return;
    }
    configurator_.setValue<std::string>(key, value, mainSectionName, replace);
}

int StandardConfigurationFileAccess::getInt(const std::string& key) {
    int value = 0;
    configurator_.getValue<int>(key, value, mainSectionName);
    return value;
}

int StandardConfigurationFileAccess::getInt(const std::string& key,
                                            const std::string& defaultValue) {
    int value = 0;
    if (configurator_.getValue<int>(key, value, mainSectionName)) return value;
    const long number = std::strtol(defaultValue.c_str(), nullptr, 10);
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(static_cast<unsigned long>(number)));
}

bool StandardConfigurationFileAccess::getValues(const std::string& key,
                                                std::vector<std::string>& out) {
    out.clear();
    return configurator_.getValuesUnlocked(key, out, mainSectionName);
}

void StandardConfigurationFileAccess::load(std::string path) {
    if (!configurator_.loadUnlocked(path)) {
        std::cout << "Failure in initialize...please provide a config file." << std::endl;
        QM_THROW(Exception, "Failed to read config file " + path);
    }
    setLoaded(true);
}

}  // namespace quillmark
