// The logging statements of the system.
//
// QM_LOG_INFO("Listening on " << port); fetches the logger from LogManager, tests the level and
// only then builds the text in an output stream (LogText, formatting as a string stream does)
// and passes it with the statement's own source file and line. Messages issued while no logger
// is installed are dropped.
#ifndef QUILLMARK_LOG_H
#define QUILLMARK_LOG_H

#include "quillmark/LogManager.h"
#include "quillmark/LogText.h"

#define QM_LOG_AT(enabledTest, write, expr)                                             \
    do {                                                                                \
        ::quillmark::LogManager* qmLogManager = ::quillmark::LogManager::getInstance(); \
        ::quillmark::FileLogger* qmLogger =                                             \
            qmLogManager != nullptr ? qmLogManager->getLogger() : nullptr;              \
        if (qmLogger != nullptr && qmLogger->enabledTest()) {                           \
            ::quillmark::LogText qmLogText;                                             \
            qmLogText << expr;                                                          \
            qmLogger->write(qmLogText.text(), __FILE__, __LINE__);                      \
        }                                                                               \
    } while (0)

#define QM_LOG_FATAL(expr) QM_LOG_AT(isFatalEnabled, fatal, expr)
#define QM_LOG_ERROR(expr) QM_LOG_AT(isErrorEnabled, error, expr)
#define QM_LOG_WARN(expr) QM_LOG_AT(isWarnEnabled, warn, expr)
#define QM_LOG_INFO(expr) QM_LOG_AT(isInfoEnabled, info, expr)
#define QM_LOG_DEBUG(expr) QM_LOG_AT(isDebugEnabled, debug, expr)
#define QM_LOG_TRACE(expr) QM_LOG_AT(isTraceEnabled, trace, expr)

#endif  // QUILLMARK_LOG_H
