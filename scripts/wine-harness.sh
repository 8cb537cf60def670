#!/usr/bin/env bash
# Wine test harness. One throwaway state folder per test run holds a fresh Wine prefix (never the
# user's own), an Xvfb display, one persistent wineserver and the environment that goes with them.
#
#   wine-harness.sh DIR up            make the prefix, start Xvfb and the wineserver (idempotent)
#   wine-harness.sh DIR down          end everything it started and delete DIR
#   wine-harness.sh DIR run PROG ...  run a Windows program in the harness (starts it if needed);
#                                     its output goes to files first and is replayed afterwards,
#                                     since Wine's services it starts keep its output open
#   wine-harness.sh DIR env           print the environment (for `eval`)
#
# TAVRIN_WINEDEBUG (default -all) is Wine's WINEDEBUG for everything the harness runs, fixed when
# the harness comes up (e.g. err+all to see Wine's error messages of a failing test).
# TAVRIN_WINEARCH=win32 makes a 32-bit prefix instead of the default 64-bit one (WoW64, as on a
# current Windows: Program Files (x86), the registry's Wow6432Node).
# TAVRIN_LOCALE (e.g. ja_JP.UTF-8) becomes LC_ALL of every Wine process the harness starts, and of
# whoever evals its env: Wine's ANSI code page follows it (932 for ja_JP). Like the two above, it
# is fixed when the harness comes up; give each locale a DIR of its own.
set -u
dir=${1:?usage: wine-harness.sh DIR up|down|run|env}
cmd=${2:?usage: wine-harness.sh DIR up|down|run|env}
shift 2
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

write_env() {
  cat >"$dir/env.new" <<ENV
export WINEPREFIX='$dir/prefix'
export WINEARCH='${TAVRIN_WINEARCH:-win64}'
export WINEDEBUG='${TAVRIN_WINEDEBUG:--all}'
export WINEDLLOVERRIDES='mscoree,mshtml,winemenubuilder.exe=d'
export HOME='$dir/home'
export XDG_CONFIG_HOME='$dir/home/.config'
export XDG_DATA_HOME='$dir/home/.local/share'
export XDG_CACHE_HOME='$dir/home/.cache'
export DISPLAY='$1'
ENV
  if [ -n "${TAVRIN_LOCALE:-}" ]; then echo "export LC_ALL='$TAVRIN_LOCALE'" >>"$dir/env.new"; fi
  mv "$dir/env.new" "$dir/env"
}

alive() {
  [ -f "$dir/env" ] && [ -f "$dir/ready" ] || return 1
  [ -f "$dir/xvfb.pid" ] && kill -0 "$(cat "$dir/xvfb.pid")" 2>/dev/null || return 1
  return 0
}

start_xvfb() {
  rm -f "$dir/display"
  # -displayfd picks a free display number and writes it once the server listens.
  setsid Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$dir/display" \
    >"$dir/xvfb.log" 2>&1 </dev/null &
  echo $! >"$dir/xvfb.pid"
  for _ in $(seq 1 100); do
    [ -s "$dir/display" ] && break
    sleep 0.05
  done
  [ -s "$dir/display" ] || { echo "wine-harness: Xvfb did not start" >&2; return 1; }
  echo ":$(head -n1 "$dir/display")"
}

up() {
  alive && return 0
  stop_all
  mkdir -p "$dir/home/.config" "$dir/home/.local/share" "$dir/home/.cache"
  local display
  display=$(start_xvfb) || return 1
  write_env "$display"
  # shellcheck disable=SC1091
  . "$dir/env"
  rm -rf "$WINEPREFIX"
  echo "wine-harness: making a Wine prefix in $WINEPREFIX (about 30 s, once per run)" >&2
  wineboot -i >"$dir/wineboot.log" 2>&1 </dev/null
  wineserver -w
  # No crash dialogs: a crashing program must end, not wait for a click.
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
    >/dev/null 2>&1 </dev/null
  wineserver -w
  # The prefix's user folders link into $HOME; make them real folders inside the prefix.
  local u
  for u in "$WINEPREFIX"/drive_c/users/*/*; do
    if [ -L "$u" ]; then rm -f "$u" && mkdir -p "$u"; fi
  done
  # One persistent server for the run: later processes start warm.
  wineserver -p >/dev/null 2>&1 </dev/null
  touch "$dir/ready"
}

stop_all() {
  if [ -f "$dir/env" ]; then
    # shellcheck disable=SC1091
    ( . "$dir/env"; wineserver -k >/dev/null 2>&1 ) || true
  fi
  if [ -f "$dir/xvfb.pid" ]; then
    kill "$(cat "$dir/xvfb.pid")" 2>/dev/null || true
    rm -f "$dir/xvfb.pid"
  fi
  rm -f "$dir/ready"
}

# The lock is taken with `flock -o`, which closes it in the command it runs: the wineserver and
# Xvfb started under it must not inherit the lock, or the next caller would wait for them forever.
locked() { flock -o "$dir.lock" "$0" "$dir" "$@"; }

case "$cmd" in
  up) locked locked-up ;;
  down) locked locked-down ;;
  env) locked locked-up && cat "$dir/env" ;;
  locked-up) up ;;
  locked-down)
    stop_all
    rm -rf "$dir"
    ;;
  run)
    locked locked-up || exit 1
    # shellcheck disable=SC1091
    . "$dir/env"
    out=$(mktemp "$dir/stdout.XXXXXX")
    err=$(mktemp "$dir/stderr.XXXXXX")
    wine "$@" >"$out" 2>"$err"
    rc=$?
    cat "$out"
    cat "$err" >&2
    rm -f "$out" "$err"
    exit $rc
    ;;
  *)
    echo "usage: wine-harness.sh DIR up|down|run|env" >&2
    exit 2
    ;;
esac
