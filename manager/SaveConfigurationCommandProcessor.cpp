#include "SaveConfigurationCommandProcessor.h"

#include "quillmark/AtomicFile.h"
#include "ResultText.h"
#include "SafeXmlParse.h"
#include "ValueElementEncoderDecoder.h"

#include "quillmark/ConfigurationFileAccess.h"
#include "quillmark/Log.h"

#include <tinyxml.h>

#include <cstdio>
#include <cstdlib>

namespace quillmark {

namespace {

// The 18 bytes of "save_configuration" and the separator byte after them.
const std::size_t kXmlTextOffset = 19;

const char kParseFailure[] = "Unable to parse the received xml payload.";
const char kSaveFailure[] = "Unable to save configuration xml file";

// A FILE* writing into memory, for the document's file form.
class MemoryStream {
public:
    MemoryStream() : stream_(open_memstream(&buffer_, &size_)) {}
    ~MemoryStream() {
        if (stream_ != nullptr) std::fclose(stream_);
        std::free(buffer_);
    }
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;

    std::FILE* get() const { return stream_; }
    // Closes the stream and takes what was written; false when a write or the close failed.
    bool finish(std::string& contents) {
        if (stream_ == nullptr) return false;
        bool complete = std::ferror(stream_) == 0;
        if (std::fclose(stream_) != 0) complete = false;
        stream_ = nullptr;
        if (buffer_ != nullptr) contents.assign(buffer_, size_);
        return complete;
    }

private:
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* stream_;  // declared after the two it writes into
};

// The document as SaveFile writes it to a file: indented, with a byte order mark when the
// received text had one.
bool printFileForm(const TiXmlDocument& document, std::string& contents) {
    MemoryStream stream;
    if (stream.get() == nullptr) return false;
    const bool printed = document.SaveFile(stream.get());
    return stream.finish(contents) && printed;
}

std::size_t countElements(const TiXmlNode& top) {
    std::size_t count = 0;
    const TiXmlNode* node = top.FirstChild();
    while (node != nullptr) {
        if (node->ToElement() != nullptr) ++count;
        if (node->FirstChild() != nullptr) {
            node = node->FirstChild();
            continue;
        }
        while (node != nullptr && node != &top && node->NextSibling() == nullptr) {
            node = node->Parent();
        }
        node = (node == nullptr || node == &top) ? nullptr : node->NextSibling();
    }
    return count;
}

// Whether `contents`, the file form of `document`, reads back with the same elements.
bool readsBackAsSaved(const TiXmlDocument& document, const std::string& contents) {
    TiXmlDocument reread;
    return parseXmlText(contents, reread) == XmlParseOutcome::kParsed &&
           countElements(reread) == countElements(document);
}

}  // namespace

SaveConfigurationCommandProcessor::SaveConfigurationCommandProcessor(
    ValueElementEncoderDecoder* decoder, CommandProcessorFactory* factory,
    ConfigurationFileAccess* configuration)
    : decoder_(decoder), factory_(factory), configuration_(configuration) {}

SaveConfigurationCommandProcessor::~SaveConfigurationCommandProcessor() {}

std::string SaveConfigurationCommandProcessor::process(std::vector<char>& payload) {
    const std::string reply = save(payload);
    QM_LOG_DEBUG("SaveConfiguration result: " << reply);
    return reply;
}

std::string SaveConfigurationCommandProcessor::save(const std::vector<char>& payload) {
    const std::string path = configuration_->getFileName();
    TiXmlDocument document(path);
    const std::string text = payload.size() > kXmlTextOffset
                                 ? std::string(payload.begin() + kXmlTextOffset, payload.end())
                                 : std::string();
    switch (parseXmlText(text, document)) {
        case XmlParseOutcome::kParsed:
            break;
        case XmlParseOutcome::kTooDeep:
            QM_LOG_WARN("Refused a configuration document nested deeper than "
                        << kMaxXmlNesting << " elements.");
            return failureText(kParseFailure);
        case XmlParseOutcome::kMalformed:
            return failureText(kParseFailure);
    }

    decoder_->decode(document);
    std::string contents;
    if (!printFileForm(document, contents) || !readsBackAsSaved(document, contents)) {
        QM_LOG_ERROR("The decoded configuration document would not read back as saved; "
                     << path << " is left unchanged.");
        return failureText(kSaveFailure);
    }
    // The backup decorator runs this processor only once the backup is complete, and restores
    // from it when the save fails: a configuration that rename cannot replace (a file
    // bind-mounted on its own, as containers often give it) may be rewritten in place.
    ReplacementOptions options;
    options.rewriteInPlaceWhenRenameRefused = true;
    std::string error;
    if (!replaceFileAtomically(path, contents, error, options)) {
        QM_LOG_ERROR("Unable to save configuration file " << path << ": " << error);
        return failureText(kSaveFailure);
    }
    configuration_->readSimple(TiXmlHandle(&document));
    return kSuccessText;
}

}  // namespace quillmark
