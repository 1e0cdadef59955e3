#include "support/SpecialFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qmtest {

const std::vector<SpecialFile::Kind>& SpecialFile::kinds() {
    static const std::vector<Kind> all = {kFifoWithoutReader, kFifoWithReader, kSocket, kDirectory};
    return all;
}

const char* SpecialFile::name(Kind kind) {
    switch (kind) {
    case kFifoWithoutReader: return "a FIFO without a reader";
    case kFifoWithReader: return "a FIFO with a reader";
    case kSocket: return "a socket";
    case kDirectory: return "a directory";
    }
    return "";
}

SpecialFile::SpecialFile(const std::string& path, Kind kind) : path_(path), kind_(kind) {
    switch (kind) {
    case kFifoWithoutReader:
    case kFifoWithReader:
        fifo_.reset(new BoundedFifo(path, std::chrono::seconds(5), FifoSide::kWriting));
        if (kind == kFifoWithReader) {
            descriptor_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            EXPECT_GE(descriptor_, 0) << path << ": " << std::strerror(errno);
        }
        break;
    case kSocket: {
        descriptor_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un address;
        std::memset(&address, 0, sizeof address);
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        EXPECT_EQ(0,
                  ::bind(descriptor_, reinterpret_cast<struct sockaddr*>(&address), sizeof address))
            << path << ": " << std::strerror(errno);
        break;
    }
    case kDirectory:
        EXPECT_EQ(0, ::mkdir(path.c_str(), 0755)) << path << ": " << std::strerror(errno);
        break;
    }
}

SpecialFile::~SpecialFile() {
    if (!removed_) remove();
}

bool SpecialFile::wasWrittenTo() {
    if (fifo_ && fifo_->releasedAWaitingWriter()) return true;
    if (kind_ != kFifoWithReader || descriptor_ < 0) return false;
    char byte;
    return ::read(descriptor_, &byte, 1) > 0;
}

bool SpecialFile::remove() {
    removed_ = true;
    const bool done = ::remove(path_.c_str()) == 0;
    EXPECT_TRUE(done) << path_ << ": " << std::strerror(errno);
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = -1;
    fifo_.reset();
    return done;
}

}  // namespace qmtest
