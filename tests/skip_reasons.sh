#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# After a ctest run in BUILD: one line per skipped test with the reason it
# gave, which ctest itself keeps only in LastTest.log.
# Usage: skip_reasons.sh BUILD
log=${1:-build}/Testing/Temporary/LastTest.log
[ -r "$log" ] || exit 0
awk '
  /^[0-9]+\/[0-9]+ Test: / { name = $3; reason = ""; next }
  after_skipped { reason = $0; after_skipped = 0; next }
  /: Skipped$/ { after_skipped = 1; next }
  /^skipped:/ { reason = substr($0, 10) }
  # A script that exits 77 is logged as passed, with its "skipped:" line.
  /^Test Passed/ && reason != "" { printf "skipped %s: %s\n", name, reason }
  /^Skip regular expression found|^Test Skipped/ { printf "skipped %s: %s\n", name, reason != "" ? reason : "(no reason given)" }
' "$log"
