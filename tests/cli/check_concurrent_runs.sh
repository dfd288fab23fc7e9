#!/usr/bin/env bash
# Starts two runs on one machine folder at the same moment, 50 times: each
# must either do all of its work or be refused with exit 2 because the other
# holds the machine; never may both end well and one's work be lost.
set -euo pipefail
qvihost="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# Both runs start from a machine of many keys, so that each holds the machine
# for a while (loading and saving it under the lock) after a short start:
# whichever comes second meets the other's lock. The second run adds a key.
{
  printf 'REGEDIT4\r\n\r\n'
  for i in $(seq 1 3000); do printf '[HKEY_CURRENT_USER\\Software\\Bulk\\k%d]\r\n"v"="%d"\r\n\r\n' "$i" "$i"; done
} >"$work/bulk.reg"
printf '{"name": "bulk", "machine": {"registry_file": "bulk.reg"}, "events": ["creation"]}\n' >"$work/bulk.json"
"$qvihost" run "$work/bulk.json" --machine "$work/template" >/dev/null
printf 'REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\PairB]\r\n"v"="1"\r\n\r\n' >"$work/seed.reg"
printf '{"name": "pair-b", "machine": {"registry_file": "seed.reg"}, "events": ["creation"]}\n' >"$work/b.json"
# The machine's registry as a run opens it: registry.reg with the log of
# changes since it was written replayed over it.
registry_of() { "$qvihost" diff "$1" | tr -d '\r'; }
refused=0
for pair in $(seq 1 50); do
  machine="$work/m$pair"
  cp -a "$work/template" "$machine"
  "$qvihost" run install-nt --machine "$machine" >/dev/null 2>"$work/a.err" & a=$!
  "$qvihost" run "$work/b.json" --machine "$machine" >/dev/null 2>"$work/b.err" & b=$!
  set +e; wait $a; a_status=$?; wait $b; b_status=$?; set -e
  for run in a b; do
    status=$([ $run = a ] && echo $a_status || echo $b_status)
    if [ "$status" = 2 ]; then
      grep -q "the machine is in use by another run" "$work/$run.err" || { cat "$work/$run.err"; exit 1; }
      refused=$((refused + 1))
    elif [ "$status" != 0 ]; then
      echo "pair $pair: run $run ended with $status" >&2; cat "$work/$run.err" >&2; exit 1
    fi
  done
  registry_of "$machine" >"$work/registry.txt"
  if [ $a_status = 0 ] && ! grep -q 'BC Defaults\\Pager\]' "$work/registry.txt"; then
    echo "pair $pair: the installation's work is lost" >&2; exit 1
  fi
  if [ $b_status = 0 ] && ! grep -q 'Software\\PairB\]' "$work/registry.txt"; then
    echo "pair $pair: the second run's work is lost" >&2; exit 1
  fi
done
# Without a single overlap the lock was never put to the test.
[ "$refused" -gt 0 ] || { echo "no two runs ever overlapped in 50 pairs" >&2; exit 1; }
echo "50 pairs: nothing lost; $refused runs refused while the other held the machine"

# A run held just before its lock (a test hook) while another makes the
# machine and finishes: the held one must find a machine, not an empty
# folder, and seed only what is absent, keeping the other's baud rate.
auto='HKEY_LOCAL_MACHINE\SOFTWARE\Halvorn\Tessaly\Management Console\BC Defaults\AutoAnswer'
printf 'REGEDIT4\r\n\r\n[%s]\r\n"BAUD"="1200"\r\n\r\n[HKEY_CURRENT_USER\\Software\\Late]\r\n\r\n' "$auto" >"$work/late.reg"
printf '{"name": "late", "machine": {"registry_file": "late.reg"}, "events": ["creation"]}\n' >"$work/late.json"
for round in 1 2 3; do
  machine="$work/late$round"
  QVIHOST_TEST_LOCK_DELAY_MS=2000 "$qvihost" run "$work/late.json" --machine "$machine" >/dev/null & late=$!
  sleep 0.3
  "$qvihost" run install-nt --machine "$machine" >/dev/null
  wait $late || { echo "round $round: the held run failed" >&2; exit 1; }
  registry_of "$machine" >"$work/late.txt"
  baud=$(key="[$auto]" awk '$0 == ENVIRON["key"] {on = 1; next} /^$/ {on = 0} on && /^"BAUD"/' "$work/late.txt")
  [ "$baud" = '"BAUD"="38400"' ] && grep -q 'Software\\Late\]' "$work/late.txt" ||
    { echo "round $round: the held run took the machine for a fresh one; the installation's work is lost" >&2; exit 1; }
done
echo "3 rounds: a run held before its lock seeds the machine made meanwhile only where absent"
