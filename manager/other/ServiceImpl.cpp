#include "other/ServiceImpl.h"

#include "AgentServiceRestarter.h"
#include "CommandProcessorFactory.h"
#include "Listener.h"
#include "Service.h"

#include "quillmark/ConfigurationFileAccess.h"
#include "quillmark/Exception.h"
#include "quillmark/FileHandle.h"
#include "quillmark/Log.h"
#include "quillmark/SystemError.h"
#include "quillmark/Utils.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

namespace quillmark {
namespace ServiceImpl {

namespace {

const char kDefaultLogFile[] = "/opt/quillmark/agent/logs/quillmark_agent_managerd.log";
const char kDefaultPidFile[] = "/opt/quillmark/agent/cache/quillmark_agent_managerd.pid";

std::atomic<int> childHandlerInstalled_(0);

std::atomic<bool> stopping_(false);

// The signal pipe: the handler writes each caught signal's number, the signal thread reads it.
int signalPipe_[2] = {-1, -1};
std::atomic<bool> signalThreadStarted_(false);

ConfigurationFileAccess& configuration() {
    ConfigurationFileAccess* configuration = Service::getInstance()->getConfiguration();
    if (configuration == nullptr) QM_THROW(Exception, "The service has no configuration");
    return *configuration;
}

// The only work done in signal context: async-signal-safe, errno preserved.
extern "C" void forwardSignal(int number) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    ssize_t ignored = ::write(signalPipe_[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

void handleSignals() {
    for (;;) {
        unsigned char byte;
        const ssize_t n = ::read(signalPipe_[0], &byte, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        if (byte == SIGCHLD && childHandlerInstalled_ != 0) {
            onChildSignal(byte);
        } else {
            onSignal(byte);
        }
    }
}

void startSignalThread() {
    if (signalThreadStarted_.exchange(true)) return;
    if (::pipe2(signalPipe_, O_CLOEXEC) != 0) {
        QM_THROW(Exception, systemErrorText("Cannot create the signal pipe", errno));
    }
    // A full pipe must never block the handler; a dropped byte only repeats a pending signal.
    ::fcntl(signalPipe_[1], F_SETFL, ::fcntl(signalPipe_[1], F_GETFL) | O_NONBLOCK);
    std::thread(handleSignals).detach();
}

void catchSignal(int number) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ::sigaction(number, &action, nullptr);
}

struct flock wholeFileLock(short type) {
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    lock.l_pid = ::getpid();
    return lock;
}

bool lockedByAnother(int error) { return error == EAGAIN || error == EACCES; }

// The daemon's PID file, kept open and write-locked for the life of the process. It removes
// exactly the path it created, whatever the configuration says by then (a save may have replaced
// the setting). The stop removes it on the signal thread, in ordinary thread context: the signal
// handler itself never touches it.
class PidFile {
public:
    PidFile() = default;
    PidFile(const PidFile&) = delete;
    PidFile& operator=(const PidFile&) = delete;
    // Closes the file, which drops the lock, and leaves it in place.
    ~PidFile() { close(); }

    // Creates `path` (or replaces a stale file there) holding the process id, and keeps it open
    // and locked; a file held from an earlier call is closed first. The lock is taken on the file
    // that the path names once it is held, not on one a stopping instance has just removed. Throws
    // Exception (empty message) after a FATAL line when the file cannot be opened or created, or
    // when another process holds its lock.
    void create(const std::string& path);
    // Unlinks the file created, still locked, then unlocks and closes it; a failed unlink, or
    // another file at the path (left in place), is logged at DEBUG level. Nothing when no file
    // is held.
    void remove();
    // The path created; empty when none is held.
    const std::string& path() const { return path_; }

private:
    // Unlocks and closes the file; the path stays.
    void close();

    std::FILE* file_ = nullptr;
    int fd_ = -1;
    std::string path_;
};

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `path` itself (not a link's target) names the file open on `fd`.
bool namesOpenFile(int fd, const std::string& path) {
    struct stat opened, named;
    return ::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 &&
           sameFile(opened, named);
}

// How often create() opens the path again when the file it locked was replaced meanwhile: a
// stopping instance does that once; more means the path keeps changing under it.
const int kPidFileAttempts = 10;

void PidFile::create(const std::string& path) {
    close();
    path_.clear();
    for (int attempt = 1;; ++attempt) {
        // The file is opened without following a link (the daemon runs as root) and without
        // waiting on a FIFO, and truncated only once its lock is held, so a running instance's
        // PID file is never emptied.
        struct stat info;
        const bool exists = ::stat(path.c_str(), &info) == 0;
        const int fd = openForWriting(path, false, 0644, WritableKinds::kRegularOnly);
        if (fd < 0) {
            const int error = errno;
            const std::string reason =
                error == EINVAL ? "not a regular file" : systemErrorReason(error);
            if (exists) {
                QM_LOG_FATAL("Cannot open PID file [" << path << "] [" << reason << "]");
            } else {
                QM_LOG_FATAL("Cannot create PID file [" << path << "] [" << reason << "]");
            }
            QM_THROW(Exception, "");
        }
        struct flock lock = wholeFileLock(F_WRLCK);
        if (::fcntl(fd, F_SETLK, &lock) != 0 && lockedByAnother(errno)) {
            ::close(fd);
            QM_LOG_FATAL("File [" << path
                                  << "] exists and locked. Is this process already running ?");
            QM_THROW(Exception, "");
        }
        // An instance that stopped between the open and the lock has removed the file it held,
        // this very one: the lock then guards nothing at the path, and a new file is made.
        if (!namesOpenFile(fd, path)) {
            ::close(fd);
            if (attempt < kPidFileAttempts) continue;
            QM_LOG_FATAL("Cannot create PID file [" << path
                                                    << "] [it was replaced while being locked]");
            QM_THROW(Exception, "");
        }
        std::FILE* file = ::fdopen(fd, "w");
        if (file == nullptr || ::ftruncate(fd, 0) != 0) {
            const int error = errno;
            if (file != nullptr)
                std::fclose(file);
            else
                ::close(fd);
            QM_LOG_FATAL("Cannot create PID file [" << path << "] [" << systemErrorReason(error)
                                                    << "]");
            QM_THROW(Exception, "");
        }
        file_ = file;
        fd_ = fd;
        path_ = path;
        std::fprintf(file_, "%li", static_cast<long>(::getpid()));
        std::fflush(file_);
        return;
    }
}

void PidFile::remove() {
    if (path_.empty()) return;
    // Removed while still locked: an instance starting now either meets the lock or finds no
    // file and makes its own, which nothing then removes. Only the file this process holds is
    // removed, never one that took its place at the path.
    struct stat opened, named;
    std::string reason;
    if (::lstat(path_.c_str(), &named) != 0) {
        reason = systemErrorReason(errno);
    } else if (::fstat(fd_, &opened) == 0 && !sameFile(opened, named)) {
        reason = "another file took its place";
    } else if (::unlink(path_.c_str()) != 0) {
        reason = systemErrorReason(errno);
    }
    if (!reason.empty())
        QM_LOG_DEBUG("Cannot remove PID file [" << path_ << "] [" << reason << "]");
    close();
    path_.clear();
}

void PidFile::close() {
    if (fd_ != -1) {
        struct flock lock = wholeFileLock(F_UNLCK);
        ::fcntl(fd_, F_SETLK, &lock);
    }
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
    fd_ = -1;
}

// Built by static initialisation, before any signal can reach the stop.
PidFile daemonPidFile;

// The port a "ManagerPort" text names: decimal digits only, a whole number from 1 to 65535.
// 0 for any other text.
int portNumber(const std::string& text) {
    if (text.empty()) return 0;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
        if (value > 65535) return 0;
    }
    return static_cast<int>(value);
}

// One fork of the detaching: the parent ends with status 0, the child returns. A failed fork
// would otherwise pass for a started daemon.
void forkAndLeaveParent() {
    const pid_t child = Utils::forkProcess();
    if (child < 0) {
        const int error = errno;
        QM_LOG_FATAL(systemErrorText("Cannot fork the daemon process", error));
        QM_THROW(Exception, "");
    }
    if (child != 0) std::exit(0);
}

}  // namespace

int start() {
    // Both paths are resolved while the process still works from its launch directory: the
    // daemon moves to "/" below and keeps using them.
    const std::string logFile =
        Utils::absolutePath(configuration().getString("ManagerLogFile", kDefaultLogFile));
    const std::string pidFile =
        Utils::absolutePath(configuration().getString("ManagerPidFile", kDefaultPidFile));
    Utils::redirectOutput(logFile.c_str());
    QM_LOG_INFO("Starting Quillmark Agent Manager service...");

    const std::string portText = configuration().getString("ManagerPort", "8044");
    const int port = portNumber(portText);
    if (port == 0) {
        QM_LOG_FATAL("ManagerPort [" << portText << "] is not a port number from 1 to 65535.");
        QM_THROW(Exception, "");
    }
    const std::string ip = configuration().getString("ManagerIp", "");
    Listener::initSocket(port, ip);

    forkAndLeaveParent();
    ::setsid();
    std::signal(SIGHUP, SIG_IGN);
    forkAndLeaveParent();

    if (::chdir("/") != 0) {
        // Not tested by design: the daemon goes on in its current directory.
    }
    ::umask(002);
    if (::setpriority(PRIO_PROCESS, 0, 5) != 0) {
        QM_LOG_ERROR("Unable to set process priority to 5. Leaving default.");
    }

    // Once the PID file names this process an operator may signal it: a stop signal arriving
    // before its handler is in place is held back until then, instead of ending the daemon
    // without its stop sequence.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGQUIT);
    sigaddset(&stopSignals, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QM_LOG_INFO("Creating pid file:" << pidFile);
    createPidFile(pidFile);

    startSignalThread();
    catchSignal(SIGINT);
    catchSignal(SIGQUIT);
    catchSignal(SIGTERM);
    std::signal(SIGPIPE, SIG_IGN);
    ::pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);

    Service::getInstance()->run();
    return 0;
}

int stop() {
    daemonPidFile.remove();
    std::unique_ptr<CommandProcessorFactory> factory(new CommandProcessorFactory(&configuration()));
    std::unique_ptr<AgentServiceRestarter> restarter(factory->createAgentServiceRestarter());
    std::string result;
    restarter->stopAgentIfStarted(result);
    restarter.reset();
    factory.reset();
    return 0;
}

void createPidFile(const std::string& path) { daemonPidFile.create(path); }

void removePidFile(const std::string& path) {
    if (path == daemonPidFile.path()) daemonPidFile.remove();
}

void onSignal(int number) {
    switch (number) {
    case SIGINT:
    case SIGQUIT:
    case SIGTERM:
        if (stopping_.exchange(true)) return;
        QM_LOG_DEBUG("Got signal. Exiting ...");
        Service::getInstance()->stop();
        endProcess(255);
    case SIGPIPE: QM_LOG_WARN("Got SIGPIPE. Where it came from???"); return;
    case SIGALRM: QM_LOG_WARN("Timeout while answering request"); return;
    default: QM_LOG_WARN("Got signal [" << number << "]. Ignoring ..."); return;
    }
}

void onChildSignal(int number) {
    if (number != SIGCHLD) {
        onSignal(number);
        return;
    }
    QM_LOG_WARN("One child process died. Exiting ...");
    endProcess(255);
}

void installChildHandler() {
    childHandlerInstalled_ = 1;
    startSignalThread();
    catchSignal(SIGCHLD);
}

bool stopInProgress() { return stopping_; }

void endProcess(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(status);
}

}  // namespace ServiceImpl
}  // namespace quillmark
