#!/usr/bin/env bash
# The installer builds to identical bytes, and the build's route is the publisher's: a second,
# fresh build in another folder (so no absolute path of the first may leak in either), configured
# with a second payload manifest, links the same program, and its TavrinSoloSetup.exe is exactly
# what `packtool build` makes from the first build's installer and that manifest; building that
# one back with the first manifest gives the first build's bytes.
# Usage: app_reproducible.sh TavrinSoloSetup.exe (run from CTest: TAVRIN_BUILD_DIR is the win build)
set -u
first=${1:?usage: app_reproducible.sh TavrinSoloSetup.exe}
src=${TAVRIN_SOURCE_DIR:?}
build=${TAVRIN_BUILD_DIR:?}
second="$build/repro-check"
rm -rf "$second" "$second.payload"
trap 'rm -rf "$second" "$second.log" "$second.payload"' EXIT
. "$src/tests/tools/second_payload.sh"
second_payload "$second.payload"
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
packtool=$(dirname "$(cache TAVRIN_HOST_TOOLS)")/packtool
cmake -S "$src" -B "$second" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$(cache CMAKE_TOOLCHAIN_FILE)" \
  -DCMAKE_BUILD_TYPE="$(cache CMAKE_BUILD_TYPE)" \
  -DTAVRIN_HOST_TOOLS="$(cache TAVRIN_HOST_TOOLS)" \
  -DTAVRIN_PAYLOAD_MANIFEST="$second.payload/manifest.txt" >"$second.log" 2>&1 ||
  { cat "$second.log"; echo "FAIL: the second build did not configure"; exit 1; }
cmake --build "$second" --target installer >>"$second.log" 2>&1 ||
  { tail -n 30 "$second.log"; echo "FAIL: the second build failed"; exit 1; }
rm -f "$second.log"
failures=0
if ! cmp "$build/linked/TavrinSoloSetup-linked.exe" "$second/linked/TavrinSoloSetup-linked.exe"; then
  echo "FAIL: two links of the program differ"
  failures=1
fi
"$packtool" build "$first" "$second.payload/manifest.txt" "$second/by-packtool.exe" ||
  { echo "FAIL: packtool build refused the built installer"; exit 1; }
if ! cmp "$second/TavrinSoloSetup.exe" "$second/by-packtool.exe"; then
  echo "FAIL: the build with the second manifest differs from packtool build with it"
  failures=1
fi
"$packtool" build "$second/TavrinSoloSetup.exe" "$build/payload-manifest.txt" "$second/back.exe" &&
  cmp "$first" "$second/back.exe" ||
  { echo "FAIL: built back with the first manifest, the installer differs from the first build's"; failures=1; }
[ "$failures" = 0 ] || exit 1
echo "two builds in different folders: identical programs; the build is packtool build;" \
  "$(stat -c %s "$first") bytes, sha256 $(sha256sum <"$first" | cut -c1-16)"
