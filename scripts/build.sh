#!/usr/bin/env bash
# Configures and builds the four builds: host (g++), asan (clang, ASan+UBSan, fuzzers), tsan
# (clang, ThreadSanitizer, the package tests) and win (mingw-w64 i686). The Windows build calls
# the packing tool of the host build.
# TAVRIN_BUILD_ROOT (default: build) names the folder that holds them; `build.sh host win`
# builds only those.
set -euo pipefail
cd "$(dirname "$0")/.."
root=${TAVRIN_BUILD_ROOT:-build}
builds=("$@")
[ ${#builds[@]} -gt 0 ] || builds=(host asan tsan win)
bash scripts/setup.sh
for b in "${builds[@]}"; do
  extra=()
  [ "$b" = win ] && extra=(-DTAVRIN_HOST_TOOLS="$PWD/$root/host/host-tools.cmake")
  if [ "$b" = win ] && [ ! -f "$root/host/host-tools.cmake" ]; then
    cmake --preset host -B "$root/host" >/dev/null
    cmake --build "$root/host"
  fi
  if [ ! -f "$root/$b/build.ninja" ]; then
    cmake --preset "$b" -B "$root/$b" "${extra[@]}" >/dev/null
  fi
  cmake --build "$root/$b"
done
