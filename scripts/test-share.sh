#!/usr/bin/env bash
# The tests' share of the C++ code: lines of the tracked *.cpp and *.h files
# under tests/ and testing/, over lines of all tracked *.cpp and *.h files.
# Prints both counts and the share; exits 1 when the share lies outside
# 25-33%, so that a reviewer sees at once when tests have grown past the code
# they guard, or fallen behind it.
#
#   scripts/test-share.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# Lines as wc counts them (newlines); file names may hold spaces. A tracked
# file removed from the working tree but not yet from the index counts as
# gone.
lines() {
  local file total=0
  while IFS= read -r -d '' file; do
    [ -f "$file" ] && total=$((total + $(wc -l <"$file")))
  done < <(git ls-files -z -- "$@")
  echo "$total"
}

tests=$(lines 'tests/*.cpp' 'tests/*.h' 'testing/*.cpp' 'testing/*.h')
all=$(lines '*.cpp' '*.h')
if [ "$all" -eq 0 ]; then
  echo "test-share: no tracked C++ files" >&2
  exit 1
fi
# Per mille, rounded, so that the bounds are compared in whole numbers.
share=$(( (tests * 1000 + all / 2) / all ))
printf 'test lines %d, all lines %d, share %d.%d%%\n' "$tests" "$all" $((share / 10)) $((share % 10))
if (( tests * 100 < all * 25 || tests * 100 > all * 33 )); then
  echo "test-share: outside 25-33%" >&2
  exit 1
fi
