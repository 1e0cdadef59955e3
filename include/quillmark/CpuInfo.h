// CpuInfo: one processor of the host, as DataRetriever::getCpus reports it.
//
// A plain record. The retriever makes it with `new` and appends it to the caller's vector; from
// then on it belongs to the caller, who deletes it. Like a string, one record may be read by
// several threads at once only while nobody changes it.
#ifndef QUILLMARK_CPUINFO_H
#define QUILLMARK_CPUINFO_H

#include <cstdint>
#include <string>

namespace quillmark {

struct CpuInfo {
    // "CPU " followed by the processor's number counted from 1.
    std::string name;
    std::string extra;
    // The processor model, without surrounding blanks; empty when the source names none.
    std::string model;
    // The processor's number counted from 0.
    std::int32_t index = 0;
    std::string extra2;
};

}  // namespace quillmark

#endif  // QUILLMARK_CPUINFO_H
