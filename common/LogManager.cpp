#include "quillmark/LogManager.h"

namespace quillmark {

LogManager::~LogManager() = default;

LogManager* LogManager::getInstance() {
    // Never destroyed: threads may still log while the process exits.
    static LogManager* const instance = new LogManager();
    return instance;
}

void LogManager::setLogger(FileLogger* logger) { logger_.reset(logger); }

}  // namespace quillmark
