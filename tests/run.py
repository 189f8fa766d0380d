"""Runs a table of cases against a program: run.py PROGRAM TABLE.

A case is one line of columns split at "|": name | arguments | input |
standard output | standard error | exit status | ./quorveltmp.txt after
the run. Arguments are shell words; " ; " parts them into command lines
that must each give the same result. Left-off columns mean no message,
status 0 and the file not looked at. Bytes are written with the escapes
\\t \\r \\n \\v \\f \\0 \\z (0x1A) \\xHH \\\\, and {N*text} is text N times. In
the expected bytes \\n is the CR LF the programs end every line with; an
output that ends in "..." need only begin with the rest. "in" is the input
with CR LF line ends; for the file, "absent" is no file and "*" anything.
"$name" is the text of an earlier line "let name = text". Each run is in
an empty directory and is named "qv" in its argv[0].
"""
import os
import re
import shlex
import subprocess
import sys
import tempfile

ESC = dict(t="\t", r="\r", v="\v", f="\f", z="\x1a")
ESC.update({"0": "\0", "\\": "\\"})


def unbytes(text, lineend="\n"):
    while m := re.search(r"\{(\d+)\*([^{}]*)\}", text):
        text = text[:m.start()] + m[2] * int(m[1]) + text[m.end():]
    esc = dict(ESC, n=lineend)
    text = re.sub(r"\\(x..|.)", lambda m: chr(int(m[1][1:], 16))
                  if len(m[1]) == 3 else esc[m[1]], text)
    return text.encode("latin-1")


def expect(text, data):
    return data.replace(b"\n", b"\r\n") if text == "in" else unbytes(
        text.removesuffix("..."), "\r\n")


def check(program, name, args, data, out, err="", status="0", tmp="*"):
    for alt in args.split(" ; "):
        with tempfile.TemporaryDirectory() as scratch:
            r = subprocess.run(["qv", *shlex.split(alt)], executable=program,
                               cwd=scratch, input=data, capture_output=True,
                               timeout=120)
            path = os.path.join(scratch, "quorveltmp.txt")
            left = open(path, "rb").read() if os.path.isfile(path) else None
        got = dict(out=r.stdout, err=r.stderr, status=r.returncode)
        want = dict(out=expect(out, data), err=expect(err, data),
                    status=int(status))
        if out.endswith("..."):
            got["out"] = got["out"][:len(want["out"])]
        if tmp != "*":
            got["tmp"] = left
            want["tmp"] = None if tmp == "absent" else expect(tmp, data)
        for key in want:
            if got[key] != want[key]:
                g, w, at = got[key], want[key], 0
                if isinstance(g, bytes) and isinstance(w, bytes):
                    at = next((i for i, (a, b) in enumerate(zip(g, w))
                               if a != b), min(len(g), len(w)))
                    g, w = g[at:], w[at:]
                print("FAIL %s [%s] %s from byte %d:\n  got  %.200r\n  want "
                      "%.200r" % (name, alt, key, at, g, w))
                return False
    return True


def main(program, path):
    lets, failed = {}, 0
    for line in open(path, encoding="latin-1").read().splitlines():
        line = re.sub(r"\$(\w+)", lambda m: lets[m[1]], line)
        if m := re.match(r"let (\w+) = (.*)", line):
            lets[m[1]] = m[2]
        elif line.strip() and not line.startswith("#"):
            cols = [c.strip() for c in line.split("|")]
            cols[2] = unbytes(cols[2])
            failed += not check(program, *cols)
    sys.exit(1 if failed else 0)


main(os.path.abspath(sys.argv[1]), sys.argv[2])
