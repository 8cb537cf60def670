#!/usr/bin/env bash
# Unattended runs: -h -i installs with exit code 0 and never shows a window or a box; -h -u
# removes when installed and does nothing (0) when not; a damaged package entry is refused with -1
# and nothing written; -h -i removes when installed; a failing procedure's code is the exit code,
# still without a box.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/app_lib.sh"

# Every installer window or box that becomes visible during the runs is written to $seen.
seen="$work/seen.txt"
: >"$seen"
( while :; do
    xdotool search --onlyvisible --name "$installer_names" getwindowname %@ 2>/dev/null
    sleep 0.05
  done ) >>"$seen" &
watcher=$!
gui_pids+=("$watcher")
no_window_shown() {
  [ ! -s "$seen" ] || fail "$1 showed a window: $(sort -u "$seen" | head -n3)"
}

ensure_removed
run_installer -h -i
[ "$exit_code" = 0 ] || fail "-h -i exited with $exit_code"
installed || fail "-h -i did not install"
record_present || fail "-h -i wrote no uninstall record"
no_window_shown "-h -i"

run_installer -h -u
[ "$exit_code" = 0 ] || fail "-h -u when installed exited with $exit_code"
installed && fail "-h -u left the application installed"
record_present && fail "-h -u left the uninstall record"
no_window_shown "-h -u"

before=$(find "$program_files" | sort)
run_installer -h -u
[ "$exit_code" = 0 ] || fail "-h -u when not installed exited with $exit_code"
[ "$(find "$program_files" | sort)" = "$before" ] || fail "-h -u when not installed changed Program Files"
no_window_shown "-h -u (nothing installed)"

# A copy whose resource table gives the package a size that wraps round 2^32, data past the
# image's end, or an address below its base: the package is refused before its directory is
# read (-1, 255), and nothing is written in the prefix's drive C, beside the copy, or the registry.
for damage in wrap beyond below; do
  mkdir -p "$work/$damage"
  /usr/bin/python3 "$here/../win/package_resource_view.py" --damage "$damage" "$installer" \
    "$work/$damage/TavrinSoloSetup.exe" || fail "could not damage a copy ($damage)"
  touch "$work/$damage/stamp"
  wine "$work/$damage/TavrinSoloSetup.exe" -h -i >/dev/null 2>>"$work/stderr" </dev/null
  exit_code=$?
  [ "$exit_code" = 255 ] || fail "a package entry damaged ($damage) gave $exit_code, not -1 (255)"
  # (Temp folders left out: tests running beside this one write there.)
  written=$(find "$WINEPREFIX/drive_c" "$work/$damage" -iname temp -prune -o \
    -newer "$work/$damage/stamp" -print | head -n3)
  [ -z "$written" ] || fail "a package entry damaged ($damage) still wrote: $written"
  record_present && fail "a package entry damaged ($damage) wrote the uninstall record"
done
no_window_shown "-h -i with a damaged package entry"

ensure_installed
run_installer -h -i
[ "$exit_code" = 0 ] || fail "-h -i when installed exited with $exit_code"
installed && fail "-h -i when installed did not remove the application"
no_window_shown "-h -i (installed)"

# A target folder that cannot be made (a file stands in its way): the install fails with -3, the
# shell sees 253, and no box appears.
mkdir -p "$(dirname "$target")"
rm -rf "$target"
: >"$target"
run_installer -h -i
rm -f "$target"
[ "$exit_code" = 253 ] || fail "-h -i onto a blocked target folder exited with $exit_code, not -3 (253)"
no_window_shown "a failing -h -i"
hidden_failure=$exit_code
kill "$watcher" 2>/dev/null

# The same failure with -i alone: the failure box waits for its answer, and the exit code is still
# the procedure's result, not 0.
: >"$target"
start_program "$installer" -i
pid=$last_pid
box=$(wait_window 'Tavrin-Solo Installation Error' 20) || fail "-i without -h showed no failure box"
sleep 1
kill -0 "$pid" 2>/dev/null || fail "the installer ended while its failure box was up"
xdotool mousemove --window "$box" 5 5 click 1
sleep 0.2
xdotool key Return
wait_gone "$pid" 20 || fail "the installer did not end after its failure box"
rm -f "$target"
[ "$exit_code" = "$hidden_failure" ] ||
  fail "-i without -h exited with $exit_code after a failure, -h -i with $hidden_failure"
echo "unattended install, removal, nothing to do, damaged package entries, removal by -i, failure codes with and without -h"
