"""Building the programs, making the inputs, and timing single runs."""
import os
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA = os.path.join(ROOT, "bench", "data")


def sh(*argv, **kw):
    subprocess.run(argv, check=True, **kw)


def build(source, builddir):
    """Paths of quorvel and textcopy built in Release from source."""
    sh("cmake", "-S", source, "-B", builddir, "-DCMAKE_BUILD_TYPE=Release",
       stdout=subprocess.DEVNULL)
    sh("cmake", "--build", builddir, "-j2", "--target", "quorvel", "textcopy",
       stdout=subprocess.DEVNULL)
    return (os.path.join(builddir, "quorvel"),
            os.path.join(builddir, "textcopy"))


def data(kind):
    """Path of the input kind in bench/data, generated on first use; a kind
    ending in .gz is the table gzipped."""
    if kind.endswith(".gz"):
        plain = data(kind[:-3])
        path = plain + ".gz"
        if not os.path.exists(path):
            with open(path + ".part", "wb") as out:
                sh("gzip", "-c", plain, stdout=out)
            os.rename(path + ".part", path)
        return path
    path = os.path.join(DATA, kind + ".tsv")
    if not os.path.exists(path):
        os.makedirs(DATA, exist_ok=True)
        sh(sys.executable, os.path.join(ROOT, "bench", "generate.py"), kind,
           path + ".part")
        os.rename(path + ".part", path)
    return path


# A child of this Python process starts with the parent's resident size,
# some 14 MB, which its own peak then never shows below; GNU time, small
# itself, reports the peak of the run alone.
TIME = "/usr/bin/time"


def start(argv, stdin_path, cwd, out, preexec_fn=None):
    peakfile = os.path.join(cwd, out + ".peak")
    if os.path.exists(TIME):
        argv = [TIME, "-f", "%M", "-o", peakfile] + list(argv)
    with open(stdin_path, "rb") as inp, \
            open(os.path.join(cwd, out), "wb") as outfile:
        proc = subprocess.Popen(argv, stdin=inp, stdout=outfile, cwd=cwd,
                                preexec_fn=preexec_fn)
    proc.peakfile = peakfile
    return proc


def reap(proc):
    """Exit status and peak resident MB of a started run."""
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    kb = usage.ru_maxrss
    if os.path.exists(proc.peakfile):
        with open(proc.peakfile) as peak:
            kb = int(peak.read().split()[-1])
        os.remove(proc.peakfile)
    return proc.returncode, kb / 1024


def finish(proc):
    """Peak resident MB of a started run, which must succeed."""
    status, mb = reap(proc)
    if status != 0:
        sys.exit("%s failed with status %d" % (proc.args, status))
    return mb


def attempt(argv, stdin_path, cwd, out="out", preexec_fn=None):
    """Wall seconds, peak MB and exit status of one run, its output in
    cwd/out. The last run's output is removed before the clock starts:
    freeing its pages is no part of this run."""
    drop(os.path.join(cwd, out))
    begin = time.perf_counter()
    status, mb = reap(start(argv, stdin_path, cwd, out, preexec_fn))
    return time.perf_counter() - begin, mb, status


def once(argv, stdin_path, cwd, out="out"):
    """Wall seconds and peak MB of one run, which must succeed."""
    wall, mb, status = attempt(argv, stdin_path, cwd, out)
    if status != 0:
        sys.exit("%s failed with status %d" % (argv, status))
    return wall, mb


def drop(*paths):
    """Removes the files that exist among paths."""
    for path in paths:
        try:
            os.remove(path)
        except FileNotFoundError:
            pass
