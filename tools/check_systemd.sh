#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Boots a Debian container with systemd as PID 1, installs the built
# package and checks the service as an administrator, a member of group
# tessarind and a user outside it would meet it. Needs root, debootstrap and
# systemd-nspawn; the base system is cached in the work folder.
# Usage: check_systemd.sh DIST WORK [RELEASE]
set -euo pipefail
dist=$(cd "${1:-dist}" && pwd)
work=${2:-build-systemd}
release=${3:-bookworm}
mkdir -p "$work"
work=$(cd "$work" && pwd)
base=$work/base root=$work/root machine=tessarind-check-$$
deb=$(ls "$dist"/tessarind_*_*.deb) pydeb=$(ls "$dist"/python3-tessarind_*_all.deb)
start=$(date +%s)
. "$(dirname "$0")/debian_base.sh"

if [ ! -x "$base/usr/bin/systemctl" ] || [ ! -x "$base/usr/bin/python3" ]; then
  make_base "$release" "$base.new" "$work/debootstrap.log" \
    --include=systemd,systemd-sysv,dbus,libnss-systemd,adduser,python3
  rm -rf "$base"
  mv "$base.new" "$base"
fi
rm -rf "$root"
cp -a "$base" "$root"
cp "$deb" "$pydeb" "$root/root/"

# The unified cgroup hierarchy, as on a Debian host since 11: systemd 258
# and later refuse to boot on the legacy one, which nspawn would otherwise
# give where the host has it.
SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 systemd-nspawn --directory="$root" --boot --register=no --keep-unit --console=read-only \
  --machine="$machine" >"$work/boot.log" 2>&1 &
nspawn=$!
cleanup() {
  kill -TERM "$nspawn" 2>/dev/null || true
  wait "$nspawn" 2>/dev/null || true
  rm -rf "/run/systemd/nspawn/propagate/$machine" "$root"
}
trap cleanup EXIT
# The container's PID 1 is a child of nspawn once it runs systemd; before
# that, nspawn's children are helpers that soon end.
leader=""
for _ in $(seq 300); do
  for p in $(pgrep -P "$nspawn" || true); do
    case "$(cat "/proc/$p/comm" 2>/dev/null)" in systemd | init) leader=$p ;; esac
  done
  [ -n "$leader" ] && break
  sleep 0.1
done
[ -n "$leader" ] || { echo "the container did not boot"; cat "$work/boot.log"; exit 1; }
inside() { nsenter --target "$leader" --all "$@"; }
as() { local user=$1; shift; inside runuser -u "$user" -- "$@"; }
# Until systemd has booted (its bus may not answer at first).
for _ in $(seq 100); do
  state=$(inside systemctl is-system-running --wait 2>/dev/null || true)
  [ "$state" = running ] || [ "$state" = degraded ] && break
  sleep 0.2
done

passed=0 failed=0
check() {
  local what=$1
  shift
  if "$@"; then
    echo "ok: $what"
    passed=$((passed + 1))
  else
    echo "FAILED: $what"
    failed=$((failed + 1))
  fi
}
is() { [ "$1" = "$2" ] || { echo "  got: $1"; echo "  want: $2"; return 1; }; }
holds() { grep -qF -- "$2" <<<"$1" || { echo "  no \"$2\" in:"; sed 's/^/    /' <<<"$1"; return 1; }; }
lacks() { ! grep -qF -- "$2" <<<"$1" || { echo "  \"$2\" found"; return 1; }; }
fifo_id() { inside stat -c '%A %U %G %i' /tmp/TALV_PIPE 2>/dev/null || echo none; }

inside dpkg -i "/root/$(basename "$deb")" "/root/$(basename "$pydeb")" >"$work/install.log" 2>&1 ||
  { echo "installing the packages on $release failed:"; cat "$work/install.log"; exit 1; }
inside useradd -m member
inside useradd -m outsider
inside useradd -m member2
inside install -d -o member -m 0755 /srv/data

# After installation: the system user from the package's sysusers.d entry,
# the socket holds the FIFO, the service waits for it.
check "the user tessarind comes from systemd-sysusers" holds "$(inside getent passwd tessarind)" \
  ":tessarind decryption daemon:/nonexistent:/usr/sbin/nologin"
check "the socket is active after install" is "$(inside systemctl is-active tessarind.socket || true)" active
fifo=$(fifo_id)
check "the FIFO is prw--w---- tessarind tessarind" is "${fifo% *}" "prw--w---- tessarind tessarind"
check "the service is not running yet" is "$(inside systemctl is-active tessarind.service || true)" inactive

# README's flow, as written there: grant access, keygen, encrypt, make the
# file servable, decrypt as the member; exact bytes. The member's requests
# start the service.
inside adduser --quiet member tessarind
check "a member's ping starts the service" is "$(as member tessarind-client ping)" OK
as member sh -c 'cd /srv/data && head -c 3000007 /dev/urandom >plain && tessarind-client keygen -o key &&
  tessarind-client encrypt --key-file key -o plain.enc plain && chgrp tessarind plain.enc && chmod g+r plain.enc'
check "README's flow: a member's decrypt is exact" \
  as member sh -c 'cd /srv/data && tessarind-client decrypt --key-file key plain.enc > out && cmp plain out'
check "python3-tessarind: a member's decrypt is exact" as member python3 -c '
import tessarind
tessarind.ping()
key = open("/srv/data/key").read()
assert tessarind.decrypt("/srv/data/plain.enc", key) == open("/srv/data/plain", "rb").read()'
err=$(as outsider tessarind-client ping 2>&1 || true)
check "a non-member is told he may not" holds "$err" \
  "not allowed to write /tmp/TALV_PIPE: Permission denied (ask to be made a member of group tessarind)"
status=$(inside systemctl status --no-pager tessarind.service || true)
check "systemctl status: active (running)" holds "$status" "active (running)"
check "systemctl status: a notify service" is "$(inside systemctl show -p Type --value tessarind.service)" notify
# Not dumpable: the kernel then gives the files in /proc/PID to root, though
# the daemon runs as tessarind.
pid=$(inside systemctl show -p MainPID --value tessarind.service)
check "the daemon runs as tessarind and is not dumpable" \
  is "$(inside stat -c %U "/proc/$pid/status") $(inside awk '$1 == "Uid:" { print $2 }' "/proc/$pid/status")" \
  "root $(inside id -u tessarind)"
exposure=$(inside systemd-analyze security --no-pager tessarind.service 2>/dev/null |
  sed -n 's/.*Overall exposure level for tessarind.service: *\([0-9.]*\).*/\1/p')
check "systemd-analyze security: exposure ${exposure:-unknown}, 1.0 at most" \
  awk -v e="$exposure" 'BEGIN { exit !(e != "" && e + 0 <= 1.0) }'

# The log: a start line, a failed request, never the key.
as member sh -c 'cd /srv/data && cp plain.enc private.enc && chmod 0600 private.enc'
err=$(as member sh -c 'cd /srv/data && tessarind-client decrypt --key-file key -o out2 private.enc' 2>&1 || true)
check "an unreadable file: the daemon may not read it" holds "$err" \
  "the daemon could not read private.enc: its user tessarind may not read it"
sleep 0.5
journal=$(inside journalctl -u tessarind --no-pager -o cat)
check "the journal has the start line" holds "$journal" "started; public FIFO inherited from systemd"
check "the journal has the failed request" holds "$journal" "file /srv/data/private.enc: Permission denied"
check "the journal holds no key text" lacks "$journal" "$(inside cat /srv/data/key)"
check "the journal files failed requests as warnings" \
  holds "$(inside journalctl -u tessarind --no-pager -o cat -p warning..warning)" "decrypt failed: reply"
fields=$(inside journalctl -u tessarind --no-pager -o verbose TESSARIND_COMMAND=decrypt)
check "the failed request's fields: the member's uid and errno" \
  holds "$fields" "TESSARIND_UID=$(inside id -u member)"
check "and errno 13 (EACCES)" holds "$fields" "ERRNO=13"
# The counts reach systemd at most a second after they change.
counted() { inside systemctl show -p StatusText --value tessarind; }
for _ in $(seq 200); do
  [[ $(counted) == *"failed since start; 0 running, 0 waiting"* && $(counted) != *" 0 failed"* ]] && break
  sleep 0.1
done
check "systemctl status shows the counts" \
  holds "$(inside systemctl status tessarind --no-pager)" "failed since start; 0 running, 0 waiting"
check "the failed request is among them" lacks "$(counted)" " 0 failed"

# Only root and the daemon's user stop it: a member's stop is refused before
# it is sent, and his raw exit records are refused by the daemon, while
# another member's 64 MiB transfer completes exactly.
as member sh -c 'cd /srv/data && head -c 67108864 /dev/urandom >big64 &&
  tessarind-client encrypt --key-file key -o big64.enc big64 && chgrp tessarind big64.enc'
err=$(as member tessarind-client stop 2>&1 || true)
check "a member's stop is refused" holds "$err" "only root and the daemon's user (tessarind) may stop the daemon"
as member sh -c 'cd /srv/data && tessarind-client decrypt --key-file key -o big64.out big64.enc' &
decrypting=$!
inside adduser --quiet member2 tessarind
inside install -d -o member2 -m 0700 /srv/member2
as member2 mkfifo -m 0620 /srv/member2/reply
inside chgrp tessarind /srv/member2/reply
inside chmod 0711 /srv/member2
as member2 sh -c 'exec 3<>/srv/member2/reply; sleep 20' &
holder=$!
exits_member='import os, sys, time
record = bytes([2]) + b"/srv/member2/reply".ljust(256, b"\0") + bytes(512)
for _ in range(40):
    fd = os.open("/tmp/TALV_PIPE", os.O_WRONLY)
    os.write(fd, record)
    os.close(fd)
    time.sleep(0.05)'
as member2 python3 -c "$exits_member"
for _ in $(seq 20); do as member tessarind-client stop >/dev/null 2>&1 || true; done
decrypted=0
wait "$decrypting" || decrypted=$?
kill "$holder" 2>/dev/null || true
wait "$holder" 2>/dev/null || true
check "40 exit records and 20 stops of members: another member's 64 MiB decrypt is exact" \
  sh -c "[ $decrypted = 0 ] && nsenter --target $leader --all cmp /srv/data/big64 /srv/data/big64.out"
journal_refused=$(inside journalctl -u tessarind --no-pager -o cat | grep -c "exit refused: its reply FIFO is uid $(inside id -u member2)'s" || true)
check "the refused exits are logged once, with the uid" is "$journal_refused" 1
inside rm -rf /srv/member2 /srv/data/big64 /srv/data/big64.out /srv/data/big64.enc

# stop means: until the next request. The FIFO stays, and stays the daemon's.
check "root's stop" is "$(inside tessarind-client stop)" BYE
check "the FIFO is still there after a stop" is "$(fifo_id)" "$fifo"
as outsider sh -c 'rm -f /tmp/TALV_PIPE; mkfifo /tmp/TALV_PIPE' 2>/dev/null || true
check "a non-member cannot replace it" is "$(fifo_id)" "$fifo"
check "the next ping starts the daemon again" is "$(as member tessarind-client ping)" OK

# Stop storms never take the service down: 30 of root's stops in a row,
# then 100 exit records in one write.
for _ in $(seq 30); do inside tessarind-client --timeout 30 stop >/dev/null 2>&1 || true; done
exits='import os, sys
record = bytes([2]) + sys.argv[1].encode().ljust(256, b"\0") + bytes(512)
for _ in range(int(sys.argv[3])):
    fd = os.open("/tmp/TALV_PIPE", os.O_WRONLY)
    os.write(fd, record * int(sys.argv[2]))
    os.close(fd)'
as member python3 -c "$exits" /nonexistent/reply 100 1
check "30 stops and 100 exit records: the socket stays active" \
  is "$(inside systemctl is-active tessarind.socket || true)" active
check "and the FIFO stays the socket's" is "$(fifo_id)" "$fifo"
check "and the next ping is answered" is "$(as member tessarind-client --timeout 30 ping)" OK
echo "the journal of the stop burst (its last lines):"
inside journalctl -u tessarind.service -u tessarind.socket --no-pager -o short-monotonic -n 8 | sed 's/^/  /'
# An exit record whose reply path reaches no FIFO waits for nothing.
as member python3 -c "$exits" /nonexistent/reply 1 10
begin=$(date +%s%N)
answer=$(as member tessarind-client --timeout 5 ping 2>&1 || true)
check "10 exits to a missing reply path, then a ping: answered within 5 s" \
  is "$answer $(( ($(date +%s%N) - begin) / 5000000000 ))" "OK 0"

# /tmp ageing (Debian 13 ages /tmp after 10 days; here 5 s): the FIFO stays.
inside sh -c 'echo "q /tmp 1777 root root 5s" >/etc/tmpfiles.d/tmp.conf'
sleep 8
inside systemd-tmpfiles --clean
inside rm /etc/tmpfiles.d/tmp.conf
check "systemd-tmpfiles --clean after 8 idle seconds leaves the FIFO" is "$(fifo_id)" "$fifo"
check "and a ping is answered" is "$(as member tessarind-client --timeout 30 ping)" OK

# A restart while 20 records wait in the FIFO: all 20 are served.
inside systemctl kill -s SIGSTOP tessarind.service
pings=()
for i in $(seq 20); do
  as member tessarind-client --timeout 30 ping >"$work/ping.$i" 2>&1 &
  pings+=($!)
done
sleep 1
inside systemctl restart tessarind.service
for p in "${pings[@]}"; do wait "$p" || true; done
served=$(cat "$work"/ping.* | grep -c '^OK$' || true)
rm -f "$work"/ping.*
check "a restart with 20 records waiting serves all 20" is "$served" 20

# A member's request waits in the daemon behind his held share while his
# client gives up and removes its FIFO; another member makes a FIFO at the
# same path and reads it: he gets nothing.
cp "$(dirname "$0")/bound_reply.py" "$root/srv/bound_reply.py"
inside install -d -o member -m 0700 /srv/bound
as member python3 /srv/bound_reply.py /srv/data/plain.enc /srv/data/key /srv/bound >"$root/srv/bound/path" &
holder=$!
# Waits at most 30 s for the daemon's journal to hold the text.
journal_gets() {
  for _ in $(seq 300); do
    inside journalctl -u tessarind --no-pager -o cat | grep -qF -- "$1" && return 0
    sleep 0.1
  done
  return 1
}
waited=""
journal_gets "requests of uid $(inside id -u member) wait" && waited=yes
victim=$(cat "$root/srv/bound/path")
touch "$root/srv/bound/remove"
for _ in $(seq 100); do inside test -e "$victim" || break; sleep 0.05; done
as member2 sh -c "mkdir -m 0711 $(dirname "$victim") && mkfifo -m 0622 $victim"
as member2 sh -c "timeout 60 cat $victim" >"$work/stolen" &
thief=$!
touch "$root/srv/bound/release"
wait "$holder" || true
gave_up=""
journal_gets "reply $victim, file /srv/data/plain.enc: No such" && gave_up=yes
pkill -f "^cat $victim\$" || true  # from outside: the container may lack procps
wait "$thief" 2>/dev/null || true
inside rm -rf "$(dirname "$victim")" /srv/bound /srv/bound_reply.py
check "a request that waited while its client gave up writes nothing into another member's FIFO" \
  is "${waited:-no share held} ${gave_up:-not given up} $(stat -c %s "$work/stolen")" "yes yes 0"
check "and the daemon goes on" is "$(as member tessarind-client ping)" OK

# An upgrade (the same package again) during a whole-file decrypt.
as member sh -c 'cd /srv/data && head -c 400000007 /dev/zero >big &&
  tessarind-client encrypt --key-file key -o big.enc big && chgrp tessarind big.enc'
as member sh -c 'cd /srv/data && tessarind-client decrypt --key-file key -o big.out big.enc' &
decrypting=$!
sleep 0.3
inside dpkg -i "/root/$(basename "$deb")" >>"$work/install.log" 2>&1
decrypted=0
wait "$decrypting" || decrypted=$?
check "a whole-file decrypt across an upgrade is exact" \
  sh -c "[ $decrypted = 0 ] && nsenter --target $leader --all cmp /srv/data/big /srv/data/big.out"

echo "the service's journal (its own lines):"
inside journalctl -u tessarind.service --no-pager -o cat -t tessarind | sed 's/^/  /'

# Whatever an outsider leaves at the path while the socket is stopped, a
# directory or a FIFO made again and again, never keeps it from starting.
socket_restarts() {
  local ok=0
  for _ in $(seq 30); do
    inside systemctl stop tessarind.socket tessarind.service
    [ -n "${1:-}" ] && as outsider sh -c "$1" 2>/dev/null
    inside systemctl start tessarind.socket 2>/dev/null && [ "$(fifo_id | cut -d' ' -f1-3)" = "prw--w---- tessarind tessarind" ] &&
      ok=$((ok + 1))
  done
  echo "$ok"
}
check "an outsider's directory at the path: 30 of 30 socket restarts" \
  is "$(socket_restarts 'mkdir -p /tmp/TALV_PIPE/sub && touch /tmp/TALV_PIPE/sub/f')" 30
as outsider sh -c 'while [ ! -e /run/tessarind-check-stop ]; do rm -f /tmp/TALV_PIPE; mkfifo -m 0666 /tmp/TALV_PIPE; done' \
  2>/dev/null &
looper=$!
check "an outsider making a FIFO there in a loop: 30 of 30 socket restarts" is "$(socket_restarts)" 30
inside touch /run/tessarind-check-stop
wait "$looper" 2>/dev/null || true
inside rm -f /run/tessarind-check-stop
check "and a ping is answered after them" is "$(as member tessarind-client --timeout 30 ping)" OK

# README's flows as written there (readme_flow.sh reads them out of it): a
# new user alice with a file "data" in her home, the administrator's lines
# as root (without sudo, as README says), then hers, in her home (her lines
# with sudo are root's). Then the same newcomer's flow as root, in /root.
readme() { "$(dirname "$0")/readme_flow.sh" "$(dirname "$0")/../README.md" "$1"; }
run_flow() {
  local role=$1 user=$2 line
  while IFS= read -r line; do
    if [ "$user" = root ] || [[ $line == "sudo "* ]]; then
      inside sh -c "cd /root && ${line#sudo }" >/dev/null
    else
      as "$user" sh -c "cd ~$user && $line" >/dev/null
    fi || { echo "  failed: $line (as $user)"; return 1; }
  done < <(readme "$role")
}
flow_exact() {
  local home=$1
  inside cmp "$home/data" "$home/data.plain" && inside sh -c "head -c 262144 $home/data | cmp - $home/head.plain"
}
inside useradd -m alice
as alice sh -c 'cd ~alice && head -c 1000003 /dev/urandom >data'
root_flow=$(readme administrator)
check "README's administrator flow has its lines" holds "$root_flow" "adduser alice tessarind"
check "README's administrator flow, as root" run_flow administrator root
check "README's member flow, as the new member alice" run_flow member alice
check "README's member flow: decrypt and first load exact" flow_exact /home/alice
inside sh -c 'head -c 300007 /dev/urandom >/root/data'
check "README's member flow, as root" run_flow member root
check "README's member flow as root: decrypt and first load exact" flow_exact /root
# Where the daemon cannot go, the client names the directory, and the
# Python module says the same.
inside chmod 0700 /home/alice
as alice sh -c 'cd ~alice && tessarind-client encrypt --key-file key -o home.enc data'
err=$(as alice sh -c 'cd ~alice && tessarind-client decrypt --key-file key -o home.plain home.enc' 2>&1 || true)
check "a file in a closed home: the client names the directory" is "$err" \
  "tessarind-client: the daemon could not read home.enc: its user tessarind cannot enter /home/alice (see README, Installing)"
pyerr=$(as alice sh -c 'cd ~alice && python3 -c "
import tessarind
try:
    tessarind.decrypt(\"home.enc\", open(\"key\").read())
except tessarind.DaemonCannotRead as e:
    print(e)"' 2>&1 || true)
check "and Python says the same" is "tessarind-client: $pyerr" "$err"

# Purge: service and socket stopped, the FIFO gone.
inside apt-get purge -y -q tessarind >>"$work/install.log" 2>&1
check "after purge the socket is stopped" is "$(inside systemctl is-active tessarind.socket || true)" inactive
check "after purge the service is stopped" is "$(inside systemctl is-active tessarind.service || true)" inactive
check "after purge the FIFO is gone" is "$(fifo_id)" none

# A FIFO that a user outside the group made at the path before the
# installation: the socket clears it and holds its own.
as outsider mkfifo -m 0666 /tmp/TALV_PIPE
installed=ok
inside dpkg -i "/root/$(basename "$deb")" >>"$work/install.log" 2>&1 || installed=failed
check "a FIFO an outsider made first: installed, the socket active with its own FIFO" \
  is "$installed $(inside systemctl is-active tessarind.socket || true) $(fifo_id | cut -d' ' -f1-3)" \
  "ok active prw--w---- tessarind tessarind"
inside apt-get purge -y -q tessarind >>"$work/install.log" 2>&1

# A person's account named tessarind is never taken for the service's: the
# installation fails and starts nothing.
inside userdel tessarind 2>/dev/null
inside useradd -u 1500 -g tessarind tessarind
err=$(inside dpkg -i "/root/$(basename "$deb")" 2>&1 || true)
check "beside a non-system account tessarind the install fails" holds "$err" \
  "the existing account tessarind (uid 1500) is not a system account"
check "and the socket is not started" is "$(inside systemctl is-active tessarind.socket || true)" inactive

echo "$passed passed, $failed failed (make check-systemd, $(($(date +%s) - start)) s)"
[ "$failed" = 0 ]
