#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds with warnings as errors and runs
# every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
cmake --preset ci
cmake --build --preset ci
ctest --preset ci
