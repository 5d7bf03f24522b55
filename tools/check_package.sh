#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks what make package built: lintian reports no error and no warning,
# and the .deb holds both programs, the gzipped man pages, the unit, the
# tmpfiles.d entry, the copyright and the changelog, with a -dbgsym package
# beside it.
set -euo pipefail
dist=${1:-dist}
deb=$(ls "$dist"/tessarind_*_*.deb)
ls "$dist"/tessarind-dbgsym_*_*.deb >/dev/null
out=$(lintian "$dist"/tessarind_*.changes 2>&1 | grep -E '^[EW]: ' || true)
if [ -n "$out" ]; then
  echo "$out"
  exit 1
fi
contents=$(dpkg -c "$deb")
for f in ./usr/sbin/tessarind ./usr/bin/tessarind-client \
         ./usr/share/man/man8/tessarind.8.gz ./usr/share/man/man1/tessarind-client.1.gz \
         ./lib/systemd/system/tessarind.service ./usr/lib/tmpfiles.d/tessarind.conf \
         ./usr/share/doc/tessarind/copyright ./usr/share/doc/tessarind/changelog.gz; do
  if ! grep -q " $f\$" <<<"$contents"; then
    echo "missing from $deb: $f"
    exit 1
  fi
done
echo "$deb: lintian reports no error and no warning; contents complete"
