#include "quillmark/VfsMetrics.h"

#include "quillmark/Exception.h"

namespace quillmark {

VfsMetrics::VfsMetrics(const std::string& name) : MetricItem(name) {}

VfsMetrics::~VfsMetrics() = default;

ResultInfo* VfsMetrics::execute(const MetricRequest& /*request*/) { return new ResultInfo(0UL); }

void VfsMetrics::throwUnsupportedCommand() {
    QM_THROW(UnsupportedException, "Command unsupported.");
}

}  // namespace quillmark
