#!/usr/bin/env bash
# The install onto a full disk: a tmpfs far smaller than the package is mounted where the
# prefix's Program Files\Quorel lies, so that extraction runs out of space part-way.
# Needs the right to mount (root); skipped otherwise.
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
if ! mount -t tmpfs -o size=64k,nr_inodes=64 tmpfs "$pf/Quorel" 2>/dev/null; then
  echo "no right to mount a tmpfs here: skipped"
  exit 0
fi
trap 'umount "$pf/Quorel"' EXIT
PROC_FULL_DISK=1 "$harness" "$TAVRIN_HARNESS_DIR" run "$exe" \
  --gtest_filter='Procedures.InstallOnAFullDiskFailsBeforeLinksCopyAndRecord' || fail "test failed"
echo "on the full disk: $(df -k "$pf/Quorel" | tail -n1)"
echo ok
