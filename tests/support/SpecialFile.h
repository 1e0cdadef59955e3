// Something at a path that is not a file to write to, for tests of code that must refuse it
// without waiting: a FIFO without a reader (bounded as BoundedFifo with FifoSide::kWriting
// bounds it), a FIFO with a reader, a bound Unix socket, or a directory. It is made by the
// constructor and removed by remove() or the destructor.
//
// Threads: used by one thread (a BoundedFifo has a thread of its own).
#ifndef QM_TESTS_SUPPORT_SPECIALFILE_H
#define QM_TESTS_SUPPORT_SPECIALFILE_H

#include "support/BoundedFifo.h"

#include <memory>
#include <string>
#include <vector>

namespace qmtest {

class SpecialFile {
public:
    enum Kind { kFifoWithoutReader, kFifoWithReader, kSocket, kDirectory };
    // Every kind, in the order above.
    static const std::vector<Kind>& kinds();
    static const char* name(Kind kind);

    // Makes it at `path`; fails the current test when it cannot.
    SpecialFile(const std::string& path, Kind kind);
    ~SpecialFile();
    SpecialFile(const SpecialFile&) = delete;
    SpecialFile& operator=(const SpecialFile&) = delete;

    // Whether something was written into it (a FIFO's reader got bytes); always false for a
    // socket or a directory, which cannot be written to through a path.
    bool wasWrittenTo();
    // Removes it from the path (its reader, socket or releasing thread go with it); false, with
    // a test failure, when that fails.
    bool remove();

private:
    std::string path_;
    Kind kind_;
    std::unique_ptr<BoundedFifo> fifo_;
    int descriptor_ = -1;  // the FIFO's reader or the socket
    bool removed_ = false;
};

}  // namespace qmtest

#endif  // QM_TESTS_SUPPORT_SPECIALFILE_H
