#!/usr/bin/env bash
# Installs what the build needs, builds the program twice (plain, and with
# AddressSanitizer + UndefinedBehaviorSanitizer) and runs every test in both.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
install_missing_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

jobs=2
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIBSCAN_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DMIBSCAN_SANITIZE=ON -DMIBSCAN_TESTS=ON >/dev/null
cmake --build build-asan -j"$jobs"

status=0
echo "== fuzzers (60 s in all)"
bash scripts/fuzz.sh 60 || status=1
echo "== tests (plain build)"
(cd build && ctest -j"$jobs" --output-on-failure) || status=1
echo "== tests (sanitizer build)"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest -j"$jobs" --output-on-failure) || status=1
exit $status
