// FileSystemInfo: one mounted file system of the host, as DataRetriever::getFileSystems reports
// it.
//
// A plain record. The retriever makes it with `new` and appends it to the caller's vector; from
// then on it belongs to the caller, who deletes it. Like a string, one record may be read by
// several threads at once only while nobody changes it.
#ifndef QUILLMARK_FILESYSTEMINFO_H
#define QUILLMARK_FILESYSTEMINFO_H

#include <string>

namespace quillmark {

struct FileSystemInfo {
    // The mount table's file-system name (the device).
    std::string name;
    std::string extra;
    // The device when it contains ':' (a remote file system such as host:/export), otherwise
    // the mount point.
    std::string description;
    // "FIXED_DISK".
    std::string type;
    // The mount table's mount directory.
    std::string mountPoint;
    std::string extra2;
    std::string extra3;
};

}  // namespace quillmark

#endif  // QUILLMARK_FILESYSTEMINFO_H
