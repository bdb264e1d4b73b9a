#!/usr/bin/env bash
# Fails when a project include points up or sideways between the rooms of the
# source tree. Layers, top to bottom (an arrow may only point down or stay in
# its own room):
#
#   app  ->  scan  ->  accounts | output  ->  log  ->  platform
#
# accounts and output share a layer and do not include each other; platform
# includes none of the others. tests/, bench/ and fuzz/ may include anything.
#
# usage: scripts/check_includes.sh [ROOT]   (default: the repository)
#        scripts/check_includes.sh --self-test
set -euo pipefail

layer() {
  case "$1" in
    app) echo 5 ;;
    scan) echo 4 ;;
    accounts | output) echo 3 ;;
    log) echo 2 ;;
    platform) echo 1 ;;
    *) echo 0 ;;
  esac
}

check() {
  local root=$1 bad=0 file room line target to from_layer to_layer
  while IFS= read -r file; do
    room=${file#"$root"/}
    room=${room%%/*}
    from_layer=$(layer "$room")
    while IFS= read -r line; do
      target=${line#*\"}
      target=${target%%\"*}
      to=${target%%/*}
      [ "$to" = "$target" ] && continue  # no room prefix: not one of ours
      to_layer=$(layer "$to")
      [ "$to_layer" -eq 0 ] && continue
      if [ "$to" != "$room" ] && [ "$to_layer" -ge "$from_layer" ]; then
        echo "${file#"$root"/}: includes \"$target\" ($room may not depend on $to)" >&2
        bad=1
      fi
    done < <(grep -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" || true)
  done < <(find "$root/app" "$root/scan" "$root/accounts" "$root/output" "$root/log" "$root/platform" \
             -type f \( -name '*.h' -o -name '*.cpp' \) 2>/dev/null | sort)
  return $bad
}

self_test() {
  local tmp status=0
  tmp=$(mktemp -d "${TMPDIR:-/tmp}/mibscan-includes-XXXXXX")
  trap 'rm -rf "$tmp"' RETURN
  mkdir -p "$tmp"/{app,scan,accounts,output,log,platform}
  printf '#include "scan/a.h"\n#include "platform/p.h"\n' >"$tmp/app/main.cpp"
  printf '#include "output/o.h"\n#include "log/l.h"\n#include "scan/b.h"\n' >"$tmp/scan/a.h"
  printf '#include <string>\n#include "platform/p.h"\n' >"$tmp/output/o.h"
  check "$tmp" 2>/dev/null || { echo "self-test: a downward tree was refused" >&2; status=1; }
  local bad
  for bad in 'log/x.cpp:app/globals.h' 'platform/x.h:log/log.h' 'output/x.h:accounts/a.h' 'output/x.h:scan/mib.h'; do
    mkdir -p "$tmp/bad"
    rm -rf "$tmp/bad"/*
    cp -R "$tmp"/{app,scan,accounts,output,log,platform} "$tmp/bad/"
    printf '#include "%s"\n' "${bad#*:}" >"$tmp/bad/${bad%%:*}"
    if check "$tmp/bad" 2>/dev/null; then
      echo "self-test: ${bad%%:*} including ${bad#*:} was let through" >&2
      status=1
    fi
  done
  [ $status -eq 0 ] && echo "self-test passed"
  return $status
}

if [ "${1:-}" = "--self-test" ]; then
  self_test
else
  check "${1:-$(cd "$(dirname "$0")/.." && pwd)}" && echo "includes point down"
fi
