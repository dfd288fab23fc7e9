#!/usr/bin/env bash
# Runs each platform workload on the emulated machine (release build) and on
# the real Win32 API (the same source cross-built for 64-bit Windows, run under
# Wine), interleaved, ROUNDS times (default 7), and prints per workload the
# median wall time per unit of both and the ratio peer/ours with its min,
# median and max over the rounds. Times are measured inside each process
# around the workload only (process start and Wine's start-up are left out).
# With QVI_BEFORE=path/to/another/qvi_workloads, that binary runs in the same
# rounds too and its figures and ratios are printed beside ours.
# With QVI_EXPORT_SCALES (e.g. "0.1 1") and QVI_EXPORT_PEER (e.g. 0.1), a
# real machine's registry follows in the same run (scripts/bench-export.sh).
# Usage: scripts/bench-peer.sh [ROUNDS] [REPEATS]
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-7}
repeats=${2:-5}
unset DISPLAY WAYLAND_DISPLAY
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
export WINEPREFIX="$PWD/build/bench-wineprefix"
loader=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

cmake --preset release >/dev/null
cmake --build --preset release --target qvi_workloads >/dev/null
cmake --preset mingw-x86_64 >/dev/null
cmake --build --preset mingw-x86_64 --target qvi_peer_workloads >/dev/null
ours=build/release/bench/qvi_workloads
peer=build/mingw-x86_64/bench/peer/qvi_peer_workloads.exe

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$loader" wineboot -i </dev/null >/dev/null 2>&1
  "$wineserver" -w
fi
# A warm, persistent server, so that no round pays for starting it.
"$wineserver" -p </dev/null >/dev/null 2>&1
trap '"$wineserver" -k 2>/dev/null || true' EXIT

workloads="keys_create_set_close_100 delete_tree_100x100 ini_read ini_write ini_write_100_then_save ini_write_save_each"
out=$(mktemp)
for round in $(seq "$rounds"); do
  for w in $workloads; do
    p=$("$loader" "$peer" "$w" "$repeats" </dev/null | tr -d '\r')
    # Ours and the other binary take turns at running first after the peer.
    if [ -n "${QVI_BEFORE:-}" ] && [ $((round % 2)) = 0 ]; then
      b=$("$QVI_BEFORE" "$w" "$repeats"); b=${b#* }
      o=$("$ours" "$w" "$repeats")
    else
      o=$("$ours" "$w" "$repeats")
      b=${o#* }
      if [ -n "${QVI_BEFORE:-}" ]; then b=$("$QVI_BEFORE" "$w" "$repeats"); b=${b#* }; fi
    fi
    echo "$w ${p#* } ${o#* } $b" >>"$out"
  done
done
python3 - "$out" "$rounds" "${QVI_BEFORE:-}" <<'PY'
import statistics, sys
rows, before = {}, {}
for line in open(sys.argv[1]):
    name, peer, punit, ours, ounit, old, _ = line.split()
    rows.setdefault(name, []).append((float(peer), float(ours), ounit.split('/')[1]))
    before.setdefault(name, []).append(float(old))
def fmt(ns):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale: return f"{ns/scale:.3g} {unit}"
    return f"{ns:.3g} ns"
print(f"wall time per unit, median of {sys.argv[2]} interleaved rounds; ratio = peer / ours")
print(f"{'workload':28} {'unit':6} {'peer (Win32, Wine)':>19} {'ours':>10} {'ratio min':>10} {'median':>9} {'max':>9}")
for name, r in rows.items():
    ratios = sorted(p / o for p, o, _ in r)
    print(f"{name:28} {r[0][2]:6} {fmt(statistics.median(p for p, _, _ in r)):>19} "
          f"{fmt(statistics.median(o for _, o, _ in r)):>10} {ratios[0]:>9.3g}x {statistics.median(ratios):>8.3g}x {ratios[-1]:>8.3g}x")
if sys.argv[3]:
    print(f"\nbefore ({sys.argv[3]}) in the same rounds")
    print(f"{'workload':28} {'before':>10} {'ratio min':>10} {'median':>9} {'max':>9} {'before / ours':>14}")
    for name, r in rows.items():
        ratios = sorted(p / b for (p, _, _), b in zip(r, before[name]))
        speedup = statistics.median(before[name]) / statistics.median(o for _, o, _ in r)
        print(f"{name:28} {fmt(statistics.median(before[name])):>10} {ratios[0]:>9.3g}x "
              f"{statistics.median(ratios):>8.3g}x {ratios[-1]:>8.3g}x {speedup:>13.3g}x")
PY
rm -f "$out"
if [ -n "${QVI_EXPORT_SCALES:-}" ]; then
  echo
  scripts/bench-export.sh "$QVI_EXPORT_SCALES" "${QVI_EXPORT_PEER:-0.01}"
fi
