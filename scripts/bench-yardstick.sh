#!/usr/bin/env bash
# The cost of reading a real machine's registry against one yardstick: the
# CPU time of `iconv -f UTF-16LE -t UTF-8 FILE | wc -l`, which reads the same
# bytes and does the least any reader must (turn UTF-16 into text and find
# the lines). Each figure is the best of REPEATS runs (3 by default; the
# least disturbed on a shared machine), CPU as user + system, and is printed
# as a ratio to the yardstick:
#   - the load benchmark (bench/load_export.cpp) as a whole process, and its
#     own in-process CPU of the load alone;
#   - `qvihost run install-nt` seeded from the export (machine.registry_file),
#     with its peak memory against the file's size.
# With QVI_BEFORE=path/to/another/qvihost (and QVI_BEFORE_LOAD=path/to/another
# qvi_load_export), those binaries are measured in the same rounds.
# Usage: scripts/bench-yardstick.sh [SCALE] [REPEATS]   (default 0.25 3)
set -euo pipefail
cd "$(dirname "$0")/.."
scale=${1:-0.25}
repeats=${2:-3}

cmake --preset release >/dev/null
cmake --build --preset release --target qvihost qvi_load_export >/dev/null
dir=build/exports
mkdir -p "$dir"
file="$dir/export-$scale.reg"
[ -f "$file" ] || python3 scripts/gen-export.py "$file" --scale "$scale" 2>/dev/null
scenario="$dir/export-$scale-install-nt.json"
printf '{"name": "export-%s", "base": "install-nt", "machine": {"registry_file": "export-%s.reg"}}\n' \
  "$scale" "$scale" >"$scenario"
bytes=$(stat -c %s "$file")

# "cpu_seconds peak_kb" of one run of a command, its output dropped.
once() {
  local t
  t=$(mktemp)
  /usr/bin/time -f "%U %S %M" -o "$t" "$@" >/dev/null
  awk '{printf "%.3f %s\n", $1 + $2, $3}' "$t"
  rm -f "$t"
}

# The best (least) CPU of REPEATS runs, with the peak memory of that run.
best() {
  for _ in $(seq "$repeats"); do once "$@"; done | sort -n | head -1
}

# The load's own CPU, measured inside the process around the load alone.
best_inside() {
  for _ in $(seq "$repeats"); do
    "$1" "$file" | sed 's/.*load \([0-9.]*\) s CPU.*/\1/'
  done | sort -n | head -1
}

read -r yard _ < <(best sh -c "iconv -f UTF-16LE -t UTF-8 '$file' | wc -l")
printf 'scale %s: %s, %.1f MB; %s CPUs, %s\n' "$scale" "$file" "$(awk -v b="$bytes" 'BEGIN { print b / 1e6 }')" "$(nproc)" \
  "$(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //')"
printf 'yardstick (iconv | wc -l): %.3f s CPU, best of %s\n' "$yard" "$repeats"

report() {  # NAME LOAD QVIHOST
  local name=$1 load=$2 qvihost=$3 lc inside rc rk
  read -r lc _ < <(best "$load" "$file")
  inside=$(best_inside "$load")
  read -r rc rk < <(best "$qvihost" run "$scenario")
  awk -v n="$name" -v y="$yard" -v lc="$lc" -v li="$inside" -v rc="$rc" -v rk="$rk" -v b="$bytes" 'BEGIN {
    printf "%-7s load: %.3f s CPU (%.2f x), in-process %.3f s (%.2f x) | run install-nt seeded: %.3f s CPU (%.2f x), peak %.1f MB (%.2f x the file)\n",
      n, lc, lc / y, li, li / y, rc, rc / y, rk / 1000, rk * 1024 / b }'
}

[ -n "${QVI_BEFORE:-}" ] && report before "${QVI_BEFORE_LOAD:-build/release/bench/qvi_load_export}" "$QVI_BEFORE"
report after build/release/bench/qvi_load_export build/release/cli/qvihost/qvihost
