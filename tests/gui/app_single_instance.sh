#!/usr/bin/env bash
# Only one installer runs at a time: a second one, started while the first shows its window,
# exits with -1 (255 in the shell) at once, installs nothing and shows nothing; the first goes on
# and closes normally with Escape. Without a display driver no window can be made: the installer
# exits with -20 (236) and installs nothing.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/app_lib.sh"

ensure_removed
open_installer_window
before=$(visible_windows)
[ -n "$before" ] || fail "visible_windows does not see the installer's own window"
for args in "-h -i" "" "-u"; do
  # shellcheck disable=SC2086
  run_installer $args
  [ "$exit_code" = 255 ] || fail "a second installer ($args) exited with $exit_code, not -1 (255)"
done
installed && fail "the second installer installed"
[ "$(visible_windows)" = "$before" ] || fail "the second installer showed a window"
kill -0 "$pid" 2>/dev/null || fail "the first installer ended"
focus "$win"
xdotool key Escape
wait_gone "$pid" 20 || fail "the first installer did not close on Escape"
[ "$exit_code" = 0 ] || fail "the first installer exited with $exit_code"
# Once it has gone, an installer runs again.
run_installer -h -u
[ "$exit_code" = 0 ] || fail "an installer after the first one exited with $exit_code"
for args in "" "-h -i"; do
  # shellcheck disable=SC2086
  WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winex11.drv=d" run_installer $args
  [ "$exit_code" = 236 ] || fail "no window ($args): exit $exit_code, expected -20 (236)"
done
installed && fail "the installer without a window installed"
echo "second installers refused with -1; the first closed with 0; no window: -20"
