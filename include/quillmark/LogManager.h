// The process-wide holder of the one logger.
//
// main installs the logger once, before other threads exist; afterwards any thread may read it
// without a lock. The holder owns the installed logger.
#ifndef QUILLMARK_LOGMANAGER_H
#define QUILLMARK_LOGMANAGER_H

#include "quillmark/FileLogger.h"

#include <memory>

namespace quillmark {

class LogManager {
public:
    virtual ~LogManager();

    // The holder, created with no logger on the first call.
    static LogManager* getInstance();

    // The installed logger, or null when none is installed.
    FileLogger* getLogger() const { return logger_.get(); }
    // Takes ownership of `logger`; a previously installed logger is deleted.
    void setLogger(FileLogger* logger);

private:
    LogManager() = default;

    std::unique_ptr<FileLogger> logger_;
};

}  // namespace quillmark

#endif  // QUILLMARK_LOGMANAGER_H
