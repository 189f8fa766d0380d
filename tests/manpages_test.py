"""The manual pages: they format cleanly, carry the project's version, name
every message quorvel writes, and their examples print what they show."""
import os
import re
import subprocess
import tempfile
import unittest

from blackbox import ProgramCase, table

SOURCEDIR = os.environ.get("SOURCEDIR", "")
PAGES = {"quorvel": "QUORVEL", "textcopy": "TEXTCOPY"}


def pagepath(name):
    return os.path.join(SOURCEDIR, "man", name + ".1")


def render(name):
    """The page as plain text, one line per paragraph, never hyphenated."""
    proc = subprocess.run(
        ["groff", "-man", "-Tascii", "-P-cbou", "-rLL=300n", "-rHY=0",
         pagepath(name)], capture_output=True, check=True)
    return proc.stdout.decode("ascii")


def flat(text):
    return " ".join(text.split())


class Formatting(unittest.TestCase):
    def test_pages_format_without_warnings(self):
        # Each output device has its own glyphs: a character one of them
        # lacks is a warning only when formatting for that device.
        for name in PAGES:
            for device in ("ps", "utf8", "ascii"):
                proc = subprocess.run(
                    ["groff", "-man", "-ww", "-z", "-T" + device,
                     pagepath(name)], capture_output=True)
                self.assertEqual((proc.stderr, proc.returncode), (b"", 0),
                                 (name, device))

    def test_pages_and_changelog_carry_the_project_version(self):
        version = os.environ["VERSION"]
        for name, title in PAGES.items():
            with open(pagepath(name), encoding="ascii") as f:
                th = f.readline().rstrip("\n")
            self.assertRegex(th, r'^\.TH %s 1 \d{4}-\d\d-\d\d "quorvel %s" '
                             % (title, re.escape(version)))
        with open(os.path.join(SOURCEDIR, "CHANGELOG.md")) as f:
            releases = re.findall(r"^## (\S+)", f.read(), re.M)
        self.assertEqual(releases[0], version)


class Messages(ProgramCase):
    """Provokes quorvel's messages and looks each up in DIAGNOSTICS, under
    the heading that matches its exit status, with its numbers standing for
    the page's placeholders."""

    def messages(self, args=(), data=b"", **kw):
        r = self.run_program(args, data, **kw)
        self.assertTrue(r.err.endswith(b"\r\n"))
        return [(r.status, line.decode().replace(self.program, "quorvel"))
                for line in r.err.split(b"\r\n") if line]

    def test_every_message_provoked_is_described(self):
        head = ["id", "chr", "pos", "x"]
        provoked = [
            *self.messages(["--help"]),
            *self.messages(["-outopt=3"]),
            *self.messages(["-smoothfunc=9"], table(head + ["A"], ["a"] * 5)),
            *self.messages([], table(head + ["E error", "A"])),
            # A field too many: one message on reading, one on writing.
            *self.messages([], table(head + ["A"], ["a", 1, 2, "b", 1, 2])),
            *self.messages([], table(head + ["c%d" % i for i in range(65)])),
            *self.messages(stdin=os.open(self.dir, os.O_RDONLY)),
        ]
        # A directory in the intermediate file's place can't be replaced.
        os.remove(os.path.join(self.dir, "quorveltmp.txt"))
        os.mkdir(os.path.join(self.dir, "quorveltmp.txt"))
        provoked += self.messages()
        self.assertEqual(len(provoked), 9)

        page = flat(render("quorvel"))
        fatal = page[page.index(" Messages that end the run "):
                     page.index(" Messages that report bad input")]
        goes_on = page[page.index(" Messages that report bad input"):
                       page.index(" LIMITS ")]
        for status, text in provoked:
            # The rest of this message is the header line itself.
            text = text.split(" header ")[0] + " header" \
                if "Error parsing header" in text else text
            pattern = re.sub(r"-?\d+", r"\\S+", re.escape(text))
            self.assertRegex(fatal if status == 255 else goes_on, pattern,
                             (status, text))


class Examples(unittest.TestCase):
    """Runs every "$ command" of the pages' EXAMPLES and compares what it
    prints with the lines under it, field by field (the page aligns
    tab-separated output with spaces)."""

    def check_examples(self, name, program):
        text = render(name)
        examples = text[text.index("\nEXAMPLES\n"):text.index("\nSEE ALSO\n")]
        lines = examples.split("\n")
        bindir = os.path.dirname(program)
        env = dict(os.environ, PATH=bindir + os.pathsep + os.environ["PATH"])
        ran = 0
        with tempfile.TemporaryDirectory() as scratch:
            for i, line in enumerate(lines):
                command = line.strip()
                if not command.startswith("$ "):
                    continue
                expected = []
                for after in lines[i + 1:]:
                    if not after.strip() or after.strip().startswith("$ "):
                        break
                    expected.append(after.split())
                proc = subprocess.run(["bash", "-c", command[2:]], cwd=scratch,
                                      env=env, capture_output=True)
                self.assertEqual(proc.returncode, 0, command)
                got = [l.split() for l in proc.stdout.decode().splitlines()]
                self.assertEqual(got, expected, command)
                ran += 1
        self.assertGreater(ran, 0)

    def test_quorvel_examples(self):
        self.check_examples("quorvel", os.environ["QUORVEL"])

    def test_textcopy_examples(self):
        self.check_examples("textcopy", os.environ["TEXTCOPY"])


if __name__ == "__main__":
    unittest.main()
