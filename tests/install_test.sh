#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs to a temporary prefix, builds examples/decrypt.c against it
# through pkg-config, and runs it, the Python example and the Python
# module's tests against the installed daemon in a private mount namespace.
# Exit 77 (skipped) without a needed tool, or where neither root nor a user
# namespace gives a private /tmp.
set -euo pipefail
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
for tool in cc pkg-config unshare; do
  command -v "$tool" >/dev/null || { echo "skipped: no $tool"; exit 77; }
done
# An ordinary user has his private /tmp in a user namespace of his own.
private=(unshare -m --propagation private)
if [ "$(id -u)" != 0 ]; then
  private=(unshare -r -m --propagation private)
  "${private[@]}" true 2>/dev/null || { echo "skipped: a private /tmp needs root or a user namespace"; exit 77; }
fi
[ -w "$build" ] || { echo "skipped: the build tree is not ours to install from (another user built it)"; exit 77; }
work=$(mktemp -d "$build/install-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
# Nothing lands outside the prefix: not a unit in the system's own folder.
outside=$(grep -v "^$work/prefix/" "$build/install_manifest.txt" || true)
[ -z "$outside" ] || { echo "installed outside the prefix $work/prefix:"; echo "$outside"; exit 1; }
pc=$(find "$work/prefix" -name tessarind-client.pc)
libdir=$(dirname "$(dirname "$pc")")
for example in decrypt stream; do
  cc -Wall -Wextra -Werror -o "$work/$example" "$src/examples/$example.c" \
    $(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs tessarind-client)
done
# The CMake package from a prefix outside /usr: headers found, and the static
# library linked from C.
mkdir "$work/consumer"
printf '%s\n' 'cmake_minimum_required(VERSION 3.16)' 'project(consumer C)' 'find_package(tessarind REQUIRED)' \
  "add_executable(decrypt_static $src/examples/decrypt.c)" \
  'target_link_libraries(decrypt_static PRIVATE tessarind::client-static)' >"$work/consumer/CMakeLists.txt"
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer/build" >/dev/null

head -c 300007 /dev/urandom >"$work/data"
key=$("$work/prefix/bin/tessarind-client" keygen)
"$work/prefix/bin/tessarind-client" encrypt -o "$work/data.enc" "$work/data" "$key"
# For the Python module's readers: a tar and a text, encrypted.
mkdir "$work/tree"
head -c 70001 /dev/urandom >"$work/tree/a"
printf 'name,count\nfirst,1\nsecond,2\n' >"$work/tree/b.csv"
tar -C "$work/tree" -cf "$work/tree.tar" a b.csv
for f in tree.tar tree/b.csv; do
  "$work/prefix/bin/tessarind-client" encrypt -o "$work/$(basename "$f").enc" "$work/$f" "$key"
done
py=python3
$py -c 'import pytest' 2>/dev/null || py=/usr/bin/python3
export key py lib=${libdir#"$work"/}

# What lies in the old /tmp (this very tree, perhaps) stays reachable
# through descriptors 7 and 9.
exec 7<"$src" 9<"$work"
"${private[@]}" bash -euo pipefail -c '
  mount -t tmpfs tmpfs /tmp
  S=/proc/$$/fd/7 W=/proc/$$/fd/9
  mkdir /tmp/t
  cd /tmp/t  # the working directory may have been in the old /tmp
  # The daemon opens no path through a magic link.
  cp "$W/data" "$W/data.enc" "$W/tree.tar" "$W/tree.tar.enc" "$W/tree/b.csv" "$W/b.csv.enc" /tmp/t/
  "$W/prefix/sbin/tessarind" &
  trap "kill $! 2>/dev/null || true" EXIT
  for _ in $(seq 200); do [ -p /tmp/TALV_PIPE ] && break; sleep 0.05; done
  export LD_LIBRARY_PATH=$W/$lib PYTHONPATH=$S/python
  "$W/decrypt" /tmp/t/data.enc "$key" | cmp - /tmp/t/data
  "$W/decrypt" --memory /tmp/t/data.enc "$key" | cmp - /tmp/t/data
  "$W/consumer/build/decrypt_static" /tmp/t/data.enc "$key" | cmp - /tmp/t/data
  # Both at once through one poll loop, as wc -l counts their lines.
  printf "3 /tmp/t/b.csv.enc\n%s /tmp/t/data.enc\n" "$(wc -l </tmp/t/data)" >/tmp/t/lines
  "$W/stream" "$key" /tmp/t/data.enc /tmp/t/b.csv.enc | sort -k2 | cmp - /tmp/t/lines
  "$py" "$S/examples/decrypt.py" /tmp/t/data.enc "$key" | cmp - /tmp/t/data
  if "$py" -c "import pytest" 2>/dev/null; then
    TESSARIND_TEST_DIR=/tmp/t TESSARIND_TEST_KEY=$key "$py" -m pytest -q -p no:cacheprovider "$S/python/tests"
  else
    touch "$W/no-pytest"
  fi
  "$W/decrypt" --stop
  wait
'
if [ -e "$work/no-pytest" ]; then
  echo "skipped: no pytest, so the Python module's tests did not run (the C and Python examples passed)"
  exit 77
fi
echo "installed library, C and Python examples and Python module work against the daemon"
