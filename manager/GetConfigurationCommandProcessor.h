// GetConfigurationCommandProcessor: serves get_configuration by replying with the agent's
// configuration document, its setting values in Base64.
//
// Each request reads the file named by the configuration object anew; the file is not changed.
//
// Ownership: owns the encoder handed to it; the configuration object stays the caller's and
// must outlive the processor. Threads: one thread (the Listener's).
#ifndef QUILLMARK_MANAGER_GETCONFIGURATIONCOMMANDPROCESSOR_H
#define QUILLMARK_MANAGER_GETCONFIGURATIONCOMMANDPROCESSOR_H

#include "CommandProcessor.h"

#include <memory>
#include <string>
#include <vector>

namespace quillmark {

class ConfigurationFileAccess;
class ValueElementEncoderDecoder;

class GetConfigurationCommandProcessor : public CommandProcessor {
public:
    // Takes ownership of `encoder`; `configuration` is not owned.
    GetConfigurationCommandProcessor(ValueElementEncoderDecoder* encoder,
                                     ConfigurationFileAccess* configuration);
    ~GetConfigurationCommandProcessor() override;

    GetConfigurationCommandProcessor(const GetConfigurationCommandProcessor&) = delete;
    GetConfigurationCommandProcessor& operator=(const GetConfigurationCommandProcessor&) = delete;

    // The payload is not read. Returns the loaded document with its values encoded, as
    // TinyXML's stream output prints it (no indentation, no line breaks between nodes), or
    // "FAILURE! Unable to load the following xml configuration file: <path>" when the file is
    // missing, unreadable or not well-formed.
    std::string process(std::vector<char>& payload) override;

private:
    std::unique_ptr<ValueElementEncoderDecoder> encoder_;
    ConfigurationFileAccess* configuration_;
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_GETCONFIGURATIONCOMMANDPROCESSOR_H
