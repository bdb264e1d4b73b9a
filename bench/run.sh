#!/usr/bin/env bash
# mibscan against its peers on loopback agents of its own, one table.
#
#   bench/run.sh [--only v3|names|rows|streams] [BUILD_DIR]
#                  (default build-bench, RelWithDebInfo; a few minutes in all;
#                  --only v3: section 8 alone, --only names: section 9 alone,
#                  --only rows: section 10 alone, --only streams: section 11
#                  alone, their rows of the table)
#
# 1. One target, the default scan (mib-2 and enterprises over SNMPv1) of a
#    full stable-MIB snmpd, against `snmpwalk -v1 -On` of the same two
#    subtrees: wall and CPU time (best of 3 by wall), instructions per variable
#    under callgrind (both processes' totals, start-up included).
#    The same target with `Versions=2c,1,3` and `MaxRepetitions=25` (GETBULK)
#    against `snmpbulkwalk -v2c -Cr25` of the two subtrees, and against
#    mibscan's own GETNEXT scan over v2c (the same variables, best of 3), with
#    the agent's own CPU time in each mode (its schedstat): a bulk scan can be
#    no faster than the agent's work for it, which bounds the ratio. The
#    agent's udpTable lists every UDP socket of the machine, so row counts
#    move a little with whatever else runs.
# 2. 200 live targets (one snmpd on 127.0.0.1 ... 127.0.0.200 whose view is
#    the system, interfaces and snmp groups, so the run stays short), the
#    default scan against 200 snmpwalk processes at once, each walking both
#    subtrees of its target; then the bulk scan against 200 snmpbulkwalk
#    -Cr25 at once. The peers' CPU is measured over the whole batch as one
#    process tree (a per-process /usr/bin/time rounds each short process to
#    10 ms); their memory and context switches are sums over the processes
#    alone. Wall time covers the batch. A machine busy with other work
#    inflates CPU and wall times: run it idle.
# 3. Latency: a UDP relay (bench/udp_relay.py) adding 20 ms each way in front
#    of the 200-target agent's view; the bulk scan against the GETNEXT scan.
# 4. 40 configured OIDs with GetBatch=50 against one per get: the requests
#    that reach the agent (its snmpInPkts).
# 5. 2,000 targets that never answer (closed ports on loopback addresses),
#    Timeout=200000, Retry=0, the default scan with its version fallback,
#    against one such target.
# 6. 2,000 silent and 200 live targets in one run, standard error on a
#    pseudo-terminal (the status line) against standard error redirected.
# 7. 3,000 silent targets with Log=1: log lines on disk per second while the
#    run lasts against lines made per second; the largest log file.
# 8. SNMPv3 SHA-512/AES-256: one target's instructions per variable against
#    snmpwalk with the same user, then 200 targets on one agent with the same
#    account: CPU and instructions per variable against the one-target
#    figures (start-up included in both). A one-target scan takes a few tens
#    of milliseconds of CPU, below what one process's times resolve (10 ms):
#    its CPU is that of 20 runs in a row, as one process tree, over 20.
# 9. ValueTypes=1 and Names=1 on the one-target scan of section 1: instructions
#    per variable against the plain scan, with --jsonl as well; wall time and
#    peak memory; the mib-2 rows named by an object.
# 10. Every row: 200 full-walk targets (one agent with every module, as the
#    demo agent has, on 127.0.0.1 ... 127.0.0.200), the bulk scan against 400
#    snmpbulkwalk -Cr25 (both subtrees of each target) run by xargs -P 400 as
#    one process tree:
#    CPU per row, peak bytes per row, wall. Then one full target under
#    callgrind, both sides, instructions per row past start-up: each side's
#    start-up is the same walk of a view holding one object.
# 11. Streams: an agent with all modules (section 1's, with the software
#    tables too: some 8,000 rows) behind bench/udp_relay.py at 10 and 50 ms
#    each way (20 and 100 ms round trip), the bulk scan
#    (MaxRepetitions=25) with Streams=1 and with Streams=8 against
#    `snmpbulkwalk -v2c -Cr25` of both subtrees, one run each in turn; the
#    requests each scan sent (the agent's snmpInPkts) and its rows (the
#    agent's udpTable lists the relay's sockets too, so rows move a little).
# Both sides use a 5 s time-out with one retry against live agents.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
source scripts/packages.sh
source scripts/agent.sh
install_missing_packages "${BUILD_PACKAGES[@]}" time valgrind

only=""
if [ "${1:-}" = --only ]; then
  only=${2:-}
  [ "$only" = v3 ] || [ "$only" = names ] || [ "$only" = rows ] || [ "$only" = streams ] ||
    { echo "usage: bench/run.sh [--only v3|names|rows|streams] [BUILD_DIR]" >&2; exit 2; }
  shift 2
fi
build=${1:-build-bench}
[ -f "$build/CMakeCache.txt" ] ||
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMIBSCAN_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target mibscan >/dev/null
export MIBS=""  # numeric OIDs only, for every program here

work=$(mktemp -d /tmp/mibscan-bench-XXXXXX)
agents=()
cleanup() {
  local pid
  for pid in "${agents[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${agents[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
ulimit -n "$(ulimit -Hn)"  # the 200-address agent and the 2,000 targets need sockets

# start_agent NAME CONFIG_LINES ADDRESS...: a stable-MIB snmpd on one free port
# of every address; sets $port. Our own config only, no persistent state.
# agent_modules: the snmpd options that choose its modules (none: all of
# them, as the demo agent has; the process tables then grow with the run).
agent_modules=(-I -hrSWRunTable,hrSWRunPerfTable,hrSWInstalledTable)
start_agent() {
  local name=$1 lines=$2
  shift 2
  mkdir -p "$work/$name/persist"
  printf '[snmp] persistentDir %s\n[snmp] noPersistentLoad yes\ndontLogTCPWrappersConnects yes\n%s\n' \
    "$work/$name/persist" "$lines" >"$work/$name/snmpd.conf"
  if start_snmpd "$work/$name" "$work/$name/snmpd.conf" public "$*" "${agent_modules[@]}"; then
    port=$SNMPD_PORT
    agents+=("$SNMPD_PID")
    return 0
  fi
  echo "could not start snmpd ($name); see $work/$name/snmpd.log" >&2
  exit 1
}

# install_scanner DIR CONFIG: a copy of mibscan with its config.ini
install_scanner() {
  mkdir -p "$1"
  cp "$build/mibscan" "$1/mibscan"
  printf '%b' "$2" >"$1/config.ini"
}

# timed OUT_FILE COMMAND...: wall, user, sys seconds, peak RSS (KiB) and
# context switches (voluntary + involuntary) of one run, in OUT_FILE; the
# command's own output is dropped. Bounded to 5 minutes.
timed() {
  local out=$1
  shift
  echo "0 0 0 0 0" >"$out"
  timeout 300 /usr/bin/time -f "%e %U %S %M %w %c" -o "$out" "$@" >/dev/null 2>&1 || true
  # the last line: a failed command's status line comes first
  awk 'END{print $1, $2, $3, $4, $5 + $6}' "$out" >"$out.tmp" && mv "$out.tmp" "$out"
}

# best_of_3 COMMAND...: "wall cpu" of the fastest of three runs
best_of_3() {
  local best="" line wall user sys rss switches
  for _ in 1 2 3; do
    timed "$work/t" "$@"
    read -r wall user sys rss switches <"$work/t"
    line="$wall $(awk -v u="$user" -v s="$sys" 'BEGIN{printf "%.2f", u + s}')"
    if [ -z "$best" ] || awk -v a="$wall" -v b="${best%% *}" 'BEGIN{exit !(a < b)}'; then best=$line; fi
  done
  echo "$best"
}

# total Ir of one callgrind run of the command
instructions() {
  rm -f "$work/cg.out"
  timeout 300 valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" "$@" >/dev/null 2>&1 || true
  awk '/^(summary|totals):/{n = $2; exit} END{printf "%.0f\n", n + 0}' "$work/cg.out" 2>/dev/null || echo 0
}

rows_in() { cat "$1"/*.xml 2>/dev/null | grep -c '<RESULT>' || true; }
vars_in() { cat "$@" 2>/dev/null | grep -c '^\.[0-9.]* = ' || true; }

# the table's figures and lines
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{if (b == 0) print "-"; else printf "%.2f", a / b}'; }
per_var_us() { awk -v c="$1" -v n="$2" 'BEGIN{if (n == 0) print "-"; else printf "%.1f", c * 1e6 / n}'; }
per_var() { awk -v c="$1" -v n="$2" 'BEGIN{if (n == 0) print "-"; else printf "%.2f", c / n}'; }
per_s() { awk -v n="$1" -v w="$2" 'BEGIN{if (w == 0) print "-"; else printf "%.0f", n / w}'; }
mib() { awk -v k="$1" 'BEGIN{printf "%.1f", k / 1024}'; }
row() { printf "| %-46s | %12s | %12s | %6s | %-10s |\n" "$@"; }
vs() { row "$1" "$2" "$3" "$(ratio "$2" "$3")" "${4:-}"; }  # MEASURE OURS PEER [GOAL]
table_header() {
  echo "mibscan $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo '?'), $(nproc) CPUs, $(date -u +%Y-%m-%d)"
  row "measure" "mibscan" "peer" "ratio" "goal"
  row "----------------------------------------------" "------------" "------------" "------" "----------"
}

live_config='[Config]\nTimeout=5000000\nRetry=1\nCommunity=public\n'
snmpwalk_args=(-v1 -c public -On -t 5 -r 1)

addresses=()  # of the 200-target agents
for i in $(seq 1 200); do addresses+=("127.0.0.$i"); done

# --- 8. SNMPv3 SHA-512/AES-256: one target, then 200 on one agent -------------
# Sets the v3_ figures that v3_rows prints.
v3_section() {
  v3_auth=bench-auth-pass v3_priv=bench-priv-pass
  start_agent v3 "view benchview included .1.3.6.1.2.1.1
view benchview included .1.3.6.1.2.1.2
view benchview included .1.3.6.1.2.1.11
createUser benchuser SHA-512 \"$v3_auth\" AES-256 \"$v3_priv\"
rouser benchuser priv -V benchview
rocommunity public 127.0.0.1 -V benchview" "${addresses[@]}"
  local a t v3_csv v3one v3_args
  v3_targets=()
  for a in "${addresses[@]}"; do v3_targets+=("$a:$port"); done
  v3_csv="ip,username,password,authprotocol,privprotocol,privpassword\n"
  for t in "${v3_targets[@]}"; do v3_csv+="$t,benchuser,$v3_auth,SHA-512,AES-256,$v3_priv\n"; done
  install_scanner "$work/v3" "$live_config"
  printf '%b' "$v3_csv" >"$work/v3/accounts.csv"
  chmod 600 "$work/v3/accounts.csv"
  v3_args=(-v3 -l authPriv -u benchuser -a SHA-512 -A "$v3_auth" -x AES-256 -X "$v3_priv" -On -t 5 -r 1)
  v3one=${v3_targets[0]}
  "$work/v3/mibscan" "$v3one" >/dev/null 2>&1
  v3_one_rows=$(rows_in "$work/v3")
  { snmpwalk "${v3_args[@]}" "$v3one" 1.3.6.1.2.1; snmpwalk "${v3_args[@]}" "$v3one" 1.3.6.1.4.1; } >"$work/v3.walk"
  v3_one_vars=$(vars_in "$work/v3.walk")
  v3_m_ir=$(instructions "$work/v3/mibscan" "$v3one")
  v3_s_ir=$(( $(instructions snmpwalk "${v3_args[@]}" "$v3one" 1.3.6.1.2.1) +
              $(instructions snmpwalk "${v3_args[@]}" "$v3one" 1.3.6.1.4.1) ))
  timed "$work/v3one" bash -c "for _ in \$(seq $v3_one_runs); do $(printf '%q ' "$work/v3/mibscan" "$v3one") >/dev/null 2>&1; done"
  read -r _ v3o_user v3o_sys _ _ <"$work/v3one"
  rm -f "$work/v3"/*.xml
  timed "$work/v3many" "$work/v3/mibscan" "${v3_targets[@]}"
  read -r _ v3m_user v3m_sys _ _ <"$work/v3many"
  v3_many_rows=$(rows_in "$work/v3")
  v3_m200_ir=$(instructions "$work/v3/mibscan" "${v3_targets[@]}")
  v3o_cpu=$(awk -v u="$v3o_user" -v s="$v3o_sys" -v n="$v3_one_runs" 'BEGIN{printf "%.4f", (u + s) / n}')
  v3m_cpu=$(awk -v u="$v3m_user" -v s="$v3m_sys" 'BEGIN{printf "%.3f", u + s}')
}
v3_one_runs=20

v3_rows() {
  local v3_m_ipv v3_s_ipv v3o_us v3m_us v3_m200_ipv
  v3_m_ipv=$((v3_m_ir / (v3_one_rows > 0 ? v3_one_rows : 1)))
  v3_s_ipv=$((v3_s_ir / (v3_one_vars > 0 ? v3_one_vars : 1)))
  v3_m200_ipv=$((v3_m200_ir / (v3_many_rows > 0 ? v3_many_rows : 1)))
  row "v3 SHA-512/AES-256 1 target: rows / snmpwalk" "$v3_one_rows" "$v3_one_vars" \
    "$(ratio "$v3_one_rows" "$v3_one_vars")" ""
  row "v3 SHA-512/AES-256 1 target: instr. per var" "$v3_m_ipv" "$v3_s_ipv" "$(ratio "$v3_m_ipv" "$v3_s_ipv")" "<= 0.7"
  row "v3 200 targets, 1 agent: rows" "$v3_many_rows" "$((v3_one_rows * 200))" \
    "$(ratio "$v3_many_rows" "$((v3_one_rows * 200))")" ""
  v3o_us=$(per_var_us "$v3o_cpu" "$v3_one_rows")
  v3m_us=$(per_var_us "$v3m_cpu" "$v3_many_rows")
  row "v3 CPU us per variable: 200 vs 1 target" "$v3m_us" "$v3o_us" "$(ratio "$v3m_us" "$v3o_us")" "<= 1.3"
  row "v3 instr. per variable: 200 vs 1 target" "$v3_m200_ipv" "$v3_m_ipv" \
    "$(ratio "$v3_m200_ipv" "$v3_m_ipv")" "<= 1.3"
}

if [ "$only" = v3 ]; then
  v3_section
  table_header
  v3_rows
  exit 0
fi

# --- 1. one target, full default walk ---------------------------------------
start_agent full "rocommunity public 127.0.0.1" 127.0.0.1
one="127.0.0.1:$port"
full_pid=${agents[-1]}

# --- 9. types, names and the JSON Lines stream on the one-target scan ------
# Instructions per variable (callgrind, start-up included) of the default
# scan, with ValueTypes=1 and Names=1, and with the stream as well; the
# process's wall time and peak memory (best of 3 by wall); the mib-2 rows
# that carry the NAME of an object (not just mib-2.N).
names_section() {
  local plain="$work/nplain" named="$work/named" only_names="$work/nonly" m_rows n_rows
  install_scanner "$plain" "$live_config"
  install_scanner "$only_names" "${live_config}Names=1\n"
  install_scanner "$named" "${live_config}ValueTypes=1\nNames=1\n"
  "$plain/mibscan" "$one" >/dev/null 2>&1
  "$named/mibscan" "$one" >/dev/null 2>&1
  m_rows=$(rows_in "$plain")
  n_rows=$(rows_in "$named")
  np_ir=$(instructions "$plain/mibscan" "$one")
  nn_ir=$(instructions "$named/mibscan" "$one")
  no_ir=$(instructions "$only_names/mibscan" "$one")
  no_ipv=$(per_var "$no_ir" "$n_rows")
  nj_ir=$(instructions "$named/mibscan" --jsonl "$work/named.jsonl" "$one")
  np_ipv=$(per_var "$np_ir" "$m_rows")
  nn_ipv=$(per_var "$nn_ir" "$n_rows")
  nj_ipv=$(per_var "$nj_ir" "$n_rows")
  read -r np_wall _ < <(best_of_3 "$plain/mibscan" "$one")
  read -r nn_wall _ < <(best_of_3 "$named/mibscan" "$one")
  timed "$work/np.t" "$plain/mibscan" "$one"
  timed "$work/nn.t" "$named/mibscan" "$one"
  np_rss=$(awk '{print $4}' "$work/np.t")
  nn_rss=$(awk '{print $4}' "$work/nn.t")
  mib2_rows=$(grep -c '>1\.3\.6\.1\.2\.1\.[0-9.]*</OID>' "$named"/*.xml || true)
  mib2_named=$(grep '>1\.3\.6\.1\.2\.1\.[0-9.]*</OID>' "$named"/*.xml |
    grep -c 'NAME="' | tr -d ' ' || true)
  mib2_bare=$(grep -c 'NAME="SNMPv2-SMI::mib-2\.' "$named"/*.xml || true)
  mib2_named=$((mib2_named - mib2_bare))
}
names_rows() {
  row "names: instr. per var, Names=1/plain" "$no_ipv" "$np_ipv" "$(ratio "$no_ipv" "$np_ipv")" "<= 1.10"
  row "names: instr. per var, ValueTypes+Names/plain" "$nn_ipv" "$np_ipv" "$(ratio "$nn_ipv" "$np_ipv")" ""
  row "names: instr. per var, with --jsonl/plain" "$nj_ipv" "$np_ipv" "$(ratio "$nj_ipv" "$np_ipv")" ""
  row "names: wall s (best of 3), named/plain" "$nn_wall" "$np_wall" "$(ratio "$nn_wall" "$np_wall")" "+0.2 s"
  row "names: peak memory MiB, named/plain" "$(mib "$nn_rss")" "$(mib "$np_rss")" \
    "$(ratio "$nn_rss" "$np_rss")" "+20 MiB"
  row "names: mib-2 rows named by an object / rows" "$mib2_named" "$mib2_rows" \
    "$(ratio "$mib2_named" "$mib2_rows")" ">= 0.95"
}
if [ "$only" = names ]; then
  names_section
  table_header
  names_rows
  exit 0
fi

# --- 10. every row: 200 full-walk targets, and one under callgrind ------------
# The peers write a file each (through `sh -c exec`, whose own cost, measured
# by the same batch of `sh -c 'exec true'`, is taken off theirs); rows are
# counted as section 1 counts them. Sets the rows_ figures that rows_rows
# prints.
rows_section() {
  local agent_modules=()
  start_agent rows "view one included .1.3.6.1.2.1.1.1
rocommunity public 127.0.0.0/8
rocommunity one 127.0.0.0/8 -V one" "${addresses[@]}"
  local a full=() list="$work/rows.list" args
  for a in "${addresses[@]}"; do full+=("$a:$port"); done
  install_scanner "$work/rows" "${live_config}Versions=2c,1,3\nMaxRepetitions=25\n"
  install_scanner "$work/rowsone" "${live_config/public/one}Versions=2c,1,3\nMaxRepetitions=25\n"
  timed "$work/r200" "$work/rows/mibscan" "${full[@]}"
  read -r r_wall r_user r_sys r_rss _ <"$work/r200"
  r_rows=$(rows_in "$work/rows")
  r_cpu=$(awk -v u="$r_user" -v s="$r_sys" 'BEGIN{printf "%.2f", u + s}')
  rm -f "$work/rows"/*.xml
  mkdir -p "$work/rowpeers"
  for a in "${full[@]}"; do printf '%s 1.3.6.1.2.1 %s 1.3.6.1.4.1\n' "$a" "$a"; done | tr ' ' '\n' |
    paste -d' ' - - >"$list"
  args=$(printf '%q ' snmpbulkwalk -v2c -c public -On -t 5 -r 1 -Cr25)
  timed "$work/rp" xargs -P 400 -n 2 -a "$list" sh -c "exec $args \"\$0\" \"\$1\" >$work/rowpeers/\$0-\$1"
  read -r rp_wall rp_user rp_sys _ _ <"$work/rp"
  timed "$work/rp0" xargs -P 400 -n 2 -a "$list" sh -c 'exec true'
  read -r _ rp0_user rp0_sys _ _ <"$work/rp0"
  rp_cpu=$(awk -v u="$rp_user" -v s="$rp_sys" -v u0="$rp0_user" -v s0="$rp0_sys" \
    'BEGIN{printf "%.2f", u + s - u0 - s0}')
  rp_user=$(awk -v u="$rp_user" -v u0="$rp0_user" 'BEGIN{printf "%.2f", u - u0}')
  rp_sys=$(awk -v s="$rp_sys" -v s0="$rp0_sys" 'BEGIN{printf "%.2f", s - s0}')
  rp_rows=$(vars_in "$work"/rowpeers/*)
  rm -rf "$work/rowpeers"
  # One full target, both sides, less a walk of the one-object view.
  local t=${full[0]} peer=(snmpbulkwalk -v2c -On -t 5 -r 1 -Cr25)
  "$work/rows/mibscan" "$t" >/dev/null 2>&1
  r1_rows=$(rows_in "$work/rows")
  "$work/rowsone/mibscan" "$t" >/dev/null 2>&1
  r1_one=$(rows_in "$work/rowsone")
  r1_ir=$(instructions "$work/rows/mibscan" "$t")
  r1_start=$(instructions "$work/rowsone/mibscan" "$t")
  { "${peer[@]}" -c public "$t" 1.3.6.1.2.1; "${peer[@]}" -c public "$t" 1.3.6.1.4.1; } >"$work/rows.walk"
  { "${peer[@]}" -c one "$t" 1.3.6.1.2.1; "${peer[@]}" -c one "$t" 1.3.6.1.4.1; } >"$work/rowsone.walk"
  p1_rows=$(vars_in "$work/rows.walk")
  p1_one=$(vars_in "$work/rowsone.walk")
  p1_ir=$(( $(instructions "${peer[@]}" -c public "$t" 1.3.6.1.2.1) +
            $(instructions "${peer[@]}" -c public "$t" 1.3.6.1.4.1) ))
  p1_start=$(( $(instructions "${peer[@]}" -c one "$t" 1.3.6.1.2.1) +
               $(instructions "${peer[@]}" -c one "$t" 1.3.6.1.4.1) ))
}
rows_rows() {
  local r_us rp_us r_bpr r1_ipr p1_ipr
  r_us=$(per_var_us "$r_cpu" "$r_rows")
  rp_us=$(per_var_us "$rp_cpu" "$rp_rows")
  r_bpr=$(awk -v k="$r_rss" -v n="$r_rows" 'BEGIN{if (n == 0) print "-"; else printf "%.0f", k * 1024 / n}')
  r1_ipr=$(( (r1_ir - r1_start) / (r1_rows - r1_one > 0 ? r1_rows - r1_one : 1) ))
  p1_ipr=$(( (p1_ir - p1_start) / (p1_rows - p1_one > 0 ? p1_rows - p1_one : 1) ))
  vs "200 full bulk: rows / snmpbulkwalk lines" "$r_rows" "$rp_rows"
  vs "200 full bulk: wall s vs 400 snmpbulkwalk" "$r_wall" "$rp_wall"
  vs "200 full bulk: CPU s" "$r_cpu" "$rp_cpu"
  vs "200 full bulk: CPU s, user" "$r_user" "$rp_user"
  vs "200 full bulk: CPU s, system" "$r_sys" "$rp_sys"
  vs "200 full bulk: CPU us per row" "$r_us" "$rp_us" "<= 0.5"
  row "200 full bulk: peak bytes per row" "$r_bpr" "" "" "<= 150"
  row "200 full bulk: peak memory MiB" "$(mib "$r_rss")" "" "" ""
  row "1 full target: rows / lines (one-object view)" "$r1_rows ($r1_one)" "$p1_rows ($p1_one)" "" ""
  vs "1 full target: instr. per row past start-up" "$r1_ipr" "$p1_ipr" "<= 0.5"
  vs "1 full target: start-up instructions" "$r1_start" "$p1_start"
}
if [ "$only" = rows ]; then
  rows_section
  table_header
  rows_rows
  exit 0
fi

# --- 11. several streams per device through a slow link ----------------------
declare -A st
streams_section() {
  local all_port delay slow n before after bulk
  bulk="${live_config}Versions=2c,1,3\nMaxRepetitions=25\n"
  mkdir -p "$work/allmods/persist"
  printf '[snmp] persistentDir %s\n[snmp] noPersistentLoad yes\ndontLogTCPWrappersConnects yes\n%s\n' \
    "$work/allmods/persist" "rocommunity public 127.0.0.1" >"$work/allmods/snmpd.conf"
  start_snmpd "$work/allmods" "$work/allmods/snmpd.conf" public 127.0.0.1 ||
    { echo "could not start snmpd (allmods)" >&2; exit 1; }
  agents+=("$SNMPD_PID")
  all_port=$SNMPD_PORT
  agent_in_pkts() { snmpget -v2c -c public -On -Oqv -t 5 -r 1 "127.0.0.1:$all_port" 1.3.6.1.2.1.11.1.0; }
  for delay in 10 50; do
    python3 bench/udp_relay.py 127.0.0.1 127.0.0.1 "$all_port" "$delay" >"$work/srelay$delay" 2>/dev/null &
    agents+=($!)
    for _ in $(seq 100); do grep -q '^PORT ' "$work/srelay$delay" 2>/dev/null && break; sleep 0.1; done
    slow="127.0.0.1:$(awk '/^PORT /{print $2}' "$work/srelay$delay")"
    for n in 1 8; do
      install_scanner "$work/streams$n-$delay" "${bulk}Streams=$n\n"
      before=$(agent_in_pkts)
      timed "$work/st.t" "$work/streams$n-$delay/mibscan" "$slow"
      after=$(agent_in_pkts)
      st[wall$n-$delay]=$(awk '{print $1}' "$work/st.t")
      st[requests$n-$delay]=$((after - before - 1))  # the second reading counts itself
      st[rows$n-$delay]=$(rows_in "$work/streams$n-$delay")
    done
    timed "$work/st.t" bash -c "snmpbulkwalk ${bulkwalk_args[*]} $slow 1.3.6.1.2.1; snmpbulkwalk ${bulkwalk_args[*]} $slow 1.3.6.1.4.1"
    st[peer-$delay]=$(awk '{print $1}' "$work/st.t")
  done
}
streams_rows() {
  local delay rtt goal
  for delay in 10 50; do
    rtt=$((delay * 2))
    goal=$([ "$delay" = 10 ] && echo "<= 0.25" || echo "<= 0.2")
    row "$rtt ms relay: Streams=8 wall s / snmpbulkwalk" "${st[wall8-$delay]}" "${st[peer-$delay]}" \
      "$(ratio "${st[wall8-$delay]}" "${st[peer-$delay]}")" "$goal"
    row "$rtt ms relay: Streams=1 wall s / snmpbulkwalk" "${st[wall1-$delay]}" "${st[peer-$delay]}" \
      "$(ratio "${st[wall1-$delay]}" "${st[peer-$delay]}")" ""
    row "$rtt ms relay: requests, Streams=8 / Streams=1" "${st[requests8-$delay]}" "${st[requests1-$delay]}" \
      "$(ratio "${st[requests8-$delay]}" "${st[requests1-$delay]}")" "<= 1.1"
    row "$rtt ms relay: rows, Streams=8 / Streams=1" "${st[rows8-$delay]}" "${st[rows1-$delay]}" "" ""
  done
}
bulkwalk_args=(-v2c -c public -On -t 5 -r 1 -Cr25)
if [ "$only" = streams ]; then
  streams_section
  table_header
  streams_rows
  exit 0
fi

# agent_cpu PID COMMAND...: seconds the agent PID spent on a CPU (its
# schedstat, nanoseconds) while one run of the command lasted.
agent_cpu() {
  local pid=$1 before after
  shift
  before=$(awk '{print $1}' "/proc/$pid/schedstat")
  timeout 300 "$@" >/dev/null 2>&1 || true
  after=$(awk '{print $1}' "/proc/$pid/schedstat")
  awk -v a="$after" -v b="$before" 'BEGIN{printf "%.3f", (a - b) / 1e9}'
}

# measure_one DIR CONFIG TOOL ARG...: mibscan with CONFIG against the TOOL
# walking both subtrees of $one; prints "rows lines m_wall m_cpu t_wall t_cpu
# m_instructions t_instructions".
measure_one() {
  local dir=$1 config=$2
  shift 2
  local peer rows lines m_wall m_cpu t_wall t_cpu m_ir t_ir
  peer=$(printf '%q ' "$@")
  install_scanner "$dir" "$config"
  bash -c "$peer $one 1.3.6.1.2.1; $peer $one 1.3.6.1.4.1" >"$dir.walk"
  lines=$(vars_in "$dir.walk")
  "$dir/mibscan" "$one" >/dev/null 2>&1
  rows=$(rows_in "$dir")
  read -r m_wall m_cpu < <(best_of_3 "$dir/mibscan" "$one")
  read -r t_wall t_cpu < <(best_of_3 bash -c "$peer $one 1.3.6.1.2.1; $peer $one 1.3.6.1.4.1")
  m_ir=$(instructions "$dir/mibscan" "$one")
  t_ir=$(( $(instructions "$@" "$one" 1.3.6.1.2.1) + $(instructions "$@" "$one" 1.3.6.1.4.1) ))
  echo "$rows $lines $m_wall $m_cpu $t_wall $t_cpu $m_ir $t_ir"
}
read -r one_rows one_vars m1_wall m1_cpu s1_wall s1_cpu m1_ir s1_ir < <(
  measure_one "$work/one" "$live_config" snmpwalk "${snmpwalk_args[@]}")

bulk_config="${live_config}Versions=2c,1,3\nMaxRepetitions=25\n"
read -r b1_rows b1_vars b1_wall b1_cpu sb1_wall sb1_cpu b1_ir sb1_ir < <(
  measure_one "$work/onebulk" "$bulk_config" snmpbulkwalk "${bulkwalk_args[@]}")
# mibscan's own GETNEXT scan of the same variables (v2c first, no bulk),
# best of 3 as the bulk scan is; then the agent's CPU time for one scan of
# each: what the agent spends whoever asks, the floor under the wall time.
install_scanner "$work/onenext" "${live_config}Versions=2c,1,3\n"
read -r n1_wall _ < <(best_of_3 "$work/onenext/mibscan" "$one")
n1_rows=$(rows_in "$work/onenext")
an1_cpu=$(agent_cpu "$full_pid" "$work/onenext/mibscan" "$one")
ab1_cpu=$(agent_cpu "$full_pid" "$work/onebulk/mibscan" "$one")

# --- 4. 40 configured OIDs, batched -----------------------------------------
in_pkts() { snmpget -v2c -c public -On -Oqv -t 5 -r 1 "$one" 1.3.6.1.2.1.11.1.0; }
oid_keys=$(grep -o '^\.[0-9.]* = ' "$work/one.walk" | awk 'NR <= 40 {printf "OID_%d=%s\\n", NR, substr($1, 2)}')
requests_for() {  # GET_BATCH: requests one scan of the 40 OIDs sends
  install_scanner "$work/get$1" "${live_config}GetBatch=$1\n[Target]\n$oid_keys"
  local before after
  before=$(in_pkts)
  "$work/get$1/mibscan" "$one" >/dev/null 2>&1
  after=$(in_pkts)
  echo $((after - before - 1))  # the second reading counts itself
}
g1_requests=$(requests_for 1)
g50_requests=$(requests_for 50)

# --- 2. 200 live targets ----------------------------------------------------
start_agent many "view benchview included .1.3.6.1.2.1.1
view benchview included .1.3.6.1.2.1.2
view benchview included .1.3.6.1.2.1.11
rocommunity public 127.0.0.0/8 -V benchview" "${addresses[@]}"
live=()
for a in "${addresses[@]}"; do live+=("$a:$port"); done
install_scanner "$work/live" "$live_config"
timed "$work/m200" "$work/live/mibscan" "${live[@]}"
read -r m2_wall m2_user m2_sys m2_rss m2_switches <"$work/m200"
m2_vars=$(rows_in "$work/live")

# The peers twice: once plain for the wall time, once with every snmpwalk
# timed alone for the sums of CPU and peak memory of the snmpwalk processes
# alone (no shell, no timing wrapper counted).
peer_batch() {  # DIR [TIMED]: each target's two walks in a background job of its own
  local dir=$1 timed=${2:-} i=0 t
  mkdir -p "$dir"
  for t in "${live[@]}"; do
    i=$((i + 1))
    if [ -n "$timed" ]; then
      {
        /usr/bin/time -f "%U %S %M %w %c" -o "$dir/$i.a" snmpwalk "${snmpwalk_args[@]}" "$t" 1.3.6.1.2.1
        /usr/bin/time -f "%U %S %M %w %c" -o "$dir/$i.b" snmpwalk "${snmpwalk_args[@]}" "$t" 1.3.6.1.4.1
      } >"$dir/$i.out" 2>/dev/null &
    else
      {
        snmpwalk "${snmpwalk_args[@]}" "$t" 1.3.6.1.2.1
        snmpwalk "${snmpwalk_args[@]}" "$t" 1.3.6.1.4.1
      } >"$dir/$i.out" 2>/dev/null &
    fi
  done
  wait
}
peer_env="$(declare -f peer_batch); $(declare -p live snmpwalk_args)"
timed "$work/s200" bash -c "$peer_env; peer_batch $work/peers"
# The batch's shell waits for every peer, so its children's CPU is the whole
# tree's (the shell itself adds a few milliseconds).
read -r s2_wall s2_user s2_sys _ <"$work/s200"
s2_cpu=$(awk -v u="$s2_user" -v s="$s2_sys" 'BEGIN{printf "%.2f", u + s}')
s2_vars=$(vars_in "$work"/peers/*.out)
timeout 300 bash -c "$peer_env; peer_batch $work/peers-timed timed" || true
read -r s2_rss s2_switches < <(cat "$work"/peers-timed/*.[ab] |
  awk '{rss += $3; sw += $4 + $5} END{printf "%d %d\n", rss, sw}')
m2_cpu=$(awk -v u="$m2_user" -v s="$m2_sys" 'BEGIN{printf "%.2f", u + s}')

# The same 200 targets in bulk, against 200 snmpbulkwalk -Cr25 at once.
install_scanner "$work/livebulk" "$bulk_config"
timed "$work/b200" "$work/livebulk/mibscan" "${live[@]}"
read -r b2_wall b2_user b2_sys _ <"$work/b200"
b2_cpu=$(awk -v u="$b2_user" -v s="$b2_sys" 'BEGIN{printf "%.2f", u + s}')
b2_vars=$(rows_in "$work/livebulk")
bulk_batch() {  # DIR
  local dir=$1 i=0 t
  mkdir -p "$dir"
  for t in "${live[@]}"; do
    i=$((i + 1))
    {
      snmpbulkwalk "${bulkwalk_args[@]}" "$t" 1.3.6.1.2.1
      snmpbulkwalk "${bulkwalk_args[@]}" "$t" 1.3.6.1.4.1
    } >"$dir/$i.out" 2>/dev/null &
  done
  wait
}
timed "$work/sb200" bash -c "$(declare -f bulk_batch); $(declare -p live bulkwalk_args); bulk_batch $work/bulkpeers"
read -r sb2_wall sb2_user sb2_sys _ <"$work/sb200"
sb2_cpu=$(awk -v u="$sb2_user" -v s="$sb2_sys" 'BEGIN{printf "%.2f", u + s}')
sb2_vars=$(vars_in "$work"/bulkpeers/*.out)

# --- 3. 20 ms each way ------------------------------------------------------
python3 bench/udp_relay.py 127.0.0.1 127.0.0.1 "$port" 20 >"$work/relay.port" 2>"$work/relay.err" &
agents+=($!)
for _ in $(seq 100); do grep -q '^PORT ' "$work/relay.port" 2>/dev/null && break; sleep 0.1; done
slow="127.0.0.1:$(awk '/^PORT /{print $2}' "$work/relay.port")"
install_scanner "$work/slownext" "$live_config"
install_scanner "$work/slowbulk" "$bulk_config"
timed "$work/l1" "$work/slownext/mibscan" "$slow"
read -r l1_wall _ <"$work/l1"
l1_rows=$(rows_in "$work/slownext")
timed "$work/l2" "$work/slowbulk/mibscan" "$slow"
read -r l2_wall _ <"$work/l2"
l2_rows=$(rows_in "$work/slowbulk")

# --- 5. 2,000 targets that never answer -------------------------------------
dead_port=$(( $(shuf -i 20000-49999 -n 1) ))
while ss -Huln "sport = :$dead_port" | grep -q .; do dead_port=$((dead_port + 1)); done
dead=()
for i in $(seq 0 1999); do dead+=("127.1.$((i / 250)).$((i % 250 + 1)):$dead_port"); done
install_scanner "$work/dead" '[Config]\nTimeout=200000\nRetry=0\n'
timed "$work/d1" "$work/dead/mibscan" "${dead[0]}"
read -r d1_wall d1_user d1_sys d1_rss _ <"$work/d1"
timed "$work/d2000" "$work/dead/mibscan" "${dead[@]}"
read -r d2_wall d2_user d2_sys d2_rss _ <"$work/d2000"
d2_files=$(ls "$work/dead" | grep -c '\.xml$' || true)

# --- 6. the status line: 2,000 silent and 200 live targets in one run ---------
# Standard error on a pseudo-terminal (status line drawn, every console line
# on it clears it first) against standard error redirected to a file (no
# status line); standard output goes to /dev/null in both. `script` provides
# the terminal; time measures mibscan alone. Alternated, best of 3 by wall.
install_scanner "$work/mixed" '[Config]\nTimeout=200000\nRetry=0\nCommunity=public\n'
mixed=("${dead[@]}" "${live[@]}")
printf '%s\n' "${mixed[@]}" >"$work/mixed/targets"
mixed_run() {  # OUT_FILE tty|file
  local cmd="/usr/bin/time -f '%e %U %S' -o $1 $work/mixed/mibscan \$(cat $work/mixed/targets) >/dev/null"
  echo "0 0 0" >"$1"
  if [ "$2" = tty ]; then
    timeout 300 script -qfec "$cmd" /dev/null >/dev/null 2>&1 || true
  else
    timeout 300 bash -c "$cmd 2>$work/mixed/stderr" || true
  fi
  awk 'END{printf "%s %.2f\n", $1, $2 + $3}' "$1" >"$1.tmp" && mv "$1.tmp" "$1"
}
p_wall="" f_wall=""
for _ in 1 2 3; do
  for mode in tty file; do
    mixed_run "$work/mx" "$mode"
    read -r w c <"$work/mx"
    if [ "$mode" = tty ]; then
      if [ -z "$p_wall" ] || awk -v a="$w" -v b="$p_wall" 'BEGIN{exit !(a < b)}'; then p_wall=$w p_cpu=$c; fi
    elif [ -z "$f_wall" ] || awk -v a="$w" -v b="$f_wall" 'BEGIN{exit !(a < b)}'; then
      f_wall=$w f_cpu=$c
    fi
  done
done

# --- 7. 3,000 silent targets with Log=1: is the log on disk as fast as it is made?
# Lines on disk are counted (all log files) every 0.1 s while the run lasts;
# the last count before the process ends, over the time it was taken, is the
# on-disk rate; all lines at the end over the whole run is the produced rate.
noisy=()
for i in $(seq 0 2999); do noisy+=("127.2.$((i / 250)).$((i % 250 + 1)):$dead_port"); done
install_scanner "$work/noisy" '[Config]\nTimeout=200000\nRetry=0\nLog=1\n'
log_lines() { cat "$work/noisy/log/"*log.txt 2>/dev/null | wc -l; }
start_ns=$(date +%s%N)
"$work/noisy/mibscan" "${noisy[@]}" >/dev/null 2>&1 &
noisy_pid=$!
l_disk=0 l_at=0
for _ in $(seq 1 1200); do  # at most two minutes
  kill -0 "$noisy_pid" 2>/dev/null || break
  n=$(log_lines) now_ns=$(date +%s%N)
  kill -0 "$noisy_pid" 2>/dev/null || break
  l_disk=$n l_at=$(awk -v a="$now_ns" -v b="$start_ns" 'BEGIN{printf "%.3f", (a - b) / 1e9}')
  sleep 0.1
done
wait "$noisy_pid" || true
l_wall=$(awk -v a="$(date +%s%N)" -v b="$start_ns" 'BEGIN{printf "%.3f", (a - b) / 1e9}')
l_total=$(log_lines)
l_biggest=$(stat -c %s "$work/noisy/log/"*log.txt | sort -n | tail -1)

v3_section
names_section
rows_section
streams_section

# --- the table --------------------------------------------------------------

m1_ipv=$((m1_ir / (one_rows > 0 ? one_rows : 1)))
s1_ipv=$((s1_ir / (one_vars > 0 ? one_vars : 1)))
m2_us=$(per_var_us "$m2_cpu" "$m2_vars")
s2_us=$(per_var_us "$s2_cpu" "$s2_vars")
b1_ipv=$((b1_ir / (b1_rows > 0 ? b1_rows : 1)))
sb1_ipv=$((sb1_ir / (b1_vars > 0 ? b1_vars : 1)))
b2_us=$(per_var_us "$b2_cpu" "$b2_vars")
sb2_us=$(per_var_us "$sb2_cpu" "$sb2_vars")

table_header
row "1 target: variables (rows / snmpwalk lines)" "$one_rows" "$one_vars" "$(ratio "$one_rows" "$one_vars")" ""
row "1 target: wall s (best of 3) vs snmpwalk" "$m1_wall" "$s1_wall" "$(ratio "$m1_wall" "$s1_wall")" "<= 1"
row "1 target: CPU s (same run)" "$m1_cpu" "$s1_cpu" "$(ratio "$m1_cpu" "$s1_cpu")" ""
row "1 target: instructions per variable" "$m1_ipv" "$s1_ipv" "$(ratio "$m1_ipv" "$s1_ipv")" "<= 0.7"
row "1 target bulk: variables (rows / lines)" "$b1_rows" "$b1_vars" "$(ratio "$b1_rows" "$b1_vars")" ""
row "1 target bulk: wall s vs snmpbulkwalk -Cr25" "$b1_wall" "$sb1_wall" "$(ratio "$b1_wall" "$sb1_wall")" "<= 1"
row "1 target bulk: CPU s (same run)" "$b1_cpu" "$sb1_cpu" "$(ratio "$b1_cpu" "$sb1_cpu")" ""
row "1 target bulk: instructions per variable" "$b1_ipv" "$sb1_ipv" "$(ratio "$b1_ipv" "$sb1_ipv")" "<= 0.7"
row "1 target v2c: GETNEXT wall s / bulk wall s" "$n1_wall" "$b1_wall" "$(ratio "$n1_wall" "$b1_wall")" ">= 8"
row "1 target v2c: rows (GETNEXT / bulk)" "$n1_rows" "$b1_rows" "" ""
row "1 target v2c: agent CPU us/var, GETNEXT / bulk" "$(per_var_us "$an1_cpu" "$n1_rows")" \
  "$(per_var_us "$ab1_cpu" "$b1_rows")" "$(ratio "$an1_cpu" "$ab1_cpu")" ""
row "1 target v2c: GETNEXT wall / agent bulk CPU s" "$n1_wall" "$ab1_cpu" "$(ratio "$n1_wall" "$ab1_cpu")" \
  "ceiling"
row "20 ms relay: GETNEXT wall s / bulk wall s" "$l1_wall" "$l2_wall" "$(ratio "$l1_wall" "$l2_wall")" ">= 15"
row "20 ms relay: rows (GETNEXT / bulk)" "$l1_rows" "$l2_rows" "" ""
row "40 OIDs: requests, GetBatch=50 / one per get" "$g50_requests" "$g1_requests" \
  "$(ratio "$g50_requests" "$g1_requests")" "<= 4"
row "200 live: variables" "$m2_vars" "$s2_vars" "$(ratio "$m2_vars" "$s2_vars")" ""
row "200 live: wall s vs 200 snmpwalk processes" "$m2_wall" "$s2_wall" "$(ratio "$m2_wall" "$s2_wall")" "<= 0.8"
row "200 live: CPU s" "$m2_cpu" "$s2_cpu" "$(ratio "$m2_cpu" "$s2_cpu")" ""
row "200 live: CPU us per variable" "$m2_us" "$s2_us" "$(ratio "$m2_us" "$s2_us")" "<= 0.5"
row "200 live: context switches per variable" "$(per_var "$m2_switches" "$m2_vars")" \
  "$(per_var "$s2_switches" "$s2_vars")" \
  "$(ratio "$(per_var "$m2_switches" "$m2_vars")" "$(per_var "$s2_switches" "$s2_vars")")" ""
row "200 live: variables per second" "$(per_s "$m2_vars" "$m2_wall")" "$(per_s "$s2_vars" "$s2_wall")" \
  "$(ratio "$(per_s "$m2_vars" "$m2_wall")" "$(per_s "$s2_vars" "$s2_wall")")" ""
row "200 live: peak memory MiB (peers: sum)" "$(mib "$m2_rss")" "$(mib "$s2_rss")" \
  "$(ratio "$m2_rss" "$s2_rss")" ""
row "200 live bulk: variables" "$b2_vars" "$sb2_vars" "$(ratio "$b2_vars" "$sb2_vars")" ""
row "200 live bulk: wall s vs 200 snmpbulkwalk" "$b2_wall" "$sb2_wall" "$(ratio "$b2_wall" "$sb2_wall")" "<= 0.8"
row "200 live bulk: CPU s" "$b2_cpu" "$sb2_cpu" "$(ratio "$b2_cpu" "$sb2_cpu")" ""
row "200 live bulk: CPU us per variable" "$b2_us" "$sb2_us" "$(ratio "$b2_us" "$sb2_us")" "<= 0.5"
row "2000 silent: wall s vs 1 silent target" "$d2_wall" "$d1_wall" "$(ratio "$d2_wall" "$d1_wall")" "< 3"
row "2000 silent: peak memory MiB vs 1 target" "$(mib "$d2_rss")" "$(mib "$d1_rss")" \
  "$(ratio "$d2_rss" "$d1_rss")" "< 1024 MiB"
row "2000 silent: KiB per extra concurrent target" \
  "$(awk -v a="$d2_rss" -v b="$d1_rss" 'BEGIN{printf "%.1f", (a - b) / 1999}')" "" "" ""
row "2000 silent: result files" "$d2_files" "1" "" ""
row "2000 silent + 200 live: wall s, status vs none" "$p_wall" "$f_wall" "$(ratio "$p_wall" "$f_wall")" "<= 1.02"
row "2000 silent + 200 live: CPU s, status vs none" "$p_cpu" "$f_cpu" "$(ratio "$p_cpu" "$f_cpu")" "<= 1.02"
row "3000 silent, Log=1: log lines/s on disk vs made" "$(per_s "$l_disk" "$l_at")" "$(per_s "$l_total" "$l_wall")" \
  "$(ratio "$(per_s "$l_disk" "$l_at")" "$(per_s "$l_total" "$l_wall")")" ">= 1"
row "3000 silent, Log=1: lines at exit / last count in run" "$l_total" "$l_disk" "" ""
row "3000 silent, Log=1: largest log file, bytes" "$l_biggest" "262144" "" "+ 1 batch"
v3_rows
names_rows
rows_rows
streams_rows
