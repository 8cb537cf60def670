#!/usr/bin/env bash
# Line and branch coverage of the whole suite: builds the host and the Windows build with gcc's
# --coverage (build/coverage/host and build/coverage/win, or under $TAVRIN_COVERAGE_ROOT), runs
# every test of both (the Windows programs under Wine write their counters through drive Z:),
# and reports with gcovr per file and per layer: the installer's code (base/ package/ setup/
# sysinfo/ ui/ app/) and the packing tool (tools/). The lines still uncovered are listed, with
# their reasons, in scripts/coverage-uncovered.md. The last line is
#   coverage: lines L% branches B% (installer code)
# Not part of the test command; it takes several times as long.
set -uo pipefail
cd "$(dirname "$0")/.."
root=${TAVRIN_COVERAGE_ROOT:-build/coverage}
bash scripts/setup.sh
command -v gcovr >/dev/null || apt-get install -y -q gcovr >/dev/null
jobs=$(nproc)
mkdir -p "$root"
src=$PWD

build() {  # folder, cmake arguments...
  local dir=$1
  shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVRIN_COVERAGE=ON "$@" >/dev/null \
      || return 1
  fi
  cmake --build "$dir"
}
build "$root/host" || { echo "coverage: the host build failed"; exit 1; }
build "$root/win" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-mingw-i686.cmake" \
  -DTAVRIN_HOST_TOOLS="$src/$root/host/host-tools.cmake" \
  || { echo "coverage: the Windows build failed"; exit 1; }

# Counters of earlier runs would add up. The notes of objects no longer built (a target renamed
# or dropped since the last run) would be reported beside the live ones: ninja removes the dead
# objects, and notes without an object go with them.
find "$root" -name '*.gcda' -delete
for dir in "$root/host" "$root/win"; do
  ninja -C "$dir" -t cleandead >/dev/null
  find "$dir" -name '*.gcno' | while read -r notes; do
    stem=${notes%.gcno}
    [ -e "$stem.o" ] || [ -e "$stem.obj" ] || rm -f "$notes"
  done
done

# The size, byte-for-byte and PE-form checks judge the release build's executables, which the
# counters make larger and different; they say nothing about coverage here.
exclude='app_own_size_within_budget|app_build_reproducible|pe_form_'
echo "== host tests"
ctest --test-dir "$root/host" -j "$jobs" -E "$exclude" | grep -E "tests passed|\(Failed|\(Timeout"
harness="$root/win/wine"
trap 'bash scripts/wine-harness.sh "$harness" down' EXIT
bash scripts/wine-harness.sh "$harness" up >/dev/null || { echo "coverage: no Wine harness"; exit 1; }
echo "== Windows tests under Wine"
# Counters go to the build folder's absolute paths, named through drive Z: whatever the
# program's current drive.
GCOV_PREFIX=Z: GCOV_PREFIX_STRIP=0 ctest --test-dir "$root/win" -j "$jobs" -E "$exclude" \
  | grep -E "tests passed|\(Failed|\(Timeout"

# Host programs that the Windows tests run (the host packtool) took the prefix too: their counters
# are in a folder named Z: in their working directory. They are merged into the host build's.
host_abs=$(cd "$root/host" && pwd)
find "$root/win" -type d -name 'Z:' -prune | while read -r stray; do
  if [ -d "$stray$host_abs" ]; then
    rm -rf "$root/merged"
    gcov-tool merge -o "$root/merged" "$stray$host_abs" "$root/host" >/dev/null 2>&1 \
      && cp -r "$root/merged/." "$root/host/" \
      || echo "coverage: the counters of host programs run by Windows tests were not merged"
    rm -rf "$root/merged"
  fi
  rm -rf "$stray"
done

echo "== report"
common=(-r "$src" --exclude-unreachable-branches --exclude-throw-branches --gcov-ignore-parse-errors
        -e "$src/tests/" -e "$src/build/" -e "$src/sample/")
gcovr "${common[@]}" --gcov-executable gcov --json "$root/host.json" "$root/host" \
  >/dev/null 2>"$root/gcovr-host.log" || { echo "coverage: gcovr failed on the host build"; exit 1; }
gcovr "${common[@]}" --gcov-executable i686-w64-mingw32-gcov --json "$root/win.json" "$root/win" \
  >/dev/null 2>"$root/gcovr-win.log" || { echo "coverage: gcovr failed on the Windows build"; exit 1; }
merged=(-r "$src" -a "$root/host.json" -a "$root/win.json")
installer=(-f "$src/(base|package|setup|sysinfo|ui|app)/")
echo "-- installer code, per file"
gcovr "${merged[@]}" "${installer[@]}" --json-summary "$root/installer-summary.json" --txt - \
  | sed -n '/^File/,$p'
echo "-- packing tool, per file"
gcovr "${merged[@]}" -f "$src/tools/" --json-summary "$root/tool-summary.json" --txt - \
  | sed -n '/^File/,$p'
gcovr "${merged[@]}" "${installer[@]}" --html-details "$root/index.html" >/dev/null
python3 - "$root/installer-summary.json" "$root/tool-summary.json" <<'EOF'
import json, sys
installer = json.load(open(sys.argv[1]))
tool = json.load(open(sys.argv[2]))
layers = {}
for f in installer["files"]:
    layer = f["filename"].split("/")[0]
    l = layers.setdefault(layer, [0, 0, 0, 0])
    l[0] += f["line_covered"]; l[1] += f["line_total"]
    l[2] += f["branch_covered"]; l[3] += f["branch_total"]
pct = lambda c, t: 100.0 * c / t if t else 100.0
print("-- per layer")
for name in sorted(layers):
    c, t, bc, bt = layers[name]
    print(f"{name + '/':10} lines {pct(c, t):5.1f}% ({c}/{t})  branches {pct(bc, bt):5.1f}% ({bc}/{bt})")
print(f"{'tools/':10} lines {tool['line_percent']:5.1f}%  branches {tool['branch_percent']:5.1f}% (packing tool)")
low = [f["filename"] for f in installer["files"] if f["line_percent"] < 90.0]
print("installer code, files under 90% of lines: " + (", ".join(low) if low else "none")
      + " (the packing tool's files are in its table above)")
print(f"coverage: lines {installer['line_percent']:.1f}% branches {installer['branch_percent']:.1f}% (installer code)")
EOF
