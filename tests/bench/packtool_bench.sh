#!/usr/bin/env bash
# Figures (not a test): packtool at a large payload against the peer framework's compiler. A
# generated payload of SIZE MiB (17 files of fixed pseudo-random bytes from AES-CTR, incompressible)
# is made into an installer by `packtool build` and by `makensis` (SetCompress off) of the same
# files, alternating, RUNS times each; after each pair, three times in turn one `md5sum` pass
# over ours, `packtool verify` and `packtool unpack` of it (the file system is busy for a while
# after the two large outputs and the deletions: writes then cost several times more, and the
# three passes let each command meet the quieter state too). Each
# run's wall time and peak memory (GNU time: elapsed, maximum resident size) are printed; the best
# of each is summed up, with the ratios the targets speak of: build over makensis, verify over
# md5sum, unpack over verify. Files in the page cache (one warm-up run of each).
# Usage: tests/bench/packtool_bench.sh [SIZE_MIB] [RUNS]   (needs build/host and build/win)
set -eu
size_mib=${1:-512}
runs=${2:-5}
root=$(cd "$(dirname "$0")/../.." && pwd)
builds=${TAVRIN_BUILD_ROOT:-$root/build}
case $builds in /*) ;; *) builds=$root/$builds ;; esac
packtool=$builds/host/packtool
installer=$builds/win/TavrinSoloSetup.exe
work=$builds/packtool-bench
[ -x "$packtool" ] && [ -f "$installer" ] || { echo "build first: scripts/build.sh host win" >&2; exit 2; }
[ -x /usr/bin/time ] || apt-get install -y -qq time >/dev/null
command -v makensis >/dev/null || apt-get install -y -qq --no-install-recommends nsis >/dev/null

mkdir -p "$work"
if [ ! -f "$work/manifest-$size_mib.txt" ]; then
  rm -rf "$work/files" "$work"/manifest-*.txt
  mkdir -p "$work/files"
  each=$(((size_mib << 20) / 17))
  {
    echo 'SetCompress off'
    echo 'OutFile "peer.exe"'
    echo 'RequestExecutionLevel user'
    echo 'InstallDir "$TEMP\packtool-bench"'
    echo 'Section'
    echo '  SetOutPath "$INSTDIR"'
  } >"$work/peer.nsi"
  : >"$work/manifest.part"
  for i in $(seq 1 17); do
    openssl enc -aes-128-ctr -nosalt -K "$(printf '%032x' "$((2000 + i))")" -iv 0 \
      -in /dev/zero 2>/dev/null | head -c "$each" >"$work/files/f$i.bin"
    case $i in 1) name=TavrinSolo.exe ;; 2) name=readme.txt ;; *) name="f$i.bin" ;; esac
    echo "$name | files/f$i.bin" >>"$work/manifest.part"
    echo "  File \"/oname=$name\" \"files/f$i.bin\"" >>"$work/peer.nsi"
  done
  echo 'SectionEnd' >>"$work/peer.nsi"
  mv "$work/manifest.part" "$work/manifest-$size_mib.txt"
fi
cd "$work"

# measure NAME COMMAND...: appends "NAME seconds kilobytes" to results.
measure() {
  local name=$1
  shift
  sync  # the writes of the command before are not this one's
  /usr/bin/time -f "%e %M" -o time.txt "$@" >/dev/null 2>&1 || { echo "$name failed" >&2; exit 1; }
  echo "$name $(cat time.txt)" | tee -a results.txt
}

: >results.txt
for run in $(seq 0 "$runs"); do
  rm -rf ours.exe peer.exe unpacked
  measure build "$packtool" --quiet build "$installer" "manifest-$size_mib.txt" ours.exe
  measure makensis makensis -V1 peer.nsi
  for pass in 1 2 3; do
    measure md5sum md5sum ours.exe
    measure verify "$packtool" --quiet verify ours.exe
    rm -rf unpacked
    measure unpack "$packtool" --quiet unpack ours.exe unpacked
  done
  [ "$run" = 0 ] && : >results.txt  # the warm-up run is not counted
done
best() { awk -v n="$1" '$1 == n { if (t == "" || $2 < t) t = $2; if ($3 > m) m = $3 } END { print t, m }' results.txt; }
read -r bt bm <<<"$(best build)"
read -r nt nm <<<"$(best makensis)"
read -r mt mm <<<"$(best md5sum)"
read -r vt vm <<<"$(best verify)"
read -r ut um <<<"$(best unpack)"
echo
echo "payload ${size_mib} MiB, best of $runs (md5sum, verify, unpack: of 3 x $runs;" \
  "peak memory: the largest of the runs)"
printf '%-18s %8s s %8d KB\n' "packtool build" "$bt" "$bm" "makensis" "$nt" "$nm" "md5sum" "$mt" "$mm" \
  "packtool verify" "$vt" "$vm" "packtool unpack" "$ut" "$um"
awk -v b="$bt" -v n="$nt" -v m="$mt" -v v="$vt" -v u="$ut" 'BEGIN {
  printf "build / makensis: %.2f   verify / md5sum: %.2f   unpack / verify: %.2f\n", b / n, v / m, u / v }'
rm -rf ours.exe peer.exe unpacked
