#!/usr/bin/env bash
# Installs what the Windows builds and their tests under Wine need on Debian
# 12: the mingw-w64 cross compilers, GoogleTest's sources, and Wine for 64-bit
# and (from the i386 architecture, about a minute and 1.3 GB) 32-bit programs.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64 googletest \
  wine wine64 wine32:i386 libwine-dev >/dev/null
