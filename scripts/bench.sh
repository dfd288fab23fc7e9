#!/usr/bin/env bash
# Builds the optimised preset and runs the platform benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release --target qvi_bench
build/release/bench/qvi_bench "$@"
