// MetricRequest: what a caller asks a metric item (or the shell command runner) to evaluate.
//
// A plain record, usually built on the caller's stack and passed by const reference; where a
// request must outlive the call (a background command), it is copied member by member. Each
// command defines what its first and second arguments mean and which may be missing or empty.
#ifndef QUILLMARK_METRICREQUEST_H
#define QUILLMARK_METRICREQUEST_H

#include <string>
#include <vector>

namespace quillmark {

struct MetricRequest {
    // The item the request is meant for, e.g. "filesystem_file"; informational, no item reads it.
    std::string itemName;
    // The command to evaluate; dispatchers compare it exactly, case included.
    std::string command;
    // The command's arguments in order.
    std::vector<std::string> args;
};

}  // namespace quillmark

#endif  // QUILLMARK_METRICREQUEST_H
