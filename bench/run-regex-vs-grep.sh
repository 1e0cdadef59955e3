#!/bin/sh
# Builds qm_search_vs_grep and prints its table: every file-search case through the "regmatch"
# metric beside grep -z -c on the same joined text, on a log with error lines and a quiet one, at
# 1, 16, 64 and 256 MiB, with the medians of alternating runs, their ratio, the engine method
# that answered with its cost per text byte, and whether both gave the same answer.
#
#   bench/run-regex-vs-grep.sh [options of qm_search_vs_grep]
#
# e.g. --sizes=1,16 for a quick look, --only=ERROR for some cases, --runs=N for every size.
# The build goes to $QM_BENCH_BUILD_DIR (default build-bench in the source tree), configured with
# CMAKE_BUILD_TYPE=$QM_BENCH_BUILD_TYPE (default RelWithDebInfo); Google Benchmark must be
# installed, since the benchmarks are built only then. The files are generated in a temporary
# directory under $TMPDIR (default /tmp): at most 2 x 256 MiB at a time.
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${QM_BENCH_BUILD_DIR:-$source_dir/build-bench}
build_type=${QM_BENCH_BUILD_TYPE:-RelWithDebInfo}

cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE="$build_type" -DQM_BUILD_BENCH=ON >/dev/null
if ! cmake --build "$build_dir" -j4 --target qm_search_vs_grep >/dev/null; then
    echo "qm_search_vs_grep was not built: is Google Benchmark installed?" >&2
    exit 1
fi
exec "$build_dir/bench/qm_search_vs_grep" "$@"
