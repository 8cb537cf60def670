#!/usr/bin/env bash
# The order of an install's effects as the file system shows them. inotify on the Unix folders
# behind the prefix (the target folder and both Start-menu folders, made beforehand so that no
# file is created before its folder is watched) records in order every package file closed after
# writing, every link, the installer copy at its own name, and a mark the test program creates
# the moment the install first writes the uninstall record. Every link and the copy at its own
# name come after the last package file is closed, the copy after the links, the record after
# the copy. Events of one watcher arrive in the order they happened.
#   procedures_order.sh TEST_EXE
set -u
exe=${1:?usage: procedures_order.sh TEST_EXE}
harness=$TAVRIN_SOURCE_DIR/scripts/wine-harness.sh
"$harness" "$TAVRIN_HARNESS_DIR" up || exit 1
eval "$("$harness" "$TAVRIN_HARNESS_DIR" env)"
fail() { echo "FAIL: $*" >&2; [ -s "${events:-}" ] && cat "$events" >&2; exit 1; }
command -v inotifywait >/dev/null || fail "inotifywait missing (Debian's inotify-tools)"
run_case() { "$harness" "$TAVRIN_HARNESS_DIR" run "$exe" "$@"; }
unix() { winepath -u "$1" 2>/dev/null | tr -d '\r'; }

out=$(PROC_ORDER_LAYOUT=1 run_case --gtest_filter=Procedures.FoldersLaidOutForTheOrderScript) ||
  fail "laying out the folders failed: $out"
field() { sed -n "s/^$1=//p" <<<"$out" | tr -d '\r'; }
target=$(unix "$(field target)")
user=$(unix "$(field user)")
common=$(unix "$(field common)")
installer=$(field installer)
mapfile -t entries < <(field entry | tr '\\' /)
[ -d "$target" ] && [ -d "$user" ] && [ -d "$common" ] && [ "${#entries[@]}" = 17 ] ||
  fail "folders or entries missing: $out"
marks=$WINEPREFIX/drive_c/proc-order-$$
mkdir -p "$marks"
watcher=
events=$marks.events
key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Quorel:Tavrin-Solo {6C0F2E93-B71A-4d5e}'
trap '[ -z "$watcher" ] || kill "$watcher" 2>/dev/null
  rm -rf "$marks" "$marks.err" "$marks.child" "$events" "$target" "$user" "$common"
  wine reg delete "$key" /f /reg:32 >/dev/null 2>&1 </dev/null' EXIT

inotifywait -m -r -q -e close_write,create,moved_to --format '%e %w%f' \
  "$target" "$user" "$common" "$marks" >"$events" 2>"$marks.err" &
watcher=$!
# The watches are in place once a file made for that shows up.
for _ in $(seq 1 100); do
  touch "$marks/ready"
  grep -q "$marks/ready" "$events" && break
  sleep 0.05
done
grep -q "$marks/ready" "$events" || fail "the watcher did not start: $(cat "$marks.err")"

PROC_CHILD_INSTALL=1 PROC_CHILD_INSTALLER=$installer \
  PROC_CHILD_RECORD_MARK="$(winepath -w "$marks/record" 2>/dev/null | tr -d '\r')" \
  run_case --gtest_filter=Child.Install >"$marks.child" || fail "the install failed: $(cat "$marks.child")"
grep -q '^@@result=0' "$marks.child" || fail "the install did not succeed: $(cat "$marks.child")"
rm -f "$marks.child"
touch "$marks/end"
for _ in $(seq 1 100); do grep -q "$marks/end" "$events" && break; sleep 0.05; done
kill "$watcher"
watcher=

# Line numbers of the events: each package file closed, each link, the copy at its own name,
# the record's mark.
n=0 last_file=0 first_link=0 last_link=0 first_copy=0 last_copy=0 record=0
declare -A closed=() links=()
while read -r kind path; do
  n=$((n + 1))
  for entry in "${entries[@]}"; do
    if [ "$path" = "$target/$entry" ] && [[ $kind == CLOSE_WRITE* ]]; then
      closed[$entry]=1
      last_file=$n
    fi
  done
  case $path in
    "$user"/*.LNK | "$common"/*.LNK)
      [ "$first_link" = 0 ] && first_link=$n
      last_link=$n
      [[ $kind == CLOSE_WRITE* || $kind == MOVED_TO ]] && links[$path]=1 ;;
    "$target/$(basename "${installer//\\//}")")
      [ "$first_copy" = 0 ] && first_copy=$n
      last_copy=$n ;;
    "$marks/record") record=$n ;;
  esac
done <"$events"

[ "${#closed[@]}" = 17 ] || fail "saw ${#closed[@]} of the 17 package files closed"
[ "${#links[@]}" = 4 ] || fail "saw ${#links[@]} links written, not 4"
[ "$first_copy" != 0 ] || fail "no copy at its own name"
[ "$record" != 0 ] || fail "no uninstall record written"
# Event numbers: the last package file closed, the links, the copy at its own name, the record.
at="file $last_file, links $first_link-$last_link, copy $first_copy-$last_copy, record $record"
[ "$first_link" -gt "$last_file" ] || fail "a link before the last package file was closed ($at)"
[ "$first_copy" -gt "$last_file" ] || fail "the copy before the last package file was closed ($at)"
[ "$first_copy" -gt "$last_link" ] || fail "the copy at its own name before the last link ($at)"
[ "$record" -gt "$last_copy" ] || fail "the record before the copy was in place ($at)"
echo "in order: $at"
