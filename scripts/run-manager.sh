#!/usr/bin/env bash
# Installs the dependencies, builds the manager and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target quillmark_agent_managerd

manager=build/manager/quillmark_agent_managerd
"$manager" --version || true
"$manager" --help || true
