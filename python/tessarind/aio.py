# SPDX-License-Identifier: MIT
"""tessarind for asyncio: the same requests, failures and lines as the
module's own calls, waited for with the event loop's readers and writers on
the reply FIFO and the public FIFO, never with a thread per call.

    plain = await tessarind.aio.decrypt(path, key)
    async with tessarind.aio.open(path, key) as reader:
        async for piece in reader:
            ...
"""

import asyncio
import errno
import os

from . import (_DAEMON, _EXIT, _PING, DaemonNotRunning, ReplyCutShort, _Answer, _Failure, _failure, _Plain,
               _stop_refused, _Transfer)

__all__ = ["ping", "stop", "decrypt", "open", "AsyncReader"]


async def _ready(fd, writer, timeout):
    """Waits until fd is readable (or writable); False when timeout (seconds,
    None: none) passed first."""
    loop = asyncio.get_running_loop()
    done = loop.create_future()
    add, remove = (loop.add_writer, loop.remove_writer) if writer else (loop.add_reader, loop.remove_reader)
    add(fd, lambda: done.done() or done.set_result(True))
    try:
        await asyncio.wait_for(done, timeout)
        return True
    except asyncio.TimeoutError:
        return False
    finally:
        remove(fd)


async def _send(ex, timeout, failure):
    fd = ex.open_public()
    try:
        while not ex.try_send(fd):
            if not await _ready(fd, True, timeout):
                raise _failure(_DAEMON, errno.EBUSY, failure)
    finally:
        os.close(fd)


async def _ask(command, answer, timeout):
    asked = _Answer(command, answer, timeout)
    try:
        await _send(asked.ex, timeout, asked.failure)
        while True:
            if not await _ready(asked.ex.fd, False, timeout or None):
                raise asked.late()
            if asked.pull():
                return
    finally:
        asked.ex.close()


async def ping(timeout=5.0):
    """Returns once the daemon answered "OK"."""
    await _ask(_PING, b"OK", timeout)


async def stop(timeout=5.0):
    """Returns once the daemon answered "BYE". As tessarind.stop."""
    if _stop_refused() is not None:
        raise _failure(_DAEMON, errno.EPERM, _Failure("stop", timeout=timeout))
    await _ask(_EXIT, b"BYE", timeout)


class AsyncReader:
    """The plain data of one transfer as it comes: await read(n), async for
    piece in reader, async with. The request goes out at the first of these
    (or when the reader is awaited). A failure raises at the end of the data,
    or at aclose() after the last byte; a reader closed early just ends the
    transfer."""

    def __init__(self, transfer):
        self._t = transfer
        self._ex = None
        self._eof = False

    async def _start(self):
        if self._ex is None:
            self._ex = self._t.exchange()
            try:
                await _send(self._ex, self._t.timeout, _Failure("decrypt", self._t.path, self._t.timeout, self._t))
                self._t.sent()
            except BaseException:
                self._ex.close()
                raise
        return self

    def __await__(self):
        return self._start().__await__()

    async def __aenter__(self):
        return await self._start()

    async def __aexit__(self, *exc):
        await self.aclose()

    def __aiter__(self):
        return self

    async def __anext__(self):
        piece = await self._piece(65536)
        if not piece:
            raise StopAsyncIteration
        return piece

    async def _piece(self, n):
        """At most n bytes as they come; b"" at the end, judged."""
        await self._start()
        if self._eof or self._ex.fd < 0:
            return b""
        while True:
            if not await _ready(self._ex.fd, False, self._t.timeout or None):
                raise self._t.fail(errno.ETIMEDOUT)
            try:
                data = os.read(self._ex.fd, self._t.want(n))
            except BlockingIOError:
                continue
            # Judged once: after a failure, the end is not looked for again.
            self._eof = True
            self._t.take(data)
            self._eof = not data
            return data

    async def read(self, n=-1):
        """Up to n bytes (all that is left when n is negative): fewer only at
        the end of the data."""
        if n == 0:
            return b""
        pieces, got = [], 0
        while n < 0 or got < n:
            piece = await self._piece(65536 if n < 0 else n - got)
            if not piece:
                break
            pieces.append(piece)
            got += len(piece)
        return b"".join(pieces)

    async def aclose(self):
        try:
            if self._ex is not None and not self._eof and self._t.received == self._t.expected:
                while await self._piece(1):
                    pass
        finally:
            if self._ex is not None:
                self._ex.close()


def open(path, key, first_load=False, timeout=5.0):
    """An AsyncReader of the plain data of the file at path (or of its first
    262144 bytes). The file and the key are checked here, at once."""
    return AsyncReader(_Transfer(path, key, first_load, timeout))


async def decrypt(path, key, first_load=False, timeout=5.0):
    """The plain data of the file at path, as bytes; a reply cut short is asked
    for once more. As tessarind.decrypt."""
    transfer = _Transfer(path, key, first_load, timeout)
    try:
        return await _once(transfer)
    except ReplyCutShort:
        if timeout == 0:
            raise
        first = transfer.received
    try:
        return await _once(transfer)
    except DaemonNotRunning:
        raise transfer.daemon_gone(first) from None


async def _once(transfer):
    plain = _Plain(transfer.expected)
    async with AsyncReader(transfer) as reader:
        async for piece in reader:
            plain.write(piece)
    return plain.value()
