# Shell functions of the daemon benchmarks in this directory; sourced, not run. Each script that
# sources it sets bench_tmp (a temporary directory it owns) first and calls bench_cleanup from its
# exit trap: every daemon started here is stopped by its PID, and the directory removed.
#
# Needs what scripts/install-deps.sh installs, git, perl and awk.

bench_source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench_client="$bench_source_dir/bench/request-batch.pl"
bench_pids=()

# The machine in a few words: processors and CPU model.
bench_machine() {
    local model
    model=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo)
    echo "$(nproc) CPUs, ${model:-unknown CPU}"
}

# Builds the daemon of the source tree $1 into $2 (Release, without tests and benchmarks).
bench_build_tree() {
    cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release -DQM_BUILD_TESTS=OFF -DQM_BUILD_BENCH=OFF \
        >"$2.configure.log" 2>&1 || { cat "$2.configure.log" >&2; return 1; }
    cmake --build "$2" -j4 --target quillmark_agent_managerd >"$2.build.log" 2>&1 ||
        { tail -30 "$2.build.log" >&2; return 1; }
}

# Builds the daemon of commit $1 of this repository under $2: its tree in $2/src, the build in
# $2/build.
bench_build_commit() {
    mkdir -p "$2/src"
    git -C "$bench_source_dir" archive "$1" | tar -x -C "$2/src"
    bench_build_tree "$2/src" "$2/build"
}

# A loopback port that was free a moment ago.
bench_free_port() {
    perl -MIO::Socket::INET -e '
        my $s = IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 0, Listen => 1)
            or die "no free port: $!\n";
        print $s->sockport, "\n";'
}

# Starts daemon binary $1 in directory $2 (created) on a copy of the example configuration whose
# paths point into $2, with the debug level $4 (default 5), listening on 127.0.0.1 port $3; the
# agent's service commands are a stand-in script that records its calls. Once its PID file is
# written and the port accepts, sets bench_pid to the daemon's PID (and counts it among those
# bench_stop_daemons stops); call it directly, not in a command substitution.
bench_start_daemon() {
    local binary=$1 dir=$2 port=$3 level=${4:-5}
    mkdir -p "$dir/logs" "$dir/agent_manager/temp"
    cat >"$dir/agent-service.sh" <<AGENT
#!/bin/sh
echo "agent \$1" >> "$dir/logs/agent-service.log"
AGENT
    chmod 755 "$dir/agent-service.sh"
    "$bench_source_dir/scripts/example-configuration.sh" "$dir" "ManagerPort=$port" \
        ManagerIp=127.0.0.1 "ManagerDebugLevel=$level" >"$dir/quillmark_agentd.xml"
    "$binary" -c "$dir/quillmark_agentd.xml" >"$dir/start.log" 2>&1 || true
    local pid=
    for _ in $(seq 100); do
        [ -s "$dir/quillmark_agent_managerd.pid" ] && pid=$(cat "$dir/quillmark_agent_managerd.pid")
        if [ -n "$pid" ] && (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            bench_pids+=("$pid")
            bench_pid=$pid
            return 0
        fi
        sleep 0.1
    done
    echo "the daemon in $dir did not start:" >&2
    cat "$dir/start.log" >&2
    return 1
}

# Stops every daemon started here: SIGTERM, then SIGKILL for one still there after 5 s.
bench_stop_daemons() {
    local pid
    for pid in "${bench_pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || continue
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null || true
    done
    bench_pids=()
}

bench_cleanup() {
    bench_stop_daemons
    [ -n "${bench_tmp:-}" ] && rm -rf "$bench_tmp"
}
