# SPDX-License-Identifier: MIT
"""Client of tessarind, the Blowfish-ECB decryption daemon.

Asks the daemon over its FIFOs and hands back the plain data: all of it
(decrypt), into a binary file object (decrypt_to), or as a readable file
object (open). tessarind.aio does the same for asyncio. Every call makes its
own reply FIFO, in a private directory in /tmp whatever TMPDIR says, so calls
may come from several threads at once.

`timeout` bounds each wait for the daemon, in seconds (None: no limit); data
that keeps flowing is never cut off. 0 tries once without waiting: the
request goes only if the daemon's FIFO takes it at once (else DaemonBusy), is
never asked again, and its reply is read as it comes.

Every failure raises a tessarind.Error whose str() is the line
tessarind-client prints for it (without "tessarind-client: "), naming the
path it is about, and whose errno is what the C library sets:

  DaemonNotRunning   no daemon reads the public FIFO (ECONNREFUSED)
  DaemonBusy         the daemon serves all it may and its FIFO stayed full
                     (EBUSY)
  Timeout            the daemon did not answer, or the reply stalled, in
                     time (ETIMEDOUT; also a TimeoutError)
  NotAllowed         not allowed to write the public FIFO: the group
                     tessarind is; or a stop by anyone but root and the
                     daemon's user (EACCES, EPERM; also a PermissionError)
  NotTheDaemon       something other than the daemon's FIFO sits at the
                     public path: nothing is sent to it (EPERM; also a
                     PermissionError)
  DaemonCannotRead   the daemon could not read the file: an empty reply,
                     never asked again (EIO; also a PermissionError)
  ReplyCutShort      the reply ended before the file did: the daemon
                     stopped mid-reply (EIO)
  FileError          the file is missing or not readable here (its errno;
                     also the matching OSError: FileNotFoundError,
                     PermissionError, ...)
  Error              the file is not a regular file, its size changed while
                     it was served (ESTALE), the key text is refused, a path
                     or key is longer than 255 bytes, or the reply was longer
                     than the daemon sends (EPROTO: somebody else wrote into
                     the reply FIFO; nothing of it is handed over)

Reply FIFOs are 0600 when the public FIFO is the caller's own, else 0620
with the public FIFO's group, so that only the daemon's group may write
them.

Key text is base64, '-' separators and '=' padding at the end, with white
space around it; anything else raises Error naming the position, never the
text.

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

__all__ = ["ping", "stop", "decrypt", "decrypt_to", "open", "Reader", "Error", "DaemonNotRunning", "DaemonBusy",
           "Timeout", "NotAllowed", "NotTheDaemon", "DaemonCannotRead", "ReplyCutShort", "FileError"]
__version__ = "1.19"

PUBLIC_FIFO = "/tmp/TALV_PIPE"
_FIELD = 256
_LOAD = 262144
_DECRYPT_FILE, _PING, _EXIT, _DECRYPT_CHUNK = 0, 1, 2, 3
_open = open  # the built-in, which open() below hides


class Error(Exception):
    """A request the daemon could not serve. str() is the line tessarind-client
    prints for it; errno what the C library sets."""

    errno = None


class DaemonNotRunning(Error):
    """No daemon reads the public FIFO."""


class DaemonBusy(Error):
    """The daemon's FIFO stayed full: it serves all the requests it may."""


class Timeout(Error, TimeoutError):
    """The daemon did not answer, or the reply stalled, in time."""


class NotAllowed(Error, PermissionError):
    """Not allowed to write the public FIFO (the group tessarind is), or to
    stop the daemon (root and the daemon's user are)."""


class NotTheDaemon(Error, PermissionError):
    """The public FIFO is not the daemon's: owned by another user, readable by
    others, or no FIFO at all. Nothing was sent to it."""


class DaemonCannotRead(Error, PermissionError):
    """The daemon could not read the file: its user needs read access to the
    file and search access to its directories."""


class ReplyCutShort(Error):
    """The reply ended before the file did: the daemon stopped mid-reply."""


class FileError(Error, OSError):
    """The file is missing or not readable here. Each is also the matching
    OSError subclass: FileNotFoundError, PermissionError, NotADirectoryError."""


_FILE_ERRORS = {}


def _file_error_class(err):
    base = OSError(err, "").__class__  # the subclass the built-ins raise for err
    if base not in _FILE_ERRORS:
        _FILE_ERRORS[base] = type(base.__name__, (FileError, base), {"__module__": __name__})
    return _FILE_ERRORS[base]


def _raised(cls, err, message):
    """An exception of cls whose str() is message and whose errno is err."""
    e = cls(message)
    e.errno = err  # with strerror unset, an OSError's str() stays the message
    return e


# Where a request failed, as the C library and tessarind-client say it: the
# key text or the file (checked before anything is sent), the daemon (the
# request not taken) or the reply (what came back). With the errno, the pair
# picks the error and its line.
_KEY, _FILE, _DAEMON, _REPLY = "key", "file", "daemon", "reply"


class _Failure:
    """What a line is made of, beside the stage and the errno."""

    def __init__(self, command="decrypt", path="", timeout=None, transfer=None, bad=0):
        self.command, self.path, self.timeout, self.transfer, self.bad = command, path, timeout, transfer, bad


def _owner_name(uid):
    try:
        return pwd.getpwuid(uid).pw_name
    except KeyError:
        return str(uid)


def _granted(st, uid, groups, bit):
    """Whether the mode bits grant uid (in groups) the access in bit."""
    if st.st_uid == uid:
        return bool(st.st_mode & (bit << 6))
    if st.st_gid in groups:
        return bool(st.st_mode & (bit << 3))
    return bool(st.st_mode & bit)


def _cannot_read(path):
    """Why the daemon could not read path, where the modes tell: it runs as
    the public FIFO's owner (as root, it is never kept out)."""
    line = "the daemon could not read %s: " % path
    try:
        fifo = os.lstat(PUBLIC_FIFO)
        user = pwd.getpwuid(fifo.st_uid)
        groups = os.getgrouplist(user.pw_name, user.pw_gid)
        real = os.path.realpath(path)
    except (OSError, KeyError):
        fifo = None
    if fifo is not None and stat.S_ISFIFO(fifo.st_mode) and fifo.st_uid != 0:
        parts = real.split("/")
        for i in range(2, len(parts)):
            directory = "/".join(parts[:i])
            try:
                entered = _granted(os.stat(directory), fifo.st_uid, groups, 1)
            except OSError:
                entered = False
            if not entered:
                return line + "its user %s cannot enter %s (see README, Installing)" % (user.pw_name, directory)
        try:
            if not _granted(os.stat(real), fifo.st_uid, groups, 4):
                return line + "its user %s may not read it (see README, Installing)" % user.pw_name
        except OSError:
            pass
    return line + ("its user needs read access to the file and search access to its directories "
                   "(see README, Installing)")


def _not_the_daemon():
    try:
        st = os.lstat(PUBLIC_FIFO)
    except OSError:
        return "%s is not the daemon's" % PUBLIC_FIFO
    if not stat.S_ISFIFO(st.st_mode) and not stat.S_ISLNK(st.st_mode):
        return "%s is not the daemon's: not a FIFO" % PUBLIC_FIFO
    return "%s is not the daemon's (owner %s, mode %04o)" % (PUBLIC_FIFO, _owner_name(st.st_uid),
                                                           stat.S_IMODE(st.st_mode))


def _key_line(err, f):
    if err == errno.ENAMETOOLONG:
        return Error, "key text is longer than 255 characters"
    if f.bad == 0:
        return Error, "key text decodes to no bytes at all"
    if f.bad < 0:
        return Error, "this looks like a hexadecimal key: give its base64 (tr a-f A-F | basenc -d --base16 | base64)"
    return Error, "key text: character %d is neither base64, '-' nor '=' padding at the end" % f.bad


def _file_line(err, f):
    if err == errno.EINVAL:
        return Error, "%s is not a regular file" % f.path
    if err == errno.ENAMETOOLONG:
        return Error, "%s: its absolute path is longer than 255 bytes" % f.path
    return _file_error_class(err), "cannot read %s: %s" % (f.path, os.strerror(err))


def _daemon_line(err, f):
    if err == errno.ECONNREFUSED:
        return DaemonNotRunning, "daemon not running (start it with: sudo systemctl start tessarind.socket)"
    if err == errno.EACCES:
        return NotAllowed, ("not allowed to write %s: %s (ask to be made a member of group tessarind)"
                            % (PUBLIC_FIFO, os.strerror(err)))
    if err == errno.ENAMETOOLONG:
        return Error, "%s: its absolute path is longer than 255 bytes" % f.path
    if err == errno.EPERM and f.command == "stop" and _stop_refused() is not None:
        return NotAllowed, "only root and the daemon's user (%s) may stop the daemon" % _stop_refused()
    if err in (errno.EPERM, errno.EINVAL):
        return NotTheDaemon, _not_the_daemon()
    return Error, "request failed: %s" % os.strerror(err)


def _reply_line(err, f):
    t = f.transfer
    if err == errno.ETIMEDOUT and t is None:
        return Timeout, "no reply in time: waited %g s for the daemon to answer the %s" % (f.timeout, f.command)
    if t is None:
        if err == errno.EPROTO:
            return Error, "unexpected reply to the %s: not what the daemon sends" % f.command
        return Error, "request failed: %s" % os.strerror(err)
    if err == errno.ETIMEDOUT and t.received:
        return Timeout, ("no reply in time: waited %g s for more of %s after %d bytes"
                         % (f.timeout, f.path, t.received))
    if err == errno.ETIMEDOUT:
        return Timeout, "no reply in time: waited %g s for the daemon to reply about %s" % (f.timeout, f.path)
    if err == errno.EIO and t.received == 0 and not t.stopped:
        return DaemonCannotRead, _cannot_read(f.path)
    if err == errno.EIO:
        return ReplyCutShort, ("reply for %s cut short: %d of %d bytes%s"
                               % (f.path, t.received, t.expected,
                                  ", and the daemon stopped meanwhile" if t.stopped else ""))
    if err == errno.ESTALE:
        return Error, ("%s changed while it was served: %d bytes when asked for, %d now"
                       % (f.path, t.expected, t.changed_size))
    if err == errno.EPROTO:
        return Error, ("unexpected reply for %s: more bytes than the daemon sends (somebody else wrote into the "
                       "reply FIFO)" % f.path)
    return Error, "request failed: %s" % os.strerror(err)


def _failure(stage, err, f=None):
    """The exception for a request that failed at stage with errno err."""
    f = f or _Failure()
    if err == errno.EBUSY:
        cls, line = DaemonBusy, "daemon busy: its FIFO stayed full for %g s" % (f.timeout or 0)
    else:
        cls, line = {_KEY: _key_line, _FILE: _file_line, _DAEMON: _daemon_line, _REPLY: _reply_line}[stage](err, f)
    return _raised(cls, err, line)


def _stop_refused():
    """The daemon's user's name when the caller may not stop it (only root and
    that user may); None when it may, or when no public FIFO is there."""
    try:
        owner = os.lstat(PUBLIC_FIFO).st_uid
    except OSError:
        return None  # the send says what is missing
    return None if os.geteuid() in (0, owner) else _owner_name(owner)


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
        pub = os.lstat(PUBLIC_FIFO)  # a symlink there is never the daemon's; the send refuses it
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


def _field(data, err):
    """A text of the record: at most 255 bytes and its NUL; else the failure
    err raises (never naming the text itself: it may be a key)."""
    if len(data) >= _FIELD:
        raise err
    return data + bytes(_FIELD - len(data))


_ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"


def _key_text(key):
    """The key as the record carries it: base64 text without the white space
    around it, or 20 raw bytes encoded."""
    if isinstance(key, (bytes, bytearray, memoryview)):
        if len(key) != 20:
            raise _raised(Error, errno.EINVAL, "a raw key is 20 bytes")
        return base64.b64encode(bytes(key))
    text = key.strip(" \t\r\n")
    lead = len(key) - len(key.lstrip(" \t\r\n"))
    if len(text.encode()) >= _FIELD:
        raise _failure(_KEY, errno.ENAMETOOLONG)
    body, _, rest = text.partition("=")
    bad = next((i + 1 for i, c in enumerate(body) if c not in _ALPHABET and c != "-"), 0)
    bad = bad or next((len(body) + 2 + i for i, c in enumerate(rest) if c != "="), 0)
    if bad:
        raise _failure(_KEY, errno.EINVAL, _Failure(bad=lead + bad))
    count = len(body.replace("-", "")) * 6 // 8
    if count == 0:
        raise _failure(_KEY, errno.EINVAL, _Failure(bad=0))
    # Hex digits are base64 characters too: a key written in hex would
    # silently give other bytes.
    if len(text) in (32, 40, 48, 64) and all(c in "0123456789abcdefABCDEF" for c in text) and count != 20:
        raise _failure(_KEY, errno.EINVAL, _Failure(bad=-1))
    return text.encode()


def _wait(fd, events, deadline):
    """Waits until fd is ready; False once the deadline (None: none) passed."""
    poller = select.poll()
    poller.register(fd, events)
    while True:
        left = None if deadline is None else max(0, deadline - time.monotonic())
        if poller.poll(None if left is None else left * 1000):
            return True
        if left is not None and time.monotonic() >= deadline:
            return False


def _deadline(timeout):
    """The end of one wait. A request sent with timeout 0 was taken at once:
    its reply is read as it comes."""
    return None if not timeout else time.monotonic() + timeout


class _Exchange:
    """A reply FIFO in a private directory, opened for reading before the
    record that names it goes out, so that the daemon's first open succeeds;
    the record; and the public FIFO it goes to."""

    def __init__(self, command, fields):
        self.fd = -1
        self.directory = tempfile.mkdtemp(prefix="tessarind-", dir="/tmp")
        try:
            os.chmod(self.directory, 0o711)  # the daemon may run as another user
            # A name nobody can guess, in a directory nobody else can list.
            reply = os.path.join(self.directory, "r-" + os.urandom(16).hex())
            os.mkfifo(reply, 0o600)
            _reply_mode(reply)
            self.fd = os.open(reply, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
            self.record = bytes([command]) + _field(reply.encode(), OSError(errno.ENAMETOOLONG, "")) + fields
        except BaseException:
            self.close()
            raise

    def open_public(self):
        """The public FIFO, opened for writing once it proved the daemon's."""
        try:
            # Never through a symlink: whatever it leads to is not the daemon's.
            fd = os.open(PUBLIC_FIFO, os.O_WRONLY | os.O_NONBLOCK | os.O_CLOEXEC | os.O_NOFOLLOW)
        except OSError as e:
            err = {errno.ENOENT: errno.ECONNREFUSED, errno.ENXIO: errno.ECONNREFUSED, errno.ELOOP: errno.EPERM}
            raise _failure(_DAEMON, err.get(e.errno, e.errno)) from None
        st = os.fstat(fd)
        if not stat.S_ISFIFO(st.st_mode) or not _trusted(st):
            os.close(fd)  # never hand a key to anything else
            raise _failure(_DAEMON, errno.EPERM if stat.S_ISFIFO(st.st_mode) else errno.EINVAL)
        return fd

    def try_send(self, fd):
        """One write, whole or nothing, so records never interleave: False
        while the FIFO is full."""
        try:
            os.write(fd, self.record)
            return True
        except BlockingIOError:
            return False
        except BrokenPipeError:
            raise _failure(_DAEMON, errno.ECONNREFUSED) from None

    def send(self, timeout, failure=None):
        fd = self.open_public()
        try:
            deadline = None if timeout is None else time.monotonic() + timeout
            while not self.try_send(fd):
                if not _wait(fd, select.POLLOUT, deadline):
                    raise _failure(_DAEMON, errno.EBUSY, failure or _Failure(timeout=timeout))
        finally:
            os.close(fd)

    def close(self):
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1
        shutil.rmtree(self.directory, ignore_errors=True)


class _Transfer:
    """One decryption: the checks made here before anything is sent, the
    record's fields, and the reply's count and verdict."""

    def __init__(self, path, key, first_load, timeout):
        self.path = os.fsdecode(path)  # as the caller named it, for the lines
        self.timeout = timeout
        self.received, self.stopped, self.changed_size = 0, False, -1
        self.stage = _KEY
        key_text = _key_text(key)
        self.stage = _FILE
        self.file = os.path.realpath(path)  # the daemon's working directory is not ours
        try:
            st = os.stat(self.file)
        except OSError as e:
            raise self.fail(e.errno) from None
        if not stat.S_ISREG(st.st_mode):
            raise self.fail(errno.EINVAL)
        if not os.access(self.file, os.R_OK):
            raise self.fail(errno.EACCES)
        self.size = st.st_size
        self.expected = min(self.size, _LOAD) if first_load else self.size
        self.command = _DECRYPT_CHUNK if first_load else _DECRYPT_FILE
        too_long = self.fail(errno.ENAMETOOLONG, _DAEMON)
        self.fields = _field(os.fsencode(self.file), too_long) + _field(key_text, too_long)

    def fail(self, err, stage=None):
        return _failure(stage or self.stage, err, _Failure("decrypt", self.path, self.timeout, self))

    def exchange(self):
        self.stage = _DAEMON
        return _Exchange(self.command, self.fields)

    def sent(self):
        self.stage = _REPLY
        self.received = 0

    def want(self, n):
        """How much to read next: never past the file's size, but one byte
        there, which tells the end from somebody else's bytes."""
        return max(1, min(n, self.expected - self.received))

    def take(self, data):
        """Counts data; an empty piece is the end of the reply, judged."""
        if not data:
            if self.received < self.expected:
                raise self.judged(errno.EIO)
            return
        if self.received + len(data) > self.expected:
            raise self.judged(errno.EPROTO)  # the extra bytes are never handed over
        self.received += len(data)

    def daemon_gone(self, first):
        """The failure for a second try that found no daemon: the one that cut
        the reply off after first bytes has gone, and none came back."""
        self.received, self.stopped, self.stage = first, True, _REPLY
        return self.fail(errno.EIO)

    def judged(self, err):
        """A reply of another length than the file had: the file changed while
        it was served, if its size did."""
        try:
            now = os.stat(self.file).st_size
        except OSError:
            now = self.size
        if now != self.size:
            self.changed_size = now
            return self.fail(errno.ESTALE)
        return self.fail(err)


class _Answer:
    """The daemon's one word back to a ping or a stop, read as it comes: no
    more of it than the word and one byte."""

    def __init__(self, command, answer, timeout):
        self.failure = _Failure("ping" if command == _PING else "stop", timeout=timeout)
        self.answer, self.got = answer, b""
        self.ex = _Exchange(command, bytes(2 * _FIELD))

    def pull(self):
        """One read, once the reply FIFO is ready: True at the end, with the
        answer checked."""
        try:
            data = os.read(self.ex.fd, len(self.answer) + 1 - len(self.got))
        except BlockingIOError:
            return False
        self.got += data
        if data and len(self.got) <= len(self.answer):
            return False
        if self.got != self.answer:
            raise _failure(_REPLY, errno.EPROTO, self.failure)
        return True

    def late(self):
        return _failure(_REPLY, errno.ETIMEDOUT, self.failure)


def _ask(command, answer, timeout):
    asked = _Answer(command, answer, timeout)
    try:
        asked.ex.send(timeout, asked.failure)
        while True:
            if not _wait(asked.ex.fd, select.POLLIN, _deadline(timeout)):
                raise asked.late()
            if asked.pull():
                return
    finally:
        asked.ex.close()


def ping(timeout=5.0):
    """Returns once the daemon answered "OK"."""
    _ask(_PING, b"OK", timeout)


def stop(timeout=5.0):
    """Returns once the daemon answered "BYE"; it then ends (under systemd, until the next request).
    Only root and the daemon's user may stop it: anyone else gets NotAllowed, and nothing is sent."""
    if _stop_refused() is not None:
        raise _failure(_DAEMON, errno.EPERM, _Failure("stop", timeout=timeout))
    _ask(_EXIT, b"BYE", timeout)


class _Raw(io.RawIOBase):
    """The reply of one transfer, read as it comes, never more of it than the
    file's size; the end judged as decrypt judges it."""

    def __init__(self, transfer):
        super().__init__()
        self._t = transfer
        self._ex = transfer.exchange()
        self._eof = False
        try:
            self._ex.send(transfer.timeout, _Failure("decrypt", transfer.path, transfer.timeout, transfer))
            transfer.sent()
        except BaseException:
            self._ex.close()
            raise

    def readable(self):
        return True

    def readinto(self, b):
        if self._eof or len(b) == 0:
            return 0
        while True:
            if not _wait(self._ex.fd, select.POLLIN, _deadline(self._t.timeout)):
                raise self._t.fail(errno.ETIMEDOUT)
            view = memoryview(b).cast("B")[:self._t.want(len(b))]
            try:
                n = os.readv(self._ex.fd, [view])
            except BlockingIOError:
                continue
            # Judged once: after a failure, the end is not looked for again.
            self._eof = True
            self._t.take(view[:n])
            self._eof = n == 0
            return n

    def close(self):
        try:
            # A reader that read the whole file but not yet its end: the end
            # is checked here. One that stopped early just goes.
            if not self.closed and not self._eof and self._t.received == self._t.expected:
                while self.readinto(bytearray(1)):
                    pass
        finally:
            self._ex.close()
            super().close()


class Reader(io.BufferedReader):
    """The plain data of one transfer as a readable binary file: read, readinto,
    readline, a context manager; iteration gives pieces as they come. Not
    seekable (for tarfile, use a stream mode such as "r|*"). A failure raises
    at the end of the data, or at close() after the last byte; a reader closed
    early just ends the transfer."""

    def __next__(self):
        piece = self.read1(65536)
        if not piece:
            raise StopIteration
        return piece


def open(path, key, first_load=False, timeout=5.0):
    """Sends the request for the file at path (or its first 262144 bytes) and
    returns a Reader of its plain data. key is the base64 key text ('-'
    ignored) or the 20 raw key bytes."""
    return Reader(_Raw(_Transfer(path, key, first_load, timeout)), 65536)


def decrypt_to(path, key, fileobj, first_load=False, timeout=5.0):
    """Writes the plain data of the file at path (or of its first 262144 bytes)
    to fileobj as it comes; returns the number of bytes written. key is the
    base64 key text ('-' ignored) or the 20 raw key bytes. Nothing is asked
    twice: what was written stays."""
    return _decrypt_into(_Transfer(path, key, first_load, timeout), fileobj.write)


def _decrypt_into(transfer, write):
    raw = _Raw(transfer)
    try:
        buf = bytearray(65536)
        while True:
            n = raw.readinto(buf)
            if not n:
                return transfer.received
            write(memoryview(buf)[:n])
    finally:
        raw.close()


class _Plain:
    """The reply in one buffer of the file's size, filled in place and handed
    over as it is: the plain data is held once, not in pieces and then
    joined."""

    def __init__(self, size):
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
    bytes. A reply cut short is asked for once more: nothing of it has
    reached the caller. key as for decrypt_to."""
    transfer = _Transfer(path, key, first_load, timeout)
    return _with_second_try(transfer, lambda: _once(transfer))


def _once(transfer):
    plain = _Plain(transfer.expected)
    _decrypt_into(transfer, plain.write)
    return plain.value()


def _with_second_try(transfer, attempt):
    """attempt(), and once more if the reply was cut short (a daemon restarted
    mid-reply, say), unless timeout 0 asked for one try."""
    try:
        return attempt()
    except ReplyCutShort:
        if transfer.timeout == 0:
            raise
        first = transfer.received
    try:
        return attempt()
    except DaemonNotRunning:
        raise transfer.daemon_gone(first) from None
