#!/usr/bin/env bash
# Installs the dependencies, builds the manager and starts it as a daemon on a copy of the example
# configuration whose paths point into ./run (log, PID file, installation root). The agent's
# service commands are replaced by a stand-in script that only records each call.
#   scripts/run-manager.sh          start (stops a manager started here before)
#   scripts/run-manager.sh stop     stop it
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
run="$top/run"
pidfile="$run/quillmark_agent_managerd.pid"

stop_manager() {
  if [ -f "$pidfile" ]; then
    pid=$(cat "$pidfile")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
}

if [ "${1:-}" = stop ]; then
  stop_manager
  echo "stopped"
  exit 0
fi

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target quillmark_agent_managerd

stop_manager
mkdir -p "$run/logs" "$run/agent_manager" "$run/conf"
cat > "$run/agent-service.sh" <<AGENT
#!/bin/sh
# Stand-in for the agent's init script: records the call and succeeds.
echo "\$(date '+%F %T') agent \$1" >> "$run/logs/agent-service.log"
AGENT
chmod 755 "$run/agent-service.sh"

# Every path of the example in ./run.
scripts/example-configuration.sh "$run" > "$run/conf/quillmark_agentd.xml"

build/manager/quillmark_agent_managerd -c "$run/conf/quillmark_agentd.xml"
for _ in $(seq 50); do [ -s "$pidfile" ] && break; sleep 0.1; done
port=$(awk '/<key>ManagerPort<\/key>/ { getline; gsub(/.*<value>|<\/value>.*/, ""); print }' "$run/conf/quillmark_agentd.xml")
echo "quillmark_agent_managerd is running (pid $(cat "$pidfile" 2>/dev/null || echo '?')) on 127.0.0.1:$port"
echo "log: $run/logs/quillmark_agent_managerd.log"
# bash's /dev/tcp needs no extra tool; the manager closes the connection after its reply.
echo "try: bash -c 'exec 3<>/dev/tcp/127.0.0.1/$port; printf \"get_configuration\\n\" >&3; tr \"\\0\" \"\\n\" <&3'"
echo "stop: scripts/run-manager.sh stop"
