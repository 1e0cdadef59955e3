// The logging interface: five levels (1 fatal ... 5 debug) with an enabled test per level.
//
// The write operations do not test the level themselves; callers test it first (see Log.h), so a
// disabled level costs one virtual call and no formatting.
#ifndef QUILLMARK_LOGABLE_H
#define QUILLMARK_LOGABLE_H

#include <string>

namespace quillmark {

typedef int LogLevel;

class Logable {
public:
    virtual ~Logable() {}

    virtual bool isDebugEnabled() = 0;
    virtual bool isInfoEnabled() = 0;
    virtual bool isWarnEnabled() = 0;
    virtual bool isErrorEnabled() = 0;
    virtual bool isFatalEnabled() = 0;

    virtual void debug(const std::string& message, const char* file, int line) = 0;
    virtual void info(const std::string& message, const char* file, int line) = 0;
    virtual void warn(const std::string& message, const char* file, int line) = 0;
    virtual void error(const std::string& message, const char* file, int line) = 0;
    virtual void fatal(const std::string& message, const char* file, int line) = 0;
};

}  // namespace quillmark

#endif  // QUILLMARK_LOGABLE_H
