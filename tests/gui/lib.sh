# Helpers for GUI tests: run Windows programs in the harness's Xvfb display and drive them with
# xdotool; read screenshots with ImageMagick. Source it; TAVRIN_HARNESS_DIR must be set.
set -u
harness=${TAVRIN_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}/scripts/wine-harness.sh
eval "$("$harness" "$TAVRIN_HARNESS_DIR" env)"
gui_pids=()

fail() { echo "FAIL: $*" >&2; exit 1; }

# start_program EXE ARGS...: starts it in the background; its pid is $last_pid.
start_program() {
  wine "$@" >/dev/null 2>"$TAVRIN_HARNESS_DIR/gui-stderr.$$" &
  last_pid=$!
  gui_pids+=("$last_pid")
}

# wait_window TITLE [SECONDS]: prints the X window id of the visible window named exactly TITLE.
wait_window() {
  local title=$1 limit=${2:-20} id
  for _ in $(seq 1 $((limit * 10))); do
    id=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null | head -n1)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  return 1
}

# wait_gone PID [SECONDS]: waits for a started program to end; its exit code is $exit_code.
wait_gone() {
  local pid=$1 limit=${2:-20}
  for _ in $(seq 1 $((limit * 10))); do
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid"; exit_code=$?
      return 0
    fi
    sleep 0.1
  done
  return 1
}

# close_window ID: Alt+F4 as a user would. There is no window manager, so the window gets the
# keyboard only after a click into it (the click lands at client 1,1, away from any control).
close_window() {
  xdotool mousemove --window "$1" 1 1 click 1
  sleep 0.2
  xdotool key alt+F4
}

# screenshot FILE: the whole screen.
screenshot() { import -window root "$1"; }

# pixel FILE X Y: prints the colour of one pixel as srgb(r,g,b).
pixel() { convert "$1" -format "%[pixel:p{$2,$3}]" info:; }

cleanup_gui() {
  local p
  for p in "${gui_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -f "$TAVRIN_HARNESS_DIR/gui-stderr.$$"
}
trap cleanup_gui EXIT
