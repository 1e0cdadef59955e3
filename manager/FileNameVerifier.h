// FileNameVerifier: the check an upgrade package's file name must pass before any upgrade step
// uses it.
//
// A package is built for one operating system and architecture: its name must hold the
// operating-system marker ("_" + name + "_"), the architecture marker ("_" + name + "_") and
// the package extension ".qmp", each anywhere in the name (case-sensitive, tested in that
// order). The name then becomes a file name in the temp directory, so it must also be one
// plain directory entry: no "/" or "\\", no zero byte, not "." or "..".
//
// Ownership: keeps copies of the two markers only; one instance per upgrade request, owned by
// its processor. Threads: verifyFileName changes nothing and may be called from any thread.
#ifndef QUILLMARK_MANAGER_FILENAMEVERIFIER_H
#define QUILLMARK_MANAGER_FILENAMEVERIFIER_H

#include <string>

namespace quillmark {

class FileNameVerifier {
public:
    // `osName` and `architecture` are the host's names as the host information gives them
    // ("redhat" and "64"), without the underscores.
    FileNameVerifier(const std::string& osName, const std::string& architecture);
    virtual ~FileNameVerifier();

    // The result text of the first test that fails, in this order:
    // "FAILURE! Unable to verify operating system of upgrade file name.",
    // "FAILURE! Unable to verify architecture of upgrade file name.",
    // "FAILURE! Incorrect upgrade file extension.",
    // "FAILURE! Unable to verify characters of upgrade file name." (a directory part, a zero
    // byte, "." or ".."); "SUCCESS" when all pass. Never throws but for std::bad_alloc.
    std::string verifyFileName(const std::string& fileName) const;

private:
    std::string osMarker_;
    std::string architectureMarker_;
};

}  // namespace quillmark

#endif  // QUILLMARK_MANAGER_FILENAMEVERIFIER_H
