#!/usr/bin/env python3
"""The event trail of a Windows program run under Wine.

Wine keeps no event log; with WINEDEBUG=+eventlog its ReportEventW writes each
event to the process's debug output instead: an advapi fixme line with the
event's arguments, then one line per string, on the err channel for error
events and on the trace channel for the others. ReportEventA shows as its own
fixme line followed by the ReportEventW it forwards to. This module runs a
program with that channel on and turns the trace back into events.

    wine_events.py run --prefix PREFIX PROGRAM [ARGS...]   run, print the trail
    wine_events.py parse TRACE_FILE                        print a saved trail
"""

import argparse
import dataclasses
import os
import re
import shutil
import subprocess
import sys
import tempfile

TYPE_NAMES = {0: "success", 1: "error", 2: "warning", 4: "information"}

_CALL = re.compile(
    r"^(?P<thread>[0-9a-f]+):fixme:advapi:(?P<function>ReportEvent[AW]) "
    r"\((?P<args>[^)]*)\)")
_STRING = re.compile(
    r'^(?P<thread>[0-9a-f]+):(?:trace|err|warn|fixme):eventlog:ReportEventW '
    r'L"(?P<text>.*)"(?P<cut>\.\.\.)?$')


@dataclasses.dataclass
class Event:
    """One ReportEventW or ReportEventA call as the trace shows it."""
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


def parse(trace):
    """Returns the events of a +eventlog trace, in the order they were made."""
    events = []
    open_events = {}  # thread -> event still collecting its strings
    narrow_pending = set()  # threads whose next ReportEventW forwards an A call
    for line in trace.splitlines():
        call = _CALL.match(line)
        if call:
            thread = call["thread"]
            if call["function"] == "ReportEventA":
                narrow_pending.add(thread)
                continue
            args = [a.strip() for a in call["args"].split(",")]
            event = Event(thread=thread, handle=int(args[0], 16),
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
        if string and string["thread"] in open_events:
            event = open_events[string["thread"]]
            event.strings.append(_unescape(string["text"]))
            if len(event.strings) == event.expected_strings:
                del open_events[string["thread"]]
    return events


def wine_binary():
    return shutil.which("wine64") or "/usr/lib/wine/wine64"


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
        completed = subprocess.run([wine_binary(), program, *args],
                                   stdin=subprocess.DEVNULL, stdout=output,
                                   stderr=trace, env=environment, cwd=cwd,
                                   timeout=timeout, check=False)
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
    options = parser.parse_args()

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
