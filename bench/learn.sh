#!/usr/bin/env bash
# Learn=1: 50 targets whose agent answers SNMPv2c but refuses SNMPv1 (one
# snmpd on 127.0.2.1 ... 127.0.2.50, its scan community in a v2c-only group;
# view: the system, interfaces and snmp groups), Timeout=300000, Retry=1.
# The first run with Learn=1 pays the v1 time-outs and writes devices.csv;
# the second starts every target at v2c. Wall time of each, and the result
# files of the two runs and of a run without Learn compared byte for byte.
#
#   bench/learn.sh [BUILD_DIR]   (default build-bench; well under a minute)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
source scripts/agent.sh
install_missing_packages "${BUILD_PACKAGES[@]}" time
build=${1:-build-bench}
[ -f "$build/CMakeCache.txt" ] ||
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIBSCAN_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target mibscan >/dev/null
export MIBS=""

work=$(mktemp -d /tmp/mibscan-learn-XXXXXX)
agent=""
cleanup() {
  if [ -n "$agent" ]; then kill "$agent" 2>/dev/null || true; wait "$agent" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

addresses=""
for i in $(seq 1 50); do addresses+="${addresses:+ }127.0.2.$i"; done
mkdir -p "$work/agent/persist"
cat >"$work/agent/snmpd.conf" <<CONF
[snmp] persistentDir $work/agent/persist
[snmp] noPersistentLoad yes
dontLogTCPWrappersConnects yes
# start_snmpd's readiness probe only
rocommunity public default .1.3.6.1.2.1.1.3
# the scan's community: SNMPv2c only, so SNMPv1 requests go unanswered
com2sec scanners default tkvwqz
group v2conly v2c scanners
view small included .1.3.6.1.2.1.1
view small included .1.3.6.1.2.1.2
view small included .1.3.6.1.2.1.11
access v2conly "" any noauth exact small none none
CONF
start_snmpd "$work/agent" "$work/agent/snmpd.conf" public "$addresses" -I \
  -hrSWRunTable,hrSWRunPerfTable,hrSWInstalledTable ||
  { echo "could not start snmpd:" >&2; cat "$work/agent/snmpd.log" >&2; exit 1; }
agent=$SNMPD_PID
for a in $addresses; do echo "$a:$SNMPD_PORT"; done >"$work/list.txt"

# run DIR: wall seconds of one scan of the list in DIR
run() {
  /usr/bin/time -f "%e" -o "$1/wall" timeout 300 "$1/mibscan" --targets "$work/list.txt" \
    >/dev/null 2>"$1/stderr" || { cat "$1/stderr" >&2; exit 1; }
  tail -n 1 "$1/wall"
}
setup() {
  mkdir -p "$1"
  cp "$build/mibscan" "$1/"
  printf '[Config]\nTimeout=300000\nRetry=1\n%b' "$2" >"$1/config.ini"
}
setup "$work/plain" ""
setup "$work/learn" "Learn=1\n"
plain=$(run "$work/plain")
first=$(run "$work/learn")
mkdir "$work/first" && cp "$work/learn/"*.xml "$work/first/"
second=$(run "$work/learn")

# The rows' OIDs and versions of each result file: the values of counters
# (snmpInPkts, ifInOctets ...) and sysUpTime move from one run to the next.
rows_of() { (cd "$1" && for f in *.xml; do echo "$f"; grep -o '<OID VER="[0-9]">[0-9.]*' "$f" | sort; done); }
same() {  # A B: "yes" when the two folders' result files hold the same rows
  [ "$(rows_of "$1")" = "$(rows_of "$2")" ] && echo yes || echo no
}
rows=$(cat "$work/learn/"*.xml | grep -c '<RESULT>' || true)
printf '| %-44s | %8s |\n' "figure" "value" "---" "---"
printf '| %-44s | %8s |\n' "targets" 50 \
  "run without Learn, wall s" "$plain" \
  "first run with Learn=1 (learns), wall s" "$first" \
  "second run with Learn=1, wall s" "$second" \
  "first / second" "$(awk -v a="$first" -v b="$second" 'BEGIN{printf "%.1f", a / b}')" \
  "rows (second run, all targets)" "$rows" \
  "devices.csv lines with version 2c" "$(grep -c ',2c,' "$work/learn/devices.csv" || true)" \
  "rows (OID, VER): second run = first run" "$(same "$work/first" "$work/learn")" \
  "rows (OID, VER): second = without Learn" "$(same "$work/plain" "$work/learn")"
