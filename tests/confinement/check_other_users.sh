#!/usr/bin/env bash
# What another local user can make qvihost do, and what a folder that user
# owns can make it do. Runs as root, which makes a second user and switches
# to it; elsewhere it skips, saying why.
set -euo pipefail
qvihost="$1"
other=qvi-other
if [ "$(id -u)" != 0 ]; then echo "skipped: only root can make a second user and become it"; exit 77; fi
if ! id "$other" >/dev/null 2>&1 && ! useradd --system --no-create-home --shell /usr/sbin/nologin "$other" 2>/dev/null &&
  ! id "$other" >/dev/null 2>&1; then
  echo "skipped: no second user can be made here"; exit 77
fi
as_other() { setpriv --reuid="$other" --regid="$other" --init-groups -- "$@"; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
# The other user must be able to run this very binary.
install -m 755 "$qvihost" "$work/qvihost"
qvihost="$work/qvihost"
as_other "$qvihost" --version >/dev/null || { echo "skipped: the second user cannot run $qvihost"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }
# A shared temporary folder, as /dev/shm is: anyone may add names, none may
# remove another's.
shared="$work/shared"; mkdir -m 1777 "$shared"
victim="$work/victim"; mkdir -m 755 "$victim"

# 1. A "stale machine" another user planted: its lock leads to a file of
# root's choosing, and the folder itself is that user's.
as_other mkdir "$shared/qvihost-machine-2147483632-planted1"
as_other ln -s "$victim/made-by-root" "$shared/qvihost-machine-2147483632-planted1/.lock"
as_other mkdir "$shared/qvihost-machine-2147483632-planted2"
TMPDIR="$shared" "$qvihost" run install-nt >/dev/null || fail "a run beside planted folders failed"
[ ! -e "$victim/made-by-root" ] || fail "clearing stale machines created a file through another user's link"
[ -d "$shared/qvihost-machine-2147483632-planted2" ] || fail "clearing stale machines removed another user's folder"

# 2. A running temporary machine is nobody else's to look into (the run is
# held before its lock, with its folder made).
QVIHOST_TEST_LOCK_DELAY_MS=1500 TMPDIR="$shared" "$qvihost" run install-nt >/dev/null & run=$!
for _ in $(seq 1 50); do
  made=$(find "$shared" -maxdepth 1 -name 'qvihost-machine-*' -user root | head -1)
  [ -n "$made" ] && break; sleep 0.02
done
[ -n "$made" ] || fail "no temporary machine appeared"
if as_other ls "$made" >/dev/null 2>&1; then fail "another user lists a running temporary machine ($made)"; fi
wait $run || fail "the held run failed"

# 3. A machine folder that cannot be listed is refused: unchecked, its drive
# folder (a link) would take the run's files outside.
mkdir -m 777 "$work/outside"
as_other mkdir -p "$shared/m3"
as_other ln -s "$work/outside" "$shared/m3/drive_c"
as_other chmod 300 "$shared/m3"
set +e; as_other "$qvihost" run install-nt --machine "$shared/m3" >/dev/null 2>"$work/err3"; status=$?; set -e
[ "$status" = 2 ] && grep -q "m3: the machine folder cannot be listed" "$work/err3" ||
  { cat "$work/err3" >&2; fail "an unlistable machine folder ended with $status"; }
[ -z "$(ls -A "$work/outside")" ] || fail "a run wrote through the drive link of an unlistable folder"

# 4. A machine file the host refuses to read or append (here: not the
# user's) stops the run with its name, instead of a quiet default.
for file in drive_c/WINNT/kethra.ini drive_c/ods.txt; do
  machine="$shared/m4-${file##*/}"
  as_other "$qvihost" run upgrade --machine "$machine" >/dev/null
  chown root "$machine/$file"; chmod 600 "$machine/$file"
  set +e; as_other "$qvihost" run upgrade --machine "$machine" >/dev/null 2>"$work/err4"; status=$?; set -e
  [ "$status" = 2 ] && grep -q "$file: cannot" "$work/err4" ||
    { cat "$work/err4" >&2; fail "$file unreadable to the run: exit $status"; }
done

# 5. A folder of the machine the host will not let the run look into is a
# clear error with its path, not an internal one.
machine="$shared/m5"
as_other "$qvihost" run upgrade --machine "$machine" >/dev/null
chown root "$machine/drive_c/WINNT"; chmod 700 "$machine/drive_c/WINNT"
set +e; as_other "$qvihost" run upgrade --machine "$machine" >/dev/null 2>"$work/err5"; status=$?; set -e
[ "$status" = 2 ] && grep -q "drive_c/WINNT" "$work/err5" && ! grep -q "internal error" "$work/err5" ||
  { cat "$work/err5" >&2; fail "an unreadable machine folder: exit $status"; }
# Without a seed to look for first, the snap-in's own read of kethra.ini
# there is what meets the folder: not a missing file either.
"$qvihost" show upgrade | jq 'del(.machine.files)' >"$work/unseeded.json"
set +e; as_other "$qvihost" run "$work/unseeded.json" --machine "$machine" >/dev/null 2>"$work/err6"; status=$?; set -e
[ "$status" = 2 ] && grep -q "drive_c/WINNT/kethra.ini: cannot read" "$work/err6" ||
  { cat "$work/err6" >&2; fail "a machine file in a folder the run cannot search: exit $status"; }

# 6. A machine folder its owner may only read (a CI job's artifact) can be
# compared, with its lock file or without one, and is left as it was.
for keep_lock in yes no; do
  machine="$shared/m6-$keep_lock"
  as_other "$qvihost" run upgrade --machine "$machine" >/dev/null
  as_other "$qvihost" diff "$machine" >"$work/diff-writable"
  [ "$keep_lock" = yes ] || rm "$machine/.lock"
  chmod -R a-w "$machine"
  listing="$(ls -lR --full-time "$machine")"
  set +e; as_other "$qvihost" diff "$machine" >"$work/diff-read-only" 2>"$work/err7"; status=$?; set -e
  [ "$status" = 0 ] && cmp -s "$work/diff-writable" "$work/diff-read-only" ||
    { cat "$work/err7" >&2; fail "diff on a read-only machine folder ($keep_lock lock): exit $status"; }
  [ "$listing" = "$(ls -lR --full-time "$machine")" ] || fail "diff changed a read-only machine folder"
  chmod -R u+w "$machine"
done
# 7. A root marker another user planted above a scenario widens nothing: its
# base beside the marker stays out of reach.
as_other touch "$shared/.qvihost-root"
as_other mkdir "$shared/bases"
as_other sh -c "echo '{\"base\": \"install-nt\"}' >'$shared/bases/b.json'"
mkdir "$shared/mine"
echo '{"base": "../bases/b.json"}' >"$shared/mine/x.json"
set +e; "$qvihost" run "$shared/mine/x.json" >/dev/null 2>"$work/err8"; status=$?; set -e
[ "$status" = 2 ] && grep -q "lies outside the scenario's folder $shared/mine" "$work/err8" ||
  { cat "$work/err8" >&2; fail "a planted root marker let a scenario reach another user's base: exit $status"; }
# 8. A registry image another user put in a machine folder they may write
# is never believed: the next run reads registry.reg and makes its own.
machine="$shared/m8"
"$qvihost" run install-nt --machine "$machine" >/dev/null
chmod 777 "$machine"
install -m 644 "$machine/registry.img" "$work/image"
rm "$machine/registry.img"
as_other cp "$work/image" "$machine/registry.img"
# A run that changes nothing: only an image not believed is made again.
echo '{"name": "open", "events": []}' >"$work/open.json"
"$qvihost" run "$work/open.json" --machine "$machine" >/dev/null || fail "a run beside another user's registry image failed"
[ "$(stat -c %u "$machine/registry.img")" = "$(id -u)" ] || fail "another user's registry image was kept, so believed"
echo "another user's links, folders and files: nothing followed, nothing read, every fault named"
