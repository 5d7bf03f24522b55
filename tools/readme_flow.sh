#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Prints the commands of README's code blocks marked "<!-- flow: ROLE -->",
# one a line, without their comments, for make check-systemd to run them
# as written.
# Usage: readme_flow.sh README ROLE
set -euo pipefail
awk -v role="$2" '
  $0 == "<!-- flow: " role " -->" { inflow = 1; started = 0; next }
  inflow && /^    / { line = substr($0, 5); sub(/[ \t]+# .*$/, "", line); print line; started = 1; next }
  inflow && started { inflow = 0 }
' "$1"
