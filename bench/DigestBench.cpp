// File digests: FileMetrics::md5sum against the md5sum command and FileMetrics::cksum against the
// cksum command, on the same files of 1, 16 and 60 MiB held in the page cache. A command's time
// includes starting it, as a caller that shells out would pay it.
//
// Compare medians of alternating runs, for instance:
//   qm_digest_bench --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true
//                   --benchmark_report_aggregates_only=true
// and divide the command's median by the metric's (above 1: the metric is faster).
#include "quillmark/Exception.h"
#include "quillmark/FileMetrics.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

extern char** environ;

namespace {

// Files of pseudo-random bytes in a temporary directory, made on first use and removed at exit.
class SampleFiles {
public:
    ~SampleFiles() {
        for (const auto& entry : paths_) ::unlink(entry.second.c_str());
        if (!directory_.empty()) ::rmdir(directory_.c_str());
    }

    // The path of a file of `size` bytes, read once so that it sits in the page cache; empty when
    // it cannot be made.
    const std::string& fileOf(std::size_t size) {
        auto found = paths_.find(size);
        if (found != paths_.end()) return found->second;
        std::string& path = paths_[size];
        if (directory_.empty()) {
            char pattern[] = "/tmp/qm-digest-bench-XXXXXX";
            if (::mkdtemp(pattern) == nullptr) return path;
            directory_ = pattern;
        }
        const std::string candidate = directory_ + "/sample-" + std::to_string(size);
        if (write(candidate, size) && warm(candidate)) path = candidate;
        return path;
    }

private:
    static bool write(const std::string& path, std::size_t size) {
        FILE* file = std::fopen(path.c_str(), "wbe");
        if (file == nullptr) return false;
        std::vector<std::uint64_t> block(8192);
        std::uint64_t seed = 0x9E3779B97F4A7C15ull;
        bool ok = true;
        for (std::size_t done = 0; ok && done < size;) {
            for (std::uint64_t& word : block) {
                seed ^= seed << 13;
                seed ^= seed >> 7;
                seed ^= seed << 17;
                word = seed;
            }
            const std::size_t bytes = block.size() * sizeof block[0];
            const std::size_t n = size - done < bytes ? size - done : bytes;
            ok = std::fwrite(block.data(), 1, n, file) == n;
            done += n;
        }
        return std::fclose(file) == 0 && ok;
    }

    static bool warm(const std::string& path) {
        FILE* file = std::fopen(path.c_str(), "rbe");
        if (file == nullptr) return false;
        std::vector<char> block(1 << 20);
        while (std::fread(block.data(), 1, block.size(), file) > 0) {
        }
        std::fclose(file);
        return true;
    }

    std::string directory_;
    std::map<std::size_t, std::string> paths_;
};

SampleFiles& samples() {
    static SampleFiles files;
    return files;
}

// Runs `program path` with its output discarded; true when it exits with status 0.
bool runCommand(const char* program, const std::string& path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv = {const_cast<char*>(program), const_cast<char*>(path.c_str()),
                               nullptr};
    pid_t child = -1;
    const int error = ::posix_spawnp(&child, program, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) return false;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

using Operation =
    quillmark::ResultInfo* (quillmark::FileMetrics::*)(const quillmark::MetricRequest&);

void measureMetric(benchmark::State& state, const char* command, Operation operation) {
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    const std::string& path = samples().fileOf(size);
    if (path.empty()) {
        state.SkipWithError("cannot make the sample file");
        return;
    }
    quillmark::FileMetrics item("filesystem_file");
    quillmark::MetricRequest request;
    request.itemName = "filesystem_file";
    request.command = command;
    request.args.push_back(path);
    for (auto _ : state) {
        try {
            std::unique_ptr<quillmark::ResultInfo> result((item.*operation)(request));
            benchmark::DoNotOptimize(result->value.data());
        } catch (const quillmark::Exception& e) {
            state.SkipWithError(e.getMessage());
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(size));
}

void measureCommand(benchmark::State& state, const char* program) {
    const std::size_t size = static_cast<std::size_t>(state.range(0));
    const std::string& path = samples().fileOf(size);
    if (path.empty()) {
        state.SkipWithError("cannot make the sample file");
        return;
    }
    for (auto _ : state) {
        if (!runCommand(program, path)) {
            state.SkipWithError("the command failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(size));
}

void BM_Md5sumMetric(benchmark::State& state) {
    measureMetric(state, "md5sum", &quillmark::FileMetrics::md5sum);
}
void BM_Md5sumCommand(benchmark::State& state) { measureCommand(state, "md5sum"); }
void BM_CksumMetric(benchmark::State& state) {
    measureMetric(state, "cksum", &quillmark::FileMetrics::cksum);
}
void BM_CksumCommand(benchmark::State& state) { measureCommand(state, "cksum"); }

void sizes(benchmark::internal::Benchmark* bench) {
    bench->Arg(1 << 20)->Arg(16 << 20)->Arg(60 << 20)->UseRealTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Md5sumMetric)->Apply(sizes);
BENCHMARK(BM_Md5sumCommand)->Apply(sizes);
BENCHMARK(BM_CksumMetric)->Apply(sizes);
BENCHMARK(BM_CksumCommand)->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
