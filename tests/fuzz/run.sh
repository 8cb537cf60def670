#!/usr/bin/env bash
# Fuzzes the package logic from the committed seeds (tests/fuzz/corpus, read, never written) for
# SECONDS seconds and ends with the run's figures: executions and their rate, coverage (edges
# and features), corpus size. The exit status is the fuzzer's: non-zero when it found a crash
# (input saved as crash-* in the current folder).
# Usage: tests/fuzz/run.sh format|threads SECONDS [libFuzzer options...]
#   format   one thread, the package format and the fused loop (inputs up to 20,000 bytes)
#   threads  the lanes on one and two threads against the fused loop (inputs up to 300,000
#            bytes, past the lanes' 64 KB parts)
#   TAVRIN_FUZZ_DIR  where the fuzzers are (default build/asan, made by `scripts/build.sh asan`)
#   FUZZ_CORPUS      a folder that keeps the inputs found, for the next run (default: a temporary
#                    one, so that every run starts from the seeds alone)
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
usage="usage: run.sh format|threads SECONDS [libFuzzer options...]"
target=${1:?$usage}
seconds=${2:?$usage}
shift 2
case $target in
  format) max_len=20000 ;;
  threads) max_len=300000 ;;
  *) echo "$usage"; exit 2 ;;
esac
fuzzer=${TAVRIN_FUZZ_DIR:-$root/build/asan}/package_fuzz_$target
[ -x "$fuzzer" ] || { echo "no fuzzer at $fuzzer (build it: bash scripts/build.sh asan)"; exit 2; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
corpus=${FUZZ_CORPUS:-$scratch/corpus}
mkdir -p "$corpus"
"$fuzzer" -max_total_time="$seconds" -max_len="$max_len" -print_final_stats=1 "$@" "$corpus" \
  "$root/tests/fuzz/corpus" 2>"$scratch/log"
status=$?
[ "$status" -eq 0 ] || tail -n 40 "$scratch/log"
last=$(grep -E '^#[0-9]+' "$scratch/log" | tail -n1)
runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$scratch/log")
rate=$(sed -nE 's/^stat::average_exec_per_sec: *([0-9]+)/\1/p' "$scratch/log")
echo "$target: executions: ${runs:-?} (${rate:-?}/s)" \
  "coverage: $(sed -nE 's/.* cov: ([0-9]+) ft: ([0-9]+).*/\1 edges, \2 features/p' <<<"$last")" \
  "corpus: $(sed -nE 's/.* corp: ([0-9]+\/[0-9]+[a-zA-Z]*).*/\1/p' <<<"$last")" \
  "time limit: $seconds s, status: $status"
exit "$status"
