#!/usr/bin/env bash
# The single-fault matrix of a life cycle against that of one scenario, on
# one large seed: the shipped life cycle (install, upgrade, uninstall on
# Windows NT) and install-95, each with machine.registry_file set to a
# generated export of HKEY_LOCAL_MACHINE\SOFTWARE (scripts/gen-export.py at
# SCALE; 1 is 400,000 keys, about 242 MB of UTF-16). Both run with --jobs 2;
# prints wall and CPU seconds, peak memory, the faults each ran and the ratio
# of the life cycle's wall time to install-95's.
# Usage: scripts/bench-life-cycle-matrix.sh [SCALE]   (default 1)
set -euo pipefail
cd "$(dirname "$0")/.."
scale=${1:-1}
cmake --preset release >/dev/null
cmake --build --preset release --target qvihost >/dev/null
qvihost=build/release/cli/qvihost/qvihost
dir=build/exports
mkdir -p "$dir"
export_file="$dir/export-$scale.reg"
[ -f "$export_file" ] || python3 scripts/gen-export.py "$export_file" --scale "$scale" 2>/dev/null
printf '{"name": "export-%s-install-95", "base": "install-95", "machine": {"registry_file": "export-%s.reg"}}\n' \
  "$scale" "$scale" >"$dir/export-$scale-install-95.json"
python3 - "$dir/export-$scale-life-cycle.json" "$scale" <<'PY'
import json, sys
cycle = json.load(open("examples/life-cycle/install-upgrade-uninstall.json"))
cycle["name"] = "export-%s-life-cycle" % sys.argv[2]
cycle["machine"]["registry_file"] = "export-%s.reg" % sys.argv[2]
json.dump(cycle, open(sys.argv[1], "w"), indent=2)
PY

# "wall cpu peak_mb faults" of one matrix.
measure() {
  local t out
  t=$(mktemp)
  out=$(mktemp)
  /usr/bin/time -f "%e %U %S %M" -o "$t" "$qvihost" matrix "$1" --jobs 2 >"$out"
  local faults
  faults=$(head -1 "$out" | sed 's/.*: \([0-9]*\) faults.*/\1/')
  awk -v f="$faults" '{printf "%s %.2f %.0f %s\n", $1, $2 + $3, $4 / 1024, f}' "$t"
  rm -f "$t" "$out"
}

read -r sw sc sm sf < <(measure "$dir/export-$scale-install-95.json")
read -r cw cc cm cf < <(measure "$dir/export-$scale-life-cycle.json")
printf 'export scale %s, %s bytes, %s CPUs\n' "$scale" "$(stat -c %s "$export_file")" "$(nproc)"
printf '%-26s %8s %8s %9s %7s\n' "matrix --jobs 2" "wall s" "CPU s" "peak MB" "faults"
printf '%-26s %8s %8s %9s %7s\n' "install-95" "$sw" "$sc" "$sm" "$sf"
printf '%-26s %8s %8s %9s %7s\n' "life cycle (3 steps)" "$cw" "$cc" "$cm" "$cf"
awk -v a="$cw" -v b="$sw" 'BEGIN { printf "life cycle / install-95 wall: %.2fx (goal: at most 2x)\n", a / b }'
