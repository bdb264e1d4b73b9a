#!/usr/bin/env bash
# Installs what the build needs, builds the program twice (plain, and with
# AddressSanitizer + UndefinedBehaviorSanitizer) and runs every test in both.
# Ends with one verdict per stage, so the last lines of a log say what failed.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
install_missing_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

jobs=2
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIBSCAN_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DMIBSCAN_SANITIZE=ON -DMIBSCAN_TESTS=ON >/dev/null
cmake --build build-asan -j"$jobs"

verdicts=()
status=0
record() {  # stage, exit code
  if [ "$2" -eq 0 ]; then verdicts+=("passed: $1"); else verdicts+=("FAILED: $1"); status=1; fi
}

echo "== fuzzers (60 s in all)"
rc=0; bash scripts/fuzz.sh 60 || rc=$?
record "fuzzers" $rc

echo "== tests (plain build)"
rc=0; (cd build && ctest -j"$jobs" --output-on-failure) || rc=$?
record "tests, plain build" $rc
plain_rc=$rc

echo "== tests (sanitizer build)"
rc=0
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest -j"$jobs" --output-on-failure) || rc=$?
record "tests, sanitizer build" $rc
asan_rc=$rc

echo "== verdict"
for v in "${verdicts[@]}"; do echo "$v"; done
for pair in "build $plain_rc" "build-asan $asan_rc"; do
  set -- $pair
  failed="$1/Testing/Temporary/LastTestsFailed.log"
  if [ "$2" -ne 0 ] && [ -s "$failed" ]; then
    echo "failed in $1:"; sed 's/^/  /' "$failed"
    # Once more, only so the end of the log shows why; the verdict stands.
    echo "-- $1: the failed tests once more, their output:"
    (cd "$1" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 ctest --rerun-failed --output-on-failure 2>&1 | tail -n 60) || true
  fi
done
ls build-fuzz/artifacts/*/* 2>/dev/null | sed 's/^/fuzzer crash input: /' || true
exit $status
