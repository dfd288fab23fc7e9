#!/usr/bin/env bash
# Every quoted include names its folder and runs downward: a room includes
# only itself and the rooms its line below allows. Prints each include that
# breaks this, with file and line, and fails when there is one. Run from
# anywhere; the argument is the project root (default: this script's ../..).
set -euo pipefail
root="$(cd "${1:-$(dirname "$0")/../..}" && pwd)"
cd "$root"
lib="install/snap-in components/QviConsole"

# Rooms, lowest first: a room's own files, then the rooms it may include.
declare -A allowed=(
  [runtime]=""
  [runtime/com]="runtime"
  [host]="runtime"
  [platform]="runtime"
  [host/com]="host runtime runtime/com"
  [platform/win32]="platform runtime"
  [common]="host platform runtime"
  [control]="common host platform runtime"
  [provisioning]="control common host platform runtime"
  [upgrade]="provisioning control common host platform runtime"
  [control/com]="upgrade provisioning control common host host/com platform platform/win32 runtime runtime/com"
  [emu]="platform runtime"
  [faults]="platform runtime"
  [replacement_host]="upgrade provisioning control common host platform runtime"
  [scenario]="replacement_host faults emu upgrade provisioning control common host platform runtime"
  [flow]="scenario replacement_host faults emu control common host platform platform/win32 runtime"
  [host_kit]="scenario replacement_host faults emu control common host host/com platform runtime runtime/com"
  [personality]=""
  [testing]="* library harness"
  [cli]="* library harness"
  [top]="* library harness testing cli"
)

# The room of a path relative to the root, or nothing for a file of no room.
room_of() {
  case "$1" in
    "$lib"/runtime/com/*) echo runtime/com ;;
    "$lib"/host/com/*) echo host/com ;;
    "$lib"/platform/win32/*) echo platform/win32 ;;
    "$lib"/control/com/*) echo control/com ;;
    "$lib"/*/*) local rest="${1#"$lib"/}"; echo "${rest%%/*}" ;;
    harness/*/*) local rest="${1#harness/}"; echo "${rest%%/*}" ;;
    testing/*) echo testing ;;
    cli/*) echo cli ;;
    tests/* | bench/* | fuzz/*) echo top ;;
  esac
}

is_library_room() { [[ "$1" =~ ^(runtime|host|platform|common|control|provisioning|upgrade)(/|$) ]]; }
is_harness_room() { [[ "$1" =~ ^(emu|faults|replacement_host|scenario|flow|host_kit|personality)$ ]]; }

may_include() {
  local from="$1" to="$2" entry
  [ "$from" = "$to" ] && return 0
  for entry in ${allowed[$from]}; do
    case "$entry" in
      "$to") return 0 ;;
      library) is_library_room "$to" && return 0 ;;
      harness) is_harness_room "$to" && return 0 ;;
    esac
  done
  return 1
}

# The include roots: an include is written from one of them.
roots=("$lib" harness . cli tests)
failures=0
fail() { echo "$1: $2" >&2; failures=$((failures + 1)); }

while IFS= read -r -d '' file; do
  from="$(room_of "$file")"
  [ -n "$from" ] || continue
  line_number=0
  while IFS= read -r line; do
    line_number=$((line_number + 1))
    [[ "$line" =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([^\"]+)\" ]] || continue
    name="${BASH_REMATCH[1]}"
    found=()
    for r in "${roots[@]}"; do
      [ -f "$r/$name" ] && found+=("${r#./}/$name")
    done
    where="$file:$line_number"
    if [ ${#found[@]} -eq 0 ]; then
      # Generated at build time (type library headers), or beside the file.
      if [ -f "$(dirname "$file")/$name" ]; then fail "$where" "\"$name\" does not name its folder"; fi
      continue
    fi
    if [ ${#found[@]} -gt 1 ]; then
      fail "$where" "\"$name\" is ambiguous: ${found[*]}"
      continue
    fi
    to="$(room_of "${found[0]#./}")"
    if [ -z "$to" ] || ! may_include "$from" "$to"; then
      fail "$where" "room $from may not include \"$name\" (room ${to:-none})"
    fi
  done <"$file"
done < <(git ls-files -z -- '*.h' '*.cpp' '*.in')

# Inside the scenario room a document's types lie below what runs and checks
# it: reading a scenario never needs the code of a run.
parsing=" scenario/scenario.h scenario/expectations.h scenario/exit_codes.h scenario/suggest.h "
for file in harness/scenario/scenario.h harness/scenario/scenario.cpp harness/scenario/expectations.h \
  harness/scenario/expectations.cpp harness/scenario/exit_codes.h harness/scenario/suggest.h harness/scenario/suggest.cpp; do
  while IFS=: read -r line_number line; do
    [[ "$line" =~ \"(scenario/[^\"]+)\" ]] || continue
    [[ "$parsing" == *" ${BASH_REMATCH[1]} "* ]] ||
      fail "$file:$line_number" "reading a scenario may not include \"${BASH_REMATCH[1]}\", which runs or checks it"
  done < <(grep -n '#include "scenario/' "$file" || true)
done

if [ $failures -ne 0 ]; then
  echo "check_includes: $failures include(s) break the layout" >&2
  exit 1
fi
echo "check_includes: every include names its folder and runs downward"
