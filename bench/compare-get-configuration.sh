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
# turns; a batch's cost is the Listener thread's CPU time over it divided by its requests. The
# ratio is the median of the pairs' ratios. Each pair is reported on standard error as it ends.
#
# Settings (environment): QM_BENCH_PAIRS (7), QM_BENCH_BATCH (200 requests), and
# QM_BENCH_CURRENT_BINARY / QM_BENCH_EARLIER_BINARY to use daemons built already instead of
# building them. Needs what scripts/install-deps.sh installs, git and perl.
set -euo pipefail

earlier=${1:-b8d683f}
pairs=${QM_BENCH_PAIRS:-7}
batch=${QM_BENCH_BATCH:-200}

bench_tmp=$(mktemp -d "${TMPDIR:-/tmp}/qm-compare-XXXXXX")
. "$(dirname "$0")/daemon-bench.sh"
trap bench_cleanup EXIT
trap 'exit 130' INT TERM HUP

git -C "$bench_source_dir" rev-parse --verify --quiet "$earlier^{commit}" >/dev/null ||
    { echo "no commit $earlier in this repository" >&2; exit 2; }

current_binary=${QM_BENCH_CURRENT_BINARY:-}
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

ratios=()
costs_current=()
costs_earlier=()
for pair in $(seq "$pairs"); do
    if [ $((pair % 2)) -eq 1 ]; then order="earlier current"; else order="current earlier"; fi
    declare -A cost
    for which in $order; do
        spent=$(perl "$bench_client" cpu "${pid[$which]}" "${tid[$which]}" "${port[$which]}" \
            "$batch" get_configuration)
        cost[$which]=$(awk -v ns="$spent" -v n="$batch" 'BEGIN { printf "%.3f", ns / n / 1000 }')
    done
    ratio=$(awk -v a="${cost[current]}" -v b="${cost[earlier]}" 'BEGIN { printf "%.4f", a / b }')
    ratios+=("$ratio")
    costs_current+=("${cost[current]}")
    costs_earlier+=("${cost[earlier]}")
    echo "pair $pair: this tree ${cost[current]} us, $earlier ${cost[earlier]} us, ratio $ratio" >&2
done

sorted=$(printf '%s\n' "${ratios[@]}" | sort -g)
printf 'get_configuration Listener CPU per request, this tree / %s: ratio %.2f (pairs %.2f to %.2f; %s us vs %s us); %s; Release builds, example configuration at debug level 5, %s pairs of %s-request framed batches alternating, Listener thread CPU from /proc/<pid>/task/<tid>, median of pair ratios\n' \
    "$earlier" "$(bench_median "${ratios[@]}")" "$(head -1 <<<"$sorted")" \
    "$(tail -1 <<<"$sorted")" "$(bench_median "${costs_current[@]}")" \
    "$(bench_median "${costs_earlier[@]}")" "$(bench_machine)" "$pairs" "$batch"
