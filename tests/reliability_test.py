"""quorvel under hostile conditions: closed streams, exhausted resources,
runs that share a directory, and input at the edge of every capacity."""
import os
import subprocess
import unittest

from blackbox import ProgramCase, crlf, table

HEAD = ["id", "chr", "pos", "x"]


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


if __name__ == "__main__":
    unittest.main()
