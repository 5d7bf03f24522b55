# SPDX-License-Identifier: MIT
"""Client of tessarind, the Blowfish-ECB decryption daemon.

Asks the daemon over its FIFOs and hands back the plain data. Every call
makes its own reply FIFO, in a private directory in /tmp whatever TMPDIR
says, so calls may come from several threads at once.

`timeout` bounds each wait for the daemon, in seconds (None: no limit); data
that keeps flowing is never cut off. 0 tries once without waiting: the
request goes only if the daemon's FIFO takes it at once (else DaemonBusy), is
never asked again, and its reply is read as it comes.

Errors: DaemonNotRunning (the public FIFO is missing, or nobody reads it),
Timeout (the daemon did not answer, or the reply stalled, in time),
DaemonBusy (the daemon serves all it may and its FIFO stayed full),
ReplyCutShort (the reply is shorter than the file: the daemon could not read
it, or stopped mid-reply), PermissionError (not allowed to write the public
FIFO: the group tessarind is; or the file is not readable),
FileNotFoundError, NotTheDaemon (something other than the daemon's FIFO
sits at the public path: nothing is sent to it), and Error for a file that
is not a regular file, a key that decodes to no bytes, a path or key longer
than 255 bytes, or a reply longer than the daemon sends (somebody else wrote
into the reply FIFO: nothing of it is handed over).

Reply FIFOs are 0600 when the public FIFO is the caller's own, else 0620
with the public FIFO's group, so that only the daemon's group may write
them.

Key text is base64, '-' separators and '=' padding at the end, with white
space around it; anything else raises Error naming the position, never the
text. Timeout is both an Error and a TimeoutError.

Python cannot wipe memory: keys and plain data held in str and bytes objects
stay in the process's memory until it reuses it. Where that matters, use the
C library, whose tessarind_free() wipes the plain data.
"""

import base64
import errno
import io
import os
import pwd
import select
import shutil
import stat
import tempfile
import time

__all__ = ["ping", "stop", "decrypt", "decrypt_to", "Error", "DaemonNotRunning", "DaemonBusy", "ReplyCutShort",
           "NotTheDaemon", "Timeout"]
__version__ = "1.19"

PUBLIC_FIFO = "/tmp/TALV_PIPE"
_FIELD = 256
_LOAD = 262144
_DECRYPT_FILE, _PING, _EXIT, _DECRYPT_CHUNK = 0, 1, 2, 3


class Error(Exception):
    """A request the daemon could not serve."""


class DaemonNotRunning(Error):
    """No daemon reads the public FIFO."""


class DaemonBusy(Error):
    """The daemon's FIFO stayed full: it serves all the requests it may."""


class ReplyCutShort(Error):
    """The reply ended before the file did."""


class Timeout(Error, TimeoutError):
    """The daemon did not answer, or the reply stalled, in time."""


class NotTheDaemon(Error, PermissionError):
    """The public FIFO is not the daemon's: owned by another user, or readable
    by others. errno EPERM."""

    def __init__(self, message):
        super().__init__(errno.EPERM, message)

    def __str__(self):
        return self.args[1]


def _trusted(st):
    """Whether the open public FIFO is the daemon's: a FIFO owned by root, the
    caller or the user tessarind, which neither group nor others may read."""
    owners = {0, os.getuid(), os.geteuid()}
    try:
        owners.add(pwd.getpwnam("tessarind").pw_uid)
    except KeyError:
        pass
    return stat.S_ISFIFO(st.st_mode) and st.st_uid in owners and not st.st_mode & (stat.S_IRGRP | stat.S_IROTH)


def _reply_mode(reply):
    """Only the daemon's group may write the reply FIFO; see the module's text."""
    try:
        pub = os.lstat(PUBLIC_FIFO)  # a symlink there is never the daemon's; _send refuses it
    except OSError:
        return
    if pub.st_uid == os.geteuid() or not stat.S_ISFIFO(pub.st_mode):
        return
    try:
        os.chown(reply, -1, pub.st_gid)
        os.chmod(reply, 0o620)
    except PermissionError:
        if not pub.st_mode & stat.S_IWOTH:
            raise _failure(_DAEMON, errno.EACCES) from None
        os.chmod(reply, 0o622)


def _field(text, what):
    data = text.encode() if isinstance(text, str) else bytes(text)
    if len(data) >= _FIELD:
        raise _failure(_DAEMON, errno.ENAMETOOLONG, what)  # never the text itself: it may be a key
    return data + bytes(_FIELD - len(data))


_ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"


def _key_text(key):
    """The key as the record carries it: base64 text without the white space
    around it, or 20 raw bytes encoded."""
    if isinstance(key, (bytes, bytearray)):
        if len(key) != 20:
            raise Error("a raw key is 20 bytes")
        return base64.b64encode(bytes(key)).decode()
    text = key.strip(" \t\r\n")
    lead = len(key) - len(key.lstrip(" \t\r\n"))
    body, pad, rest = text.partition("=")
    for i, c in enumerate(body):
        if c not in _ALPHABET and c != "-":
            raise Error("key text: character %d is neither base64, '-' nor '=' padding at the end" % (lead + i + 1))
    for i, c in enumerate(rest):
        if c != "=":
            raise Error("key text: character %d is neither base64, '-' nor '=' padding at the end"
                        % (lead + len(body) + 2 + i))
    count = len(body.replace("-", "")) * 6 // 8
    if count == 0:
        raise Error("key text decodes to no bytes")
    # Hex digits are base64 characters too: a key written in hex would
    # silently give other bytes.
    if len(text) in (32, 40, 48, 64) and all(c in "0123456789abcdefABCDEF" for c in text) and count != 20:
        raise Error("this looks like a hexadecimal key: give its base64 (xxd -r -p | base64)")
    return text


def _wait(fd, events, deadline):
    poller = select.poll()
    poller.register(fd, events)
    while True:
        left = None if deadline is None else max(0, deadline - time.monotonic())
        if poller.poll(None if left is None else left * 1000):
            return True
        if left is not None and time.monotonic() >= deadline:
            return False


def _request(command, file_path, key_text, sink, timeout, limit=None):
    """One exchange: a reply FIFO, one whole record, the reply into sink. A
    reply longer than limit bytes raises Error as soon as the extra byte
    arrives."""
    directory = tempfile.mkdtemp(prefix="tessarind-", dir="/tmp")
    try:
        os.chmod(directory, 0o711)  # the daemon may run as another user
        # A name nobody can guess, in a directory nobody else can list.
        reply = os.path.join(directory, "r-" + os.urandom(16).hex())
        os.mkfifo(reply, 0o600)
        _reply_mode(reply)
        # Open for reading first, so that the daemon's first open succeeds.
        rfd = os.open(reply, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        try:
            record = (bytes([command]) + _field(reply, "the reply path") + _field(file_path, "the file path")
                      + _field(key_text, "the key text"))
            _send(record, timeout)
            # Sent with timeout 0, the request was taken at once: its reply
            # is read as it comes.
            deadline = lambda: None if not timeout else time.monotonic() + timeout
            received = 0
            while True:
                if not _wait(rfd, select.POLLIN, deadline()):
                    raise _failure(_REPLY, errno.ETIMEDOUT)
                try:
                    data = os.read(rfd, 65536)
                except BlockingIOError:
                    continue
                if not data:
                    return
                received += len(data)
                if limit is not None and received > limit:
                    raise _failure(_REPLY, errno.EPROTO)
                sink(data)
        finally:
            os.close(rfd)
    finally:
        shutil.rmtree(directory, ignore_errors=True)


# Where a request failed, as the C library and tessarind-client say it: the
# file (checked before anything is sent), the daemon (the request not taken)
# or the reply (what came back). With the errno, the pair picks the error.
_FILE, _DAEMON, _REPLY = "file", "daemon", "reply"


def _failure(stage, err, what=None):
    """The exception for a request that failed at stage with errno err. what
    is what the pair's message names: the path, the public FIFO's status, or
    the message itself."""
    pairs = {
        (_FILE, errno.EINVAL): lambda: Error(what + " is not a regular file"),
        (_FILE, errno.EACCES): lambda: PermissionError(err, os.strerror(err), what),
        (_DAEMON, errno.ECONNREFUSED): lambda: DaemonNotRunning("no daemon reads " + PUBLIC_FIFO),
        (_DAEMON, errno.EBUSY): lambda: DaemonBusy("the daemon's FIFO stayed full"),
        (_DAEMON, errno.EACCES): _not_member,
        (_DAEMON, errno.EPERM): lambda: _not_the_daemon(what),
        (_DAEMON, errno.EINVAL): lambda: Error(PUBLIC_FIFO + " is not a FIFO"),
        (_DAEMON, errno.ENAMETOOLONG): lambda: Error(what + " is longer than 255 bytes"),
        (_REPLY, errno.ETIMEDOUT): lambda: Timeout("no reply from the daemon in time"),
        (_REPLY, errno.EPROTO): lambda: Error(
            what or "reply longer than the daemon sends: somebody else wrote into the reply FIFO"),
        (_REPLY, errno.EIO): lambda: ReplyCutShort(what),
        (_REPLY, errno.ESTALE): lambda: Error(what),
    }
    return pairs.get((stage, err), lambda: OSError(err, os.strerror(err)))()


def _not_member():
    return PermissionError(errno.EACCES, "not allowed to write %s (ask to be made a member of group tessarind)"
                           % PUBLIC_FIFO)


def _not_the_daemon(st):
    try:
        owner = pwd.getpwuid(st.st_uid).pw_name
    except KeyError:
        owner = str(st.st_uid)
    return NotTheDaemon("%s is not the daemon's (owner %s, mode %04o)" % (PUBLIC_FIFO, owner, stat.S_IMODE(st.st_mode)))


def _send(record, timeout):
    try:
        # Never through a symlink: whatever it leads to is not the daemon's.
        fd = os.open(PUBLIC_FIFO, os.O_WRONLY | os.O_NONBLOCK | os.O_CLOEXEC | os.O_NOFOLLOW)
    except OSError as e:
        if e.errno in (errno.ENOENT, errno.ENXIO):
            raise _failure(_DAEMON, errno.ECONNREFUSED) from None
        if e.errno == errno.EACCES:
            raise _failure(_DAEMON, errno.EACCES) from None
        if e.errno == errno.ELOOP:
            raise _failure(_DAEMON, errno.EPERM, os.lstat(PUBLIC_FIFO)) from None
        raise
    try:
        st = os.fstat(fd)
        if not stat.S_ISFIFO(st.st_mode):
            raise _failure(_DAEMON, errno.EINVAL)  # never hand a key to anything else
        if not _trusted(st):
            raise _failure(_DAEMON, errno.EPERM, st)
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            try:
                os.write(fd, record)  # one write: records never interleave
                return
            except BlockingIOError:
                if not _wait(fd, select.POLLOUT, deadline):
                    raise _failure(_DAEMON, errno.EBUSY) from None
            except BrokenPipeError:
                raise _failure(_DAEMON, errno.ECONNREFUSED) from None
    finally:
        os.close(fd)


def _ask(command, answer, timeout):
    got = bytearray()
    _request(command, "", "", got.extend, timeout, len(answer))
    if bytes(got) != answer:
        raise _failure(_REPLY, errno.EPROTO, "unexpected reply %r" % bytes(got))


def ping(timeout=5.0):
    """Returns once the daemon answered "OK"."""
    _ask(_PING, b"OK", timeout)


def stop(timeout=5.0):
    """Returns once the daemon answered "BYE"; it then ends (under systemd, until the next request).
    Only root and the daemon's user may stop it: anyone else gets PermissionError, and nothing is sent."""
    try:
        owner = os.lstat(PUBLIC_FIFO).st_uid
    except OSError:
        owner = None  # the send says what is missing
    if owner is not None and os.geteuid() not in (0, owner):
        try:
            name = pwd.getpwuid(owner).pw_name
        except KeyError:
            name = str(owner)
        raise PermissionError(errno.EPERM, "only root and the daemon's user (%s) may stop the daemon" % name)
    _ask(_EXIT, b"BYE", timeout)


def decrypt_to(path, key, fileobj, first_load=False, timeout=5.0):
    """Writes the plain data of the file at path (or of its first 262144 bytes)
    to fileobj as it comes; returns the number of bytes written. key is the
    base64 key text ('-' ignored) or the 20 raw key bytes."""
    file_path = os.path.realpath(path)  # the daemon's working directory is not ours
    st = os.stat(file_path)
    if not stat.S_ISREG(st.st_mode):
        raise _failure(_FILE, errno.EINVAL, file_path)
    if not os.access(file_path, os.R_OK):
        raise _failure(_FILE, errno.EACCES, file_path)
    expected = min(st.st_size, _LOAD) if first_load else st.st_size
    if isinstance(fileobj, _Plain):
        fileobj.reserve(expected)
    written = 0

    def sink(data):
        nonlocal written
        fileobj.write(data)
        written += len(data)

    try:
        _request(_DECRYPT_CHUNK if first_load else _DECRYPT_FILE, file_path, _key_text(key), sink, timeout, expected)
        if written < expected:
            raise _failure(_REPLY, errno.EIO, "reply cut short: %d of %d bytes" % (written, expected))
    except Error:
        # A reply of another length than the file had, whose size changed.
        now = os.stat(file_path).st_size
        if now != st.st_size:
            raise _failure(_REPLY, errno.ESTALE, "%s changed while it was served: %d bytes when asked for, %d now"
                           % (file_path, st.st_size, now)) from None
        raise
    return written


class _Plain:
    """The reply in one buffer of the file's size, filled in place and
    handed over as it is: the plain data is held once, not in pieces and then
    joined."""

    def __init__(self):
        self._buf = io.BytesIO()

    def reserve(self, size):
        # A BytesIO made from a bytes object nobody else holds writes into
        # that very object, and getvalue() hands it over without a copy.
        self._buf = io.BytesIO(bytes(size))

    def write(self, data):
        self._buf.write(data)

    def value(self):
        self._buf.truncate()
        return self._buf.getvalue()


def decrypt(path, key, first_load=False, timeout=5.0):
    """The plain data of the file at path (or of its first 262144 bytes), as
    bytes. A reply cut short is asked for once more. See decrypt_to."""
    for attempt in (1, 2):
        plain = _Plain()
        try:
            decrypt_to(path, key, plain, first_load, timeout)
            return plain.value()
        except ReplyCutShort:
            # A daemon restarted mid-reply, say: nothing has reached the
            # caller yet, so it is asked once more.
            if attempt == 2 or timeout == 0:
                raise
