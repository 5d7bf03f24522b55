#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Peak memory of the client libraries' decrypt into memory, beside the
# file's size: C (tessarind_decrypt, through examples/decrypt.c --memory)
# and Python (tessarind.decrypt). The daemon runs in a private /tmp (needs
# root). Usage: client_memory.sh [BUILD] [BYTES]
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
size=${2:-600000000}
[ "$(id -u)" = 0 ] || { echo "client_memory.sh: needs root, for a private /tmp"; exit 77; }
exec unshare -m --propagation private bash -s "$src" "$build" "$size" <<'EOF'
set -euo pipefail
src=$1 build=$2 size=$3
mount -t tmpfs -o mode=1777 tmpfs /tmp
work=$(mktemp -d)
"$build/tessarind" & daemon=$!
trap 'kill $daemon 2>/dev/null; rm -rf "$work"' EXIT
cc -O2 -o "$work/decrypt" "$src/examples/decrypt.c" -I"$src/client" "$build/libtessarind-client.a" -lstdc++
head -c "$size" /dev/urandom >"$work/plain"
"$build/tessarind-client" keygen -o "$work/key"
"$build/tessarind-client" encrypt --key-file "$work/key" -o "$work/data.enc" "$work/plain"
rm "$work/plain"
key=$(cat "$work/key")
peak() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }
c=$(peak "$work/decrypt" --memory "$work/data.enc" "$key")
py=$(peak env PYTHONPATH="$src/python" /usr/bin/python3 -c '
import sys, tessarind
assert len(tessarind.decrypt(sys.argv[1], sys.argv[2], timeout=30)) == int(sys.argv[3])' "$work/data.enc" "$key" "$size")
for row in "C tessarind_decrypt:$c" "Python tessarind.decrypt:$py"; do
  awk -v label="${row%%:*}" -v kib="${row##*:}" -v size="$size" \
    'BEGIN { printf "%-26s peak %8.0f MiB, %.2fx the file (%.0f MiB)\n", label, kib / 1024, kib * 1024 / size, size / 1048576 }'
done
EOF
