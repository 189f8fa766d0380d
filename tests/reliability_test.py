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


if __name__ == "__main__":
    unittest.main()
