#!/usr/bin/env bash
# Install and removal under the ANSI code page 932, 936 or 1250, in a 32-bit prefix of its own
# started in that locale. Installers in folders and with names holding 0x5C trail bytes or
# characters the code page cannot spell; Program Files and per-user Programs folders ending in a
# trail byte or unspellable; a user's folder in the per-user menu folder. Each case checks the
# exit codes, the copy's name and bytes, the record (read back in the console's code page), the
# links and their targets, no folder made outside the expected ones, and what removal started
# as the record says leaves. packtool.exe builds the host tool's bytes into 表示 from UTF-8 manifests
# ソース一覧.txt (with a byte-order mark, without) naming sources under ソース\ポ\ (trail bytes 0x5C, 0x7C
# in 932), reads them back into 能ソ, refuses an ANSI source, names unspellable paths on a console.
#   codepage_paths.sh 932|936|1250 TavrinSoloSetup.exe sysinfo_print.exe packtool.exe packtool
set -u
cp=${1:?usage: $0 932|936|1250 TavrinSoloSetup.exe sysinfo_print.exe}
installer=${2:?usage: $0 932|936|1250 TavrinSoloSetup.exe sysinfo_print.exe}
probe=${3:?usage: $0 932|936|1250 TavrinSoloSetup.exe sysinfo_print.exe}
# Cases: installer | ProgramFilesDir | Programs value | copy's name | per-user links | user's folder
# ("-": the prefix's own value; "none": no per-user links at all). Under 1250 nothing has a trail
# byte: its spellable Polish names would be '?' under 1252, its CJK ones are unspellable. A name
# read by the A calls comes best-fitted (José as Jose under 932, Peña as Pena under 1250) or with '?' (Łukasz under 936).
case $cp in
  932) locale=ja_JP.UTF-8 console=CP932 cases='C:\ソフト表\表示Setup.exe|-|-|表示Setup.exe|yes|表
C:\dl\ソ.exe|C:\ソフト表|C:\users\十\能|ソ.exe|yes|十能
C:\🎵 한\表示Setup.exe|-|C:\users\José\Programs|表示Setup.exe|none|-
C:\dl\한글.exe|-|-|TavrinSoloSetup.exe|yes|-' ;;
  936) locale=zh_CN.UTF-8 console=GBK cases='C:\誠品\誠品Setup.exe|-|-|誠品Setup.exe|yes|誠
C:\dl\誠.exe|C:\软件誠|C:\users\陳誠\誠|誠.exe|yes|陳誠
C:\🎵\誠品Setup.exe|-|C:\users\Łukasz\Programs|誠品Setup.exe|none|-
C:\dl\한글.exe|-|-|TavrinSoloSetup.exe|yes|-' ;;
  1250) locale=pl_PL.UTF-8 console=CP852 cases='C:\Łódź\Instalator żółw.exe|C:\Programy Łódź|C:\users\Łukasz\Programs|Instalator żółw.exe|yes|Źródła
C:\表\Setup-ł.exe|-|C:\users\Peña\Programs|Setup-ł.exe|none|-
C:\dl\表示.exe|-|-|TavrinSoloSetup.exe|yes|-' ;;
  *) echo "usage: $0 932|936|1250 TavrinSoloSetup.exe sysinfo_print.exe" >&2; exit 2 ;;
esac
harness=$TAVRIN_SOURCE_DIR/scripts/wine-harness.sh
dir=$TAVRIN_HARNESS_DIR-cp$cp
export TAVRIN_LOCALE=$locale TAVRIN_WINEARCH=win32
trap '"$harness" "$dir" down' EXIT
"$harness" "$dir" up || exit 1
eval "$("$harness" "$dir" env)"
failures=0
fail() { echo "FAIL: cp$cp ${case_name:-}: ${*//$WINEPREFIX\/drive_c/C:}" >&2; failures=$((failures + 1)); }
unix() { local p=${1#[Cc]:}; echo "$WINEPREFIX/drive_c${p//\\//}"; }  # every path here is on C:
# A win32 prefix: the 32-bit installer reads HKLM\Software itself, no Wow6432Node.
cv='HKLM\Software\Microsoft\Windows\CurrentVersion'
shell='HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders'
record="$cv\\Uninstall\\Quorel:Tavrin-Solo {6C0F2E93-B71A-4d5e}"
# reg_value KEY NAME: the REG_SZ datum as reg prints it (console code page), in UTF-8.
reg_value() {
  wine reg query "$1" /v "$2" </dev/null 2>/dev/null | iconv -f "$console" -t UTF-8 |
    sed -n "s/^ *$2 *REG_SZ *//p" | tr -d '\r'
}
set_value() { wine reg add "$1" /v "$2" /t REG_SZ /d "$3" /f >/dev/null 2>&1 </dev/null; }
link_target() { lnkinfo -c "windows-$cp" "$1" 2>/dev/null | sed -n 's/^\t*Local path\t*: //p'; }
# Everything on drive C but Wine's own folders, one path a line.
listing() { find "$WINEPREFIX/drive_c" \( -path "$WINEPREFIX/drive_c/windows" -o -iname temp \) -prune -o -print | sort; }

acp=$(wine "$probe" acp 2>/dev/null | tr -d '\r')
[ "$acp" = "$cp" ] || { echo "FAIL: GetACP is '$acp' in $locale, expected $cp" >&2; exit 1; }
pf0=$(reg_value "$cv" ProgramFilesDir)
programs0=$(reg_value "$shell" Programs)
common=$(reg_value 'HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders' 'Common Programs')
[ -n "$pf0" ] && [ -n "$programs0" ] && [ -n "$common" ] || { echo "FAIL: no default folders in the prefix" >&2; exit 1; }

while IFS='|' read -r setup pf programs copy peruser own; do
  case_name=$setup
  [ "$pf" = - ] && pf=$pf0
  [ "$programs" = - ] && programs=$programs0
  set_value "$cv" ProgramFilesDir "$pf"
  set_value "$shell" Programs "$programs"
  mkdir -p "$(unix "$pf")" "$(unix "$programs")" "$(dirname "$(unix "$setup")")"
  cp "$installer" "$(unix "$setup")"
  target="$pf\\Quorel\\Tavrin-Solo"
  menus=("$common\\Quorel\\Tavrin-Solo")
  [ "$peruser" = yes ] && menus+=("$programs\\Quorel\\Tavrin-Solo")
  # Only the target and menu trees may appear on drive C, below their Quorel parents.
  quorels=$(for f in "$target" "${menus[@]}"; do unix "${f%\\*}"; done)
  before=$(listing)
  wine "$setup" -h -i >/dev/null 2>&1 </dev/null
  rc=$?
  [ "$rc" = 0 ] || fail "-h -i exited with $rc"
  [ -f "$(unix "$target")/TavrinSolo.exe" ] || fail "no TavrinSolo.exe in $target"
  cmp -s "$installer" "$(unix "$target\\$copy")" ||
    fail "copy: $(ls "$(unix "$target")" 2>/dev/null | grep -i 'exe$' | tr '\n' ' ')in $target, expected $copy"
  for value in UninstallString DisplayIcon; do
    got=$(reg_value "$record" $value)
    [ "$got" = "$target\\$copy" ] || fail "$value is '$got', expected '$target\\$copy'"
  done
  for menu in "${menus[@]}"; do
    for link in Readme:readme.txt TavrinSolo:TavrinSolo.exe; do
      got=$(link_target "$(unix "$menu")/${link%%:*}.LNK")
      [ "$got" = "$target\\${link#*:}" ] || fail "$menu\\${link%%:*}.LNK points at '$got', expected '$target\\${link#*:}'"
    done
  done
  left=$(comm -13 <(echo "$before") <(listing) | grep -vF "$quorels")
  [ -z "$left" ] || fail "install made $(wc -l <<<"$left") paths elsewhere: $(head -n3 <<<"$left" | tr '\n' ' ')"
  if [ "$own" != - ]; then
    mkdir -p "$(unix "$programs\\Quorel\\Tavrin-Solo")/$own" && echo x >"$(unix "$programs\\Quorel\\Tavrin-Solo")/$own/$own.txt"
  fi

  uninstaller=$(reg_value "$record" UninstallString)
  wine "${uninstaller:-$target\\$copy}" -h -u >/dev/null 2>&1 </dev/null
  rc=$?
  [ "$rc" = 0 ] || fail "'$uninstaller' -h -u exited with $rc"
  [ -z "$(reg_value "$record" DisplayName)" ] || fail "removal left the record"
  # Left: the Quorel parents, the running copy, and the target folder with the subfolders the
  # walk reached only after the copy (it stops at the first entry it cannot delete).
  left=$(comm -13 <(echo "$before") <(listing) | grep -vxF -e "$quorels" -e "$(unix "$target\\$copy")" |
    while read -r p; do [[ -d $p && $p/ == "$(unix "$target")"/* ]] || echo "$p"; done)
  [ -z "$left" ] || fail "removal left $(wc -l <<<"$left") paths: $(head -n3 <<<"$left" | tr '\n' ' ')"
  rm -rf "$(unix "$pf")/Quorel" "$(unix "$programs")/Quorel" "$(unix "$common")/Quorel" "$(dirname "$(unix "$setup")")"
  wine reg delete "$record" /f >/dev/null 2>&1 </dev/null
done <<<"$cases"

case_name=packtool src=$(unix 'C:\ソース') out=$(unix 'C:\表示')
. "$TAVRIN_SOURCE_DIR/tests/tools/second_payload.sh" && second_payload "$src/ポ"
sed 's#| files/#| ポ/files/#' "$src/ポ/manifest.txt" >"$src/ソース一覧.txt"
{ printf '\xef\xbb\xbf'; sed 's#| files/#| ポ\\files\\#' "$src/ポ/manifest.txt"; } >"$src/ソース一覧B.txt"
"$5" build "$installer" "$src/ソース一覧.txt" "$src/host.exe" && "$5" unpack "$src/host.exe" "$dir/host" >/dev/null ||
  fail "the host tool"
cp "$installer" "$src/in.exe" && mkdir -p "$out"
for m in ソース一覧.txt ソース一覧B.txt; do
  rm -f "$out/表示.exe"
  wine "$4" build 'C:\ソース\in.exe' "C:\\ソース\\$m" 'C:\表示\表示.exe' >/dev/null 2>"$dir/err" </dev/null
  cmp -s "$src/host.exe" "$out/表示.exe" || fail "$m: not the host tool's bytes: $(cat "$dir/err")"
done
diff <(wine "$4" list 'C:\表示\表示.exe' 2>&1 </dev/null | tr -d '\r') <("$5" list "$src/host.exe") >/dev/null &&
  wine "$4" verify 'C:\表示\表示.exe' 2>&1 </dev/null | tr -d '\r' | grep -qx 'result: 0' || fail "list or verify"
wine "$4" unpack 'C:\表示\表示.exe' 'C:\表示\能ソ' >/dev/null 2>&1 </dev/null
diff -r "$dir/host" "$out/能ソ" >/dev/null || fail "unpack: not the host tool's files"
sed 's#ポ/files/f3.bin#\x83\x5c.bin#' "$src/ソース一覧.txt" >"$src/ansi.txt"
wine "$4" pack 'C:\ソース\ansi.txt' 'C:\表示\x.pkg' >/dev/null 2>"$dir/err" </dev/null
tr -d '\r' <"$dir/err" | LC_ALL=C grep -qax 'packtool: C:\\ソース\\ansi.txt:3: C:\\ソース\\.*: not UTF-8.*' ||
  fail "a source in the ANSI form: $(cat "$dir/err")"
script -qec "wine '$4' list 'C:\\表示\\한.exe'" /dev/null </dev/null | grep -q '表示\\한.exe: No such file' ||
  fail "the console did not show 表示\\한.exe"
# Under 932 the ANSI search spells ¥ (U+00A5) as 0x5C and Hangul as '?': such names in the
# target and both menu folders go with them (the installer started from elsewhere, so nothing
# there is in use), while the same names beside them, in the Quorel parents, stay.
if [ "$cp" = 932 ]; then
  case_name='¥ and Hangul names'
  set_value "$cv" ProgramFilesDir "$pf0"
  set_value "$shell" Programs "$programs0"
  setup='C:\dl\TavrinSoloSetup.exe'
  mkdir -p "$(unix 'C:\dl')" && cp "$installer" "$(unix "$setup")"
  products=("$pf0\\Quorel\\Tavrin-Solo" "$programs0\\Quorel\\Tavrin-Solo"
            "$common\\Quorel\\Tavrin-Solo")
  quorels=$(for f in "${products[@]}"; do unix "${f%\\*}"; done)
  before=$(listing)
  wine "$setup" -h -i >/dev/null 2>&1 </dev/null || fail "-h -i exited with $?"
  for f in "${products[@]}"; do
    for place in "$(unix "$f")" "$(unix "${f%\\*}")"; do
      mkdir -p "$place/メモ¥2024/한글" && echo x >"$place/価格¥1000.txt" && echo x >"$place/메모 한글.txt" &&
        echo x >"$place/メモ¥2024/メモ.txt" && echo x >"$place/メモ¥2024/한글/¥.txt" || fail "could not plant in $place"
    done
  done
  wine "$setup" -h -u >/dev/null 2>&1 </dev/null || fail "-h -u exited with $?"
  for f in "${products[@]}"; do
    [ ! -e "$(unix "$f")" ] || fail "removal left $(ls -A "$(unix "$f")" | tr '\n' ' ')in $f"
    for planted in 価格¥1000.txt '메모 한글.txt' メモ¥2024/メモ.txt メモ¥2024/한글/¥.txt; do
      [ -f "$(unix "${f%\\*}")/$planted" ] || fail "removal took $planted beside $f"
    done
  done
  left=$(comm -13 <(echo "$before") <(listing) | grep -vF -e "$quorels" -e "$(unix 'C:\dl')")
  [ -z "$left" ] || fail "install and removal left $(head -n3 <<<"$left" | tr '\n' ' ')"
  while read -r q; do rm -rf "$q"; done <<<"$quorels"
  rm -rf "$(unix 'C:\dl')"
fi
[ "$failures" -eq 0 ] || exit 1
extra=
[ "$cp" = 932 ] && extra=", ¥ and Hangul names removed with the product's folders"
echo "code page $cp: trail-byte and unspellable installer names and folders, Program Files and Programs folders, a user's menu folder, packtool.exe on UTF-8 names$extra"

