"""quorvel under hostile conditions: closed streams, exhausted resources,
runs that share a directory, and input at the edge of every capacity."""
import os
import resource
import shutil
import signal
import subprocess
import unittest

from blackbox import ProgramCase, crlf, table

HEAD = ["id", "chr", "pos", "x"]
# AddressSanitizer reserves terabytes of address space up front, so a limit
# on it stops a sanitized build before it starts.
SANITIZED = os.environ.get("QUORVEL_SANITIZED") == "1"


class HostileCase(ProgramCase):
    def run_with(self, args, data, setup, argv0="qv", cwd=None):
        """Runs quorvel with setup() called in the child before it starts;
        data goes in through a pipe unless setup closes it."""
        proc = subprocess.run([argv0, *args], executable=self.program,
                              cwd=cwd or self.dir, input=data,
                              capture_output=True, preexec_fn=setup,
                              timeout=60)
        return proc.stdout, proc.stderr, proc.returncode


class ClosedStreams(HostileCase):
    data = table(HEAD + ["A"], *[["r%d" % i, 1, i, "x", 1, 2]
                                 for i in range(300)])

    def test_closed_standard_input(self):
        r = self.run_with([], b"", lambda: os.close(0))
        self.assertEqual(r, (b"", b"qv: Error reading standard input\r\n",
                             255))

    def test_closed_standard_error_keeps_messages_out_of_the_file(self):
        # 300 counting errors fill the message buffer several times over;
        # they must be lost, not written where the intermediate file is.
        r = self.run_with([], self.data, lambda: os.close(2))
        lines = r[0].split(b"\r\n")
        self.assertEqual(r[2], 0)
        self.assertEqual(len(lines), 302)
        self.assertEqual(lines[1], b"r0\t1\t0\tx\t1\t1.00000")
        self.assertEqual(self.tmpfile(), crlf(self.data))


class ConcurrentRuns(ProgramCase):
    def test_runs_sharing_a_directory_each_write_their_own_table(self):
        runs, rounds, rows = 8, 20, 3000
        inputs, wants = [], []
        for i in range(runs):
            values = ["%d.25" % (i * rows + j) for j in range(rows)]
            inputs.append(table(HEAD + ["A"], *[
                ["r%d" % j, 1, j, "x", v] for j, v in enumerate(values)]))
            wants.append(crlf("id\tchr\tpos\tx\tA\tA-plotline\n" + "".join(
                "r%d\t1\t%d\tx\t%s\t%s000\n" % (j, j, v, v)
                for j, v in enumerate(values))))
            with open(os.path.join(self.dir, "in%d" % i), "wb") as f:
                f.write(inputs[i])
        for n in range(rounds):
            procs = []
            for i in range(runs):
                with open(os.path.join(self.dir, "in%d" % i), "rb") as src, \
                        open(os.path.join(self.dir, "out%d" % i), "wb") as dst:
                    procs.append(subprocess.Popen(
                        [self.program], stdin=src, stdout=dst,
                        stderr=subprocess.PIPE, cwd=self.dir))
            ends = [(p.communicate(timeout=60)[1], p.returncode)
                    for p in procs]
            for i in range(runs):
                self.assertEqual(ends[i], (b"", 0))
                with open(os.path.join(self.dir, "out%d" % i), "rb") as f:
                    self.assertTrue(f.read() == wants[i],
                                    "round %d, run %d" % (n, i))
            # The file that is left holds one run's complete copy.
            self.assertIn(self.tmpfile(), [crlf(d) for d in inputs])


@unittest.skipIf(SANITIZED, "address-space limits cannot be tested under "
                 "AddressSanitizer, which reserves terabytes up front")
class OutOfMemory(HostileCase):
    """Each value array is a heap block of its own, so under a limit on the
    address space the run ends at whichever block no longer fits."""

    def run_limited(self, limit, data):
        def setup():
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        return self.run_with([], data, setup)

    def least_limit(self, data):
        """The smallest limit, to a page, under which the run succeeds."""
        low, high = 1 << 20, 1 << 30
        while high - low > 4096:
            mid = (low + high) // 8192 * 4096
            if self.run_limited(mid, data)[2] == 0:
                high = mid
            else:
                low = mid
        return high

    def test_value_arrays(self):
        # 64 data columns with their error columns: 128 blocks of 400 kB,
        # reserved in the order LR[0], dLR[0], LR[1], ..., dLR[63].
        header = HEAD + [n for i in range(64) for n in ("c%d" % i,
                                                         "c%d_error" % i)]
        data = table(header)
        least = self.least_limit(data)
        self.assertEqual(self.run_limited(least - 200 * 1024, data), (
            b"", b"qv: Unable to allocate memory for dLR[63]\r\n", 255))
        self.assertEqual(self.run_limited(least - 600 * 1024, data), (
            b"", b"qv: Unable to allocate memory for LR[63]\r\n", 255))
        # Every tighter limit under which the program still starts ends in
        # one of the two messages, never in a crash.
        start = self.least_limit(b"")
        for limit in range(start, least, 256 * 1024):
            out, err, status = self.run_limited(limit, data)
            self.assertRegex(err, rb"^qv: Unable to allocate memory for "
                             rb"d?LR\[\d+\]\r\n$", limit)
            self.assertEqual((out, status), (b"", 255), limit)

    def test_output_arrays(self):
        # The output arrays of 20000 rows are 160 kB each, taken column by
        # column after the whole input is in: the last one fails first.
        data = table(HEAD + ["A", "B", "C"],
                     *[["r", 1, j, "x", 1, 2, 3] for j in range(20000)])
        least = self.least_limit(data)
        self.assertEqual(self.run_limited(least - 160 * 1024, data), (
            b"", b"qv: Unable to allocate memory for dLRout[2]\r\n", 255))


class FileSystemFailures(HostileCase):
    data = table(HEAD + ["A"], *[["r%d" % i, 1, i, "x", 1]
                                 for i in range(5000)])

    def test_intermediate_file_hits_a_size_limit(self):
        # Like a full disk: writes fail with the file as far as it got.
        def setup():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (10000, 10000))
        r = self.run_with([], self.data, setup)
        self.assertEqual(r, (b"", b"qv: Error writing ./quorveltmp.txt\r\n",
                             255))
        self.assertEqual(self.tmpfile(), crlf(self.data)[:10000])

    def test_directory_that_cannot_be_written(self):
        # Root writes anywhere, so as root the run becomes nobody, from a
        # copy of the program that nobody may run.
        os.chmod(self.dir, 0o755)
        program = os.path.join(self.dir, "qv")
        shutil.copy(self.program, program)
        work = os.path.join(self.dir, "ro")
        os.mkdir(work, 0o555)
        asroot = os.geteuid() == 0

        def setup():
            if asroot:
                os.setgroups([])
                os.setgid(65534)
                os.setuid(65534)
        try:
            proc = subprocess.run(["qv"], executable=program, cwd=work,
                                  input=self.data, capture_output=True,
                                  preexec_fn=setup, timeout=60)
        except subprocess.TimeoutExpired:
            raise
        except (PermissionError, subprocess.SubprocessError) as e:
            self.skipTest("cannot run the program as nobody: %s" % e)
        self.assertEqual((proc.stdout, proc.stderr, proc.returncode), (
            b"", b"qv: Can't open ./quorveltmp.txt for writing\r\n", 255))
        self.assertEqual(os.listdir(work), [])


class Limits(ProgramCase):
    def test_50000_lines_are_read_and_no_more(self):
        rows = [["r%d" % j, 1, j, "x", j] for j in range(50000)]
        late = table(["late", 1, 1, "x", 1])

        def want(first):
            return crlf(b"id\tchr\tpos\tx\tA\tA-plotline\n" + b"".join(
                b"r%d\t1\t%d\tx\t%d\t%d.00000\n" % (j, j, j, j)
                for j in range(first, 50000)))
        r = self.run_program([], table(HEAD + ["A"], *rows) + late)
        self.assertEqual(r, (want(0), b"", 0))
        # A skipped line counts towards the 50000 as well.
        r = self.run_program([], table(HEAD + ["A"], *rows[1:]) + b" \n" +
                             late)
        self.assertEqual(r, (want(1), b"", 0))
        self.assertEqual(self.tmpfile(), crlf(table(HEAD + ["A"], *rows[1:])))

    def test_field_132_is_not_looked_at(self):
        header = HEAD + [n for i in range(64) for n in ("c%d" % i,
                                                         "c%d_error" % i)]
        row = ["r", 1, 5, "x"] + ["%d.5" % i for i in range(128)]
        full = self.run_program([], table(header, row))
        over = self.run_program([], table(header, row + ["9"]))
        self.assertEqual(full.err + over.err, b"")
        self.assertEqual(full.out, over.out)
        self.assertTrue(full.out.endswith(b"\t126.5\t127.5\t126.50000\r\n"))


class LongArguments(ProgramCase):
    def test_value_longer_than_any_field_keeps_its_every_digit(self):
        # Digits past the 2048th used to be cut off, leaving such a value
        # smaller by as many powers of ten.
        data = table(HEAD + ["A"], ["p", 1, 1, "x", 1])
        for stddev, want in ((b"0." + b"0" * 2100 + b"1e2102", b"10.00000"),
                             (b"1" + b"0" * 2100 + b"e-2100", b"1.00000"),
                             (b"1" + b"0" * 2200 + b".5e-2199", b"10.00000"),
                             (b"2." + b"0" * 2100 + b"1", b"2.00000")):
            r = self.run_program(["-outopt=2", b"-stddev=" + stddev], data)
            self.assertEqual(r.out.split(b"\r\n")[1].split(b"\t")[-1], want)


if __name__ == "__main__":
    unittest.main(verbosity=2)
