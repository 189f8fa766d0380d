"""The programs where a table of cases can't take them: pipelines, what
stands at ./quorveltmp.txt, streams that fail, signals, terminals.
Everything is compared as bytes."""
import fcntl, gzip, os, pathlib, re, resource, select, shutil, signal
import socket
import struct
import subprocess, tempfile, termios, time, tty, unittest
from subprocess import PIPE

Q, T, TMP = os.environ["QUORVEL"], os.environ["TEXTCOPY"], "quorveltmp.txt"
CANTOPEN = b"qv: Can't open ./quorveltmp.txt for writing\r\n"


def table(n, seed=0):
    """An input of one data column, and its output with the defaults."""
    rows = [b"r\t1\t%d\tx\t%d.5" % (i, i + seed) for i in range(n)]
    return (b"id\tchr\tpos\tx\tA\n" + b"".join(r + b"\n" for r in rows),
            b"id\tchr\tpos\tx\tA\tA-plotline\r\n" + b"".join(
                r + r[r.rindex(b"\t"):-2] + b".50000\r\n" for r in rows))


SMALL, BIG = table(3), table(3000)  # BIG's output passes 64 KiB
crlf = lambda data: data.replace(b"\n", b"\r\n")  # noqa: E731


def drained(fd):
    """Waits until a pipe holds no unread bytes."""
    deadline = time.monotonic() + 5
    while struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"    "))[0]:
        assert time.monotonic() < deadline, "the reader never took its input"
        time.sleep(0.001)


def overtime(signum, frame):
    """Ends a test that has waited too long: its runs are killed, and the
    test fails where it waited, rather than holding up the whole suite
    until its time is up and says nothing."""
    me = str(os.getpid())
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            stat = pathlib.Path("/proc", pid, "stat").read_text()
        except OSError:
            continue
        ppid, group = stat[stat.rindex(")") + 2:].split()[1:3]
        if ppid == me:
            # A shell's session goes whole, the commands it started too.
            (os.killpg if group == pid else os.kill)(int(pid), signal.SIGKILL)
    raise AssertionError("over %d s: its runs were killed" % OVERTIME)


OVERTIME = 600  # a test's longest, with sanitizers or under emulation


class System(unittest.TestCase):
    def setUp(self):
        signal.signal(signal.SIGALRM, overtime)
        signal.alarm(OVERTIME)
        self.addCleanup(signal.alarm, 0)
        self.dir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.dir)
        self.tmp = os.path.join(self.dir, TMP)
        self.read = lambda path=self.tmp: pathlib.Path(path).read_bytes()

    def run_(self, data=b"", prog=Q, argv0="qv", args=(), **kw):
        kw = dict(dict(stdout=PIPE, stderr=PIPE, cwd=self.dir), **kw)
        r = subprocess.run([argv0, *args], executable=prog, input=data, timeout=30,
                           **kw)
        return r.stdout, r.stderr, r.returncode

    def terminal(self):
        """A pseudo-terminal in raw mode: its master and its terminal."""
        master, term = os.openpty()
        self.addCleanup(lambda: [os.close(fd) for fd in (master, term)])
        tty.setraw(term)
        return master, term

    def shell(self, command, data):
        """Runs a bash command line; its whole process group is killed if
        it outlives its time, which fails the test."""
        p = subprocess.Popen(["bash", "-c", command], cwd=self.dir, stdin=PIPE,
                             stdout=PIPE, stderr=PIPE, start_new_session=True,
                             env=dict(os.environ, Q=Q, T=T))
        try:
            return p.communicate(data, timeout=20)
        finally:
            p.poll() is None and os.killpg(p.pid, signal.SIGKILL)

    def test_pipeline_in_one_directory(self):
        for data, want in SMALL, BIG:
            # The second run smooths the first one's inserted column too.
            want = want.replace(b"plotline\r", b"plotline\tA-plotline\t"
                                b"A-plotline-plotline\r")
            want = re.sub(rb"(\t[\d.]+)\r", rb"\1\1\1\r", want)
            for _ in range(20):
                self.assertEqual(self.shell('"$Q" | "$Q"', data), (want, b""))

    def test_what_stands_at_the_name(self):
        victim = os.path.join(self.dir, "victim")
        pathlib.Path(victim).write_bytes(b"keep")
        for make in (lambda: os.symlink("victim", self.tmp),
                     lambda: os.link(victim, self.tmp),
                     lambda: os.mkfifo(self.tmp)):
            os.path.lexists(self.tmp) and os.remove(self.tmp)
            make()
            self.assertEqual(self.run_(SMALL[0]), (SMALL[1], b"", 0))
            self.assertFalse(os.path.islink(self.tmp))
            self.assertEqual((self.read(), self.read(victim)),
                             (crlf(SMALL[0]), b"keep"))
        # Standard input may be the file there, standard output not.
        with open(self.tmp, "rb") as f:
            self.assertEqual(self.run_(None, stdin=f), (SMALL[1], b"", 0))
        with open(self.tmp, "ab") as f:
            self.assertEqual(self.run_(SMALL[0], stdout=f),
                             (None, CANTOPEN, 255))
        os.remove(self.tmp)
        os.mkdir(self.tmp)
        self.assertEqual(self.run_(SMALL[0]), (b"", CANTOPEN, 255))

    def test_runs_at_once_in_one_directory(self):
        # Every run waits on its input until all have started; they are
        # then finished last to first.
        tables = [table(500, seed) for seed in range(6)]
        runs = [subprocess.Popen([Q], cwd=self.dir, stdin=PIPE,
                                 stdout=PIPE) for _ in tables]
        for p, (data, want) in reversed(list(zip(runs, tables))):
            self.assertEqual(p.communicate(data, timeout=20), (want, None))
        self.assertIn(self.read(), [crlf(data) for data, _ in tables])

    def test_output_or_copy_that_cannot_be_written(self):
        failed = b"qv: Error writing standard output\r\n"
        with open("/dev/full", "wb") as full:
            self.assertEqual(self.run_(BIG[0], stdout=full),
                             (None, failed, 255))
            self.assertEqual(self.run_(BIG[0], T, stdout=full),
                             (None, b"", 255))
        self.assertEqual(self.run_(BIG[0], preexec_fn=lambda: os.close(1)),
                         (b"", failed, 255))
        # File-size limits that the output outgrows, then the copy.
        self.assertEqual(self.shell(
            'ulimit -f 80; (exec -a qv "$Q" >out); echo $?; ulimit -f 40; '
            '"$T" <out >o2; echo $?; (exec -a qv "$Q" <out)', BIG[0]),
            (b"255\n255\n", failed + b"qv: Error writing ./quorveltmp.txt"
             b"\r\n"))
        # A copy of many blocks that outgrows the limit, written by pass 1
        # itself and by the thread it hands its blocks to; the file keeps
        # what fitted.
        for threads in 1, 2:
            self.assertEqual(self.shell(
                'ulimit -f 100; (exec -a qv "$Q" -threads=%d); echo $?; '
                'wc -c <quorveltmp.txt' % threads, table(30000)[0]),
                (b"255\n102400\n",
                 b"qv: Error writing ./quorveltmp.txt\r\n"))
        for reader in "$Q", "$T":
            self.assertEqual(self.shell('"%s" | head -c 100 >/dev/null; '
                                        'echo ${PIPESTATUS[0]}' % reader,
                                        BIG[0]), (b"0\n", b""))
        # With standard error closed, messages must not land in the file.
        data = SMALL[0] + b"r\t1\t5\tx\t1\t2\n"
        self.run_(data, stderr=None, preexec_fn=lambda: os.close(2))
        self.assertEqual(self.read(), crlf(data))

    def test_copy_cut_short_before_pass_2(self):
        # Pass 2 reads the copy a few chunks ahead of what it has written,
        # and no one reads its output yet: once the copy is in place under
        # the name, the run waits with most of it unread, time to cut it.
        data = b"".join(b"r\t1\t%d\tx\t1\n" % i for i in range(200000))
        p = subprocess.Popen(["qv", "-smoothfunc=1", "-threads=2"],
                             executable=Q, cwd=self.dir, stdin=PIPE,
                             stdout=PIPE, stderr=PIPE)
        p.stdin.write(b"id\tchr\tpos\tx\tA\n" + data)
        p.stdin.close()
        while not os.path.exists(self.tmp):
            time.sleep(0.001)
        os.truncate(self.tmp, 100)
        p.stdout.read()
        self.assertEqual((p.stderr.read(), p.wait(timeout=60)),
                         (b"qv: Error reading ./quorveltmp.txt\r\n", 255))

    def test_ended_by_a_signal_in_pass_1(self):
        # Without /proc an unnamed file can't be named later, so the run
        # writes a named file of its own, which every signal that ends the
        # run must remove.
        noproc = ["unshare", "-m", "sh", "-c", 'umount -l /proc; exec "$0"']
        nocore = lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
        ends = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT,
                signal.SIGUSR1, signal.SIGUSR2, signal.SIGALRM,
                signal.SIGVTALRM, signal.SIGPROF, signal.SIGXCPU,
                signal.SIGIO, signal.SIGPWR, signal.SIGABRT,
                signal.SIGRTMIN + 3]
        for prefix in [], noproc * (os.geteuid() == 0):
            r = subprocess.run(prefix + [Q], cwd=self.dir, input=SMALL[0],
                               capture_output=True)
            self.assertEqual((r.stdout, os.listdir(self.dir), self.read()),
                             (SMALL[1], [TMP], crlf(SMALL[0])))
            for sig in ends if prefix else ends[:1]:
                pathlib.Path(self.tmp).write_bytes(b"earlier")
                p = subprocess.Popen(prefix + [Q], cwd=self.dir, stdin=PIPE,
                                     preexec_fn=nocore)
                os.write(p.stdin.fileno(), SMALL[0])
                drained(p.stdin.fileno())
                self.assertEqual(len(os.listdir(self.dir)), 1 + bool(prefix))
                p.send_signal(sig)
                p.communicate(timeout=10)
                self.assertEqual((os.listdir(self.dir), self.read(),
                                  p.returncode), ([TMP], b"earlier", -sig),
                                 "signal %d" % sig)

    @unittest.skipIf("QUORVEL_SANITIZED" in os.environ or
                     "QUORVEL_EMULATED" in os.environ,
                     "the sanitizers or the emulator need address space of "
                     "their own")
    def test_wide_tables_under_caps(self):
        """Memory follows the rows a table has: a few rows of very many
        columns smooth in a cap that a chunk of 256 such rows, or 682
        bytes an output column, would pass, on any number of threads."""
        for rows, cols, kb in (10, 20000, 100000), (20, 200000, 400000):
            value = [b"\t%d.%03d" % (k % 3 - 1, k * 7 % 1000)
                     for k in range(cols)]
            data = b"id\tchr\tpos\tx" + b"\tc" * cols + b"\n" + b"".join(
                b"r\t1\t%d\tx" % r + b"".join(value[r:] + value[:r]) + b"\n"
                for r in range(rows))
            argv = ["-smoothfunc=1", "-winsize=3", "-outopt=2"]
            want = self.run_(data, args=argv)
            self.assertEqual(want[1:], (b"", 0))
            for threads in 1, 2, 16:
                def capped(kb=kb):
                    resource.setrlimit(resource.RLIMIT_AS,
                                       (kb << 10, kb << 10))
                got = self.run_(data, args=argv + ["-threads=%d" % threads],
                                preexec_fn=capped)
                self.assertTrue(got == want, "%d x %d on %d threads: %r" % (
                    rows, cols, threads, got[1:]))

    @unittest.skipIf("QUORVEL_SANITIZED" in os.environ or
                     "QUORVEL_EMULATED" in os.environ,
                     "the sanitizers or the emulator need address space of "
                     "their own")
    def test_million_rows_under_a_cap(self):
        """The band holds what the windows reach, not the table: 1,000,000
        rows of 8 columns (64 MB of values) in 20 MB, each of its 20 series
        as if smoothed on its own."""
        head = b"id\tchr\tpos\tx" + b"\tA" * 8 + b"\n"
        values = [b"".join(b"\t%d.%02d" % (k - 4, (v * k) % 97) if (v + k) % 9
                           else b"\tNA" for k in range(8)) for v in range(13)]
        series = [head + b"".join(b"r\t%d\t%d\tx%s\n" % (s, r * 100,
                                                        values[(r + s) % 13])
                                  for r in range(50000)) for s in range(20)]
        args = ["-smoothfunc=2", "-winsize=300", "-outopt=2", "-missing=1"]
        want = [self.run_(one, args=args) for one in series]
        self.assertTrue(all(w[1:] == (b"", 0) for w in want))
        limit = 20 << 20
        cap = lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        self.assertEqual(self.run_(args=["--version"], preexec_fn=cap)[1:],
                         (b"", 0))
        out, err, status = self.run_(
            head + b"".join(one[len(head):] for one in series), args=args,
            preexec_fn=cap)
        self.assertEqual((err, status), (b"", 0))
        # Not assertEqual: its diff of two large outputs takes minutes.
        self.assertTrue(out == want[0][0] + b"".join(
            w[0][w[0].index(b"\n") + 1:] for w in want[1:]))

    def reader_gone_after(self, p, wait, feed=lambda: None):
        """The run p ends, silently and with 0, within 2 seconds of its
        reader going away once wait() is done; feed() is called every 20 ms
        until it ends."""
        wait()
        p.stdout.close()
        gone = time.monotonic()
        while p.poll() is None and time.monotonic() < gone + 2:
            feed()
            time.sleep(0.02)
        try:
            status = p.wait(timeout=0.01)
        finally:
            p.kill()
            p.wait()
        self.assertEqual((status, p.stderr.read()), (0, b""))

    @unittest.skipIf("QUORVEL_EMULATED" in os.environ,
                     "two million rows take minutes under the emulator")
    def test_reader_gone_ends_pass_2(self):
        # Windows of every row would keep this run smoothing for minutes,
        # pass 2 on one core smoothing a chunk for seconds between writes;
        # once its reader has gone, no row is smoothed for it any more.
        data = b"id\tchr\tpos\tx\tA\tB\n" + b"".join(
            b"r\t1\t%d\tx\t%d\t1\n" % (i * 1000, i % 7)
            for i in range(2000000))
        one = lambda: os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
        p = subprocess.Popen(["qv", "-smoothfunc=5", "-winsize=-1"],
                             executable=Q, cwd=self.dir, stdin=PIPE,
                             stdout=PIPE, stderr=PIPE, preexec_fn=one)
        p.stdin.write(data)
        p.stdin.close()
        self.reader_gone_after(p, lambda: p.stdout.read(10))

    def test_reader_gone_ends_pass_1(self):
        # A producer that goes on writing slowly: the run learns that its
        # reader has gone while it waits for input, and puts in place the
        # copy of what it read, as if the input had ended there.
        p = subprocess.Popen(["qv", "-smoothfunc=2"], executable=Q,
                             cwd=self.dir, stdin=PIPE, stdout=PIPE,
                             stderr=PIPE)
        data = BIG[0]

        def feed():
            try:
                os.write(p.stdin.fileno(), b"r\t1\t5\tx\t1\n")
            except BrokenPipeError:
                pass

        self.reader_gone_after(p, lambda: (os.write(p.stdin.fileno(), data),
                                           drained(p.stdin.fileno())), feed)
        p.stdin.close()
        self.assertTrue(self.read().startswith(crlf(data)))

    def test_input_that_cannot_be_read(self):
        fd = os.open(self.dir, os.O_RDONLY)
        self.addCleanup(os.close, fd)
        failed = b": Error reading standard input\r\n"
        self.assertEqual(self.run_(None, stdin=fd, argv0='"/x/qv"'),
                         (b"", b"/x/qv" + failed, 255))
        self.assertEqual(self.run_(None, argv0='""', preexec_fn=lambda:
                                   os.close(0)), (b"", failed, 255))
        self.assertEqual(self.run_(None, stdin=fd, argv0="q")[1], b"q" + failed)
        self.assertEqual(self.run_(None, T, stdin=fd), (b"", b"", 255))
        # A read that fails after data: what came, its held CR too, is copied.
        ours, theirs = socket.socketpair()
        self.addCleanup(lambda: (ours.close(), theirs.close()))
        theirs.setsockopt(socket.SOL_SOCKET, socket.SO_RCVTIMEO,
                          struct.pack("ll", 0, 200000))
        ours.sendall(b"ab\nc\r")
        self.assertEqual(self.run_(None, T, stdin=theirs),
                         (b"ab\r\nc\r", b"", 255))

    def test_a_file_is_left_after_the_block_of_its_ctrl_z(self):
        # A regular file is read many blocks at once, but what reads the
        # same open file next starts after the 4096-byte block that holds
        # the Ctrl-Z, where reading it a block at a time leaves it: in the
        # first read, a later one, and the last block, which ends the file.
        data = BIG[0] * 3
        for z in 100, 70000 + 123, len(data) - 10:
            with open(os.path.join(self.dir, "in"), "wb") as f:
                f.write(data[:z] + b"\x1a" + data[z + 1:])
            rest = data[(z // 4096 + 1) * 4096:][:30]
            for prog in "$Q", "$T":
                self.assertEqual(self.shell(
                    '{ "%s" >/dev/null; head -c 30; } <in' % prog, b""),
                    (rest, b""), (z, prog))

    def test_textcopy_on_a_terminal(self):
        # Ctrl-Z drops the rest of its read, and a read that begins with it
        # ends the copy; each read's bytes show at once.
        (inmaster, interm), (outmaster, outterm) = (self.terminal(),
                                                    self.terminal())
        p = subprocess.Popen([T], stdin=interm, stdout=outterm)
        for data, want in (b"x\x1ay\n", b"x"), (b"z\n", b"z\r\n"):
            os.write(inmaster, data)
            self.assertTrue(select.select([outmaster], [], [], 10)[0])
            self.assertEqual(os.read(outmaster, 100), want)
        os.write(inmaster, b"\x1aw\n")
        self.assertEqual(p.wait(10), 0)

    def test_messages_on_a_terminal_show_at_once(self):
        master, term = self.terminal()
        p = subprocess.Popen(["qv"], executable=Q, cwd=self.dir, stdin=PIPE,
                             stdout=PIPE, stderr=term)
        p.stdin.write(SMALL[0] + b"r\t1\t9\tx\t1\t2\n")
        p.stdin.flush()  # the input is still open: pass 1 goes on
        self.assertTrue(select.select([master], [], [], 10)[0])
        self.assertEqual(os.read(master, 100),
                         b"qv: Counting error line 3 array 1\r\n")
        p.stdin.close()
        p.stdout.read()
        p.wait(10)

    def test_progress_on_a_terminal_only(self):
        """A run that goes on for over a second shows how far pass 1 has
        got, erases the line before a message and by its end; into a pipe
        not a byte of it is written, nor to the terminal the rows go to,
        where it would run into them."""
        head = b"id\tchr\tpos\tx\tA\n" + b"r\t1\t5\tx\t1\n" * 2000
        rest = b"r\t1\t5\tx\t1\n" * 1000 + b"r\t1\t5\tx\t1\t2\n"
        message = b"qv: Counting error line 3000 array 1\r\n"
        output = b"qv: Output counting error line 3000 array 1\r\n"
        row = b"r\t1\t5\tx\t1\t1.00000\r\n"
        master, term = self.terminal()
        for stdout, stderr in (subprocess.DEVNULL, term), (
                subprocess.DEVNULL, PIPE), (term, term):
            p = subprocess.Popen(["qv"], executable=Q, cwd=self.dir,
                                 stdin=PIPE, stdout=stdout, stderr=stderr)
            p.stdin.write(head)
            p.stdin.flush()
            time.sleep(1.3)  # still reading its input: pass 1 goes on
            p.stdin.write(rest)
            p.stdin.close()
            shown = b""
            while p.poll() is None or select.select([master], [], [], 0.5)[0]:
                if select.select([master], [], [], 0.1)[0]:
                    shown += os.read(master, 65536)
            self.assertEqual(p.wait(20), 0)
            if stderr == PIPE:
                self.assertEqual(p.stderr.read(), message + output)
                continue
            if stdout == term:
                self.assertEqual(shown, message + b"id\tchr\tpos\tx\tA\t"
                                 b"A-plotline\r\n" + row * 3000 + output + row)
                continue
            line = b"\rpass 1 of 2, reading: 2048 rows"
            self.assertTrue(shown.startswith(line + b"\r" + b" " *
                                             (len(line) - 1) + b"\r" +
                                             message), shown)
            # Pass 2 may show too, on a slow machine; it is erased too.
            after = shown[len(line) * 2 + 1 + len(message):]
            erased = rb"((\rpass 2 of 2, writing: [^\r]*)+\r *\r)?"
            self.assertRegex(after, b"^" + erased + re.escape(output) + erased +
                             b"$")

    def test_input_by_name(self):
        path = os.path.join(self.dir, "in.tsv")
        pathlib.Path(path).write_bytes(SMALL[0])
        # Standard input is not read when a file is named.
        self.assertEqual(self.run_(b"x", args=[path]), (SMALL[1], b"", 0))
        # The intermediate file is looked at only once the input is open:
        # the earlier copy can be read, and a missing file is reported
        # whatever stands at the copy's name.
        self.assertEqual(self.run_(args=[TMP]), (SMALL[1], b"", 0))
        self.assertEqual(self.read(), crlf(SMALL[0]))
        os.remove(self.tmp)
        os.mkdir(self.tmp)
        self.assertEqual(self.run_(args=["missing"]),
                         (b"", b"qv: Can't open missing for reading\r\n", 255))

    def test_gzip_input(self):
        """gzip data, by name or on standard input, is read member by
        member; data that is not whole gzip data fails in pass 1, with the
        lines decoded before the fault in the copy."""
        data, want = BIG
        path = os.path.join(self.dir, "in.gz")

        def both(blob):
            pathlib.Path(path).write_bytes(blob)
            return self.run_(blob), self.run_(args=[path])

        cuts = (0, 1000, 1000, 40000, len(data))  # an empty member too
        members = b"".join(gzip.compress(data[a:b])
                           for a, b in zip(cuts, cuts[1:]))
        for blob in gzip.compress(data), members:
            self.assertEqual(both(blob), ((want, b"", 0),) * 2)
        # A producer whose first write is the first byte alone.
        p = subprocess.Popen(["qv"], executable=Q, stdin=PIPE, stdout=PIPE,
                             stderr=PIPE, cwd=self.dir)
        os.write(p.stdin.fileno(), members[:1])
        drained(p.stdin.fileno())
        self.assertEqual(p.communicate(members[1:], timeout=30),
                         (want, b""))
        # The decompressing thread takes no signal that ends the run: such
        # a signal must find pass 1's thread, which holds it back while it
        # names its copy.
        p = subprocess.Popen(["qv"], executable=Q, stdin=PIPE, stdout=PIPE,
                             stderr=PIPE, cwd=self.dir)
        os.write(p.stdin.fileno(), members[:2000])
        tasks = "/proc/%d/task" % p.pid
        while len(os.listdir(tasks)) < 2:
            time.sleep(0.01)
        def ends(tid):
            """Which of the signals that end a run thread tid blocks."""
            with open(os.path.join(tasks, tid, "status")) as status:
                blocked = int(re.search(r"SigBlk:\s*(\w+)",
                                        status.read()).group(1), 16)
            return [blocked >> (sig - 1) & 1
                    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)]

        for tid in os.listdir(tasks):
            if int(tid) != p.pid:
                self.assertEqual(ends(tid), [1, 1, 1], tid)
        # The first thread holds them back only for moments, such as while
        # it starts the other: it is seen without them soon enough.
        deadline = time.monotonic() + 5
        while ends(str(p.pid)) != [0, 0, 0]:
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.001)
        self.assertEqual(p.communicate(members[2000:], timeout=30),
                         (want, b""))
        # A Ctrl-Z ends the input: nothing after it is decoded or checked.
        end = data.index(b"\n", 5000) + 1
        blob = gzip.compress(data[:end] + b"\x1ajunk\n") + b"garbage"
        self.assertEqual(both(blob), (self.run_(data[:end]),) * 2)
        one = gzip.compress(data)
        crc = len(one) - 8
        for blob, kept in ((one[:len(one) // 2], None), (one + b"\x1f", data),
                           (one + b"xy", data),
                           (one[:crc] + bytes([one[crc] ^ 1]) + one[crc + 1:],
                            data)):
            for got, name in zip(both(blob), (b"standard input",
                                              path.encode())):
                self.assertEqual(got, (b"", b"qv: Error reading " + name +
                                       b"\r\n", 255))
                copy = self.read()
                if kept:
                    self.assertEqual(copy, crlf(kept))
                else:  # complete lines only
                    self.assertTrue(crlf(data).startswith(copy) and
                                    copy.endswith(b"\n") and
                                    len(copy) > 1000, copy[-50:])

    def test_small_stack(self):
        for prog in "$Q", "$T":
            self.assertEqual(self.shell(
                'ulimit -s 32; "%s" --version >/dev/null; echo $?; '
                '"%s" | od -c | head -c 0; echo ${PIPESTATUS[0]}' % (prog, prog),
                SMALL[0]), (b"0\n0\n", b""))

    def test_nonblocking_output_with_a_slow_reader(self):
        # The pipe is left non-blocking, as some parents do; the reader
        # takes a little at a time. Every byte arrives, and the run ends 0.
        for prog, want in (Q, BIG[1]), (T, crlf(BIG[0])):
            readfd, writefd = os.pipe()
            os.set_blocking(writefd, False)
            p = subprocess.Popen([prog], stdin=PIPE, stdout=writefd,
                                 stderr=PIPE, cwd=self.dir)
            os.close(writefd)
            p.stdin.write(BIG[0])
            p.stdin.close()
            got = b""
            while chunk := os.read(readfd, 4096):
                got += chunk
                time.sleep(0.001)
            os.close(readfd)
            self.assertEqual((got == want, p.wait(10), p.stderr.read()),
                             (True, 0, b""))

    def test_one_core_and_no_place_for_the_file(self):
        one = lambda: os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
        # A table large enough for the smoothing threads, whose rows are
        # written as they are done, prints what one thread prints.
        wide = b"".join(b"r\t1\t%d\tx" % (i * 37 % 1000) +
                        b"".join(b"\t%d.%d" % (i % 7, (i * k) % 97)
                                 for k in range(8)) + b"\n"
                        for i in range(2000))
        wide = b"id\tchr\tpos\tx" + b"\tA" * 8 + b"\n" + wide
        argv = ["-smoothfunc=2", "-winsize=30", "-outopt=2"]
        alone = self.run_(wide, args=argv, preexec_fn=one)
        self.assertEqual(alone[1:], (b"", 0))
        # Not assertEqual: its diff of two large outputs takes minutes.
        self.assertTrue(self.run_(wide, args=argv) == alone)
        for threads in 1, 2, 7:
            self.assertTrue(self.run_(wide, args=argv + ["-threads=%d" %
                                                         threads]) == alone)
        # Refused before anything is read: the input's offset stays at 0.
        path = os.path.join(self.dir, "in")
        pathlib.Path(path).write_bytes(SMALL[0])
        with open(path, "rb") as f:
            self.assertEqual(self.run_(None, stdin=f, cwd="/proc/self"),
                             (b"", CANTOPEN, 255))
            self.assertEqual(f.tell(), 0)


if __name__ == "__main__":
    unittest.main()
