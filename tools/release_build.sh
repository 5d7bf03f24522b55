#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds and tests the tree on another Debian release, in a container rootfs
# made with debootstrap (cached in WORK/base with the build dependencies):
# make test as root, README's quick start (make demo, make test) as a new
# user, warnings as errors, then the packages and lintian (make
# check-package). The packages land in DIST, for make check-systemd on that
# release. Needs root, debootstrap and
# systemd-nspawn.
# Usage: release_build.sh RELEASE DIST WORK
set -euo pipefail
release=$1 dist=$2 work=$3
src=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$work" "$dist"
work=$(cd "$work" && pwd) dist=$(cd "$dist" && pwd)
base=$work/base root=$work/root
start=$(date +%s)
deps="build-essential cmake pkg-config libgtest-dev libsystemd-dev systemd-dev systemd python3 python3-pytest \
  debhelper lintian dh-python python3-all pybuild-plugin-pyproject python3-setuptools groff-base uidmap"
. "$src/tools/debian_base.sh"
in_root() { systemd-nspawn -q --register=no --keep-unit -D "$root" --chdir=/src --pipe "$@"; }

if [ ! -d "$base" ]; then
  make_base "$release" "$base.new" "$work/debootstrap.log"
  mv "$base.new" "$base"
fi
# apt, not debootstrap, installs the rest: it orders their configuration.
if [ "$(cat "$base/.deps" 2>/dev/null)" != "$deps" ]; then
  systemd-nspawn -q --register=no --keep-unit -D "$base" --pipe sh -c \
    "apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $deps" \
    >>"$work/debootstrap.log" 2>&1 || { tail -20 "$work/debootstrap.log"; exit 1; }
  echo "$deps" >"$base/.deps"
fi
rm -rf "$root"
cp -a "$base" "$root"
trap 'rm -rf "$root"' EXIT
mkdir "$root/src"
(cd "$src" && git ls-files -co --exclude-standard | tar -cf - -T - | tar -xf - -C "$root/src")

echo "== $release: make test, as root"
in_root make test CMAKE_FLAGS=-DTESSARIND_WERROR=ON
echo "== $release: README's quick start as a new user, on a copy of his own"
in_root sh -c 'set -e
  tmp_before=$(ls -A /tmp | sort)
  id newcomer >/dev/null 2>&1 || useradd -m newcomer
  rm -rf /home/newcomer/src && mkdir /home/newcomer/src
  tar -C /src --exclude=./build -cf - . | tar -xf - -C /home/newcomer/src
  chown -R newcomer /home/newcomer/src
  runuser -u newcomer -- make -C /home/newcomer/src demo CMAKE_FLAGS=-DTESSARIND_WERROR=ON
  [ ! -e /home/newcomer/src/build/tests/daemon_tests ] || { echo "make demo compiled the tests"; exit 1; }
  runuser -u newcomer -- make -C /home/newcomer/src test CMAKE_FLAGS=-DTESSARIND_WERROR=ON
  ran=$(tests/skip_reasons.sh /home/newcomer/src/build 90) || { echo "$ran"; exit 1; }
  echo "$ran" | tail -n 2
  rm -rf /home/newcomer/src
  [ "$tmp_before" = "$(ls -A /tmp | sort)" ] || { echo "left in /tmp:"; ls -A /tmp; exit 1; }'
echo "== $release: packages and lintian"
in_root make check-package
rm -f "$dist"/*.deb
cp "$root"/src/dist/*.deb "$dist/"
echo "$release: built and tested in $(($(date +%s) - start)) s; packages in $dist"
