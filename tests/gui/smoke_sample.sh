#!/usr/bin/env bash
# The GUI harness works end to end: the sample application's window appears under Xvfb, shows its
# painted pads in a screenshot, and the program ends when its window is closed.
. "$(dirname "$0")/lib.sh"
exe=${1:?usage: smoke_sample.sh TavrinSolo.exe}

start_program "$exe"
pid=$last_pid
win=$(wait_window TavrinSolo) || fail "no window titled TavrinSolo appeared"
eval "$(xdotool getwindowgeometry --shell "$win")"
shot="$TAVRIN_HARNESS_DIR/smoke.png"
# The first pad is painted at client (20..100, 20..100) in RGB(230,120,60); the window may be
# mapped a moment before its first paint, so look for a few seconds.
for _ in $(seq 1 25); do
  screenshot "$shot"
  colour=$(pixel "$shot" $((X + 50)) $((Y + 50)))
  [ "$colour" = "srgb(230,120,60)" ] && break
  sleep 0.2
done
[ "$colour" = "srgb(230,120,60)" ] || fail "pad colour at the window is $colour"
close_window "$win"
wait_gone "$pid" || fail "the sample application did not end after its window was closed"
[ "$exit_code" = 0 ] || fail "the sample application exited with $exit_code"
echo "sample window seen, painted and closed"
