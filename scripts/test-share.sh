#!/usr/bin/env bash
# The tests' share of the C++ code: code lines of the tracked *.cpp and *.h
# files under tests/, testing/ and fuzz/ (the fuzzers test the code too), over
# code lines of all tracked *.cpp and *.h files. A code line holds something
# other than white space and comments: blank lines, lines holding only a //
# comment and lines wholly inside a /* */ comment do not count, so neither
# layout nor commentary moves the share. Text inside string literals (raw
# ones included, across lines) is code, whatever it looks like.
# Prints both counts and the share; exits 1 when the share lies outside
# 25-33%, so that a reviewer sees at once when tests have grown past the code
# they guard, or fallen behind it.
#
#   scripts/test-share.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# Code lines of the tracked files matching the patterns; file names may hold
# spaces. A tracked file removed from the working tree but not yet from the
# index counts as gone.
code_lines() {
  local file
  git ls-files -z -- "$@" | while IFS= read -r -d '' file; do
    [ -f "$file" ] && printf '%s\0' "$file"
  done | xargs -0 -r awk '
    FNR == 1 { block = 0; raw = "" }   # nothing carries over between files
    {
      line = $0; n = length(line); code = 0; i = 1
      while (i <= n) {
        c = substr(line, i, 1)
        if (raw != "") {               # inside R"delim( ... )delim"
          end = index(substr(line, i), raw)
          if (end == 0) { code = 1; break }
          code = 1; i += end - 1 + length(raw); raw = ""; continue
        }
        if (block) {
          end = index(substr(line, i), "*/")
          if (end == 0) break
          block = 0; i += end + 1; continue
        }
        two = substr(line, i, 2)
        if (two == "//") break
        if (two == "/*") { block = 1; i += 2; continue }
        if (c == " " || c == "\t" || c == "\r" || c == "\f" || c == "\v") { i++; continue }
        code = 1
        if (c == "\"" && i > 1 && substr(line, i - 1, 1) == "R") {
          open = index(substr(line, i + 1), "(")
          if (open > 0) { raw = ")" substr(line, i + 1, open - 1) "\""; i += open + 1; continue }
        }
        if (c == "\"" || (c == "'\''" && !digit_separator(line, i))) {
          # An ordinary literal ends on its line; skip it, escapes included.
          j = i + 1
          while (j <= n && substr(line, j, 1) != c) j += (substr(line, j, 1) == "\\") ? 2 : 1
          i = j + 1; continue
        }
        i++
      }
      count += code
    }
    # 1'\''000: a quote inside a number token separates digits.
    function digit_separator(s, at,   k) {
      k = at - 1
      while (k >= 1 && substr(s, k, 1) ~ /[0-9A-Za-z_.]/) k--
      return k < at - 1 && substr(s, k + 1, 1) ~ /[0-9]/
    }
    END { print count + 0 }
  ' | awk '{ total += $1 } END { print total + 0 }'
}

tests=$(code_lines 'tests/*.cpp' 'tests/*.h' 'testing/*.cpp' 'testing/*.h' 'fuzz/*.cpp' 'fuzz/*.h')
all=$(code_lines '*.cpp' '*.h')
if [ "$all" -eq 0 ]; then
  echo "test-share: no tracked C++ files" >&2
  exit 1
fi
# Per mille, rounded, so that the bounds are compared in whole numbers.
share=$(( (tests * 1000 + all / 2) / all ))
printf 'test code lines %d, all code lines %d, share %d.%d%%\n' "$tests" "$all" $((share / 10)) $((share % 10))
if (( tests * 100 < all * 25 || tests * 100 > all * 33 )); then
  echo "test-share: outside 25-33%" >&2
  exit 1
fi
