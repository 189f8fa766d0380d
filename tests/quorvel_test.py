"""quorvel from the outside: command line, messages, reading and writing."""
import os
import subprocess
import unittest

from blackbox import ProgramCase, crlf, table

HEAD = ["id", "chr", "pos", "x"]
USAGE = (b" -smoothfunc <smooth type> -outopt <output option>"
         b" -winsize <window width> -stddev <LR s.d.>\r\n")


class CommandLine(ProgramCase):
    data = table(HEAD + ["A"], ["p1", 1, 100, "q", 0.5])

    def error_printed(self, *args):
        """The error inserted for the one row (function 0, no error column,
        so the standard deviation itself)."""
        r = self.run_program(["-outopt=2", *args], self.data)
        self.assertEqual(r.status, 0)
        return r.out.split(b"\r\n")[1].split(b"\t")[-1]

    def test_defaults(self):
        r = self.run_program([], self.data)
        self.assertEqual(r, (crlf("id\tchr\tpos\tx\tA\tA-plotline\n"
                                  "p1\t1\t100\tq\t0.5\t0.50000\n"), b"", 0))
        self.assertEqual(self.tmpfile(), crlf(self.data))
        self.assertEqual(self.error_printed(), b"0.12000")

    def test_later_option_wins_and_values_read_leniently(self):
        self.assertEqual(self.error_printed("-stddev=5", "-stddev=.5"),
                         b"0.50000")
        self.assertEqual(self.error_printed("-stddev=-0.3"), b"-0.30000")
        self.assertEqual(self.error_printed("-stddev=0.25x"), b"0.25000")
        self.assertEqual(self.error_printed("-stddev="), b"0.00000")
        self.assertEqual(self.error_printed("-stddev=1d1"), b"10.00000")

    def test_unknown_forms_are_ignored(self):
        for args in (["-STDDEV=0.5"], ["-stddev", "0.5"], ["stddev=0.5"],
                     ["-stddev:0.5"], ["file.tsv"]):
            self.assertEqual(self.error_printed(*args), b"0.12000", args)

    def test_integer_values_stop_at_letters(self):
        r = self.run_program(["-smoothfunc=0abc", "-outopt=1x"], self.data)
        self.assertEqual(r.out.split(b"\r\n")[0],
                         b"id\tchr\tpos\tx\tA\tA_smoothed0")
        r = self.run_program(["-smoothfunc=7xyz", "-outopt=abc"], self.data)
        self.assertEqual(r.err, b"prog: Unknown smoothing function 7\r\n"
                         .replace(b"prog", self.program.encode()))

    def test_help_and_bad_outopt_print_usage_before_anything(self):
        for args in (["-h"], ["-help"], ["--help"], ["-outopt=3"],
                     ["-outopt=-1"], ["-outopt=2", "-outopt=9"],
                     ["-winsize=5", "--help"]):
            r = self.run_program(args, self.data, argv0="qv")
            self.assertEqual(r, (b"", b"Usage: qv" + USAGE, 255), args)
            self.assertIsNone(self.tmpfile(), args)

    def test_outopt_repaired_by_a_later_argument(self):
        r = self.run_program(["-outopt=3", "-outopt=1"], self.data)
        self.assertEqual(r.status, 0)

    def test_unknown_function_after_reading_everything(self):
        r = self.run_program(["-smoothfunc=7"], self.data, argv0="/x/qv")
        self.assertEqual(r, (b"", b"/x/qv: Unknown smoothing function 7\r\n",
                             255))
        self.assertEqual(self.tmpfile(), crlf(self.data))
        r = self.run_program(["-smoothfunc=-1"], self.data, argv0="qv")
        self.assertEqual(r.err, b"qv: Unknown smoothing function -1\r\n")

    def test_unknown_function_without_data_columns_copies(self):
        data = table(HEAD, ["a", "b", 3, "d"])
        r = self.run_program(["-smoothfunc=7"], data)
        self.assertEqual(r, (crlf(data), b"", 0))

    def test_quotes_around_program_name_are_dropped(self):
        r = self.run_program(["-h"], argv0='"qv"')
        self.assertEqual(r.err, b"Usage: qv" + USAGE)


class Failures(ProgramCase):
    def test_intermediate_file_cannot_be_created(self):
        os.mkdir(os.path.join(self.dir, "quorveltmp.txt"))
        r = self.run_program([], table(HEAD), argv0="qv")
        self.assertEqual(r, (b"", b"qv: Can't open ./quorveltmp.txt for "
                                  b"writing\r\n", 255))

    def test_standard_input_a_directory(self):
        fd = os.open(self.dir, os.O_RDONLY)
        try:
            r = self.run_program([], stdin=fd, argv0="qv")
        finally:
            os.close(fd)
        self.assertEqual(r, (b"", b"qv: Error reading standard input\r\n",
                             255))

    def test_more_than_64_data_columns(self):
        header = HEAD + ["c%d" % i for i in range(65)]
        r = self.run_program([], table(header, ["a"] * 69), argv0="qv")
        self.assertEqual(r, (b"", b"qv: Too many data columns (at most 64)"
                                  b"\r\n", 255))
        self.assertEqual(self.tmpfile(), b"")

    def test_64_data_columns_with_errors_fill_132_fields(self):
        # Fields from 132 on are neither roles nor written.
        header = HEAD + [n for i in range(64) for n in ("c%d" % i,
                                                         "c%d_error" % i)]
        header += ["extra", "more"]
        row = ["r", 1, 5, "x"] + ["%d.123456" % i for i in range(130)]
        r = self.run_program(["-outopt=2"], table(header, row))
        self.assertEqual(r.status, 0)
        out = r.out.split(b"\r\n")
        self.assertEqual(len(out[0].split(b"\t")), 4 + 64 * 4)
        self.assertEqual(out[0].split(b"\t")[-4:], [
            b"c63", b"c63_error", b"c63_smoothed0", b"c63_error"])
        self.assertEqual(out[1].split(b"\t")[-4:],
                         [b"126.123456", b"127.123456", b"126.12346", b"127.12346"])
        self.assertEqual(out[2], b"")
        self.assertGreater(len(out[1]), 2048)  # written whole

    def test_reader_gone_is_not_a_failure(self):
        rows = [["r%d" % i, 1, i, "x", "0.%d" % i] for i in range(20000)]
        data = table(HEAD + ["A"], *rows)
        proc = subprocess.run(
            "'%s' -outopt=2 | head -c 1 >/dev/null; echo ${PIPESTATUS[0]}"
            % self.program, shell=True, executable="/bin/bash", input=data,
            capture_output=True, cwd=self.dir)
        self.assertEqual(proc.stdout, b"0\n")
        self.assertEqual(proc.stderr, b"")


class HeaderRoles(ProgramCase):
    def test_error_column_names(self):
        header = HEAD + ["A", "A_error", "B", "Errors", "C", "Error bars",
                         "D", "xERRORx", "E", "err"]
        r = self.run_program(["-outopt=1"], table(header))
        self.assertEqual(r.out, crlf(
            "id\tchr\tpos\tx\tA\tA_error\tA_smoothed0\tB\tErrors\t"
            "B_smoothed0\tC\tError bars\tC_smoothed0\tD\txERRORx\t"
            "D_smoothed0\tE\tE_smoothed0\terr\terr_smoothed0\n"))

    def test_output_layouts(self):
        header = HEAD + ["A", "E_error", "B"]
        want = {
            0: "A\tE_error\tA-plotline\tB\tB-plotline",
            1: "A\tE_error\tA_smoothed3\tB\tB_smoothed3",
            2: "A\tE_error\tA_smoothed3\tA_error\tB\tB_smoothed3\tB_error",
        }
        for outopt, fields in want.items():
            r = self.run_program(["-outopt=%d" % outopt, "-smoothfunc=3"],
                                 table(header))
            self.assertEqual(r.out, crlf("id\tchr\tpos\tx\t%s\n" % fields))

    def test_function_0_copies_values_and_errors(self):
        data = table(HEAD + ["A", "A_error", "B"],
                     ["p1", 1, 100, "q", "0.5", "0.1", "-2"])
        r = self.run_program(["-outopt=2"], data)
        self.assertEqual(r.out.split(b"\r\n")[1], b"p1\t1\t100\tq\t0.5\t0.1\t"
                         b"0.50000\t0.10000\t-2\t-2.00000\t0.12000")

    def test_error_column_before_any_data_column(self):
        header = b"id\tchr\tpos\tx\tError\tA\n"
        data = header + b"p\t1\t2\tq\t1.5\t2.5\n"
        r = self.run_program(["-outopt=1"], data, argv0="qv")
        self.assertEqual(r.err, b"qv: Error parsing header " + crlf(header)
                         + b"\r\n")
        self.assertEqual(r.out, crlf(
            "id\tchr\tpos\tx\tError\tError_smoothed0\tA\tA_smoothed0\n"
            "p\t1\t2\tq\t1.5\t1.50000\t2.5\t2.50000\n"))

    def test_second_error_column_replaces_the_first(self):
        header = HEAD + ["A", "e1_error", "e2_error", "B"]
        data = table(header, ["p", 1, 2, "q", 1, 2, 3, 4])
        r = self.run_program(["-outopt=2"], data, argv0="qv")
        self.assertEqual(r.err, b"qv: Counting error line 0 array 0\r\n"
                         b"qv: Output counting error line -1 array 0\r\n"
                         b"qv: Output counting error line 0 array 0\r\n")
        self.assertEqual(r.out, crlf(
            "id\tchr\tpos\tx\tA\te2_error\tA_smoothed0\tA_error\tB\t"
            "B_smoothed0\tB_error\n"
            # The values at and after the first error column are not read.
            "p\t1\t2\tq\t1\t3\t1.00000\t0.00000\t4\t0.00000\t0.12000\n"))

    def test_empty_header_field_is_a_data_column(self):
        r = self.run_program([], b"id\tchr\tpos\tx\tA\t\n")
        self.assertEqual(r.out, crlf("id\tchr\tpos\tx\tA\tA-plotline\t\t"
                                     "-plotline\n"))


class DataLines(ProgramCase):
    def test_blank_first_byte_skips_the_line(self):
        data = (table(HEAD + ["A"], ["a", 1, 1, "x", 1])
                + b" b\t1\t2\tx\t2\n\tc\n\n\x0bd\n\x0ce\n\rf\n"
                + table(["g", 1, 3, "x", 3]))
        r = self.run_program([], data)
        self.assertEqual(r.out, crlf(
            "id\tchr\tpos\tx\tA\tA-plotline\na\t1\t1\tx\t1\t1.00000\n"
            "g\t1\t3\tx\t3\t3.00000\n"))
        self.assertEqual(self.tmpfile(), crlf(
            "id\tchr\tpos\tx\tA\na\t1\t1\tx\t1\ng\t1\t3\tx\t3\n"))

    def test_counting_errors_name_the_line_and_column(self):
        data = table(HEAD + ["A", "B"], ["a", 1, 1, "x", 1, 2, 3],
                     ["b", 1, 1, "x", 4, 5, 6, 7])
        r = self.run_program([], data, argv0="qv")
        self.assertEqual(r.err, b"qv: Counting error line 0 array 2\r\n"
                         b"qv: Counting error line 1 array 2\r\n"
                         b"qv: Output counting error line 0 array 2\r\n"
                         b"qv: Output counting error line 1 array 2\r\n"
                         b"qv: Output counting error line 1 array 2\r\n")
        self.assertEqual(r.out.split(b"\r\n")[1:], [
            b"a\t1\t1\tx\t1\t1.00000\t2\t2.00000",
            b"b\t1\t1\tx\t4\t4.00000\t5\t5.00000", b""])

    def test_short_lines_and_a_last_line_without_line_end(self):
        data = table(HEAD + ["A", "B"], ["a", 1, 1, "x", 1], ["b", 2]) + \
            b"c\td\t12"
        r = self.run_program([], data)
        self.assertEqual(r.out, crlf(
            "id\tchr\tpos\tx\tA\tA-plotline\tB\tB-plotline\n"
            "a\t1\t1\tx\t1\t1.00000\nb\t2\nc\td\n"))
        self.assertEqual(self.tmpfile(), crlf(data))

    def test_text_streams_cr_lf_in_ctrl_z_ends(self):
        data = (b"id\tchr\tpos\tx\tA\r\na\t1\t1\tx\t1\r\n"
                b"b\t1\t2\tx\t2\rz\n\x1ac\t1\t3\tx\t3\n")
        r = self.run_program([], data)
        self.assertEqual(r.out, b"id\tchr\tpos\tx\tA\tA-plotline\r\n"
                         b"a\t1\t1\tx\t1\t1.00000\r\n"
                         b"b\t1\t2\tx\t2\rz\t2.00000\r\n")

    def test_nul_bytes_are_ordinary(self):
        data = table(HEAD + ["A"], [b"a\0b", 1, 1, "x", b"2\x005"])
        r = self.run_program([], data)
        self.assertEqual(r.out.split(b"\r\n")[1],
                         b"a\0b\t1\t1\tx\t2\x005\t2.00000")
        self.assertEqual(self.tmpfile(), crlf(data))

    def test_numbers_read_from_their_own_field(self):
        data = table(HEAD + ["A", "B", "C", "D"],
                     ["a", 1, 1, "x", "1e3", "abc", "", "1d400"],
                     ["b", 1, 1, "x", "-1e400", "NA", "nan", "-inf"])
        r = self.run_program([], data)
        self.assertEqual(r.out.split(b"\r\n")[1:3], [
            b"a\t1\t1\tx\t1e3\t1000.00000\tabc\t0.00000\t\t0.00000\t1d400\t"
            b"inf",
            b"b\t1\t1\tx\t-1e400\t-inf\tNA\t0.00000\tnan\t0.00000\t-inf\t"
            b"0.00000"])


class LinePieces(ProgramCase):
    def test_line_of_2047_characters_then_its_line_end(self):
        line = b"a\t1\t1\tx\t5"
        line += b"y" * (2047 - len(line))
        data = table(HEAD + ["A"]) + line + b"\n" + table(["b", 1, 2, "x", 6])
        r = self.run_program([], data)
        # The piece has no line end, so its text after the last tab is not
        # a field; the LF alone is a second piece, skipped as blank.
        self.assertEqual(r.out.split(b"\r\n")[1:], [
            b"a\t1\t1\tx", b"b\t1\t2\tx\t6\t6.00000", b""])
        self.assertEqual(self.tmpfile(), crlf(table(HEAD + ["A"])) + line +
                         b"b\t1\t2\tx\t6\r\n")

    def test_line_of_2048_characters_is_two_lines(self):
        first = b"a\t1\t1\tx\t" + b"7" * 2039
        data = table(HEAD + ["A"]) + first + b"b\t1\t9\tx\t8\n"
        r = self.run_program([], data)
        self.assertEqual(r.out.split(b"\r\n")[1:], [
            b"a\t1\t1\tx", b"b\t1\t9\tx\t8\t8.00000", b""])


if __name__ == "__main__":
    unittest.main()
