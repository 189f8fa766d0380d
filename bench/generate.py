#!/usr/bin/env python3
"""Writes the benchmark inputs, the same bytes on every run.

  generate.py table FILE   50,000 rows of 64 data columns, each with its
                           error column (132 fields), along 22 chromosomes
                           with positions 1,000 apart
  generate.py text FILE    200 MB of tab-separated lines ending in LF
                           (no CR, no Ctrl-Z)
"""
import random
import sys

ROWS = 50000
COLUMNS = 64
CHROMOSOMES = 22


def table_lines():
    rng = random.Random(20261206)
    header = ["ID", "Chromosome", "Position", "Clone"]
    for k in range(COLUMNS):
        header += ["S%02d" % k, "S%02d_error" % k]
    yield "\t".join(header) + "\n"
    per = -(-ROWS // CHROMOSOMES)
    for r in range(ROWS):
        fields = ["C%05d" % (r + 1), str(r // per + 1), str((r % per) * 1000),
                  "RP11-%dk%d" % (r % 997, r % 23)]
        for k in range(COLUMNS):
            fields.append("%.4f" % rng.gauss(0.0, 0.25))
            fields.append("%.4f" % (0.05 + rng.random() * 0.06))
        yield "\t".join(fields) + "\n"


def main():
    kind, path = sys.argv[1], sys.argv[2]
    with open(path, "w", newline="\n") as out:
        if kind == "table":
            out.writelines(table_lines())
        elif kind == "text":
            lines = list(table_lines())
            written = 0
            i = 0
            while written < 200 * 1000 * 1000:
                line = lines[i % len(lines)]
                out.write(line)
                written += len(line)
                i += 1
        else:
            sys.exit("usage: generate.py table|text FILE")


if __name__ == "__main__":
    main()
