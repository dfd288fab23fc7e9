#!/usr/bin/env bash
# Whole-process figures for qvihost (release build):
#  1. `qvihost run install-nt` on a fresh temporary machine against an empty
#     C++ program, in interleaved pairs (default 31), each program going
#     first in every other round: median wall and CPU
#     time (user + system) of each and their ratio;
#  2. peak memory of a run on a machine whose registry.reg holds 100,000
#     keys, against the size of that file.
# With QVI_BEFORE=path/to/another/qvihost, that binary runs in the same
# rounds too, for a before/after comparison on one machine in one run.
# Usage: scripts/bench-run.sh [PAIRS]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release --target qvihost qvi_empty >/dev/null
python3 - "${1:-31}" build/release/cli/qvihost/qvihost build/release/bench/qvi_empty "${QVI_BEFORE:-}" <<'PY'
import os, shutil, statistics, subprocess, sys, tempfile, time
pairs, qvihost, empty, before = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]

def run(argv):
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0: sys.exit(f"{argv}: exit {os.waitstatus_to_exitcode(status)}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024

programs = [("empty C++ program", [empty]), ("qvihost run install-nt", [qvihost, "run", "install-nt"])]
if before: programs.append(("  the same, before", [before, "run", "install-nt"]))
results = {name: [] for name, _ in programs}
for round in range(pairs):
    # The programs take turns at going first, so that neither always runs
    # right after the other.
    for name, argv in (programs if round % 2 == 0 else programs[::-1]):
        results[name].append(run(argv))
base_wall = statistics.median(w for w, _, _ in results[programs[0][0]])
base_cpu = statistics.median(c for _, c, _ in results[programs[0][0]])
print(f"whole process, median of {pairs} interleaved rounds")
print(f"{'program':26} {'wall':>9} {'CPU':>9} {'wall ratio':>11} {'CPU ratio':>10}")
for name, _ in programs:
    wall = statistics.median(w for w, _, _ in results[name])
    cpu = statistics.median(c for _, c, _ in results[name])
    print(f"{name:26} {wall*1e3:>7.2f}ms {cpu*1e3:>7.2f}ms {wall/base_wall:>10.2f}x {cpu/base_cpu:>9.2f}x")

# Peak memory on a large registry.
keys = 100000
with tempfile.TemporaryDirectory(prefix="qvi-bench-run-") as tmp:
    seed = os.path.join(tmp, "seed")
    os.makedirs(seed)
    with open(os.path.join(seed, "registry.reg"), "w", newline="") as f:
        f.write("REGEDIT4\r\n\r\n")
        for i in range(keys):
            f.write(f"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Product\\Components\\k{i // 100:07d}\\k{i:07d}]\r\n"
                    f"\"Path\"=\"C:\\\\Program Files\\\\Product\"\r\n\"Count\"=dword:00000001\r\n\r\n")
    size = os.path.getsize(os.path.join(seed, "registry.reg"))
    print(f"\npeak memory of `qvihost run install-nt --machine M` with {keys:,} keys in registry.reg ({size/2**20:.1f} MB)")
    print(f"{'program':26} {'peak RSS':>10} {'per key':>9} {'x file':>7} {'wall':>8} {'CPU':>8}")
    for name, argv in programs[1:]:
        machine = os.path.join(tmp, "m")
        shutil.rmtree(machine, ignore_errors=True)
        shutil.copytree(seed, machine)
        wall, cpu, rss = run(argv + ["--machine", machine])
        print(f"{name:26} {rss/2**20:>8.1f}MB {rss/keys:>8.0f}B {rss/size:>6.1f}x {wall:>7.2f}s {cpu:>7.2f}s")
    print(f"goal: peak within 4 x file + 8 MB = {(4*size + 8*2**20)/2**20:.1f} MB")
PY
