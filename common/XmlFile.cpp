#include "quillmark/XmlFile.h"

#include "quillmark/FileHandle.h"

#include <tinyxml.h>

#include <sys/stat.h>

namespace quillmark {

void disableXmlLocationTracking(TiXmlDocument& document) {
    // A tab size of 0 makes TinyXML skip its position stamping altogether.
    document.SetTabSize(0);
}

bool loadXmlFile(const std::string& path, TiXmlDocument& document) {
    FileHandle file(std::fopen(path.c_str(), "rbe"));
    if (!file) return false;
    struct stat status;
    if (::fstat(fileno(file.get()), &status) != 0 || !S_ISREG(status.st_mode)) return false;
    disableXmlLocationTracking(document);
    return document.LoadFile(file.get(), TIXML_DEFAULT_ENCODING);
}

}  // namespace quillmark
