#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds qvihost and runs it with the given
# arguments (none: the typical installation on Windows NT, on a fresh
# temporary machine). Build output goes to standard error, so standard output
# carries only qvihost's report.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# Only what building qvihost needs, installed only when missing: a second run
# goes straight to the build (scripts/setup-debian.sh, which the test command
# runs, installs the rest: test libraries, the browser, clang).
packages=(build-essential cmake ninja-build nlohmann-json3-dev libcli11-dev libdtl-dev libpugixml-dev nettle-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq >&2
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi
# Built as the release preset builds it (link-time optimisation, unused code
# dropped), which the whole-process figures in docs/performance.md measure.
cmake -S "$root" -B "$root/build/qvihost" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON -DCMAKE_CXX_FLAGS="-ffunction-sections -fdata-sections" \
  -DCMAKE_EXE_LINKER_FLAGS="-Wl,--gc-sections" -DQVI_BUILD_TESTS=OFF -DQVI_BUILD_BENCH=OFF >&2
cmake --build "$root/build/qvihost" --target qvihost >&2
exec "$root/build/qvihost/cli/qvihost/qvihost" "$@"
