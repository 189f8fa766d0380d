#!/usr/bin/env python3
"""Black-box tests of textcopy: bytes in, bytes out, exit status.

Everything is compared as bytes; nothing is decoded, so a lost or added CR
shows."""

import fcntl
import os
import select
import socket
import struct
import subprocess
import tempfile
import termios
import time
import tty
import unittest

TEXTCOPY = os.environ["TEXTCOPY"]
BLOCK = 4096
WAIT = 5.0  # seconds before something that should happen counts as lost


def textlines(size):
    """LF-ended lines of varied lengths, holding every byte value except
    CR, LF and Ctrl-Z, at least size bytes in all."""
    chars = bytes(b for b in range(256) if b not in (0x0A, 0x0D, 0x1A))
    chars += chars
    lines = []
    total = i = 0
    while total < size:
        start = (i * 37) % 253
        line = chars[start:start + (i * 7919) % 254] + b"\n"
        lines.append(line)
        total += len(line)
        i += 1
    return b"".join(lines)


def filewith(data):
    f = tempfile.TemporaryFile()
    f.write(data)
    f.flush()
    f.seek(0)
    return f


def offset(f):
    """How far the filter read the file it had as standard input."""
    return os.lseek(f.fileno(), 0, os.SEEK_CUR)


def unread(fd):
    """Bytes waiting in a pipe or terminal, not yet taken by a read."""
    got = fcntl.ioctl(fd, termios.FIONREAD, struct.pack("i", 0))
    return struct.unpack("i", got)[0]


def waitfor(check):
    deadline = time.monotonic() + WAIT
    while not check():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting")
        time.sleep(0.001)


def readfor(fd, n, wait=WAIT):
    """Reads from fd until n bytes came or wait seconds passed."""
    got = b""
    deadline = time.monotonic() + wait
    while len(got) < n:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        try:
            chunk = os.read(fd, n - len(got))
        except OSError:  # a terminal whose other side has gone
            break
        if not chunk:
            break
        got += chunk
    return got


def run(stdin, args=(), **kw):
    return subprocess.run([TEXTCOPY, *args], stdin=stdin,
                          stdout=kw.pop("stdout", subprocess.PIPE),
                          stderr=subprocess.PIPE, timeout=4 * WAIT, **kw)


def start(stdin, stdout=subprocess.PIPE):
    return subprocess.Popen([TEXTCOPY], stdin=stdin, stdout=stdout,
                            stderr=subprocess.PIPE)


class ByteExamples(unittest.TestCase):
    EXAMPLES = [
        (b"", b""),
        (b"x\ny", b"x\r\ny"),
        (b"x\r\ny\r\n", b"x\r\ny\r\n"),
        (b"x\ry", b"x\ry"),
        (b"x\r\r\n", b"x\r\r\n"),
        (b"x\n\n", b"x\r\n\r\n"),
        (b"x\r", b"x\r"),
        (b"x\x1ay\n", b"x"),
        (b"\x1ax\n", b""),
        (b"x\r\x1ay", b"x\r"),
        (b"\x00\xff\n\xff\x00", b"\x00\xff\r\n\xff\x00"),
    ]

    def check(self, result, want):
        self.assertEqual(result.stdout, want)
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.returncode, 0)

    def test_from_pipe_and_file(self):
        for data, want in self.EXAMPLES:
            with self.subTest(data=data):
                self.check(run(None, input=data), want)
                with filewith(data) as f:
                    self.check(run(f), want)

    def test_arguments_ignored(self):
        self.check(run(None, ["-h", "--help", "x"], input=b"x\ny\r"),
                   b"x\r\ny\r")

    def test_text_file_gets_cr_before_each_lf(self):
        data = textlines(5 << 20)
        self.check(run(None, input=data), data.replace(b"\n", b"\r\n"))


class SplitReads(unittest.TestCase):
    """The writer sends x CR and waits until the filter has read it, so
    what follows arrives in another read."""

    def test_cr_then_rest(self):
        for rest, want in [(b"\ny", b"x\r\ny"), (b"y", b"x\ry")]:
            with self.subTest(rest=rest):
                p = start(subprocess.PIPE)
                p.stdin.write(b"x\r")
                p.stdin.flush()
                waitfor(lambda: unread(p.stdin.fileno()) == 0)
                out, err = p.communicate(rest, timeout=WAIT)
                self.assertEqual(out, want)
                self.assertEqual((err, p.returncode), (b"", 0))


class CtrlZ(unittest.TestCase):
    def test_file_read_no_further(self):
        data = b"x\x1a" + b"y\n" * BLOCK
        with filewith(data) as f:
            result = run(f)
            self.assertLessEqual(offset(f), BLOCK)
        self.assertEqual(result.stdout, b"x")
        self.assertEqual((result.stderr, result.returncode), (b"", 0))

    def test_pipe_read_no_further(self):
        r, w = os.pipe()
        try:
            os.write(w, b"x\x1ay")
            p = start(r)
            waitfor(lambda: unread(w) == 0)
            os.write(w, b"later")
            # The writer stays open: the filter ends without reading on.
            out, err = p.communicate(timeout=WAIT)
            self.assertEqual(out, b"x")
            self.assertEqual((err, p.returncode), (b"", 0))
            os.close(w)
            w = -1
            self.assertEqual(os.read(r, 100), b"later")
        finally:
            os.close(r)
            if w >= 0:
                os.close(w)

    def test_terminal_drops_rest_of_read(self):
        """A terminal in raw mode on both sides: each read's bytes show on
        the output terminal before the next read is made."""
        inmaster, interm = os.openpty()
        outmaster, outterm = os.openpty()
        try:
            tty.setraw(interm)
            tty.setraw(outterm)
            os.write(inmaster, b"x\x1ay\n")
            waitfor(lambda: unread(interm) == 4)
            p = start(interm, outterm)
            self.assertEqual(readfor(outmaster, 1), b"x")
            os.write(inmaster, b"z\n")
            self.assertEqual(readfor(outmaster, 3), b"z\r\n")
            os.write(inmaster, b"\x1aw\n")  # a read that begins with Ctrl-Z
            self.assertEqual(p.wait(WAIT), 0)
            self.assertEqual(p.stderr.read(), b"")
            p.stderr.close()
            self.assertEqual(readfor(outmaster, 1, 0.1), b"")
        finally:
            for fd in inmaster, interm, outmaster, outterm:
                os.close(fd)


class Blocks(unittest.TestCase):
    def test_pipe_output_in_blocks(self):
        """The block is counted before translation: 4095 LFs, 8190 bytes
        once written, stay in it."""
        p = start(subprocess.PIPE)
        out = p.stdout.fileno()

        def send(data):
            p.stdin.write(data)
            p.stdin.flush()
            waitfor(lambda: unread(p.stdin.fileno()) == 0)

        send(b"\n" * (BLOCK - 1))
        self.assertEqual(readfor(out, 1, 0.1), b"")
        send(b"\nab")
        self.assertEqual(readfor(out, 2 * BLOCK), b"\r\n" * BLOCK)
        self.assertEqual(readfor(out, 1, 0.1), b"")
        p.stdin.close()
        self.assertEqual(readfor(out, 3), b"ab")
        self.assertEqual(p.wait(WAIT), 0)
        p.stdout.close()
        p.stderr.close()


class Failures(unittest.TestCase):
    def check_read_through(self, stdout, **kw):
        """A failed write is ignored: the whole input is still read."""
        data = textlines(1 << 20)
        with filewith(data) as f:
            result = run(f, stdout=stdout, **kw)
            self.assertEqual(offset(f), len(data))
        self.assertEqual((result.stderr, result.returncode), (b"", 0))

    def test_reader_gone(self):
        data = textlines(1 << 20)
        with filewith(data) as f:
            p = start(f)
            self.assertEqual(readfor(p.stdout.fileno(), 10),
                             data[:10].replace(b"\n", b"\r\n")[:10])
            p.stdout.close()
            self.assertEqual(p.wait(WAIT), 0)
            self.assertEqual(offset(f), len(data))
            self.assertEqual(p.stderr.read(), b"")
            p.stderr.close()

    def test_closed_stdout(self):
        self.check_read_through(None, preexec_fn=lambda: os.close(1))

    def test_full_disk(self):
        with open("/dev/full", "wb") as full:
            self.check_read_through(full)

    def test_closed_stdin(self):
        result = run(None, preexec_fn=lambda: os.close(0))
        self.assertEqual((result.stdout, result.stderr), (b"", b""))
        self.assertEqual(result.returncode, 255)

    def test_directory_stdin(self):
        fd = os.open(".", os.O_RDONLY)
        try:
            result = run(fd)
        finally:
            os.close(fd)
        self.assertEqual((result.stdout, result.stderr), (b"", b""))
        self.assertEqual(result.returncode, 255)

    def test_read_fails_after_data(self):
        """A socket whose receive times out: the bytes read before the
        failure, the held CR among them, are still written."""
        ours, theirs = socket.socketpair()
        with ours, theirs:
            theirs.setsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO,
                              struct.pack("ll", 0, 200000))
            ours.sendall(b"ab\nc\r")
            result = run(theirs)
        self.assertEqual(result.stdout, b"ab\r\nc\r")
        self.assertEqual((result.stderr, result.returncode), (b"", 255))


if __name__ == "__main__":
    unittest.main()
