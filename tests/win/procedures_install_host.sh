#!/usr/bin/env bash
# The install and removal read back with tools that had no part in making them: lnkinfo reads the
# four shortcut files, Wine's reg.exe the uninstall record (32-bit view); then a Unix symbolic
# link (a reparse point under Wine) in the target folder points at a sentinel folder outside it,
# and the removal must leave the sentinel whole.
#   procedures_install_host.sh TEST_EXE
set -u
exe=${1:?usage: procedures_install_host.sh TEST_EXE}
harness=$TAVRIN_SOURCE_DIR/scripts/wine-harness.sh
"$harness" "$TAVRIN_HARNESS_DIR" up || exit 1
eval "$("$harness" "$TAVRIN_HARNESS_DIR" env)"
fail() { echo "FAIL: $*" >&2; exit 1; }
run_case() { "$harness" "$TAVRIN_HARNESS_DIR" run "$exe" --gtest_filter="$1"; }

out=$(PROC_LEAVE_INSTALL=1 run_case 'Procedures.InstallLeftForTheHostTools') ||
  fail "install failed: $out"
target=$(sed -n 's/^target=//p' <<<"$out" | tr -d '\r')
[ -n "$target" ] || fail "no target folder printed"
echo "target folder: $target"

# lnk_field FILE NAME: the value lnkinfo prints for one field ("Local path", "Description"...).
lnk_field() {
  lnkinfo "$1" 2>/dev/null | sed -n "s/^[[:space:]]*$2[[:space:]]*: //p" | head -n1 | tr -d '\r'
}
# check_link FILE DESCRIPTION TARGET: one line for each field lnkinfo reads otherwise than made.
check_link() {
  local pair name expected got
  for pair in "Local path=$3" "Working directory=$target" "Description=$2" \
      "Command line arguments="; do
    name=${pair%%=*} expected=${pair#*=}
    got=$(lnk_field "$1" "$name")
    [ "$got" = "$expected" ] ||
      echo "${1#"$WINEPREFIX"/}: $name is '$got', expected '$expected'"
  done
}

mapfile -t links < <(find "$WINEPREFIX/drive_c" -path '*/Quorel/Tavrin-Solo/*.LNK' | sort)
[ "${#links[@]}" -eq 4 ] || fail "expected 4 shortcut files, found ${#links[@]}: ${links[*]}"
report=$(for link in "${links[@]}"; do
  case $(basename "$link") in
    Readme.LNK) check_link "$link" Readme "$target\\readme.txt" ;;
    TavrinSolo.LNK) check_link "$link" TavrinSolo "$target\\TavrinSolo.exe" ;;
    *) echo "unexpected shortcut $link" ;;
  esac
done)
[ -z "$report" ] || fail "shortcuts as lnkinfo reads them:"$'\n'"$report"
# The check bites: the readme link is not the executable's.
[ -n "$(check_link "${links[0]}" TavrinSolo "$target\\TavrinSolo.exe")" ] ||
  fail "link check does not bite"

key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Quorel:Tavrin-Solo {6C0F2E93-B71A-4d5e}'
record=$(wine reg query "$key" /reg:32 2>/dev/null | tr -d '\r')
value() { sed -n "s/^    $1    REG_SZ    //p" <<<"$record"; }
expect_value() {  # NAME EXPECTED
  [ "$(value "$1")" = "$2" ] || fail "record value $1 is '$(value "$1")', expected '$2'"
}
expect_value DisplayName "Tavrin-Solo, Tavrin Solo Cueboard"
expect_value Publisher "Quorel Software"
expect_value UninstallString "$target\\TavrinSoloSetup.exe"
expect_value DisplayIcon "$target\\TavrinSoloSetup.exe"
names=$(awk '/    REG_/ { print $1 }' <<<"$record" | sort | tr '\n' ' ')
[ "$names" = "DisplayIcon DisplayName Publisher UninstallString " ] ||
  fail "record values are $names, expected the four"
[ -z "$(value NoSuchValue)" ] || fail "record check does not bite"

# A link to a sentinel outside the target folder, first in the search's order.
unix_target=$(wine winepath -u "$target" 2>/dev/null | tr -d '\r')
[ -d "$unix_target" ] || fail "target folder not found on the host: $unix_target"
sentinel=$WINEPREFIX/drive_c/proc-sentinel-$$
mkdir -p "$sentinel/inner"
echo keep >"$sentinel/keep.txt"
echo keep2 >"$sentinel/inner/keep2.txt"
# The link goes first, so that removing what the removal left can never reach the sentinel.
trap 'rm -f "$unix_target/a-link"; rm -rf "$sentinel"; rm -rf "$unix_target"' EXIT
ln -s "$sentinel" "$unix_target/a-link"
PROC_LINK_SENTINEL="C:\\$(basename "$sentinel")" run_case 'Removal.LinkInTheTargetFolderIsNeverFollowed' ||
  fail "removal with a link failed"
[ "$(cat "$sentinel/keep.txt")" = keep ] || fail "sentinel file lost"
[ "$(cat "$sentinel/inner/keep2.txt")" = keep2 ] || fail "sentinel subfolder lost"
echo "target left after removal: $(ls -A "$unix_target" 2>/dev/null | tr '\n' ' ')"
echo ok
