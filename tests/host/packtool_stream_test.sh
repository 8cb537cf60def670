#!/usr/bin/env bash
# packtool at payload sizes far above its memory: pack, list, verify and unpack a 100 MB payload,
# each within 64 MB of peak memory (GNU time's maximum resident size); and on a damaged package
# verify and unpack report entry by entry alike, and unpack leaves no file of a damaged entry.
# Usage: packtool_stream_test.sh PACKTOOL
set -u
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
limit_kb=$((64 * 1024))

mkdir -p "$work/src"
: >"$work/src/manifest.txt"
for i in $(seq 1 17); do
  case $i in 1) name=TavrinSolo.exe ;; 2) name=readme.txt ;; *) name="Sub\\file$i.bin" ;; esac
  head -c $((6 * 1024 * 1024 + i * 4099)) /dev/urandom >"$work/src/f$i"
  echo "$name|f$i" >>"$work/src/manifest.txt"
done

# peak COMMAND...: runs COMMAND (stdout to $work/out), prints its peak resident size in KB.
peak() {
  /usr/bin/time -f %M -o "$work/time" "$@" >"$work/out" 2>"$work/err"
  echo "$? $(tail -n 1 "$work/time")"
}

read -r status kb <<<"$(peak "$tool" pack "$work/src/manifest.txt" "$work/a.pkg")"
[ "$status" -eq 0 ] || fail "pack: $(cat "$work/err")"
[ "$kb" -le $limit_kb ] || fail "pack peak ${kb} KB"
read -r status kb <<<"$(peak "$tool" list "$work/a.pkg")"
[ "$status" -eq 0 ] || fail "list: $(cat "$work/err")"
[ "$kb" -le $limit_kb ] || fail "list peak ${kb} KB"
read -r status kb <<<"$(peak "$tool" verify "$work/a.pkg")"
[ "$status" -eq 0 ] && grep -qx "result: 0" "$work/out" || fail "verify: $(cat "$work/out")"
[ "$kb" -le $limit_kb ] || fail "verify peak ${kb} KB"
read -r status kb <<<"$(peak "$tool" unpack "$work/a.pkg" "$work/tree")"
[ "$status" -eq 0 ] && grep -qx "result: 0" "$work/out" || fail "unpack: $(cat "$work/out" "$work/err")"
[ "$kb" -le $limit_kb ] || fail "unpack peak ${kb} KB"
for i in $(seq 1 17); do
  case $i in 1) name=TavrinSolo.exe ;; 2) name=readme.txt ;; *) name="Sub/file$i.bin" ;; esac
  cmp -s "$work/src/f$i" "$work/tree/$name" || fail "unpacked $name differs from its source"
done
rm -rf "$work/tree"
# Entry 5 renamed SUB\FILE4.BIN, entry 17 SUB\FILE3.BIN and damaged, entry 4's plain digest
# damaged: one file each, spelled by the entries placed (the folder by entry 3, FILE4.BIN by
# entry 5: a failed entry lends no spelling); entry 5's bytes, entry 3's (entry 17 fails).
cp "$work/a.pkg" "$work/case.pkg"
printf 'SUB\\FILE4.BIN' | dd of="$work/case.pkg" bs=1 seek=$((160 * 4)) conv=notrunc status=none
printf '\x00\x00' | dd of="$work/case.pkg" bs=1 seek=$((160 * 3 + 136)) conv=notrunc status=none
printf 'SUB\\FILE3.BIN\0' | dd of="$work/case.pkg" bs=1 seek=$((160 * 16)) conv=notrunc status=none
at=$(($(od -An -tu4 -j $((160 * 16 + 128)) -N4 "$work/a.pkg") + 7))
printf "\\x$(printf %02x $(($(od -An -tu1 -j $at -N1 "$work/a.pkg") ^ 255)))" |
  dd of="$work/case.pkg" bs=1 seek=$at conv=notrunc status=none
"$tool" unpack "$work/case.pkg" "$work/tree" | grep -q "^entry 17 .*digest mismatch" ||
  fail "unpack of names differing in case: entry 17 not refused"
cmp -s "$work/src/f5" "$work/tree/Sub/FILE4.BIN" && cmp -s "$work/src/f3" "$work/tree/Sub/file3.bin" &&
  [ "$(ls "$work/tree/Sub" | wc -l)" -eq 13 ] || fail "names differing in case: $(ls "$work/tree/Sub")"
rm -rf "$work/tree"

# Progress: not on a file (above, stderr held nothing); on a terminal one line updated in place,
# bytes done of the total and the entry; none with --quiet.
[ -s "$work/err" ] && fail "output on a standard error that is not a terminal: $(cat "$work/err")"
if command -v script >/dev/null; then
  script -qec "'$tool' verify '$work/a.pkg' 2>&1 >/dev/null" /dev/null >"$work/tty"
  grep -q "verifying: [0-9]* of 102 MB (.*%) Sub.file" "$work/tty" || fail "no progress: $(cat "$work/tty")"
  [ "$(tr -cd '\n' <"$work/tty" | wc -c)" -eq 1 ] || fail "progress not on one line"
  script -qec "'$tool' --quiet verify '$work/a.pkg' 2>&1 >/dev/null" /dev/null >"$work/tty"
  [ -s "$work/tty" ] && fail "progress with --quiet: $(cat "$work/tty")"
  script -qec "'$tool' unpack '$work/a.pkg' '$work/tree' 2>&1 >/dev/null" /dev/null >"$work/tty"
  grep -q "unpacking: [0-9]* of 102 MB (.*%) Sub.file" "$work/tty" || fail "no progress: $(cat "$work/tty")"
  [ "$(tr -cd '\n' <"$work/tty" | wc -c)" -eq 1 ] || fail "unpack progress not on one line"
  rm -rf "$work/tree"
fi

# Damage: a stored byte of entry 3 (its file and every later seed's chain), a name the installer
# refuses in entry 9, and entry 12 running past the end (skipped, not chained).
cp "$work/a.pkg" "$work/bad.pkg"
off=$(od -An -tu4 -j $((160 * 2 + 128)) -N4 "$work/a.pkg" | tr -d ' ')
printf '\x5a' | dd of="$work/bad.pkg" bs=1 seek=$((off + 7)) conv=notrunc status=none
printf '..\\x' | dd of="$work/bad.pkg" bs=1 seek=$((160 * 8)) conv=notrunc status=none
printf '\xff\xff\xff\x7f' | dd of="$work/bad.pkg" bs=1 seek=$((160 * 11 + 132)) conv=notrunc \
  status=none
"$tool" verify "$work/bad.pkg" >"$work/verify" && fail "verify passed a damaged package"
"$tool" unpack "$work/bad.pkg" "$work/out-bad" >"$work/unpack"
grep -q "^entry 3 .*digest mismatch" "$work/verify" || fail "verify: $(cat "$work/verify")"
grep -q "^entry 9 .*name refused" "$work/verify" || fail "verify: $(cat "$work/verify")"
grep -q "^entry 12 .*beyond the package" "$work/verify" || fail "verify: $(cat "$work/verify")"
diff "$work/verify" "$work/unpack" >"$work/diff" || fail "verify and unpack differ: $(cat "$work/diff")"
# Entry 3, larger than a block of reading, is damaged in its first block: no file of it at all;
# the entries before it are whole.
[ ! -e "$work/out-bad/Sub/file3.bin" ] || fail "unpack left a file of the damaged entry 3"
cmp -s "$work/src/f2" "$work/out-bad/readme.txt" || fail "unpack of a damaged package: readme.txt"

# verify reads each entry twice: a byte of entry 3 that reads otherwise the second time (a
# preloaded pread flips it) stops the run with one line, without a verdict.
cat >"$work/flip.c" <<'EOF2'
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/types.h>
static int seen;
static ssize_t flip(void* b, ssize_t n, off_t off) {
  long long x = atoll(getenv("FLIP_AT"));
  if (x >= off && x < off + n && ++seen == 2) ((unsigned char*)b)[x - off] ^= 1;
  return n;
}
typedef ssize_t (*Pread)(int, void*, size_t, off_t);
#define REAL(name) ((Pread)dlsym(RTLD_NEXT, name))
ssize_t pread(int f, void* b, size_t n, off_t o) { return flip(b, REAL("pread")(f, b, n, o), o); }
ssize_t pread64(int f, void* b, size_t n, off_t o) { return flip(b, REAL("pread64")(f, b, n, o), o); }
EOF2
${CC:-cc} -shared -fPIC -o "$work/flip.so" "$work/flip.c" -ldl || fail "cannot build the flip library"
FLIP_AT=$((off + 7)) LD_PRELOAD=$work/flip.so "$tool" verify "$work/a.pkg" >"$work/out" 2>"$work/err" &&
  fail "verify passed a package that changed while it was read"
grep -qx "packtool: $work/a.pkg: changed while it was read (entry 3 differs from its first reading)" \
  "$work/err" && ! grep -q result "$work/out" || fail "changed package: $(cat "$work/out" "$work/err")"

# A package cut short: one line, not a crash or a huge allocation.
head -c 100000 "$work/a.pkg" >"$work/short.pkg"
"$tool" verify "$work/short.pkg" >"$work/out" 2>&1
grep -q "result: -1" "$work/out" || fail "verify of a cut package: $(tail -n 3 "$work/out")"

[ $failures -eq 0 ] && echo "packtool_stream_test: all passed"
exit $((failures > 0))
