# SPDX-License-Identifier: MIT
# For make check-systemd: a member's request that waits in the daemon while
# his client gives up. Holds the member's fair share with 64 transfers whose
# FIFOs it never reads, sends one more request, and prints that request's
# reply FIFO. Once WORK/remove exists it removes that FIFO and its
# directory, as a client that timed out does; once WORK/release exists it
# ends, and with it the 64 transfers.
# Usage: bound_reply.py DATAFILE KEYFILE WORK
import grp
import os
import sys
import tempfile
import time

data, keyfile, work = sys.argv[1:4]
key = open(keyfile).read().strip().encode()
group = grp.getgrnam("tessarind").gr_gid


def reply_fifo(directory):
    path = os.path.join(directory, "r-" + os.urandom(16).hex())
    os.mkfifo(path, 0o600)
    os.chown(path, -1, group)
    os.chmod(path, 0o620)
    return path, os.open(path, os.O_RDONLY | os.O_NONBLOCK)


def send(reply):
    fields = [reply.encode(), data.encode(), key]
    record = bytes([0]) + b"".join(f.ljust(256, b"\0") for f in fields)
    fd = os.open("/tmp/TALV_PIPE", os.O_WRONLY)
    os.write(fd, record)
    os.close(fd)


def wait_for(name):
    while not os.path.exists(os.path.join(work, name)):
        time.sleep(0.05)


held_dir = tempfile.mkdtemp(prefix="tessarind-", dir="/tmp")
os.chmod(held_dir, 0o711)
held = [reply_fifo(held_dir) for _ in range(64)]
for path, _ in held:
    send(path)
victim_dir = tempfile.mkdtemp(prefix="tessarind-", dir="/tmp")
os.chmod(victim_dir, 0o711)
victim, fd = reply_fifo(victim_dir)
send(victim)
print(victim, flush=True)
wait_for("remove")
os.close(fd)
os.unlink(victim)
os.rmdir(victim_dir)
wait_for("release")
for path, fd in held:
    os.close(fd)
    os.unlink(path)
os.rmdir(held_dir)
