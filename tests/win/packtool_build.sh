#!/usr/bin/env bash
# packtool build end to end: the built installer rebuilt with the sample manifest is the build's
# own bytes; with a second manifest (other sizes, an empty fourth file) the result is the same from
# the linked program or a finished installer, pefile reads every resource back unchanged but the
# package, and it installs and removes its own payload under Wine. Signed with a throwaway
# certificate it verifies (osslsigncode, packtool) and still installs and removes. packtool.exe
# under Wine writes the host tool's bytes. Refusals: a signed installer, no PE, no package, OUTPUT
# naming INSTALLER, a payload too large, a bad manifest, and damaged resource tables (also for
# list, verify and unpack): one line, exit 1, nothing written.
# Usage: packtool_build.sh INSTALLER PACKTOOL LINKED_EXE PACKTOOL_EXE OTHER_EXE PYTHON
. "$(dirname "$0")/../gui/lib.sh"
. "$(dirname "$0")/../gui/app_lib.sh"
built=$1 tool=$2 linked=$3 tool_exe=$4 other=$5 python=$6
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../tools/second_payload.sh"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# refused PATTERN COMMAND...: exit 1 (a crash gives more), one stderr line matching PATTERN,
# and no $work/out.exe left behind.
refused() {
  local pattern=$1 rc
  shift
  rm -f "$work/out.exe"
  "$@" >"$work/stdout" 2>"$work/stderr"
  rc=$?
  [ "$rc" = 1 ] || fail "exit $rc, not 1: $*"
  [ "$(wc -l <"$work/stderr")" = 1 ] || fail "not one error line: $* -> $(cat "$work/stderr")"
  grep -q -- "$pattern" "$work/stderr" || fail "no '$pattern' in: $(cat "$work/stderr")"
  [ ! -e "$work/out.exe" ] && [ -z "$(find "$work" -maxdepth 1 -name '*.packtool-part')" ] ||
    fail "a refused build left a file: $*"
}

# installs_payload EXE MANIFEST_FOLDER: -h -i installs exactly the manifest's files (by MD5),
# -h -u removes them; both exit 0.
installs_payload() {
  local exe=$1 dir=$2 name src
  installer=$exe
  ensure_removed
  run_installer -h -i
  [ "$exit_code" = 0 ] || fail "$exe -h -i exited with $exit_code"
  while IFS='|' read -r name src; do
    name=$(echo "$name" | sed 's/ *$//; s#\\#/#g')
    src=$(echo "$src" | sed 's/^ *//')
    [ "$(md5sum <"$target/$name" 2>/dev/null)" = "$(md5sum <"$dir/$src")" ] ||
      fail "$exe: installed $name differs from its source"
  done <"$dir/manifest.txt"
  run_installer -h -u
  [ "$exit_code" = 0 ] || fail "$exe -h -u exited with $exit_code"
  [ ! -e "$target" ] || fail "$exe -h -u left $target"
}

# The sample manifest: the publisher's command on the finished installer gives the build's bytes.
"$tool" build "$built" "$TAVRIN_BUILD_DIR/payload-manifest.txt" "$work/sample.exe" || fail "build (sample)"
cmp -s "$built" "$work/sample.exe" || fail "packtool build with the sample manifest differs from the build"

# The second manifest: the same bytes from the linked program and from a finished installer, and
# from a second run; pefile reads everything back.
p2=$work/p2
second_payload "$p2"
"$tool" build "$built" "$p2/manifest.txt" "$work/b2.exe" || fail "build (second manifest)"
"$tool" build "$linked" "$p2/manifest.txt" "$work/b2-linked.exe" || fail "build from the linked program"
"$tool" build "$built" "$p2/manifest.txt" "$work/b2-again.exe" || fail "build again"
cmp -s "$work/b2.exe" "$work/b2-linked.exe" || fail "built from the linked program, the bytes differ"
cmp -s "$work/b2.exe" "$work/b2-again.exe" || fail "two builds of the same inputs differ"
"$tool" pack "$p2/manifest.txt" "$work/p2.pkg" || fail "pack"
"$python" "$here/../tools/check_built_installer.py" "$work/b2.exe" "$built" "$work/p2.pkg" ||
  fail "pefile's reading of the built installer"
# The checker bites: a picture byte changed, and a CheckSum that is off by one.
cp "$work/b2.exe" "$work/bad.exe"
printf '\x55' | dd of="$work/bad.exe" bs=1 seek=$((0x40000)) conv=notrunc status=none
"$python" "$here/../tools/check_built_installer.py" "$work/bad.exe" "$built" "$work/p2.pkg" |
  grep -q "resource (2, 101, .*) differs" || fail "the checker missed a changed picture byte"
"$tool" verify "$work/b2.exe" | grep -qx "result: 0" || fail "verify of the built installer"
installs_payload "$work/b2.exe" "$p2"

# Signed with a throwaway self-signed certificate: osslsigncode and packtool verify it, it installs
# and removes, and build refuses it.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj "/CN=Tavrin-Solo test publisher" >/dev/null 2>&1 || fail "openssl made no certificate"
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "Tavrin-Solo" \
  -in "$work/b2.exe" -out "$work/signed.exe" >/dev/null || fail "osslsigncode sign"
osslsigncode verify -CAfile "$work/cert.pem" -in "$work/signed.exe" >"$work/osslverify" 2>&1 ||
  fail "osslsigncode verify: $(tail -n 3 "$work/osslverify")"
"$tool" verify "$work/signed.exe" | grep -qx "result: 0" || fail "packtool verify of the signed installer"
diff <("$tool" list "$work/signed.exe") <("$tool" list "$work/b2.exe") >/dev/null ||
  fail "list of the signed installer differs"
installs_payload "$work/signed.exe" "$p2"
refused "build first, then sign" "$tool" build "$work/signed.exe" "$p2/manifest.txt" "$work/out.exe"

# Refusals of build.
refused "not a Windows executable" "$tool" build "$p2/manifest.txt" "$p2/manifest.txt" "$work/out.exe"
refused "without a package (RCDATA 100)" "$tool" build "$other" "$p2/manifest.txt" "$work/out.exe"
cp "$work/b2.exe" "$work/in.exe"
ln -s "$work/in.exe" "$work/link.exe"
for same in "$work/in.exe" "$work/./in.exe" "$work/link.exe"; do
  refused "OUTPUT is INSTALLER" "$tool" build "$work/in.exe" "$p2/manifest.txt" "$same"
done
cmp -s "$work/in.exe" "$work/b2.exe" || fail "a refused build changed INSTALLER"
sed 's#| files/f5.bin#| huge.bin#' "$p2/manifest.txt" >"$p2/huge.txt"
truncate -s 1100M "$p2/huge.bin"
refused "too large" "$tool" build "$built" "$p2/huge.txt" "$work/out.exe"
rm -f "$p2/huge.bin"
head -n 16 "$p2/manifest.txt" >"$p2/short.txt"
refused "16 entries; a package holds exactly 17" "$tool" build "$built" "$p2/short.txt" "$work/out.exe"

# Damaged resource tables: RCDATA 100's size wrapping round, its data outside the image, its data
# range crossing the image's end, and the RCDATA directory's offset outside the resource section.
for damage in size-wraps rva-outside crosses-end directory-outside; do
  "$python" - "$work/b2.exe" "$damage" "$work/damaged.exe" <<'PY'
import struct, sys
import pefile
path, damage, out = sys.argv[1:]
pe = pefile.PE(path)
data = bytearray(open(path, "rb").read())
rcdata = next(t for t in pe.DIRECTORY_ENTRY_RESOURCE.entries if t.id == 10)
entry = next(e for e in rcdata.directory.entries if e.id == 100).directory.entries[0].data.struct
at = entry.get_file_offset()
image = pe.OPTIONAL_HEADER.SizeOfImage
if damage == "size-wraps":
    struct.pack_into("<I", data, at + 4, 0xFFFFFFF0)
elif damage == "rva-outside":
    struct.pack_into("<I", data, at, image + 0x1000)
elif damage == "crosses-end":
    struct.pack_into("<I", data, at, image - 0x100)
else:
    struct.pack_into("<I", data, rcdata.struct.get_file_offset() + 4, 0x80000000 | 0x7FFFFFF0)
open(out, "wb").write(data)
PY
  for command in list verify; do
    refused "damaged resource table" "$tool" "$command" "$work/damaged.exe"
  done
  refused "damaged resource table" "$tool" unpack "$work/damaged.exe" "$work/unpacked"
  [ ! -e "$work/unpacked" ] || fail "unpack of a damaged table ($damage) made its folder"
  refused "damaged resource table" "$tool" build "$work/damaged.exe" "$p2/manifest.txt" "$work/out.exe"
done

# packtool.exe under Wine (paths relative to the folder it runs in) writes the host tool's bytes,
# and refuses OUTPUT naming INSTALLER by another spelling.
(cd "$work" && wine "$tool_exe" build in.exe p2\\manifest.txt w.exe >"$work/wine-out" 2>&1) ||
  fail "packtool.exe build under Wine: $(cat "$work/wine-out")"
cmp -s "$work/w.exe" "$work/b2.exe" || fail "packtool.exe under Wine wrote other bytes than the host tool"
(cd "$work" && wine "$tool_exe" verify w.exe 2>/dev/null | tr -d '\r' | grep -qx "result: 0") ||
  fail "packtool.exe verify under Wine"
(cd "$work" && wine "$tool_exe" build in.exe p2/manifest.txt .\\IN.EXE >/dev/null 2>"$work/wine-err")
grep -q "OUTPUT is INSTALLER" "$work/wine-err" || fail "packtool.exe: $(cat "$work/wine-err")"

echo "$failures failures"
[ "$failures" -eq 0 ]
