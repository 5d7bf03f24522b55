#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Drives tessarind-client's bash completion as bash calls it on a Tab: each
# row is a command line (the last word is the one being completed) and what
# must be offered.
set -uo pipefail
source "$1/packaging/tessarind-client.bash"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" && touch data.enc data.key

status=0
offers() {
  local want=$1  # in sorted order
  shift
  COMP_WORDS=(tessarind-client "$@")
  COMP_CWORD=$#
  COMPREPLY=()
  _tessarind_client
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd ' ')
  if [ "$got" != "$want" ]; then
    echo "tessarind-client $*<Tab>: offered '$got', expected '$want'"
    status=1
  fi
}

offers "decrypt encrypt keygen ping stop" ""
offers "decrypt" de
offers "--help --timeout --version" --
offers "stop" --timeout 2 s
offers "" --timeout ""
offers "--first-load --key-file --progress --timeout" decrypt --
offers "data.enc data.key" decrypt --first-load data
offers "data.key" decrypt --key-file data.k
offers "--key-file --timeout -o" encrypt -
offers "--timeout -o" keygen -
offers "" ping ""
offers "" ping xyz
[ "$(complete -p tessarind-client)" = "complete -o filenames -F _tessarind_client tessarind-client" ] || {
  echo "not registered for tessarind-client"
  status=1
}
exit $status
