#!/usr/bin/env python3
"""Writes the benchmark inputs, the same bytes on every run.

  generate.py table FILE   50,000 rows of 64 data columns, each with its
                           error column (132 fields), along 22 chromosomes
                           with positions 1,000 apart
  generate.py text FILE    200 MB of tab-separated lines ending in LF
                           (no CR, no Ctrl-Z)
  generate.py tall FILE    2,000,000 rows in 40 series of 50,000 (column 1
                           the series number, positions 500 apart from 0 in
                           each), 16 data columns without error columns,
                           5% of the values NA
  generate.py wide FILE    20,000 rows in one series, positions 100 apart,
                           500 data columns each with its error column
                           (1,004 fields, lines of about 8,300 characters)
  generate.py dense FILE   50,000 rows in one series, positions 10 apart,
                           64 data columns each with its error column
"""
import random
import sys

KINDS = {
    "table": dict(rows=50000, series=22, step=1000, columns=64, errors=True),
    "tall": dict(rows=2000000, series=40, step=500, columns=16, errors=False,
                 missing=0.05),
    "wide": dict(rows=20000, series=1, step=100, columns=500, errors=True,
                 decimals=5),
    "dense": dict(rows=50000, series=1, step=10, columns=64, errors=True),
}


def table_lines(rows, series, step, columns, errors, missing=0.0,
                decimals=4):
    """Lines of a table of rows split evenly into series, each restarting
    its positions at 0; a fraction missing of the data values is NA."""
    rng = random.Random(20261206)
    name = "S%%0%dd" % len(str(columns - 1))
    ident = "C%%0%dd" % len(str(rows))
    value = "%%.%df" % decimals
    header = ["ID", "Chromosome", "Position", "Clone"]
    for k in range(columns):
        header.append(name % k)
        if errors:
            header.append(name % k + "_error")
    yield "\t".join(header) + "\n"
    per = -(-rows // series)
    for r in range(rows):
        fields = [ident % (r + 1), str(r // per + 1), str((r % per) * step),
                  "RP11-%dk%d" % (r % 997, r % 23)]
        for k in range(columns):
            # Only a table with NA draws for them, so the W tables keep their
            # bytes.
            absent = missing and rng.random() < missing
            lr = value % rng.gauss(0.0, 0.25)
            fields.append("NA" if absent else lr)
            if errors:
                fields.append(value % (0.05 + rng.random() * 0.06))
        yield "\t".join(fields) + "\n"


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in list(KINDS) + ["text"]:
        sys.exit("usage: generate.py %s|text FILE" % "|".join(KINDS))
    kind, path = sys.argv[1], sys.argv[2]
    with open(path, "w", newline="\n") as out:
        if kind == "text":
            lines = list(table_lines(**KINDS["table"]))
            written = 0
            i = 0
            while written < 200 * 1000 * 1000:
                line = lines[i % len(lines)]
                out.write(line)
                written += len(line)
                i += 1
        else:
            out.writelines(table_lines(**KINDS[kind]))


if __name__ == "__main__":
    main()
