#!/usr/bin/env bash
# The main job: builds everything and runs what exists under Wine in a throwaway prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
root=${TAVRIN_BUILD_ROOT:-build}
bash scripts/build.sh host win
harness="$root/run/wine"
trap 'bash scripts/wine-harness.sh "$harness" down' EXIT
bash scripts/wine-harness.sh "$harness" down
bash scripts/wine-harness.sh "$harness" up
eval "$(bash scripts/wine-harness.sh "$harness" env)"
echo "TavrinSoloSetup.exe: $(stat -c %s "$root/win/TavrinSoloSetup.exe") bytes"
wine "$root/win/TavrinSoloSetup.exe" -h 2>/dev/null
echo "TavrinSoloSetup.exe -h exited with $?"
