#include "AgentConfigRefresh.h"

#include "AgentServiceRestarter.h"
#include "CommandProcessorFactory.h"

#include "quillmark/Exception.h"
#include "quillmark/FileMetrics.h"
#include "quillmark/Log.h"
#include "quillmark/MetricRequest.h"
#include "quillmark/ResultInfo.h"

#include <exception>

namespace quillmark {

namespace {

std::string watchedPath(AgentServiceRestarter& restarter) {
    ConfigurationFileAccess* configuration = restarter.getConfigurationFileAccess();
    return configuration != nullptr ? configuration->getFileName() : std::string();
}

}  // namespace

AgentConfigRefresh::AgentConfigRefresh(std::shared_ptr<CommandProcessorFactory> factory,
                                       int intervalMs)
    : AbstractExecution(intervalMs, "AgentConfigRefresh"),
      factory_(std::move(factory)),
      restarter_(factory_->createAgentServiceRestarter()),
      metrics_(new FileMetrics("filesystem_file")),
      watchedFile_(watchedPath(*restarter_)) {}

AgentConfigRefresh::~AgentConfigRefresh() {
    restarter_.reset();
    factory_.reset();
    metrics_.reset();
}

std::string AgentConfigRefresh::getChecksum() {
    MetricRequest request;
    request.itemName = "filesystem_file";
    request.command = "md5sum";
    request.args.push_back(watchedFile_);
    std::unique_ptr<ResultInfo> result(metrics_->md5sum(request));
    return result->value;
}

void AgentConfigRefresh::execute() {
    // Anything escaping here would end the worker's thread for good, and with it every later
    // start of the agent.
    try {
        checkAndStartAgent();
    } catch (const Exception& e) {
        QM_LOG_ERROR(exceptionMessage() << e);
    } catch (const std::exception& e) {
        QM_LOG_ERROR(exceptionMessage() << e.what());
    }
}

void AgentConfigRefresh::checkAndStartAgent() {
    const std::string checksum = getChecksum();
    if (lastChecksum_.empty()) {
        lastChecksum_ = checksum;
        restartOrStartAgent(false);
    } else if (checksum != lastChecksum_) {
        lastChecksum_ = checksum;
        QM_LOG_DEBUG("Configuration file change detected, restarting agent.");
        restartOrStartAgent(true);
    } else {
        restartOrStartAgent(false);
    }
}

void AgentConfigRefresh::restartOrStartAgent(bool changed) {
    std::string result;
    if (changed) {
        restarter_->restartAgent(result);
    } else {
        restarter_->startAgent(result);
    }
}

void AgentConfigRefresh::cancel() { AbstractExecution::cancel(); }

int AgentConfigRefresh::getInterval() { return intervalMs_; }

}  // namespace quillmark
