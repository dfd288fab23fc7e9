#!/usr/bin/env bash
# Runs the scaling series of the platform benchmarks (1k, 10k and 100k keys,
# entries or values) and prints, per series, the time at each size and the
# exponent k of time ~ size^k between successive sizes and over the whole
# range: 1 is linear, 2 quadratic. With --benchmark_repetitions=N each size
# counts the best of its N runs, which a busy machine disturbs least.
# Usage: scripts/bench-scaling.sh [extra Google Benchmark arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release --target qvi_bench >/dev/null
out=$(mktemp)
trap 'rm -f "$out"' EXIT
build/release/bench/qvi_bench --benchmark_filter=Scaling --benchmark_format=json "$@" >"$out"
python3 - "$out" <<'PY'
import json, math, sys
series = {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("run_type", "iteration") != "iteration": continue
    name, size = b["name"].rsplit("/", 1)
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1}[b["time_unit"]]
    sizes = series.setdefault(name.replace("BM_Scaling_", ""), {})
    sizes[int(size)] = min(sizes.get(int(size), math.inf), b["real_time"] * scale)
print(f"{'series':28} {'1k':>10} {'10k':>10} {'100k':>10} {'k 1k-10k':>9} {'k 10k-100k':>11} {'k overall':>10}")
for name, sizes in series.items():
    points = sorted(sizes.items())
    times = " ".join(f"{t*1e3:>8.3g}ms" for _, t in points)
    steps = [math.log(t2 / t1) / math.log(n2 / n1) for (n1, t1), (n2, t2) in zip(points, points[1:])]
    overall = math.log(points[-1][1] / points[0][1]) / math.log(points[-1][0] / points[0][0])
    print(f"{name:28} {times} {steps[0]:>9.2f} {steps[-1]:>11.2f} {overall:>10.2f}")
PY
