#!/usr/bin/env bash
# The install onto a full disk: a tmpfs is mounted where the prefix's Program Files\Quorel lies,
# first far smaller than the package, so that extraction runs out of space part-way, then with
# room for the package's files but not for the installer copy, so that the copy does.
# Needs the right to mount (root); skipped otherwise, with exit code 77 (CTest's skip code).
#   procedures_full_disk.sh TEST_EXE
set -u
exe=${1:?usage: procedures_full_disk.sh TEST_EXE}
harness=$TAVRIN_SOURCE_DIR/scripts/wine-harness.sh
"$harness" "$TAVRIN_HARNESS_DIR" up || exit 1
eval "$("$harness" "$TAVRIN_HARNESS_DIR" env)"
fail() { echo "FAIL: $*" >&2; exit 1; }

pf="$WINEPREFIX/drive_c/Program Files (x86)"
[ -d "$pf" ] || pf="$WINEPREFIX/drive_c/Program Files"
mkdir -p "$pf/Quorel"
mounted=0
trap '[ $mounted = 0 ] || umount "$pf/Quorel"' EXIT

# size: the tmpfs; case: the test case and what PROC_FULL_DISK tells it.
on_full_disk() {
  local size=$1 case=$2 filter=$3
  if ! mount -t tmpfs -o "size=$size,nr_inodes=64" tmpfs "$pf/Quorel" 2>/dev/null; then
    echo "no right to mount a tmpfs here: skipped"
    exit 77
  fi
  mounted=1
  PROC_FULL_DISK=$case "$harness" "$TAVRIN_HARNESS_DIR" run "$exe" --gtest_filter="$filter" \
    || fail "$filter failed"
  echo "on the full disk ($case): $(df -k "$pf/Quorel" | tail -n1)"
  umount "$pf/Quorel"
  mounted=0
}

on_full_disk 64k package 'Procedures.InstallOnAFullDiskFailsBeforeLinksCopyAndRecord'
# The package's files take some 140 KB; the installer (this test program) is several MB.
size=$(stat -c %s "$exe")
[ "$size" -gt 1048576 ] || fail "the test program ($size bytes) would fit the 1 MB disk"
on_full_disk 1m copy 'Procedures.CopyOnAFullDiskLeavesNoPartialCopy'
echo ok
