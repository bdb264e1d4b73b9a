#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UBSan) and runs each
# of them for its share of a time budget, starting from a scratch copy of its
# seed corpus. Exits non-zero when a fuzzer finds a crash; the crashing inputs
# are kept in build-fuzz/artifacts/<fuzzer>/.
#
# usage: scripts/fuzz.sh [SECONDS]   (budget for all fuzzers together; default 60)
set -euo pipefail
cd "$(dirname "$0")/.."

budget=${1:-60}
if ! [[ "$budget" =~ ^[0-9]+$ ]] || [ "$budget" -lt 1 ]; then
  echo "usage: $0 [SECONDS]  (a positive whole number; default 60)" >&2
  exit 2
fi

source scripts/packages.sh
install_missing_packages "${BUILD_PACKAGES[@]}" clang libclang-rt-14-dev

cmake -S . -B build-fuzz -DMIBSCAN_FUZZ=ON -DMIBSCAN_TESTS=OFF \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null
cmake --build build-fuzz -j2

fuzzers=()
for src in fuzz/*_fuzzer.cpp; do fuzzers+=("$(basename "$src" .cpp)"); done
if [ ${#fuzzers[@]} -eq 0 ]; then
  echo "no fuzzers in fuzz/" >&2
  exit 2
fi
share=$(( budget / ${#fuzzers[@]} ))
[ "$share" -lt 1 ] && share=1

scratch=$(mktemp -d "${TMPDIR:-/tmp}/mibscan-fuzz-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# UBSan findings must stop the run like ASan's, or libFuzzer never sees them.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:abort_on_error=1:print_stacktrace=1}

status=0
for name in "${fuzzers[@]}"; do
  corpus="$scratch/$name/corpus"
  artifacts="build-fuzz/artifacts/$name"
  mkdir -p "$corpus" "$artifacts"
  [ -d "fuzz/corpus/$name" ] && cp -R "fuzz/corpus/$name/." "$corpus/"
  args=(-max_total_time="$share" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$artifacts/")
  [ -f "fuzz/$name.dict" ] && args+=(-dict="fuzz/$name.dict")
  echo "== $name: ${share}s"
  if ! "build-fuzz/$name" "${args[@]}" "$corpus" >"$scratch/$name.log" 2>&1; then
    status=1
    echo "!! $name failed; its output ends with:" >&2
    tail -n 40 "$scratch/$name.log" >&2
    echo "!! crashing inputs: $artifacts/" >&2
  else
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$scratch/$name.log" || true
  fi
done
exit $status
