#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs one libFuzzer target: fuzz/run.sh BUILD TARGET SECONDS. It starts
# from the committed seed corpus and keeps what it finds new in
# BUILD/corpus-TARGET; a crash leaves BUILD/TARGET-crash-*. Prints
# libFuzzer's summary lines only.
set -euo pipefail
build=$1 target=$2 seconds=$3
mkdir -p "$build/corpus-$target"
set +e
"$build/fuzz/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$build/$target-" \
  "$build/corpus-$target" "fuzz/corpus/$target" >"$build/$target.log" 2>&1
status=$?
set -e
grep -E 'Done|stat::number_of_executed_units|ERROR|check failed|SUMMARY' "$build/$target.log" || true
exit $status
