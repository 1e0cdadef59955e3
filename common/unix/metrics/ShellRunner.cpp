#include "quillmark/ShellRunner.h"

#include "quillmark/Exception.h"
#include "quillmark/SystemMetrics.h"

#include <exception>
#include <memory>

namespace quillmark {

ZThread::ThreadedExecutor remoteCommandExecutor;

ShellRunner::ShellRunner(const MetricRequest& request) : request_(request) {}

ShellRunner::~ShellRunner() = default;

void ShellRunner::run() {
    // A background command has no caller to report to.
    try {
        std::unique_ptr<ResultInfo> result(runCommand(request_));
    } catch (const Exception&) {
    } catch (const std::exception&) {
    }
}

}  // namespace quillmark
