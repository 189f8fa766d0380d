"""The programs where a table of cases can't take them: pipelines, what
stands at ./quorveltmp.txt, streams that fail, signals, terminals, memory
limits. Everything is compared as bytes."""
import fcntl, os, re, resource, select, shutil, signal, socket, struct
import subprocess, tempfile, termios, time, tty, unittest

Q, T, TMP = os.environ["QUORVEL"], os.environ["TEXTCOPY"], "quorveltmp.txt"
CANTOPEN = b"qv: Can't open ./quorveltmp.txt for writing\r\n"


def table(rows, seed=0):
    """An input of one data column, and its output with the defaults."""
    vals = [(b"r\t1\t%d\tx\t%d.5" % (i, i + seed), b"\t%d.50000" % (i + seed))
            for i in range(rows)]
    return (b"id\tchr\tpos\tx\tA\n" + b"".join(v + b"\n" for v, _ in vals),
            b"id\tchr\tpos\tx\tA\tA-plotline\r\n" +
            b"".join(v + o + b"\r\n" for v, o in vals))


SMALL, BIG = table(3), table(3000)  # BIG's output passes 64 KiB


def crlf(data):
    return data.replace(b"\n", b"\r\n")


def drained(fd):
    """Waits until a pipe or terminal holds no unread bytes."""
    for _ in range(5000):
        if not struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"    "))[0]:
            return
        time.sleep(0.001)
    raise AssertionError("the reader never took its input")


class System(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)
        self.tmp = os.path.join(self.dir, TMP)

    def read(self, path=None):
        with open(path or self.tmp, "rb") as f:
            return f.read()

    def run_(self, data=b"", prog=Q, argv0="qv", **kw):
        kw.setdefault("stdout", subprocess.PIPE)
        kw.setdefault("stderr", subprocess.PIPE)
        r = subprocess.run([argv0], executable=prog, cwd=self.dir,
                           input=data, timeout=30, **kw)
        return r.stdout, r.stderr, r.returncode

    def shell(self, command, data):
        """Runs a bash command line; its whole process group is killed if
        it outlives its time, which fails the test."""
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
            # The second run smooths the first one's inserted column too.
            want = want.replace(b"plotline\r", b"plotline\tA-plotline\t"
                                b"A-plotline-plotline\r")
            want = re.sub(rb"(\t[\d.]+)\r", rb"\1\1\1\r", want)
            for _ in range(20):
                self.assertEqual(self.shell('"$Q" | "$Q"', data), (want, b""))

    def test_what_stands_at_the_name_is_replaced(self):
        victim = os.path.join(self.dir, "victim")
        with open(victim, "wb") as f:
            f.write(b"keep")
        for make in (lambda: os.symlink("victim", self.tmp),
                     lambda: os.link(victim, self.tmp),
                     lambda: os.mkfifo(self.tmp)):
            make()
            self.assertEqual(self.run_(SMALL[0]), (SMALL[1], b"", 0))
            self.assertFalse(os.path.islink(self.tmp))
            self.assertEqual((self.read(), self.read(victim)),
                             (crlf(SMALL[0]), b"keep"))
            os.remove(self.tmp)
        os.mkdir(self.tmp)
        self.assertEqual(self.run_(SMALL[0]), (b"", CANTOPEN, 255))

    def test_standard_streams_at_the_name(self):
        with open(self.tmp, "wb") as f:
            self.assertEqual(self.run_(SMALL[0], stdout=f),
                             (None, CANTOPEN, 255))
            f.write(SMALL[0])
        with open(self.tmp, "rb") as f:
            self.assertEqual(self.run_(None, stdin=f), (SMALL[1], b"", 0))

    def test_runs_at_once_in_one_directory(self):
        # Every run waits on its input until all have started; they are
        # then finished last to first.
        tables = [table(500, seed) for seed in range(6)]
        runs = [subprocess.Popen([Q], cwd=self.dir, stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE) for _ in tables]
        for p, (data, want) in reversed(list(zip(runs, tables))):
            self.assertEqual(p.communicate(data, timeout=20), (want, None))
        self.assertIn(self.read(), [crlf(data) for data, _ in tables])

    def test_output_that_cannot_be_written(self):
        failed = b"qv: Error writing standard output\r\n"
        with open("/dev/full", "wb") as full:
            self.assertEqual(self.run_(BIG[0], stdout=full),
                             (None, failed, 255))
            self.assertEqual(self.run_(BIG[0], T, stdout=full),
                             (None, b"", 255))
        self.assertEqual(self.run_(BIG[0], preexec_fn=lambda: os.close(1)),
                         (b"", failed, 255))
        # The output outgrows a file-size limit that the copy fits in.
        self.assertEqual(self.shell('ulimit -f 80; (exec -a qv "$Q" >out); '
                                    'echo $?; ulimit -f 40; "$T" <out >o2; echo $?',
                                    BIG[0]), (b"255\n255\n", failed))
        for reader in "$Q", "$T":
            self.assertEqual(self.shell('"%s" | head -c 100 >/dev/null; '
                                        'echo ${PIPESTATUS[0]}' % reader,
                                        BIG[0]), (b"0\n", b""))

    def test_failed_intermediate_file(self):
        self.assertEqual(self.shell('ulimit -f 20; (exec -a qv "$Q"); echo $?',
                                    BIG[0]), (b"255\n", b"qv: Error writing "
                                              b"./quorveltmp.txt\r\n"))
        # With standard error closed, messages must not land in the file.
        data = SMALL[0] + b"r\t1\t5\tx\t1\t2\n"
        self.run_(data, stderr=None, preexec_fn=lambda: os.close(2))
        self.assertEqual(self.read(), crlf(data))

    def test_ended_by_a_signal_in_pass_1(self):
        with open(self.tmp, "wb") as f:
            f.write(b"earlier")
        p = subprocess.Popen([Q], cwd=self.dir, stdin=subprocess.PIPE)
        os.write(p.stdin.fileno(), SMALL[0])
        drained(p.stdin.fileno())
        p.terminate()
        p.communicate(timeout=10)
        self.assertEqual((os.listdir(self.dir), self.read()),
                         ([TMP], b"earlier"))

    def test_input_that_cannot_be_read(self):
        fd = os.open(self.dir, os.O_RDONLY)
        self.addCleanup(os.close, fd)
        failed = b": Error reading standard input\r\n"
        self.assertEqual(self.run_(None, stdin=fd, argv0='"/x/qv"'),
                         (b"", b"/x/qv" + failed, 255))
        self.assertEqual(self.run_(None, argv0='""', preexec_fn=lambda:
                                   os.close(0)), (b"", failed, 255))
        self.assertEqual(self.run_(None, T, stdin=fd), (b"", b"", 255))
        # A read that fails after data: what came, its held CR too, is copied.
        ours, theirs = socket.socketpair()
        theirs.setsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO,
                          struct.pack("ll", 0, 200000))
        ours.sendall(b"ab\nc\r")
        self.assertEqual(self.run_(None, T, stdin=theirs),
                         (b"ab\r\nc\r", b"", 255))

    @unittest.skipIf(os.environ.get("QUORVEL_SANITIZED"),
                     "the sanitizers reserve terabytes of address space")
    def test_memory_that_cannot_be_had(self):
        # 128 value arrays of 400 kB (LR[0], dLR[0], LR[1], ...); for 20000
        # rows, output arrays of 160 kB taken column by column.
        pairs = b"id\tchr\tpos\tx" + b"\tc\tc_error" * 64 + b"\n"
        rows = b"id\tchr\tpos\tx\tA\tB\tC\n" + b"r\t1\t1\tx\t1\t2\t3\n" * 20000
        for data, less, name in ((pairs, 200, b"dLR[63]"), (pairs, 600,
                                 b"LR[63]"), (rows, 160, b"dLRout[2]")):
            run = lambda limit: self.run_(data, preexec_fn=lambda: (
                resource.setrlimit(resource.RLIMIT_AS, (limit, limit))))
            low, high = 1 << 20, 1 << 30  # to the least limit that works
            while high - low > 4096:
                mid = (low + high) // 8192 * 4096
                low, high = (low, mid) if run(mid)[2] == 0 else (mid, high)
            self.assertEqual(run(high - less * 1024), (b"", b"qv: Unable to "
                             b"allocate memory for %s\r\n" % name, 255))

    def test_textcopy_cr_lf_split_between_writes(self):
        for rest, want in (b"\ny", b"x\r\ny"), (b"y", b"x\ry"):
            p = subprocess.Popen([T], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE)
            os.write(p.stdin.fileno(), b"x\r")
            drained(p.stdin.fileno())
            self.assertEqual(p.communicate(rest, timeout=10), (want, None))

    def test_textcopy_on_a_terminal(self):
        # Ctrl-Z drops the rest of its read, and a read that begins with it
        # ends the copy; each read's bytes show at once.
        (inmaster, interm), (outmaster, outterm) = os.openpty(), os.openpty()
        self.addCleanup(lambda: [os.close(fd) for fd in (inmaster, interm,
                                                         outmaster, outterm)])
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
        with open(os.path.join(self.dir, "in"), "w+b") as f:
            f.write(b"x\x1a" + b"y\n" * 4096)
            f.seek(0)
            self.assertEqual(self.run_(None, T, stdin=f), (b"x", b"", 0))
            self.assertLessEqual(os.lseek(f.fileno(), 0, os.SEEK_CUR), 4096)


if __name__ == "__main__":
    unittest.main()
