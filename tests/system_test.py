"""The programs in what a table of cases can't set up: pipelines, what
stands at ./quorveltmp.txt, failing streams, signals, terminals and memory
limits. Everything is compared as bytes."""
import fcntl
import os
import resource
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import termios
import time
import tty
import unittest

Q, T = os.environ["QUORVEL"], os.environ["TEXTCOPY"]
TMP = "quorveltmp.txt"
CANTOPEN = b"qv: Can't open ./quorveltmp.txt for writing\r\n"


def table(rows, seed=0):
    """An input of one data column and its output with the defaults."""
    vals = [(b"r\t1\t%d\tx\t%d.5" % (i, i + seed), b"\t%d.50000" % (i + seed))
            for i in range(rows)]
    return (b"id\tchr\tpos\tx\tA\n" + b"".join(v + b"\n" for v, _ in vals),
            b"id\tchr\tpos\tx\tA\tA-plotline\r\n" +
            b"".join(v + o + b"\r\n" for v, o in vals))


SMALL, BIG = table(3), table(3000)  # BIG's output passes 64 KiB


def drained(fd):
    """Waits until a pipe or terminal holds no unread bytes."""
    for _ in range(5000):
        if struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"    "))[0] == 0:
            return
        time.sleep(0.001)
    raise AssertionError("the reader never took its input")


class System(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, name=TMP):
        return os.path.join(self.dir, name)

    def read(self, name=TMP):
        with open(self.path(name), "rb") as f:
            return f.read()

    def run_(self, data=b"", prog=Q, args=(), argv0="qv", **kw):
        kw.setdefault("stdout", subprocess.PIPE)
        kw.setdefault("stderr", subprocess.PIPE)
        r = subprocess.run([argv0, *args], executable=prog, cwd=self.dir,
                           input=data, timeout=30, **kw)
        return r.stdout, r.stderr, r.returncode

    def shell(self, command, data):
        """Runs a bash command line, its whole process group killed if it
        outlives its time, which fails the test."""
        p = subprocess.Popen(["bash", "-c", command], cwd=self.dir,
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, start_new_session=True,
                             env=dict(os.environ, Q=Q, T=T))
        try:
            return p.communicate(data, timeout=20)
        finally:
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGKILL)

    def test_pipeline_in_one_directory(self):
        for data, want in SMALL, BIG:
            # The second run's input has the first one's inserted column.
            want = want.replace(b"A-plotline\r", b"A-plotline\tA-plotline"
                                b"\tA-plotline-plotline\r")
            lines = want.split(b"\r\n")
            want = b"\r\n".join(l + l[l.rfind(b"\t"):] * 2 if l[:1] == b"r"
                                else l for l in lines)
            for _ in range(20):
                self.assertEqual(self.shell('"$Q" | "$Q"', data), (want, b""))

    def test_what_stands_at_the_name_is_replaced(self):
        with open(self.path("victim"), "wb") as f:
            f.write(b"keep")
        for make in (lambda: os.symlink("victim", self.path()),
                     lambda: os.link(self.path("victim"), self.path()),
                     lambda: os.mkfifo(self.path())):
            make()
            self.assertEqual(self.run_(SMALL[0]), (SMALL[1], b"", 0))
            self.assertFalse(os.path.islink(self.path()))
            self.assertEqual(self.read(), SMALL[0].replace(b"\n", b"\r\n"))
            self.assertEqual(self.read("victim"), b"keep")
            os.remove(self.path())
        os.mkdir(self.path())
        self.assertEqual(self.run_(SMALL[0]), (b"", CANTOPEN, 255))

    def test_standard_streams_at_the_name(self):
        with open(self.path(), "wb") as out:
            self.assertEqual(self.run_(SMALL[0], stdout=out), (None, CANTOPEN,
                                                                255))
        with open(self.path(), "wb") as f:
            f.write(SMALL[0])
        with open(self.path(), "rb") as f:
            self.assertEqual(self.run_(None, stdin=f), (SMALL[1], b"", 0))

    def test_runs_at_once_in_one_directory(self):
        # Each run waits on its input until every run has started; they
        # are then finished last to first.
        tables = [table(500, seed) for seed in range(6)]
        runs = [subprocess.Popen([Q], cwd=self.dir, stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE) for _ in tables]
        for p, (data, want) in reversed(list(zip(runs, tables))):
            self.assertEqual(p.communicate(data, timeout=20), (want, None))
        self.assertIn(self.read(), [d.replace(b"\n", b"\r\n")
                                    for d, _ in tables])

    def test_output_that_cannot_be_written(self):
        message = (b"", b"qv: Error writing standard output\r\n", 255)
        with open("/dev/full", "wb") as full:
            self.assertEqual(self.run_(BIG[0], stdout=full), (None,) +
                             message[1:])
            self.assertEqual(self.run_(BIG[0], T, stdout=full),
                             (None, b"", 255))
        self.assertEqual(self.run_(BIG[0], preexec_fn=lambda: os.close(1)),
                         message)
        # The output outgrows a file-size limit that the copy fits in.
        self.assertEqual(self.shell('ulimit -f 80; exec -a qv "$Q" > out', BIG[0]),
                         message[:2])
        for reader in "$Q", "$T":
            self.assertEqual(self.shell('"%s" | head -c 100 >/dev/null; '
                                        'echo ${PIPESTATUS[0]}' % reader,
                                        BIG[0]), (b"0\n", b""))

    def test_failed_intermediate_file(self):
        r = self.shell('ulimit -f 20; exec -a qv "$Q"', BIG[0])
        self.assertEqual(r, (b"", b"qv: Error writing ./quorveltmp.txt\r\n"))
        # With standard error closed, messages must not land in the file.
        data = SMALL[0] + b"r\t1\t5\tx\t1\t2\n"
        self.run_(data, stderr=None, preexec_fn=lambda: os.close(2))
        self.assertEqual(self.read(), data.replace(b"\n", b"\r\n"))

    def test_ended_by_a_signal_in_pass_1(self):
        with open(self.path(), "wb") as f:
            f.write(b"earlier")
        p = subprocess.Popen([Q], cwd=self.dir, stdin=subprocess.PIPE)
        p.stdin.write(SMALL[0])
        p.stdin.flush()
        drained(p.stdin.fileno())
        p.terminate()
        p.wait(10)
        p.stdin.close()
        self.assertEqual((os.listdir(self.dir), self.read()),
                         ([TMP], b"earlier"))

    def test_input_that_cannot_be_read(self):
        fd = os.open(self.dir, os.O_RDONLY)
        self.addCleanup(os.close, fd)
        message = (b"", b"/x/qv: Error reading standard input\r\n", 255)
        self.assertEqual(self.run_(None, stdin=fd, argv0='"/x/qv"'), message)
        self.assertEqual(self.run_(None, argv0="/x/qv",
                                   preexec_fn=lambda: os.close(0)), message)
        self.assertEqual(self.run_(None, T, stdin=fd), (b"", b"", 255))

    @unittest.skipIf(os.environ.get("QUORVEL_SANITIZED"),
                     "the sanitizers reserve terabytes of address space")
    def test_memory_that_cannot_be_had(self):
        def run(limit, data):
            return self.run_(data, preexec_fn=lambda: resource.setrlimit(
                resource.RLIMIT_AS, (limit, limit)))

        def least(data):
            """The smallest limit, to a page, under which the run works."""
            low, high = 1 << 20, 1 << 30
            while high - low > 4096:
                mid = (low + high) // 8192 * 4096
                low, high = (low, mid) if run(mid, data)[2] == 0 else (mid,
                                                                       high)
            return high
        # 128 value arrays of 400 kB in the order LR[0], dLR[0], LR[1], ...
        pairs = b"id\tchr\tpos\tx" + b"\tc\tc_error" * 64 + b"\n"
        for less, name in (200, b"dLR[63]"), (600, b"LR[63]"):
            self.assertEqual(run(least(pairs) - less * 1024, pairs), (
                b"", b"qv: Unable to allocate memory for %s\r\n" % name, 255))
        # Output arrays of 20000 rows, 160 kB each, taken column by column.
        rows = b"id\tchr\tpos\tx\tA\tB\tC\n" + b"r\t1\t1\tx\t1\t2\t3\n" * 20000
        self.assertEqual(run(least(rows) - 160 * 1024, rows), (
            b"", b"qv: Unable to allocate memory for dLRout[2]\r\n", 255))

    def test_textcopy_cr_lf_split_between_writes(self):
        for rest, want in (b"\ny", b"x\r\ny"), (b"y", b"x\ry"):
            p = subprocess.Popen([T], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE)
            p.stdin.write(b"x\r")
            p.stdin.flush()
            drained(p.stdin.fileno())
            self.assertEqual(p.communicate(rest, timeout=10), (want, None))

    def test_textcopy_on_a_terminal(self):
        # Ctrl-Z drops the rest of its read; a read beginning with it ends
        # the copy. Each read's bytes show at once.
        inmaster, interm = os.openpty()
        outmaster, outterm = os.openpty()
        for fd in inmaster, interm, outmaster, outterm:
            self.addCleanup(os.close, fd)
        tty.setraw(interm)
        tty.setraw(outterm)
        p = subprocess.Popen([T], stdin=interm, stdout=outterm)
        for data, want in (b"x\x1ay\n", b"x"), (b"z\n", b"z\r\n"):
            os.write(inmaster, data)
            self.assertTrue(select.select([outmaster], [], [], 10)[0])
            self.assertEqual(os.read(outmaster, 100), want)
        os.write(inmaster, b"\x1aw\n")
        self.assertEqual(p.wait(10), 0)

    def test_textcopy_reads_no_further_than_ctrl_z(self):
        with open(self.path("in"), "w+b") as f:
            f.write(b"x\x1a" + b"y\n" * 4096)
            f.seek(0)
            self.assertEqual(self.run_(None, T, stdin=f), (b"x", b"", 0))
            self.assertLessEqual(os.lseek(f.fileno(), 0, os.SEEK_CUR), 4096)


if __name__ == "__main__":
    unittest.main()
