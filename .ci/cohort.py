#!/usr/bin/env python3
"""Writes the workflow check's cohort into DIR: a table of 200,000 rows in
four series, sixteen of a few hundred to a few thousand rows in one to
five series, and the tables where cutting a table into its series can go
wrong. Some are gzipped, some in the BGZF blocks of bgzip (many gzip
members, each with an extra field)."""
import gzip
import os
import random
import struct
import sys
import zlib


def bgzf(data):
    out = b""
    for i in list(range(0, len(data), 65280)) + [len(data)]:
        block = data[i:i + 65280]
        packer = zlib.compressobj(6, zlib.DEFLATED, -15)
        deflated = packer.compress(block) + packer.flush()
        out += struct.pack("<4BI2BH2BHH", 31, 139, 8, 4, 0, 0, 255, 6, 66, 67,
                           2, len(deflated) + 25) + deflated
        out += struct.pack("<II", zlib.crc32(block), len(block))
    return out


def table(rng, series, rows, columns, errors, step):
    names = [f"S{c}" + (f"\tS{c} Error" if c in errors else "")
             for c in range(columns)]
    lines = ["ID\tChromosome\tPosition\tClone\t" + "\t".join(names)]
    for value in series:
        position = rng.randrange(0, 3 * step)
        level = rng.choice([0, 0, 0.5, -0.7])
        for _ in range(rows):
            n = len(lines)
            fields = [f"R{n:06d}", value, str(position), f"RP{n % 97}-{n}"]
            for c in range(columns):
                fields.append("NA" if rng.random() < 0.05 else
                              f"{level + rng.gauss(0, 0.2):.4f}")
                if c in errors:
                    fields.append(f"{rng.uniform(0.05, 0.3):.3f}")
            lines.append("\t".join(fields))
            position += rng.randrange(0, 2 * step)
    return ("\n".join(lines) + "\n").encode()


def main(outdir):
    rng = random.Random(26)
    tabs = {"big.tsv.gz": bgzf(table(rng, "1234", 50000, 2, {0}, 800))}
    for i in range(16):
        data = table(rng, "12345"[:rng.randint(1, 5)], rng.randint(100, 600),
                     rng.randint(1, 4), {1}, 1500)
        pack = [bytes, lambda d: gzip.compress(d, mtime=0), bytes, bgzf][i % 4]
        tabs[f"s{i:02d}.tsv" + ("" if i % 2 == 0 else ".gz")] = pack(data)
    # A, B, A with the position climbing on: three series, and windows
    # that would cross from one into the next without -series=1.
    back = table(rng, "A", 90, 2, {0}, 300).split(b"\n")
    back[31:61] = [line.replace(b"\tA\t", b"\tB\t", 1) for line in back[31:61]]
    tabs["returning.tsv"] = b"\n".join(back)
    # CR LF ends, a row whose text ends in CR (its series is "A\r", not
    # "A"), a last line without its line end.
    tabs["crlf.tsv"] = (b"ID\tC\tP\tN\tV\r\n" b"r1\tA\t1\tn\t1\r\n"
                        b"r2\tA\t2\tn\t2\r\r\n" b"r3\tA\r\r\n"
                        b"r4\tA\t4\tn\t4\r\n" b"r5\tA\t5\tn\t5")
    # Lines that are no rows (first byte white space) inside a series and
    # between two; rows of one field (series empty) and of two (series to
    # the line's end); a NUL byte in a carried field.
    tabs["blanks.tsv"] = (b"ID\tC\tP\tN\tV\n" b"r1\tA\t10\tn\t1\n"
                          b"\n \tB\t11\tn\t9\n\tB\t12\n\x0bB\n\x0cB\n\rB\n"
                          b"r2\tA\t12\tn\x00x\t2\n" b"r3\n" b"r4\tA\n"
                          b"r5\tA\t14\tn\t5\n" b"r6\t\t15\tn\t6\n")
    # The input ends at Ctrl-Z: what follows is not read.
    tabs["ctrlz.tsv"] = (b"ID\tC\tP\tN\tV\n" b"r1\tA\t1\tn\t1\n"
                         b"r2\tB\t2\tn\t2\x1ar3\tC\t3\tn\t3\n")
    tabs["headeronly.tsv"] = b"ID\tC\tP\tN\tV\n"
    os.makedirs(outdir, exist_ok=True)
    for name, data in tabs.items():
        with open(os.path.join(outdir, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv[1])
