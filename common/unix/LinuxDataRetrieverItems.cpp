// The item texts of LinuxDataRetriever: which metric item measures each figure of the host, its
// memory, a processor, a file system and a network interface.
//
// Each text is built as a std::string, so a resource name of any length or content (embedded
// zero bytes included) is copied whole. The name goes in unescaped: the text is the key the
// metric item is looked up by, and the item knows the resource only by its exact name.
#include "quillmark/LinuxDataRetriever.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace quillmark {

namespace {

// Appends all of `texts` to `items` or, when the vector cannot grow, none of them: the room is
// made first, and moving a string into reserved room cannot fail.
template <std::size_t Count>
void appendAll(std::vector<std::string>& items, std::array<std::string, Count>&& texts) {
    const std::size_t needed = items.size() + Count;
    if (needed > items.capacity()) {
        // At least doubling, so that a caller who asks once per resource on one vector does
        // not pay for a reallocation on every call.
        items.reserve(std::max(needed, 2 * items.capacity()));
    }
    for (std::string& text : texts) items.push_back(std::move(text));
}

}  // namespace

bool LinuxDataRetriever::getHostOids(std::vector<std::string>& items) {
    appendAll<5>(items, {{
                            "<description-oid>host_information</description-oid>",
                            "<up-time-oid>host_uptime</up-time-oid>",
                            "<contact-oid></contact-oid>",
                            "<name-oid>host_name</name-oid>",
                            "<location-oid></location-oid>",
                        }});
    return true;
}

bool LinuxDataRetriever::getMemoryOids(std::vector<std::string>& items) {
    appendAll<2>(items, {{
                            "<total-space-oid>memory_size(total)</total-space-oid>",
                            "<free-space-oid>memory_size(free)</free-space-oid>",
                        }});
    return true;
}

bool LinuxDataRetriever::getCpuOids(std::vector<std::string>& items, const std::string& cpu) {
    appendAll<1>(items, {{
                            "<load-oid>cpu_utilization(" + cpu + ")</load-oid>",
                        }});
    return true;
}

bool LinuxDataRetriever::getFileSystemOids(std::vector<std::string>& items,
                                           const std::string& fileSystem) {
    appendAll<4>(items,
                 {{
                     "<total-space-oid>filesystem_size(" + fileSystem + ",total)</total-space-oid>",
                     "<used-space-oid>filesystem_size(" + fileSystem + ",used)</used-space-oid>",
                     "<pused-space-oid>filesystem_size(" + fileSystem + ",pused)</pused-space-oid>",
                     "<storage-alloc-units>1024</storage-alloc-units>",
                 }});
    return true;
}

bool LinuxDataRetriever::getNetworkInterfaceOids(std::vector<std::string>& items,
                                                 const std::string& interfaceName) {
    appendAll<6>(items, {{
                            "<inbound-errors-oid>network_interface_incoming(" + interfaceName +
                                ",errors)</inbound-errors-oid>",
                            "<outbound-errors-oid>network_interface_outgoing(" + interfaceName +
                                ",errors)</outbound-errors-oid>",
                            "<inbound-traffic-oid>network_interface_incoming(" + interfaceName +
                                ",bytes)</inbound-traffic-oid>",
                            "<outbound-traffic-oid>network_interface_outgoing(" + interfaceName +
                                ",bytes)</outbound-traffic-oid>",
                            "<admin-status-oid></admin-status-oid>",
                            "<operational-status-oid></operational-status-oid>",
                        }});
    return true;
}

}  // namespace quillmark
