#!/usr/bin/env bash
# packtool leaves nothing half-written: a pack and a build stopped by SIGTERM the moment the part
# file appears, and a pack onto a full small file system, leave no OUTPUT and no
# OUTPUT.packtool-part, and say so in one line with a failing exit status; an unpack stopped the
# moment each part file is made or each file appears, from outside while a helper thread reads
# and writes the last entry, or onto a full file system, leaves only whole files and no part;
# nor does it write through a folder swapped for a link while it runs, or anything of a package
# whose entries share bytes and whose directory changed between its two readings.
# Usage: packtool_interrupt_test.sh PACKTOOL [INSTALLER]
set -u
tool=$1
installer=${2:-}
work=$(mktemp -d)
full=$work/full
cleanup() {
  mountpoint -q "$full" 2>/dev/null && umount "$full"
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# make_payload FOLDER BYTES: 17 sparse files of BYTES each (cheap to make, slow enough to pack)
# and FOLDER/manifest.txt naming them.
make_payload() {
  mkdir -p "$1"
  : >"$1/manifest.txt"
  for i in $(seq 1 17); do
    case $i in 1) name=TavrinSolo.exe ;; 2) name=readme.txt ;; *) name="file$i.bin" ;; esac
    truncate -s "$2" "$1/f$i"
    echo "$name|f$i" >>"$1/manifest.txt"
  done
}

# A library preloaded into packtool that raises SIGTERM right after its STOP_AT-th file creation
# (O_CREAT|O_EXCL) returns, the moment an output appears, before any byte is written; or right
# after its STOP_AT_RENAME-th rename, the moment an unpacked file appears (sent to the process:
# any thread that lets it in takes it). On threads other
# than the main one, each write waits DELAY_WRITES ms first (so the helper's parts come last),
# or the first one sends SIGTERM to the process and waits (STOP_AT_HELPER_WRITE).
cat >"$work/stop.c" <<'EOF2'
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
static int created, renamed, helperWrites;
ssize_t pwrite(int fd, const void* b, size_t n, off_t at) {
  ssize_t (*real)(int, const void*, size_t, off_t) = (ssize_t (*)(int, const void*, size_t, off_t))dlsym(RTLD_NEXT, "pwrite");
  if (syscall(SYS_gettid) != getpid()) {
    if (getenv("DELAY_WRITES")) usleep(atoi(getenv("DELAY_WRITES")) * 1000);
    if (getenv("STOP_AT_HELPER_WRITE") && __sync_fetch_and_add(&helperWrites, 1) == 0) {
      kill(getpid(), SIGTERM);
      usleep(500000);
    }
  }
  return real(fd, b, n, at);
}
ssize_t pread(int fd, void* b, size_t n, off_t at) {
  ssize_t (*real)(int, void*, size_t, off_t) = (ssize_t (*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread");
  ssize_t done = real(fd, b, n, at);
  if (done > 2720 && at == 0 && getenv("FLIP_WHOLE_READ")) ((char*)b)[0] ^= 1;  // a read of the whole package
  return done;
}
int rename(const char* p, const char* q) {
  int (*real)(const char*, const char*) = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "rename");
  int done = real(p, q);
  const char* at = getenv("STOP_AT_RENAME");
  if (done == 0 && at && ++renamed == atoi(at)) {
    kill(getpid(), SIGTERM);
    if (getenv("DELAY_WRITES")) usleep(200000);  // a thread that lets it in now sees this state
  }
  return done;
}
int mkdir(const char* p, mode_t mode) {
  int (*real)(const char*, mode_t) = (int (*)(const char*, mode_t))dlsym(RTLD_NEXT, "mkdir");
  int done = real(p, mode);
  if (done == 0 && getenv("SWAP_MKDIR") && strstr(p, "/tree/")) rmdir(p), symlink(getenv("SWAP_MKDIR"), p);
  return done;
}
static int after(int fd, int flags) {
  const char* at = getenv("STOP_AT");
  if (fd >= 0 && (flags & O_CREAT) && (flags & O_EXCL) && at && ++created == atoi(at)) raise(SIGTERM);
  return fd;
}
int open(const char* p, int flags, ...) {
  va_list a; va_start(a, flags); int mode = va_arg(a, int); va_end(a);
  int (*real)(const char*, int, ...) = (int (*)(const char*, int, ...))dlsym(RTLD_NEXT, "open");
  return after(real(p, flags, mode), flags);
}
int openat(int dir, const char* p, int flags, ...) {
  va_list a; va_start(a, flags); int mode = va_arg(a, int); va_end(a);
  int (*real)(int, const char*, int, ...) = (int (*)(int, const char*, int, ...))dlsym(RTLD_NEXT, "openat");
  return after(real(dir, p, flags, mode), flags);
}
EOF2
${CC:-cc} -shared -fPIC -o "$work/stop.so" "$work/stop.c" -ldl || fail "cannot build the stop library"

# stopped AT COMMAND...: runs COMMAND stopped at its AT-th creation; expects exit 143 and one line
# on stderr (in $work/stderr).
stopped() {
  local at=$1
  shift
  (STOP_AT=$at LD_PRELOAD=$work/stop.so ASAN_OPTIONS=verify_asan_link_order=0 "$@" >/dev/null \
    2>"$work/stderr"; exit $?) 2>/dev/null  # the shell's "Terminated" line to /dev/null
  local status=$?
  [ $status -eq 143 ] || fail "exit status $status when stopped at creation $at, expected 143: $*"
  [ "$(wc -l <"$work/stderr")" -eq 1 ] || fail "not one line: $(cat "$work/stderr")"
}

make_payload "$work/small" 4K
for command in pack build; do
  [ $command = build ] && [ -z "$installer" ] && continue
  out=$work/out.$command
  if [ $command = pack ]; then
    stopped 1 "$tool" pack "$work/small/manifest.txt" "$out"
  else
    stopped 1 "$tool" build "$installer" "$work/small/manifest.txt" "$out"
  fi
  [ ! -e "$out" ] && [ ! -e "$out.packtool-part" ] || fail "$command stopped: $(ls "$work")"
  [ "$(cat "$work/stderr")" = "packtool: stopped while writing $out.packtool-part; removed it; $out unchanged" ] ||
    fail "$command: not the stop line: $(cat "$work/stderr")"
done

# only_whole SRC WHAT [N]: each file in $work/tree has its source's bytes (SRC/fK, K its line
# in SRC/manifest.txt), no part file is left, and there are N files when N is given.
only_whole() {
  ! ls -A "$work/tree" | grep -q packtool-part || fail "$2: a part file left"
  for f in "$work"/tree/*; do
    [ ! -e "$f" ] || cmp -s "$1/f$(grep -n "^${f##*/}|" "$1/manifest.txt" | cut -d: -f1)" "$f" ||
      fail "$2: ${f##*/} not whole"
  done
  [ -z "${3:-}" ] || [ "$(ls "$work/tree" | wc -l)" -eq "$3" ] || fail "$2 left: $(ls "$work/tree")"
}

# A folder unpack makes, swapped for a link to another folder as soon as it is made (SWAP_MKDIR):
# neither the file nor a folder below goes in, the first thing meant for it is named, and nothing
# lands through the link.
mkdir "$work/elsewhere"
for swap in 'sub\\file3.bin|sub/file3.bin' 'sub\\deeper\\file3.bin|sub/deeper'; do
  sed "s/^file3.bin|/${swap%|*}|/" "$work/small/manifest.txt" >"$work/small/nested.txt"
  "$tool" pack "$work/small/nested.txt" "$work/nested.pkg" || fail "pack for the swapped folder"
  SWAP_MKDIR=$work/elsewhere LD_PRELOAD=$work/stop.so ASAN_OPTIONS=verify_asan_link_order=0 \
    "$tool" unpack "$work/nested.pkg" "$work/tree" >/dev/null 2>"$work/stderr" && fail "unpack through a swapped folder succeeded"
  grep -q "tree/${swap#*|}: not a folder made by this run" "$work/stderr" || fail "swapped folder: $(cat "$work/stderr")"
  [ -z "$(ls -A "$work/elsewhere")" ] || fail "unpack wrote through a folder swapped for a link: ${swap%|*}"
  rm -rf "$work/tree" "$work/nested.pkg" "$work/elsewhere"/*
done
rmdir "$work/elsewhere"

# unpack stopped as a part file is made: nothing is left. Stopped as each of its 17 files
# appears (renamed from its part file): the files before it and it stay whole, no part file.
"$tool" pack "$work/small/manifest.txt" "$work/small.pkg" || fail "pack for unpack"
for k in 1 9 17; do
  stopped "$k" "$tool" unpack "$work/small.pkg" "$work/tree"
  [ "$(cat "$work/stderr")" = "packtool: stopped while checking; 0 whole files written in $work/tree, nothing partial" ] ||
    fail "unpack stopped at part $k: not the stop line: $(cat "$work/stderr")"
  [ -z "$(ls -A "$work/tree")" ] || fail "unpack stopped at part $k left: $(ls -A "$work/tree")"
  rm -rf "$work/tree"
done
for k in $(seq 1 17); do
  STOP_AT_RENAME=$k stopped 0 "$tool" unpack "$work/small.pkg" "$work/tree"
  [ "$(cat "$work/stderr")" = "packtool: stopped while checking; $k whole file$([ $k = 1 ] || echo s) written in $work/tree, nothing partial" ] ||
    fail "unpack stopped at file $k: not the stop line: $(cat "$work/stderr")"
  only_whole "$work/small" "unpack stopped at file $k" $k
  rm -rf "$work/tree"
done

# Entries that share bytes (entry 2 moved onto entry 1) are read whole, in memory: a directory
# that differs there from its first reading (FLIP_WHOLE_READ) is a package changed while read.
python3 -c 'import sys; d = bytearray(open(sys.argv[1], "rb").read()); d[288:292] = d[128:132]
open(sys.argv[2], "wb").write(d)' "$work/small.pkg" "$work/shared.pkg"
for args in "verify $work/shared.pkg" "unpack $work/shared.pkg $work/tree"; do
  FLIP_WHOLE_READ=1 LD_PRELOAD=$work/stop.so ASAN_OPTIONS=verify_asan_link_order=0 "$tool" $args \
    >/dev/null 2>"$work/stderr" && fail "$args: a changed package went through"
  grep -qx "packtool: $work/shared.pkg: changed while it was read (its directory differs from its first reading)" \
    "$work/stderr" || fail "$args, changed: $(cat "$work/stderr")"
done
[ -z "$(ls -A "$work/tree")" ] || fail "unpack of a changed package left: $(ls -A "$work/tree")"
rm -rf "$work/tree" "$work/shared.pkg"

# Two threads (17 entries of 300 KB): the helper's parts written late, after the calling thread
# is done, still give whole files, placed in order; SIGTERM sent while the helper writes its
# first part, or at the first rename while the helper still works, leaves no part file and
# says what is left.
make_payload "$work/two" 300K
for i in $(seq 1 17); do head -c 300K /dev/urandom >"$work/two/f$i"; done
"$tool" pack "$work/two/manifest.txt" "$work/two.pkg" || fail "pack for unpack on two threads"
DELAY_WRITES=30 LD_PRELOAD=$work/stop.so ASAN_OPTIONS=verify_asan_link_order=0 \
  "$tool" unpack "$work/two.pkg" "$work/tree" >"$work/stdout" 2>&1 || fail "unpack, late parts: $(cat "$work/stdout")"
only_whole "$work/two" "unpack, late parts" 17
rm -rf "$work/tree"
for how in STOP_AT_HELPER_WRITE=1 "STOP_AT_RENAME=1 DELAY_WRITES=30"; do
  (env $how LD_PRELOAD=$work/stop.so ASAN_OPTIONS=verify_asan_link_order=0 \
    "$tool" unpack "$work/two.pkg" "$work/tree" >/dev/null 2>"$work/stderr"; exit $?) 2>/dev/null
  status=$?
  left=$(ls "$work/tree" | wc -l)
  [ $status -eq 143 ] || fail "unpack stopped ($how): exit status $status, expected 143"
  [ "$(cat "$work/stderr")" = "packtool: stopped while checking; $left whole file$([ "$left" = 1 ] || echo s) written in $work/tree, nothing partial" ] ||
    fail "unpack stopped ($how): not the stop line: $(cat "$work/stderr")"
  only_whole "$work/two" "unpack stopped ($how)"
  rm -rf "$work/tree"
done
rm -rf "$work/two" "$work/two.pkg"

# SIGTERM from outside while the helper thread unscrambles and writes the 160 MB last entry
# (the other 16 placed): it goes with its part file, and the line says what is left.
make_payload "$work/unp" 4K
truncate -s 160M "$work/unp/f17"
"$tool" pack "$work/unp/manifest.txt" "$work/unp.pkg" || fail "pack for unpack"
"$tool" unpack "$work/unp.pkg" "$work/tree" >/dev/null 2>"$work/stderr" &
pid=$! waited=0
while { [ "$(ls "$work/tree" 2>/dev/null | wc -l)" -lt 16 ] ||
        [ ! -s "$work/tree/.packtool-part-17" ]; } && [ $waited -lt 3000 ] && kill -0 $pid 2>/dev/null; do
  sleep 0.01
  waited=$((waited + 1))
done
kill -TERM $pid
wait $pid
status=$?
[ $status -eq 143 ] || fail "unpack: exit status $status after SIGTERM, expected 143"
[ "$(cat "$work/stderr")" = "packtool: stopped while checking; 16 whole files written in $work/tree, nothing partial" ] ||
  fail "unpack: not the stop line: $(cat "$work/stderr")"
only_whole "$work/unp" "unpack stopped" 16
rm -rf "$work/tree" "$work/unp.pkg" "$work/small" "$work/small.pkg"

# A full disk: a 2 MB file system and a 3.4 MB package.
mkdir -p "$full"
if mount -t tmpfs -o size=2m tmpfs "$full" 2>/dev/null; then
  make_payload "$work/small" 200K
  for command in pack build; do
    [ $command = build ] && [ -z "$installer" ] && continue
    out=$full/out.$command
    if [ $command = pack ]; then
      set -- "$tool" pack "$work/small/manifest.txt" "$out"
    else
      set -- "$tool" build "$installer" "$work/small/manifest.txt" "$out"
    fi
    if "$@" >/dev/null 2>"$work/stderr"; then fail "$command onto a full disk succeeded"; fi
    [ "$(wc -l <"$work/stderr")" -eq 1 ] || fail "not one line: $(cat "$work/stderr")"
    grep -q "$out: write error: No space left on device" "$work/stderr" ||
      fail "$command: no full-disk line: $(cat "$work/stderr")"
    [ -z "$(ls -A "$full")" ] || fail "$command left files on the full disk: $(ls -A "$full")"
  done
  # unpack onto it: each file that does not fit is removed; those left are whole.
  "$tool" pack "$work/small/manifest.txt" "$work/small.pkg" || fail "pack for unpack"
  if "$tool" unpack "$work/small.pkg" "$full/tree" >"$work/stdout" 2>"$work/stderr"; then
    fail "unpack onto a full disk succeeded"
  fi
  grep -q "cannot write the file" "$work/stdout" || fail "unpack: no entry failed: $(cat "$work/stdout")"
  grep -q "^result: -1[0-9][0-9]$" "$work/stdout" || fail "unpack: $(tail -n 1 "$work/stdout")"
  [ "$(wc -l <"$work/stderr")" -eq 1 ] || fail "not one line: $(cat "$work/stderr")"
  grep -q "$full/tree/file[0-9]*.bin: write error: No space left on device" "$work/stderr" ||
    fail "unpack: no full-disk line: $(cat "$work/stderr")"
  for f in "$full"/tree/* "$full"/tree/.packtool-part*; do
    [ -e "$f" ] || continue
    cmp -s "$f" "$work/small/f1" || fail "unpack left $(basename "$f") with $(stat -c %s "$f") bytes"
  done
else
  echo "SKIP: full disk (cannot mount a tmpfs; not root?)"
fi

[ $failures -eq 0 ] && echo "packtool_interrupt_test: all passed"
exit $((failures > 0))
