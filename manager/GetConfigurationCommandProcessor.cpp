#include "GetConfigurationCommandProcessor.h"

#include "ResultText.h"
#include "ValueElementEncoderDecoder.h"

#include "quillmark/ConfigurationFileAccess.h"
#include "quillmark/Log.h"
#include "quillmark/XmlFile.h"

#include <tinyxml.h>

namespace quillmark {

GetConfigurationCommandProcessor::GetConfigurationCommandProcessor(
    ValueElementEncoderDecoder* encoder, ConfigurationFileAccess* configuration)
    : encoder_(encoder), configuration_(configuration) {}

GetConfigurationCommandProcessor::~GetConfigurationCommandProcessor() {}

std::string GetConfigurationCommandProcessor::process(std::vector<char>& /*payload*/) {
    const std::string path = configuration_->getFileName();
    TiXmlDocument document(path);
    std::string reply;
    if (!loadXmlFile(path, document)) {
        reply = failureText("Unable to load the following xml configuration file: " + path);
    } else {
        encoder_->encode(document);
        // What the stream output operator prints (it runs this printer), without the copies
        // through a string stream.
        TiXmlPrinter printer;
        printer.SetStreamPrinting();
        document.Accept(&printer);
        reply = printer.Str();
    }
    QM_LOG_DEBUG("GetConfiguration result: " << reply);
    return reply;
}

}  // namespace quillmark
