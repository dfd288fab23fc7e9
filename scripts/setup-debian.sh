#!/usr/bin/env bash
# Installs what building and testing QviConsole needs on Debian 12.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  build-essential cmake ninja-build git \
  libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libcli11-dev libdtl-dev libpugixml-dev nettle-dev chromium \
  clang libclang-rt-14-dev strace time >/dev/null
