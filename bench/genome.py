"""The genome-scale workloads of bench/run: G1 tall, G2 wide, G3 every row
in every window.

Release 1.1.0 refuses G1 and G2 whole (more than 50,000 rows; more than 64
data columns, 132 fields or 2046 characters a line), so the baseline runs
them in pieces it takes, and their outputs put back together are what the
current build must write: G1 one run per series, the outputs concatenated
with the header kept once; G2 one run per group of 20 data columns with
their error columns, the outputs joined line by line, the four fixed
columns once. The baseline's time is the sum of its piece runs. The
windows of each series end where the next one restarts at 0, and each
column is smoothed on its own, so the pieces change nothing but the work
around the smoothing.

G3's figure is the time of a whole run per row pair, a pair being a row
and one row of its window, counted from the positions by the window rule;
the reference is a whole run of the same build on the W2 table with the
boxcar of width 2,000,000, about 2,001 rows a window.
"""
import filecmp
import itertools
import os
import resource
import shutil
import statistics
import sys

from measure import attempt, data, drop, once

# The cap of `ulimit -v 100000`, in bytes.
ASCAP = 100000 * 1024


def cap_address_space():
    resource.setrlimit(resource.RLIMIT_AS, (ASCAP, ASCAP))


def positions(table):
    """The positions of a table's rows as quorvel keeps them, in 32 bits;
    the bench's tables have no skipped lines and plain integer positions."""
    with open(table, "rb") as inp:
        inp.readline()
        return [int(line.split(b"\t", 3)[2]) % 2**32 for line in inp]


def pairs(pos, reach):
    """The number of (row, window row) pairs of the boxcar with this reach:
    the sum over rows i of the size of i's window, which takes the rows from
    i - 1 backward while (pos[i] - pos[j]) mod 2^32 <= reach and from i
    forward while (pos[j] - pos[i]) mod 2^32 <= reach, each scan stopping
    at the first row that fails.

    Within a run of non-decreasing positions the distances need no wrap and
    both window ends only move forward, so two pointers find them; a
    window that reaches the end of its run goes on row by row, which
    happens only where positions climb back above the run before."""
    total = 0
    start = 0
    rows = len(pos)
    while start < rows:
        end = start  # the last row of the run
        while end + 1 < rows and pos[end + 1] >= pos[end]:
            end += 1
        first = last = start
        for i in range(start, end + 1):
            while pos[i] - pos[first] > reach:
                first += 1
            last = max(last, i)
            while last < end and pos[last + 1] - pos[i] <= reach:
                last += 1
            size = last - first + 1
            if first == start:
                j = start - 1
                while j >= 0 and (pos[i] - pos[j]) % 2**32 <= reach:
                    size += 1
                    j -= 1
            if last == end:
                j = end + 1
                while j < rows and (pos[j] - pos[i]) % 2**32 <= reach:
                    size += 1
                    j += 1
            total += size
        start = end + 1
    return total


def split_series(table, cwd):
    """Writes each series of the table (column 1) to a file of its own in
    cwd, with the header; returns their paths in order."""
    paths = []
    seen = set()
    current = out = None
    with open(table, "rb") as inp:
        header = inp.readline()
        for line in inp:
            series = line.split(b"\t", 2)[1]
            if series != current:
                # Concatenating the outputs gives the rows in input order
                # only if each series is one block of rows.
                if series in seen:
                    sys.exit("%s: series %s is not one block"
                             % (table, series.decode()))
                seen.add(series)
                current = series
                if out:
                    out.close()
                paths.append(os.path.join(cwd, "series%02d.tsv" % len(paths)))
                out = open(paths[-1], "wb")
                out.write(header)
            out.write(line)
    if out:
        out.close()
    return paths


def split_groups(table, cwd, size):
    """Writes the table's data columns, each with its error column, in
    groups of size to files of their own in cwd, each with the four fixed
    columns; returns their paths in order."""
    with open(table, "rb") as inp:
        header = inp.readline()
        fields = header.count(b"\t") + 1 - 4
        width = 2 * size  # fields of a group
        if fields % width:
            sys.exit("%s: %d data and error fields do not split into groups "
                     "of %d columns" % (table, fields, size))
        paths = [os.path.join(cwd, "group%02d.tsv" % g)
                 for g in range(fields // width)]
        outs = [open(path, "wb") for path in paths]
        for line in itertools.chain([header], inp):
            cells = line.rstrip(b"\n").split(b"\t")
            fixed = b"\t".join(cells[:4])
            for g, out in enumerate(outs):
                group = cells[4 + g * width:4 + (g + 1) * width]
                out.write(b"\t".join([fixed] + group) + b"\n")
        for out in outs:
            out.close()
    return paths


def concatenate(outputs, expected):
    """Writes the outputs one after another to expected, the header line
    of all but the first left out."""
    with open(expected, "wb") as out:
        for k, path in enumerate(outputs):
            with open(path, "rb") as piece:
                if k:
                    piece.readline()
                shutil.copyfileobj(piece, out, 1 << 20)


def join(outputs, expected):
    """Writes to expected each line of the outputs side by side: the four
    fixed fields of the first, then each output's fields from index 4 on;
    every line ends in CR LF. The outputs must agree on the fixed fields
    and the number of lines."""
    ins = [open(path, "rb") for path in outputs]
    with open(expected, "wb") as out:
        for number, first in enumerate(ins[0]):
            cells = [first] + [inp.readline() for inp in ins[1:]]
            cells = [line.split(b"\t", 4) for line in cells]
            fixed = cells[0][:4]
            if any(c[:4] != fixed or len(c) < 5 or not c[4].endswith(b"\r\n")
                   for c in cells):
                sys.exit("group outputs disagree at line %d" % (number + 1))
            out.write(b"\t".join(fixed + [c[4][:-2] for c in cells])
                      + b"\r\n")
    if any(inp.read(1) for inp in ins[1:]):
        sys.exit("group outputs differ in length")
    for inp in ins:
        inp.close()


def same(status, path, reference):
    if status != 0:
        return "NO (status %d)" % status
    if reference is None:
        return "-"
    return "yes" if filecmp.cmp(path, reference, shallow=False) else "NO"


def room(cwd, table, times):
    """Exits unless cwd has room for about times the table's size."""
    need = os.path.getsize(table) * times
    free = shutil.disk_usage(cwd).free
    if free < need:
        sys.exit("%s: %.1f GB free, this workload needs about %.1f GB"
                 % (cwd, free / 1e9, need / 1e9))


class Genome:
    """Runs G1 to G3 and collects their rows; the first build is the
    current tree, the second, if any, the baseline."""

    def __init__(self, builds, dirs, runs, wruns, small, g3_baseline):
        self.builds = builds  # name -> (quorvel, textcopy)
        self.dirs = dirs
        self.runs = runs
        self.wruns = wruns  # runs of the W2 reference of G3
        self.small = small
        self.g3_baseline = g3_baseline
        names = list(builds)
        self.current = names[0]
        self.base = names[1] if len(names) > 1 else None
        self.rows = []

    def kind(self, name):
        return data(name + "-small" if self.small else name)

    def rounds(self, runs):
        """The order of the builds in each round, alternating."""
        order = [self.current] + ([self.base] if self.base else [])
        for run in range(runs):
            yield order if run % 2 == 0 else order[::-1]

    def pieces(self, argv, paths):
        """Wall seconds summed and the highest peak MB of the baseline run
        on each input of paths, each output beside its input."""
        quorvel = self.builds[self.base][0]
        cwd = self.dirs[self.base]
        wall, peak = 0.0, 0.0
        for path in paths:
            seconds, mb = once([quorvel] + argv, path, cwd, path + ".out")
            wall += seconds
            peak = max(peak, mb)
        return wall, peak

    def piecewise(self, title, argv, table, cut, assemble, target):
        """Times the current build on the whole table and the baseline on
        the pieces that cut(table, cwd) writes; assemble(outputs, expected)
        makes the bytes that the current build must write."""
        cwd = self.dirs[self.current]
        out = os.path.join(cwd, "out")
        expected = paths = None
        assembled = False
        if self.base:
            paths = cut(table, self.dirs[self.base])
            expected = os.path.join(self.dirs[self.base], "expected")
        walls = {name: [] for name in self.builds}
        peak = {name: 0.0 for name in self.builds}
        for order in self.rounds(self.runs):
            for name in order:
                if name == self.current:
                    wall, mb, status = attempt(
                        [self.builds[name][0]] + argv, table, cwd)
                else:
                    wall, mb = self.pieces(argv, paths)
                    outputs = [path + ".out" for path in paths]
                    if not assembled:
                        assemble(outputs, expected)
                        assembled = True
                    drop(*outputs)
                walls[name].append(wall)
                peak[name] = max(peak[name], mb)
        right = same(status, out, expected)
        self.row(title, walls, peak, right, target)
        if paths:
            drop(*paths)
            drop(os.path.join(self.dirs[self.base], "quorveltmp.txt"))
        return out, expected

    def row(self, title, walls, peak, right, target, figure=None):
        wall = {name: statistics.median(w) for name, w in walls.items() if w}
        if figure is None and self.base in wall:
            figure = "%.2f" % (wall[self.current] / wall[self.base])
        self.rows.append((title, wall, figure or "-", peak, right, target))

    def tall(self):
        table = self.kind("tall")
        room(self.dirs[self.current], table, 12)
        argv = ["-smoothfunc=2", "-outopt=2", "-winsize=25000", "-missing=1"]
        against = ""
        if self.base:
            against = "<= 1.15 x sum of %s on each series, " % self.base
        out, expected = self.piecewise("G1 tall, Gaussian", argv, table,
                                       split_series, concatenate,
                                       against + "<= 64 MB")
        # The capped run is checked against the baseline's bytes, or
        # without a baseline against the uncapped run.
        cwd = self.dirs[self.current]
        reference = expected or out
        if expected:
            drop(out)
        capped = os.path.join(cwd, "capped")
        wall, mb, status = attempt([self.builds[self.current][0]] + argv,
                                   table, cwd, "capped", cap_address_space)
        self.row("G1 under ulimit -v 100000", {self.current: [wall]},
                 {self.current: mb}, same(status, capped, reference),
                 "same bytes")
        drop(out, capped, os.path.join(cwd, "quorveltmp.txt"))
        if expected:
            drop(expected)

    def wide(self):
        table = self.kind("wide")
        room(self.dirs[self.current], table, 12)
        against = ""
        if self.base:
            against = "<= 1.15 x sum of %s on groups of 20, " % self.base
        out, expected = self.piecewise(
            "G2 wide, boxcar", ["-smoothfunc=1", "-outopt=2", "-winsize=4000"],
            table, lambda t, cwd: split_groups(t, cwd, 20), join,
            against + "<= 160 MB")
        drop(out, os.path.join(self.dirs[self.current], "quorveltmp.txt"))
        if expected:
            drop(expected)

    def timed(self, argv, table, runs, names):
        """Medians, peaks and whether the builds in names wrote the same
        bytes, over runs alternating between them."""
        walls = {name: [] for name in names}
        peak = {name: 0.0 for name in names}
        status = {}
        for order in self.rounds(runs):
            for name in order:
                if name in names:
                    wall, mb, status[name] = attempt(
                        [self.builds[name][0]] + argv, table, self.dirs[name])
                    walls[name].append(wall)
                    peak[name] = max(peak[name], mb)
        outs = [os.path.join(self.dirs[name], "out") for name in names]
        right = same(status[self.current], outs[0],
                     outs[1] if len(names) > 1 else None)
        if len(names) > 1 and status[names[1]] != 0:
            right = "NO (%s status %d)" % (names[1], status[names[1]])
        for name in names:
            drop(os.path.join(self.dirs[name], "out"),
                 os.path.join(self.dirs[name], "quorveltmp.txt"))
        return walls, peak, right

    def dense(self):
        """G3 against the W2 table, in time per row pair."""
        names = [self.current]
        if self.g3_baseline and self.base:
            names.append(self.base)
        ns = {}
        for title, table, winsize, runs in (
                ("W2 boxcar, -winsize=2000000", data("table"), 2000000,
                 self.wruns),
                ("G3 boxcar, every row in every window", self.kind("dense"),
                 1000000, self.runs)):
            count = pairs(positions(table), (winsize % 2**32) >> 1)
            argv = ["-smoothfunc=1", "-outopt=2", "-winsize=%d" % winsize]
            walls, peak, right = self.timed(argv, table, runs, names)
            ns[title] = {name: statistics.median(w) / count * 1e9
                         for name, w in walls.items()}
            figure = ", ".join("%s %.3f ns" % (name, ns[title][name])
                               for name in names)
            figure = "{:,} pairs; {} a pair".format(count, figure)
            if title.startswith("G3"):
                reference = ns["W2 boxcar, -winsize=2000000"][self.current]
                figure += " (%.2f x W2's)" % (ns[title][self.current]
                                              / reference)
                target = "a pair <= W2's"
            else:
                target = "reference for G3"
            self.row(title, walls, peak, right, target, figure)

    def print(self):
        names = list(self.builds)
        head = ["Workload"] + ["%s s" % n for n in names]
        head += ["Ratio or time a pair"] + ["%s MB" % n for n in names]
        head += ["Same bytes", "Target"]
        print("| " + " | ".join(head) + " |")
        print("|" + "---|" * len(head))
        for title, wall, figure, peak, right, target in self.rows:
            cells = [title] + ["%.3f" % wall[n] if n in wall else "-"
                               for n in names]
            cells += [figure] + ["%.0f" % peak[n] if n in peak else "-"
                                 for n in names]
            cells += [right, target]
            print("| " + " | ".join(cells) + " |")
