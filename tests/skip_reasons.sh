#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# After a ctest run in BUILD: one line per skipped test with the reason it
# gave, which ctest itself keeps only in LastTest.log. With PERCENT: fails
# unless at least that share of the tests ran.
# Usage: skip_reasons.sh BUILD [PERCENT]
log=${1:-build}/Testing/Temporary/LastTest.log
[ -r "$log" ] || exit 0
awk -v least="${2:-0}" '
  /^[0-9]+\/[0-9]+ Test: / { name = $3; reason = ""; total++; next }
  after_skipped { reason = $0; after_skipped = 0; next }
  /: Skipped$/ { after_skipped = 1; next }
  /^skipped:/ { reason = substr($0, 10) }
  # A script that exits 77 is logged as passed, with its "skipped:" line.
  /^Test Passed/ && reason != "" { printf "skipped %s: %s\n", name, reason; skipped++ }
  /^Skip regular expression found|^Test Skipped/ {
    printf "skipped %s: %s\n", name, reason != "" ? reason : "(no reason given)"; skipped++
  }
  END {
    if (least > 0) {
      printf "%d of %d tests ran\n", total - skipped, total
      if ((total - skipped) * 100 < least * total) { printf "fewer than %d%% ran\n", least; exit 1 }
    }
  }
' "$log"
