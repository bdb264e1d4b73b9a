# Sourced by the scripts: starts a local snmpd for a demo or a benchmark.
#
# start_snmpd DIR CONFIGS COMMUNITY ADDRESSES [SNMPD OPTION...]
#   Starts snmpd in the foreground on one free random UDP port of each address
#   in ADDRESSES (space-separated), with the config files CONFIGS (a comma
#   list), its log and PID file in DIR, and waits until it answers a v1 get of
#   sysUpTime for COMMUNITY on the first address. Sets SNMPD_PORT and
#   SNMPD_PID. Returns 1 when it could not be started in five tries; the
#   caller stops it by SNMPD_PID.
start_snmpd() {
  local dir=$1 configs=$2 community=$3 addresses=$4
  shift 4
  local first=${addresses%% *} try listen a
  for try in 1 2 3 4 5; do
    SNMPD_PORT=$((20000 + RANDOM % 30000))
    listen=""
    for a in $addresses; do listen+="${listen:+,}udp:$a:$SNMPD_PORT"; done
    MIBS="" snmpd -f -C -c "$configs" -Lf "$dir/snmpd.log" -p "$dir/snmpd.pid" "$@" "$listen" &
    SNMPD_PID=$!
    for _ in $(seq 50); do
      if MIBS="" snmpget -v1 -c "$community" -t 0.3 -r 0 -On "$first:$SNMPD_PORT" 1.3.6.1.2.1.1.3.0 \
        >/dev/null 2>&1; then
        return 0
      fi
      kill -0 "$SNMPD_PID" 2>/dev/null || break
      sleep 0.1
    done
    kill "$SNMPD_PID" 2>/dev/null || true
    wait "$SNMPD_PID" 2>/dev/null || true
  done
  SNMPD_PID=""
  return 1
}
