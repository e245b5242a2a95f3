"""Checks the Wine event-trail reader against a program with a known trail."""

import os
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine_events  # noqa: E402

WINE_EVENTS = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                           "wine_events.py")


def call(process, event_id, strings, type_=4):
    """A ReportEventW fixme line of `process` (thread 0144)."""
    return (f"{process}:0144:fixme:advapi:ReportEventW (00000000CAFE4242,"
            f"0x{type_:04x},0x0000,0x{event_id:08x},0000000000000000,"
            f"0x{strings:04x},0x00000000,000000000021FD20,0000000000000000)"
            ": stub")


# Two processes whose threads share an ID, as +pid shows them.
TWO_PROCESSES = "\n".join([
    "0020:0144:fixme:advapi:RegisterEventSourceW ((null),"
    "L\"VelunorUpdateService\"): stub",
    call("0020", 1, 1),
    call("0030", 7, 1, type_=1),
    "0020:0144:trace:eventlog:ReportEventW L\"uninstallService start\"",
    "0030:0144:err:eventlog:ReportEventW L\"caf\\00e9 \\\\\"",
    "0030:0150:fixme:advapi:RegisterEventSourceW (L\"host\",L\"x\"): stub",
])


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


class ProcessTest(unittest.TestCase):

    def test_each_process_has_its_own_events_and_sources(self):
        first = wine_events.parse(TWO_PROCESSES, process=0x20)
        second = wine_events.parse(TWO_PROCESSES, process=0x30)
        self.assertEqual([(e.process, e.id, e.strings) for e in first],
                         [("0020", 1, ["uninstallService start"])])
        self.assertEqual([(e.process, e.id, e.type_name, e.strings)
                          for e in second],
                         [("0030", 7, "error", ["caf\u00e9 \\"])])
        self.assertEqual(len(wine_events.parse(TWO_PROCESSES)), 2)
        self.assertEqual(
            wine_events.sources(TWO_PROCESSES, process=0x20),
            [wine_events.Source("0020", "0144", None, "VelunorUpdateService")])
        self.assertEqual(
            wine_events.sources(TWO_PROCESSES, process=0x30),
            [wine_events.Source("0030", "0150", "host", "x")])

    def test_the_record_carries_every_field_and_the_texts_as_utf8(self):
        self.assertEqual(wine_events.record_lines(TWO_PROCESSES), [
            "event 0020 0144 3405660738 4 0 1 0 0 1 1 "
            + "x" + "uninstallService start".encode().hex(),
            "event 0030 0144 3405660738 1 0 7 0 0 1 1 x636166c3a9205c",
            "source 0020 0144 1 x" + "VelunorUpdateService".encode().hex(),
            "source 0030 0150 0 x78",
        ])
        # Without +pid, and an empty string.
        without_pid = "\n".join([
            call("0144", 2, 2)[len("0144:"):],
            "0144:trace:eventlog:ReportEventW L\"\"",
            "0144:trace:eventlog:ReportEventW L\"b\""])
        self.assertEqual(wine_events.record_lines(without_pid),
                         ["event - 0144 3405660738 4 0 2 0 0 1 2 x x62"])


def wait_for_line(path, line, timeout_s=30):
    end = time.monotonic() + timeout_s
    while time.monotonic() < end:
        if os.path.exists(path):
            with open(path, encoding="utf-8") as f:
                lines = f.read().splitlines()
            if line in lines:
                return lines
        time.sleep(0.02)
    raise AssertionError(f"no {line!r} in {path}")


class FollowTest(unittest.TestCase):

    def test_each_mark_is_answered_with_what_came_since_the_last(self):
        with tempfile.TemporaryDirectory() as folder:
            trace = os.path.join(folder, "trace")
            record = os.path.join(folder, "record")
            open(trace, "w").close()
            reader = subprocess.Popen(
                [sys.executable, WINE_EVENTS, "follow", trace, record],
                stdin=subprocess.DEVNULL)
            try:
                with open(trace, "a", encoding="utf-8") as f:
                    f.write(TWO_PROCESSES + "\nwine_events mark 1f-1\n")
                    f.write(call("0040", 3, 1)[:30])
                    f.flush()
                    first = wait_for_line(record, "mark 1f-1")
                    f.write(call("0040", 3, 1)[30:] + "\n")
                    f.write("0040:0144:trace:eventlog:ReportEventW L\"a\"\n")
                    f.write("wine_events mark 1f-2\n")
                    f.flush()
                    both = wait_for_line(record, "mark 1f-2")
            finally:
                reader.kill()
                reader.wait()
        self.assertEqual(first,
                         wine_events.record_lines(TWO_PROCESSES) + ["mark 1f-1"])
        self.assertEqual(both[len(first):],
                         ["event 0040 0144 3405660738 4 0 3 0 0 1 1 x61",
                          "mark 1f-2"])


@unittest.skipUnless(os.environ.get("REPORT_THREE_EVENTS_EXE"),
                     "needs the Windows build")
class RunTest(unittest.TestCase):

    def test_three_events_of_a_program_in_order(self):
        """The event ID viewers show (its low word) is the process's sequence
        number; an event of several strings carries their count in the high
        word, for its message."""
        code, events, _ = wine_events.run(
            os.environ["REPORT_THREE_EVENTS_EXE"],
            prefix=os.environ["VELUNOR_WINEPREFIX"])
        self.assertEqual(code, 0)
        self.assertEqual(
            [(e.id, e.type_name, e.wide, e.strings) for e in events],
            [(1, "information", True, ["initial service success"]),
             (2, "error", True, ["can not load velunorUpdateExport.dll: 126\n"]),
             (4 << 16 | 3, "information", False,
              ["update file : ", "fw.bin", "bForce : ", "1"])])
        for event in events:
            self.assertEqual(event.category, 0)
            self.assertEqual(event.sid, 0)
            self.assertEqual(event.raw_size, 0)
            self.assertNotEqual(event.handle, 0)


class FailedStartTest(unittest.TestCase):
    """A stand-in for Wine plays each start's end: its status, how long it
    takes and what it prints. A start that ends within 0.5 s counts as
    failed here, so that a busy machine cannot make a quick end a slow one."""

    def run_stand_in(self, ends):
        with tempfile.TemporaryDirectory() as folder:
            script = os.path.join(folder, "wine64")
            count = os.path.join(folder, "starts")
            cases = "".join(
                f"  {n}) sleep {seconds}; echo 'start {n}'; exit {status};;\n"
                for n, (status, seconds) in enumerate(ends, 1))
            with open(script, "w") as f:
                f.write("#!/bin/sh\n"
                        f"n=$(( $(cat {count} 2>/dev/null || echo 0) + 1 ))\n"
                        f"echo $n > {count}\n"
                        f"case $n in\n{cases}esac\n")
            os.chmod(script, 0o755)
            binary = wine_events.wine_binary
            wine_events.wine_binary = lambda: script
            try:
                with tempfile.TemporaryFile("w+b") as output:
                    completed = wine_events.run_program(
                        ["program.exe"], outputs=(output,), failed_start=0.5,
                        stdout=output, stderr=subprocess.DEVNULL)
                    output.seek(0)
                    printed = output.read().decode()
            finally:
                wine_events.wine_binary = binary
            with open(count) as f:
                return completed.returncode, printed, int(f.read())

    def test_only_an_end_too_soon_for_any_program_is_started_again(self):
        cases = [
            # (each start's (status, seconds)), (status, output, starts)
            ([(1, 0), (0, 0)], (0, "start 2\n", 2)),
            ([(1, 0), (3, 0.8)], (3, "start 2\n", 2)),
            ([(1, 0), (1, 0)], (1, "start 2\n", 2)),
            ([(1, 0.8), (0, 0)], (1, "start 1\n", 1)),
            ([(0, 0)], (0, "start 1\n", 1)),
        ]
        for ends, expected in cases:
            with self.subTest(ends=ends):
                self.assertEqual(self.run_stand_in(ends), expected)


if __name__ == "__main__":
    unittest.main()
