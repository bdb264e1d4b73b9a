#!/usr/bin/env bash
# Walk benchmark: mibscan's walk against snmpwalk on a local snmpd, and 200
# targets that never answer against one.
#
#   bench/walk_bench.sh [BUILD_DIR]      (default: build; needs callgrind)
#
# 1. One target, mib-2 and enterprises over SNMPv1 (the default scan's first
#    version): wall and CPU time of walk_bench (CMIB::Walk driven as a scan
#    job does) against `snmpwalk -v1 -On` of the same two subtrees, best of 3,
#    then instructions per variable for both under callgrind.
# 2. 200 closed loopback ports, Timeout=200000 us, Retry=0, versions 1, 2, 3
#    with fallback: the whole run against the run of one such target.
# Rows are counted from walk_bench's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
export MIBS=""  # numeric OIDs only, for every program here
build=${1:-build}
cmake --build "$build" -j2 --target walk_bench >/dev/null
bench="$PWD/$build/walk_bench"

work=$(mktemp -d /tmp/mibscan-walkbench-XXXXXX)
agent_pid=""
cleanup() {
  if [ -n "$agent_pid" ]; then kill "$agent_pid" 2>/dev/null || true; wait "$agent_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# The agent: stable MIB (no process or package tables), our own config only.
mkdir -p "$work/persist"
cat >"$work/snmpd.conf" <<EOF
[snmp] persistentDir $work/persist
[snmp] noPersistentLoad yes
rocommunity public 127.0.0.1
dontLogTCPWrappersConnects yes
EOF
for try in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 20000))
  MIBS="" snmpd -f -C -c "$work/snmpd.conf" -Lf "$work/snmpd.log" -p "$work/snmpd.pid" \
    -I -hrSWRunTable,hrSWRunPerfTable,hrSWInstalledTable "udp:127.0.0.1:$port" &
  agent_pid=$!
  for _ in $(seq 50); do
    if MIBS="" snmpget -v1 -c public -t 0.2 -r 0 -On "127.0.0.1:$port" 1.3.6.1.2.1.1.3.0 >/dev/null 2>&1; then
      break 2
    fi
    kill -0 "$agent_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$agent_pid" 2>/dev/null || true; wait "$agent_pid" 2>/dev/null || true; agent_pid=""
done
[ -n "$agent_pid" ] || { echo "could not start snmpd"; exit 1; }
target="127.0.0.1:$port"

# wall user+sys of a command, best of 3 by wall time
best_of_3() {
  local best_wall="" best_cpu=""
  for _ in 1 2 3; do
    /usr/bin/time -f "%e %U %S" -o "$work/time" "$@" >/dev/null 2>&1
    read -r wall user sys <"$work/time"
    cpu=$(echo "$user + $sys" | bc -l)
    if [ -z "$best_wall" ] || (( $(echo "$wall < $best_wall" | bc -l) )); then best_wall=$wall; best_cpu=$cpu; fi
  done
  echo "$best_wall $best_cpu"
}

snmpwalk_both() {
  MIBS="" snmpwalk -v1 -c public -On -t 5 -r 1 "$target" 1.3.6.1.2.1
  MIBS="" snmpwalk -v1 -c public -On -t 5 -r 1 "$target" 1.3.6.1.4.1
}
export -f snmpwalk_both
export target

vars=$(snmpwalk_both | grep -c '^\.[0-9.]* = ')
"$bench" --timeout 5000000 --retry 1 --summary "$work/summary" "$target" >/dev/null 2>&1
rows=$(awk '$1=="total"{print $2}' "$work/summary")

read -r m_wall m_cpu < <(best_of_3 "$bench" --timeout 5000000 --retry 1 --summary "$work/s2" "$target")
read -r s_wall s_cpu < <(best_of_3 bash -c snmpwalk_both)

instructions() {  # total Ir of a callgrind run of the command
  valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" "$@" >/dev/null 2>&1
  grep -E '^(summary|totals):' "$work/cg.out" | head -1 | awk '{print $2}'
}
m_ir=$(instructions "$bench" --timeout 5000000 --retry 1 --summary "$work/s3" "$target")
s_ir1=$(instructions snmpwalk -v1 -c public -On -t 5 -r 1 "$target" 1.3.6.1.2.1)
s_ir2=$(instructions snmpwalk -v1 -c public -On -t 5 -r 1 "$target" 1.3.6.1.4.1)
s_ir=$((s_ir1 + s_ir2))

# 200 targets that never answer: closed ports on loopback addresses.
dead=()
for i in $(seq 1 200); do dead+=("127.0.1.$((i % 250 + 1)):$((40000 + i))"); done
read -r d1_wall d1_cpu < <(best_of_3 "$bench" --timeout 200000 --retry 0 --versions 1,2,3 --summary "$work/d1" "${dead[0]}")
/usr/bin/time -f "%e %U %S" -o "$work/time" "$bench" --timeout 200000 --retry 0 --versions 1,2,3 \
  --summary "$work/d200" "${dead[@]}" >/dev/null 2>&1
read -r d200_wall d200_user d200_sys <"$work/time"
dead_rows=$(awk '$1=="total"{print $2}' "$work/d200")

ratio() { echo "scale=2; $1 / $2" | bc -l; }
echo "walk of mib-2 + enterprises, SNMPv1, $target: $vars variables (snmpwalk), $rows rows stored (mibscan)"
printf "%-28s %12s %12s %12s\n" "" "mibscan" "snmpwalk" "ratio"
printf "%-28s %12s %12s %12s\n" "wall time (s, best of 3)" "$m_wall" "$s_wall" "$(ratio "$m_wall" "$s_wall")"
printf "%-28s %12s %12s %12s\n" "CPU time (s, same run)" "$m_cpu" "$s_cpu" "$(ratio "$m_cpu" "$s_cpu")"
printf "%-28s %12s %12s %12s\n" "instructions per variable" "$((m_ir / vars))" "$((s_ir / vars))" \
  "$(ratio "$m_ir" "$s_ir")"
echo
echo "targets that never answer (Timeout=200000, Retry=0, versions 1,2,3): rows stored $dead_rows"
printf "%-28s %12s\n" "1 target wall (s)" "$d1_wall"
printf "%-28s %12s\n" "200 targets wall (s)" "$d200_wall"
printf "%-28s %12s\n" "ratio" "$(ratio "$d200_wall" "$d1_wall")"
