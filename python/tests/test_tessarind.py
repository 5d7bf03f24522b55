# SPDX-License-Identifier: MIT
# The Python client against a real daemon, which tests/install_test.sh starts
# in a private mount namespace with its data in TESSARIND_TEST_DIR.
import asyncio
import base64
import csv
import errno
import io
import os
import re
import shutil
import stat
import tarfile
import threading

import pytest

import tessarind
import tessarind.aio

DIR = os.environ.get("TESSARIND_TEST_DIR", "")
KEY = os.environ.get("TESSARIND_TEST_KEY", "")
pytestmark = pytest.mark.skipif(not DIR, reason="needs the daemon that tests/install_test.sh starts")


def plain():
    with open(os.path.join(DIR, "data"), "rb") as f:
        return f.read()


def dashed(text):
    return "-".join(text[i:i + 3] for i in range(0, len(text), 3))


CASES = [
    ("ping", lambda: tessarind.ping(), None),
    ("timeout 0 tries once, without waiting", lambda: tessarind.ping(timeout=0), None),
    ("whole file, key text with dashes", lambda: tessarind.decrypt(DIR + "/data.enc", dashed(KEY)), plain),
    ("first load, raw key bytes",
     lambda: tessarind.decrypt(DIR + "/data.enc", base64.b64decode(KEY), first_load=True), lambda: plain()[:262144]),
    ("decrypt_to counts what it wrote", lambda: tessarind.decrypt_to(DIR + "/data.enc", KEY, io.BytesIO()),
     lambda: len(plain())),
    ("not a regular file", lambda: tessarind.decrypt(DIR, KEY), tessarind.Error),
    ("missing file", lambda: tessarind.decrypt(DIR + "/absent", KEY), FileNotFoundError),
    ("key decoding to nothing", lambda: tessarind.decrypt(DIR + "/data.enc", "=abc"), tessarind.Error),
]


@pytest.mark.parametrize("what,call,expect", CASES, ids=[c[0] for c in CASES])
def test_request(what, call, expect):
    if isinstance(expect, type) and issubclass(expect, BaseException):
        with pytest.raises(expect):
            call()
    else:
        assert call() == (expect() if callable(expect) else expect)


def test_no_daemon(monkeypatch):
    monkeypatch.setattr(tessarind, "PUBLIC_FIFO", os.path.join(DIR, "no-such-fifo"))
    with pytest.raises(tessarind.DaemonNotRunning):
        tessarind.ping(timeout=1)


@pytest.mark.parametrize("mode,link,shown", [
    (0o644, False, "0644"),  # a FIFO that others may read
    (0o620, True, "0777"),  # a symlink to what looks like the daemon's FIFO
])
def test_not_the_daemon(monkeypatch, mode, link, shown):
    # With a reader there: nothing may reach it.
    fifo = os.path.join(DIR, "impostor")
    public = os.path.join(DIR, "impostor-link") if link else fifo
    os.mkfifo(fifo, 0o600)
    os.chmod(fifo, mode)
    if link:
        os.symlink(fifo, public)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        monkeypatch.setattr(tessarind, "PUBLIC_FIFO", public)
        with pytest.raises(tessarind.NotTheDaemon, match=r"is not the daemon's \(owner .*, mode %s\)" % shown):
            tessarind.ping(timeout=1)
        assert os.read(reader, 1) == b""
    finally:
        os.close(reader)
        for path in {fifo, public}:
            os.unlink(path)


def test_reply_fifo_names_cannot_be_guessed(monkeypatch):
    made = []

    def mkfifo(path, mode):
        os_mkfifo(path, mode)
        made.append((path, stat.S_IMODE(os.stat(os.path.dirname(path)).st_mode)))

    os_mkfifo = os.mkfifo
    monkeypatch.setattr(os, "mkfifo", mkfifo)
    tessarind.ping()
    tessarind.ping()
    assert len(made) == 2 and made[0][0] != made[1][0]
    for path, dir_mode in made:
        assert re.fullmatch(r"/tmp/tessarind-[^/]+/r-[0-9a-f]{32}", path)
        assert dir_mode == 0o711  # others may pass through, not list


@pytest.mark.parametrize("key,message", [
    ("correct horse battery staple", "character 8 is neither"),
    ("QUJD=x", "character 6 is neither"),
    ("Q" * 300, "key text is longer than 255 characters"),
    ("00112233445566778899aabbccddeeff00112233", "looks like a hexadecimal key"),
])
def test_key_text_refused_by_position_never_echoed(key, message):
    with pytest.raises(tessarind.Error, match=message) as e:
        tessarind.decrypt(DIR + "/data.enc", key)
    assert key not in str(e.value)


def reply_dirs():
    return [d for d in os.listdir("/tmp") if d.startswith("tessarind-")]


def test_open_reads_as_a_file():
    with tessarind.open(DIR + "/data.enc", KEY) as f:
        out = io.BytesIO()
        shutil.copyfileobj(f, out)
        assert out.getvalue() == plain()
    with tessarind.open(DIR + "/data.enc", KEY, first_load=True) as f:
        pieces = list(f)
        assert b"".join(pieces) == plain()[:262144] and all(pieces)
    with tessarind.open(DIR + "/tree.tar.enc", KEY) as f, tarfile.open(fileobj=f, mode="r|*") as tar:
        got = {m.name: tar.extractfile(m).read() for m in tar}
    with tarfile.open(DIR + "/tree.tar") as tar:
        assert got == {m.name: tar.extractfile(m).read() for m in tar}
    with tessarind.open(DIR + "/b.csv.enc", KEY) as f:
        rows = list(csv.reader(io.TextIOWrapper(f, encoding="utf-8")))
    assert rows == [["name", "count"], ["first", "1"], ["second", "2"]]
    # One that stops early just goes, and takes its reply FIFO along.
    with tessarind.open(DIR + "/data.enc", KEY) as f:
        assert f.read(10) == plain()[:10]
    assert reply_dirs() == []


def test_open_raises_at_the_end(monkeypatch):
    # A file that grows after it was checked here, before the request goes:
    # the reply is longer than the file was, and nothing past it is handed over.
    grown = DIR + "/grown.enc"
    shutil.copy(DIR + "/data.enc", grown)
    send = tessarind._Exchange.try_send

    def grow_first(self, fd):
        with open(grown, "ab") as f:
            f.write(bytes(8))
        return send(self, fd)

    monkeypatch.setattr(tessarind._Exchange, "try_send", grow_first)
    with tessarind.open(grown, KEY) as f:
        with pytest.raises(tessarind.Error, match="grown.enc changed while it was served") as e:
            while f.read(65536):
                pass
    assert e.value.errno == errno.ESTALE
    os.unlink(grown)
    assert reply_dirs() == []


def test_asyncio_in_one_thread():
    async def main():
        await tessarind.aio.ping()
        results = await asyncio.gather(*[tessarind.aio.decrypt(DIR + "/data.enc", KEY) for _ in range(32)])
        assert threading.active_count() == 1
        async with tessarind.aio.open(DIR + "/data.enc", KEY) as reader:
            head = await reader.read(5)
            rest = b"".join([piece async for piece in reader])
        return results, head + rest

    results, streamed = asyncio.run(main())
    assert all(r == plain() for r in results) and streamed == plain()
    assert reply_dirs() == []
