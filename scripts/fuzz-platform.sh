#!/usr/bin/env bash
# Runs the differential fuzzer of the platform seam (fuzz/platform_diff) for
# a long time under Wine: SEQUENCES random call sequences per architecture,
# each on the emulated machine and on the real Win32 API of the
# architecture's own Wine prefix, at a low priority.
#
#   scripts/fuzz-platform.sh [SEQUENCES] [ARCH...]   default: 100000, x86_64 i686
#
# QVI_DIFF_SEED is the first seed (default 1); QVI_DIFF_BUILD the build
# folder's prefix (default build/mingw-, giving build/mingw-x86_64 ...). Each
# run's report goes to BUILD/platform_diff.log: every difference, shrunk and
# shown call by call with both sides' results, and how often each masked departure of Wine
# applied. Exits non-zero when a difference was found.
set -euo pipefail
cd "$(dirname "$0")/.."
sequences="${1:-100000}"
shift || true
unset DISPLAY WAYLAND_DISPLAY
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineserver=/usr/lib/wine/wineserver
status=0
for arch in ${@:-x86_64 i686}; do
  if [ "$arch" = i686 ]; then loader=/usr/lib/wine/wine; export WINEARCH=win32; else loader=/usr/lib/wine/wine64; export WINEARCH=win64; fi
  build="${QVI_DIFF_BUILD:-build/mingw-}$arch"
  export WINEPREFIX="$PWD/$build/wineprefix"
  [ -f "$build/CMakeCache.txt" ] || cmake --preset "mingw-$arch" -B "$build" >/dev/null
  nice -n 10 cmake --build "$build" --target platform_diff
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$loader" wineboot -i </dev/null >/dev/null 2>&1
    "$wineserver" -w
  fi
  # One server for the run, its helper processes started with nothing to
  # hold on to.
  "$wineserver" -p </dev/null >/dev/null 2>&1 || true
  "$loader" wineboot </dev/null >/dev/null 2>&1
  log="$build/platform_diff.log"
  if nice -n 10 "$loader" "$build/fuzz/platform_diff/platform_diff.exe" --seed "${QVI_DIFF_SEED:-1}" \
    --count "$sequences" >"$log" 2>&1; then
    echo "$arch: $(grep '^platform_diff:' "$log")"
  else
    echo "$arch: differences found, see $log" >&2
    grep -E '^(seed|platform_diff)' "$log" >&2 || tail -n 20 "$log" >&2
    status=1
  fi
  "$wineserver" -k || true
done
exit $status
