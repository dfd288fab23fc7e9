#!/usr/bin/env bash
# Installs what the Windows builds and their tests under Wine need on Debian
# 12: the mingw-w64 cross compilers, GoogleTest's sources, and Wine for 64-bit
# and (from the i386 architecture, the largest part of the install:
# docs/windows.md) 32-bit programs.
# Where the kernel cannot start 32-bit programs, it also lets Wine's 32-bit
# loader run on an emulated CPU (see run_32_bit_programs below).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64 googletest
          wine wine64 wine32:i386 libwine-dev)
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
missing=0
for package in "${packages[@]}"; do
  dpkg-query -W -f '${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing=1
done
if [ $missing = 1 ]; then
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
fi

# The product is a 32-bit Windows file, so its tests must run 32-bit code.
# Some kernels have IA-32 emulation off (no 32-bit code segment works): there
# Wine's 32-bit loader runs under qemu's user-mode emulator, registered with
# binfmt_misc for i386 ELF programs. Debian 12's qemu (7.2) crashes Wine;
# Debian 13's (10.0) runs it unchanged, and its qemu-user package is static
# with no dependencies, so it is fetched with a package list of its own and
# unpacked under build/: nothing else on the machine changes. Flag F makes
# the kernel open the interpreter now (it then works from any mount
# namespace, and after build/ is cleaned); flag P keeps argv[0].
# QVI_EMULATED_CPU=1 registers it even where the kernel runs 32-bit code
# itself, to try that path on such a machine (binfmt_misc is asked first).
run_32_bit_programs() {
  local loader=/usr/lib/wine/wine
  if [ "${QVI_EMULATED_CPU:-0}" != 1 ] && "$loader" --version >/dev/null 2>&1; then return 0; fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup-windows: this kernel cannot start 32-bit programs; registering an emulated CPU for them needs root" >&2
    return 1
  fi
  local binfmt=/proc/sys/fs/binfmt_misc
  if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || true
  fi
  if [ ! -w "$binfmt/register" ]; then
    echo "setup-windows: this kernel cannot start 32-bit programs, and binfmt_misc ($binfmt) is not available to register an emulated CPU" >&2
    return 1
  fi
  local home="$PWD/build/qemu-user"
  local qemu="$home/root/usr/bin/qemu-i386"
  if [ ! -x "$qemu" ]; then
    rm -rf "$home"
    mkdir -p "$home/lists/partial" "$home/archives/partial"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian trixie main" \
      >"$home/sources.list"
    local apt_options=(-o "Dir::Etc::SourceList=$home/sources.list" -o Dir::Etc::SourceParts=/dev/null
                       -o "Dir::State::Lists=$home/lists" -o "Dir::Cache::Archives=$home/archives"
                       -o Dir::State::Status=/dev/null -o APT::Sandbox::User=root)
    apt-get "${apt_options[@]}" -qq update
    (cd "$home" && apt-get "${apt_options[@]}" -qq download qemu-user:amd64)
    dpkg -x "$home"/qemu-user_*.deb "$home/root"
  fi
  if [ -e "$binfmt/qvi-i386" ]; then echo -1 >"$binfmt/qvi-i386"; fi
  printf '%s' ':qvi-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':FP' \
    >"$binfmt/register"
  if ! "$loader" --version >/dev/null 2>&1; then
    echo "setup-windows: $loader still cannot run under $qemu" >&2
    return 1
  fi
  echo "setup-windows: 32-bit programs run on an emulated CPU ($("$qemu" --version | head -1))"
}
run_32_bit_programs
