#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The coverage report of a build made with -DTESSARIND_COVERAGE=ON after its
# tests ran: gcovr's table per file, then one line per folder of the
# project's own code, "coverage FOLDER LINES% BRANCHES%".
# Usage: tools/coverage.sh BUILD_DIR
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
command -v gcovr >/dev/null || { echo "coverage: gcovr is needed (apt install gcovr)" >&2; exit 1; }
json=$(mktemp "$build/coverage.XXXXXX.json")
trap 'rm -f "$json"' EXIT
# Branches the compiler made for exceptions it unwinds through (this code
# throws none) and for lines it cannot reach are not the code's own.
gcovr --root "$src" --object-directory "$build" --exclude-throw-branches --exclude-unreachable-branches \
  --gcov-ignore-parse-errors \
  --filter "$src/(client|common|crypto|server|worker|protocol)/" --print-summary --txt - \
  --json-summary "$json"
python3 - "$json" <<'PY'
import json, sys
folders = {}
for f in json.load(open(sys.argv[1]))["files"]:
    folder = f["filename"].split("/")[0]
    t = folders.setdefault(folder, [0, 0, 0, 0])
    t[0] += f["line_covered"]; t[1] += f["line_total"]
    t[2] += f["branch_covered"]; t[3] += f["branch_total"]
for folder, (lc, lt, bc, bt) in sorted(folders.items()):
    print("coverage %s %.1f%% %.1f%%" % (folder, 100.0 * lc / max(lt, 1), 100.0 * bc / max(bt, 1)))
PY
