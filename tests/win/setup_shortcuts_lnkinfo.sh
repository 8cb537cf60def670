#!/usr/bin/env bash
# Shortcut files read back with lnkinfo: target path, working folder and description; a folder
# with a trailing backslash gives the same link; an existing link is replaced; no arguments.
set -u
tool=${1:?usage: setup_shortcuts_lnkinfo.sh setup_shortcut_tool.exe}
harness=${TAVRIN_SOURCE_DIR:-$(cd "$(dirname "$0")/.." && pwd)}/scripts/wine-harness.sh
eval "$("$harness" "$TAVRIN_HARNESS_DIR" env)"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

base='C:\users\Public\QuorelLinkCheck'
unix=$(winepath -u "$base" 2>/dev/null)
unix=${unix%/}
[ -n "$unix" ] || { echo "FAIL: winepath gave no folder for $base" >&2; exit 1; }
rm -rf "$unix"
mkdir -p "$unix/Menu" "$unix/MenuSlash" "$unix/Quorel/Tavrin-Solo"
echo readme >"$unix/Quorel/Tavrin-Solo/readme.txt"
echo program >"$unix/Quorel/Tavrin-Solo/TavrinSolo.exe"
target="$base\\Quorel\\Tavrin-Solo"

# field FILE NAME: the value of "NAME : value" in lnkinfo's link information, or "(absent)".
field() {
  lnkinfo "$1" 2>/dev/null | awk -F'\t*: ' -v name="$2" '
    { key = $1; sub(/^\t+/, "", key); sub(/[\t ]+$/, "", key) }
    key == name { sub(/^[^:]*: /, ""); print; found = 1; exit }
    END { if (!found) print "(absent)" }'
}

expect_field() {  # FILE NAME EXPECTED
  local got
  got=$(field "$1" "$2")
  [ "$got" = "$3" ] || fail "$(basename "$1"): $2 is '$got', expected '$3'"
}

create() { wine "$tool" create "$@" >/dev/null 2>&1; }

# The reader bites: a file that is no link has no local path.
echo "not a link" >"$unix/Menu/Broken.LNK"
[ "$(field "$unix/Menu/Broken.LNK" "Local path")" = "(absent)" ] || fail "lnkinfo read a non-link"
rm -f "$unix/Menu/Broken.LNK"

create "$base\\Menu" Readme "$target\\readme.txt" || fail "CreateShortcut of Readme failed"
link="$unix/Menu/Readme.LNK"
[ -f "$link" ] || fail "no Menu/Readme.LNK was written"
expect_field "$link" "Local path" "$target\\readme.txt"
expect_field "$link" "Working directory" "$target"
expect_field "$link" "Description" "Readme"
expect_field "$link" "Command line arguments" "(absent)"

# A trailing backslash on the folder: the same file name, no doubled backslash in it.
create "$base\\MenuSlash\\" TavrinSolo "$target\\TavrinSolo.exe" || fail "CreateShortcut with a trailing backslash failed"
listing=$(ls "$unix/MenuSlash")
[ "$listing" = "TavrinSolo.LNK" ] || fail "MenuSlash holds '$listing', expected TavrinSolo.LNK"
expect_field "$unix/MenuSlash/TavrinSolo.LNK" "Local path" "$target\\TavrinSolo.exe"
expect_field "$unix/MenuSlash/TavrinSolo.LNK" "Working directory" "$target"
expect_field "$unix/MenuSlash/TavrinSolo.LNK" "Description" "TavrinSolo"

# An existing link is replaced by the new one.
create "$base\\Menu" Readme "$target\\TavrinSolo.exe" || fail "replacing Readme.LNK failed"
expect_field "$link" "Local path" "$target\\TavrinSolo.exe"
expect_field "$link" "Description" "Readme"

# Deleting: the link goes; a second delete finds nothing and reports 0.
wine "$tool" delete "$base\\Menu" Readme >/dev/null 2>&1 || fail "DeleteShortcut of an existing link failed"
[ ! -e "$link" ] || fail "Readme.LNK is still there after DeleteShortcut"
if wine "$tool" delete "$base\\Menu" Readme >/dev/null 2>&1; then
  fail "DeleteShortcut of a missing link reported success"
fi

rm -rf "$unix"
[ "$failures" -eq 0 ] || exit 1
echo "links read back with lnkinfo: target, working folder, description, replacement, deletion"
