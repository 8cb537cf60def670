#!/usr/bin/env bash
# With the application installed the window offers removal: the removal texts and "Remove"; a
# click on the button removes the application on the window's own thread and the window closes
# with exit code 0. A removal that fails shows its box until the box is answered; then the
# window closes, with exit code 0 as well.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/app_lib.sh"

ensure_installed

# A copy whose package resource cannot be found (RCDATA 100 renamed 99): the window still opens
# and offers removal, and the removal fails with "package might be corrupted".
broken="$work/TavrinSoloSetup.exe"
/usr/bin/python3 - "$installer" "$broken" <<'PY' || fail "no copy without a package"
import sys, pefile
pe = pefile.PE(sys.argv[1])
for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
    for entry in kind.directory.entries if kind.id == 10 else []:
        if entry.id == 100:
            entry.struct.Name = 99
pe.write(sys.argv[2])
PY
installer="$broken" open_installer_window
click "$win" 730 474
box=$(wait_window 'Tavrin-Solo Uninstallation Error' 20) || fail "the failed removal showed no box"
sleep 3
[ "$(wait_window 'Tavrin-Solo Uninstallation Error' 1)" = "$box" ] ||
  fail "the failure box closed before it was answered"
kill -0 "$pid" 2>/dev/null || fail "the installer ended while its failure box was up"
answer_box "$box"
wait_gone "$pid" 20 || fail "the window did not close after the failure box was answered"
[ "$exit_code" = 0 ] || fail "the installer exited with $exit_code after a failed removal"
installed || fail "the failed removal removed TavrinSolo.exe"

open_installer_window
eval "$(xdotool getwindowgeometry --shell "$win")"
rect() { echo "$((X + $1)) $((Y + $2)) $((X + $3)) $((Y + $4))"; }

s=$(shot remove)
shotpy picture "$s" "$installer" "$X" "$Y" || fail "the window does not show bitmap 101"
# Line 1 is the short "Tavrin-Solo is already installed...", line 2 the long grey
# "previous version has to be removed before installing new one...".
read -r first last <<<"$(shotpy columns "$s" $(rect 20 454 570 474) 0 0 0 60)"
[ "$first" != none ] && [ $((last - X)) -lt 330 ] ||
  fail "status line 1 is not the short removal text (black columns $first..$last)"
read -r first last <<<"$(shotpy columns "$s" $(rect 20 474 570 494) 100 100 100 30)"
[ "$first" != none ] && [ $((last - X)) -gt 430 ] ||
  fail "status line 2 is not the long removal text (grey columns $first..$last)"
read -r first last <<<"$(shotpy columns "$s" $(rect 590 450 870 500) 0 0 0 60)"
[ "$first" != none ] || fail "no caption on the button"
# "Remove" is wider than "Install" in the same font (measured 95 pixels for "Install").
[ $((last - first)) -gt 110 ] || fail "the caption is not \"Remove\" (ink $first..$last)"

click "$win" 730 474
# The pressed look shows for 200 ms; then the removal runs and the window goes.
wait_pixel $((X + 590)) $((Y + 474)) "gray(0)" 1500 || fail "no pressed look after the click"
wait_gone "$pid" 30 || fail "the window did not close after the removal"
[ "$exit_code" = 0 ] || fail "the installer exited with $exit_code after a removal"
installed && fail "TavrinSolo.exe is still in $target"
record_present && fail "the uninstall record is still there"
[ ! -s "$opened" ] || fail "the removal opened $(cat "$opened")"
echo "failure box answered before the window closed; removal texts and \"Remove\" shown; removed by a click; exit 0"
