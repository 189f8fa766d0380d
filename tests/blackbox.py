"""Runs the built programs in a scratch directory and hands back raw bytes.

Everything here is bytes: decoding, or dropping the CR of a CR LF, would
hide exactly the faults these tests look for.
"""
import os
import subprocess
import tempfile
import unittest
from collections import namedtuple

Result = namedtuple("Result", "out err status")


def crlf(text):
    """The bytes a text stream writes for text: every LF as CR LF."""
    if isinstance(text, str):
        text = text.encode()
    return text.replace(b"\n", b"\r\n")


def table(*lines):
    """A tab-separated input table: each line a list of fields."""
    return b"".join(b"\t".join(f if isinstance(f, bytes) else str(f).encode()
                               for f in line) + b"\n" for line in lines)


class ProgramCase(unittest.TestCase):
    """A test case whose programs run in a fresh, empty directory."""

    program = os.environ.get("QUORVEL")

    def setUp(self):
        self._scratch = tempfile.TemporaryDirectory()
        self.dir = self._scratch.name

    def tearDown(self):
        self._scratch.cleanup()

    def run_program(self, args=(), data=b"", stdin=None, argv0=None,
                    program=None, timeout=60):
        program = program or self.program
        argv = [argv0 or program, *args]
        proc = subprocess.run(argv, executable=program, cwd=self.dir,
                              input=None if stdin is not None else data,
                              stdin=stdin, capture_output=True,
                              timeout=timeout)
        return Result(proc.stdout, proc.stderr, proc.returncode)

    def tmpfile(self):
        """The intermediate file the run left behind, or None."""
        path = os.path.join(self.dir, "quorveltmp.txt")
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()
