#!/usr/bin/env bash
# Installs the dependencies, then builds and runs the whole test suite twice: a plain build and a
# build with AddressSanitizer and UndefinedBehaviorSanitizer, both with warnings as errors. Run
# as root on Debian.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

for variant in plain sanitize; do
  dir=build-test-$variant
  option=OFF
  [ "$variant" = sanitize ] && option=ON
  echo "== $variant build =="
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_SANITIZE=$option -DQM_WERROR=ON \
    >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure --no-tests=error -j"$jobs"
done
