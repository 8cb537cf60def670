#!/usr/bin/env bash
# DLL planting where the search cannot be restricted: under Wine reporting Vista, a copy of the
# installer installs and removes with each system DLL that it loads from the system folder first
# planted beside it, one at a time and preferred as Windows prefers the program's folder
# (name=n,b); the planted DLL (setup_planted_dll, which leaves NAME.dll.ran when it runs) never runs.
# Usage: app_planted_dlls.sh TavrinSoloSetup.exe setup_planted_dll.dll sysinfo_print.exe
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/app_lib.sh"
planted=$2 sysinfo=$3

# Wine reports Vista to programs of this name only (per-program setting: parallel tests keep
# their version); the control shows that it does.
copy_name=PlantedSetup.exe
wine reg add "HKCU\\Software\\Wine\\AppDefaults\\$copy_name" /v Version /d vista /f \
  >/dev/null 2>&1 </dev/null || fail "could not set the Vista version"
mkdir -p "$work/control"
cp "$sysinfo" "$work/control/$copy_name"
wine "$work/control/$copy_name" 2>/dev/null </dev/null | grep -q "GetVersionExA 6\.0 " ||
  fail "Wine does not report Vista to $copy_name"

ensure_removed
# Wine's own user32 imports version.dll, so under Wine a planted version.dll is loaded with
# user32 before the program runs; on Windows it is loaded later by name, as the others are.
for name in uxtheme dwmapi propsys comctl32 shfolder cryptbase; do
  dir="$work/$name"
  mkdir -p "$dir"
  cp "$installer" "$dir/$copy_name"
  cp "$planted" "$dir/$name.dll"
  for option in -i -u; do
    WINEDLLOVERRIDES="$WINEDLLOVERRIDES;$name=n,b" wine "$dir/$copy_name" -h "$option" \
      >/dev/null 2>>"$work/stderr" </dev/null
    [ $? = 0 ] || fail "-h $option with $name.dll planted did not end with 0"
    [ "$option" = -u ] || installed || fail "-h -i with $name.dll planted did not install"
  done
  [ ! -e "$dir/$name.dll.ran" ] || fail "the planted $name.dll ran"
done
installed && fail "the application is still installed"
echo "no planted DLL ran under Vista: uxtheme dwmapi propsys comctl32 shfolder cryptbase"
