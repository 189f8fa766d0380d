#!/usr/bin/env python3
"""Black-box tests of quorvel's window smoothers (functions 1 to 5).

Runs the program named by $QUORVEL in a fresh directory (it writes
./quorveltmp.txt there) and compares standard output byte for byte.
"""

import unittest

from blackbox import ProgramCase

HEADER = b"id\tchr\tpos\tx\tA"
# "errors" is taken as an error column by any reading of the header that
# looks for the word, wherever it stands in the field.
ERRHEADER = b"id\tchr\tpos\tx\tA\tA_errors"


def table(header, rows):
    """An input table: the header, then one line per row of fields."""
    lines = [header] + [b"\t".join(row) for row in rows]
    return b"".join(line + b"\n" for line in lines)


def datarows(pos, LR, dLR=None):
    """Rows r0, r1, ... with their position, LR and (optional) dLR text."""
    rows = []
    for i, (p, v) in enumerate(zip(pos, LR)):
        row = [b"r%d" % i, b"1", p, b"q", v]
        if dLR is not None:
            row.append(dLR[i])
        rows.append(row)
    return rows


def expected(header, rows, sf, added):
    """The output of outopt 2: each line gains its two inserted fields."""
    lines = [header + b"\tA_smoothed%d\tA_error" % sf]
    for row, (mean, err) in zip(rows, added):
        lines.append(b"\t".join(row + [mean, err]))
    return b"".join(line + b"\r\n" for line in lines)


# Seven rows whose position drops from 360 to 50 at row 5; winsize 200.
WORKEDPOS = [b"0", b"100", b"200", b"350", b"360", b"50", b"150"]
WORKEDLR = [b"0.12", b"-0.05", b"0.31", b"0.02", b"-0.27", b"0.44", b"0.08"]
WORKEDDLR = [b"0.05", b"0.10", b"0.08", b"0.20", b"0.15", b"0.10", b"0.05"]

# Means, then errors without an error column (stddev 0.12), for smoothfunc
# 1 to 5.
WORKEDMEAN = {
    1: b"0.03500 0.12667 0.13000 -0.12500 -0.12500 0.26000 0.26000",
    2: b"0.19911 0.06771 0.16269 -0.09781 -0.10529 0.33667 0.18333",
    3: b"0.07021 0.07007 0.17192 -0.09530 -0.11562 0.33456 0.18544",
    4: b"0.18523 0.01841 0.19688 -0.09818 -0.10579 0.38000 0.14000",
    5: b"0.18195 0.03258 0.17986 -0.08696 -0.10897 0.36800 0.15200",
}
WORKEDERROR = {
    1: b"0.08485 0.06928 0.08485 0.08485 0.08485 0.08485 0.08485",
    2: b"0.07820 0.08918 0.09327 0.08235 0.08300 0.10132 0.10132",
    3: b"0.10091 0.08874 0.09492 0.08355 0.08476 0.10091 0.10091",
    4: b"0.08711 0.09884 0.09973 0.08242 0.08271 0.10954 0.10954",
    5: b"0.08589 0.09612 0.09650 0.08413 0.08457 0.10733 0.10733",
}
# Errors with the error column WORKEDDLR.
WORKEDDLRERROR = {
    1: b"0.05590 0.04583 0.06403 0.12500 0.12500 0.05590 0.05590",
    2: b"0.04354 0.05908 0.05700 0.11745 0.11896 0.07273 0.04577",
}


def options(sf, winsize, outopt=2):
    return ["-smoothfunc=%d" % sf, "-winsize=%d" % winsize,
            "-outopt=%d" % outopt]


class SmootherCase(ProgramCase):
    def check(self, args, stdin, want):
        self.assertEqual(self.run_program(args, stdin), (want, b"", 0))


class WorkedExample(SmootherCase):

    def test_without_error_column(self):
        rows = datarows(WORKEDPOS, WORKEDLR)
        for sf in range(1, 6):
            with self.subTest(smoothfunc=sf):
                added = zip(WORKEDMEAN[sf].split(), WORKEDERROR[sf].split())
                self.check(options(sf, 200), table(HEADER, rows),
                           expected(HEADER, rows, sf, added))

    def test_with_error_column(self):
        rows = datarows(WORKEDPOS, WORKEDLR, WORKEDDLR)
        for sf in WORKEDDLRERROR:
            with self.subTest(smoothfunc=sf):
                added = zip(WORKEDMEAN[sf].split(), WORKEDDLRERROR[sf].split())
                self.check(options(sf, 200), table(ERRHEADER, rows),
                           expected(ERRHEADER, rows, sf, added))

    def test_error_column_keeps_means(self):
        # Only the boxcar's and the Gaussian's errors are worked by hand;
        # every function's means must not change with the error column.
        rows = datarows(WORKEDPOS, WORKEDLR, WORKEDDLR)
        for sf in range(1, 6):
            with self.subTest(smoothfunc=sf):
                result = self.run_program(options(sf, 200),
                                          table(ERRHEADER, rows))
                self.assertEqual(result.status, 0)
                lines = result.out.split(b"\r\n")
                self.assertEqual(lines[0], ERRHEADER +
                                 b"\tA_smoothed%d\tA_error" % sf)
                self.assertEqual(lines[-1], b"")
                means = [line.split(b"\t")[6] for line in lines[1:-1]]
                self.assertEqual(means, WORKEDMEAN[sf].split())


class SmallTables(SmootherCase):
    def test_three_row_boxcar(self):
        rows = datarows([b"100", b"200", b"300"], [b"0.5", b"1.0", b"-0.25"])
        added = [(b"0.75000", b"0.08485"), (b"0.41667", b"0.06928"),
                 (b"0.37500", b"0.08485")]
        self.check(options(1, 200), table(HEADER, rows),
                   expected(HEADER, rows, 1, added))

    def test_one_row_keeps_its_value(self):
        plain = datarows([b"42"], [b"-0.37"])
        witherror = datarows([b"42"], [b"-0.37"], [b"-0.3"])
        for sf in range(1, 6):
            with self.subTest(smoothfunc=sf):
                self.check(options(sf, 200), table(HEADER, plain),
                           expected(HEADER, plain, sf,
                                    [(b"-0.37000", b"0.12000")]))
                self.check(options(sf, 200), table(ERRHEADER, witherror),
                           expected(ERRHEADER, witherror, sf,
                                    [(b"-0.37000", b"0.30000")]))

    def test_one_position_gives_plain_mean(self):
        # Mean 4 / 4; error 0.12 / sqrt 4.
        rows = datarows([b"-5"] * 4, [b"0.5", b"1.0", b"-0.25", b"2.75"])
        for sf in range(1, 6):
            with self.subTest(smoothfunc=sf):
                self.check(options(sf, 7), table(HEADER, rows),
                           expected(HEADER, rows, sf,
                                    [(b"1.00000", b"0.06000")] * 4))

    def test_missing_value_reads_as_zero(self):
        # Row 1 stops before its data field; its value is 0 for row 0.
        rows = [[b"r0", b"1", b"5", b"q", b"1.0"], [b"r1", b"1", b"5", b"q"]]
        self.check(options(1, 1, outopt=1), table(HEADER, rows),
                   HEADER + b"\tA_smoothed1\r\n"
                   b"r0\t1\t5\tq\t1.0\t0.50000\r\nr1\t1\t5\tq\r\n")

    def test_header_only(self):
        for sf in range(1, 6):
            with self.subTest(smoothfunc=sf):
                self.check(options(sf, 200), table(HEADER, []),
                           expected(HEADER, [], sf, []))

    def test_winsize_zero(self):
        # The boxcar averages rows at one position; the weighted functions
        # divide a zero distance by a zero width.
        rows = datarows([b"10", b"10", b"11"], [b"0.5", b"1.5", b"3.0"])
        self.check(options(1, 0), table(HEADER, rows),
                   expected(HEADER, rows, 1,
                            [(b"1.00000", b"0.08485")] * 2 +
                            [(b"3.00000", b"0.12000")]))
        for sf in range(2, 6):
            with self.subTest(smoothfunc=sf):
                self.check(options(sf, 0), table(HEADER, rows),
                           expected(HEADER, rows, sf, [(b"nan", b"nan")] * 3))


if __name__ == "__main__":
    unittest.main()
