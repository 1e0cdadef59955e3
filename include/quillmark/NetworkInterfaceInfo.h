// NetworkInterfaceInfo: one network interface address of the host, as
// DataRetriever::getNetworkInterfaces reports it.
//
// A plain record. The retriever makes it with `new` and appends it to the caller's vector; from
// then on it belongs to the caller, who deletes it. Like a string, one record may be read by
// several threads at once only while nobody changes it.
#ifndef QUILLMARK_NETWORKINTERFACEINFO_H
#define QUILLMARK_NETWORKINTERFACEINFO_H

#include <string>

namespace quillmark {

struct NetworkInterfaceInfo {
    // The interface name (an address label such as "eth0:1" counts as a name of its own).
    std::string name;
    std::string extra;
    // IPv4 in dotted form, IPv6 in its text form, "Unknown AF" for any other address family.
    std::string address;
    // Six bytes in lower-case hex, two digits each, joined by ':'.
    std::string macAddress;
    // The interface name again.
    std::string description;
    // "UP" when the interface is up, otherwise "DOWN".
    std::string adminStatus;
    // The same value as adminStatus.
    std::string operationalStatus;
    // Always "work-in-progress".
    std::string note;
};

}  // namespace quillmark

#endif  // QUILLMARK_NETWORKINTERFACEINFO_H
