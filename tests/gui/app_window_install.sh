#!/usr/bin/env bash
# The window as a user meets it, and an installation by a click on its button: the picture, the
# OS line, the white band with the install texts and the "Install" button; the hand over the
# picture; a click on the button's edge or on the band doing nothing; a click on the picture
# opening the header page; then the pressed and installing looks, the blinking caption, clicks,
# Enter, Escape and Alt+F4 ignored while the worker runs, the completion page opened before the
# "Success" box, Enter closing it, exit code 0 and the files in place.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/app_lib.sh"

packtool=${2:?usage: $0 TavrinSoloSetup.exe packtool}
ensure_removed
# An installer whose last package file is larger than a pipe holds: a FIFO in that file's place
# holds the installation there until this test drains it, while the window thread goes on.
"$packtool" unpack "$installer" "$work/payload" >/dev/null || fail "packtool unpack failed"
head -c 200000 /dev/zero >>"$work/payload/Remote/TimecodeLtc.dll"
sed -n 's/^\([^#][^|]*[^ |]\) *|.*/\1/p' "$here/../../sample/payload/manifest.txt" |
  while IFS= read -r name; do echo "$name | payload/${name//\\//}"; done >"$work/manifest.txt"
"$packtool" build "$installer" "$work/manifest.txt" "$work/TavrinSoloSetup.exe" >/dev/null ||
  fail "packtool build of the larger payload failed"
installer="$work/TavrinSoloSetup.exe"
held="$target/Remote/TimecodeLtc.dll"
mkdir -p "$target/Remote"
rm -f "$held"
mkfifo "$held"
# The programs are ended first, so no writer is left waiting on it.
at_exit='rm -f "$held"'

open_installer_window
eval "$(xdotool getwindowgeometry --shell "$win")"
[ "$WIDTH x $HEIGHT" = "900 x 524" ] || fail "client area is $WIDTH x $HEIGHT, not the picture and the band (900 x 524)"

# Screen rectangle of client coordinates, for app_shot.py.
rect() { echo "$((X + $1)) $((Y + $2)) $((X + $3)) $((Y + $4))"; }

# --- The look of the ready window.
s=$(shot ready)
shotpy picture "$s" "$installer" "$X" "$Y" || fail "the window does not show bitmap 101 at its origin"
n=$(shotpy count "$s" $(rect 20 402 300 424) 0 0 0 60)
[ "$n" -gt 40 ] || fail "no OS line over the picture's bottom ($n dark pixels)"
n=$(shotpy count "$s" $(rect 0 424 570 452) 255 255 255)
[ "$n" = $((570 * 28)) ] || fail "the band above the texts is not white ($n white pixels)"
read -r first last <<<"$(shotpy columns "$s" $(rect 20 454 570 474) 0 0 0 60)"
[ "$first" != none ] && [ $((last - X)) -gt 330 ] ||
  fail "status line 1 is not the long install text (black columns $first..$last)"
n=$(shotpy count "$s" $(rect 20 474 570 494) 100 100 100 30)
[ "$n" -gt 100 ] || fail "no grey status line 2 ($n grey pixels)"
n=$(shotpy count "$s" $(rect 20 474 570 494) 0 0 0 20)
[ "$n" -lt 10 ] || fail "status line 2 is black, not grey"
for p in "580 474" "880 474" "730 444" "730 504"; do
  c=$(pixel "$s" $((X + ${p% *})) $((Y + ${p#* })))
  [ "$c" = "srgb(0,0,0)" ] || fail "button outline at $p is $c"
done
c=$(pixel "$s" $((X + 590)) $((Y + 474)))
[ "$c" = "srgb(255,255,255)" ] || fail "button face is $c, not white"
read -r first last <<<"$(shotpy columns "$s" $(rect 590 450 870 500) 0 0 0 60)"
[ "$first" != none ] || fail "no caption on the button"
install_caption_width=$((last - first))
# "Install" is centred: its ink starts and ends about equally far from the button's middle.
mid=$((X + 730))
[ $(((mid - first) - (last - mid))) -le 6 ] && [ $(((last - mid) - (mid - first))) -le 6 ] ||
  fail "caption not centred ($first..$last around $mid)"

# --- The cursor: the hand anywhere over the picture, the arrow over the band.
cursor_at() { xdotool mousemove --window "$win" "$1" "$2"; sleep 0.3; /usr/bin/python3 "$here/app_cursor.py"; }
arrow=$(cursor_at 300 480)
hand=$(cursor_at 450 200)
[ "$hand" != "$arrow" ] || fail "the cursor over the picture is the arrow ($hand)"
[ "$(cursor_at 899 10)" = "$hand" ] || fail "no hand at the picture's right edge"
[ "$(cursor_at 5 423)" = "$hand" ] || fail "no hand on the picture's last row"
[ "$(cursor_at 5 424)" = "$arrow" ] || fail "the hand shows on the band's first row"

# --- Clicks that must do nothing: the button's own edges and the band beside it.
for p in "580 474" "880 474" "730 444" "730 504" "300 514"; do
  click "$win" ${p% *} ${p#* }
  sleep 0.1
  c=$(pixel "$(shot edge)" $((X + 590)) $((Y + 474)))
  [ "$c" = "srgb(255,255,255)" ] || fail "a click at $p pressed the button ($c)"
done
sleep 0.6
[ ! -s "$opened" ] || fail "a click on the edge or the band opened $(cat "$opened")"
[ "$(pixel "$(shot edge)" $((X + 590)) $((Y + 474)))" = "srgb(255,255,255)" ] ||
  fail "a click on an edge started something"
[ -p "$held" ] && ! installed || fail "a click on an edge installed"

# --- A click on the picture opens the header page (and nothing else happens).
click "$win" 450 200
for _ in $(seq 50); do [ -s "$opened" ] && break; sleep 0.1; done
[ "$(cat "$opened")" = "https://www.quorel-audio.example/" ] ||
  fail "a click on the picture opened '$(cat "$opened")'"
: >"$opened"

# --- The button: pressed look at once, then the installing look with a blinking caption.
t0=$(date +%s%N)
click "$win" 730 474
wait_pixel $((X + 590)) $((Y + 474)) "gray(0)" 1500 || fail "no pressed look right after the click"
echo "pressed look on the screen $(( ($(date +%s%N) - t0) / 1000000 )) ms after the click was sent (the pause is 200 ms)"
# Wait until the worker is held at the FIFO: the package's first files are in place.
for _ in $(seq 100); do installed && break; sleep 0.1; done
installed || fail "the files were not extracted"
# A tick may have drawn the button before the worker named its first step; from the next tick on
# the line shows the step the worker is held in.
sleep 0.6
# Screenshots first, about every 0.15 s over 2.5 blink periods (so no sampling rhythm can fall
# into step with the blinking), read afterwards.
for i in $(seq 16); do
  screenshot "$work/busy$i.png"
  sleep 0.1
done
shown=0
hidden=0
for i in $(seq 16); do
  s="$work/busy$i.png"
  [ "$(pixel "$s" $((X + 590)) $((Y + 474)))" = "srgb(0,0,0)" ] || fail "the button is not black while installing"
  activity=$(shotpy count "$s" $(rect 590 485 870 503) 255 255 255 60)
  [ "$activity" -gt 20 ] || fail "no activity line on the installing button"
  caption=$(shotpy count "$s" $(rect 590 448 870 482) 255 255 255 60)
  if [ "$caption" -gt 50 ]; then shown=$((shown + 1)); else hidden=$((hidden + 1)); fi
done
[ "$shown" -ge 3 ] && [ "$hidden" -ge 3 ] ||
  fail "\"Installing\" does not blink (shown in $shown, hidden in $hidden of 16 shots)"
echo "\"Installing\" shown in $shown and hidden in $hidden of 16 shots over about 2.5 s"

# --- While the worker runs: clicks, Enter, Escape and Alt+F4 change nothing.
before=$(visible_windows)
click "$win" 730 474
click "$win" 450 200
xdotool key Return
xdotool key Escape
xdotool key alt+F4
sleep 1
kill -0 "$pid" 2>/dev/null || fail "the installer ended while installing"
[ "$(visible_windows)" = "$before" ] || fail "a window or box came or went while installing"
[ ! -s "$opened" ] || fail "a click during the installation opened $(cat "$opened")"
[ -p "$held" ] || fail "the held file is no longer the FIFO"

# --- Let the worker finish: the completion page is opened before the "Success" box shows. The
# shell opens pages asynchronously (winebrowser, then xdg-open), so the proof is that the address
# arrives while the box is still up and unanswered: opened after the box, it could only come
# once the box had been answered.
cat "$held" >/dev/null &
box=$(wait_window Success 30) || fail "no \"Success\" box"
for _ in $(seq 100); do [ -s "$opened" ] && break; sleep 0.1; done
[ -s "$opened" ] || fail "the completion page was not opened while the \"Success\" box was up"
[ -n "$(xdotool search --onlyvisible --name '^Success$' 2>/dev/null)" ] ||
  fail "the \"Success\" box went away by itself"
[ "$(cat "$opened")" = "https://www.quorel-audio.example/thanks" ] ||
  fail "the completion page opened was '$(cat "$opened")'"

# --- Enter closes the box, the window closes and the installer exits with 0.
answer_box "$box"
wait_gone "$pid" 20 || fail "the installer did not end after the box"
[ "$exit_code" = 0 ] || fail "the installer exited with $exit_code"
installed || fail "TavrinSolo.exe is not in $target"
[ "$(find "$target" -type f | wc -l)" -ge 17 ] || fail "fewer than 17 files in $target"
record_present || fail "no uninstall record"

ensure_removed
rm -f "$held"
echo "window looked right, edges and band ignored, header page opened, installed by a click"
