#!/usr/bin/env bash
# The installer builds to identical bytes: a second, fresh build of TavrinSoloSetup in another
# folder (so no absolute path of the first may leak in either) gives the same file.
# Usage: app_reproducible.sh TavrinSoloSetup.exe (run from CTest: TAVRIN_BUILD_DIR is the win build)
set -u
first=${1:?usage: app_reproducible.sh TavrinSoloSetup.exe}
src=${TAVRIN_SOURCE_DIR:?}
build=${TAVRIN_BUILD_DIR:?}
second="$build/repro-check"
rm -rf "$second"
trap 'rm -rf "$second" "$second.log"' EXIT
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
cmake -S "$src" -B "$second" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$(cache CMAKE_TOOLCHAIN_FILE)" \
  -DCMAKE_BUILD_TYPE="$(cache CMAKE_BUILD_TYPE)" \
  -DTAVRIN_HOST_TOOLS="$(cache TAVRIN_HOST_TOOLS)" >"$second.log" 2>&1 ||
  { cat "$second.log"; echo "FAIL: the second build did not configure"; exit 1; }
cmake --build "$second" --target TavrinSoloSetup >>"$second.log" 2>&1 ||
  { tail -n 30 "$second.log"; echo "FAIL: the second build failed"; exit 1; }
rm -f "$second.log"
if ! cmp "$first" "$second/TavrinSoloSetup.exe"; then
  echo "FAIL: two builds of TavrinSoloSetup.exe differ"
  exit 1
fi
echo "two builds in different folders: identical, $(stat -c %s "$first") bytes, sha256 $(sha256sum <"$first" | cut -c1-16)"
