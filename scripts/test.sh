#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the four builds, runs the host tests
# natively and under ASan+UBSan, the host package tests under ThreadSanitizer, then the Windows tests under Wine (a throwaway prefix and an
# Xvfb display made for this run and removed after it). Ends with the total line.
set -uo pipefail
cd "$(dirname "$0")/.."
root=${TAVRIN_BUILD_ROOT:-build}
jobs=$(nproc)
bash scripts/build.sh || { echo "build failed"; echo "0 passed, 1 failed"; exit 1; }

harness="$root/win/wine"
trap 'bash scripts/wine-harness.sh "$harness" down' EXIT
bash scripts/wine-harness.sh "$harness" down

passed=0
failed=0
summaries=()
skips=()
# The cases CTest skipped in a run, one line each with the reason the case printed (the line
# after GoogleTest's "Skipped", or a script's last line).
skipped_cases() {  # junit-file
  python3 - "$1" <<'PY'
import sys, xml.etree.ElementTree as ET
try:
    cases = ET.parse(sys.argv[1]).getroot().iter("testcase")
except (OSError, ET.ParseError):
    cases = []
for case in cases:
    if case.find("skipped") is None:
        continue
    out = (case.findtext("system-out") or "").splitlines()
    reason = ""
    for i, line in enumerate(out):
        if line.endswith(": Skipped") and i + 1 < len(out):
            reason = out[i + 1]
    if not reason:
        reason = next((l for l in reversed(out) if l.strip()), "no reason printed")
    print(f"{case.get('name')}: {reason.strip()}")
PY
}
run_ctest() {  # build-folder, extra ctest arguments...
  local dir=$1 log junit
  shift
  log=$(mktemp)
  junit="$(cd "$dir" && pwd)/ctest-junit.xml"
  rm -f "$junit"
  ctest --test-dir "$dir" --output-on-failure --output-junit "$junit" "$@" 2>&1 | tee "$log"
  local skip
  while IFS= read -r skip; do
    [ -n "$skip" ] && skips+=("$(basename "$dir"): $skip")
  done < <(skipped_cases "$junit")
  local line
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n1)
  if [ -z "$line" ]; then
    failed=$((failed + 1))
    echo "no CTest summary from $dir"
  else
    local f t
    f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    t=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
    passed=$((passed + t - f))
    failed=$((failed + f))
    summaries+=("$(basename "$dir"): $line")
  fi
  rm -f "$log"
}

echo "== host tests (g++)"
run_ctest "$root/host" -j "$jobs"
echo "== host tests under AddressSanitizer + UndefinedBehaviorSanitizer (clang)"
run_ctest "$root/asan" -j "$jobs"
echo "== host package tests under ThreadSanitizer (clang)"
run_ctest "$root/tsan" -j "$jobs"
echo "== Windows tests under Wine"
bash scripts/wine-harness.sh "$harness" up || { echo "the Wine harness did not start"; failed=$((failed + 1)); }
run_ctest "$root/win" -j "$jobs"

echo
echo "== summary"
printf '%s\n' "${summaries[@]}"
if [ ${#skips[@]} -eq 0 ]; then
  echo "skipped: none"
else
  echo "skipped: ${#skips[@]} (caused by this machine)"
  printf '  %s\n' "${skips[@]}"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
