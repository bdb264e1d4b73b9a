#!/usr/bin/env bash
# The Debian package as `cmake --build BUILD --target package` makes it: its
# name, its files, its declared dependencies, and the installed program
# working from a read-only place with --dir.
#
#   tests/package/deb_test.sh BUILD_DIR VERSION
set -euo pipefail
build=$1
version=$2
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

cmake --build "$build" --target package >"$build/package.log" 2>&1 || {
  cat "$build/package.log" >&2
  fail "the package target failed"
}
deb="$build/mibscan_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $deb"

listing=$(dpkg-deb -c "$deb")
files=$(awk '$1 !~ /^d/ {print $NF}' <<<"$listing" | sort)
expected=$(printf '%s\n' ./usr/bin/mibscan ./usr/share/doc/mibscan/README.md \
  ./usr/share/doc/mibscan/accounts.csv ./usr/share/doc/mibscan/config.ini | sort)
[ "$files" = "$expected" ] || fail "files in the package:"$'\n'"$files"$'\n'"expected:"$'\n'"$expected"
grep -q '^-rwxr-xr-x .* \./usr/bin/mibscan$' <<<"$listing" || fail "/usr/bin/mibscan is not executable"

depends=$(dpkg-deb -f "$deb" Depends)
for lib in libsnmp40 libxml2 libssl3; do
  # A whole package name in the comma-separated list, with or without a version.
  grep -Eq "(^|, )$lib( \(|,|$)" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
[ "$(dpkg-deb -f "$deb" Package)" = mibscan ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"

# The program as installed: /usr/bin is not written to, DIR gets the log.
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root/pkg"
mkdir "$root/scan"
[ "$("$root/pkg/usr/bin/mibscan" --version)" = "mibscan $version" ] || fail "--version of the packaged program"
"$root/pkg/usr/bin/mibscan" --dir "$root/scan" || fail "packaged program with --dir"
[ -d "$root/scan/log" ] || fail "no log directory in --dir"
[ "$(ls "$root/pkg/usr/bin")" = mibscan ] || fail "something was written beside the packaged program"
echo "package ok: $deb"
