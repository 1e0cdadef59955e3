// Installs a debug-level logger on a file of its own temporary directory for the life of the
// object, and reads back what was logged. One at a time: it replaces the process's logger.
#ifndef QM_TESTS_SUPPORT_LOGCAPTURE_H
#define QM_TESTS_SUPPORT_LOGCAPTURE_H

#include "support/TempDir.h"

#include <string>

namespace qmtest {

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const;
    // How many lines carry exactly `message` after their header.
    int count(const std::string& message) const;
    bool has(const std::string& message) const { return count(message) > 0; }
    // Whether a line carries a message that begins with `prefix` after its header.
    bool hasPrefix(const std::string& prefix) const;
    // Empties the log file.
    void clear();

private:
    TempDir dir_;
    std::string path_;
};

}  // namespace qmtest

#endif  // QM_TESTS_SUPPORT_LOGCAPTURE_H
