#!/usr/bin/env bash
# Builds the fuzzers (preset fuzz: clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for SECONDS on its corpus.
#
#   scripts/fuzz.sh [SECONDS] [FUZZER...]     default: 15 seconds, every fuzzer
#
# CI runs each for 15 seconds. For a long run, e.g. an hour each in the
# background at the lowest priority:
#   nice -n 19 scripts/fuzz.sh 3600
# New inputs go to build/fuzz/corpus/NAME (the committed seeds in
# fuzz/corpus/NAME are only read), findings to build/fuzz/artifacts/, and each
# run's log with libFuzzer's final statistics to build/fuzz/logs/NAME.log.
# Exits non-zero when a fuzzer finds something.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-15}"
shift || true
fuzzers=("$@")
[ ${#fuzzers[@]} -gt 0 ] || fuzzers=(reg_text ini_document scenario path_map expect)
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target $(printf '%s_fuzz ' "${fuzzers[@]}") >/dev/null
out=build/fuzz
mkdir -p "$out/artifacts" "$out/logs"
status=0
for name in "${fuzzers[@]}"; do
  mkdir -p "$out/corpus/$name"
  log="$out/logs/$name.log"
  if ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$out/fuzz/${name}_fuzz" -max_total_time="$seconds" -print_final_stats=1 -timeout=60 -rss_limit_mb=2048 \
      -dict="fuzz/$name.dict" -artifact_prefix="$out/artifacts/${name}-" \
      "$out/corpus/$name" "fuzz/corpus/$name" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "$name: ${runs:-?} runs in ${seconds}s, nothing found"
  else
    echo "$name: FOUND SOMETHING, see $log and $out/artifacts/" >&2
    tail -n 40 "$log" >&2
    status=1
  fi
done
exit $status
