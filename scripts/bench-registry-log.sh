#!/usr/bin/env bash
# What opening a kept machine costs in wall time and peak memory as its
# registry.log grows (bench/registry_log_open.cpp), one line per case:
#   REGISTRY_MB LOG_MB   wall seconds, peak kB, and what the open said.
# The cases: a log as large as a 255 MB registry.reg lets the saves write
# (a quarter of it), and a 255 MB log beside a small registry.reg, which no
# save writes.
# Usage: scripts/bench-registry-log.sh [BUILD_DIR]   (default build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
if [ "$build" = build/release ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release --target qvi_registry_log_open >/dev/null
fi
tool="$build/bench/qvi_registry_log_open"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for case in "255 63" "1 255"; do
  read -r registry_mb log_mb <<<"$case"
  rm -rf "$work/m"
  "$tool" make "$work/m" "$registry_mb" "$log_mb" >/dev/null
  t=$(mktemp)
  said=$(/usr/bin/time -f "%e %M" -o "$t" "$tool" open "$work/m")
  read -r wall peak <"$t"
  rm -f "$t"
  printf '%4s MB registry.reg, %3s MB registry.log: %6ss wall, %8s kB peak; %s\n' "$registry_mb" "$log_mb" "$wall" \
    "$peak" "$(sed 's|/[^ ]*/m/||' <<<"$said")"
done
