#include "quillmark/XmlFile.h"

#include "quillmark/FileHandle.h"
#include "quillmark/Log.h"
#include "quillmark/SafeXmlParse.h"

#include <tinyxml.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace quillmark {

void normalizeXmlLineEnds(std::string& text) {
    std::size_t from = text.find('\r');
    if (from == std::string::npos) return;
    std::size_t to = from;
    while (from < text.size()) {
        if (text[from] == '\r') {
            text[to++] = '\n';
            ++from;
            if (from < text.size() && text[from] == '\n') ++from;
        } else {
            text[to++] = text[from++];
        }
    }
    text.resize(to);
}

void disableXmlLocationTracking(TiXmlDocument& document) {
    // A tab size of 0 makes TinyXML skip its position stamping altogether.
    document.SetTabSize(0);
}

void padForXmlParse(std::string& text) { text.append(kXmlParsePadding, '\0'); }

namespace {

// How reading a file's text for a parse ended.
enum class XmlFileRead { kRead, kNotOpened, kEmpty, kFailed };

// Reads the text of the file at `path` as loadXmlFile parses it: a regular file opened as the
// header says, up to its first zero byte, its line ends normalised, with room reserved for the
// padding. On anything but kRead `text` holds nothing usable.
XmlFileRead readXmlFileText(const std::string& path, std::string& text) {
    // Read straight into the text, without a stream: no buffer to fill and copy out of, and
    // none of the calls a stream makes to set itself up.
    struct stat status;
    Descriptor file(openRegularFileDescriptor(path, status));
    if (!file.isOpen()) return XmlFileRead::kNotOpened;
    const std::size_t size = static_cast<std::size_t>(status.st_size);
    if (size == 0) return XmlFileRead::kEmpty;
    // Room for the padding from the start, so that adding it does not copy the text.
    text.clear();
    text.reserve(size + kXmlParsePadding);
    text.resize(size);
    // The size the file had when it was opened: a file cut meanwhile fails, one that grew is
    // read up to that size.
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::read(file.get(), &text[done], size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return XmlFileRead::kFailed;
        done += static_cast<std::size_t>(n);
    }
    text.resize(std::strlen(text.c_str()));
    normalizeXmlLineEnds(text);
    return XmlFileRead::kRead;
}

}  // namespace

bool loadXmlFile(const std::string& path, TiXmlDocument& document) {
    // What TiXmlDocument::LoadFile does, without its byte-by-byte copy (a tenth of the time of a
    // get_configuration), and within the bounds of a received text.
    std::string text;
    const XmlFileRead read = readXmlFileText(path, text);
    if (read == XmlFileRead::kNotOpened) return false;
    document.Clear();
    if (read != XmlFileRead::kRead) {
        document.SetError(read == XmlFileRead::kEmpty ? TiXmlBase::TIXML_ERROR_DOCUMENT_EMPTY
                                                      : TiXmlBase::TIXML_ERROR_OPENING_FILE,
                          nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
        return false;
    }
    padForXmlParse(text);
    const XmlParseOutcome parsed = parseXmlText(text.data(), text.size(), document);
    switch (parsed) {
    case XmlParseOutcome::kParsed: return true;
    case XmlParseOutcome::kMalformed: return false;
    case XmlParseOutcome::kTooDeep:
    case XmlParseOutcome::kTooLarge:
    case XmlParseOutcome::kTooManyAttributes: break;
    }
    QM_LOG_WARN("Refused to parse " << path << ", a text with " << xmlRefusalReason(parsed) << ".");
    document.SetError(TiXmlBase::TIXML_ERROR, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
    return false;
}

}  // namespace quillmark
