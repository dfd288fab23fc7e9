#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds with warnings as errors and runs
# every test: the Linux suites, then the Windows builds' suites under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
scripts/setup-windows.sh
cmake --preset ci
cmake --build --preset ci
ctest --preset ci
scripts/test-windows.sh
