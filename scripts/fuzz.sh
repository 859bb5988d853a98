#!/usr/bin/env bash
# Builds the libFuzzer targets with Debian's clang, ASan and UBSan in their own build folder and
# runs each for SECONDS (default 60), one after the other, printing per target the executions,
# the coverage and any finding. Usage: scripts/fuzz.sh [SECONDS] [TARGET...] (all by default).
# FUZZ_BUILD_DIR picks the build folder (default build-fuzz). Findings land in
# FUZZ_BUILD_DIR/findings/<target>/; the growing work corpus in FUZZ_BUILD_DIR/work/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
build=${FUZZ_BUILD_DIR:-build-fuzz}

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in fuzz/fuzz_*.cpp; do
    targets+=("$(basename "$source" .cpp)")
  done
fi

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" \
  -DCORVANE_SANITIZE=address,undefined -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCORVANE_BUILD_TESTS=OFF -DCORVANE_BUILD_BENCH=OFF \
  -DCORVANE_PYTHON=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null

# Every sanitizer report is a finding; the attribute file target wants a tmpfs.
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
[ -d /dev/shm ] && export TMPDIR=/dev/shm

failed=0
for target in "${targets[@]}"; do
  work="$build/work/$target"
  findings="$build/findings/$target"
  log="$build/logs/$target.log"
  mkdir -p "$work" "$findings" "$(dirname "$log")" "fuzz/regressions/$target"
  status=0
  started=$(mktemp)
  # One process on one core (no -jobs: that forks a child whose log goes elsewhere).
  "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$findings/" "$work" "fuzz/corpus/$target" "fuzz/regressions/$target" \
    >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1 || true)
  found=$(find "$findings" -type f -newer "$started" | wc -l)
  rm -f "$started"
  printf '%s: %s executions, %s exec/s, %s, %s finding(s)\n' "$target" "${runs:-?}" \
    "${rate:-?}" "${coverage:-no coverage line}" "$found"
  if [ "$status" -ne 0 ] || [ "$found" -ne 0 ]; then
    failed=1
    grep -m5 -E 'ERROR|runtime error|fuzz_[a-z_]*: ' "$log" | sed 's/^/  /' || true
    echo "  log: $log; inputs: $findings"
  fi
done
exit $failed
