#!/usr/bin/env bash
# Fuzzes each target in fuzz/ for SECONDS (default 60), one after the other:
#   scripts/fuzz.sh [SECONDS] [TARGET...]
# Builds build-fuzz/ with clang (libFuzzer, ASan, UBSan). Every run starts by replaying the
# target's seeds in fuzz/corpus/<target>/; what it learns goes to build-fuzz/corpus/<target>/,
# and an input that fails is written to build-fuzz/findings/ and ends the script with status 1.
# Replay one with build-fuzz/fuzz/<target> FILE; shrink it with -minimize_crash=1.
source "$(dirname "$0")/common.sh"
seconds="${1:-60}"
shift || true
install_packages
CC=clang CXX=clang++ build build-fuzz -DCD_BUILD_FUZZERS=ON -DCD_BUILD_GUI=OFF -DCD_BUILD_PYTHON=OFF \
  -DCD_BUILD_BENCHMARKS=OFF -DBUILD_TESTING=OFF -DCD_WARNINGS_AS_ERRORS=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
targets=("$@")
[ "${#targets[@]}" -eq 0 ] && mapfile -t targets < "$ROOT/build-fuzz/fuzz/targets.txt"
mkdir -p "$ROOT/build-fuzz/findings"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export LSAN_OPTIONS="suppressions=$ROOT/tests/sanitizers/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
for target in "${targets[@]}"; do
  mkdir -p "$ROOT/build-fuzz/corpus/$target"
  echo "== $target: ${seconds} s"
  if ! "$ROOT/build-fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$ROOT/build-fuzz/findings/$target-" \
      "$ROOT/build-fuzz/corpus/$target" "$ROOT/fuzz/corpus/$target" 2> "$ROOT/build-fuzz/$target.log"; then
    tail -n 40 "$ROOT/build-fuzz/$target.log"
    echo "$target found a failing input: see build-fuzz/findings/" >&2
    exit 1
  fi
  grep -E "^stat::number_of_executed_units|^Done" "$ROOT/build-fuzz/$target.log" || true
done
echo "Fuzzing passed: ${targets[*]}"
