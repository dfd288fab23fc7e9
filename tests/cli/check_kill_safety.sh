#!/usr/bin/env bash
# Kills qvihost at random moments of a chained life cycle (install-nt, then
# upgrade, then uninstall) on one machine folder: half of the kills at a random
# time, and, where strace is installed, half just before a random one of the
# run's file system calls (a rename, a write, a flush...), since a save's
# critical moments last microseconds on a fast disk and a timer rarely hits
# them. After each kill the folder
# must open, and its registry with every INI file must equal one whole state
# the life cycle passes through (before or after some save), never a mixture,
# and read through the registry's image it must be what registry.reg holds;
# no temporary file may outlive the next open. Then temporary machines of
# killed runs must be gone after the next run.
#   check_kill_safety.sh QVIHOST [KILLS]
set -euo pipefail
qvihost="$1"
kills_wanted="${2:-200}"
# In memory where there is such a file system: a kill cuts a process, not the
# power, so flushing to a disk would only slow the test down.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then work="$(mktemp -d -p /dev/shm)"; else work="$(mktemp -d)"; fi
trap 'rm -rf "$work"' EXIT
export TMPDIR="$work/tmp"
mkdir -p "$TMPDIR"
steps=(install-nt upgrade uninstall)

# A run that only opens the machine (finishing or discarding an interrupted
# save) and saves it, changing nothing else.
opener() {
  "$qvihost" show "$1" | jq '{name: "open", machine: ((.machine // {}) | del(.registry, .registry_file, .files, .folder)), events: []}'
}

# The registry (the store and the log of changes since it was written) and
# every INI file of a machine, as one fingerprint.
state_of() {
  (cd "$1" && { cat registry.reg machine.ini; printf '\n== log\n'; cat registry.log 2>/dev/null || true; find . -path './drive_*' -type f -iname '*.ini' | LC_ALL=C sort |
    while read -r f; do printf '\n== %s\n' "$f"; cat "$f"; done; }) | sha256sum | cut -d' ' -f1
}

leftovers() {
  find "$1" \( -name '*.qvi-tmp-*' -o -name '.save-journal' \) -print
}

# The life cycle starts on a machine whose registry is large enough that
# most saves append to the registry log, and small enough that a save of
# many changes folds the log into registry.reg: the kills meet both.
{
  printf 'REGEDIT4\r\n\r\n'
  for i in $(seq 1 150); do printf '[HKEY_CURRENT_USER\\Software\\Bulk\\k%d]\r\n"v"="%d"\r\n\r\n' "$i" "$i"; done
} >"$work/bulk.reg"
printf '{"name": "bulk", "machine": {"registry_file": "bulk.reg"}, "events": []}\n' >"$work/bulk.json"
"$qvihost" run "$work/bulk.json" --machine "$work/start-0" >/dev/null

# Whole states: for each step, the machine after the first k of its events
# (k = 0 is the seeded machine before any event), on the end of the step before.
declare -a span_ms
appends=0 compactions=0
syscalls=rename,renameat,renameat2,openat,write,fsync,unlink,unlinkat,ftruncate
strace=$(command -v strace || true)
# The leak checker of a sanitized build cannot work under a tracer.
traced_asan="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
for i in "${!steps[@]}"; do
  step="${steps[$i]}"
  "$qvihost" show "$step" >"$work/$step.json"
  opener "$step" >"$work/open-$step.json"
  events=$(jq '.events | length' "$work/$step.json")
  : >"$work/states-$step"
  if [ -d "$work/start-$i" ]; then
    cp -a "$work/start-$i" "$work/ref"
  else
    rm -rf "$work/ref"
  fi
  "$qvihost" run "$work/open-$step.json" --machine "$work/ref" >/dev/null
  state_of "$work/ref" >>"$work/states-$step"
  for k in $(seq 0 "$events"); do
    rm -rf "$work/ref"
    [ -d "$work/start-$i" ] && cp -a "$work/start-$i" "$work/ref"
    jq --argjson k "$k" '.events |= .[:$k]' "$work/$step.json" >"$work/prefix.json"
    "$qvihost" run "$work/prefix.json" --machine "$work/ref" >/dev/null
    "$qvihost" run "$work/open-$step.json" --machine "$work/ref" >/dev/null
    state_of "$work/ref" >>"$work/states-$step"
    # Whether this event's save appended to the registry log or folded it
    # into registry.reg: the kills below must meet both.
    reg=$(sha256sum <"$work/ref/registry.reg") log=$(sha256sum <"$work/ref/registry.log")
    if [ "$k" -gt 0 ] && [ "$reg" != "$prev_reg" ]; then compactions=$((compactions + 1));
    elif [ "$k" -gt 0 ] && [ "$log" != "$prev_log" ]; then appends=$((appends + 1)); fi
    prev_reg=$reg prev_log=$log
  done
  # The file system calls a whole run of the step makes, by kind.
  if [ -n "$strace" ]; then
    rm -rf "$work/ref-traced"
    [ -d "$work/start-$i" ] && cp -a "$work/start-$i" "$work/ref-traced"
    ASAN_OPTIONS="$traced_asan" strace -f -o "$work/trace" -e trace="$syscalls" "$qvihost" run "$step" --machine "$work/ref-traced" >/dev/null
    sed -n 's/^[0-9]* *\([a-z0-9_]*\)(.*/\1/p' "$work/trace" | sort | uniq -c >"$work/calls-$step"
    rm -rf "$work/ref-traced"
  fi
  # How long a whole run of the step takes, to kill within it.
  start_ns=$(date +%s%N)
  "$qvihost" run "$step" --machine "$work/ref-timed" >/dev/null 2>&1 || true
  span_ms[$i]=$(( ($(date +%s%N) - start_ns) / 1000000 + 1 ))
  rm -rf "$work/ref-timed"
  rm -rf "$work/start-$((i + 1))"
  mv "$work/ref" "$work/start-$((i + 1))"
done

[ "$appends" -gt 0 ] && [ "$compactions" -gt 0 ] ||
  { echo "the life cycle made $appends log appends and $compactions compactions; the kills need both" >&2; exit 1; }

kills=0
trials=0
declare -A seen
while [ "$kills" -lt "$kills_wanted" ]; do
  trials=$((trials + 1))
  [ "$trials" -le $((kills_wanted * 4)) ] || { echo "only $kills of $trials runs could be killed" >&2; exit 1; }
  i=$((trials % 3))
  step="${steps[$i]}"
  machine="$work/machine"
  rm -rf "$machine"
  [ -d "$work/start-$i" ] && cp -a "$work/start-$i" "$machine"
  set +e
  if [ -n "$strace" ] && [ $((trials % 2)) = 0 ]; then
    # Killed on entering the N-th call of one kind, before it takes effect.
    read -r count call < <(shuf -n 1 "$work/calls-$step")
    status=$( (ASAN_OPTIONS="$traced_asan" strace -f -o /dev/null -e trace="$call" -e inject="$call:signal=KILL:when=$((1 + RANDOM % count))" \
      "$qvihost" run "$step" --machine "$machine" >/dev/null 2>&1; echo $?) 2>/dev/null)
  else
    # timeout kills on its own clock, without a process to start in between.
    status=$( (timeout --foreground -s KILL "$(printf '0.%03d' $((RANDOM % span_ms[i])))" "$qvihost" run "$step" \
      --machine "$machine" >/dev/null 2>&1; echo $?) 2>/dev/null)
  fi
  set -e
  [ "$status" = 137 ] && kills=$((kills + 1))
  if ! "$qvihost" run "$work/open-$step.json" --machine "$machine" >/dev/null 2>"$work/open.err"; then
    echo "after a kill in $step the machine does not open:" >&2; cat "$work/open.err" >&2; exit 1
  fi
  # An image the kill left, if it is believed, holds what registry.reg does.
  rm -rf "$work/no-image"
  cp -a "$machine" "$work/no-image"
  rm -f "$work/no-image/registry.img"
  if [ "$("$qvihost" diff "$work/no-image" "$machine" | head -1)" != "Registry (0)" ]; then
    echo "after a kill in $step the registry read through its image is not registry.reg's:" >&2
    "$qvihost" diff "$work/no-image" "$machine" >&2
    exit 1
  fi
  state=$(state_of "$machine")
  if ! grep -qx "$state" "$work/states-$step"; then
    echo "after a kill in $step the machine is in no whole state:" >&2
    cat "$machine/registry.reg" >&2; find "$machine" -iname '*.ini' -exec sh -c 'echo "== $1"; cat "$1"' _ {} \; >&2
    exit 1
  fi
  seen["$step:$state"]=1
  left=$(leftovers "$machine")
  [ -z "$left" ] || { echo "left behind after the next open: $left" >&2; exit 1; }
done

# Temporary machines: killed runs leave theirs, the next run removes them.
for n in $(seq 1 20); do
  (timeout --foreground -s KILL "$(printf '0.%03d' $((RANDOM % span_ms[0])))" "$qvihost" run install-nt >/dev/null 2>&1) \
    2>/dev/null || true
done
"$qvihost" run install-nt >/dev/null
stale=$(find "$TMPDIR" -mindepth 1 -maxdepth 1 -name 'qvihost-*' | wc -l)
[ "$stale" -eq 0 ] || { echo "$stale temporary machines of killed runs are left" >&2; ls "$TMPDIR" >&2; exit 1; }

# A folder flush the disk fails leaves the save's durability unknown: the run
# fails naming the folder instead of ending well.
if [ -n "$strace" ]; then
  mkdir "$work/flush"
  set +e
  ASAN_OPTIONS="$traced_asan" strace -f -o /dev/null -P "$work/flush" -e trace=fsync -e inject=fsync:error=EIO \
    "$qvihost" run install-nt --machine "$work/flush" >/dev/null 2>"$work/flush.err"
  status=$?
  set -e
  [ "$status" = 2 ] && grep -q "flush: cannot flush the folder to the disk" "$work/flush.err" ||
    { cat "$work/flush.err" >&2; echo "a failed folder flush ended with $status" >&2; exit 1; }
fi

echo "$kills kills in $trials runs over $appends log appends and $compactions compactions: every machine opened in a whole state (${#seen[@]} distinct states seen); no leftovers"
