#!/usr/bin/env bash
# packtool end to end on the host: pack, list, verify and unpack a made-up payload, checked with
# md5sum, cmp and od; and every refusal ends with one clear line and a non-zero exit.
# Usage: package_packtool_test.sh PACKTOOL
set -u
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# expect_error PATTERN COMMAND...: non-zero exit, exactly one stderr line matching PATTERN.
expect_error() {
  local pattern=$1
  shift
  if "$@" >"$work/stdout" 2>"$work/stderr"; then fail "succeeded: $*"; return; fi
  [ "$(wc -l <"$work/stderr")" -eq 1 ] || fail "not one error line: $* -> $(cat "$work/stderr")"
  grep -q -- "$pattern" "$work/stderr" || fail "no '$pattern' in: $(cat "$work/stderr")"
}

# entry_name I: the name of entry I in the test payload (the program and the readme first, as
# the installer needs them at the top level).
entry_name() {
  case $1 in
    1) echo TavrinSolo.exe ;;
    2) echo readme.txt ;;
    1[3-7]) echo "Sub\\file$1.bin" ;;
    *) echo "file$1.bin" ;;
  esac
}

mkdir -p "$work/src/Sub"
manifest=$work/src/manifest.txt
echo "# test payload" >"$manifest"
for i in $(seq 1 17); do
  name=$(entry_name "$i")
  src="f$i"
  head -c $((i * 997 % 5000)) /dev/urandom >"$work/src/$src"
  echo "$name | $src" >>"$manifest"
done

"$tool" --help | grep -q "pack MANIFEST OUTPUT" || fail "--help"
"$tool" pack "$manifest" "$work/a.pkg" || fail "pack"
"$tool" pack "$manifest" "$work/b.pkg" || fail "pack again"
cmp -s "$work/a.pkg" "$work/b.pkg" || fail "two packs of the same files differ"
# reserved (bytes 152-159 of each entry) is zero.
for i in $(seq 0 16); do
  [ "$(od -An -tx1 -j $((160 * i + 152)) -N8 "$work/a.pkg" | tr -d ' \n')" = 0000000000000000 ] ||
    fail "reserved of entry $i not zero"
done

"$tool" list "$work/a.pkg" >"$work/list" || fail "list"
for i in $(seq 1 17); do
  sum=$(md5sum <"$work/src/f$i" | cut -d' ' -f1)
  name=$(entry_name "$i")
  grep -qF "$sum  $name" "$work/list" || fail "list: entry $i without the source's MD5 $sum"
done
"$tool" verify "$work/a.pkg" | grep -qx "result: 0" || fail "verify of a good package"

"$tool" unpack "$work/a.pkg" "$work/out" >/dev/null || fail "unpack"
for i in $(seq 1 17); do
  dest="$work/out/$(entry_name "$i" | tr '\\' /)"
  cmp -s "$work/src/f$i" "$dest" || fail "unpacked file $i differs"
done

# A changed stored byte: verify names the entry and returns the installer's code.
cp "$work/a.pkg" "$work/bad.pkg"
off=$(od -An -tu4 -j $((160 * 5 + 128)) -N4 "$work/a.pkg" | tr -d ' ')
printf '\xff' | dd of="$work/bad.pkg" bs=1 seek=$((off + 1)) conv=notrunc status=none
if "$tool" verify "$work/bad.pkg" >"$work/verify"; then fail "verify passed a damaged package"; fi
grep -q "entry 6 (file6.bin): digest mismatch" "$work/verify" || fail "verify: $(cat "$work/verify")"
grep -q "result: -10[2-9]" "$work/verify" || fail "verify result: $(cat "$work/verify")"

# Refusals.
head -n 17 "$manifest" >"$work/src/m16.txt"
expect_error "16 entries; a package holds exactly 17" "$tool" pack "$work/src/m16.txt" "$work/x.pkg"
sed 's/| f3$/| missing-file/' "$manifest" >"$work/src/m-missing.txt"
expect_error "missing-file: No such file" "$tool" pack "$work/src/m-missing.txt" "$work/x.pkg"
for bad in '..\\up.bin' 'C:\\x.bin' 'a/b.bin' 'CON' 'x.' '\\root.bin' $'COM\xb2.txt'; do
  sed "s#^file4.bin #$bad #" "$manifest" >"$work/src/m-name.txt"
  expect_error "would be refused by the installer" "$tool" pack "$work/src/m-name.txt" "$work/x.pkg"
done
# An empty last file makes the installer refuse the whole package (-1); empty earlier ones are fine.
: >"$work/src/empty"
sed 's/| f17$/| empty/' "$manifest" >"$work/src/m-empty17.txt"
expect_error "entry 17 .* is empty" "$tool" pack "$work/src/m-empty17.txt" "$work/x.pkg"
sed 's/| f5$/| empty/' "$manifest" >"$work/src/m-empty5.txt"
"$tool" pack "$work/src/m-empty5.txt" "$work/e5.pkg" || fail "pack with an empty fifth file"
"$tool" verify "$work/e5.pkg" | grep -qx "result: 0" || fail "verify with an empty fifth file"
[ ! -e "$work/x.pkg" ] || fail "a refused pack left an output file"
truncate -s 2G "$work/src/huge"
sed 's/| f7$/| huge/' "$manifest" >"$work/src/m-huge.txt"
expect_error "2 GB or larger" "$tool" pack "$work/src/m-huge.txt" "$work/x.pkg"
rm -f "$work/src/huge"
expect_error "No such file or directory" "$tool" pack "$manifest" "$work/no/such/folder/x.pkg"
head -c 5000 "$work/a.pkg" >"$work/short.pkg"
expect_error "truncated" "$tool" list "$work/short.pkg"
head -c 2720 "$work/a.pkg" >"$work/dir-only.pkg"
expect_error "truncated or not a package" "$tool" verify "$work/dir-only.pkg"
head -c 9000 /dev/urandom >"$work/random.bin"
expect_error "not a package" "$tool" list "$work/random.bin"
expect_error "No such file" "$tool" list "$work/absent.pkg"
touch "$work/blocker"
expect_error "blocker" "$tool" unpack "$work/a.pkg" "$work/blocker"
if "$tool" frobnicate >/dev/null 2>&1; then fail "unknown command accepted"; fi

echo "$failures failures"
[ "$failures" -eq 0 ]
