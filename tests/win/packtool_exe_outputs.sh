#!/usr/bin/env bash
# packtool.exe under Wine creates its outputs as the host tool does: the part file new (an
# existing one, or a link planted there to INSTALLER, is refused with one line and nothing
# written through it), unpack only into a new or empty folder, and the same files as the host
# tool's unpack. Ctrl+C (SIGINT to the Wine process, which Wine turns into CTRL_C_EVENT) stops a
# build and an unpack part-way: no OUTPUT, no part file, no part of a file, one line, and
# STATUS_CONTROL_C_EXIT, not success.
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
# A source with a drive letter is absolute: taken as it is, not below the manifest's folder.
sed "s#| files/#| Z:$work/p/files/#" "$work/p/manifest.txt" >"$work/p/drive.txt"
(cd "$work" && wine packtool.exe build in.exe 'p\drive.txt' drive.exe >/dev/null 2>&1) &&
  cmp -s "$work/drive.exe" "$work/host.exe" || fail "build of sources with a drive letter"

mkdir -p "$work/full"
echo "already here" >"$work/full/TavrinSolo.exe"
refused "full: not empty" unpack out.exe full
[ "$(cat "$work/full/TavrinSolo.exe")" = "already here" ] || fail "unpack wrote into a folder that was not empty"
(cd "$work" && wine packtool.exe unpack out.exe fresh >/dev/null 2>&1) || fail "unpack into a new folder"
"$tool" unpack "$work/host.exe" "$work/host-unpacked" >/dev/null || fail "host unpack"
diff -r "$work/fresh" "$work/host-unpacked" >/dev/null || fail "packtool.exe unpacked other files than the host tool"

# ctrl_c FILE LINE ARGS...: starts packtool.exe ARGS in $work, sends SIGINT once FILE (relative
# to $work) exists (and is not empty, with READY=nonempty; and $FILES files are in its folder),
# and checks the exit status, that FILE is gone and that LINE is all of stderr.
ctrl_c() {
  local file=$1 line=$2 pid waited=0 rc
  shift 2
  (cd "$work" && exec wine packtool.exe "$@" >/dev/null 2>stderr) &
  pid=$!
  while { [ ! -e "$work/$file" ] || { [ "${READY:-}" = nonempty ] && [ ! -s "$work/$file" ]; } ||
          [ "$(ls "$(dirname "$work/$file")" 2>/dev/null | wc -l)" -lt "${FILES:-0}" ]; } &&
        [ $waited -lt 3000 ] && kill -0 $pid 2>/dev/null; do
    sleep 0.01
    waited=$((waited + 1))
  done
  [ -e "$work/$file" ] || fail "Ctrl+C: $file did not appear: $*"
  kill -INT $pid
  wait $pid
  rc=$?
  # STATUS_CONTROL_C_EXIT, 0xC000013A: the shell sees its low 8 bits.
  [ "$rc" = 58 ] || fail "Ctrl+C: exit $rc, not 58: $*"
  # The handler deletes FILE while another thread holds it open: it goes as the process's handles
  # close, which Windows does before the process counts as ended and Wine's server just after the
  # Unix process is gone (seen once, under load). Up to 5 s for that.
  for waited in $(seq 500); do [ -e "$work/$file" ] && sleep 0.01 || break; done
  [ ! -e "$work/$file" ] || fail "Ctrl+C: $file left: $*"
  # Without Wine's own "wine client error:...: sendmsg" line: its runtime, ending a thread that
  # was talking to the wineserver as the process ends, says so on the same stderr (seen about
  # once in fifteen runs); Windows has no such line.
  tr -d '\r' <"$work/stderr" | grep -v '^wine client error:' >"$work/err"
  [ "$(cat "$work/err")" = "$line" ] ||
    fail "Ctrl+C: not the stop line: $(cat "$work/err")"
}
mkdir -p "$work/big"
for i in $(seq 1 17); do
  case $i in 1) name=TavrinSolo.exe ;; 2) name=readme.txt ;; *) name="file$i.bin" ;; esac
  truncate -s 24M "$work/big/f$i"
  echo "$name|f$i" >>"$work/big/manifest.txt"
done
ctrl_c big.exe.packtool-part \
  "packtool: stopped while writing big.exe.packtool-part; removed it; big.exe unchanged" \
  build in.exe 'big\manifest.txt' big.exe
[ ! -e "$work/big.exe" ] || fail "Ctrl+C: OUTPUT left"
: >"$work/big/manifest.txt"
for i in $(seq 1 17); do
  case $i in 1) name=TavrinSolo.exe ;; 2) name=readme.txt ;; *) name="file$i.bin" ;; esac
  [ $i = 17 ] && truncate -s 160M "$work/big/f$i" || truncate -s 4K "$work/big/f$i"
  echo "$name|f$i" >>"$work/big/manifest.txt"
done
"$tool" pack "$work/big/manifest.txt" "$work/big.pkg" || fail "host pack for unpack"
# Stopped while the last entry's part file is written, the other 16 placed.
READY=nonempty FILES=16 ctrl_c stopped/.packtool-part-17 "packtool: stopped while checking; 16 \
whole files written in stopped, nothing partial" unpack big.pkg stopped
[ "$(ls -A "$work/stopped" | wc -l)" -eq 16 ] || fail "Ctrl+C: unpack left $(ls -A "$work/stopped")"
cmp -s "$work/big/f16" "$work/stopped/file16.bin" || fail "Ctrl+C: unpack lost a whole file"
rm -rf "$work/big" "$work/big.pkg" "$work/stopped"

echo "$failures failures"
[ "$failures" -eq 0 ]
