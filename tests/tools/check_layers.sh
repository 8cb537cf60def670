#!/usr/bin/env bash
# Each folder includes only from the folders below it: base/ at the bottom; package/, setup/,
# sysinfo/ and ui/ above it; app/ on top, included by nothing. Prints every include that runs
# the wrong way. With --self-test, first proves that it catches one.
set -u
top=$(cd "${1:?usage: check_layers.sh SOURCE-ROOT [--self-test]}" && pwd)
allowed() {  # folder -> the folders its files may include from
  case $1 in
    base) echo "base" ;;
    package) echo "base package" ;;
    sysinfo) echo "base sysinfo" ;;
    setup) echo "base package setup" ;;
    ui) echo "base package setup sysinfo ui" ;;
    tools) echo "base package tools" ;;
    app) echo "base package setup sysinfo ui app" ;;
  esac
}
check() {  # root -> prints offending includes; status 1 if any
  local root=$1 bad=0 folder file inc
  for folder in base package sysinfo setup ui tools app; do
    while IFS=: read -r file inc; do
      inc=${inc#*\"}; inc=${inc%%/*}
      if ! grep -qw -- "$inc" <<<"$(allowed "$folder")"; then
        echo "${file#"$root"/} includes from $inc/"; bad=1
      fi
    done < <(grep -rHo --include='*.cpp' --include='*.h' '^#include "[a-z]*/' "$root/$folder")
  done
  return $bad
}
if [ "${2:-}" = --self-test ]; then
  scratch=$(mktemp -d); trap 'rm -rf "$scratch"' EXIT
  mkdir -p "$scratch"/{base,package,sysinfo,setup,ui,tools,app}
  echo '#include "app/window.h"' >"$scratch/package/x.cpp"
  check "$scratch" >/dev/null && { echo "FAIL: an include of app/ from package/ went unseen"; exit 1; }
fi
check "$top" || { echo "FAIL: includes run against the layers"; exit 1; }
echo "layers: every include runs downwards"
