#!/usr/bin/env python3
"""Checks of the harness's own readers: a scenario is only as good as its
reading of the log, of sequences and of the executable's resources."""

import os
import struct
import sys
import unittest
from unittest import mock
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from harness import (ANY, Failure, Repeat, Rx, Optional, assert_sequence, match_sequence, parse_log,  # noqa: E402
                     parse_wine_events)
import pe_reader  # noqa: E402
import machines  # noqa: E402

HEADER = (b"#Software: quorva\r\n#Version: 12.0.0.14\r\n#Date: 09/12/2026 05:00:01 AM\r\n"
          b"#Fields:\tdtime\tmodule\ttype\tval1\tval2\tval3\r\n")


class ParseLogTest(unittest.TestCase):
    def test_multi_line_report_value_keeps_its_tabs_and_line_feeds(self):
        report = b"<a>\r\n\t\t\t\t\t\t<b>1</b>\r\n\t\t\t\t\t\t</a>"
        data = (HEADER + b"09/12/2026 05:00:01 AM\tWebPostEventData\tINFO\tweb Post\t" + report + b"\t \r\n"
                b"09/12/2026 05:00:02 PM\tOnInitDialog\tINFO\tx\t\t\r\n")
        header, entries = parse_log(data)
        self.assertEqual(len(header), 4)
        self.assertEqual(len(entries), 2)
        self.assertEqual(entries[0].fields(), ("WebPostEventData", "INFO", "web Post",
                                               "<a>\n\t\t\t\t\t\t<b>1</b>\n\t\t\t\t\t\t</a>", " "))
        self.assertEqual(entries[1].fields(), ("OnInitDialog", "INFO", "x", "", ""))
        self.assertEqual(entries[1].time, "05:00:02 PM")

    def test_value_ending_in_system_line_break_gives_an_empty_continuation(self):
        # A registry error text ends in CR LF; in text mode that is CR CR LF.
        data = HEADER + b"09/12/2026 05:00:01 AM\tWebPostEventData\tINFO\tMEMBER ID\tNot Found\tRegQuery [2]::gone.\r\r\n\r\n"
        _, entries = parse_log(data)
        self.assertEqual(entries[0].val3, "RegQuery [2]::gone.\r\n")

    def test_bare_line_feed_is_a_fault(self):
        with self.assertRaises(Failure):
            parse_log(HEADER + b"09/12/2026 05:00:01 AM\tm\tINFO\ta\tb\tc\n")

    def test_cp1252_text(self):
        _, entries = parse_log(HEADER + b"09/12/2026 05:00:01 AM\tm\tINFO\tJos\xe9\t?\t\r\n")
        self.assertEqual(entries[0].val1, "Jos\u00e9")


class E:
    def __init__(self, *fields):
        self._fields = fields

    def fields(self):
        return self._fields

    def __repr__(self):
        return repr(self._fields)


A, B, C = ("m", "INFO", "a", "", ""), ("m", "INFO", "b", "", ""), ("m", "INFO", "c", "", "")


class MatchSequenceTest(unittest.TestCase):
    def entries(self, *items):
        return [E(*i) for i in items]

    def test_repeat_bounds_are_exact(self):
        seq = self.entries(A, B, B, B, C)
        self.assertTrue(match_sequence(seq, [A, Repeat([B], 3, 3), C])[0])
        self.assertFalse(match_sequence(seq, [A, Repeat([B], 4, 4), C])[0])
        self.assertFalse(match_sequence(seq, [A, Repeat([B], 0, 2), C])[0])
        self.assertTrue(match_sequence(self.entries(A, C), [A, Repeat([B], 0), C])[0])

    def test_extra_or_missing_entries_fail(self):
        self.assertFalse(match_sequence(self.entries(A, B, C, C), [A, B, C])[0])
        self.assertFalse(match_sequence(self.entries(A, B), [A, B, C])[0])

    def test_groups_repeat_as_a_whole(self):
        seq = self.entries(A, B, A, B, C)
        self.assertTrue(match_sequence(seq, [Repeat([A, B]), C])[0])
        self.assertFalse(match_sequence(self.entries(A, B, A, C), [Repeat([A, B]), C])[0])

    def test_any_regex_and_optional(self):
        seq = self.entries(("m", "INFO", "x", "", "1234"), C)
        self.assertTrue(match_sequence(seq, [("m", ANY, "x", "", Rx(r"\d+")), Optional(B), C])[0])
        self.assertFalse(match_sequence(seq, [("m", ANY, "x", "", Rx(r"\d")), C])[0])

    def test_failure_message_points_at_first_disagreement(self):
        with self.assertRaises(Failure) as caught:
            assert_sequence(self.entries(A, B, B), [A, B, C])
        self.assertIn("agrees up to entry 2", str(caught.exception))


class WineEventsTest(unittest.TestCase):
    def test_calls_and_strings_as_wine_prints_them(self):
        # Wine 8, WINEDEBUG=+eventlog: empty strings print nothing, a line break splits a string.
        call = "0174:fixme:advapi:ReportEventW (0000CAFE4242,0x%04x,0x0000,0x%08x,0000,0x0005,0x00000000,00C93A40,0000): stub\n"
        text = (call % (1, 1005) + "0174:err:eventlog:ReportEventW L\"Jos\\00e9\"\n"
                "0174:err:eventlog:ReportEventW L\"C:\\\\new\\n\"\n0174:err:eventlog:ReportEventW L\"two\"\n"
                + call % (4, 1002) + "0174:trace:eventlog:ReportEventW L\"root\"\n")
        self.assertEqual(parse_wine_events(text), [(1, 1005, ["Jos\u00e9", "C:\\new\ntwo"]), (4, 1002, ["root"])])


class PeReaderTest(unittest.TestCase):
    def test_extended_dialog_template(self):
        data = struct.pack("<HHIIIHhhhh", 1, 0xFFFF, 0, 0x40000, 0x80C000C8, 0, 0, 0, 9, 9)
        data += b"\0\0" + b"\0\0" + "quorva\0".encode("utf-16-le")
        data += struct.pack("<HHBB", 8, 0, 0, 1) + "MS Shell Dlg\0".encode("utf-16-le")
        d = pe_reader.parse_dialog_ex(data)
        self.assertEqual((d["style"], d["ex_style"], d["cx"], d["cy"], d["title"]), (0x80C000C8, 0x40000, 9, 9, "quorva"))
        self.assertEqual((d["point"], d["weight"], d["italic"], d["charset"], d["face"]), (8, 0, 0, 1, "MS Shell Dlg"))

    def test_plain_dialog_template_is_refused(self):
        with self.assertRaises(ValueError):
            pe_reader.parse_dialog_ex(struct.pack("<IIHhhhh", 0x80C000C8, 0, 0, 0, 0, 9, 9) + b"\0" * 8)


class X86ProbeTest(unittest.TestCase):
    def test_a_missing_32_bit_loader_is_a_reason_to_skip_that_says_what_to_install(self):
        with mock.patch.dict(os.environ, {"QUORVA_WINE32_LOADER": "/nonexistent/wine"}):
            os.environ.pop("QUORVA_E2E_NO_X86", None)
            reason = machines.x86_unavailable()
        # (On a kernel without 32-bit support the kernel is the reason, before any loader.)
        self.assertIsNotNone(reason)
        self.assertRegex(reason, r"wine32:i386|cannot run 32-bit programs")


if __name__ == "__main__":
    unittest.main(verbosity=1)
