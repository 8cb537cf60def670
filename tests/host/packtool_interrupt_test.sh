#!/usr/bin/env bash
# packtool leaves nothing half-written: a pack and a build stopped by SIGTERM part-way, and a pack
# onto a full small file system, leave no OUTPUT and no OUTPUT.packtool-part, and say so in one
# line with a failing exit status.
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
else
  echo "SKIP: full disk (cannot mount a tmpfs; not root?)"
fi

[ $failures -eq 0 ] && echo "packtool_interrupt_test: all passed"
exit $((failures > 0))
