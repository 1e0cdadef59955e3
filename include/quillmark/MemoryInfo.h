// MemoryInfo: the host's memory as one record, as DataRetriever::getMemories reports it.
//
// The record names the memory; it carries no sizes (those are metric items of their own). A
// plain record: the retriever makes it with `new` and appends it to the caller's vector; from
// then on it belongs to the caller, who deletes it.
#ifndef QUILLMARK_MEMORYINFO_H
#define QUILLMARK_MEMORYINFO_H

#include <string>

namespace quillmark {

struct MemoryInfo {
    // "Memory 1".
    std::string name;
    std::string extra;
    // "Memory 1".
    std::string description;
    // "RAM".
    std::string type;
    std::string extra2;
};

}  // namespace quillmark

#endif  // QUILLMARK_MEMORYINFO_H
