#!/usr/bin/env bash
# Cross-builds the Windows binaries (warnings are errors) and runs their tests
# under Wine: the platform contract on the real Win32 API, the pure suites,
# the test host kit, the COM tests, the checks of what the binaries import
# and link, and the embedded scenarios run on the real Win32 API, in process
# and through COM (for i686 also with the control loaded as Windows 95 and
# NT 4.0 would load it), against their runs on the emulated machine. Both
# architectures run the same suites, but for those of the loader of Windows 95
# and NT 4.0, which ran no 64-bit code; each has a Wine prefix of its own
# under build/. Arguments: the architectures (default: x86_64 i686).
set -euo pipefail
cd "$(dirname "$0")/.."
unset DISPLAY WAYLAND_DISPLAY
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wineserver=/usr/lib/wine/wineserver
status=0
for arch in ${@:-x86_64 i686}; do
  if [ "$arch" = i686 ]; then loader=/usr/lib/wine/wine; export WINEARCH=win32; else loader=/usr/lib/wine/wine64; export WINEARCH=win64; fi
  export WINEPREFIX="$PWD/build/mingw-$arch/wineprefix"
  if ! "$loader" --version >/dev/null 2>&1; then
    # scripts/setup-windows.sh lets a kernel that cannot start 32-bit
    # programs run them on an emulated CPU; without that, nothing here runs.
    echo "test-windows: $loader cannot run on this machine; run scripts/setup-windows.sh (as root) first" >&2
    exit 1
  fi
  cmake --preset "mingw-$arch" >/dev/null
  cmake --build --preset "mingw-$arch"
  # One server for the whole run, its helper processes started here with
  # nothing to hold on to: started by a test, they would keep its output
  # pipe open and ctest would wait for them after every test.
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$loader" wineboot -i </dev/null >/dev/null 2>&1
    "$wineserver" -w
  fi
  # Windows without a display: the control-container test makes one.
  if ! grep -q '"Graphics"="null"' "$WINEPREFIX/user.reg"; then
    "$loader" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
    "$wineserver" -w
  fi
  # A server left running for this prefix (exit status 2 here) serves as well.
  "$wineserver" -p </dev/null >/dev/null 2>&1 || true
  "$loader" wineboot </dev/null >/dev/null 2>&1
  ctest --preset "mingw-$arch" || status=1
  "$wineserver" -k || true
  # Each scenario runs under a server of its own, started in a namespace
  # whose host name is the scenario's computer name.
  cmake --preset ci >/dev/null
  cmake --build --preset ci --target windows_flow_test
  QVI_QVIFLOW="$PWD/build/mingw-$arch/cli/qviflow/qviflow.exe" \
    QVI_QVICOM="$PWD/build/mingw-$arch/cli/qvicom/qvicom.exe" \
    QVI_HOST_KIT="$PWD/build/mingw-$arch/harness/host_kit/qviServer.ocx" \
    QVI_OCX="$PWD/build/mingw-$arch/qviconsole/control/com/QviConsole.ocx" \
    build/ci/tests/cli/windows_flow_test || status=1
done
exit $status
