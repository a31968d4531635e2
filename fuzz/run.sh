#!/usr/bin/env bash
# Runs each fuzz target of the fuzz build for SECONDS on its own working
# corpus, seeded from the seeds the build generated; new inputs go to the
# working corpus only, a crash leaves its input in BUILD/crashes/.
#   fuzz/run.sh BUILD SECONDS
set -euo pipefail
build=$1 seconds=$2
mkdir -p "$build/crashes"
shopt -s nullglob
targets=("$build"/fuzz/seeds/*/)
[ ${#targets[@]} -gt 0 ] || { echo "no seeds under $build/fuzz/seeds: build the fuzz preset first"; exit 1; }
for seeds in "${targets[@]}"; do
  t=$(basename "$seeds")
  mkdir -p "$build/corpus/$t"
  # -timeout catches an endless wait.
  if "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=5 -artifact_prefix="$build/crashes/$t-" \
       "$build/corpus/$t" "$seeds" 2>"$build/$t.log"; then
    echo "fuzz_$t: $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$build/$t.log")"
  else
    tail -40 "$build/$t.log"
    echo "fuzz_$t failed: its input is in $build/crashes/"
    exit 1
  fi
done
