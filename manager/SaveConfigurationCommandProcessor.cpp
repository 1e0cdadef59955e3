#include "SaveConfigurationCommandProcessor.h"

#include "ResultText.h"
#include "ValueElementEncoderDecoder.h"
#include "quillmark/AtomicFile.h"
#include "quillmark/SafeXmlParse.h"

#include "quillmark/ConfigurationFileAccess.h"
#include "quillmark/FileHandle.h"
#include "quillmark/Log.h"
#include "quillmark/XmlFile.h"

#include <tinyxml.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

namespace quillmark {

namespace {

// The 18 bytes of "save_configuration" and the separator byte after them.
const std::size_t kXmlTextOffset = 19;
// The largest file the configuration watch takes a digest of, and so the largest body and the
// largest file a save accepts.
const std::size_t kMaxConfigurationSize = 67108864;
const std::size_t kStreamBufferSize = 64 * 1024;

const char kParseFailure[] = "Unable to parse the received xml payload.";
const char kSaveFailure[] = "Unable to save configuration xml file";
const char kBodyTooLarge[] = "The received xml payload is larger than 67108864 bytes.";
const char kFileTooLarge[] = "The configuration xml file would be larger than 67108864 bytes.";
const char kNodesTooLarge[] =
    "The received xml payload would take more than 671088640 bytes of memory to parse.";
static_assert(kMaxXmlNodeMemory == 671088640, "the refusal names the bound");
const char kTooManyAttributes[] = "The received xml payload has too many attributes to parse.";

// A FILE* that passes what is written to it on to another stream, at most `limit` bytes in all:
// the write that would go past the limit fails, and so does every later one.
class LimitedStream {
public:
    LimitedStream(std::FILE* target, std::size_t limit) : target_(target), limit_(limit) {
        const cookie_io_functions_t functions = {nullptr, &LimitedStream::write, nullptr, nullptr};
        stream_.reset(::fopencookie(this, "w", functions));
        if (stream_) std::setvbuf(stream_.get(), nullptr, _IOFBF, kStreamBufferSize);
    }
    LimitedStream(const LimitedStream&) = delete;
    LimitedStream& operator=(const LimitedStream&) = delete;

    // Null when the stream could not be made.
    std::FILE* get() const { return stream_.get(); }
    // Passes on what is still buffered and closes the stream; false when a write failed (the
    // limit's included).
    bool finish() {
        if (!stream_) return false;
        bool complete = std::fflush(stream_.get()) == 0 && std::ferror(stream_.get()) == 0;
        if (std::fclose(stream_.release()) != 0) complete = false;
        return complete;
    }
    bool limitPassed() const { return limitPassed_; }

private:
    static ssize_t write(void* cookie, const char* data, std::size_t size) {
        LimitedStream& self = *static_cast<LimitedStream*>(cookie);
        if (self.limitPassed_ || size > self.limit_ - self.written_) {
            self.limitPassed_ = true;
            errno = EFBIG;
            return 0;
        }
        const std::size_t passed = std::fwrite(data, 1, size, self.target_);
        self.written_ += passed;
        return static_cast<ssize_t>(passed);
    }

    std::FILE* const target_;
    const std::size_t limit_;
    std::size_t written_ = 0;
    bool limitPassed_ = false;
    FileHandle stream_;
};

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

std::string SaveConfigurationCommandProcessor::save(std::vector<char>& payload) {
    const std::string path = configuration_->getFileName();
    const std::size_t bodyLength = payload.empty() ? 0 : payload.size() - 1;
    if (bodyLength > kMaxConfigurationSize) {
        std::vector<char>().swap(payload);
        QM_LOG_WARN("Refused a configuration document of " << bodyLength << " bytes; " << path
                                                           << " is left unchanged.");
        return failureText(kBodyTooLarge);
    }

    TiXmlDocument document(path);
    const XmlParseOutcome parsed = payload.size() > kXmlTextOffset
                                       ? parseXmlText(payload.data() + kXmlTextOffset,
                                                      payload.size() - kXmlTextOffset, document)
                                       : parseXmlText(std::string(), document);
    // The document holds everything from here on.
    std::vector<char>().swap(payload);
    switch (parsed) {
    case XmlParseOutcome::kParsed: break;
    case XmlParseOutcome::kMalformed: return failureText(kParseFailure);
    case XmlParseOutcome::kTooDeep:
    case XmlParseOutcome::kTooLarge:
    case XmlParseOutcome::kTooManyAttributes:
        QM_LOG_WARN("Refused a configuration document with " << xmlRefusalReason(parsed) << "; "
                                                             << path << " is left unchanged.");
        if (parsed == XmlParseOutcome::kTooLarge) return failureText(kNodesTooLarge);
        if (parsed == XmlParseOutcome::kTooManyAttributes) return failureText(kTooManyAttributes);
        return failureText(kParseFailure);
    }

    decoder_->decode(document);
    const std::size_t elements = countElements(document);
    bool limitPassed = false;
    auto writeFileForm = [&](std::FILE* file) {
        // The file form as SaveFile writes it: indented, with a byte order mark when the
        // received text had one.
        LimitedStream limited(file, kMaxConfigurationSize);
        const bool printed = limited.get() != nullptr && document.SaveFile(limited.get());
        const bool complete = limited.finish() && printed;
        limitPassed = limited.limitPassed();
        // Printed: the check and the reload read the file instead.
        document.Clear();
        return complete;
    };

    // The settings are reloaded from the file as read back, which is what a restart loads.
    TiXmlDocument saved(path);
    bool readsBack = true;
    // The backup decorator runs this processor only once the backup is complete, and restores
    // from it when the save fails: a configuration that rename cannot replace (a file
    // bind-mounted on its own, as containers often give it) may be rewritten in place.
    ReplacementOptions options;
    options.rewriteInPlaceWhenRenameRefused = true;
    options.checkBeforeReplacing = [&](const std::string& temporary, std::string& error) {
        // Parsed as the configuration loader will read it: what is printed may read back
        // nested deeper than it was (a CDATA value that holds "]]>" and start tags after it).
        readsBack = loadXmlFile(temporary, saved) && countElements(saved) == elements;
        if (!readsBack) error = temporary + " would not read back as written";
        return readsBack;
    };
    std::string error;
    if (!replaceFileAtomically(path, writeFileForm, error, options)) {
        if (limitPassed) {
            QM_LOG_WARN("Refused a configuration document whose file would be larger than "
                        << kMaxConfigurationSize << " bytes; " << path << " is left unchanged.");
            return failureText(kFileTooLarge);
        }
        if (!readsBack) {
            QM_LOG_ERROR("The decoded configuration document would not read back as saved; "
                         << path << " is left unchanged.");
            return failureText(kSaveFailure);
        }
        QM_LOG_ERROR("Unable to save configuration file " << path << ": " << error);
        return failureText(kSaveFailure);
    }
    configuration_->readSimple(TiXmlHandle(&saved));
    return kSuccessText;
}

}  // namespace quillmark
