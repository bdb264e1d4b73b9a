#!/usr/bin/env bash
# Builds mibscan, starts a local snmpd on 127.0.0.1, scans it, shows the result
# file, and stops the agent whatever happened.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
source scripts/packages.sh
source scripts/agent.sh
install_missing_packages "${BUILD_PACKAGES[@]}"

cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIBSCAN_TESTS=OFF >/dev/null
cmake --build build-demo -j2 --target mibscan

work=$(mktemp -d /tmp/mibscan-demo-XXXXXX)
agent_pid=""
cleanup() {
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

printf '[snmp]\npersistentDir %s\nnoPersistentLoad yes\n' "$work/persist" >"$work/local.conf"
start_snmpd "$work" "$repo/scripts/demo/snmpd.conf,$work/local.conf" tkvwqz 127.0.0.1 && agent_pid=$SNMPD_PID
port=$SNMPD_PORT
[ -n "$agent_pid" ] || { echo "could not start the demo agent (see $work/snmpd.log)"; exit 1; }
echo "demo agent: snmpd on 127.0.0.1:$port"

cp build-demo/mibscan "$work/mibscan"
printf '[Config]\nTimeout=1000000\nRetry=1\nLog=1\n' >"$work/config.ini"
echo "running: $work/mibscan 127.0.0.1:$port"
"$work/mibscan" "127.0.0.1:$port"

result="$work/127.0.0.1:$port.xml"
echo
if [ -f "$result" ]; then
  echo "result file: $result ($(grep -c '<RESULT>' "$result" || true) rows); its first lines:"
  head -n 24 "$result"
else
  echo "no result file was written"
fi
echo
echo "log: $work/log/log.txt"
[ -f "$work/log/log.txt" ] && tail -n 5 "$work/log/log.txt"
echo
echo "summary: $work/summary.csv"
cat "$work/summary.csv"

# The same target with an account: SNMPv3 (MD5, authNoPriv) only.
printf 'ip,username,password\n127.0.0.1:%s,demo,mibscan-demo\n' "$port" >"$work/accounts.csv"
chmod 600 "$work/accounts.csv"  # it holds a pass phrase
echo
echo "running again with accounts.csv (SNMPv3 user demo): $work/mibscan 127.0.0.1:$port"
"$work/mibscan" "127.0.0.1:$port" | tail -n 1
if [ -f "$result" ]; then
  echo "result file: $(grep -c '<RESULT>' "$result" || true) rows, $(grep -c 'VER="3"' "$result" || true) of them over SNMPv3"
fi
exit 0
