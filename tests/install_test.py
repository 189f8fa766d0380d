"""cmake --install into a fresh prefix: the programs and their manual pages
land there, the installed programs run, and man reads the installed pages."""
import os
import subprocess
import tempfile
import unittest

SOURCEDIR = os.environ.get("SOURCEDIR", "")
USAGE_REST = (b" -smoothfunc <smooth type> -outopt <output option>"
              b" -winsize <window width> -stddev <LR s.d.>\r\n")


class Install(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._prefix = tempfile.TemporaryDirectory()
        cls.prefix = cls._prefix.name
        proc = subprocess.run(
            [os.environ["CMAKE"], "--install", os.environ["BUILDDIR"],
             "--prefix", cls.prefix], capture_output=True)
        assert proc.returncode == 0, proc.stderr.decode()

    @classmethod
    def tearDownClass(cls):
        cls._prefix.cleanup()

    def test_programs_and_pages_are_installed(self):
        for name in ("quorvel", "textcopy"):
            self.assertTrue(os.access(os.path.join(self.prefix, "bin", name),
                                      os.X_OK), name)
            with open(os.path.join(SOURCEDIR, "man", name + ".1"), "rb") as f:
                source = f.read()
            installed = os.path.join(self.prefix, "share", "man", "man1",
                                     name + ".1")
            with open(installed, "rb") as f:
                self.assertEqual(f.read(), source, name)

    def test_installed_quorvel_prints_its_usage(self):
        program = os.path.join(self.prefix, "bin", "quorvel")
        with tempfile.TemporaryDirectory() as scratch:
            proc = subprocess.run([program, "--help"], cwd=scratch,
                                  stdin=subprocess.DEVNULL,
                                  capture_output=True)
            self.assertEqual(os.listdir(scratch), [])
        self.assertEqual(
            (proc.stdout, proc.stderr, proc.returncode),
            (b"", b"Usage: " + program.encode() + USAGE_REST, 255))

    def test_installed_textcopy_copies(self):
        proc = subprocess.run([os.path.join(self.prefix, "bin", "textcopy")],
                              input=b"a\nb\r\n\x1ac\n", capture_output=True)
        self.assertEqual((proc.stdout, proc.stderr, proc.returncode),
                         (b"a\r\nb\r\n", b"", 0))

    def test_man_reads_the_installed_pages(self):
        env = dict(os.environ, MANPAGER="cat", PAGER="cat", MANWIDTH="80",
                   LC_ALL="C")
        for name in ("quorvel", "textcopy"):
            page = os.path.join(self.prefix, "share", "man", "man1",
                                name + ".1")
            proc = subprocess.run(["man", "-l", page], env=env,
                                  capture_output=True)
            self.assertEqual((proc.stderr, proc.returncode), (b"", 0), name)
            lines = proc.stdout.decode("ascii").splitlines()
            title = "%s(1)" % name.upper()
            self.assertTrue(lines[0].startswith(title), lines[0])
            self.assertEqual(lines[lines.index("NAME") + 1].split()[0], name)


if __name__ == "__main__":
    unittest.main()
