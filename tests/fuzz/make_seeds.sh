#!/usr/bin/env bash
# Remakes the fuzzer's committed seed corpus (tests/fuzz/corpus) with packtool: valid packages
# behind the mode byte 0x01 (extract an image), one with a changed stored byte, and one input
# for the pack-and-extract mode (0x00). The packages are deterministic; so are the seeds.
# Usage: tests/fuzz/make_seeds.sh [PACKTOOL]   (default build/host/packtool)
set -euo pipefail
cd "$(dirname "$0")/../.."
tool=${1:-build/host/packtool}
out=tests/fuzz/corpus
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

# seed NAME MANIFEST: the package of MANIFEST behind the mode byte 0x01.
seed() {
  "$tool" pack "$2" "$work/$1.pkg" >/dev/null
  { printf '\x01'; cat "$work/$1.pkg"; } >"$out/$1"
}

# The sample payload's names and text files; small stand-ins for the files the build makes.
sed -E "s#@target:([A-Za-z_]+)@#$work/\1.bin#" sample/payload/manifest.txt |
  sed -E "s#\| ([A-Za-z])#| $PWD/sample/payload/\1#" >"$work/sample.txt"
for target in $(grep -o '@target:[A-Za-z_]*@' sample/payload/manifest.txt | cut -d: -f2 | tr -d @); do
  printf 'MZ stand-in for %s\n' "$target" >"$work/$target.bin"
done
seed sample-payload "$work/sample.txt"

# Legal names with dots inside (a substring check for ".." refuses them wrongly).
: >"$work/dots.txt"
for i in $(seq 1 17); do printf 'file %d\n' "$i" >"$work/d$i"; done
names=('Manual..xt' 'read...txt' '..hidden' 'a..b\c..d.txt' '.x\..y' 'x..z\y' 'v1..2\notes' 'e..z'
       'f' 'g\h' 'i.j' 'k..l\m..n\o..p' 'q' 'r..s' 't' 'u\v..w' 'last..one')
for i in $(seq 1 17); do echo "${names[$((i - 1))]} | $work/d$i" >>"$work/dots.txt"; done
seed dot-names "$work/dots.txt"

# The sample payload with one stored byte changed: its entry fails its digest, the rest go on.
cp "$out/sample-payload" "$out/changed-byte"
printf '\xff' | dd of="$out/changed-byte" bs=1 seek=3000 conv=notrunc status=none

# Pack-and-extract mode: 17 weights, then the bytes they share out.
{ printf '\x00'; printf '\x05%.0s' $(seq 1 17); printf 'file bytes %d\n' $(seq 1 40); } \
  >"$out/round-trip"
ls -l "$out"
