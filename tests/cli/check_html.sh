#!/usr/bin/env bash
# Writes HTML reports and has a real browser, headless Chromium, load them:
# the rendered page must open with its summary and contents, hold every part
# of the readable report in its notation (the settings file's change as a
# diff, the directory table, removed folders), keep UTF-8 names, show control
# characters, mark a refused host call, and trace each call with the failed
# ones marked. The matrix's page must hold its counts by severity and each
# folded kind with its rows to unfold, lost and added lines marked; the test
# results' page each scenario's PASS or FAIL, a failure with its unmet
# expectation marked. With a second argument, also saves a screenshot of the
# second page there, with a third one of the matrix's page.
set -euo pipefail
qvihost="$1"
screenshot="${2:-}"
matrix_screenshot="${3:-}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
render() {
  chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
    --disable-component-update --disable-sync --user-data-dir="$work/profile" "$@" 2>/dev/null
}
expect_parts() {
  local dom="$1"
  shift
  for part in "$@"; do
    if ! grep -qF "$part" "$dom"; then
      echo "the rendered page $dom lacks: $part" >&2
      exit 1
    fi
  done
}
"$qvihost" run upgrade --html "$work/upgrade.html" >/dev/null
render --dump-dom "file://$work/upgrade.html" >"$work/upgrade-dom.html"
expect_parts "$work/upgrade-dom.html" '<h1>qvihost: upgrade</h1>' '<h2 id="summary">Summary</h2>' \
  '<th>Registry changes</th><td>38</td>' '<li><a href="#registry">Registry changes (38)</a></li>' \
  '<h2 id="events">Events</h2>' '<h2 id="host-calls">Host calls (71)</h2>' \
  '<h2 id="registry">Registry changes (38)</h2>' '<h2 id="files">Files changed (2)</h2>' \
  '<span class="del">      -Console=C:\QVCON</span>' '<span class="add">      +Console=</span>' \
  '<h2 id="log">Log lines appended to ods.txt (7)</h2>' '<h2 id="host-state">Host state</h2>' \
  '  directory table:' '  removed folders:'

# A name with a control character, a computer name beyond ASCII, a refused
# host call; traced, with a refused key creation: the trace section marks
# both failed calls.
cat >"$work/odd.json" <<'JSON'
{"base": "install-nt", "name": "Prüfung\u0007", "machine": {"computer_name": "SRVÄ"},
 "host": {"failures": [{"dispid": 22, "occurrence": 1}]},
 "platform_failures": [{"function": "RegCreateKeyA", "occurrence": 3, "code": 5}]}
JSON
"$qvihost" run "$work/odd.json" --trace --html "$work/odd.html" >/dev/null
render --dump-dom "file://$work/odd.html" >"$work/odd-dom.html"
expect_parts "$work/odd-dom.html" '<h1>qvihost: Prüfung<span class="ctl">&lt;0x07&gt;</span></h1>' 'Computer SRVÄ' \
  '<th>Host calls</th><td>25</td><td class="failed">1 failed</td>' \
  '<span class="failed">  qviSetup                                completed, 1 host call refused</span>' \
  '<span class="failed">    QviPublic 22 GetPlatform(ByRef 0) FAILED 440: Automation error</span>' \
  '<li><a href="#trace">Trace (63)</a></li>' '<h2 id="trace">Trace (63)</h2>' \
  '<span class="failed">    QviPublic 22 GetPlatform(ByRef 0) FAILED 440: Automation error (injected)</span>' \
  '<span class="failed">    RegCreateKeyA(HKEY_LOCAL_MACHINE\SOFTWARE\Halvorn\Tessaly\Management Console\BC Defaults, "Modem") -&gt; 5 access denied (injected)</span>'

# The matrix of install-nt: its counts, a folded kind and the rows to unfold.
"$qvihost" matrix install-nt --html "$work/matrix.html" >/dev/null
render --dump-dom "file://$work/matrix.html" >"$work/matrix-dom.html"
expect_parts "$work/matrix-dom.html" '<h1>qvihost: matrix of install-nt</h1>' '<h2 id="severity">By severity</h2>' \
  '<tr><th>state silently lost</th><td>39</td><td>48</td></tr>' \
  '<details class="fold"><summary>[*] 30 faults, state silently lost: each RegSetValueExA loses the value it writes</summary>' \
  '<details><summary>[10] 1 fault, state silently lost: RegSetValueExA #1 in qviSetup; registry -1</summary>' \
  '<span class="del">  files - C:\ods.txt 208 bytes</span>' '<span class="add">  files + C:\ods.txt 184 bytes</span>' \
  '<summary>[49] 7 faults, no effect: IsInstalling #1 in qviSetup and 6 more</summary>'

# One scenario that meets its expectation, one that does not.
cat >"$work/met.json" <<'JSON'
{"base": "install-nt", "name": "met", "events": ["creation"], "expect": {"events": [{"event": "creation", "outcome": "completed"}]}}
JSON
cat >"$work/unmet.json" <<'JSON'
{"base": "install-nt", "name": "unmet", "events": ["creation"], "expect": {"events": [{"event": "creation", "outcome": "failed"}]}}
JSON
"$qvihost" test "$work/met.json" "$work/unmet.json" --html "$work/test.html" >/dev/null || [ $? -eq 1 ]
render --dump-dom "file://$work/test.html" >"$work/test-dom.html"
expect_parts "$work/test-dom.html" '<h1>qvihost: test</h1>' '<p class="failed">1 passed, 1 failed</p>' \
  "<h2>PASS met ($work/met.json)</h2>" "<h2 class=\"failed\">FAIL unmet ($work/unmet.json)</h2>" \
  '<span class="del">  expected: '
if [ -n "$matrix_screenshot" ]; then
  render --window-size=1200,1600 --screenshot="$matrix_screenshot" "file://$work/matrix.html" >/dev/null
fi
if [ -n "$screenshot" ]; then
  render --window-size=1200,1600 --screenshot="$screenshot" "file://$work/odd.html" >/dev/null
fi
echo "rendered: $(wc -c <"$work/upgrade-dom.html"), $(wc -c <"$work/odd-dom.html"), $(wc -c <"$work/matrix-dom.html") and $(wc -c <"$work/test-dom.html") bytes of DOM"
