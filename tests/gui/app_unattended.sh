#!/usr/bin/env bash
# Unattended runs: -h -i installs with exit code 0 and never shows a window or a box; -h -u
# removes when installed and does nothing (0) when not, and ends with 0 past folders named with a
# trailing dot or space and past a package file held open with delete sharing; a damaged package
# entry is refused with -1 and nothing written; the installer saved as TavrinSolo.exe leaves
# itself as the uninstaller; the copy finishes a removal stopped part-way; -h -i removes when
# installed; a failing procedure's code is the exit code, still without a box.
#   app_unattended.sh TavrinSoloSetup.exe procedures_folder_tests.exe
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/app_lib.sh"
holder=${2:?usage: $0 TavrinSoloSetup.exe procedures_folder_tests.exe}

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

# A removal that loops must fail here, not hang: each of these runs has two minutes.
remove_within_limit() {
  timeout 120 wine "$installer" -h -u >/dev/null 2>>"$work/stderr" </dev/null
  exit_code=$?
  [ "$exit_code" != 124 ] || fail "-h -u $1 did not end within 120 s"
  [ "$exit_code" = 0 ] || fail "-h -u $1 exited with $exit_code"
}
programs_win=$(wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders' \
  /v Programs </dev/null 2>/dev/null | sed -n 's/^ *Programs *REG_SZ *//p' | tr -d '\r')
[ -n "$programs_win" ] || fail "no per-user Programs value in the prefix"
user_menu="$(winepath -u "$programs_win" 2>/dev/null)/Quorel/Tavrin-Solo"

# Folders whose names end in a dot or a space, each with a file, planted where the removal walks.
ensure_installed
[ -d "$user_menu" ] || fail "-h -i made no per-user menu folder at $user_menu"
for folder in "$user_menu" "$target"; do
  mkdir "$folder/foo." "$folder/bar "
  echo f >"$folder/foo./f.txt"
  echo b >"$folder/bar /b.txt"
done
remove_within_limit "past foo. and bar "
[ ! -e "$user_menu" ] || fail "-h -u left $(ls -A "$user_menu" | head -n3) in the per-user menu folder"
[ ! -e "$target" ] || fail "-h -u left $(ls -A "$target" | head -n3) in the target folder"

# A package file held open with delete sharing by another process: Wine's DeleteFileA reports it
# deleted while it stays. The removal ends with 0 and removes the rest of the package.
ensure_installed
ready="$work/held-ready"
PROC_HOLD_FILE=$(winepath -w "$target/readme.txt") PROC_HOLD_READY=$(winepath -w "$ready") \
  start_program "$holder" --gtest_filter=Child.HoldWithDeleteSharing
holder_pid=$last_pid
for _ in $(seq 1 200); do [ -e "$ready" ] && break; sleep 0.1; done
[ -e "$ready" ] || fail "the process holding readme.txt did not start"
remove_within_limit "with readme.txt held"
installed && fail "-h -u with readme.txt held left TavrinSolo.exe"
rm -f "$ready"
wait_gone "$holder_pid" 20 || fail "the holding process did not end"
rm -rf "$target"
no_window_shown "-h -u past odd names and a held file"

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

# The installer saved as TavrinSolo.exe: its copy comes after the program's file and replaces it,
# the record names it, and started from there it removes the application.
ensure_removed
mkdir -p "$work/renamed"
cp "$installer" "$work/renamed/TavrinSolo.exe"
wine "$work/renamed/TavrinSolo.exe" -h -i >/dev/null 2>>"$work/stderr" </dev/null
exit_code=$?
[ "$exit_code" = 0 ] || fail "-h -i as TavrinSolo.exe exited with $exit_code"
cmp -s "$installer" "$target/TavrinSolo.exe" || fail "TavrinSolo.exe in the target is not the installer's copy"
uninstaller=$(wine reg query "$uninstall_key" /v UninstallString </dev/null 2>/dev/null |
  sed -n 's/^ *UninstallString *REG_SZ *//p' | tr -d '\r')
[ "$uninstaller" = "$(winepath -w "$target/TavrinSolo.exe" 2>/dev/null)" ] ||
  fail "the record names '$uninstaller', not the copy"
wine "$target/TavrinSolo.exe" -h -u >/dev/null 2>>"$work/stderr" </dev/null
exit_code=$?
[ "$exit_code" = 0 ] || fail "the copy named TavrinSolo.exe, run -h -u, exited with $exit_code"
record_present && fail "the copy named TavrinSolo.exe left the uninstall record"
[ -e "$target/readme.txt" ] || [ -e "$user_menu" ] && fail "the copy named TavrinSolo.exe did not remove"
rm -rf "$target"

# A removal stopped part-way (power cut): right after it deleted TavrinSolo.exe, and after the
# record was gone too. The uninstaller copy, started as the record says with -h -u (and, the
# second time, by its path in lower case, c:\program files\...), finishes it.
copy_win=$(winepath -w "$target/TavrinSoloSetup.exe" 2>/dev/null)
for stop in program record; do
  [ "$stop" = record ] && copy_win=${copy_win,,}
  ensure_installed
  rm -f "$target/TavrinSolo.exe"
  if [ "$stop" = record ]; then
    find "$target" -type f ! -name TavrinSoloSetup.exe -delete
    rm -rf "$user_menu"
    wine reg delete "$uninstall_key" /f >/dev/null 2>&1 </dev/null
  fi
  wine "$copy_win" -h -u >/dev/null 2>>"$work/stderr" </dev/null
  exit_code=$?
  [ "$exit_code" = 0 ] || fail "the copy after a removal stopped at the $stop exited with $exit_code"
  left=$(find "$target" "$user_menu" ! -name TavrinSoloSetup.exe ! -path "$target" 2>/dev/null)
  [ -z "$left" ] && ! record_present ||
    fail "the copy after a removal stopped at the $stop left: ${left:-the record}"
  rm -rf "$target"
done

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
answer_box "$box"
wait_gone "$pid" 20 || fail "the installer did not end after its failure box"
rm -f "$target"
[ "$exit_code" = "$hidden_failure" ] ||
  fail "-i without -h exited with $exit_code after a failure, -h -i with $hidden_failure"
echo "unattended install, removal (also past odd names and a held file), nothing to do, damaged package entries, saved as TavrinSolo.exe, an interrupted removal finished by the copy, removal by -i, failure codes with and without -h"
