#!/usr/bin/env bash
# packtool end to end on the host: pack, list, verify and unpack a made-up payload, checked with
# md5sum, cmp and od; and every refusal ends with one clear line and a non-zero exit: hostile
# manifests (bad names, each refusal naming its rule; long lines, NUL bytes, 200 MB), sources
# that are FIFOs, and links planted where packtool writes.
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

# Usage: each command's on stdout with exit 0; an unknown command or a wrong count on stderr, 2.
while IFS='|' read -r rc args pattern; do
  "$tool" $args >"$work/out.0" 2>"$work/out.2"
  got=$?
  [ $got = "$rc" ] && grep -q -- "$pattern" "$work/out.$rc" ||
    fail "packtool $args: exit $got: $(cat "$work/out.0" "$work/out.2" | head -n 3)"
done <<'EOF2'
0|pack --help|^usage: packtool pack MANIFEST OUTPUT$
0|build -h|^usage: packtool build INSTALLER MANIFEST OUTPUT$
0|list --help|^usage: packtool list FILE$
0|verify --help|^  -101..-117  1 to 17 entries failed
0|unpack x --help|^usage: packtool unpack FILE FOLDER$
0|--help|^  packtool COMMAND --help
2|frob|^packtool: unknown command 'frob'; the commands are pack, build, list, verify and unpack
2|list a b|^packtool: list takes 1 argument, not 2$
EOF2
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

(umask 002 && "$tool" unpack "$work/a.pkg" "$work/out" >/dev/null) || fail "unpack"
for i in $(seq 1 17); do  # the files 0644 whatever the umask leaves of it
  dest="$work/out/$(entry_name "$i" | tr '\\' /)"
  cmp -s "$work/src/f$i" "$dest" && [ "$(stat -c %a "$dest")" = 644 ] || fail "unpacked file $i"
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
expect_error "m-missing.txt:4: .*missing-file: No such file" "$tool" pack "$work/src/m-missing.txt" "$work/x.pkg"
# Each bad name is refused with the rule it breaks.
while IFS='=' read -r bad rule; do
  sed "s#^file4.bin #$bad #" "$manifest" >"$work/src/m-name.txt"
  expect_error "refused by the installer: $rule" "$tool" pack "$work/src/m-name.txt" "$work/x.pkg"
done <<'EOF2'
..\\up.bin=no "." or ".." part
C:\\x.bin=no drive letter or colon
a/b.bin=folders are separated by backslashes, not forward slashes
Docs/tips.txt=folders are separated by backslashes, not forward slashes
CON=a device name
nul.txt=a device name
COM\xb2.txt=a device name
x.=no part may end in a dot or a space
\\root.bin=no leading, trailing or doubled backslash
a<b=no control character
EOF2
sed "s#^file4.bin #$(printf 'n%.0s' $(seq 1 128)) #" "$manifest" >"$work/src/m-name.txt"
expect_error "refused by the installer: at most 127 characters" "$tool" pack "$work/src/m-name.txt" "$work/x.pkg"
sed "s#^file4.bin #Docs\\\\\xc3\x9cber tips.txt #" "$manifest" >"$work/src/m-utf8.txt"
expect_error 'name "Docs\\\\xc3\\x9cber tips.txt" has a byte outside printable ASCII: names must be ASCII because the installer reads them in the target machine.s code page' \
  "$tool" pack "$work/src/m-utf8.txt" "$work/x.pkg"
# Names that differ only in case, either one in capitals, the first and the last entry included.
while IFS='|' read -r n name pattern; do
  sed "${n}s/^[^ ]*/$name/" "$manifest" >"$work/src/m-twice.txt"
  expect_error "$pattern (names are compared ignoring case)\$" "$tool" pack "$work/src/m-twice.txt" "$work/x.pkg"
done <<'EOF2'
4|FILE4.BIN|:5: entry name "file4.bin" twice: line 4 has "FILE4.BIN"
6|File4.Bin|:6: entry name "File4.Bin" twice: line 5 has "file4.bin"
18|tavrinSOLO.EXE|:18: entry name "tavrinSOLO.EXE" twice: line 2 has "TavrinSolo.exe"
EOF2
# Comments are whole lines after any blanks, the first and the last line included; '#' inside a
# source name stays possible; '#' starting a source or after any blank (a comment after an entry)
# is refused, on the first and the last entry line alike.
cp "$work/src/f3" "$work/src/f#3"
{ printf ' \t\v\f# first\r\n'; sed 's/| f3$/| f#3/; s/$/\r/' "$manifest"; printf '\t# last'; } >"$work/src/m-hash.txt"
"$tool" pack "$work/src/m-hash.txt" "$work/hash.pkg" && cmp -s "$work/a.pkg" "$work/hash.pkg" ||
  fail "comment lines after blanks, CRLF lines, or a source named f#3"
while read -r edit; do
  sed "$edit" "$manifest" >"$work/src/m-after.txt"
  expect_error "m-after.txt:${edit%%s*}: a comment after an entry: '#' starts a comment only at the start of a line" \
    "$tool" pack "$work/src/m-after.txt" "$work/x.pkg"
done <<'EOF2'
2s/$/ # the program/
4s/$/\t# the third/
4s/| f3$/| #f3/
4s/$/\r# the third/
18s/$/\v#/
18s/$/\f#/
EOF2
# The program and the readme the installer's check and links rely on.
sed 's#^TavrinSolo.exe #Program.exe #' "$manifest" >"$work/src/m-noprogram.txt"
expect_error "no top-level TavrinSolo.exe: the installer's check for an installed copy" \
  "$tool" pack "$work/src/m-noprogram.txt" "$work/x.pkg"
sed 's#^readme.txt #Sub\\readme.txt #' "$manifest" >"$work/src/m-noreadme.txt"
expect_error "no top-level readme.txt: the installer's readme link" \
  "$tool" pack "$work/src/m-noreadme.txt" "$work/x.pkg"
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
expect_error "truncated" "$tool" list "$work/random.bin"
expect_error "No such file" "$tool" list "$work/absent.pkg"
touch "$work/blocker"
expect_error "blocker" "$tool" unpack "$work/a.pkg" "$work/blocker"

# The manifest as text: a byte-order mark is skipped; NUL bytes (UTF-16) and over-long lines are
# refused with their line; an 18th entry ends the reading.
{ printf '\xef\xbb\xbf'; cat "$manifest"; } >"$work/src/m-bom.txt"
"$tool" pack "$work/src/m-bom.txt" "$work/bom.pkg" || fail "pack with a byte-order mark"
"$tool" list "$work/bom.pkg" | grep -q "  TavrinSolo.exe\$" || fail "the byte-order mark became part of a name"
rm -f "$work/bom.pkg"
for bom in '\xef\xbb\xbf\xef\xbb\xbf' '\n\xef\xbb\xbf'; do  # only at the start: a second one, or one on line 2, is text
  { printf "$bom"; cat "$manifest"; } >"$work/src/m-bom2.txt"
  expect_error "m-bom2.txt:[12]: expected 'entry name | source file'" "$tool" pack "$work/src/m-bom2.txt" "$work/x.pkg"
done
iconv -f UTF-8 -t UTF-16 "$manifest" >"$work/src/m-utf16.txt"
expect_error "m-utf16.txt:1: a NUL byte; a manifest is ASCII or UTF-8 text" \
  "$tool" pack "$work/src/m-utf16.txt" "$work/x.pkg"
# The entry line of file4.bin padded to 8,192 bytes is read, ended by LF or CRLF; to 8,193, refused.
for n in 8192 8193; do
  line="file4.bin |$(printf '%*s' $((n - 13)) '')f4"
  awk -v l="$line" 'NR == 5 { print l; next } { print }' "$manifest" >"$work/src/m-$n.txt"
  sed 's/$/\r/' "$work/src/m-$n.txt" >"$work/src/m-$n-crlf.txt"
done
for m in m-8192 m-8192-crlf; do
  "$tool" pack "$work/src/$m.txt" "$work/x.pkg" && rm "$work/x.pkg" || fail "an entry line of 8192 bytes ($m)"
  expect_error "${m/2/3}.txt:5: line longer than 8192 bytes$" "$tool" pack "$work/src/${m/2/3}.txt" "$work/x.pkg"
done
{ cat "$manifest"; echo "extra.bin | f1"; } >"$work/src/m-18.txt"
expect_error "m-18.txt:19: an 18th entry; a package holds exactly 17" "$tool" pack "$work/src/m-18.txt" "$work/x.pkg"
# 200 MB: the entries, then comment lines, then an 18th entry; 200 MB of entries; one line of
# 200 MB. Each is refused within 64 MB of memory (the reader keeps a line and 17 entries).
{ cat "$manifest"; yes '# a comment line that repeats' | head -c 200M; echo; echo "extra.bin | f1"; } \
  >"$work/src/m-200m.txt"
yes 'x.bin | f1' | head -c 200M >"$work/src/m-200e.txt"
head -c 200M /dev/zero | tr '\0' x >"$work/src/m-line.txt"
for big in m-200m.txt:"an 18th entry" m-200e.txt:"m-200e.txt:18: an 18th entry" \
           m-line.txt:"line longer than"; do
  /usr/bin/time -f %M -o "$work/rss" "$tool" pack "$work/src/${big%%:*}" "$work/x.pkg" >/dev/null 2>"$work/stderr"
  grep -q "${big#*:}" "$work/stderr" || fail "${big%%:*}: $(cat "$work/stderr")"
  [ "$(tail -n1 "$work/rss")" -le 65536 ] || fail "${big%%:*}: $(tail -n1 "$work/rss") KB of memory"
done
rm -f "$work/src/m-200m.txt" "$work/src/m-200e.txt" "$work/src/m-line.txt"

# Sources and manifests are opened without waiting: a FIFO is refused within seconds.
mkfifo "$work/src/fifo"
sed 's/| f6$/| fifo/' "$manifest" >"$work/src/m-fifo.txt"
expect_error "m-fifo.txt:7: .*fifo: not a regular file" timeout 10 "$tool" pack "$work/src/m-fifo.txt" "$work/x.pkg"
expect_error "fifo: not a regular file" timeout 10 "$tool" pack "$work/src/fifo" "$work/x.pkg"
expect_error "fifo: not a regular file" timeout 10 "$tool" list "$work/src/fifo"
[ ! -e "$work/x.pkg" ] || fail "a refused pack left an output file"

# Links planted where packtool writes are never followed: the part file (to another file, and to
# an existing output), unpack's folder and the paths inside it.
echo "keep me" >"$work/victim"
ln -s "$work/victim" "$work/x.pkg.packtool-part"
expect_error "x.pkg.packtool-part: already exists" "$tool" pack "$manifest" "$work/x.pkg"
[ "$(cat "$work/victim")" = "keep me" ] || fail "pack wrote through a planted part-file link"
[ ! -e "$work/x.pkg" ] && [ -L "$work/x.pkg.packtool-part" ] || fail "pack moved the planted link"
rm "$work/x.pkg.packtool-part"
ln -s "$work/a.pkg" "$work/b.pkg.packtool-part"
cp "$work/a.pkg" "$work/a-copy.pkg"
expect_error "already exists" "$tool" pack "$work/src/m-empty5.txt" "$work/b.pkg"
cmp -s "$work/a.pkg" "$work/a-copy.pkg" || fail "pack wrote through a part-file link to a package"
rm "$work/b.pkg.packtool-part"
mkdir "$work/planted"
ln -s "$work/victim" "$work/planted/TavrinSolo.exe"
expect_error "planted: not empty" "$tool" unpack "$work/a.pkg" "$work/planted"
ln -s "$work/victim" "$work/planted2"
rm "$work/planted/TavrinSolo.exe"
ln -s "$work/victim" "$work/planted/.packtool-probe"
expect_error "planted: not empty" "$tool" unpack "$work/a.pkg" "$work/planted"
mkdir "$work/elsewhere"
ln -s "$work/elsewhere" "$work/linked-folder"
expect_error "linked-folder: not a folder (or a link)" "$tool" unpack "$work/a.pkg" "$work/linked-folder"
[ -z "$(ls -A "$work/elsewhere")" ] || fail "unpack wrote through a linked folder"
[ "$(cat "$work/victim")" = "keep me" ] || fail "unpack wrote through a planted link"
mkdir "$work/empty-folder"
"$tool" unpack "$work/a.pkg" "$work/empty-folder" >/dev/null || fail "unpack into an empty folder"
cmp -s "$work/src/f1" "$work/empty-folder/TavrinSolo.exe" || fail "unpack into an empty folder: file 1"

echo "$failures failures"
[ "$failures" -eq 0 ]
