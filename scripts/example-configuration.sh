#!/usr/bin/env bash
# Prints examples/quillmark_agentd.xml with every path it names moved into the directory DIR: the
# log files, the PID files and the installation root (DIR/agent_manager), and the agent's service
# commands replaced by DIR/agent-service.sh with "start" or "stop". Each KEY=VALUE given after DIR
# sets that key's value as well. The directories and the stand-in script are the caller's to make.
#   scripts/example-configuration.sh DIR [KEY=VALUE...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift

# The value follows its key in the file.
awk -v dir="$dir" -v settings="$(printf '%s\n' "$@")" '
  BEGIN {
    v["ManagerLogFile"] = dir "/logs/quillmark_agent_managerd.log"
    v["ManagerPidFile"] = dir "/quillmark_agent_managerd.pid"
    v["ManagerInstallationRoot"] = dir "/agent_manager"
    v["AgentServiceStart"] = dir "/agent-service.sh start"
    v["AgentServiceStop"] = dir "/agent-service.sh stop"
    v["TempFileLocation"] = dir "/agent_manager"
    v["LogFile"] = dir "/logs/quillmark_agentd.log"
    v["PidFile"] = dir "/quillmark_agentd.pid"
    n = split(settings, given, "\n")
    for (i = 1; i <= n; ++i) {
      at = index(given[i], "=")
      if (at > 1) v[substr(given[i], 1, at - 1)] = substr(given[i], at + 1)
    }
  }
  match($0, /<key>[^<]*<\/key>/) { key = substr($0, RSTART + 5, RLENGTH - 11) }
  /<value>/ && (key in v) { sub(/<value>.*<\/value>/, "<value>" v[key] "</value>"); key = "" }
  { print }
' "$top/examples/quillmark_agentd.xml"
