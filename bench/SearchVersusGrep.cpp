// The file searches against GNU grep: each case runs through the "regmatch" metric of
// FileMetrics (read, join, search) on a generated syslog-like file, and through
// `grep -z -c` on the same text already joined (one record: the file holds no zero byte), in
// alternating runs; the table gives the medians, their ratio and both answers. Beside them: the
// method of the engine that answered (a skip, the walk, the automaton or the simulation) and the
// engine's own cost per text byte, from one compile and search of the joined text in memory per
// run, as Utils::regexpMatch makes it.
//
// Two kinds of file: "syslog", which has error lines (ERROR and WARNING lines, failed logins,
// requests that failed with status 500), and "quiet", which has none of them. Files of each size
// are generated from a fixed seed into a temporary directory, searched, and removed before the
// next size. The engine's dialect differs from grep's: its \d and \w are written for grep as the
// POSIX classes they stand for, with grep -E, and \] as ]; every other pattern is handed to
// grep -E unchanged, where it means the same.
//
//   qm_search_vs_grep [--sizes=1,16,64,256] [--runs=N] [--dir=DIR] [--grep=PROGRAM] [--only=TEXT]
//
// --runs sets the runs per side for every size (default: 7 up to 1 MiB, 5 up to 16 MiB, 3
// above); --dir is where the temporary directory goes (default $TMPDIR or /tmp); --only keeps
// the cases whose pattern holds TEXT.
#include "BenchSupport.h"
#include "QuietStandardError.h"

#include "RegexpSearchLimits.h"
#include "quillmark/Exception.h"
#include "quillmark/FileMetrics.h"
#include "quillmark/Regexp.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

const std::size_t kMiB = 1024 * 1024;

struct SearchCase {
    const char* pattern;      // the engine's dialect
    const char* grepPattern;  // the same for grep -E
};

// On the syslog-like texts. Lower-case warn, error and fatal, "deadlock", an address ending in
// ".com", "segfault", "panic", "disk", "space", the text "abc" at the start and an x at the end
// never occur; durations in ms, dotted quads followed by a port, mail addresses, chronyd and
// dbus-daemon lines and the literal "Out of memory: Killed process" (once, at nine tenths of the
// file) do; ERROR, "timeout", "refused" and "status=500" after a PUT only in the syslog kind.
const SearchCase kLogCases[] = {
    {".*x$", ".*x$"},
    {"(warn|error|fatal)", "(warn|error|fatal)"},
    {"ERROR.*deadlock", "ERROR.*deadlock"},
    {"\\w+@\\w+\\.com", "[[:alnum:]_]+@[[:alnum:]_]+\\.com"},
    {"Out of memory: Killed process", "Out of memory: Killed process"},
    {"segfault at 0 ip", "segfault at 0 ip"},
    {"ERROR.*timeout", "ERROR.*timeout"},
    {"\\d+ms", "[[:digit:]]+ms"},
    {"^abc", "^abc"},
    {"\\d+\\.\\d+\\.\\d+\\.\\d+", "[[:digit:]]+\\.[[:digit:]]+\\.[[:digit:]]+\\.[[:digit:]]+"},
    {"[a-z0-9._]+@[a-z0-9.]+\\.[a-z]+", "[a-z0-9._]+@[a-z0-9.]+\\.[a-z]+"},
    {"ERROR.*(timeout|refused)", "ERROR.*(timeout|refused)"},
    {"(GET|PUT) .*status=(404|500)", "(GET|PUT) .*status=(404|500)"},
    {"\\<(dbus-daemon|chronyd)\\[\\d+\\]: .*error",
     "\\<(dbus-daemon|chronyd)\\[[[:digit:]]+]: .*error"},
    {"[a-z]+\\[\\d+\\]: .*(panic|fatal)", "[a-z]+\\[[[:digit:]]+]: .*(panic|fatal)"},
    {"(\\d+\\.)+\\d+ port \\d+", "([[:digit:]]+\\.)+[[:digit:]]+ port [[:digit:]]+"},
    {"(warn|error|fatal).*(disk|space)", "(warn|error|fatal).*(disk|space)"},
};

// On 1 MiB of the letter a in lines of 64, then "!b!c!x!": every letter a pattern needs is there,
// so no hint rules a search out, but none follows the a's. A plain backtracking walk spends
// exponential time at the first position ((a|a)*b, (a|aa)+c, (aa*)*b, the nesting of (a*)*
// that compiles) or quadratic time over the text (.*x$); the answers are 1, 0, 1 and 0.
const SearchCase kPathologicalCases[] = {
    {"(a|a)*b", "(a|a)*b"},
    {"(a|aa)+c", "(a|aa)+c"},
    {"(aa*)*b", "(aa*)*b"},
    {".*x$", ".*x$"},
};

// Writes the same lines to two files: with their line feeds, as the metric reads them, and
// joined, as grep -z is given them.
class TwinWriter {
public:
    TwinWriter(const std::string& linesPath, const std::string& joinedPath)
        : lines_(linesPath, std::ios::binary), joined_(joinedPath, std::ios::binary) {}

    void line(const char* text, std::size_t length) {
        lines_.write(text, static_cast<std::streamsize>(length));
        lines_.put('\n');
        joined_.write(text, static_cast<std::streamsize>(length));
        written_ += length + 1;
    }

    std::size_t written() const { return written_; }
    bool good() {
        lines_.flush();
        joined_.flush();
        return lines_.good() && joined_.good();
    }

private:
    std::ofstream lines_;
    std::ofstream joined_;
    std::size_t written_ = 0;
};

// About `size` bytes of syslog lines from a fixed seed, the same on every machine (the raw
// output of the standard engine is fixed by the standard; distributions are not). `quiet` leaves
// out the error lines: each is replaced by an INFO line or an accepted login.
bool writeLog(TwinWriter& out, std::size_t size, bool quiet) {
    std::mt19937 random(20261210);
    auto pick = [&random](unsigned n) { return static_cast<unsigned>(random() % n); };
    const std::size_t literalAt = size / 10 * 9;
    bool literalWritten = false;
    unsigned seconds = 0;
    char line[512];
    while (out.written() + 128 < size) {
        seconds += pick(3);
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "Dec %2u %02u:%02u:%02u web%02u",
                      10 + seconds / 86400 % 20, seconds / 3600 % 24, seconds / 60 % 60,
                      seconds % 60, pick(40));
        int n = 0;
        unsigned kind = pick(48);
        if (quiet && (kind <= 2 || kind == 44)) kind = 12;
        if (quiet && kind == 43) kind = 9;
        if (!literalWritten && out.written() >= literalAt) {
            n = std::snprintf(line, sizeof line,
                              "%s kernel: Out of memory: Killed process %u (java)", stamp,
                              1000 + pick(30000));
            literalWritten = true;
        } else {
            switch (kind) {
            case 0:
                n = std::snprintf(
                    line, sizeof line,
                    "%s app[%u]: ERROR request %u failed: upstream timeout after %ums", stamp,
                    300 + pick(50), pick(1000000), 1000 + pick(9000));
                break;
            case 1:
            case 2:
                n = std::snprintf(line, sizeof line,
                                  "%s app[%u]: WARNING cache %u is at %u%% of its capacity", stamp,
                                  300 + pick(50), pick(64), 80 + pick(20));
                break;
            case 3:
            case 4:
            case 5:
                n = std::snprintf(line, sizeof line,
                                  "%s postfix/smtp[%u]: %06X: to=<ops%u@mail.example.org>, "
                                  "relay=mx%u.example.org[192.0.2.%u]:25, delay=%u.%u, "
                                  "status=sent (250 2.0.0 Ok)",
                                  stamp, 2000 + pick(8000), pick(0xFFFFFF), pick(100), pick(4),
                                  1 + pick(254), pick(10), pick(10));
                break;
            case 6:
                n = std::snprintf(line, sizeof line,
                                  "%s kernel: [%u.%06u] eth%u: link is up, 1000 Mbps full duplex",
                                  stamp, seconds, pick(1000000), pick(4));
                break;
            case 7:
            case 8:
                n = std::snprintf(line, sizeof line,
                                  "%s CRON[%u]: (root) CMD (run-parts /etc/cron.hourly)", stamp,
                                  10000 + pick(50000));
                break;
            case 9:
            case 10:
            case 11:
                n = std::snprintf(line, sizeof line,
                                  "%s sshd[%u]: Accepted publickey for deploy from 198.51.100.%u "
                                  "port %u ssh2",
                                  stamp, 1000 + pick(30000), 1 + pick(254), 1024 + pick(60000));
                break;
            case 12:
            case 13:
            case 14:
            case 15:
            case 16:
            case 17:
            case 18:
            case 19:
                n = std::snprintf(line, sizeof line, "%s app[%u]: INFO request %u served in %ums",
                                  stamp, 300 + pick(50), pick(1000000), 1 + pick(900));
                break;
            case 40:
            case 41:
                n = std::snprintf(line, sizeof line,
                                  "%s chronyd[%u]: Selected source 192.0.2.%u (ntp%u.example.org)",
                                  stamp, 400 + pick(100), 1 + pick(254), pick(4));
                break;
            case 42:
                n = std::snprintf(line, sizeof line,
                                  "%s dbus-daemon[%u]: [system] Successfully activated service "
                                  "'org.freedesktop.hostname1'",
                                  stamp, 600 + pick(100));
                break;
            case 43:
                n = std::snprintf(line, sizeof line,
                                  "%s sshd[%u]: Failed password for invalid user admin from "
                                  "203.0.113.%u port %u ssh2",
                                  stamp, 1000 + pick(30000), 1 + pick(254), 1024 + pick(60000));
                break;
            case 44:
                n = std::snprintf(line, sizeof line,
                                  "%s app[%u]: PUT /api/v1/items/%u status=500 after connection "
                                  "refused",
                                  stamp, 300 + pick(50), pick(100000));
                break;
            default:
                n = std::snprintf(line, sizeof line,
                                  "%s nginx[%u]: 10.%u.%u.%u - - \"GET /api/v1/items/%u HTTP/1.1\" "
                                  "200 %u \"-\" \"curl/7.88.1\"",
                                  stamp, 500 + pick(100), pick(256), pick(256), pick(256),
                                  pick(100000), 100 + pick(90000));
                break;
            }
        }
        out.line(line, static_cast<std::size_t>(n));
    }
    // Ends the text without an x.
    const char last[] = "Dec 31 23:59:59 web00 sshd[1]: Accepted publickey for deploy port 22 ssh2";
    out.line(last, sizeof last - 1);
    return out.good();
}

bool writeSyslog(TwinWriter& out, std::size_t size) { return writeLog(out, size, false); }
bool writeQuietLog(TwinWriter& out, std::size_t size) { return writeLog(out, size, true); }

bool writeLettersA(TwinWriter& out, std::size_t size) {
    const std::string line(63, 'a');
    while (out.written() < size) out.line(line.data(), line.size());
    const char last[] = "!b!c!x!";
    out.line(last, sizeof last - 1);
    return out.good();
}

// "1" or "0" as the metric answers, or the failure it reports.
std::string metricAnswer(quillmark::FileMetrics& item, const std::string& path,
                         const char* pattern) {
    quillmark::MetricRequest request;
    request.itemName = "filesystem_file";
    request.command = "regmatch";
    request.args = {path, pattern};
    try {
        std::unique_ptr<quillmark::ResultInfo> result(item.execute(request));
        return result->value;
    } catch (const quillmark::Exception& e) {
        return e.getMessage();
    }
}

// The count grep -z -c prints ("1" or "0" for a one-record file), or what went wrong.
std::string grepAnswer(const std::string& grep, const std::string& path, const char* pattern) {
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) return "no pipe";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
    std::vector<std::string> words = {grep, "-z", "-c", "-E", "-e", pattern, path};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    pid_t child = -1;
    const int spawned =
        ::posix_spawnp(&child, grep.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    std::string output;
    char buffer[256];
    ssize_t n;
    while (spawned == 0 && (n = ::read(pipeEnds[0], buffer, sizeof buffer)) != 0) {
        if (n > 0)
            output.append(buffer, static_cast<std::size_t>(n));
        else if (errno != EINTR)
            break;
    }
    ::close(pipeEnds[0]);
    if (spawned != 0) return "grep did not start";
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) > 1) return "grep failed";
    while (!output.empty() && output.back() == '\n') output.pop_back();
    return output;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Reads a file once so that both sides find it in the page cache.
void warm(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> block(1 << 20);
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
    }
}

struct Options {
    std::vector<std::size_t> sizesMiB = {1, 16, 64, 256};
    int runs = 0;  // 0: by size
    std::string dir;
    std::string grep = "grep";
    std::string only;  // when set, the cases whose pattern holds it
};

int runsFor(const Options& options, std::size_t sizeMiB) {
    if (options.runs > 0) return options.runs;
    if (sizeMiB <= 1) return 7;
    if (sizeMiB <= 16) return 5;
    return 3;
}

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--sizes=", 0) == 0) {
            options.sizesMiB.clear();
            const char* p = arg.c_str() + 8;
            while (*p != '\0') {
                char* end = nullptr;
                const unsigned long size = std::strtoul(p, &end, 10);
                if (end == p || size == 0) return false;
                options.sizesMiB.push_back(size);
                p = *end == ',' ? end + 1 : end;
                if (*end != ',' && *end != '\0') return false;
            }
        } else if (arg.rfind("--runs=", 0) == 0) {
            options.runs = std::atoi(arg.c_str() + 7);
            if (options.runs <= 0) return false;
        } else if (arg.rfind("--dir=", 0) == 0) {
            options.dir = arg.substr(6);
        } else if (arg.rfind("--only=", 0) == 0) {
            options.only = arg.substr(7);
        } else if (arg.rfind("--grep=", 0) == 0) {
            options.grep = arg.substr(7);
        } else {
            return false;
        }
    }
    if (options.dir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        options.dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    }
    return !options.sizesMiB.empty();
}

std::string cpuModel() {
    std::ifstream info("/proc/cpuinfo");
    std::string line;
    while (std::getline(info, line)) {
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    }
    return "unknown processor";
}

std::string firstLine(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "re")) {
        char buffer[256];
        if (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out = buffer;
        ::pclose(pipe);
    }
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

// A short form of an answer for the table.
std::string shortAnswer(const std::string& answer) {
    if (answer == "Pattern too costly to match.") return "too costly";
    return answer;
}

// The engine's search of `text` as Utils::regexpMatch makes it (compile, search with pair 0,
// release): its time, and the method that answered.
struct EngineRun {
    double milliseconds;
    std::string method;
};

EngineRun engineSearch(const std::string& text, const char* pattern) {
    const Clock::time_point start = Clock::now();
    quillmark::RegexpProgram* program = nullptr;
    quillmark::RegexpSearchTrace trace;
    if (quillmark::re_comp(&program, pattern) == 0) {
        int pair[1][2];
        quillmark::re_exec_limited(program, text.c_str(), 1, pair, quillmark::defaultSearchLimits(),
                                   &trace);
        quillmark::re_free(program);
    }
    EngineRun run{millisecondsSince(start), trace.method};
    if (*trace.groups != '\0') run.method += std::string("+") + trace.groups;
    return run;
}

struct Row {
    const char* pattern;
    std::string file;  // kind and size
    double project;    // ms, the metric
    double grep;       // ms
    EngineRun engine;  // its median time
    double nsPerByte;  // the engine's time per text byte
    std::string projectAnswer, grepAnswer;
};

void printHeader() {
    std::printf("%-40s %-14s %10s %10s %6s  %-10s %7s  %-7s %-6s %s\n", "case", "file",
                "project ms", "grep ms", "ratio", "method", "ns/byte", "project", "grep", "same");
}

void printRow(const Row& row) {
    const bool same = row.projectAnswer == row.grepAnswer &&
                      (row.projectAnswer == "0" || row.projectAnswer == "1");
    std::printf("%-40s %-14s %10.1f %10.1f %6.2f  %-10s %7.3f  %-7s %-6s %s\n", row.pattern,
                row.file.c_str(), row.project, row.grep, row.project / row.grep,
                row.engine.method.c_str(), row.nsPerByte, shortAnswer(row.projectAnswer).c_str(),
                shortAnswer(row.grepAnswer).c_str(), same ? "yes" : "NO");
    std::fflush(stdout);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::string text(static_cast<std::size_t>(std::max<std::streamoff>(0, in.tellg())), '\0');
    in.seekg(0);
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(std::max<std::streamsize>(0, in.gcount())));
    return text;
}

// Runs every case on one pair of files, alternating the metric, grep and the engine's search of
// the joined text in memory.
void measure(const SearchCase* cases, std::size_t count, const std::string& file, int runs,
             const std::string& linesPath, const std::string& joinedPath, const Options& options) {
    quillmark::FileMetrics item("filesystem_file");
    const std::string joined = readFile(joinedPath);
    for (std::size_t i = 0; i < count; ++i) {
        const SearchCase& c = cases[i];
        if (std::string(c.pattern).find(options.only) == std::string::npos) continue;
        std::vector<double> projectTimes, grepTimes, engineTimes;
        Row row{c.pattern, file, 0, 0, EngineRun{0, ""}, 0, "", ""};
        for (int run = 0; run < runs; ++run) {
            Clock::time_point start = Clock::now();
            {
                // The engine reports a search it gives up on on standard error, once per search.
                const qmbench::QuietStandardError quiet;
                row.projectAnswer = metricAnswer(item, linesPath, c.pattern);
            }
            projectTimes.push_back(millisecondsSince(start));
            start = Clock::now();
            row.grepAnswer = grepAnswer(options.grep, joinedPath, c.grepPattern);
            grepTimes.push_back(millisecondsSince(start));
            const qmbench::QuietStandardError quiet;
            row.engine = engineSearch(joined, c.pattern);
            engineTimes.push_back(row.engine.milliseconds);
        }
        row.project = median(projectTimes);
        row.grep = median(grepTimes);
        row.engine.milliseconds = median(engineTimes);
        row.nsPerByte = row.engine.milliseconds * 1e6 / static_cast<double>(joined.size());
        printRow(row);
    }
}

class TemporaryDirectory {
public:
    explicit TemporaryDirectory(const std::string& parent) {
        std::string pattern = parent + "/qm-search-bench-XXXXXX";
        if (::mkdtemp(&pattern[0]) != nullptr) path_ = pattern;
    }
    ~TemporaryDirectory() {
        if (!path_.empty()) ::rmdir(path_.c_str());
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Generates one pair of files with `write`, measures `cases` on them and removes them.
bool measureOnFiles(const TemporaryDirectory& dir, bool (*write)(TwinWriter&, std::size_t),
                    std::size_t bytes, const SearchCase* cases, std::size_t count,
                    const std::string& size, int runs, const Options& options) {
    const std::string linesPath = dir.path() + "/lines.log";
    const std::string joinedPath = dir.path() + "/joined.txt";
    bool written;
    {
        TwinWriter out(linesPath, joinedPath);
        written = write(out, bytes);
    }
    if (written) {
        warm(linesPath);
        warm(joinedPath);
        measure(cases, count, size, runs, linesPath, joinedPath, options);
    } else {
        std::fprintf(stderr, "cannot write the %s files in %s\n", size.c_str(), dir.path().c_str());
    }
    ::unlink(linesPath.c_str());
    ::unlink(joinedPath.c_str());
    return written;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: %s [--sizes=1,16,64,256] [--runs=N] [--dir=DIR] [--grep=PROGRAM] "
                     "[--only=TEXT]\n",
                     argv[0]);
        return 2;
    }
    quillmark::keepLargeAllocationsApart();
    // grep in the C locale, as the engine classifies bytes.
    ::setenv("LC_ALL", "C", 1);
    const TemporaryDirectory dir(options.dir);
    if (dir.path().empty()) {
        std::fprintf(stderr, "cannot make a directory in %s\n", options.dir.c_str());
        return 1;
    }

    struct utsname host;
    ::uname(&host);
    std::printf("# %s, %ld processors online, Linux %s, load average %s; %s\n", cpuModel().c_str(),
                ::sysconf(_SC_NPROCESSORS_ONLN), host.release,
                firstLine("cut -d' ' -f1-3 /proc/loadavg").c_str(),
                firstLine(options.grep + " --version").c_str());
    std::printf(
        "# medians of alternating runs (metric, grep, metric, ...), files in the page cache;"
        " grep: LC_ALL=C %s -z -c -E -e PATTERN on the joined text\n",
        options.grep.c_str());
    for (const SearchCase& c : kLogCases) {
        if (std::strcmp(c.pattern, c.grepPattern) != 0) {
            std::printf("# %s is %s for grep\n", c.pattern, c.grepPattern);
        }
    }
    std::printf(
        "# method: what answered (skip: a literal or byte the text lacks; literal: the pattern's"
        " one literal by memmem; walk; automaton; simulation), ns/byte: the engine's compile and"
        " search of the joined text in memory, per text byte\n");
    printHeader();

    const Clock::time_point start = Clock::now();
    bool ok = true;
    for (std::size_t sizeMiB : options.sizesMiB) {
        const std::string size = std::to_string(sizeMiB) + " MiB";
        for (const auto& kind :
             {std::make_pair("syslog ", writeSyslog), std::make_pair("quiet ", writeQuietLog)}) {
            ok = measureOnFiles(dir, kind.second, sizeMiB * kMiB, kLogCases,
                                sizeof kLogCases / sizeof kLogCases[0], kind.first + size,
                                runsFor(options, sizeMiB), options) &&
                 ok;
        }
    }
    ok = measureOnFiles(dir, writeLettersA, kMiB, kPathologicalCases,
                        sizeof kPathologicalCases / sizeof kPathologicalCases[0], "1 MiB a's",
                        runsFor(options, 1), options) &&
         ok;
    std::printf("# %.0f s in all\n", millisecondsSince(start) / 1000);
    return ok ? 0 : 1;
}
