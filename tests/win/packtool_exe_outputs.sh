#!/usr/bin/env bash
# packtool.exe under Wine creates its outputs as the host tool does: the part file new (an
# existing one, or a link planted there to INSTALLER, is refused with one line and nothing
# written through it), unpack only into a new or empty folder, and the same files as the host
# tool's unpack.
# Usage: packtool_exe_outputs.sh PACKTOOL_EXE INSTALLER PACKTOOL
. "$(dirname "$0")/../gui/lib.sh"
tool_exe=$1 built=$2 tool=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../tools/second_payload.sh"
work="$TAVRIN_HARNESS_DIR/packtool-exe.$$"
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
cp "$tool_exe" "$work/packtool.exe"
cp "$built" "$work/in.exe"
second_payload "$work/p"

# refused PATTERN ARGS...: packtool.exe ARGS (run in $work) exits 1 with one stderr line.
refused() {
  local pattern=$1 rc
  shift
  (cd "$work" && wine packtool.exe "$@" >stdout 2>stderr)
  rc=$?
  tr -d '\r' <"$work/stderr" >"$work/err"
  [ "$rc" = 1 ] || fail "exit $rc, not 1: $*"
  [ "$(wc -l <"$work/err")" = 1 ] || fail "not one error line: $* -> $(cat "$work/err")"
  grep -q -- "$pattern" "$work/err" || fail "no '$pattern' in: $(cat "$work/err")"
}

echo "left over" >"$work/out.exe.packtool-part"
refused "out.exe.packtool-part: already exists" build in.exe 'p\manifest.txt' out.exe
[ "$(cat "$work/out.exe.packtool-part")" = "left over" ] && [ ! -e "$work/out.exe" ] ||
  fail "build reused an existing part file"
rm "$work/out.exe.packtool-part"
cp "$work/in.exe" "$work/in-copy.exe"
ln -s "$work/in.exe" "$work/out.exe.packtool-part"
refused "already exists" build in.exe 'p\manifest.txt' out.exe
cmp -s "$work/in.exe" "$work/in-copy.exe" || fail "build wrote through a part-file link to INSTALLER"
rm "$work/out.exe.packtool-part"

(cd "$work" && wine packtool.exe build in.exe 'p\manifest.txt' out.exe >/dev/null 2>&1) ||
  fail "build without a part file"
"$tool" build "$work/in.exe" "$work/p/manifest.txt" "$work/host.exe" || fail "host build"
cmp -s "$work/out.exe" "$work/host.exe" || fail "packtool.exe wrote other bytes than the host tool"

mkdir -p "$work/full"
echo "already here" >"$work/full/TavrinSolo.exe"
refused "full: not empty" unpack out.exe full
[ "$(cat "$work/full/TavrinSolo.exe")" = "already here" ] || fail "unpack wrote into a folder that was not empty"
(cd "$work" && wine packtool.exe unpack out.exe fresh >/dev/null 2>&1) || fail "unpack into a new folder"
"$tool" unpack "$work/host.exe" "$work/host-unpacked" >/dev/null || fail "host unpack"
diff -r "$work/fresh" "$work/host-unpacked" >/dev/null || fail "packtool.exe unpacked other files than the host tool"

echo "$failures failures"
[ "$failures" -eq 0 ]
