#!/usr/bin/env bash
# The main job: builds TavrinSoloSetup.exe with the sample payload and runs it under Wine in a
# throwaway prefix. `run.sh INSTALLER` runs the given installer instead (a publisher's, made by
# `packtool build`), without building anything.
#   With a display (the caller's DISPLAY, or TAVRIN_RUN_GUI=1): the real window. On the caller's
#   display it stays until the user closes it; with TAVRIN_RUN_GUI=1 and no display of the
#   caller's it opens on the harness's own Xvfb, is photographed into $root/run/window.png and
#   closed with Escape.
#   Without one (or with TAVRIN_RUN_UNATTENDED=1): an unattended install (-h -i) and removal
#   (-h -u), with a report of what was installed where (files, shortcuts, uninstall record) and
#   the exit codes.
set -euo pipefail
given=""
if [ $# -gt 0 ]; then
  [ -f "$1" ] || { echo "usage: run.sh [INSTALLER]  ($1: no such file)" >&2; exit 2; }
  given=$(realpath "$1")
fi
cd "$(dirname "$0")/.."
root=${TAVRIN_BUILD_ROOT:-build}
caller_display=${DISPLAY:-}
mode=unattended
if [ "${TAVRIN_RUN_UNATTENDED:-0}" != 1 ] && { [ -n "$caller_display" ] || [ "${TAVRIN_RUN_GUI:-0}" = 1 ]; }; then
  mode=window
fi

# Only what the installer needs: the host build's packing tool, then the one Windows target.
bash scripts/setup.sh
if [ -n "$given" ]; then
  exe=$given
else
  if [ ! -f "$root/host/build.ninja" ]; then
    cmake --preset host -B "$root/host" >/dev/null
  fi
  echo "run: building packtool and TavrinSoloSetup.exe" >&2
  cmake --build "$root/host" --target packtool
  if [ ! -f "$root/win/build.ninja" ]; then
    cmake --preset win -B "$root/win" -DTAVRIN_HOST_TOOLS="$PWD/$root/host/host-tools.cmake" >/dev/null
  fi
  cmake --build "$root/win" --target installer
  exe="$PWD/$root/win/TavrinSoloSetup.exe"
  # The payload stays what the win build was configured with (-DTAVRIN_PAYLOAD_MANIFEST sticks).
  manifest=$(sed -n 's/^TAVRIN_PAYLOAD_MANIFEST:FILEPATH=//p' "$root/win/CMakeCache.txt")
  case $manifest in
    */sample/payload/manifest.txt) ;;
    *) echo "run: the payload of $manifest; back to the sample payload:" \
         "cmake -U TAVRIN_PAYLOAD_MANIFEST -B $root/win" >&2 ;;
  esac
fi
echo "run: $exe" >&2

harness="$root/run/wine"
export TAVRIN_WINEDEBUG=${TAVRIN_WINEDEBUG:-err+all}
# Wine's own messages of this run; kept after the prefix is removed, for debugging.
wine_log="$PWD/$root/run/wine-stderr.log"
trap 'bash scripts/wine-harness.sh "$harness" down; echo "Wine'"'"'s messages of this run: $wine_log"' EXIT
bash scripts/wine-harness.sh "$harness" down
mkdir -p "$root/run"
: >"$wine_log"
bash scripts/wine-harness.sh "$harness" up
eval "$(bash scripts/wine-harness.sh "$harness" env)"
/usr/bin/python3 tests/gui/app_size.py "$exe" || true

# run ARGS...: runs the installer to its end; its exit code (as the shell sees it) is $code.
run() {
  set +e
  wine "$exe" "$@" 2>>"$wine_log"
  code=$?
  set -e
}

c_drive="$WINEPREFIX/drive_c"
program_files="$c_drive/Program Files (x86)"
[ -d "$program_files" ] || program_files="$c_drive/Program Files"
target="$program_files/Quorel/Tavrin-Solo"
record='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Quorel:Tavrin-Solo {6C0F2E93-B71A-4d5e}'

# A Windows path for a path below drive_c.
windows_path() { local p=${1#"$c_drive"}; p=${p//\//\\}; echo "C:$p"; }

# Prints what is installed; $left then names what there is ("" for nothing).
report_installed() {
  left=""
  echo "Files in $(windows_path "$target"):"
  [ -d "$target" ] && left="$left $(find "$target" -type f | wc -l) files in the target folder;"
  if [ -d "$target" ]; then
    (cd "$target" && find . -type f -printf '  %P (%s bytes)\n' | sort)
  else
    echo "  (no target folder)"
  fi
  echo "Shortcuts:"
  local found=0 link
  while IFS= read -r -d '' link; do
    found=$((found + 1))
    echo "  $(windows_path "$link")"
    lnkinfo "$link" 2>/dev/null | sed -n 's/^\s*Local path\s*:\s*/    -> /p' | head -n1
  done < <(find "$c_drive/users" "$c_drive/ProgramData" -path '*Quorel*' -iname '*.lnk' -print0 2>/dev/null)
  [ "$found" = 0 ] && echo "  (none)"
  [ "$found" = 0 ] || left="$left $found shortcuts;"
  echo "Uninstall record HKLM\\...\\Uninstall\\Quorel:Tavrin-Solo {6C0F2E93-B71A-4d5e}:"
  wine reg query "$record" 2>/dev/null </dev/null | tr -d '\r' | sed -n 's/^\s\+/  /p' || true
  if wine reg query "$record" >/dev/null 2>&1 </dev/null; then
    left="$left the uninstall record;"
  else
    echo "  (absent)"
  fi
}

if [ "$mode" = window ]; then
  if [ -n "$caller_display" ]; then
    echo "Opening the installer window on $caller_display; close it or press a button to end."
    DISPLAY=$caller_display run
    echo "TavrinSoloSetup.exe exited with $code"
  else
    wine "$exe" 2>>"$wine_log" &
    pid=$!
    win=""
    for _ in $(seq 100); do
      win=$(xdotool search --onlyvisible --name '^Quorel Tavrin-Solo Installation' 2>/dev/null | head -n1 || true)
      [ -n "$win" ] && break
      sleep 0.1
    done
    [ -n "$win" ] || { echo "the installer window did not appear"; exit 1; }
    sleep 1
    eval "$(xdotool getwindowgeometry --shell "$win")"
    import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" "$root/run/window.png"
    echo "The window (on the harness's display) is in $root/run/window.png; closing it with Escape."
    xdotool mousemove --window "$win" 10 514 click 1
    sleep 0.3
    xdotool key Escape
    set +e
    wait "$pid"
    code=$?
    set -e
    echo "TavrinSoloSetup.exe exited with $code"
  fi
  exit 0
fi

name=$(basename "$exe")
echo
echo "== Unattended install: $name -h -i"
run -h -i
install_code=$code
echo "exit code $code"
report_installed
echo
echo "== Unattended removal: $name -h -u"
run -h -u
echo "exit code $code"
report_installed
echo
left=${left%;}
echo "run: install exited with $install_code, removal with $code; the removal left${left:- nothing}"
