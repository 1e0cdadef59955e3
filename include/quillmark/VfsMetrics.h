// VfsMetrics: the base of the file, device and file-system metric items, and their command
// dispatch.
//
// By itself the item answers 0 to any request. Its subclasses list their commands in a fixed
// order as a table of `Command` entries and pass it to `dispatch` from their `execute`:
//
//     static const Command<FsMetrics> commands[] = {{"size", &FsMetrics::size}, ...};
//     return dispatch(*this, commands, request);
//
// Ownership and threads as for MetricItem.
#ifndef QUILLMARK_VFSMETRICS_H
#define QUILLMARK_VFSMETRICS_H

#include "quillmark/MetricItem.h"

#include <cstddef>
#include <string>

namespace quillmark {

class VfsMetrics : public MetricItem {
public:
    explicit VfsMetrics(const std::string& name);
    ~VfsMetrics() override;

    // A new result of the number 0 whatever the request; never throws.
    ResultInfo* execute(const MetricRequest& request) override;

protected:
    template <typename Item>
    using Operation = ResultInfo* (Item::*)(const MetricRequest&);

    template <typename Item>
    struct Command {
        const char* name;
        Operation<Item> operation;
    };

    // Runs, on `item`, the operation of the first entry whose name equals request.command (whole
    // text, case-sensitive, no trimming) with the whole request, and returns its result
    // unchanged. Throws UnsupportedException "Command unsupported." when no name is equal.
    template <typename Item, std::size_t N>
    static ResultInfo* dispatch(Item& item, const Command<Item> (&commands)[N],
                                const MetricRequest& request) {
        for (const Command<Item>& command : commands) {
            if (request.command == command.name) return (item.*command.operation)(request);
        }
        throwUnsupportedCommand();
    }

private:
    [[noreturn]] static void throwUnsupportedCommand();
};

}  // namespace quillmark

#endif  // QUILLMARK_VFSMETRICS_H
