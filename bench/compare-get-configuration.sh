#!/usr/bin/env bash
# Compares the Listener's CPU time per get_configuration request of this tree with an earlier
# commit's, and prints the ratio (this tree / earlier) with its pair range, the machine and the
# method in one line.
#
#   bench/compare-get-configuration.sh [commit]      (default b8d683f)
#
# Both daemons are Release builds made in a temporary directory: the commit's tree taken from the
# repository with git archive, and this working tree as it is (uncommitted changes included).
# Each runs on its own copy of examples/quillmark_agentd.xml (debug level 5, paths in the
# temporary directory, a stand-in agent script). After a warm-up batch, which also finds the
# Listener's thread (the one that spent the most CPU time in it), batches of framed
# get_configuration requests alternate between the two daemons, the first of each pair taking
# turns. A batch's cost is the Listener thread's CPU time (its run time in
# /proc/<pid>/task/<tid>/schedstat, or utime + stime from its stat line) from the batch's start to
# the start of the same daemon's next batch, so that what it does after its last reply counts,
# divided by the batch's requests. The ratio is the median of the pairs' ratios. Each pair is
# reported on standard error.
#
# Settings (environment): QM_BENCH_PAIRS (21), QM_BENCH_BATCH (200 requests), and
# QM_BENCH_CURRENT_BINARY / QM_BENCH_EARLIER_BINARY to use daemons built already instead of
# building them. Needs what scripts/install-deps.sh installs, git and perl.
set -euo pipefail

earlier=${1:-b8d683f}
pairs=${QM_BENCH_PAIRS:-21}
batch=${QM_BENCH_BATCH:-200}

bench_tmp=$(mktemp -d "${TMPDIR:-/tmp}/qm-compare-XXXXXX")
. "$(dirname "$0")/daemon-bench.sh"
trap bench_cleanup EXIT
trap 'exit 130' INT TERM HUP

git -C "$bench_source_dir" rev-parse --verify --quiet "$earlier^{commit}" >/dev/null ||
    { echo "no commit $earlier in this repository" >&2; exit 2; }

current_binary=${QM_BENCH_CURRENT_BINARY:-}
current=${current_binary:-this tree}
earlier_name=${QM_BENCH_EARLIER_BINARY:-$earlier}
if [ -z "$current_binary" ]; then
    echo "building this tree..." >&2
    bench_build_tree "$bench_source_dir" "$bench_tmp/current-build"
    current_binary=$bench_tmp/current-build/manager/quillmark_agent_managerd
fi
earlier_binary=${QM_BENCH_EARLIER_BINARY:-}
if [ -z "$earlier_binary" ]; then
    echo "building $earlier..." >&2
    bench_build_commit "$earlier" "$bench_tmp/earlier"
    earlier_binary=$bench_tmp/earlier/build/manager/quillmark_agent_managerd
fi

declare -A pid port tid
for which in current earlier; do
    binary_var=${which}_binary
    port[$which]=$(bench_free_port)
    bench_start_daemon "${!binary_var}" "$bench_tmp/run-$which" "${port[$which]}" 5
    pid[$which]=$bench_pid
    tid[$which]=$(perl "$bench_client" busiest "${pid[$which]}" "${port[$which]}" "$batch" \
        get_configuration)
done

perl "$bench_client" alternate "$batch" "$pairs" get_configuration \
    "${pid[current]}:${tid[current]}:${port[current]}" \
    "${pid[earlier]}:${tid[earlier]}:${port[earlier]}" >"$bench_tmp/pairs.txt"

# Each line: the two daemons' nanoseconds per request in one pair of batches.
awk -v this="$current" -v earlier="$earlier_name" -v machine="$(bench_machine)" \
    -v batch="$batch" '
    function median(values, n,    sorted, i, j, v) {
        for (i = 1; i <= n; ++i) {
            v = values[i]
            for (j = i - 1; j >= 1 && sorted[j] > v; --j) sorted[j + 1] = sorted[j]
            sorted[j + 1] = v
        }
        return n % 2 ? sorted[(n + 1) / 2] : (sorted[n / 2] + sorted[n / 2 + 1]) / 2
    }
    {
        ++n; current[n] = $1; previous[n] = $2; ratio[n] = $1 / $2
        printf "pair %d: %s %.1f us, %s %.1f us, ratio %.3f\n", n, this, $1 / 1000,
            earlier, $2 / 1000, ratio[n] > "/dev/stderr"
        if (n == 1 || ratio[n] < low) low = ratio[n]
        if (n == 1 || ratio[n] > high) high = ratio[n]
    }
    END {
        printf "get_configuration Listener CPU per request, %s / %s: ratio %.2f " \
            "(pairs %.2f to %.2f; medians %.1f us and %.1f us); %s; Release builds, example " \
            "configuration at debug level 5, %d pairs of %d-request framed batches " \
            "alternating, Listener thread CPU from /proc/<pid>/task/<tid>, median of pair " \
            "ratios\n", this, earlier, median(ratio, n), low, high, median(current, n) / 1000,
            median(previous, n) / 1000, machine, n, batch
    }' "$bench_tmp/pairs.txt"
