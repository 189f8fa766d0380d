#!/usr/bin/env python3
"""Cuts a table into its series and joins their smoothed outputs again.

  series.py split TABLE DIR    writes DIR/1.tsv, DIR/2.tsv, ...: the header
                               and the rows of each run of equal field 1,
                               and prints how many
  series.py join DIR N OUTPUT  writes the outputs DIR/1.tsv .. DIR/N.tsv as
                               one: the first whole, the rest without
                               their header

Lines are taken as quorvel takes them, so that each piece smoothed with
-series=1 gives exactly its rows of the whole table smoothed with
-series=1: gzip input is decompressed, the input ends at a Ctrl-Z byte,
CR LF reads as LF, and a line after the header whose first byte is white
space is no row. A series is a run of rows, not a value: a table whose
field 1 goes A, B, A has three.
"""
import gzip
import os
import shutil
import sys

BLANK = b" \t\n\v\f\r"


def lines(path):
    """Yields the lines of the table at path, each without its line end."""
    with open(path, "rb") as probe:
        zipped = probe.read(2) == b"\x1f\x8b"
    with (gzip.open if zipped else open)(path, "rb") as table:
        for line in table:
            end = line.find(b"\x1a")
            if end >= 0:
                line = line[:end]
                if line:
                    yield line
                return
            if line.endswith(b"\r\n"):
                line = line[:-2]
            elif line.endswith(b"\n"):
                line = line[:-1]
            yield line


def split(path, piecedir):
    os.makedirs(piecedir, exist_ok=True)
    # Every line goes out with CR LF, which quorvel reads back as the line
    # end even when the line's own text ends in CR.
    header = None
    piece = None
    count = 0
    series = None
    for line in lines(path):
        if header is None:
            header = line + b"\r\n"
            continue
        if not line or line[0] in BLANK:
            continue
        fields = line.split(b"\t", 2)
        value = fields[1] if len(fields) > 1 else b""
        if piece is None or value != series:
            if piece:
                piece.close()
            count += 1
            piece = open(os.path.join(piecedir, f"{count}.tsv"), "wb")
            piece.write(header)
            series = value
        piece.write(line + b"\r\n")
    if piece:
        piece.close()
    else:
        # A table without rows is one piece: its header, if it has one.
        with open(os.path.join(piecedir, "1.tsv"), "wb") as only:
            only.write(header or b"")
        count = 1
    return count


def join(piecedir, count, path):
    with open(path, "wb") as out:
        for n in range(1, count + 1):
            with open(os.path.join(piecedir, f"{n}.tsv"), "rb") as piece:
                if n > 1:
                    piece.readline()
                shutil.copyfileobj(piece, out)


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "split":
        print(split(sys.argv[2], sys.argv[3]))
    elif len(sys.argv) == 5 and sys.argv[1] == "join":
        join(sys.argv[2], int(sys.argv[3]), sys.argv[4])
    else:
        sys.exit(__doc__)
