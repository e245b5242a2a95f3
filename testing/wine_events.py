#!/usr/bin/env python3
"""The event trail of a Windows program run under Wine.

Wine keeps no event log; with WINEDEBUG=+eventlog its ReportEventW writes each
event to the process's debug output instead: an advapi fixme line with the
event's arguments, then one line per string, on the err channel for error
events and on the trace channel for the others. ReportEventA shows as its own
fixme line followed by the ReportEventW it forwards to; RegisterEventSourceW
shows as a fixme line of its own. With +pid every line starts with the
process. This module is the one reader of that trace: it runs a program with
the channel on and turns the trace back into events, and it serves the C++
tests, which cannot run it from inside Wine, through a record file.

    wine_events.py run --prefix PREFIX PROGRAM [ARGS...]   run, print the trail
    wine_events.py parse TRACE_FILE                        print a saved trail
    wine_events.py follow TRACE_FILE RECORD_FILE           serve a test (below)

follow reads TRACE_FILE as it grows. Each line "wine_events mark TOKEN" in it
(a test writes one to its own standard error, which is the trace file) makes
it append to RECORD_FILE the events and source registrations of the lines
since the previous mark, one a line, then "mark TOKEN":

    event PROCESS THREAD HANDLE TYPE CATEGORY ID SID RAW_SIZE WIDE EXPECTED xTEXT...
    source PROCESS THREAD LOCAL xNAME

PROCESS and THREAD in hexadecimal as the trace shows them (PROCESS "-"
without +pid), the other numbers decimal, WIDE and LOCAL 0 or 1, each string
as "x" followed by the hexadecimal bytes of its UTF-8 form.
"""

import argparse
import dataclasses
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

TYPE_NAMES = {0: "success", 1: "error", 2: "warning", 4: "information"}

# Lines start with "process:thread:" when the trace names processes (+pid).
_PREFIX = r"^(?:(?P<process>[0-9a-f]+):)?(?P<thread>[0-9a-f]+):"
_CALL = re.compile(
    _PREFIX + r"fixme:advapi:(?P<function>ReportEvent[AW]) "
    r"\((?P<args>[^)]*)\)")
_STRING = re.compile(
    _PREFIX + r'(?:trace|err|warn|fixme):eventlog:ReportEventW '
    r'L"(?P<text>.*)"(?P<cut>\.\.\.)?$')
_QUOTED = r'L"(?:[^"\\]|\\.)*"'
_SOURCE = re.compile(
    _PREFIX + r"fixme:advapi:RegisterEventSourceW "
    r"\((?P<server>\(null\)|" + _QUOTED + r"),L\"(?P<name>(?:[^\"\\]|\\.)*)\"\)")
_MARK = re.compile(r"^wine_events mark (?P<token>\S+)$")


@dataclasses.dataclass
class Event:
    """One ReportEventW or ReportEventA call as the trace shows it."""
    process: str  # None without +pid
    thread: str
    handle: int
    type: int
    category: int
    id: int
    sid: int
    raw_size: int
    wide: bool
    strings: list
    expected_strings: int

    @property
    def text(self):
        return "".join(self.strings)

    @property
    def type_name(self):
        return TYPE_NAMES.get(self.type, str(self.type))

    def __str__(self):
        return f"#{self.id} {self.type_name}: " + " | ".join(
            repr(s)[1:-1] for s in self.strings)


def _unescape(text):
    """Undoes Wine's debugstr_w escaping."""
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c != "\\" or i + 1 == len(text):
            out.append(c)
            i += 1
            continue
        n = text[i + 1]
        simple = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\"}
        if n in simple:
            out.append(simple[n])
            i += 2
        elif re.match(r"[0-9a-fA-F]{4}", text[i + 1:i + 5]):
            out.append(chr(int(text[i + 1:i + 5], 16)))
            i += 5
        elif n == "x" and re.match(r"[0-9a-fA-F]{2}", text[i + 2:i + 4]):
            out.append(chr(int(text[i + 2:i + 4], 16)))
            i += 4
        else:
            out.append(c)
            i += 1
    return "".join(out)


@dataclasses.dataclass
class Source:
    """One RegisterEventSourceW call: on this computer, or on `server`."""
    process: str
    thread: str
    server: str  # None for this computer
    name: str


def _lines_of(trace, process):
    """The trace's lines, only those of `process` (a number) when given."""
    for line in trace.splitlines():
        line = line.rstrip("\r")
        if process is not None:
            prefix = re.match(r"^([0-9a-f]+):[0-9a-f]+:", line)
            if not prefix or int(prefix[1], 16) != process:
                continue
        yield line


def parse(trace, process=None):
    """Returns the events of a +eventlog trace, in the order they were made;
    with `process`, only those of that process (the trace then carries
    +pid)."""
    events = []
    open_events = {}  # (process, thread) -> event still collecting strings
    narrow_pending = set()  # threads whose next ReportEventW forwards an A call
    for line in _lines_of(trace, process):
        call = _CALL.match(line)
        if call:
            thread = (call["process"], call["thread"])
            if call["function"] == "ReportEventA":
                narrow_pending.add(thread)
                continue
            args = [a.strip() for a in call["args"].split(",")]
            event = Event(process=call["process"], thread=call["thread"],
                          handle=int(args[0], 16),
                          type=int(args[1], 16), category=int(args[2], 16),
                          id=int(args[3], 16), sid=int(args[4], 16),
                          raw_size=int(args[6], 16),
                          wide=thread not in narrow_pending, strings=[],
                          expected_strings=int(args[5], 16))
            narrow_pending.discard(thread)
            events.append(event)
            if event.expected_strings:
                open_events[thread] = event
            continue
        string = _STRING.match(line)
        thread = string and (string["process"], string["thread"])
        if string and thread in open_events:
            event = open_events[thread]
            event.strings.append(_unescape(string["text"]))
            if len(event.strings) == event.expected_strings:
                del open_events[thread]
    return events


def sources(trace, process=None):
    """Returns the RegisterEventSourceW calls of a trace, in order."""
    found = []
    for line in _lines_of(trace, process):
        source = _SOURCE.match(line)
        if source:
            server = source["server"]
            found.append(Source(
                process=source["process"], thread=source["thread"],
                server=None if server == "(null)" else _unescape(server[2:-1]),
                name=_unescape(source["name"])))
    return found


def _hex_text(text):
    return "x" + text.encode("utf-8", "surrogatepass").hex()


def record_lines(trace):
    """The record lines of a trace's events and source registrations."""
    lines = []
    for event in parse(trace):
        numbers = [event.handle, event.type, event.category, event.id,
                   event.sid, event.raw_size, int(event.wide),
                   event.expected_strings]
        lines.append(" ".join(
            ["event", event.process or "-", event.thread,
             *map(str, numbers), *map(_hex_text, event.strings)]))
    for source in sources(trace):
        lines.append(" ".join(
            ["source", source.process or "-", source.thread,
             str(int(source.server is None)), _hex_text(source.name)]))
    return lines


def follow(trace_path, record_path, poll_s=0.02):
    """Serves a test until it is ended: answers each mark in the growing
    trace with the record of the lines before it (see the module's text)."""
    pending = []
    rest = b""
    with open(trace_path, "rb") as trace, \
            open(record_path, "a", encoding="utf-8") as record:
        while True:
            chunk = trace.read()
            if not chunk:
                time.sleep(poll_s)
                continue
            lines = (rest + chunk).split(b"\n")
            rest = lines.pop()
            for raw in lines:
                line = raw.decode("utf-8", "replace").rstrip("\r")
                mark = _MARK.match(line)
                if not mark:
                    pending.append(line)
                    continue
                for answer in record_lines("\n".join(pending)):
                    record.write(answer + "\n")
                record.write(f"mark {mark['token']}\n")
                record.flush()
                pending = []


def wine_binary():
    return shutil.which("wine64") or "/usr/lib/wine/wine64"


# Wine now and then ends the start of a program with status 1 after about
# 10 ms, printing nothing, before the program has run: seen twice in some two
# thousand starts of test programs, on a fresh prefix a minute or two into
# the suite. No Windows program ends that soon here (the shortest whole run
# takes over 100 ms), so such an end is a failed start of Wine, not the
# program's result: it is said, and the program is started once more.
# cmake/wine-run.sh does the same for the tests that CTest runs.
FAILED_START_SECONDS = 0.05


def run_program(args, outputs=(), failed_start=FAILED_START_SECONDS,
                **options):
    """subprocess.run of a Windows program under Wine, started once more
    after a failed start; `outputs` are the files its streams go to,
    emptied before the second start."""
    for attempt in (1, 2):
        started = time.monotonic()
        completed = subprocess.run([wine_binary(), *args], check=False,
                                   **options)
        seconds = time.monotonic() - started
        if completed.returncode == 0 or seconds >= failed_start or \
                attempt == 2:
            return completed
        print(f"wine_events: Wine ended the start of {args[0]} with status "
              f"{completed.returncode} after {seconds * 1000:.0f} ms, before "
              "it could run; starting it again", file=sys.stderr, flush=True)
        for output in outputs:
            output.seek(0)
            output.truncate()


def run(program, args=(), prefix=None, env=None, cwd=None, timeout=300):
    """Runs a Windows program under Wine with the event channel on.

    Returns (exit code, events, standard output). The trace goes through a
    file, not a pipe: Wine services that the program starts inherit its
    standard error and would hold a pipe open after it ends.
    """
    environment = dict(os.environ if env is None else env)
    environment["WINEDEBUG"] = "-all,+eventlog,fixme+advapi"
    if prefix:
        environment["WINEPREFIX"] = os.path.abspath(prefix)
    with tempfile.TemporaryFile(mode="w+b") as trace, \
            tempfile.TemporaryFile(mode="w+b") as output:
        completed = run_program([program, *args], outputs=(trace, output),
                                stdin=subprocess.DEVNULL, stdout=output,
                                stderr=trace, env=environment, cwd=cwd,
                                timeout=timeout)
        trace.seek(0)
        output.seek(0)
        text = trace.read().decode("utf-8", "replace")
        return (completed.returncode, parse(text),
                output.read().decode("utf-8", "replace"))


def _main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    run_command = commands.add_parser("run", help="run a program, print its events")
    run_command.add_argument("--prefix", help="Wine prefix (default: WINEPREFIX)")
    run_command.add_argument("program")
    run_command.add_argument("args", nargs=argparse.REMAINDER)
    parse_command = commands.add_parser("parse", help="print the events of a trace")
    parse_command.add_argument("trace_file")
    follow_command = commands.add_parser(
        "follow", help="answer a test's marks with the events before them")
    follow_command.add_argument("trace_file")
    follow_command.add_argument("record_file")
    options = parser.parse_args()

    if options.command == "follow":
        follow(options.trace_file, options.record_file)
        return 0
    if options.command == "run":
        code, events, output = run(options.program, options.args, options.prefix)
        sys.stdout.write(output)
    else:
        with open(options.trace_file, encoding="utf-8", errors="replace") as f:
            events = parse(f.read())
        code = 0
    for event in events:
        print(event)
    return code


if __name__ == "__main__":
    sys.exit(_main())
