#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Lints the service and socket units and the man pages with the system's own tools.
# Exit 77 (skipped) when a tool is missing.
set -u
src=$1 daemon=$2
skipped=""
fail=0

# systemd-analyze verify makes /run/systemd if it is missing (a chroot, a
# container without systemd), which only root may.
if command -v systemd-analyze >/dev/null && [ ! -d /run/systemd ] && [ "$(id -u)" != 0 ]; then
  skipped+=" systemd-analyze (no /run/systemd here, and only root may make it)"
elif command -v systemd-analyze >/dev/null; then
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  # Verify against the built binary, since it is not installed here. The
  # man page is not installed either (groff checks it below), so its
  # reference goes: each systemd release words its absence differently.
  sed -e "s|^ExecStart=.*|ExecStart=$daemon -l|" -e '/^Documentation=man:/d' \
    "$src/packaging/tessarind.service.in" >"$tmp/tessarind.service"
  sed -e "s|^ExecStartPre=.*|ExecStartPre=$(dirname "$daemon")/tessarind-clear-fifo|" -e '/^Documentation=man:/d' \
    "$src/packaging/tessarind.socket.in" >"$tmp/tessarind.socket"
  # Nor is the user.
  out=$(systemd-analyze verify "$tmp/tessarind.service" "$tmp/tessarind.socket" 2>&1 |
        grep -v -E "Failed to resolve (user|group) tessarind" || true)
  if [ -n "$out" ]; then echo "unit: $out"; fail=1; fi
else
  skipped+=" systemd-analyze (not installed)"
fi

if command -v groff >/dev/null; then
  for page in "$src/man/tessarind.8" "$src/man/tessarind-client.1"; do
    out=$(groff -man -ww -z "$page" 2>&1)
    if [ -n "$out" ]; then echo "$page: $out"; fail=1; fi
  done
else
  skipped+=" groff (not installed)"
fi

[ "$fail" = 0 ] || exit 1
if [ -n "$skipped" ]; then echo "skipped:$skipped"; exit 77; fi
echo "unit and man pages clean"
