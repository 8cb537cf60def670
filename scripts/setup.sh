#!/usr/bin/env bash
# Installs what the builds and tests need on Debian 12: the i686 mingw-w64 cross compiler,
# 32-bit Wine, Xvfb and the X tools the GUI tests drive, and the independent readers the tests
# check results with. Idempotent: when everything is present it only checks and returns.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libssl-dev
  g++-mingw-w64-i686 mingw-w64-tools binutils-mingw-w64-i686
  wine wine32:i386 wine64
  xvfb xauth x11-apps x11-utils xdotool imagemagick
  liblnk-utils icoutils python3 python3-pefile osslsigncode openssl inotify-tools time
)

missing=()
have_i386=0
dpkg --print-foreign-architectures 2>/dev/null | grep -qx i386 && have_i386=1
if [ "$have_i386" = 1 ]; then
  for p in "${packages[@]}"; do
    # dpkg-query names the i386 package with its architecture and native ones without it.
    status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null || true)
    [ "${status:0:2}" = "ii" ] || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && exit 0
else
  missing=("${packages[@]}")
fi

if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
else
  sudo=
fi
echo "setup: installing ${#missing[@]} package(s): ${missing[*]}" >&2
if [ "$have_i386" = 0 ]; then
  $sudo dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq >/dev/null
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "setup: done" >&2
