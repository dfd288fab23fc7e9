#!/usr/bin/env bash
# A real machine's registry, side by side: generated exports of
# HKEY_LOCAL_MACHINE\SOFTWARE (scripts/gen-export.py) at each SCALE (1 is
# 400,000 keys, about 242 MB of UTF-16), and for each
#   - the load alone (bench/load_export.cpp, as a machine reads registry.reg):
#     CPU seconds (the median of five runs) and peak memory, against the
#     file's size;
#   - a whole `qvihost run install-nt` seeded from it: wall, CPU, peak memory;
#   - `qvihost matrix install-95 --jobs 2` seeded from it: wall and CPU;
# then the same export imported by Wine's `regedit /s` and read back with
# `regedit /e` at PEER_SCALE (a whole-size import takes Wine far too long:
# its time is scaled linearly to the others, which flatters it), against our
# load of that file; and the exponent k of time ~ size^k between scales, of
# wall time and of CPU time (user + system: a machine shared with others
# disturbs it less than wall time).
# The default scales, 0.01, 0.1 and 1, are three sizes spanning 100x: 1x, 10x
# and 100x the smallest. 100x the whole export is not a seed anyone can run:
# qvihost refuses a registry file over 256 MB, so scales past about 1.05
# measure the load alone.
# Usage: scripts/bench-export.sh [SCALES] [PEER_SCALE]   (default "0.01 0.1 1" 0.01)
set -euo pipefail
cd "$(dirname "$0")/.."
scales=${1:-"0.01 0.1 1"}
peer_scale=${2:-0.01}
unset DISPLAY WAYLAND_DISPLAY
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
export WINEPREFIX="$PWD/build/bench-regedit-prefix"
loader=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

cmake --preset release >/dev/null
cmake --build --preset release --target qvihost qvi_load_export >/dev/null
qvihost=build/release/cli/qvihost/qvihost
load=build/release/bench/qvi_load_export
dir=build/exports
mkdir -p "$dir"
results=$(mktemp)
trap 'rm -f "$results"' EXIT

export_of() {
  local file="$dir/export-$1.reg"
  [ -f "$file" ] || python3 scripts/gen-export.py "$file" --scale "$1" 2>/dev/null
  for base in install-nt install-95; do
    printf '{"name": "export-%s", "base": "%s", "machine": {"registry_file": "export-%s.reg"}}\n' \
      "$1" "$base" "$1" >"$dir/export-$1-$base.json"
  done
  echo "$file"
}

# "wall user+system peak_kb" of a command, its output dropped.
timed() {
  local t
  t=$(mktemp)
  /usr/bin/time -f "%e %U %S %M" -o "$t" "$@" >/dev/null
  awk '{printf "%s %.3f %s\n", $1, $2 + $3, $4}' "$t"
  rm -f "$t"
}

# The load's in-process CPU seconds, the median of LOAD_REPEATS runs (5 by
# default): one run on a shared machine moves by a third.
median_load() {
  for _ in $(seq "${LOAD_REPEATS:-5}"); do
    "$load" "$1" | sed 's/.*load \([0-9.]*\) s CPU.*/\1/'
  done | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

for s in $scales; do
  file=$(export_of "$s")
  bytes=$(stat -c %s "$file")
  cpu_line=$(median_load "$file")
  read -r lw lc lk < <(timed "$load" "$file")
  echo "load $s $bytes $cpu_line $lw $lc $lk" >>"$results"
  if [ "$bytes" -le $((256 << 20)) ]; then
    read -r rw rc rk < <(timed "$qvihost" run "$dir/export-$s-install-nt.json")
    echo "run $s $bytes $rw $rc $rk" >>"$results"
    read -r mw mc mk < <(timed "$qvihost" matrix "$dir/export-$s-install-95.json" --jobs 2)
    echo "matrix $s $bytes $mw $mc $mk" >>"$results"
  fi
done

# The peer: a prefix of its own, fresh for each import, so that the import
# neither finds its keys already there nor grows a prefix others use.
peer_file=$(export_of "$peer_scale")
template="$PWD/build/bench-regedit-template"
if [ ! -f "$template/system.reg" ]; then
  rm -rf "$template"
  WINEPREFIX="$template" "$loader" wineboot -i </dev/null >/dev/null 2>&1
  WINEPREFIX="$template" "$wineserver" -w
fi
rm -rf "$WINEPREFIX"
cp -a "$template" "$WINEPREFIX"
"$wineserver" -p </dev/null >/dev/null 2>&1
trap '"$wineserver" -k 2>/dev/null || true; rm -f "$results"; rm -rf "$WINEPREFIX"' EXIT
# Wine sees the host's root as drive Z:.
winpath() { echo "Z:$(realpath "$1" | sed 's|/|\\|g')"; }
empty=$(mktemp --suffix=.reg)
printf 'REGEDIT4\r\n\r\n' >"$empty"
read -r ew _ _ < <(timed "$loader" regedit /s "$(winpath "$empty")")
read -r pw _ _ < <(timed "$loader" regedit /s "$(winpath "$peer_file")")
back=$(mktemp --suffix=.reg)
"$loader" regedit /e "$(winpath "$back")" 'HKEY_LOCAL_MACHINE\SOFTWARE' </dev/null >/dev/null 2>&1
count_vendor_keys() { iconv -f UTF-16LE -t UTF-8 "$1" | grep -c '^\[HKEY_LOCAL_MACHINE\\SOFTWARE\\V[0-9]' || true; }
echo "peer $peer_scale $(stat -c %s "$peer_file") $pw $ew $(count_vendor_keys "$peer_file") $(count_vendor_keys "$back")" >>"$results"
oi=$(median_load "$peer_file")
read -r ow oc ok < <(timed "$load" "$peer_file")
echo "ours_at_peer $peer_scale $ow $oc $ok $oi" >>"$results"
rm -f "$empty" "$back"

python3 - "$results" <<'PY'
import math, sys
rows = [line.split() for line in open(sys.argv[1])]
def k(points):
    out = []
    for (s1, t1), (s2, t2) in zip(points, points[1:]):
        out.append(f"{math.log(t2 / t1) / math.log(s2 / s1):.2f}" if t1 > 0 and t2 > 0 else "-")
    return ", ".join(out) or "-"
print("scale  file MB  | load CPU s (median, in-process)  peak MB  x file | run wall s  CPU s  peak MB | matrix --jobs 2 wall s  CPU s")
series = {"load": [], "run": [], "run CPU": [], "matrix": [], "matrix CPU": []}
by_scale = {}
for r in rows:
    if r[0] in series:
        by_scale.setdefault(float(r[1]), {})[r[0]] = r
for s in sorted(by_scale):
    d = by_scale[s]
    l = d["load"]
    mb = int(l[2]) / 1e6
    peak = int(l[6]) / 1e3
    line = f"{s:<6} {mb:8.1f} | {float(l[3]):10.3f} {peak:24.1f} {peak / mb:7.2f}"
    series["load"].append((s, float(l[3])))
    if "run" in d:
        r = d["run"]
        line += f" | {float(r[3]):10.2f} {float(r[4]):6.2f} {int(r[5]) / 1e3:8.1f}"
        series["run"].append((s, float(r[3])))
        series["run CPU"].append((s, float(r[4])))
    if "matrix" in d:
        m = d["matrix"]
        line += f" | {float(m[3]):22.2f} {float(m[4]):6.2f}"
        series["matrix"].append((s, float(m[3])))
        series["matrix CPU"].append((s, float(m[4])))
    print(line)
for name, points in series.items():
    shown = " ".join(f"{s:g}" for s, _ in points)
    print(f"k of {name} between scales ({shown}): {k(points)}, overall: {k([points[0], points[-1]]) if len(points) > 1 else '-'}")
peer = next(r for r in rows if r[0] == "peer")
ours = next(r for r in rows if r[0] == "ours_at_peer")
ps, pbytes, pw, ew, keys_in, keys_back = float(peer[1]), int(peer[2]), float(peer[3]), float(peer[4]), peer[5], peer[6]
print(f"\nWine regedit /s of the {pbytes / 1e6:.1f} MB export (scale {ps}): {pw:.2f} s wall "
      f"({ew:.2f} s for an empty file); vendor keys in the file {keys_in}, read back with regedit /e {keys_back}")
net = max(pw - ew, 1e-9)
# Both without their start: regedit less an empty import, ours in-process.
print(f"ours, loading the same file: {float(ours[2]):.3f} s wall as a process, {float(ours[5]):.3f} s CPU "
      f"in-process; ratio (regedit less its start) / ours in-process: {net / max(float(ours[5]), 1e-3):.0f}x")
for s, t in series["load"]:
    print(f"scale {s}: regedit scaled linearly {net * s / ps:.1f} s against our load {t:.3f} s CPU: {net * s / ps / t:.0f}x")
PY
