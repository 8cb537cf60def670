#!/usr/bin/env bash
# Side-by-side figures (not a test) against a peer installer framework, NSIS from Debian's nsis
# package, on the same generated payload: 17 files, 16 of MB/16 MiB and one of 64 KiB (MB MiB of
# pseudo-random bytes from a fixed AES-CTR key, the same on every run; MB 128 unless
# TAVRIN_BENCH_MB says), with the sample's entry names. The peer installer does the work ours
# does: the files uncompressed (SetCompress off) and CRC-checked, an uninstaller, two shortcuts
# in a Start-menu folder for the current user and for all users, four uninstall values under HKLM.
#   build: `packtool build` of our installer against `makensis` of the peer's; best of RUNS each.
#   install: the installers run silently in one Wine prefix with one persistent wineserver and no
#     menu builder (ours `-h -i`, removed with `-h -u`; the peer's `/S`, removed with its
#     uninstaller; as a second reference the floor, an NSIS installer of the files alone with
#     CRCCheck off), alternating, best (and median) of RUNS each; beside them, the same install by
#     install_phases.exe (the installer's program stamping its system calls), whose fastest run
#     gives the time by phase; then extraction in memory (package_bench, host and Wine).
#     TAVRIN_BENCH_INSTALL_ONLY=1 leaves out the extraction figures; TAVRIN_BENCH_BEFORE=FOLDER
#     times an earlier build's TavrinSoloSetup.exe and install_phases.exe (in FOLDER) beside;
#     TAVRIN_BENCH_NO_LINKS=1 runs install_phases.exe without links (TAVRIN_PHASES_NO_LINKS),
#     the install where saving a link costs next to nothing, as on Windows.
# Usage: tests/bench/peer_bench.sh [build|install|all] [RUNS]
#   (needs the host and win builds: scripts/build.sh)
set -eu
section=${1:-all}
runs=${2:-5}
root=$(cd "$(dirname "$0")/../.." && pwd)
builds=${TAVRIN_BUILD_ROOT:-$root/build}
case $builds in /*) ;; *) builds=$root/$builds ;; esac
packtool=$builds/host/packtool
installer=$builds/win/TavrinSoloSetup.exe
phases_program=$builds/win/install_phases.exe
mb=${TAVRIN_BENCH_MB:-128}
work=$builds/peer-bench
payload=$work/payload
[ "$mb" = 128 ] || payload=$work/payload-$mb
names=(TavrinSolo.exe readme.txt Startup.tsc Manual.txt Shortcuts.txt 'Codec\QvDecode.dll'
  'Codec\LICENSE.txt' 'Codec\AUTHORS.txt' 'Codec\CHANGES.txt' 'Remote\MidiFootswitch.dll'
  'Remote\KeypadHid.dll' 'Remote\OscBridge.dll' 'Remote\SerialPedal.dll' 'Remote\GamepadInput.dll'
  'Remote\LanSync.dll' 'Remote\PresenterClicker.dll' 'Remote\TimecodeLtc.dll')

# make_payload DIR: the files under DIR/files and our manifest DIR/manifest.txt (kept when present).
make_payload() {
  local dir=$1 i size
  [ -f "$dir/manifest.txt" ] && return 0
  mkdir -p "$dir/files"
  : >"$dir/manifest.txt.part"
  for i in $(seq 1 17); do
    size=$((mb << 16))
    [ "$i" = 2 ] && size=$((64 << 10))
    openssl enc -aes-128-ctr -nosalt -K "$(printf '%032x' "$((1000 + i))")" -iv 0 \
      -in /dev/zero 2>/dev/null | head -c "$size" >"$dir/files/f$i.bin"
    printf '%s | files/f%d.bin\n' "${names[i - 1]}" "$i" >>"$dir/manifest.txt.part"
  done
  mv "$dir/manifest.txt.part" "$dir/manifest.txt"
}

# make_nsis_script DIR: DIR/peer.nsi, an installer doing the work ours does: the same files into
# the same folder (uncompressed, CRC-checked), an uninstaller, a Start-menu folder with two
# shortcuts for the current user and for all users, and four uninstall values under HKLM; and
# DIR/floor.nsi, the same files and nothing else, unchecked (the floor for writing the bytes).
# Both are silent with /S.
make_nsis_script() {
  local dir=$1 i name folder file context key
  key='Software\Microsoft\Windows\CurrentVersion\Uninstall\Tavrin-Solo-peer'
  files() {
    for i in $(seq 1 17); do
      name=${names[i - 1]}
      folder='$INSTDIR'
      file=$name
      case $name in *\\*) folder="\$INSTDIR\\${name%%\\*}"; file=${name#*\\} ;; esac
      echo "  SetOutPath \"$folder\""
      echo "  File \"/oname=$file\" \"files/f$i.bin\""
    done
  }
  header() {
    echo 'Unicode true'
    echo 'SetCompress off'
    echo "CRCCheck $1"
    echo 'Name "Tavrin-Solo"'
    echo "OutFile \"$2\""
    echo 'RequestExecutionLevel admin'
    echo 'InstallDir "$PROGRAMFILES\Quorel\Tavrin-Solo"'
    echo 'Page instfiles'
  }
  {
    header on peer.exe
    echo 'Section'
    files
    echo '  WriteUninstaller "$INSTDIR\uninstall.exe"'
    for context in current all; do
      echo "  SetShellVarContext $context"
      echo '  CreateDirectory "$SMPROGRAMS\Quorel\Tavrin-Solo"'
      echo '  CreateShortCut "$SMPROGRAMS\Quorel\Tavrin-Solo\Readme.lnk" "$INSTDIR\readme.txt"'
      echo '  CreateShortCut "$SMPROGRAMS\Quorel\Tavrin-Solo\TavrinSolo.lnk" "$INSTDIR\TavrinSolo.exe"'
    done
    echo "  WriteRegStr HKLM \"$key\" \"DisplayName\" \"Tavrin-Solo, Tavrin Solo Cueboard\""
    echo "  WriteRegStr HKLM \"$key\" \"Publisher\" \"Quorel Software\""
    echo "  WriteRegStr HKLM \"$key\" \"UninstallString\" \"\$INSTDIR\\uninstall.exe\""
    echo "  WriteRegStr HKLM \"$key\" \"DisplayIcon\" \"\$INSTDIR\\uninstall.exe\""
    echo 'SectionEnd'
    echo 'Section "Uninstall"'
    for context in current all; do
      echo "  SetShellVarContext $context"
      echo '  RMDir /r "$SMPROGRAMS\Quorel\Tavrin-Solo"'
    done
    echo '  RMDir /r "$INSTDIR"'
    echo "  DeleteRegKey HKLM \"$key\""
    echo 'SectionEnd'
  } >"$dir/peer.nsi.new"
  {
    header off floor.exe
    echo 'Section'
    files
    echo 'SectionEnd'
  } >"$dir/floor.nsi.new"
  # Rewritten only when changed, so that the installers are made again only then.
  for file in peer floor; do
    cmp -s "$dir/$file.nsi.new" "$dir/$file.nsi" || mv "$dir/$file.nsi.new" "$dir/$file.nsi"
    rm -f "$dir/$file.nsi.new"
  done
}

need_peer() {
  command -v makensis >/dev/null && return 0
  echo "installing Debian's nsis for makensis" >&2
  local sudo=
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get install -y -qq --no-install-recommends nsis >/dev/null
}

# seconds COMMAND...: the wall time of one run.
seconds() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

# min A B: the smaller of two times.
min() { if [ -z "$1" ] || [ "$(echo "$2 < $1" | bc -l)" = 1 ]; then echo "$2"; else echo "$1"; fi; }

bench_build() {
  local ours peer
  [ -x "$packtool" ] && [ -f "$installer" ] || { echo "build first: bash scripts/build.sh host win" >&2; exit 1; }
  need_peer
  ours= peer=
  # Runs alternate, so that a change in the machine's load touches both sides alike.
  for _ in $(seq 1 "$runs"); do
    ours=$(min "$ours" "$(seconds "$packtool" build "$installer" "$payload/manifest.txt" "$work/ours-$mb.exe")")
    peer=$(min "$peer" "$(cd "$payload" && seconds makensis -V1 peer.nsi)")
  done
  echo "== build: an installer of the $mb MiB payload, best of $runs runs each, files in the page cache"
  printf '%-40s %6.3f s  %s bytes\n' "packtool build (ours)" "$ours" "$(stat -c %s "$work/ours-$mb.exe")"
  printf '%-40s %6.3f s  %s bytes\n' "makensis, SetCompress off (peer)" "$peer" "$(stat -c %s "$payload/peer.exe")"
  printf 'ours / peer: %.2f\n' "$(echo "$ours / $peer" | bc -l)"
}

# wine_seconds PROGRAM ARGS...: the wall time of one run under Wine; a non-zero exit ends the script.
wine_seconds() {
  local start end rc=0
  start=$(date +%s.%N)
  wine "$@" >/dev/null 2>&1 || rc=$?
  end=$(date +%s.%N)
  [ "$rc" = 0 ] || { echo "wine $* exited $rc" >&2; exit 1; }
  echo "$end - $start" | bc -l
}

# min_of NAME SECONDS: keeps the smaller time in the variable NAME.
min_of() { printf -v "$1" '%s' "$(min "${!1}" "$2")"; }

# median TIMES...: the middle one (on a shared machine the best alone can be a lucky run).
median() { printf '%s\n' "$@" | sort -g | sed -n "$((($# + 1) / 2))p"; }

# files_in FOLDER: how many files are below it.
files_in() { find "$1" -type f 2>/dev/null | wc -l; }

# phase NAME FILE: the value of one phase in install_phases' output.
phase() { sed -n "s/^$1 //p" "$2" | tr -d '\r'; }

# print_phases FILE SECONDS LABEL: the breakdown of one stamped install.
print_phases() {
  local out=$1 entry begin finish end
  entry=$(phase entry "$out") begin=$(phase begin "$out") finish=$(phase finish "$out")
  end=$(phase end "$out")
  grep '^unhooked' "$out" >&2 || true
  echo "== $3 by phase (install_phases.exe, its fastest of $runs runs: $2 s)"
  row() { printf '%-62s %6.3f s\n' "$1" "$2"; }
  row "process start and image mapping (host start to entry)" "$(echo "$entry - $begin" | bc -l)"
  row "start-up: options, mutex, folders, COM, hidden window" "$(phase startup "$out")"
  row "  of it up to COM (options, mutex, the running check, folders)" "$(phase beforecom "$out")"
  row "directory and target folder" "$(phase directory "$out")"
  row "extraction (schedule, digests, keystream, writes)" "$(phase extract "$out")"
  row "  of it the package files' writes (extracting thread)" "$(phase writes "$out")"
  printf '%-62s %6.3f s (%s waits)\n' "  of it waits for the lanes' helper" \
    "$(phase waits "$out")" "$(phase helperwaits "$out")"
  row "links (four, two folders)" "$(phase links "$out")"
  row "the copy: wait for its thread, rename" "$(phase copywait "$out")"
  row "the record" "$(phase record "$out")"
  row "process end (result to the host's end)" "$(echo "$finish - $entry - $end" | bc -l)"
  printf '%-62s %6.3f s (from %.3f s to %.3f s after entry)\n' "  the copy on its thread, beside" \
    "$(phase copy "$out")" "$(phase copyfrom "$out")" "$(phase copyto "$out")"
}

bench_install() {
  local harness=$root/scripts/wine-harness.sh prefix=$work/wine peer floor target run t side
  local before=${TAVRIN_BENCH_BEFORE:-} sides=now
  declare -A ours_exe=() phases_exe=() ours=() staged=() times=()
  [ -x "$packtool" ] && [ -f "$installer" ] && [ -f "$phases_program" ] ||
    { echo "build first: bash scripts/build.sh host win" >&2; exit 1; }
  need_peer
  ours_exe[now]=$work/ours-$mb.exe phases_exe[now]=$work/phases-$mb.exe
  # Made again whenever the installer or a script was changed since.
  [ "${ours_exe[now]}" -nt "$installer" ] ||
    "$packtool" build "$installer" "$payload/manifest.txt" "${ours_exe[now]}" >/dev/null
  [ "${phases_exe[now]}" -nt "$phases_program" ] ||
    "$packtool" build "$phases_program" "$payload/manifest.txt" "${phases_exe[now]}" >/dev/null
  # An earlier build's two programs, timed in the same run (TAVRIN_BENCH_BEFORE=FOLDER holding
  # its TavrinSoloSetup.exe and install_phases.exe).
  if [ -n "$before" ]; then
    sides="before now"
    ours_exe[before]=$work/before/ours-$mb.exe phases_exe[before]=$work/before/phases-$mb.exe
    mkdir -p "$work/before"
    "$packtool" build "$before/TavrinSoloSetup.exe" "$payload/manifest.txt" \
      "${ours_exe[before]}" >/dev/null
    "$packtool" build "$before/install_phases.exe" "$payload/manifest.txt" \
      "${phases_exe[before]}" >/dev/null
  fi
  for file in peer floor; do
    [ "$payload/$file.exe" -nt "$payload/$file.nsi" ] ||
      (cd "$payload" && makensis -V1 "$file.nsi" >/dev/null)
  done
  # The harness's prefix: a persistent wineserver, and no menu builder (WINEDLLOVERRIDES
  # winemenubuilder.exe=d): under Wine every saved link starts it, while on Windows saving a
  # link starts no process.
  "$harness" "$prefix" up
  eval "$("$harness" "$prefix" env)"
  case $WINEDLLOVERRIDES in *winemenubuilder.exe=d*) ;; *) echo "the menu builder is not disabled" >&2; exit 1 ;; esac
  target="$WINEPREFIX/drive_c/Program Files (x86)/Quorel/Tavrin-Solo"
  [ -d "$WINEPREFIX/drive_c/Program Files (x86)" ] || target="$WINEPREFIX/drive_c/Program Files/Quorel/Tavrin-Solo"
  local copy="${target#"$WINEPREFIX/drive_c/"}"
  copy="C:\\${copy//\//\\}"
  export TAVRIN_PHASES_OUT TAVRIN_PHASES_NO_LINKS
  TAVRIN_PHASES_NO_LINKS=${TAVRIN_BENCH_NO_LINKS:-}
  [ -n "$TAVRIN_PHASES_NO_LINKS" ] || unset TAVRIN_PHASES_NO_LINKS
  TAVRIN_PHASES_OUT=$(winepath -w "$work/phases.run" 2>/dev/null)
  peer= floor=
  # One untimed run of each first: the files are in the page cache for every timed run. Runs
  # alternate, so that a change in the machine's load touches every side alike.
  local order=$sides
  for run in warm $(seq 1 "$runs"); do
    # Two builds take turns going first: an install right after another's removal is dearer.
    [ "$order" = "before now" ] && order="now before" || order=$sides
    for side in $order; do
      rm -rf "$target"
      t=$(wine_seconds "${ours_exe[$side]}" -h -i)
      [ "$(files_in "$target")" = 18 ] ||
        { echo "ours left $(files_in "$target") files" >&2; exit 1; }
      [ "$run" = warm ] || { ours[$side]=$(min "${ours[$side]:-}" "$t"); times[$side]+=" $t"; }
      wine_seconds "${ours_exe[$side]}" -h -u >/dev/null
      rm -rf "$target" "$work/phases.run"
      # The same install stamped by phase: the host's start and end bound the process.
      local begin finish
      begin=$(date +%s.%N)
      wine "${phases_exe[$side]}" -h -i >/dev/null 2>&1 ||
        { echo "install_phases exited $?" >&2; exit 1; }
      finish=$(date +%s.%N)
      t=$(echo "$finish - $begin" | bc -l)
      [ "$(files_in "$target")" = 18 ] ||
        { echo "install_phases left $(files_in "$target") files" >&2; exit 1; }
      if [ "$run" != warm ] && [ "$(min "${staged[$side]:-}" "$t")" = "$t" ]; then
        staged[$side]=$t
        { cat "$work/phases.run"; echo "begin $begin"; echo "finish $finish"; } \
          >"$work/phases-$side.out"
      fi
      wine_seconds "${ours_exe[$side]}" -h -u >/dev/null
    done
    rm -rf "$target"
    t=$(wine_seconds "$payload/peer.exe" /S)
    [ "$(files_in "$target")" = 18 ] || { echo "the peer left $(files_in "$target") files" >&2; exit 1; }
    [ "$run" = warm ] || { min_of peer "$t"; times[peer]+=" $t"; }
    # Wine quotes the argument, so the uninstaller does not see _?= and runs from a temporary
    # copy, after this call returns: wait until it has removed the files.
    wine_seconds "$target/uninstall.exe" /S "_?=$copy" >/dev/null
    for _ in $(seq 1 300); do [ "$(files_in "$target")" -le 1 ] && break; sleep 0.1; done
    rm -rf "$target"
    t=$(wine_seconds "$payload/floor.exe" /S)
    [ "$(files_in "$target")" = 17 ] || { echo "the floor left $(files_in "$target") files" >&2; exit 1; }
    [ "$run" = warm ] || { min_of floor "$t"; times[floor]+=" $t"; }
  done
  rm -rf "$target" "$work/phases.run"
  "$harness" "$prefix" down
  echo "== install: the $mb MiB payload under Wine, best of $runs runs each, alternating, no menu builder"
  for side in $sides; do
    local label="TavrinSoloSetup.exe -h -i (ours)"
    [ "$side" = before ] && label="TavrinSoloSetup.exe -h -i (ours, the earlier build)"
    # shellcheck disable=SC2086
    printf '%-52s %6.3f s (median %.3f s)\n' "$label" "${ours[$side]}" "$(median ${times[$side]})"
  done
  # shellcheck disable=SC2086
  printf '%-52s %6.3f s (median %.3f s)\n' "NSIS /S, files, uninstaller, 4 links, 4 values (peer)" \
    "$peer" "$(median ${times[peer]})"
  # shellcheck disable=SC2086
  printf '%-52s %6.3f s (median %.3f s)\n' "NSIS /S, the files only, CRCCheck off (floor)" "$floor" \
    "$(median ${times[floor]})"
  for side in $sides; do
    printf 'ours%s / peer: %.2f   ours%s / floor: %.2f\n' "${side/now/}" \
      "$(echo "${ours[$side]} / $peer" | bc -l)" "${side/now/}" \
      "$(echo "${ours[$side]} / $floor" | bc -l)"
  done
  for side in $sides; do
    local what="the same install"
    [ -n "${TAVRIN_BENCH_NO_LINKS:-}" ] && what="$what, no links (TAVRIN_BENCH_NO_LINKS)"
    [ "$side" = before ] && what="the earlier build's ${what#the same }"
    print_phases "$work/phases-$side.out" "${staged[$side]}" "$what"
  done
  [ "${TAVRIN_BENCH_INSTALL_ONLY:-}" = 1 ] && return 0
  echo "== extraction in memory, $mb MiB, best of $runs runs: host, then the installer's code under Wine"
  "$builds/host/package_bench" "$mb" "$runs"
  "$harness" "$prefix" run "$builds/win/package_bench.exe" "$mb" "$runs"
  "$harness" "$prefix" down
}

mkdir -p "$work"
make_payload "$payload"
make_nsis_script "$payload"
case $section in
  build) bench_build ;;
  install) bench_install ;;
  all) bench_build; bench_install ;;
  *) echo "usage: peer_bench.sh [build|install|all] [RUNS]" >&2; exit 2 ;;
esac
