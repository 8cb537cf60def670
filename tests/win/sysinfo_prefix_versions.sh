#!/usr/bin/env bash
# The OS line follows the Windows version that the Wine prefix is set to (winecfg /v), including
# 8.1 and 10, where GetVersionExA answers 6.2 to a program manifested for Vista and 7 only.
# The prefix's own version and registry values are put back afterwards and checked.
# Usage: sysinfo_prefix_versions.sh PATH/sysinfo_print.exe
set -u
print=${1:?usage: sysinfo_prefix_versions.sh sysinfo_print.exe}
eval "$(bash "$TAVRIN_SOURCE_DIR/scripts/wine-harness.sh" "$TAVRIN_HARNESS_DIR" env)"

keys=('HKLM\Software\Microsoft\Windows NT\CurrentVersion' 'HKLM\System\CurrentControlSet\Control\ProductOptions')
snapshot() {
  local k v
  for v in 32 64; do
    for k in "${keys[@]}"; do wine reg query "$k" /reg:$v 2>/dev/null | grep REG_ | tr -d '\r'; done
  done
}
original=$(wine winecfg /v | tr -d '\r')
before=$(snapshot)
restore() {
  local v n
  wine winecfg /v "$original"
  # winecfg adds the numeric version values that an older prefix did not have: take them out.
  for n in CurrentMajorVersionNumber CurrentMinorVersionNumber; do
    grep -q "$n" <<<"$before" && continue
    for v in 32 64; do wine reg delete "${keys[0]}" /v "$n" /f /reg:$v >/dev/null 2>&1; done
  done
}
trap restore EXIT

failed=0
check() {  # winecfg-version expected-line [basic]
  local out line
  wine winecfg /v "$1" || { echo "FAIL: winecfg /v $1"; failed=1; return; }
  out=$(wine "$print" ${3:-} | tr -d '\r')
  line=$(head -n1 <<<"$out")
  if [ "$line" = "$2" ]; then
    echo "ok   $1 ${3:-}: $line ($(tail -n1 <<<"$out"))"
  else
    echo "FAIL $1 ${3:-}: got '$line', expected '$2' ($(tail -n1 <<<"$out"))"
    failed=1
  fi
}
check win7 "O/S: WIN7"
check win7 "O/S: VISTA" basic  # the 148-byte record has no product type
check win2008r2 "O/S: VISTA"
check vista "O/S: VISTA"
check win2003 "O/S: Server 2003"
check win8 "O/S: WIN8"
check win81 "O/S: WIN8.1"
check win10 "O/S: WIN10"
# Without the true version laid over, 10 would show as 8: make sure the prefix really says 6.2.
if ! wine "$print" | tr -d '\r' | grep -q '^GetVersionExA 6\.2 '; then
  echo "note: GetVersionExA does not answer 6.2 under win10 here; the overlay was not exercised"
fi

trap - EXIT
restore
after=$(snapshot)
if [ "$(wine winecfg /v | tr -d '\r')" != "$original" ] || [ "$after" != "$before" ]; then
  echo "FAIL: the prefix's version settings were not put back"
  diff <(echo "$before") <(echo "$after")
  failed=1
fi
exit $failed
