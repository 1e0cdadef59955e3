// A temporary directory that exists for the life of the object and is removed with its contents.
#ifndef QM_TESTS_SUPPORT_TEMPDIR_H
#define QM_TESTS_SUPPORT_TEMPDIR_H

#include <string>

namespace qmtest {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string& name) const;

private:
    std::string path_;
};

// Whole-file helpers for tests; they fail the current test on error.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);
bool fileExists(const std::string& path);

}  // namespace qmtest

#endif  // QM_TESTS_SUPPORT_TEMPDIR_H
