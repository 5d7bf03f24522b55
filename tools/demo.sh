#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A guided tour: start the daemon (or use the one running), make a key,
# encrypt a sample file, have the daemon decrypt it, compare, ping, stop.
# Leaves nothing behind.
set -euo pipefail
build=${1:-build}
daemon="$build/tessarind"
client="$build/tessarind-client"
work=$(mktemp -d)
started=""

cleanup() {
  if [ -n "$started" ] && kill -0 "$started" 2>/dev/null; then
    "$client" stop >/dev/null 2>&1 || kill "$started" 2>/dev/null || true
    wait "$started" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

step() { printf '==> %s\n' "$*"; }

if "$client" --timeout 1 ping >/dev/null 2>&1; then
  step "A tessarind daemon is already running; using it."
else
  step "Starting the daemon: $daemon"
  "$daemon" >/dev/null 2>&1 &
  started=$!
  for _ in $(seq 100); do
    "$client" --timeout 1 ping >/dev/null 2>&1 && break
    kill -0 "$started" 2>/dev/null || { echo "the daemon did not start" >&2; exit 1; }
    sleep 0.05
  done
fi

step "Generating a random 20-byte key (kept in a file, so it never shows in the process list)"
umask 077
"$client" keygen >"$work/key"

step "Making a sample file of 1 MiB and 5 bytes"
head -c 1048581 /dev/urandom >"$work/sample"

step "Encrypting it locally: $work/sample.enc"
"$client" encrypt --key-file "$work/key" -o "$work/sample.enc" "$work/sample"

# The daemon may run as its own user (the package's does): it must reach the
# encrypted file. The key and the plain data stay ours alone.
chmod 0711 "$work"
chmod 0644 "$work/sample.enc"

step "Asking the daemon to decrypt it through a private reply FIFO"
"$client" decrypt --key-file "$work/key" -o "$work/sample.out" "$work/sample.enc"

step "Comparing byte for byte"
cmp "$work/sample" "$work/sample.out"

step "Pinging the daemon"
"$client" ping

if [ -n "$started" ]; then
  step "Stopping the daemon we started"
  "$client" stop
  wait "$started"
  started=""
fi
echo "Demo succeeded: the daemon returned the file exactly as it was before encryption."
