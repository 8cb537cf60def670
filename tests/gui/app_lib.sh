# Helpers for the installer's GUI and unattended tests. Source it after lib.sh; the first
# argument of every test is the installer, TavrinSoloSetup.exe.
installer=${1:?usage: $0 TavrinSoloSetup.exe [more programs...]}
title="Quorel Tavrin-Solo Installation (Version 1.2.4.5)"
# The same as a pattern for wait_window, which matches window names as regular expressions.
title_pattern='Quorel Tavrin-Solo Installation \(Version 1\.2\.4\.5\)'
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work="$TAVRIN_HARNESS_DIR/app-gui.$$"
mkdir -p "$work"
# at_exit: commands a test adds to run after its programs have been ended.
at_exit=""
trap 'cleanup_gui; eval "$at_exit"; rm -rf "$work"' EXIT

# The 32-bit installer in a 64-bit prefix installs below "Program Files (x86)"; in a 32-bit
# prefix below "Program Files".
program_files="$WINEPREFIX/drive_c/Program Files (x86)"
[ -d "$program_files" ] || program_files="$WINEPREFIX/drive_c/Program Files"
target="$program_files/Quorel/Tavrin-Solo"
uninstall_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Quorel:Tavrin-Solo {6C0F2E93-B71A-4d5e}'

# Every address the shell opens lands in $opened, one per line: Wine's ShellExecute ends in a call
# of xdg-open found on PATH.
opened="$work/opened.txt"
mkdir -p "$work/bin"
cat >"$work/bin/xdg-open" <<REC
#!/bin/sh
printf '%s\n' "\$*" >>"$opened"
REC
chmod +x "$work/bin/xdg-open"
export PATH="$work/bin:$PATH"
: >"$opened"

installed() { [ -f "$target/TavrinSolo.exe" ]; }
record_present() { wine reg query "$uninstall_key" /v DisplayName >/dev/null 2>&1 </dev/null; }

# run_installer ARGS...: runs it to the end in the foreground; its exit code is $exit_code.
run_installer() {
  wine "$installer" "$@" >/dev/null 2>>"$work/stderr" </dev/null
  exit_code=$?
}

# Leaves the prefix without the application: an unattended removal when it is installed. A FIFO
# left in the target folder by an interrupted run of app_window_install.sh would hold every later
# installation, so it goes first.
ensure_removed() {
  [ -d "$target" ] && find "$target" -maxdepth 1 -type p -delete
  if installed; then run_installer -h -u; fi
  installed && fail "the application is still installed after -h -u"
  return 0
}

ensure_installed() {
  [ -d "$target" ] && find "$target" -maxdepth 1 -type p -delete
  installed || run_installer -h -i
  installed || fail "-h -i did not install the application (exit $exit_code)"
}

# Names of every window and box an installer can show (its window, "Success", the "... Error"
# boxes). Tests that run beside these may show windows of their own on the same display.
installer_names='Quorel Tavrin-Solo|^Success$|Error$'

# visible_windows: the installer windows and boxes that are mapped now.
visible_windows() { xdotool search --onlyvisible --name "$installer_names" 2>/dev/null | sort; }

# shot NAME: a screenshot of the whole screen in $work; prints its path.
shot() { screenshot "$work/$1.png"; echo "$work/$1.png"; }

# in_window WIN X Y: screen coordinates of a client point; the X window is the client area.
in_window() {
  local geo
  geo=$(xdotool getwindowgeometry --shell "$1")
  eval "$geo"
  echo "$((X + $2)) $((Y + $3))"
}

# click WIN X Y: a left click at client coordinates.
click() { xdotool mousemove --window "$1" "$2" "$3" click 1; }
# Answers a message box with Enter (the pointer moved into it first: Wine ignores key --window).
answer_box() { click "$1" 5 5; sleep 0.2; xdotool key Return; }

# focus WIN: Wine takes keys only after a click into the window; this one lands on the band
# left of the button, where a click does nothing.
focus() { click "$1" 10 514; sleep 0.3; }

# screen_pixel X Y: the colour of one screen pixel, from a 1 x 1 screenshot (fast enough to poll).
screen_pixel() {
  import -window root -crop "1x1+$1+$2" "$work/pixel.png" 2>/dev/null
  convert "$work/pixel.png" -format "%[pixel:p{0,0}]" info:
}

# wait_pixel X Y COLOUR MILLISECONDS: polls one screen pixel until it shows COLOUR (as pixel prints
# it for a 1 x 1 grey or colour image: gray(0), srgb(...)).
wait_pixel() {
  local deadline=$(( $(date +%s%N) + $4 * 1000000 ))
  while [ "$(date +%s%N)" -lt "$deadline" ]; do
    [ "$(screen_pixel "$1" "$2")" = "$3" ] && return 0
  done
  return 1
}

shotpy() { /usr/bin/python3 "$here/app_shot.py" "$@"; }

# open_installer_window: starts the installer with no options and waits until its window is up and
# painted; sets $pid and $win.
open_installer_window() {
  start_program "$installer"
  pid=$last_pid
  win=$(wait_window "$title_pattern") || fail "no window titled \"$title\" appeared"
  sleep 0.5
}
