#!/usr/bin/env bash
# Installs what is missing, builds three ways and runs the tests of each:
#   build/       the normal build, every test (GL tests headless, window tests under Xvfb), and
#                the library installed into a scratch prefix with examples/ built against it;
#   build-asan/  AddressSanitizer + UndefinedBehaviorSanitizer, no recovery;
#   build-tsan/  ThreadSanitizer: the tests labelled core, and the one labelled tsan-qt, which
#                drives the desktop's message boxes from worker threads (Qt's offscreen platform);
#   build-fuzz/  only in CI (CI=true) or when CD_FUZZ_SECONDS is set: every libFuzzer target for
#                CD_FUZZ_SECONDS seconds (default 20, which keeps a whole CI run near 20 minutes)
#                through scripts/fuzz.sh.
# The sanitizer builds skip the Qt program and its window tests (Qt itself is not instrumented):
# build-asan builds no Qt code, build-tsan only what the tsan-qt test needs. Any failure or
# sanitizer report fails the run. The Python module is built and tested in build/ only: a
# sanitized extension cannot be loaded into Debian's uninstrumented interpreter.
source "$(dirname "$0")/common.sh"
install_packages
jobs="$(nproc)"

build build -DCD_WARNINGS_AS_ERRORS=ON
(cd "$ROOT/build" && ctest --output-on-failure -j "$jobs")
"$ROOT/scripts/check_install.sh" "$ROOT/build"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$ROOT/tests/sanitizers/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
build build-asan -DCD_SANITIZE=address -DCD_BUILD_GUI=OFF -DCD_BUILD_PYTHON=OFF -DCD_BUILD_BENCHMARKS=OFF -DCMAKE_BUILD_TYPE=Debug
(cd "$ROOT/build-asan" && ctest --output-on-failure -j "$jobs")

export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
build build-tsan -DCD_SANITIZE=thread -DCD_BUILD_GUI=ON -DCD_BUILD_PYTHON=OFF -DCD_BUILD_BENCHMARKS=OFF \
  -DCMAKE_BUILD_TYPE=Debug -- tests-core tests-tsan-qt
(cd "$ROOT/build-tsan" && ctest --output-on-failure -j "$jobs" -L core)
# Calls that Qt's own (uninstrumented) code makes into the C library are not checked there.
(cd "$ROOT/build-tsan" &&
  TSAN_OPTIONS="$TSAN_OPTIONS:suppressions=$ROOT/tests/sanitizers/tsan_qt.supp" \
  ctest --output-on-failure -j "$jobs" -L tsan-qt)

if [ "${CI:-}" = "true" ] || [ -n "${CD_FUZZ_SECONDS:-}" ]; then
  "$ROOT/scripts/fuzz.sh" "${CD_FUZZ_SECONDS:-20}"
fi

echo "All test builds passed."
