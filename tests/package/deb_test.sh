#!/usr/bin/env bash
# The Debian package as `cmake --build BUILD --target package` makes it: its
# files, its control fields, lintian, the manual page and completion, the
# installed program writing only into the folder it runs in, removal, and the
# nightly scan's units and script.
#
#   tests/package/deb_test.sh BUILD_DIR VERSION
set -euo pipefail
build=$1
version=$2
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
skip() { echo "skipped: $*"; }

cmake --build "$build" --target package >"$build/package.log" 2>&1 || {
  cat "$build/package.log" >&2
  fail "the package target failed"
}
deb="$build/mibscan_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $deb"

# --- files, owners and modes
listing=$(dpkg-deb -c "$deb")
files=$(awk '$1 !~ /^d/ {print $NF}' <<<"$listing" | sort)
expected=$(printf '%s\n' \
  ./usr/bin/mibscan \
  ./usr/libexec/mibscan/mibscan-nightly \
  ./usr/lib/systemd/system/mibscan@.service \
  ./usr/lib/systemd/system/mibscan@.timer \
  ./usr/share/bash-completion/completions/mibscan \
  ./usr/share/doc/mibscan/README.md \
  ./usr/share/doc/mibscan/changelog.gz \
  ./usr/share/doc/mibscan/copyright \
  ./usr/share/doc/mibscan/examples/accounts.csv \
  ./usr/share/doc/mibscan/examples/config.ini \
  ./usr/share/man/man1/mibscan.1.gz | sort)
[ "$files" = "$expected" ] || fail "files in the package:"$'\n'"$files"$'\n'"expected:"$'\n'"$expected"
while read -r mode owner _ _ _ path; do
  [ "$owner" = root/root ] || fail "$path belongs to $owner"
  case $path in
    */ | ./usr/bin/mibscan | ./usr/libexec/mibscan/mibscan-nightly) want=rwxr-xr-x ;;
    *) want=rw-r--r-- ;;
  esac
  [ "${mode:1}" = "$want" ] || fail "$path has mode $mode, not $want"
done <<<"$listing"

depends=$(dpkg-deb -f "$deb" Depends)
for lib in libsnmp40 libxml2 libssl3; do
  # A whole package name in the comma-separated list, with or without a version.
  grep -Eq "(^|, )$lib( \(|,|$)" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
[ "$(dpkg-deb -f "$deb" Package)" = mibscan ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"

# --- lintian: no error, no warning (information and pedantic notes allowed)
command -v lintian >/dev/null || fail "lintian is not installed (scripts/packages.sh lists it)"
lint=$(lintian --fail-on none "$deb" 2>&1 | grep -v 'running with root privileges' || true)
if grep -Eq '^[EW]: ' <<<"$lint"; then fail "lintian:"$'\n'"$lint"; fi

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
pkg=$root/pkg
dpkg-deb -x "$deb" "$pkg"
mibscan=$pkg/usr/bin/mibscan
[ "$("$mibscan" --version)" = "mibscan $version" ] || fail "--version of the packaged program"
zcat "$pkg/usr/share/doc/mibscan/changelog.gz" | head -1 | grep -q "^mibscan ($version) " ||
  fail "changelog.gz does not start with version $version"

# --- the manual page: renders without warnings, holds every part and every
# config.ini key the program reads
page=$(MANWIDTH=200 man --warnings -l "$pkg/usr/share/man/man1/mibscan.1.gz" 2>"$root/man.err")
[ ! -s "$root/man.err" ] || fail "man warnings:"$'\n'"$(cat "$root/man.err")"
for section in NAME SYNOPSIS DESCRIPTION "THE RUN FOLDER" CONFIGURATION ACCOUNTS FILES \
  "EXIT STATUS" SIGNALS EXAMPLES; do
  grep -q "^$section\$" <<<"$page" || fail "the manual page has no section $section"
done
for column in ip username password authprotocol privprotocol privpassword; do
  grep -q "^ *$column\b" <<<"$page" || fail "the manual page does not describe the column $column"
done
# The keys as the configuration reader names them.
keys=$(grep -ohE '"Config", "[A-Za-z]+"|ReadCount\(config, "[A-Za-z]+"' "$source_dir"/app/*.cpp |
  grep -oE '"[A-Za-z]+"$' | tr -d '"' | sort -u)
[ -n "$keys" ] || fail "no config.ini key found in app/*.cpp: the pattern above is out of date"
example=$pkg/usr/share/doc/mibscan/examples/config.ini
for key in $keys; do
  grep -Eq "^ *$key=" <<<"$page" || fail "the manual page does not describe config.ini key $key"
  grep -Eq "^;?$key=" "$example" || fail "the example config.ini lacks $key"
done

# --- bash completion, through bash-completion itself
completion=$pkg/usr/share/bash-completion/completions/mibscan
if [ -f /usr/share/bash-completion/bash_completion ]; then
  mkdir -p "$root/cwd/subdir" && touch "$root/cwd/file"
  complete_line() {  # prints the candidates bash would offer at the end of "$1"
    (cd "$root/cwd" && PATH="$pkg/usr/bin:$PATH" bash -c '
      source /usr/share/bash-completion/bash_completion
      source "$1"
      COMP_LINE=$2; COMP_POINT=${#COMP_LINE}
      read -ra COMP_WORDS <<<"$COMP_LINE"
      [[ $COMP_LINE == *" " ]] && COMP_WORDS+=("")
      COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
      _mibscan mibscan "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
      printf "%s\n" "${COMPREPLY[@]}" | sort' _ "$completion" "$1")
  }
  while IFS='|' read -r line want; do
    got=$(complete_line "$line" | tr '\n' ' ' | sed 's/ $//')
    [ "$got" = "$want" ] || fail "completion of \"$line\": \"$got\", expected \"$want\""
  done <<'EOF'
mibscan --d|--diff --dir
mibscan --di|--diff --dir
mibscan --diff --a|--all
mibscan --diff |file subdir
mibscan --t|--targets
mibscan --dir |subdir
mibscan --targets f|file
mibscan --shard |
mibscan --dir subdir --s|--shard
mibscan 192.0.2.1 --|
mibscan -- --|
EOF
  all=$(complete_line "mibscan --" | tr '\n' ' ')
  for option in --dir --targets --shard --help --version; do
    grep -q -- "$option " <<<"$all" || fail "completion of \"mibscan --\" lacks $option: $all"
  done
else
  skip "bash completion: bash-completion is not installed"
fi

# --- installed, run, removed. dpkg installs into a root of its own; in a
# mount namespace that root's bin folder stands at /usr/local/bin, so the
# program runs from a system folder without touching the machine's own.
sys=$root/sys
mkdir -p "$sys/var/lib/dpkg/info" "$sys/var/lib/dpkg/updates"
touch "$sys/var/lib/dpkg/status"
dpkg --root="$sys" --force-depends --force-not-root -i "$deb" >"$root/dpkg.log" 2>&1 ||
  fail "dpkg -i: $(cat "$root/dpkg.log")"
[ "$(MANPATH="$sys/usr/share/man" man -w mibscan)" = "$sys/usr/share/man/man1/mibscan.1.gz" ] ||
  fail "man does not find the installed page"
# A loopback port nothing answers on (free once the probe has closed it).
port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
run=$root/run
mkdir "$run"
printf '[Config]\nTimeout=50000\nRetry=0\nLog=1\n' >"$run/config.ini"
install -m 600 "$sys/usr/share/doc/mibscan/examples/accounts.csv" "$run/"
if unshare -m true 2>/dev/null; then
  set +e
  (cd "$run" && unshare -m sh -c \
    'mount --make-rprivate / && mount --bind "$1" /usr/local/bin && exec /usr/local/bin/mibscan "$2"' \
    _ "$sys/usr/bin" "127.0.0.1:$port") >"$root/out" 2>"$root/err"
  code=$?
  set -e
  [ "$code" = 0 ] || fail "the installed program exited with $code: $(cat "$root/err")"
  note="mibscan: settings and results in the current directory $run (mibscan is installed in /usr/local/bin; --dir DIR chooses another folder)"
  [ "$(grep -c '^mibscan: settings and results' "$root/err")" = 1 ] ||
    fail "standard error does not name the folder once: $(cat "$root/err")"
  grep -qxF "$note" "$root/err" || fail "standard error: $(cat "$root/err")"
  ! grep -q 'readable by group' "$root/err" || fail "the example accounts.csv, installed as the README says, is refused"
  written=$(cd "$run" && find . -mindepth 1 -maxdepth 1 | sort | tr '\n' ' ')
  [ "$written" = "./127.0.0.1:$port.xml ./accounts.csv ./config.ini ./log ./summary.csv " ] ||
    fail "the run folder holds: $written"
  [ -s "$run/log/log.txt" ] || fail "no log in the run folder"
  [ "$(ls -A "$sys/usr/bin")" = mibscan ] || fail "something was written beside the installed program"
  # Started in its own folder: refused before anything is written.
  set +e
  unshare -m sh -c 'mount --bind "$1" /usr/local/bin && cd /usr/local/bin && exec ./mibscan "$2"' \
    _ "$sys/usr/bin" "127.0.0.1:$port" >"$root/out" 2>"$root/err"
  code=$?
  set -e
  [ "$code" = 1 ] || fail "started in /usr/local/bin, the installed program exited with $code"
  grep -q '^mibscan: the current directory /usr/local/bin is a system folder' "$root/err" ||
    fail "started in /usr/local/bin: $(cat "$root/err")"
  [ "$(ls -A "$sys/usr/bin")" = mibscan ] || fail "the installed program wrote into its own folder"
else
  skip "the installed program's folder: no mount namespace here (unshare -m needs root)"
fi
dpkg --root="$sys" --force-not-root -r mibscan >"$root/dpkg.log" 2>&1 || fail "dpkg -r: $(cat "$root/dpkg.log")"
left=$(cd "$sys" && find . -mindepth 1 ! -path './var/lib/dpkg*' ! -path ./var/lib ! -path ./var | sort)
[ -z "$left" ] || fail "left after dpkg -r:"$'\n'"$left"

# --- the packaged program away from any system folder keeps its designed
# place beside the executable, and --dir takes precedence
mkdir "$root/scan"
"$mibscan" --dir "$root/scan" 2>"$root/err" || fail "packaged program with --dir"
[ -d "$root/scan/log" ] || fail "no log directory in --dir"
[ ! -s "$root/err" ] || fail "standard error with --dir: $(cat "$root/err")"
[ "$(ls "$pkg/usr/bin")" = mibscan ] || fail "something was written beside the packaged program"

# --- the nightly units
units=$pkg/usr/lib/systemd/system
if command -v systemd-analyze >/dev/null; then
  # The units as installed, with the paths of this unpacked package.
  mkdir "$root/units"
  for unit in mibscan@.service mibscan@.timer; do
    sed "s#/usr/libexec/mibscan/#$pkg/usr/libexec/mibscan/#" "$units/$unit" >"$root/units/$unit"
  done
  (cd "$root/units" && MANPATH="$pkg/usr/share/man" systemd-analyze verify mibscan@.service \
    mibscan@.timer) >"$root/verify" 2>&1 || fail "systemd-analyze verify: $(cat "$root/verify")"
  [ ! -s "$root/verify" ] || fail "systemd-analyze verify: $(cat "$root/verify")"
else
  skip "systemd-analyze verify: systemd is not installed"
fi

# --- the nightly script: previous and current results, and what changed
nightly=$pkg/usr/libexec/mibscan/mibscan-nightly
site=$root/site
mkdir "$site"
printf '[Config]\nTimeout=50000\nRetry=0\n' >"$site/config.ini"
install -m 600 "$pkg/usr/share/doc/mibscan/examples/accounts.csv" "$site/"
echo "127.0.0.1:$port" >"$site/targets.txt"
MIBSCAN=$mibscan "$nightly" "$site" >/dev/null 2>"$root/err" || fail "first night: $(cat "$root/err")"
[ -f "$site/current/127.0.0.1:$port.xml" ] || fail "first night: no result in current/"
[ "$(stat -c %a "$site/current/accounts.csv")" = 600 ] || fail "the run's accounts.csv is not 0600"
[ ! -e "$site/previous" ] && [ ! -e "$site/changes.csv" ] || fail "first night: something to compare"
first=$(stat -c %i "$site/current")
set +e
MIBSCAN=$mibscan "$nightly" "$site" >/dev/null 2>"$root/err"
code=$?
set -e
[ "$(stat -c %i "$site/previous")" = "$first" ] || fail "second night: the first run is not in previous/"
[ -f "$site/current/127.0.0.1:$port.xml" ] || fail "second night: no result in current/"
if "$mibscan" --help | grep -q -- '--diff'; then
  [ "$code" = 0 ] || fail "second night exited with $code: $(cat "$root/err")"
  head -1 "$site/changes.csv" | grep -q '^target,oid,name,change,old,new' ||
    fail "changes.csv: $(head -3 "$site/changes.csv")"
else
  # Without --diff the script must say it could not compare, not leave an
  # empty or wrong changes.csv.
  [ "$code" = 2 ] && [ ! -e "$site/changes.csv" ] || fail "without --diff: exit $code"
  skip "changes.csv: this mibscan has no --diff"
fi

# A scan stopped half-way leaves the last complete runs as they were.
current=$(stat -c %i "$site/current")
previous=$(stat -c %i "$site/previous")
printf '[Config]\nTimeout=2000000\nRetry=0\n' >"$site/config.ini"
MIBSCAN=$mibscan "$nightly" "$site" >/dev/null 2>"$root/err" &
script=$!
for _ in $(seq 100); do
  scanner=$(pgrep -P "$script" -x mibscan || true)
  [ -n "$scanner" ] && [ -d "$site/next/log" ] && break
  sleep 0.1
done
[ -n "$scanner" ] || fail "the stopped night: no scan started"
kill -TERM "$scanner"
set +e
wait "$script"
code=$?
set -e
[ "$code" = 143 ] || fail "the stopped night exited with $code: $(cat "$root/err")"
[ "$(stat -c %i "$site/current")" = "$current" ] && [ "$(stat -c %i "$site/previous")" = "$previous" ] ||
  fail "the stopped night replaced current/ or previous/"
[ -f "$site/next/127.0.0.1:$port.xml" ] || fail "the stopped night's result is not in next/"
echo "package ok: $deb"
