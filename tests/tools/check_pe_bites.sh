#!/usr/bin/env bash
# Proves that check_pe.py refuses what it must: a console program, and a GUI program whose import
# table names a DLL that is not a system DLL.
set -u
python=$1 checker=$2 console=$3 gui=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if "$python" "$checker" "$console" >"$work/out" 2>&1; then
  echo "FAIL: a console program passed"; exit 1
fi
grep -q "subsystem 3 is not the Windows GUI" "$work/out" || { cat "$work/out"; echo "FAIL: wrong reason"; exit 1; }

# Rename KERNEL32.dll in the import table's name strings (same length keeps the file valid).
"$python" - "$gui" "$work/foreign.exe" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
assert b"KERNEL32.dll" in data
open(sys.argv[2], "wb").write(data.replace(b"KERNEL32.dll", b"KERNELXX.dll"))
PY
if "$python" "$checker" "$work/foreign.exe" >"$work/out" 2>&1; then
  echo "FAIL: a program importing KERNELXX.dll passed"; exit 1
fi
grep -q "imports kernelxx.dll, which is not a system DLL" "$work/out" || { cat "$work/out"; echo "FAIL: wrong reason"; exit 1; }
echo "console program and foreign import both refused"
