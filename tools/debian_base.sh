# SPDX-License-Identifier: MIT
# Sourced by the scripts that test in a Debian rootfs. make_base RELEASE DIR
# LOG [DEBOOTSTRAP OPTIONS...] makes a minimal Debian RELEASE in DIR from the
# host's own mirror. A release newer than the host's debootstrap (testing,
# say) is made with the unstable script, which fits every release since 12;
# testing's Release file expires between its updates, so apt there is told
# not to judge that date.
make_base() {
  local release=$1 dir=$2 log=$3 mirror script=""
  shift 3
  mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
  [ -n "$mirror" ] || mirror=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list)
  [ -e "/usr/share/debootstrap/scripts/$release" ] || script=/usr/share/debootstrap/scripts/sid
  rm -rf "$dir"
  debootstrap --variant=minbase "$@" "$release" "$dir" "$mirror" $script >"$log" 2>&1 ||
    { tail -20 "$log"; return 1; }
  if [ -n "$script" ]; then
    echo 'Acquire::Check-Valid-Until "false";' >"$dir/etc/apt/apt.conf.d/99tessarind-testing"
  fi
}
