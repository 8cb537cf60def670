#!/usr/bin/env bash
# packtool reads the package straight out of the built installer: `list` of the executable
# prints the same directory as `list` of the package file the build embedded, `verify` of the
# executable passes, and an executable without a package is refused.
# Usage: package_list_installer.sh PACKTOOL INSTALLER PACKAGE OTHER_EXE
set -u
tool=$1 exe=$2 package=$3 other=$4
failures=0
diff <("$tool" list "$exe") <("$tool" list "$package") || { echo "FAIL: list differs"; failures=1; }
[ "$("$tool" list "$exe" | grep -c ' [0-9a-f]\{32\} ')" -eq 17 ] || { echo "FAIL: not 17 entries"; failures=1; }
"$tool" verify "$exe" | grep -qx "result: 0" || { echo "FAIL: verify of the installer"; failures=1; }
if "$tool" list "$other" 2>/dev/null; then echo "FAIL: listed an exe without a package"; failures=1; fi
"$tool" list "$other" 2>&1 | grep -q "without a package" || { echo "FAIL: no clear error"; failures=1; }
echo "$failures failures"
[ "$failures" -eq 0 ]
