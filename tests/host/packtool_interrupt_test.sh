#!/usr/bin/env bash
# packtool leaves nothing half-written: a pack and a build stopped by SIGTERM part-way, and a pack
# onto a full small file system, leave no OUTPUT and no OUTPUT.packtool-part, and say so in one
# line with a failing exit status; an unpack stopped while it writes a file, or onto a full file
# system, leaves only whole files.
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

# stop_part_way OUTPUT COMMAND...: starts COMMAND, sends SIGTERM once OUTPUT.packtool-part
# appears, and checks what is left.
stop_part_way() {
  local out=$1
  shift
  "$@" 2>"$work/stderr" &
  local pid=$! waited=0
  while [ ! -e "$out.packtool-part" ] && [ $waited -lt 3000 ] && kill -0 $pid 2>/dev/null; do
    sleep 0.01
    waited=$((waited + 1))
  done
  [ -e "$out.packtool-part" ] || fail "no part file appeared: $*"
  kill -TERM $pid
  wait $pid
  local status=$?
  [ $status -eq 143 ] || fail "exit status $status after SIGTERM, expected 143: $*"
  [ ! -e "$out" ] || fail "OUTPUT left after SIGTERM: $*"
  [ ! -e "$out.packtool-part" ] || fail "part file left after SIGTERM: $*"
  [ "$(wc -l <"$work/stderr")" -eq 1 ] || fail "not one line: $(cat "$work/stderr")"
  grep -q "stopped; removed $out.packtool-part" "$work/stderr" ||
    fail "no stop line: $(cat "$work/stderr")"
}

make_payload "$work/big" 24M
stop_part_way "$work/big.pkg" "$tool" pack "$work/big/manifest.txt" "$work/big.pkg"
if [ -n "$installer" ]; then
  stop_part_way "$work/big.exe" "$tool" build "$installer" "$work/big/manifest.txt" "$work/big.exe"
fi

# unpack stopped by SIGTERM while it writes its 160 MB last file: that file goes, the others stay.
make_payload "$work/unp" 4K
truncate -s 160M "$work/unp/f17"
"$tool" pack "$work/unp/manifest.txt" "$work/unp.pkg" || fail "pack for unpack"
"$tool" unpack "$work/unp.pkg" "$work/tree" >/dev/null 2>"$work/stderr" &
pid=$! waited=0
while [ ! -e "$work/tree/file17.bin" ] && [ $waited -lt 3000 ] && kill -0 $pid 2>/dev/null; do
  sleep 0.01
  waited=$((waited + 1))
done
kill -TERM $pid
wait $pid
status=$?
[ $status -eq 143 ] || fail "unpack: exit status $status after SIGTERM, expected 143"
[ ! -e "$work/tree/file17.bin" ] || fail "unpack left a part of file17.bin"
[ "$(cat "$work/stderr")" = "packtool: stopped; removed $work/tree/file17.bin" ] ||
  fail "unpack: not the stop line: $(cat "$work/stderr")"
cmp -s "$work/unp/f16" "$work/tree/file16.bin" || fail "unpack stopped: file16.bin not whole"
rm -rf "$work/tree" "$work/unp.pkg"

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
  for f in "$full"/tree/*; do
    cmp -s "$f" "$work/small/f1" || fail "unpack left $(basename "$f") with $(stat -c %s "$f") bytes"
  done
else
  echo "SKIP: full disk (cannot mount a tmpfs; not root?)"
fi

[ $failures -eq 0 ] && echo "packtool_interrupt_test: all passed"
exit $((failures > 0))
