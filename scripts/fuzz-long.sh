#!/usr/bin/env bash
# A long run of every libFuzzer harness, once in a while (not in CI):
#   scripts/fuzz-long.sh [RUNS]     default 1000000 executions per harness
# Each harness starts from its committed corpus (tests/fuzz/corpus/<name>)
# and what earlier runs found in the build tree, runs RUNS executions, and
# the corpus is then merged down to the inputs that add coverage and
# written back to tests/fuzz/corpus/<name>, which CI replays before its own
# short run. Crashes stop the script and are left in build/fuzz/crashes.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-1000000}
scripts/install-deps.sh test
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

crashes=build/fuzz/crashes
mkdir -p "$crashes"
for harness in build/fuzz/tests/fuzz/fuzz_*; do
  [[ -x "$harness" && -f "$harness" ]] || continue
  name=$(basename "$harness")
  work=build/fuzz/tests/fuzz/corpus/$name
  seeds=tests/fuzz/corpus/$name
  mkdir -p "$work" "$seeds"
  start=$(date +%s)
  "$harness" -runs="$runs" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$crashes/$name-" "$work" "$seeds" 2>"build/fuzz/$name.log" || {
    echo "$name: crashed; see build/fuzz/$name.log and $crashes" >&2
    exit 1
  }
  # The committed corpus: the smallest set with the same coverage.
  fresh=$(mktemp -d)
  "$harness" -merge=1 -max_len=4096 "$fresh" "$seeds" "$work" 2>>"build/fuzz/$name.log"
  rm -rf "$seeds"
  mv "$fresh" "$seeds"
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "build/fuzz/$name.log" | tail -n 1 |
          grep -o '[0-9]*$')
  echo "$name: ${execs:-?} executions, 0 crashes, $(ls "$seeds" | wc -l) corpus files," \
       "$(( $(date +%s) - start )) s"
done
