#!/usr/bin/env bash
# At start the installer posts WM_DESTROY to every top-level window titled exactly "TavrinSolo":
# a running sample application ends, while windows titled "tavrinsolo", "TavrinSolo " and
# "TavrinSol" are left alone.
# Usage: app_close_running.sh TavrinSoloSetup.exe TavrinSolo.exe app_titled_window.exe
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/app_lib.sh"
sample=${2:?sample application}
titled=${3:?titled window program}

ensure_removed
start_program "$sample"
app=$last_pid
wait_window TavrinSolo >/dev/null || fail "the sample application's window did not appear"
decoys=()
for t in "tavrinsolo" "TavrinSolo " "TavrinSol"; do
  start_program "$titled" "$t"
  decoys+=("$last_pid")
  wait_window "$t" >/dev/null || fail "no window titled '$t' appeared"
done
run_installer -h -u
[ "$exit_code" = 0 ] || fail "-h -u with nothing installed exited with $exit_code"
wait_gone "$app" 10 || fail "the sample application titled TavrinSolo is still running"
[ "$exit_code" = 0 ] || fail "the sample application exited with $exit_code"
sleep 0.5
for i in 0 1 2; do
  kill -0 "${decoys[$i]}" 2>/dev/null || fail "decoy window $i was closed"
done
for t in "tavrinsolo" "TavrinSolo " "TavrinSol"; do
  wait_window "$t" 1 >/dev/null || fail "the window titled '$t' has gone"
done
echo "TavrinSolo closed; tavrinsolo, 'TavrinSolo ' and TavrinSol left alone"
