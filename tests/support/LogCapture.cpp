#include "support/LogCapture.h"

#include "quillmark/FileLogger.h"
#include "quillmark/LogManager.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace qmtest {

namespace {

// Large enough that no test's log rotates.
const int kRotationMiB = 64;

}  // namespace

LogCapture::LogCapture() : path_(dir_.file("test.log")) {
    quillmark::LogManager::getInstance()->setLogger(
        new quillmark::FileLogger(path_.c_str(), 5, kRotationMiB));
}

LogCapture::~LogCapture() { quillmark::LogManager::getInstance()->setLogger(nullptr); }

std::string LogCapture::text() const { return readFile(path_); }

int LogCapture::count(const std::string& message) const {
    const std::string all = text();
    const std::string needle = "|\t" + message + "\n";
    int found = 0;
    for (std::size_t at = all.find(needle); at != std::string::npos;
         at = all.find(needle, at + 1)) {
        ++found;
    }
    return found;
}

bool LogCapture::hasPrefix(const std::string& prefix) const {
    return text().find("|\t" + prefix) != std::string::npos;
}

void LogCapture::clear() { ASSERT_EQ(0, ::truncate(path_.c_str(), 0)); }

}  // namespace qmtest
