# A second payload for the build tests, made the same way on every run: the sample's 17 entry
# names with other contents and sizes (pseudo-random bytes from a fixed AES-CTR key), the fourth
# file empty. Source it, then: second_payload FOLDER  (writes FOLDER/manifest.txt and the files).
second_payload() {
  local dir=$1 i=0 name size
  mkdir -p "$dir/files"
  : >"$dir/manifest.txt"
  while read -r name; do
    i=$((i + 1))
    size=$(( (i * 52361) % 200000 + 1 ))
    [ "$i" = 4 ] && size=0
    openssl enc -aes-128-ctr -nosalt -K "$(printf '%032x' "$i")" -iv 0 -in /dev/zero 2>/dev/null |
      head -c "$size" >"$dir/files/f$i.bin"
    printf '%s | files/f%d.bin\n' "$name" "$i" >>"$dir/manifest.txt"
  done <<'NAMES'
TavrinSolo.exe
readme.txt
Startup.tsc
Manual.txt
Shortcuts.txt
Codec\QvDecode.dll
Codec\LICENSE.txt
Codec\AUTHORS.txt
Codec\CHANGES.txt
Remote\MidiFootswitch.dll
Remote\KeypadHid.dll
Remote\OscBridge.dll
Remote\SerialPedal.dll
Remote\GamepadInput.dll
Remote\LanSync.dll
Remote\PresenterClicker.dll
Remote\TimecodeLtc.dll
NAMES
}
