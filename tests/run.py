"""Runs a table of cases against a program: run.py PROGRAM TABLE.

A case is a line: name | arguments | input | standard output | standard
error | exit status | ./quorveltmp.txt; left off: no message, status 0, any
file. Arguments are shell words, " ; " between command lines with one
result. Escapes \\t \\r \\n \\v \\f \\0 \\z (0x1A) \\xHH \\\\; {N*text} is text N
times; $name is the text of a line "let name = text", and $1 in a result
the command line's first argument. Expected \\n is CR LF,
or LF after a leading "lf:"; "..." ends a prefix; "in" is the input with CR
LF; "absent" is no file.
Each run is named "qv" and has a directory of its own, which holds only
"in", a file of the input. QUORVEL_WRAP, when set, is a command that every
run goes through (such as valgrind).
"""
import os, re, shlex, subprocess, sys, tempfile

ESC = {"t": "\t", "r": "\r", "v": "\v", "f": "\f", "z": "\x1a", "0": "\0",
       "\\": "\\"}


def unbytes(text, lineend="\n"):
    while m := re.search(r"\{(\d+)\*([^{}]*)\}", text):
        text = text[:m.start()] + m[2] * int(m[1]) + text[m.end():]
    esc = dict(ESC, n=lineend)
    text = re.sub(r"\\(x..|.)", lambda m: chr(int(m[1][1:], 16))
                  if len(m[1]) == 3 else esc[m[1]], text)
    return text.encode("latin-1")


def expect(text, data):
    if text == "in":
        return data.replace(b"\n", b"\r\n")
    lf = text.startswith("lf:")
    return unbytes(text.removeprefix("lf:").removesuffix("..."),
                   "\n" if lf else "\r\n")


def start(program, argv, **kw):
    """Runs program named argv[0], through QUORVEL_WRAP if it is set: the
    wrapper finds it under its name on the PATH."""
    wrap = shlex.split(os.environ.get("QUORVEL_WRAP", ""))
    if not wrap:
        return subprocess.run(argv, executable=program, **kw)
    with tempfile.TemporaryDirectory() as bindir:
        os.symlink(program, os.path.join(bindir, argv[0]))
        path = bindir + os.pathsep + os.environ["PATH"]
        return subprocess.run(wrap + argv, env=dict(os.environ, PATH=path),
                              **kw)


def check(program, name, args, data, out, err="", status="0", tmp="*"):
    for alt in args.split(" ; "):
        argv = shlex.split(alt)
        first = (argv or [""])[0].encode("latin-1")
        want = [None if text == "absent" else
                expect(text, data).replace(b"$1", first)
                for text in (out, err, tmp)]
        want = [want[0], want[1], int(status), want[2]][:3 + (tmp != "*")]
        with tempfile.TemporaryDirectory() as scratch:
            with open(os.path.join(scratch, "in"), "wb") as f:
                f.write(data)
            r = start(program, ["qv", *argv], cwd=scratch,
                      input=data, capture_output=True, timeout=600)
            left = os.path.join(scratch, "quorveltmp.txt")
            left = open(left, "rb").read() if os.path.isfile(left) else None
        got = [r.stdout[:len(want[0])] if out.endswith("...") else r.stdout,
               r.stderr, r.returncode, left]
        for what, g, w in zip(("output", "messages", "status", "file"), got,
                              want):
            if g != w:
                at = next((i for i, (a, b) in enumerate(zip(g, w)) if a != b),
                          min(len(g), len(w))) if bytes == type(g) == type(
                              w) else 0
                print("FAIL %s [%s] %s from byte %d:\n  got  %.200r\n  want "
                      "%.200r" % (name, alt, what, at, g[at:] if at else g,
                                  w[at:] if at else w))
                return False
    return True


def main(program, path):
    lets, failed = {}, 0
    for line in open(path, encoding="latin-1").read().splitlines():
        line = re.sub(r"\$([A-Za-z_]\w*)", lambda m: lets[m[1]], line)
        if m := re.match(r"let (\w+) = (.*)", line):
            lets[m[1]] = m[2]
        elif line.strip() and not line.startswith("#"):
            cols = [c.strip() for c in line.split("|")]
            cols[2] = unbytes(cols[2])
            failed += not check(program, *cols)
    sys.exit(1 if failed else 0)


main(os.path.abspath(sys.argv[1]), sys.argv[2])
