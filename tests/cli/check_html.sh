#!/usr/bin/env bash
# Writes the HTML report of the upgrade scenario and has a real browser,
# headless Chromium, load it: the page it renders must hold every part of the
# report, the settings file's change as a diff among them.
set -euo pipefail
qvihost="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$qvihost" run upgrade --html "$work/report.html" >/dev/null
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
  --disable-component-update --disable-sync --user-data-dir="$work/profile" \
  --dump-dom "file://$work/report.html" >"$work/dom.html" 2>/dev/null
for part in '<h1>qvihost: upgrade</h1>' '<h2 id="events">Events</h2>' '<h2 id="host-calls">Host calls (71)</h2>' \
            '<h2 id="registry">Registry changes (38)</h2>' '<h2 id="files">Files changed (2)</h2>' \
            '<span class="del">-Console=C:\QVCON</span>' '<span class="add">+Console=</span>' \
            '<h2 id="log">Log lines (7)</h2>' '<h2 id="host-state">Host state</h2>'; do
  if ! grep -qF "$part" "$work/dom.html"; then
    echo "the rendered page lacks: $part" >&2
    exit 1
  fi
done
echo "rendered: $(wc -c <"$work/dom.html") bytes of DOM"
