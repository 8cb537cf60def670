#!/usr/bin/env bash
# Runs a test command with its output going to a file, replayed when the command ends. Wine's
# background services inherit the output of whichever process starts them; started by a test that
# writes into CTest's pipe, they would hold the pipe open and CTest would wait for ever.
log=$(mktemp)
"$@" >"$log" 2>&1
rc=$?
cat "$log"
rm -f "$log"
exit $rc
