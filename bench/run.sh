#!/usr/bin/env bash
# mibscan against its peers on loopback agents of its own, one table.
#
#   bench/run.sh [BUILD_DIR]     (default build-bench, RelWithDebInfo; a few minutes in all)
#
# 1. One target, the default scan (mib-2 and enterprises over SNMPv1) of a
#    full stable-MIB snmpd, against `snmpwalk -v1 -On` of the same two
#    subtrees: wall and CPU time (best of 3 by wall), instructions per variable
#    under callgrind (both processes' totals, start-up included).
# 2. 200 live targets (one snmpd on 127.0.0.1 ... 127.0.0.200 whose view is
#    the system, interfaces and snmp groups, so the run stays short), the
#    default scan against 200 snmpwalk processes at once, each walking both
#    subtrees of its target. The peers' CPU and memory are the sums over the
#    snmpwalk processes alone (no shell counted); wall time covers the batch.
#    A machine busy with other work inflates CPU and wall times: run it idle.
# 3. 2,000 targets that never answer (closed ports on loopback addresses),
#    Timeout=200000, Retry=0, the default scan with its version fallback,
#    against one such target.
# 4. 2,000 silent and 200 live targets in one run, standard error on a
#    pseudo-terminal (the status line) against standard error redirected.
# 5. 3,000 silent targets with Log=1: log lines on disk per second while the
#    run lasts against lines made per second; the largest log file.
# 6. SNMPv3 SHA-512/AES-256: one target's instructions per variable against
#    snmpwalk with the same user, then 200 targets on one agent with the same
#    account (CPU per variable against the one-target figure).
# Both sides use a 5 s time-out with one retry against live agents.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
source scripts/packages.sh
source scripts/agent.sh
install_missing_packages "${BUILD_PACKAGES[@]}" time valgrind

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
start_agent() {
  local name=$1 lines=$2
  shift 2
  mkdir -p "$work/$name/persist"
  printf '[snmp] persistentDir %s\n[snmp] noPersistentLoad yes\ndontLogTCPWrappersConnects yes\n%s\n' \
    "$work/$name/persist" "$lines" >"$work/$name/snmpd.conf"
  if start_snmpd "$work/$name" "$work/$name/snmpd.conf" public "$*" \
    -I -hrSWRunTable,hrSWRunPerfTable,hrSWInstalledTable; then
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
  awk '/^(summary|totals):/{n = $2; exit} END{print n + 0}' "$work/cg.out" 2>/dev/null || echo 0
}

rows_in() { cat "$1"/*.xml 2>/dev/null | grep -c '<RESULT>' || true; }
vars_in() { cat "$@" 2>/dev/null | grep -c '^\.[0-9.]* = ' || true; }

live_config='[Config]\nTimeout=5000000\nRetry=1\nCommunity=public\n'
snmpwalk_args=(-v1 -c public -On -t 5 -r 1)

# --- 1. one target, full default walk ---------------------------------------
start_agent full "rocommunity public 127.0.0.1" 127.0.0.1
one="127.0.0.1:$port"
install_scanner "$work/one" "$live_config"
walk_both() {  # the peer: both subtrees of one target
  snmpwalk "${snmpwalk_args[@]}" "$1" 1.3.6.1.2.1
  snmpwalk "${snmpwalk_args[@]}" "$1" 1.3.6.1.4.1
}
export -f walk_both
walk_both "$one" >"$work/one.walk"
one_vars=$(vars_in "$work/one.walk")
"$work/one/mibscan" "$one" >/dev/null 2>&1
one_rows=$(rows_in "$work/one")
read -r m1_wall m1_cpu < <(best_of_3 "$work/one/mibscan" "$one")
read -r s1_wall s1_cpu < <(best_of_3 bash -c "$(declare -p snmpwalk_args); walk_both $one")
m1_ir=$(instructions "$work/one/mibscan" "$one")
s1_ir=$(( $(instructions snmpwalk "${snmpwalk_args[@]}" "$one" 1.3.6.1.2.1) +
          $(instructions snmpwalk "${snmpwalk_args[@]}" "$one" 1.3.6.1.4.1) ))

# --- 2. 200 live targets ----------------------------------------------------
addresses=()
for i in $(seq 1 200); do addresses+=("127.0.0.$i"); done
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
read -r s2_wall _ <"$work/s200"
s2_vars=$(vars_in "$work"/peers/*.out)
timeout 300 bash -c "$peer_env; peer_batch $work/peers-timed timed" || true
read -r s2_cpu s2_rss s2_switches < <(cat "$work"/peers-timed/*.[ab] |
  awk '{cpu += $1 + $2; rss += $3; sw += $4 + $5} END{printf "%.2f %d %d\n", cpu, rss, sw}')
m2_cpu=$(awk -v u="$m2_user" -v s="$m2_sys" 'BEGIN{printf "%.2f", u + s}')

# --- 3. 2,000 targets that never answer -------------------------------------
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

# --- 4. the status line: 2,000 silent and 200 live targets in one run ---------
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

# --- 5. 3,000 silent targets with Log=1: is the log on disk as fast as it is made?
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

# --- 6. SNMPv3 SHA-512/AES-256: one target, then 200 on one agent -------------
v3_auth=bench-auth-pass v3_priv=bench-priv-pass
start_agent v3 "view benchview included .1.3.6.1.2.1.1
view benchview included .1.3.6.1.2.1.2
view benchview included .1.3.6.1.2.1.11
createUser benchuser SHA-512 \"$v3_auth\" AES-256 \"$v3_priv\"
rouser benchuser priv -V benchview
rocommunity public 127.0.0.1 -V benchview" "${addresses[@]}"
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
timed "$work/v3one" "$work/v3/mibscan" "$v3one"
read -r _ v3o_user v3o_sys _ _ <"$work/v3one"
rm -f "$work/v3"/*.xml
timed "$work/v3many" "$work/v3/mibscan" "${v3_targets[@]}"
read -r _ v3m_user v3m_sys _ _ <"$work/v3many"
v3_many_rows=$(rows_in "$work/v3")
v3o_cpu=$(awk -v u="$v3o_user" -v s="$v3o_sys" 'BEGIN{printf "%.3f", u + s}')
v3m_cpu=$(awk -v u="$v3m_user" -v s="$v3m_sys" 'BEGIN{printf "%.3f", u + s}')

# --- the table --------------------------------------------------------------
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{if (b == 0) print "-"; else printf "%.2f", a / b}'; }
per_var_us() { awk -v c="$1" -v n="$2" 'BEGIN{if (n == 0) print "-"; else printf "%.1f", c * 1e6 / n}'; }
per_var() { awk -v c="$1" -v n="$2" 'BEGIN{if (n == 0) print "-"; else printf "%.2f", c / n}'; }
per_s() { awk -v n="$1" -v w="$2" 'BEGIN{if (w == 0) print "-"; else printf "%.0f", n / w}'; }
mib() { awk -v k="$1" 'BEGIN{printf "%.1f", k / 1024}'; }
row() { printf "| %-46s | %12s | %12s | %6s | %-10s |\n" "$@"; }

m1_ipv=$((m1_ir / (one_rows > 0 ? one_rows : 1)))
s1_ipv=$((s1_ir / (one_vars > 0 ? one_vars : 1)))
m2_us=$(per_var_us "$m2_cpu" "$m2_vars")
s2_us=$(per_var_us "$s2_cpu" "$s2_vars")

echo "mibscan $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo '?'), $(nproc) CPUs, $(date -u +%Y-%m-%d)"
row "measure" "mibscan" "peer" "ratio" "goal"
row "----------------------------------------------" "------------" "------------" "------" "----------"
row "1 target: variables (rows / snmpwalk lines)" "$one_rows" "$one_vars" "$(ratio "$one_rows" "$one_vars")" ""
row "1 target: wall s (best of 3) vs snmpwalk" "$m1_wall" "$s1_wall" "$(ratio "$m1_wall" "$s1_wall")" "<= 1"
row "1 target: CPU s (same run)" "$m1_cpu" "$s1_cpu" "$(ratio "$m1_cpu" "$s1_cpu")" ""
row "1 target: instructions per variable" "$m1_ipv" "$s1_ipv" "$(ratio "$m1_ipv" "$s1_ipv")" "<= 0.7"
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
row "3000 silent, Log=1: lines made / on disk at exit" "$l_total" "$l_disk" "" ""
row "3000 silent, Log=1: largest log file, bytes" "$l_biggest" "262144" "" "+ 1 batch"
v3_m_ipv=$((v3_m_ir / (v3_one_rows > 0 ? v3_one_rows : 1)))
v3_s_ipv=$((v3_s_ir / (v3_one_vars > 0 ? v3_one_vars : 1)))
row "v3 SHA-512/AES-256 1 target: rows / snmpwalk" "$v3_one_rows" "$v3_one_vars" \
  "$(ratio "$v3_one_rows" "$v3_one_vars")" ""
row "v3 SHA-512/AES-256 1 target: instr. per var" "$v3_m_ipv" "$v3_s_ipv" "$(ratio "$v3_m_ipv" "$v3_s_ipv")" "<= 0.7"
row "v3 200 targets, 1 agent: rows" "$v3_many_rows" "$((v3_one_rows * 200))" \
  "$(ratio "$v3_many_rows" "$((v3_one_rows * 200))")" ""
v3o_us=$(per_var_us "$v3o_cpu" "$v3_one_rows")
v3m_us=$(per_var_us "$v3m_cpu" "$v3_many_rows")
row "v3 CPU us per variable: 200 vs 1 target" "$v3m_us" "$v3o_us" "$(ratio "$v3m_us" "$v3o_us")" "<= 1.3"
