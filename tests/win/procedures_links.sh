#!/usr/bin/env bash
# Folder removal against what only the host can make in the prefix: Unix symbolic links, which
# Wine shows as reparse points, pointing at a sentinel folder outside the removed folder; and a
# drive letter of its own for a scratch folder, to try the refusal of a drive root safely.
#   procedures_links.sh TEST_EXE
set -u
exe=${1:?usage: procedures_links.sh TEST_EXE}
harness=$TAVRIN_SOURCE_DIR/scripts/wine-harness.sh
"$harness" "$TAVRIN_HARNESS_DIR" up || exit 1
eval "$("$harness" "$TAVRIN_HARNESS_DIR" env)"
fail() { echo "FAIL: $*" >&2; exit 1; }

scratch=$WINEPREFIX/drive_c/proc-links-$$
rm -rf "$scratch"
mkdir -p "$scratch/target/sub" "$scratch/sentinel/inner" "$scratch/rootdrive"
echo keep >"$scratch/sentinel/keep.txt"
echo keep2 >"$scratch/sentinel/inner/keep2.txt"
echo x >"$scratch/target/plain.txt"
echo y >"$scratch/target/sub/y.txt"
ln -s ../sentinel "$scratch/target/a-link"           # first in name order
ln -s "$scratch/sentinel" "$scratch/target/z-link"   # absolute
ln -s ../sentinel/keep.txt "$scratch/target/file-link"
ln -s sentinel "$scratch/toplink"
echo kept >"$scratch/rootdrive/kept.txt"
drive=
for letter in q r s t u v; do
  if [ ! -e "$WINEPREFIX/dosdevices/$letter:" ]; then drive=$letter; break; fi
done
[ -n "$drive" ] || fail "no free drive letter"
ln -s "$scratch/rootdrive" "$WINEPREFIX/dosdevices/$drive:"
cleanup() { rm -f "$WINEPREFIX/dosdevices/$drive:"; rm -rf "$scratch"; }
trap cleanup EXIT

win=$(basename "$scratch")
PROC_LINK_TARGET="C:\\$win\\target" PROC_LINK_SENTINEL="C:\\$win\\sentinel" \
  PROC_LINK_TOP="C:\\$win\\toplink" PROC_ROOT_DRIVE="$drive:" \
  PROC_ROOT_FOLDER="C:\\$win\\rootdrive" \
  "$harness" "$TAVRIN_HARNESS_DIR" run "$exe" \
  --gtest_filter='DeleteFolderTree.NeverEntersALinkToAFolderOutside:DeleteFolderTree.RefusesADriveRoot' \
  --gtest_also_run_disabled_tests || fail "the test program failed"

# Checked again from the host side, on the Unix files themselves.
[ "$(cat "$scratch/sentinel/keep.txt")" = keep ] || fail "sentinel file lost"
[ "$(cat "$scratch/sentinel/inner/keep2.txt")" = keep2 ] || fail "sentinel subfolder lost"
[ -f "$scratch/rootdrive/kept.txt" ] || fail "drive root emptied"
[ ! -e "$scratch/target/plain.txt" ] || [ ! -e "$scratch/target/sub" ] ||
  echo "note: the walk stopped before the plain entries (search order)"
echo "target left: $(ls -A "$scratch/target" | tr '\n' ' ')"
echo "ok"
