"""Checks the Wine event-trail reader against a program with a known trail."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine_events  # noqa: E402


class ParseTest(unittest.TestCase):

    def test_wide_narrow_and_error_events(self):
        trace = "\n".join([
            "0144:fixme:advapi:RegisterEventSourceW ((null),L\"x\"): stub",
            "0144:fixme:advapi:ReportEventW (00000000CAFE4242,0x0004,0x0000,"
            "0x00000001,0000000000000000,0x0002,0x00000000,000000000021FD20,"
            "0000000000000000): stub",
            "0144:trace:eventlog:ReportEventW L\"RK7x10 Arrival\"",
            "0144:trace:eventlog:ReportEventW L\"\\\\\\\\?\\\\usb#vid_2207\"",
            "0150:fixme:advapi:ReportEventA (00000000CAFE4242,0x0000,0x0000,"
            "0x00000002,0000000000000000,0x0001,0x00000000,000000000021FD00,"
            "0000000000000000): stub",
            "0144:fixme:advapi:ReportEventW (00000000CAFE4242,0x0001,0x0000,"
            "0x00000003,0000000000000000,0x0001,0x00000000,000000000021FD20,"
            "0000000000000000): stub",
            "0150:fixme:advapi:ReportEventW (00000000CAFE4242,0x0000,0x0000,"
            "0x00000002,0000000000000000,0x0001,0x00000000,0000000000349AD0,"
            "0000000000000000): stub",
            "0144:err:eventlog:ReportEventW L\"usb_read 5\\n\"",
            "0150:trace:eventlog:ReportEventW L\"caf\\00e9\"",
        ])
        events = wine_events.parse(trace)
        self.assertEqual([e.id for e in events], [1, 3, 2])
        self.assertEqual(events[0].strings, ["RK7x10 Arrival", "\\\\?\\usb#vid_2207"])
        self.assertEqual(events[1].type_name, "error")
        self.assertEqual(events[1].text, "usb_read 5\n")
        self.assertTrue(events[1].wide)
        self.assertFalse(events[2].wide)
        self.assertEqual(events[2].text, "caf\u00e9")


@unittest.skipUnless(os.environ.get("REPORT_THREE_EVENTS_EXE"),
                     "needs the Windows build")
class RunTest(unittest.TestCase):

    def test_three_events_of_a_program_in_order(self):
        code, events, _ = wine_events.run(
            os.environ["REPORT_THREE_EVENTS_EXE"],
            prefix=os.environ["VELUNOR_WINEPREFIX"])
        self.assertEqual(code, 0)
        self.assertEqual(
            [(e.id, e.type_name, e.wide, e.strings) for e in events],
            [(1, "information", True, ["initial service success"]),
             (2, "error", True, ["can not load velunorUpdateExport.dll: 126\n"]),
             (3, "information", False,
              ["update file : ", "fw.bin", "bForce : ", "1"])])
        for event in events:
            self.assertEqual(event.category, 0)
            self.assertEqual(event.sid, 0)
            self.assertEqual(event.raw_size, 0)
            self.assertNotEqual(event.handle, 0)


if __name__ == "__main__":
    unittest.main()
