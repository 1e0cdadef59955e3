#!/usr/bin/env bash
# Installs the dependencies, then builds and runs the whole test suite twice: a plain build and a
# build with AddressSanitizer and UndefinedBehaviorSanitizer, both with warnings as errors. Run
# as root on Debian.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

# Every tracked source in the layout .clang-format gives; the names of those that differ.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t sources < <(git ls-files -- '*.cpp' '*.h')
else
  mapfile -t sources < <(find . -path ./build-test-plain -prune -o -path ./build-test-sanitize -prune \
    -o \( -name '*.cpp' -o -name '*.h' \) -print | sed 's|^\./||' | sort)
fi
unformatted=()
for source in "${sources[@]}"; do
  clang-format --dry-run --Werror "$source" >/dev/null 2>&1 || unformatted+=("$source")
done
if [ ${#unformatted[@]} -gt 0 ]; then
  echo "These sources differ from .clang-format (clang-format -i fixes them):" >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  exit 1
fi

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
