#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks what make package built: lintian reports no error and no warning;
# the daemon's .deb holds both programs, the gzipped man pages, the service
# and socket units, the copyright and the changelog, with a -dbgsym package
# beside it; the library's two packages and python3-tessarind hold what they
# should.
set -euo pipefail
dist=${1:-dist}
deb=$(ls "$dist"/tessarind_*_*.deb)
ls "$dist"/tessarind-dbgsym_*_*.deb >/dev/null
# lintian leaves caches in TMPDIR: give it one of its own, removed after.
lintian_tmp=$(mktemp -d)
trap 'rm -rf "$lintian_tmp"' EXIT
out=$(TMPDIR=$lintian_tmp lintian "$dist"/tessarind_*.changes 2>&1 | grep -E '^[EW]: ' || true)
if [ -n "$out" ]; then
  echo "$out"
  exit 1
fi
# holds PACKAGE FILE...: each FILE (a pattern) stands in the package.
holds() {
  local pkg=$1 contents
  shift
  contents=$(dpkg -c "$dist/$pkg"_*.deb)
  for f in "$@"; do
    if ! grep -qE " $f( ->.*)?\$" <<<"$contents"; then
      echo "missing from $pkg: $f"
      exit 1
    fi
  done
}
# Units go where this release's systemd takes them.
units=$(pkg-config --variable=systemdsystemunitdir systemd 2>/dev/null || echo /lib/systemd/system)
units=${units#/}
holds tessarind ./usr/sbin/tessarind ./usr/bin/tessarind-client \
  ./usr/share/man/man8/tessarind.8.gz ./usr/share/man/man1/tessarind-client.1.gz \
  "./$units/tessarind.service" "./$units/tessarind.socket" ./usr/lib/sysusers.d/tessarind.conf \
  ./usr/libexec/tessarind/tessarind-clear-fifo \
  ./usr/lib/tmpfiles.d/tessarind.conf ./usr/share/bash-completion/completions/tessarind-client \
  ./usr/share/doc/tessarind/copyright ./usr/share/doc/tessarind/changelog.gz
# The shipped daemon has socket activation.
# (grep -c reads to the end: an early exit would fail the pipe under pipefail)
if ! dpkg --fsys-tarfile "$deb" | tar -xO ./usr/sbin/tessarind | grep -c sd_listen_fds >/dev/null; then
  echo "the packaged daemon is built without libsystemd"
  exit 1
fi
holds libtessarind-client1 './usr/lib/[^/]+/libtessarind-client.so.1'
holds libtessarind-client-dev ./usr/include/tessarind/client.h './usr/lib/[^/]+/libtessarind-client.a' \
  './usr/lib/[^/]+/libtessarind-client.so' './usr/lib/[^/]+/pkgconfig/tessarind-client.pc' \
  './usr/lib/[^/]+/cmake/tessarind/tessarindConfig.cmake' ./usr/share/man/man3/tessarind_client.3.gz \
  './usr/share/man/man3/tessarind_(ping|stop|decrypt|decrypt_fd|open|close|last_error|free|version).3(.gz)?' 
holds python3-tessarind ./usr/lib/python3/dist-packages/tessarind/__init__.py \
  ./usr/lib/python3/dist-packages/tessarind/aio.py
echo "$deb, the library's and the Python module's packages: lintian reports no error and no warning; contents complete"
