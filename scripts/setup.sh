#!/usr/bin/env bash
# Installs what the builds and tests need on Debian 12: the i686 mingw-w64 cross compiler,
# 32-bit Wine, Xvfb and the X tools the GUI tests drive, and the independent readers the tests
# check results with, and the Japanese, Chinese and Polish locales the code-page tests start Wine
# in. Idempotent: when everything is present it only checks and returns.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libssl-dev
  g++-mingw-w64-i686 mingw-w64-tools binutils-mingw-w64-i686
  wine wine32:i386 wine64
  xvfb xauth x11-apps x11-utils xdotool imagemagick
  liblnk-utils icoutils python3 python3-pefile osslsigncode openssl inotify-tools time locales
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
else
  missing=("${packages[@]}")
fi
# A Wine process takes its ANSI code page from the locale it starts in (932, 936, 1250 here).
locales=(ja_JP zh_CN pl_PL)
absent=()
present=$(locale -a 2>/dev/null || true)
for l in "${locales[@]}"; do
  grep -qx "$l.utf8" <<<"$present" || absent+=("$l")
done
[ ${#missing[@]} -eq 0 ] && [ ${#absent[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
else
  sudo=
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${#missing[@]} package(s): ${missing[*]}" >&2
  if [ "$have_i386" = 0 ]; then
    $sudo dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq >/dev/null
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
for l in "${absent[@]}"; do $sudo localedef -i "$l" -c -f UTF-8 "$l.UTF-8"; done
echo "setup: done" >&2
