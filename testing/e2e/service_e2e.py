#!/usr/bin/env python3
"""The update service end to end under Wine.

In a fresh Wine prefix of its own, booted with Wine's event trace going to the
prefix's log, this run installs the service, writes the ZR700 settings under
HKLM, places the upgrade library and an update image in
C:\\Windows\\System32\\drivers and the virtual device (AdbWinApi.dll) in
C:\\Windows\\System32, starts the service through Wine's service control
manager and plugs the device in through Wine's plug-and-play service. It then
shows and checks the event trail of the service process (read back from the
trace), the device's verdict, the update file, the service registration and
the end of the service process.

Where a scenario does not bring the device told to start back itself, the
test host shortens the service's wait for it from 120 s to DEVICE_BACK_MS.

The registered program is service_test_host.exe: the service's own code, run
by Wine's real dispatcher, plus the one hop that Wine lacks (its user32 drops
device events for service handles; the host hands each broadcast of the
class to the registered control handler as Windows does).

Scenarios:
  upgrade   one arrival, one upgrade; the service waits for the device told
            to start, which restarts (removal, then arrival), and removes
            itself once it is back
  present   the device is connected before the service is installed and
            started, and no arrival is ever broadcast: the service finds it
            at its start and upgrades it
  removal   the device is removed during the transfer: the upgrade is
            cancelled and the worker ends, the service keeps running and stays
            registered; the next arrival upgrades
  pull      the device is pulled during its settle wait: it is not
            upgraded; plugged in again, the cable is pulled in the data phase:
            the running write fails at once and the removal's broadcast comes
            only after the library has returned; the service stays and the
            replugged device is upgraded
  restart   the device takes the start request and restarts into its new
            firmware, its first request afterwards failing only after 2 s,
            the removal's broadcast sent meanwhile: the upgrade counts as
            finished once, the service waits for the device, and the device,
            back, is not sent the image again
  unanswered  the device takes the start request and restarts before it
            answers: the request fails 3 s later, the removal's broadcast
            sent meanwhile; the upgrade counts as started (result 3), the
            service waits for the device and ends once it is back with its
            new firmware, which is not sent the image again
  lock      the removal comes while the worker holds the loader's lock inside
            a write: the upgrade is cancelled, the next arrival upgrades;
            again, and a stop control is answered
  two       a second device is plugged in and pulled out while the first is
            upgraded: its arrival is ignored, its removal leaves the first
            one's worker alone, and the first upgrade completes
  storm     bursts of arrivals and removals of the upgraded device and of
            other devices of the class at moments drawn from a printed seed,
            a stop control while a worker is mid-download and a new start,
            cables pulled between bursts in a worker's transfer with the
            broadcast before or after the library has returned, then a final
            quiet arrival that upgrades; checked after every burst and pull.
            Unpaced unless --paced: see Storm.

    service_e2e.py --bin BUILD/bin --test-bin BUILD/test-bin --work DIR
                   [--scenario upgrade|present|removal|pull|restart|
                               unanswered|lock|two|storm|all] [--pull LINE]
                   [--seed N] [--storm-events N] [--storm-pulls N]
                   [--settle-ms N] [--paced]

Exit status 0 only when every check passed. The prefix's server is ended on
every path out of this program.
"""

import argparse
import hashlib
import os
import random
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                ".."))
import wine_events  # noqa: E402

PREFIX_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                             "..", "..", "cmake", "wine-prefix.sh")

SERVICE = "VelunorUpdateService"
# The path as the system names the arrived interface, and the name the
# virtual device gives the same interface (the library compares lower case).
DEVICE_PATH = ("\\\\?\\USB#VID_3F3A&PID_9206#VLNR-SN-000123#"
               "{6B11E5BB-F5CA-4902-9615-773B3D2F2FEC}")
INTERFACE_NAME = DEVICE_PATH.lower()
# The same device as the service finds it present at its start: Wine lists
# the interface in small letters, and the service puts the device instance
# part in capitals as an arrival would announce it.
PRESENT_PATH = ("\\\\?\\USB#VID_3F3A&PID_9206#VLNR-SN-000123#"
                "{6b11e5bb-f5ca-4902-9615-773b3d2f2fec}")
# A second device of the same family, plugged in beside the first.
SECOND_DEVICE_PATH = ("\\\\?\\USB#VID_3F3A&PID_9206#VLNR-SN-000456#"
                      "{6B11E5BB-F5CA-4902-9615-773B3D2F2FEC}")
UPDATE_FILE = "vlnr_zr700_fw.bin"
VERSION = "V1.0.7"
# Two and a half segments of 4 MiB: the device confirms its count twice
# before the last sync.
IMAGE_SIZE = 10 * 1024 * 1024 + 12345
SEGMENT = 4 * 1024 * 1024
TRACE = "-all,+pid,+eventlog,fixme+advapi"
# The event log service's trace line when it starts: the prefix's services
# are up. The first boot runs untraced, so the first such line in the log is
# the keep-alive's.
SERVICES_UP = "starting Event Log Service"
# How often, and for how long each time, the keep-alive is started before the
# prefix counts as not booted.
KEEP_ALIVE_STARTS = 3
KEEP_ALIVE_START_S = 60
# The service waits this long after an arrival before it looks at the device.
ARRIVAL_SETTLE_S = 15
# The start scan's last word: what it found, or why it could not look.
START_SCAN_ENDS = ("no device present at start", "device found at start")
START_SCAN_FAILURES = ("present devices cannot be listed:",
                       "create scan thread fail:")
# A removal of the device being upgraded: the handler's event, and the
# cancelled worker's last.
CANCEL = "update thread is exist, cancel upgrade"
CANCELLED = "device went away before the update started, service kept"
# A worker that a removal reached while it was still loading the library.
CLAIMED = "update thread ended on device remove, service kept"
# None of these follows an upgrade that was not done: no outcome, and the
# service does not remove itself.
NO_OUTCOME = {"send updatefile to device success",
              "send updatefile to device error", "uninstallService start"}
# The library's word for a start request that went out and was not
# confirmed (result 3).
START_UNCONFIRMED = ("the device was told to start its update and did not "
                     "confirm it")
# After a device was told to start its update, the service waits for it to
# come back before it goes on. The test host shortens that wait to
# DEVICE_BACK_MS unless a scenario brings the device back itself.
TOLD_TO_START = "device was told to start the update, wait for it to come back"
DEVICE_BACK = "device is back after the start request"
DEVICE_BACK_MS = 2000
DEVICE_NOT_BACK = (f"device did not come back {DEVICE_BACK_MS // 1000} s "
                   "after the start request")
# An arrival whose device was pulled during its settle wait.
SETTLE_GONE = "device is gone after the settle wait, ignore device arrival"
# The last resort, when a cancelled worker does not end in time.
FALLBACK_KILL = "update thread did not end"


def thread_texts_after(trail, index):
    """The texts that the thread of trail[index] wrote after it: the
    handler's own, such as those of the device's restart, interleave."""
    return [e.text for e in trail[index + 1:]
            if e.thread == trail[index].thread]


class Failed(Exception):
    """A step of the run that could not be done at all."""


class Prefix:
    """A Wine prefix owned by this run, its log and its keep-alive process."""

    def __init__(self, path):
        self.path = os.path.abspath(path)
        self.log = self.path + ".log"
        self.folder = f"velunor-e2e-{os.getpid()}"
        self.env = dict(os.environ)
        self.env.update(WINEPREFIX=self.path, WINEDEBUG=TRACE,
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.keep_alive = None
        self.server = shutil.which("wineserver") or "/usr/lib/wine/wineserver"
        self.test_bin = None  # the build's test programs, from boot on

    # Files in the prefix.
    def system32(self, *names):
        return os.path.join(self.path, "drive_c", "windows", "system32", *names)

    def drivers(self, *names):
        return self.system32("drivers", *names)

    def programs(self, *names):
        return os.path.join(self.path, "drive_c", self.folder, *names)

    def windows_program(self, name):
        return f"C:\\{self.folder}\\{name}"

    def boot(self, test_bin_dir):
        """A new prefix, with the plug tool and the test host from the
        build's test programs; its services run with their output in the
        log."""
        self.stop()
        self.test_bin = test_bin_dir
        # The project's one way to make a prefix: it returns once the first
        # boot has wholly ended. Wine ends the services once no ordinary
        # process is left and starts them again with the next one, which they
        # inherit their standard streams and trace settings from. The
        # keep-alive below is that process.
        if subprocess.run([PREFIX_SCRIPT, "new", self.path], timeout=420,
                          stdin=subprocess.DEVNULL).returncode != 0:
            raise Failed("the new prefix did not boot")
        os.makedirs(self.programs(), exist_ok=True)
        for name in ("device_plug.exe", "service_test_host.exe"):
            shutil.copy(os.path.join(test_bin_dir, name), self.programs(name))
        # Until the services run for the keep-alive, the next Wine command
        # could bring them up itself, and they and every service they start
        # would write to that command's output instead of the log. Wine now
        # and then fails a program's start, silently: the keep-alive is
        # started again then.
        for attempt in range(1, KEEP_ALIVE_STARTS + 1):
            self.keep_alive = self._background(
                [self.windows_program("device_plug.exe"), "hold",
                 self.windows_program("stop"), "3600"])
            if wait_for(lambda: self._log_count(SERVICES_UP) > 0,
                        KEEP_ALIVE_START_S, 0.2):
                return
            print(f"the keep-alive's start brought no services up in "
                  f"{KEEP_ALIVE_START_S} s (start {attempt} of "
                  f"{KEEP_ALIVE_STARTS}, status {self.keep_alive.poll()})",
                  flush=True)
            self.keep_alive.kill()
            self.keep_alive.wait()
        raise Failed("the prefix's services did not start")

    def _log_count(self, text):
        with open(self.log, encoding="utf-8", errors="replace") as log:
            return log.read().count(text)

    def _background(self, args):
        with open(self.log, "ab") as log:
            return subprocess.Popen([wine_events.wine_binary(), *args],
                                    env=self.env, stdin=subprocess.DEVNULL,
                                    stdout=log, stderr=log)

    def wine(self, *args, timeout=120, output_name="last_command.txt"):
        """Runs a program to its end; returns (exit code, its output). A
        thread of the test's own that runs programs gives its own
        `output_name`."""
        output_path = self.programs(output_name)
        with open(output_path, "w+b") as output:
            completed = wine_events.run_program(
                args, outputs=(output,), env=self.env,
                stdin=subprocess.DEVNULL, stdout=output, stderr=output,
                timeout=timeout)
            output.seek(0)
            return (completed.returncode,
                    output.read().decode("utf-8", "replace"))

    def stop(self):
        if self.keep_alive is not None:
            try:
                open(self.programs("stop"), "w").close()
            except OSError:
                pass
        subprocess.run([self.server, "-k"], env=self.env, timeout=60,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)
        if self.keep_alive is not None:
            try:
                self.keep_alive.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.keep_alive.kill()
                self.keep_alive.wait()
            self.keep_alive = None

    def log_lines(self):
        with open(self.log, encoding="utf-8", errors="replace") as log:
            return log.read().splitlines()

    def log_length(self):
        with open(self.log, encoding="utf-8", errors="replace") as log:
            return len(log.read())

    def trail(self, pid, since=0):
        """The events of one Windows process, from the prefix's log from
        `since` on: Wine reuses process IDs, so an earlier scenario's
        process may have had the same."""
        with open(self.log, encoding="utf-8", errors="replace") as log:
            return wine_events.parse(log.read()[since:], process=pid)


class Checks:
    """Named checks, printed as they are made."""

    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, name, ok, detail=""):
        if ok:
            self.passed += 1
            print(f"  ok: {name}")
        else:
            self.failed += 1
            print(f"  NOT ok: {name}" + (f" ({detail})" if detail else ""))
        return ok


def wait_for(condition, timeout, interval=0.2):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(interval)
    return condition()


def section(title):
    print(f"\n=== {title}", flush=True)


def read_text(path):
    """A text file's contents, or '' when it cannot be read (yet)."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def command_line(pid):
    """The first word of a Unix process's command line, or '' when it
    cannot be read."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().split(b"\0")[0].decode("utf-8", "replace")
    except OSError:
        return ""


def unix_process_running(pid):
    """Whether a Unix process has a thread that has not exited: a process
    whose first thread has ended lives on in its others."""
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return False
    for task in tasks:
        try:
            with open(f"/proc/{pid}/task/{task}/stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except (OSError, IndexError):
            continue
        if state not in ("Z", "X"):
            return True
    return False


class Run:
    """One scenario's service, device and files in the prefix."""

    def __init__(self, prefix, bin_dir, checks):
        self.prefix = prefix
        self.bin_dir = bin_dir
        self.checks = checks
        self.image_md5 = None
        self.host_pid = None
        self.host_unix_pids = set()  # of the service program, see below
        self.last_query = ""
        self.log_start = 0  # where the service process's trace begins

    # --- Setting up ---

    def place_files(self, device_script, device_back_ms=DEVICE_BACK_MS):
        p = self.prefix
        shutil.copy(os.path.join(self.bin_dir, "velunorUpdateExport.dll"),
                    p.drivers("velunorUpdateExport.dll"))
        shutil.copy(os.path.join(p.test_bin, "AdbWinApi.dll"),
                    p.system32("AdbWinApi.dll"))
        image = os.urandom(IMAGE_SIZE)
        with open(p.drivers(UPDATE_FILE), "wb") as f:
            f.write(image)
        self.image_md5 = hashlib.md5(image).hexdigest()
        print(f"image C:\\Windows\\System32\\drivers\\{UPDATE_FILE}: "
              f"{IMAGE_SIZE} bytes, MD5 {self.image_md5}")
        for name in ("virtual_device_record.txt", "virtual_device_verdict.txt",
                     "virtual_device_release.txt", "virtual_device_replug.txt",
                     "virtual_device_pull.txt"):
            if os.path.exists(p.system32(name)):
                os.remove(p.system32(name))
        script = f"interface {INTERFACE_NAME}\nserial VLNR-SN-000123\n"
        with open(p.system32("virtual_device_script.txt"), "w") as f:
            f.write(script + device_script)
        print("device script:\n  " + (script + device_script).strip()
              .replace("\n", "\n  "))
        host_log = p.programs("service_test_host.log")
        if os.path.exists(host_log):
            os.remove(host_log)
        with open(p.programs("service_test_host_device_back_ms.txt"),
                  "w") as f:
            f.write(f"{device_back_ms}\n")

    def install(self):
        code, events, _ = wine_events.run(
            self.prefix.windows_program("service_test_host.exe"), ["install"],
            prefix=self.prefix.path, env=self.prefix.env, timeout=120)
        texts = [e.text for e in events]
        print(f"install: exit code {code}, events {texts}")
        if texts != [f"install [{SERVICE}] success"]:
            raise Failed("the service was not installed")

    def write_settings(self, key=r"HKLM\Software\VelunorUpdate\ZR700"):
        """The settings as a new installation leaves them: without an
        earlier scenario's outcome record, whose devices took the image."""
        self.prefix.wine("reg", "delete", key + r"\Outcome", "/f")
        values = [("updatefile", "REG_SZ", UPDATE_FILE),
                  ("bForce", "REG_DWORD", "0"),
                  ("bUpdate", "REG_DWORD", "1"),
                  ("version", "REG_SZ", VERSION)]
        for name, kind, data in values:
            code, output = self.prefix.wine("reg", "add", key, "/v", name,
                                            "/t", kind, "/d", data, "/f")
            if code != 0:
                raise Failed(f"reg add {name}: {output}")
        print(f"settings {key}: " +
              ", ".join(f"{n}={d}" for n, _, d in values))

    def service_state(self):
        """The state name that sc reports, or None when not registered."""
        code, output = self.prefix.wine("sc", "query", SERVICE)
        self.last_query = f"sc query exit code {code}: " + \
            " ".join(output.split())
        if code != 0:
            return None
        match = re.search(r"STATE\s*:\s*\d+\s+(\w+)", output)
        return match.group(1) if match else "?"

    def start_service(self):
        self.log_start = self.prefix.log_length()
        code, output = self.prefix.wine("sc", "start", SERVICE)
        print(f"sc start {SERVICE}: exit code {code}")
        if not wait_for(lambda: self.service_state() == "RUNNING", 60, 1):
            raise Failed(f"the service does not run: {output}")
        match = wait_for(self.read_host_pid, 30)
        if not match:
            raise Failed("the service process did not say who it is")
        if not wait_for(self.host_process_alive, 30):
            raise Failed("the service process is not seen from the Unix side")
        print(f"service running, process {self.host_pid:#06x}")

    def read_host_pid(self, after=None):
        """The last service process to start (other than `after`)."""
        started = re.findall(r"process (\d+) started", self.host_log())
        if started and int(started[-1]) != after:
            self.host_pid = int(started[-1])
            return True
        return False

    def host_log(self):
        return read_text(self.prefix.programs("service_test_host.log"))

    # --- Devices ---

    def plug(self, action, path=DEVICE_PATH):
        """Sends `action` through the plug tool. An arrival makes its device
        present first, a removal absent (the tool does both), so an arrival
        waits until the service's start scan has looked: the scan would
        otherwise find the device too, and one of the two would be ignored
        at random."""
        if action == "arrive":
            self.wait_for_start_scan()
        code, output = self.prefix.wine(
            self.prefix.windows_program("device_plug.exe"), action, path)
        print(output.strip() or f"device_plug {action}: exit code {code}")
        if code != 0:
            raise Failed(f"device_plug {action} failed")

    def wait_for_start_scan(self):
        def looked():
            return any(text in START_SCAN_ENDS or
                       text.startswith(START_SCAN_FAILURES)
                       for text in self.texts())
        if not wait_for(looked, ARRIVAL_SETTLE_S + 60, 0.5):
            raise Failed("the service's start scan did not look")

    def bring_back(self, down_s=1):
        """Plugs the device in again `down_s` after it left, as a device
        that restarted into its new firmware; whether the service then ended
        its run."""
        time.sleep(max(0.0, down_s))
        self.plug("arrive")
        return self.wait_for_event("runServcie success", 60)

    def check_back_before_removal(self, texts):
        """The service waited for the device told to start and saw it back
        before it removed itself."""
        removal = "uninstallService start"
        self.checks.check(
            "the service waited for the device, saw it back, then removed "
            "itself",
            TOLD_TO_START in texts and DEVICE_BACK in texts and
            removal in texts and
            texts.index(DEVICE_BACK) < texts.index(removal),
            f"got {texts[-8:]}")

    def replug_device(self):
        """Brings a pulled device back, as a cable plugged in again."""
        open(self.prefix.system32("virtual_device_replug.txt"), "w").close()

    def release_device(self):
        """Lets a request the device script holds go on."""
        open(self.prefix.system32("virtual_device_release.txt"), "w").close()

    def handled(self, event_code, path):
        """Whether the host has handed this event for `path` to the handler
        and the handler has returned."""
        parts = self.host_log().split(
            f"SERVICE_CONTROL_DEVICEEVENT {event_code} for {path}")
        return len(parts) > 1 and "handler returned" in parts[-1]

    def trail(self):
        return self.prefix.trail(self.host_pid, self.log_start)

    def texts(self):
        return [e.text for e in self.trail()]

    def wait_for_event(self, text, timeout):
        return wait_for(lambda: text in self.texts(), timeout, 0.5)

    def verdict(self):
        text = read_text(self.prefix.system32("virtual_device_verdict.txt"))
        return dict(line.strip().partition("=")[::2]
                    for line in text.splitlines())

    def device_record(self):
        return read_text(self.prefix.system32("virtual_device_record.txt"))

    def device_opened_only(self, name):
        """Whether every interface the library opened was `name`, from the
        device's record (the name is kept as the call's payload)."""
        lines = [line for line in self.device_record().splitlines()
                 if " AdbCreateInterfaceByName " in line]
        expected = (name + "\0").encode("utf-16-le").hex()
        return bool(lines) and all(line.rstrip().endswith(f"payload={expected}")
                                   for line in lines)

    def host_process_alive(self):
        """Whether the service program still runs, from the Unix side.

        A process is found by its command line, which names the program,
        and from then on judged by the states of its threads: the kernel
        reads a command line out of the process's own memory, which an
        ending process gives up before its last thread has gone, while a
        thread's state is the kernel's own record."""
        program = self.prefix.windows_program("service_test_host.exe")
        for entry in os.listdir("/proc"):
            if entry.isdigit() and entry not in self.host_unix_pids and \
                    command_line(entry).startswith(program):
                self.host_unix_pids.add(entry)
        self.host_unix_pids = {pid for pid in self.host_unix_pids
                               if unix_process_running(pid)}
        return bool(self.host_unix_pids)

    # --- Showing and checking ---

    def show(self):
        section("event trail of the service process (from Wine's trace)")
        for event in self.trail():
            print(f"  {event}")
        section("what the test host did")
        print("  " + self.host_log().strip().replace("\n", "\n  "))
        section("verdict of the virtual device")
        for key, value in self.verdict().items():
            print(f"  {key}={value}")

    def check_arrival(self, trail, start=0):
        """The arrival and the settings summary, from `start` in the trail.
        Returns the index after the summary, or None."""
        arrival = next((i for i, e in enumerate(trail) if i >= start and
                        e.strings[:1] == ["ZR700 Arrival"]), None)
        c = self.checks
        # The broadcast's spelling, or the listing's when the service's own
        # look for waiting devices reached the device first: the same path.
        if not c.check("arrival event with the device path",
                       arrival is not None and
                       [s.lower() for s in trail[arrival].strings] ==
                       ["zr700 arrival", DEVICE_PATH.lower()] and
                       trail[arrival].type_name == "information"):
            return None
        summary = trail[arrival + 1] if arrival + 1 < len(trail) else None
        expected = ["update file : ", UPDATE_FILE, "bForce : ", "0",
                    "bUpdate : ", "1", "version : ", VERSION]
        c.check("settings summary: eight ANSI strings",
                summary is not None and summary.strings == expected and
                not summary.wide,
                f"got {summary}")
        return arrival + 2

    def check_upgrade(self, trail, start):
        """Library events, the result and the removal after `start`."""
        c = self.checks
        texts = [e.text for e in trail]
        try:
            success = texts.index("send updatefile to device success", start)
        except ValueError:
            success = None
        c.check("\"send updatefile to device success\"", success is not None)
        if success is None:
            return
        library = texts[start:success]
        c.check("the library's events between the summary and the result",
                "veluSendImageFile success" in library and
                "Finished traverse update file" in library,
                f"got {library}")
        worker = thread_texts_after(trail, success)
        c.check("the device told to start waited for, then \"uninstallService "
                "start\"",
                worker[:1] == [TOLD_TO_START] and
                worker[1:2] in ([DEVICE_BACK], [DEVICE_NOT_BACK]) and
                worker[2:3] == ["uninstallService start"], f"got {worker}")
        c.check("no removal failure",
                not {"OpenSCManager fail", "OpenService fail",
                     "delete service fail",
                     "service is not stopped, can not delete service"}
                & set(texts[success:]))
        c.check("\"runServcie success\" last from the main thread",
                texts[-1:] == ["runServcie success"], f"got {texts[-1:]}")

    def begin(self, device_script, waiting_for,
              device_back_ms=DEVICE_BACK_MS):
        """Places the files with `device_script`, installs and starts the
        service with the ZR700 settings and no device connected (an earlier
        scenario's device would be found at the start), and plugs the device
        in."""
        self.place_files(device_script, device_back_ms)
        self.plug("absent")
        self.install()
        self.write_settings()
        self.start_service()
        self.plug("arrive")
        print(f"waiting {ARRIVAL_SETTLE_S} s and {waiting_for}")

    def check_upgraded(self, done, what="the service process ended its run",
                       events_before=0):
        """Shows the trail; checks `done`, and that the arrival after
        `events_before` upgraded the device. Returns the trail."""
        self.show()
        section("checks")
        self.checks.check(what, done)
        trail = self.trail()
        after = self.check_arrival(trail, events_before)
        if after is not None:
            self.check_upgrade(trail, after)
        self.check_device_upgraded()
        return trail

    def arrive_and_check_upgrade(self, events_before, what):
        """Plugs the device in again; checks that the arrival upgraded it
        and the service ended its run."""
        self.plug("arrive")
        done = self.wait_for_event("runServcie success",
                                   ARRIVAL_SETTLE_S + 120)
        self.check_upgraded(done, what, events_before)

    def check_no_error_event(self, trail):
        errors = [str(e) for e in trail if e.type_name == "error"]
        self.checks.check("no error event in the trail", not errors,
                          "; ".join(errors))

    def check_update_file_deleted(self, within_s=0):
        self.checks.check("update file deleted", wait_for(
            lambda: not os.path.exists(self.prefix.drivers(UPDATE_FILE)),
            within_s))

    def check_device_upgraded(self):
        v = self.verdict()
        c = self.checks
        c.check("device: image received whole",
                v.get("image_received") == "1" and
                v.get("bytes_received") == str(IMAGE_SIZE),
                f"{v.get('bytes_received')} of {IMAGE_SIZE}")
        c.check("device: MD5 verified",
                v.get("md5_computed") == self.image_md5 and
                v.get("md5_verified") == "1")
        c.check("device: update started", v.get("update_started") == "1")

    def check_service_gone(self):
        c = self.checks
        c.check("service process ended",
                wait_for(lambda: "process ends" in self.host_log() and
                         not self.host_process_alive(), 30))
        c.check("service registration gone", self.service_state() is None)


def scenario_upgrade(prefix, bin_dir, checks):
    section("scenario: one arrival, one upgrade, the device restarts into "
            "its new firmware")
    run = Run(prefix, bin_dir, checks)
    run.begin("", "for the upgrade (the service lets the device settle)",
              device_back_ms=120000)
    waiting = run.wait_for_event(TOLD_TO_START, ARRIVAL_SETTLE_S + 120)
    checks.check("the service waits for the device told to start", waiting)
    done = False
    if waiting:
        run.plug("remove")
        done = run.bring_back()
    trail = run.check_upgraded(done)
    checks.check("\"initial service success\" is event 1",
                  trail[:1] and trail[0].text == "initial service success"
                  and trail[0].id == 1)
    texts = [e.text for e in trail]
    checks.check("the device's restart did not end the try",
                 "update thread is finishing, ignore device remove" in texts
                 and CANCEL not in texts, f"got {texts[-8:]}")
    run.check_back_before_removal(texts)
    checks.check("device: one announcement, one start request",
                 run.verdict().get("announcements") == "1" and
                 run.verdict().get("starts") == "1",
                 f"verdict {run.verdict()}")
    run.check_update_file_deleted()
    checks.check("library still in place",
                 os.path.exists(prefix.drivers("velunorUpdateExport.dll")))
    run.check_service_gone()
    run.check_no_error_event(trail)


def scenario_present(prefix, bin_dir, checks):
    section("scenario: the device is connected before the service starts")
    run = Run(prefix, bin_dir, checks)
    run.place_files("")
    run.plug("present")
    try:
        run.install()
        run.write_settings()
        run.start_service()
        print(f"no arrival is sent; waiting {ARRIVAL_SETTLE_S} s (the device "
              "present at start settles first) and for the upgrade")
        done = run.wait_for_event("runServcie success",
                                  ARRIVAL_SETTLE_S + 120)
        run.show()
        section("checks")
        checks.check("the service process ended its run", done)
        trail = run.trail()
        texts = [e.text for e in trail]
        checks.check("no device event was delivered",
                     "SERVICE_CONTROL_DEVICEEVENT" not in run.host_log())
        found = texts.index("device found at start") \
            if "device found at start" in texts else None
        checks.check("\"device found at start\" right after the start",
                     found is not None and texts[:found] ==
                     ["initial service success"] and
                     trail[found].type_name == "information",
                     f"got {texts[:3]}")
        arrival = found + 1 if found is not None else len(trail)
        checks.check("then the arrival event with the path in capitals",
                     arrival < len(trail) and trail[arrival].strings ==
                     ["ZR700 Arrival", PRESENT_PATH],
                     f"got {trail[arrival] if arrival < len(trail) else None}")
        if arrival < len(trail):
            run.check_upgrade(trail, arrival + 2)
        run.check_device_upgraded()
        run.check_update_file_deleted()
        run.check_service_gone()
        run.check_no_error_event(trail)
    finally:
        run.plug("absent")


def scenario_removal(prefix, bin_dir, checks):
    section("scenario: the device is removed during the transfer")
    run = Run(prefix, bin_dir, checks)
    # The device stops answering at the first count confirmation (after
    # 4 MiB): the library waits five minutes before it tries again, and the
    # removal arrives meanwhile, as it would when the cable is pulled.
    run.begin("fail AdbDefaultEndpointReadWriteSync 3 31\n", "for the transfer to stall")
    stalled = run.wait_for_event("error => timeout, do retry.",
                                 ARRIVAL_SETTLE_S + 120)
    checks.check("transfer under way, then the device stopped answering",
                 stalled and run.verdict().get("bytes_received") ==
                 str(SEGMENT) and run.verdict().get("image_received") == "0",
                 f"verdict {run.verdict()}")
    if not stalled:
        run.show()
        return
    workers = {e.thread for e in run.trail()
               if e.text == "error => timeout, do retry."}
    removed_at = time.monotonic()
    run.plug("remove")
    removed = run.wait_for_event(CANCELLED, 60)
    print(f"worker ended {time.monotonic() - removed_at:.1f} s after the "
          "removal was sent (in its five-minute wait)")
    wait_for(lambda: "handler returned" in run.host_log().split(
        "SERVICE_CONTROL_DEVICEEVENT 0x8004")[-1], 30)
    time.sleep(2)  # long enough for a worker that was not ended to go on
    trail = run.trail()
    texts = [e.text for e in trail]
    handler = [e.text for e in trail if e.thread not in workers]
    checks.check("\"device remove\" then \"update thread is exist, cancel "
                 "upgrade\"",
                 removed and handler[-2:] == ["device remove", CANCEL],
                 f"got {handler[-3:]}")
    checks.check("the worker cancelled: the download ended as cancelled, "
                 "the worker's last event says so",
                 "download cancelled" in texts and
                 trail[-1].text == CANCELLED and trail[-1].thread in workers,
                 f"got {texts[-6:]}")
    checks.check("the worker neither reported a result nor removed the "
                 "service",
                 not NO_OUTCOME & set(texts))
    checks.check("no kill", not [t for t in texts if t.endswith("kill thread")])
    checks.check("service still running after the removal",
                 run.service_state() == "RUNNING")
    checks.check("service process still there", run.host_process_alive())
    checks.check("update file kept", os.path.exists(
        prefix.drivers(UPDATE_FILE)))
    events_before = len(trail)

    section("the device arrives again")
    run.plug("arrive")
    done = run.wait_for_event("runServcie success", ARRIVAL_SETTLE_S + 120)
    trail = run.check_upgraded(done, events_before=events_before)
    checks.check("the new arrival was not ignored",
                 "update thread is running, ignore device arrival" not in
                 [e.text for e in trail])
    v = run.verdict()
    checks.check("device: the stalled download was aborted first",
                 int(v.get("aborts", "0") or 0) >= 1 and
                 int(v.get("announcements", "0") or 0) >= 2, f"verdict {v}")
    run.check_service_gone()
    # The ended worker left its handle on the image; the library opens images
    # with delete sharing, so the deletion takes effect once the process ends.
    run.check_update_file_deleted(30)


# Where the pull scenario pulls the device: the 300th data write of 16 KiB,
# inside the second segment.
PULL_IN_DATA_PHASE = "pull write 300"


def pulled_during_settle_wait(run, checks):
    """The device, just plugged in, is pulled again during the arrival's
    settle wait, its broadcast only after the wait: no worker starts, the
    service stays, and the next arrival is handled."""
    run.plug("absent")  # gone from the listing; its broadcast comes later
    gone = run.wait_for_event(SETTLE_GONE, ARRIVAL_SETTLE_S + 60)
    run.plug("remove")
    removed = wait_for(lambda: run.handled("0x8004", DEVICE_PATH), 30)
    texts = run.texts()
    checks.check("pulled during the settle wait: the arrival is ignored, the "
                 "late removal only reported",
                 gone and removed and texts[-2:] == [SETTLE_GONE,
                                                     "device remove"],
                 f"got {texts[-4:]}")
    checks.check("no worker started", WORKER_ENTRY not in texts and
                 run.verdict().get("announcements", "0") == "0",
                 f"verdict {run.verdict()}")
    checks.check("service still running", run.service_state() == "RUNNING")
    checks.check("update file kept",
                 os.path.exists(run.prefix.drivers(UPDATE_FILE)))


def scenario_pull(prefix, bin_dir, checks, pull_line=PULL_IN_DATA_PHASE):
    section("scenario: the device is pulled during its settle wait, then the "
            "cable is pulled with the broadcast after the library has "
            f"returned ({pull_line})")
    run = Run(prefix, bin_dir, checks)
    run.begin(pull_line + "\n", "for the presence look")
    pulled_during_settle_wait(run, checks)
    section("plugged in again, the cable pulled in the data phase")
    run.plug("arrive")
    print(f"waiting {ARRIVAL_SETTLE_S} s and for the pull")
    pulled = wait_for(lambda: run.verdict().get("unplugged") == "1",
                      ARRIVAL_SETTLE_S + 120, 0.05)
    pulled_at = time.monotonic()
    ended = wait_for(lambda: CANCELLED in run.texts(), 60, 0.05)
    print(f"worker ended {time.monotonic() - pulled_at:.1f} s after the pull "
          "(polled every 50 ms)")
    in_data_phase = pull_line != PULL_IN_DATA_PHASE or \
        int(run.verdict().get("bytes_received", "0") or 0) == 299 * 16384
    checks.check("the device was pulled where the script says",
                 pulled and in_data_phase, f"verdict {run.verdict()}")
    trail = run.trail()
    texts = [e.text for e in trail]
    checks.check("the library said the download was cancelled, the worker "
                 "that the device went away before the update started",
                 ended and "download cancelled" in texts and
                 texts[-1] == CANCELLED and
                 trail[-1].type_name == "information", f"got {texts[-6:]}")
    checks.check("no outcome and no removal of the service",
                 not NO_OUTCOME & set(texts))
    run.plug("remove")
    checks.check("the late removal is only reported",
                 wait_for(lambda: run.handled("0x8004", DEVICE_PATH), 30) and
                 run.texts()[len(texts):] == ["device remove"],
                 f"got {run.texts()[len(texts):]}")
    checks.check("service still running", run.service_state() == "RUNNING")
    checks.check("update file kept",
                 os.path.exists(prefix.drivers(UPDATE_FILE)))
    events_before = len(run.trail())

    section("the device is plugged in again")
    run.replug_device()
    run.arrive_and_check_upgrade(
        events_before, "the replugged device was upgraded and the service "
        "ended")
    checks.check("device: one start request",
                 run.verdict().get("starts") == "1", f"{run.verdict()}")
    run.check_service_gone()
    run.check_update_file_deleted(30)


def scenario_restart(prefix, bin_dir, checks):
    section("scenario: the device restarts on the start request")
    run = Run(prefix, bin_dir, checks)
    # Gone 5 s from the start request on; its first request afterwards takes
    # 2 s to fail.
    run.begin("restart_on_start 5000 2000\n", "for the start request",
              device_back_ms=120000)
    started = wait_for(lambda: run.verdict().get("starts") == "1",
                       ARRIVAL_SETTLE_S + 120, 0.05)
    started_at = time.monotonic()
    # The broadcast while the library waits for the device's answer.
    run.plug("remove")
    returned = run.wait_for_event(TOLD_TO_START, 120)
    print(f"the library returned {time.monotonic() - started_at:.1f} s "
          "after the start request was taken")
    checks.check("the device took the start request and restarted", started)
    checks.check("no five-minute retry for the restarting device",
                 returned and time.monotonic() - started_at < 60)
    done = bring_back_after_restart(run, started_at, 5)
    texts = run.texts()
    check_started_not_confirmed(run, checks, done, texts)
    check_back_not_sent_again(run, checks, texts)


def bring_back_after_restart(run, started_at, down_s):
    """Plugs the device in again once its restart is over, while the
    service waits for it; whether the service then ended its run."""
    section("the device is back with its new firmware")
    return run.bring_back(started_at + down_s - time.monotonic())


def check_started_not_confirmed(run, checks, done, texts):
    """The library's result 3, and the service's end: the upgrade counts as
    finished, not as a device gone before the start."""
    checks.check("the library: the start was not confirmed (result 3)",
                 START_UNCONFIRMED in texts, f"got {texts[-8:]}")
    checks.check("the upgrade counts as finished: the service removed itself",
                 done and "uninstallService start" in texts and
                 CANCELLED not in texts, f"got {texts[-8:]}")


def check_back_not_sent_again(run, checks, texts):
    """The service saw the device back before it removed itself; the device
    runs the new firmware and was not sent the image or a start request
    again."""
    run.show()
    section("checks")
    run.check_back_before_removal(texts)
    run.check_service_gone()
    v = run.verdict()
    checks.check("device: sent the image once, one start request",
                 v.get("announcements") == "1" and v.get("starts") == "1" and
                 v.get("firmware") == VERSION, f"verdict {v}")


def scenario_unanswered(prefix, bin_dir, checks):
    section("scenario: the device restarts before it answers the start request")
    run = Run(prefix, bin_dir, checks)
    # Gone 8 s from the start request on; the request itself fails after 3 s.
    run.begin("restart_on_start 8000 unanswered 3000\n",
              "for the start request", device_back_ms=120000)
    started = wait_for(lambda: run.verdict().get("starts") == "1",
                       ARRIVAL_SETTLE_S + 120, 0.05)
    started_at = time.monotonic()
    # The broadcast while the start request is still unanswered.
    run.plug("remove")
    returned = run.wait_for_event(TOLD_TO_START, 120)
    print(f"{time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime())}: from the "
          f"start request taken to the service's wait for the device "
          f"{time.monotonic() - started_at:.1f} s")
    checks.check("the device took the start request and restarted", started)
    checks.check("the service went on to wait for the device", returned)
    done = bring_back_after_restart(run, started_at, 8)
    texts = run.texts()
    check_started_not_confirmed(run, checks, done, texts)
    checks.check("the start request was not sent again while it hung",
                 texts.count("fail to send usb control "
                             "Information(VLNR_USB_REQ_WUP_START_UPDATE)")
                 == 1, f"got {texts[-12:]}")
    check_back_not_sent_again(run, checks, texts)


def upgrade_holding_the_loader_lock(run, checks):
    """Starts an upgrade whose 40th write keeps the loader's lock for 5 s and
    then fails as on a pulled device; true once the worker holds the lock.
    A worker ended while it holds the lock would leave it held for ever: no
    thread of the process could start again."""
    run.begin("hold_loader_lock 40 5000\n", "for the 40th write")
    held = wait_for(lambda: run.verdict().get("held") == "1",
                    ARRIVAL_SETTLE_S + 120, 0.2)
    checks.check("the worker holds the loader's lock inside a write", held,
                 f"verdict {run.verdict()}")
    return held


def scenario_lock(prefix, bin_dir, checks):
    section("scenario: the removal comes while the worker holds the "
            "loader's lock")
    run = Run(prefix, bin_dir, checks)
    held = upgrade_holding_the_loader_lock(run, checks)
    if not held:
        run.show()
        return
    removed_at = time.monotonic()
    run.plug("remove")
    ended = run.wait_for_event(CANCELLED, 60)
    print(f"worker ended {time.monotonic() - removed_at:.1f} s after the "
          "removal was sent (at a write holding the lock 5 s)")
    trail = run.trail()
    texts = [e.text for e in trail]
    checks.check("the removal cancelled the upgrade, the worker ended by "
                 "itself", ended and CANCEL in texts, f"got {texts[-6:]}")
    checks.check("no kill", not [t for t in texts if t.endswith("kill thread")])
    checks.check("service still running after the removal",
                 run.service_state() == "RUNNING")
    events_before = len(trail)

    section("the device arrives again")
    run.arrive_and_check_upgrade(
        events_before, "the next arrival upgraded and the service ended its "
        "run")
    run.check_service_gone()


def scenario_lock_stop(prefix, bin_dir, checks):
    section("scenario: the loader's lock again, then a stop control")
    run = Run(prefix, bin_dir, checks)
    upgrade_holding_the_loader_lock(run, checks)
    run.plug("remove")
    run.wait_for_event(CANCELLED, 60)
    code, _ = prefix.wine("sc", "stop", SERVICE)
    print(f"sc stop {SERVICE}: exit code {code}")
    checks.check("the stop control is answered: \"service control stop "
                 "success\"", run.wait_for_event(
                     "service control stop success", 60))
    checks.check("the service stopped and its process ended",
                 wait_for(lambda: run.service_state() == "STOPPED" and
                          not run.host_process_alive(), 60),
                 run.last_query)
    checks.check("the registration stays", run.service_state() is not None)
    checks.check("update file kept",
                 os.path.exists(prefix.drivers(UPDATE_FILE)))
    # The next scenario installs afresh.
    prefix.wine("sc", "delete", SERVICE)


def scenario_two_devices(prefix, bin_dir, checks):
    section("scenario: a second device comes and goes during an upgrade")
    run = Run(prefix, bin_dir, checks)
    # Both devices are plugged in; the first one's device holds its first
    # count confirmation (after 4 MiB) until the run releases it.
    run.begin("interface " + SECOND_DEVICE_PATH.lower() + "\n"
              "serial VLNR-SN-000456\n"
              "hold get_sync_status 1\n", "for the transfer to be held")
    held = wait_for(lambda: run.verdict().get("held") == "1",
                    ARRIVAL_SETTLE_S + 120, 0.5)
    checks.check("first device: transfer under way and held",
                 held and run.verdict().get("bytes_received") == str(SEGMENT),
                 f"verdict {run.verdict()}")
    if not held:
        run.show()
        return

    section("the second device arrives and is pulled out")
    run.plug("arrive", SECOND_DEVICE_PATH)
    print(f"waiting {ARRIVAL_SETTLE_S} s (the service lets the device settle)")
    # The handler answers at once; the arrival is looked at after its
    # settle wait, off the handler.
    arrived = wait_for(lambda: run.handled("0x8000", SECOND_DEVICE_PATH),
                       60, 0.5) and \
        run.wait_for_event("update thread is running, ignore device arrival",
                           ARRIVAL_SETTLE_S + 60)
    run.plug("remove", SECOND_DEVICE_PATH)
    removed = wait_for(lambda: run.handled("0x8004", SECOND_DEVICE_PATH), 30)
    texts = run.texts()
    checks.check("both events reached the service", arrived and removed)
    checks.check("the second arrival is ignored while the first upgrades",
                 "update thread is running, ignore device arrival" in texts)
    checks.check("its removal leaves the worker alone",
                 texts[-2:] == ["device remove", "update thread is for "
                                "another device, ignore device remove"],
                 f"got {texts[-3:]}")
    checks.check("no worker was ended",
                 KILL not in texts and CANCEL not in texts)
    checks.check("the first device's transfer is still held",
                 run.verdict().get("held") == "1", f"verdict {run.verdict()}")

    section("the first device goes on")
    run.release_device()
    done = run.wait_for_event("runServcie success", 120)
    trail = run.check_upgraded(done)
    checks.check("only the first device was opened",
                 run.device_opened_only(INTERFACE_NAME))
    run.check_update_file_deleted()
    run.check_service_gone()
    run.check_no_error_event(trail)
# --- The storm ---

INTERFACE_CLASS = "{6B11E5BB-F5CA-4902-9615-773B3D2F2FEC}"
# The devices of the storm: the one the final arrival upgrades, a second
# device of its family, one of the RK7x10 family (which has settings too) and
# one of a family without settings.
STORM_DEVICES = {
    "zr700": DEVICE_PATH,
    "zr700-2": "\\\\?\\USB#VID_3F3A&PID_9206#VLNR-SN-000456#" +
               INTERFACE_CLASS,
    "rk7x10": "\\\\?\\USB#VID_3F3A&PID_9105#VLNR-SN-000789#" +
              INTERFACE_CLASS,
    "other": "\\\\?\\USB#VID_1D6B&PID_0B0B#OTHER-0001#" + INTERFACE_CLASS,
}
STORM_SERIALS = {"zr700": "VLNR-SN-000123", "zr700-2": "VLNR-SN-000456",
                 "rk7x10": "VLNR-SN-000789"}
# Bounded for the test command; scripts/storm.sh runs longer ones.
STORM_EVENTS = 24
STORM_SETTLE_MS = 300
# Waits between events, in ms: back to back, within a worker's first steps,
# around the settle wait, and after a worker has stalled.
STORM_GAPS = [0, 0, 20, 60, 150, 300, 450, 800, 1500]
# Cables pulled in the storm: where the running call fails at once (the
# announcement, the first data write, a write in the middle of the first
# segment), and how long after the pull the removal's broadcast is sent:
# at once, while the library still waits for a cancel, or after it has
# returned. Only devices of a family with settings get a worker to pull.
STORM_PULLS = 2
STORM_PULL_POINTS = ["set_dnload_info 1", "write 1", "write 200"]
STORM_PULL_DELAYS_MS = [0, 500, 2000, 6000]
STORM_PULLED = ["rk7x10", "zr700", "zr700-2"]
WORKER_ENTRY = "letsStartUpgrade() entry"
# A worker of the storm parks here: its sync went unanswered and it waits
# five minutes before it tries again.
PARKED = "error => timeout, do retry."
KILL = "update thread is exist, kill thread"


def storm_plan(rng, count):
    """Bursts of events, each a list of (action, device, wait ms after)."""
    bursts = []
    present = set()
    while count > 0:
        size = min(count, rng.randint(2, 7))
        burst = []
        for _ in range(size):
            device = rng.choice(sorted(STORM_DEVICES))
            if rng.random() < 0.15:  # a repeated arrival or a stray removal
                action = rng.choice(["arrive", "remove"])
            else:
                action = "remove" if device in present else "arrive"
            if action == "arrive":
                present.add(device)
            else:
                present.discard(device)
            burst.append((action, device, rng.choice(STORM_GAPS)))
        bursts.append(burst)
        count -= size
    return bursts


def pull_plan(rng, bursts, pulls):
    """The storm's pulls, keyed by the burst they follow: lists of
    (device, pull point, broadcast delay ms)."""
    plan = {}
    for _ in range(pulls):
        after = rng.randrange(1, bursts + 1)
        plan.setdefault(after, []).append(
            (rng.choice(STORM_PULLED), rng.choice(STORM_PULL_POINTS),
             rng.choice(STORM_PULL_DELAYS_MS)))
    return plan


def chunks(burst):
    """A burst cut behind each arrival."""
    cut = []
    for event in burst:
        cut.append(event)
        if event[0] == "arrive":
            yield cut
            cut = []
    if cut:
        yield cut


class Storm:
    """The storm's run: bursts sent from one process each, and what the
    service made of them, checked as it goes.

    Unpaced (the default), a burst goes out at once and a removal may come
    at any instruction of a worker: the service cancels the upgrade and the
    worker ends by itself, whatever lock of the process it held meanwhile.
    Paced (--paced), a burst goes out in pieces that each end with an
    arrival, and the next piece waits until the service has handled them and
    a worker the arrival started has parked in its wait, so that every
    worker is ended while it sleeps."""

    def __init__(self, run, settle_ms, paced, rng):
        self.run = run
        self.prefix = run.prefix
        self.checks = run.checks
        self.settle_ms = settle_ms
        self.paced = paced
        self.rng = rng
        self.gate = self.prefix.programs("storm_gate")
        self.sent = 0  # events sent to the running service process

    # --- Sending ---

    def send_burst(self, number, burst, stop=False):
        """Sends a burst. With `stop`, a stop control goes to the service
        during it: paced, as soon as a worker is mid-download (if none gets
        there, after the burst); unpaced, at a moment drawn from the seed.
        Returns whether the service was stopped."""
        if not self.paced:
            length = sum(wait for _, _, wait in burst) / 1000
            self.send(burst, self.rng.uniform(0, length + 0.5) if stop
                      else None)
            if not stop:
                self.check_handled(number)
            return stop
        # The wait behind a piece's arrival is the wait for its worker.
        pieces = [piece[:-1] + [(*piece[-1][:2], 0)]
                  for piece in chunks(burst)]
        stopped = False
        for index, piece in enumerate(pieces):
            started_before = self.started(self.run.trail())
            self.send(piece)
            if stopped:
                continue  # to a stopped service
            self.check_handled(number, started_before)
            running = self.worker_running(self.run.trail())
            if stop and (running or index == len(pieces) - 1):
                self.stop("with a worker mid-download" if running else
                          "with no worker running")
                stopped = True
        return stopped

    def stop(self, how):
        code, _ = self.prefix.wine("sc", "stop", SERVICE)
        print(f"sc stop {SERVICE} ({how}): exit code {code}", flush=True)

    def send(self, burst, stop_after=None):
        """Sends events from one process; with `stop_after` (seconds), a stop
        control goes to the service that long after they began."""
        lines = "".join(f"{action} {STORM_DEVICES[device]} {wait}\n"
                        for action, device, wait in burst)
        with open(self.prefix.programs("burst.txt"), "w") as f:
            f.write(lines)
        print("sent: " + ", ".join(f"{action} {device} +{wait} ms"
                                   for action, device, wait in burst),
              flush=True)
        command = [self.prefix.windows_program("device_plug.exe"),
                   "sequence", self.prefix.windows_program("burst.txt")]
        streams = dict(env=self.prefix.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if stop_after is None:
            plug = wine_events.run_program(command, timeout=120, **streams)
            output = plug.stdout
        else:
            plug = subprocess.Popen([wine_events.wine_binary(), *command],
                                    **streams)
            time.sleep(stop_after)
            self.stop(f"{stop_after:.2f} s into the burst")
            output, _ = plug.communicate(timeout=120)
        if plug.returncode != 0:
            raise Failed("device_plug sequence failed: " +
                         output.decode("utf-8", "replace"))
        self.sent += len(burst)

    def pull(self, name, device, point, delay_ms):
        """A cable pulled while the only worker, `device`'s, is in its
        transfer: the running call fails at once and the removal's broadcast
        follows `delay_ms` after the pull. The upgrade was not done: the
        worker says the device went away, the service stays registered and
        keeps the image, and the device plugged in again is upgraded."""
        run, c = self.run, self.checks
        self.send([("remove", each, 0) for each in sorted(STORM_DEVICES)])
        self.check_handled(name)
        if not wait_for(lambda: not self.worker_running(run.trail()), 60,
                        0.3):
            raise Failed(f"{name}: a worker of the storm did not end")
        before = len(run.trail())
        armed = run.prefix.system32("virtual_device_pull.txt")
        with open(armed + ".new", "w") as f:
            f.write(f"pull {point}\n")
        os.replace(armed + ".new", armed)  # whole, as the device reads it
        self.send([("arrive", device, 0)])
        pulled = wait_for(lambda: run.verdict().get("unplugged") == "1",
                          self.settle_ms / 1000 + 60, 0.05)
        if not c.check(f"{name}: {device} pulled at its {point}", pulled,
                       f"verdict {run.verdict()}"):
            raise Failed(f"{name}: the device was not pulled")
        pulled_at = time.monotonic()

        def ended():
            return CANCELLED in run.texts()[before:]
        returned = delay_ms > 0 and wait_for(ended, delay_ms / 1000, 0.1)
        ended_after = time.monotonic() - pulled_at
        time.sleep(max(0.0, pulled_at + delay_ms / 1000 - time.monotonic()))
        self.send([("remove", device, 0)])
        if not returned:
            wait_for(ended, 60, 0.1)
            ended_after = time.monotonic() - pulled_at
        print(f"{name}: the worker had ended {ended_after:.1f} s after the "
              "pull was seen (polled every 100 ms); the broadcast went "
              f"{delay_ms} ms after the pull, "
              f"{'after' if returned else 'before'} the library returned",
              flush=True)
        texts = run.texts()[before:]
        # The service's own look for waiting devices (after a try, or at its
        # start) may also find the pulled device, listed until its removal's
        # broadcast, and its try ends the same way.
        c.check(f"{name}: the worker ended, the device went away before the "
                "update started", texts.count(CANCELLED) >= 1,
                f"got {texts[-6:]}")
        c.check(f"{name}: no outcome and no removal of the service",
                not NO_OUTCOME & set(texts), f"got {texts}")
        c.check(f"{name}: update file kept",
                os.path.exists(run.prefix.drivers(UPDATE_FILE)))
        self.check_after_burst(name)
        self.replug(name, device)

    def replug(self, name, device):
        """The pulled device plugged in again: its arrival starts a worker,
        which parks in the storm's wait like every other."""
        run = self.run
        started_before = self.started(run.trail())
        open(run.prefix.system32("virtual_device_replug.txt"), "w").close()
        self.send([("arrive", device, 0)])
        self.check_handled(name)

        def parked():
            trail = run.trail()
            if self.started(trail) == started_before:
                return False
            thread = self.workers(trail)[-1][0]
            return any(e.thread == thread and e.text == PARKED
                       for e in trail)
        self.checks.check(f"{name}: the device plugged in again is upgraded",
                          wait_for(parked, self.settle_ms / 1000 + 60, 0.3)
                          and run.verdict().get("unplugged") == "0",
                          f"verdict {run.verdict()}")

    # --- What the service did ---

    def this_process_log(self):
        """The test host's log lines of the running service process."""
        log = self.run.host_log()
        marker = f"process {self.run.host_pid} started"
        return log[log.rfind(marker):].splitlines()

    def handled(self):
        """(events the host received, calls of the handler, returns)."""
        lines = self.this_process_log()
        received = sum(1 for line in lines if re.search(
            r"SERVICE_CONTROL_DEVICEEVENT 0x|event 0x[0-9a-f]+ (for|without)",
            line))
        delivered = sum("SERVICE_CONTROL_DEVICEEVENT 0x" in line
                        for line in lines)
        returned = sum("handler returned" in line for line in lines)
        return received, delivered, returned

    def wait_until_handled(self, burst):
        arrivals = sum(1 for action, _, _ in burst if action == "arrive")
        timeout = 20 + arrivals * self.settle_ms / 1000 * 2

        def settled():
            received, delivered, returned = self.handled()
            return received >= self.sent and returned == delivered
        return wait_for(settled, timeout, 0.3)

    def workers(self, trail):
        """Each worker's thread and its first and last event, in order of
        start. A worker is its entry's, not its thread ID's: Wine gives an
        ended thread's ID to a later thread (a settle thread, say), so a
        worker's span ends at the event that ends it, and later events of
        that ID belong to another thread."""
        spans = []
        running = {}
        for index, event in enumerate(trail):
            if event.text == WORKER_ENTRY:
                span = (event.thread, [index, index])
                spans.append(span)
                running[event.thread] = span
                continue
            for thread, span in list(running.items()):
                if event.thread == thread:
                    span[1][1] = index
                if self.ends_worker(event, thread):
                    del running[thread]
        return spans

    @staticmethod
    def ends_worker(event, thread):
        """Whether the event tells the end of the worker `thread`: its own
        last event after a cancel, or a kill."""
        return (event.text in (CANCELLED, CLAIMED) and
                event.thread == thread) or \
            event.text == KILL or event.text.startswith(FALLBACK_KILL)

    def worker_running(self, trail):
        """Whether the last worker has not been ended (in the storm none
        ends by itself)."""
        workers = self.workers(trail)
        return bool(workers) and not any(
            self.ends_worker(e, workers[-1][0])
            for e in trail[workers[-1][1][0]:])

    def one_worker_at_a_time(self, trail):
        """'' when every worker was ended before the next one began, else
        what was seen."""
        workers = self.workers(trail)
        for (a, (_, a_last)), (b, (b_first, _)) in zip(workers, workers[1:]):
            if a_last > b_first:
                return f"worker {a} still wrote events after {b} began"
            ended = [i for i, e in enumerate(trail)
                     if a_last <= i < b_first and self.ends_worker(e, a)]
            if not ended:
                return f"worker {b} began without {a} being ended"
        return ""

    @staticmethod
    def interleaved(record):
        """'' when each thread's calls to the device form one run, else the
        thread that came back."""
        finished = set()
        current = None
        for thread in re.findall(r" thread=([0-9a-f]+)", record):
            if thread == current:
                continue
            if thread in finished:
                return f"thread {thread} called the device again after " \
                    "another had begun"
            if current is not None:
                finished.add(current)
            current = thread
        return ""

    def show_threads(self):
        """Where each thread of the service process stands, from Wine's
        debugger, which detaches again when it has shown them."""
        env = dict(self.prefix.env, WINEDEBUG="-all")
        try:
            completed = subprocess.run(
                [wine_events.wine_binary(), "winedbg", "--command", "bt all",
                 str(self.run.host_pid)], env=env, stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300,
                check=False)
        except subprocess.TimeoutExpired:
            print("  (the debugger did not answer)")
            return
        shown = False
        for line in completed.stdout.decode("utf-8", "replace").splitlines():
            if line.startswith("Backtracing for thread"):
                shown = "service_test_host" in line
            if shown and "register RSP" not in line:
                print("  " + line)

    @staticmethod
    def started(trail):
        """How many workers the handler has started: each start follows the
        settings summary, which the handler writes just before it."""
        return sum(1 for e in trail if e.strings[:1] == ["update file : "])

    def check_handled(self, number, started_before=None):
        """Waits until the service has handled every event sent; fails the
        run when it does not. Paced, when the handler started a worker
        since `started_before`, also waits until that worker has parked."""
        if not self.wait_until_handled_all():
            self.checks.check(f"burst {number}: every event handled, the "
                              "handler returned each time", False,
                              f"received, delivered, returned: "
                              f"{self.handled()}")
            section("the service process stopped handling events; its "
                    "threads")
            self.show_threads()
            raise Failed(f"the service hung in burst {number}")
        if not self.paced or started_before is None or \
                self.started(self.run.trail()) == started_before:
            return
        # The worker's own first event may still be on its way.
        def parked():
            trail = self.run.trail()
            workers = self.workers(trail)
            if len(workers) < self.started(trail):
                return False
            thread = workers[-1][0]
            return any(e.thread == thread and e.text == PARKED
                       for e in trail)
        if not self.checks.check(f"burst {number}: the worker started "
                                 "reached its wait", wait_for(parked, 60,
                                                              0.5)):
            raise Failed(f"a worker did not reach its wait in burst {number}")

    def check_after_burst(self, number, stopped=False):
        c = self.checks
        if not stopped:
            c.check(f"burst {number}: every event handled, the handler "
                    "returned each time", self.wait_until_handled_all(),
                    f"received, delivered, returned: {self.handled()}")
            alive = self.run.host_process_alive()
            state = self.run.service_state()
            c.check(f"burst {number}: service process running",
                    alive and state == "RUNNING",
                    f"process {'running' if alive else 'not found'}; "
                    f"{self.run.last_query}")
        trail = self.run.trail()
        seen = self.one_worker_at_a_time(trail)
        c.check(f"burst {number}: at most one worker at a time "
                f"({len(self.workers(trail))} so far)", not seen, seen)
        seen = self.interleaved(self.run.device_record())
        c.check(f"burst {number}: the device never saw two downloads "
                "interleaved", not seen, seen)

    def wait_until_handled_all(self):
        return self.wait_until_handled([("arrive", "", 0)] * self.sent)


def snapshot(prefix, own):
    """Size and modification time of every file of the prefix's drive C:
    outside the drivers folder and the files the run owns."""
    root = os.path.join(prefix.path, "drive_c")
    skipped = [os.path.normcase(p) for p in [prefix.drivers(), *own]]
    files = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            if any(os.path.normcase(path).startswith(s) for s in skipped):
                continue
            try:
                info = os.stat(path)
            except OSError:
                continue
            files[os.path.relpath(path, root)] = (info.st_size,
                                                   info.st_mtime_ns)
    return files


def scenario_storm(prefix, bin_dir, checks, seed, events, settle_ms,
                   paced, pulls):
    section(f"scenario: a storm of {events} device events and {pulls} "
            f"pulls, seed {seed}" + (", paced" if paced else ""))
    print(f"replay: service_e2e.py --scenario storm --seed {seed} "
          f"--storm-events {events} --storm-pulls {pulls} "
          f"--settle-ms {settle_ms}" + (" --paced" if paced else ""))
    print("paced: each worker is ended only once it has parked in its wait"
          if paced else "unpaced: a removal may end a worker at any moment")
    rng = random.Random(seed)
    run = Run(prefix, bin_dir, checks)
    storm = Storm(run, settle_ms, paced, rng)
    # Every interface but the one of a family without settings; each sync
    # goes unanswered while the gate stands, so every worker of the storm
    # stalls in its transfer until a removal ends it.
    script = "".join(
        f"interface {STORM_DEVICES[name].lower()}\nserial {serial}\n"
        for name, serial in STORM_SERIALS.items() if name != "zr700")
    script += f"gate get_sync_status {prefix.windows_program('storm_gate')}\n"
    run.place_files(script)
    open(storm.gate, "w").close()
    # Files that share the update file's name outside the drivers folder.
    decoys = [os.path.join(prefix.path, "drive_c", UPDATE_FILE),
              prefix.system32(UPDATE_FILE),
              os.path.join(prefix.path, "drive_c", "windows", UPDATE_FILE)]
    for decoy in decoys:
        with open(decoy, "wb") as f:
            f.write(b"not an image: outside the drivers folder\n")
    with open(prefix.programs("service_test_host_settle_ms.txt"), "w") as f:
        f.write(f"{settle_ms}\n")
    run.install()
    run.write_settings()
    run.write_settings(r"HKLM\Software\VelunorUpdate\RK7x10")
    own = [prefix.programs(), *(prefix.system32(f"virtual_device_{n}.txt")
                                for n in ("record", "verdict", "script"))]
    before = snapshot(prefix, own)
    run.start_service()
    shortened = re.search(r"arrival settle wait shortened from (\d+) ms to "
                          r"(\d+) ms", run.host_log())
    checks.check("the test host shortened the settle wait",
                 shortened is not None and int(shortened.group(2)) ==
                 settle_ms)
    print(f"settle wait shortened through the test host: "
          f"{ARRIVAL_SETTLE_S * 1000} ms -> {settle_ms} ms")

    bursts = storm_plan(rng, events)
    pulled = pull_plan(rng, len(bursts), pulls)
    stop_in = len(bursts) // 2
    for number, burst in enumerate(bursts, 1):
        stop = number - 1 == stop_in
        section(f"burst {number} of {len(bursts)}" +
                (", with a stop control" if stop else ""))
        if storm.send_burst(number, burst, stop):
            check_stopped(run, storm, checks, number)
            restart(run, storm, checks)
        else:
            storm.check_after_burst(number)
        for index, (device, point, delay) in enumerate(pulled.get(number, [])):
            name = f"pull {number}.{index + 1}"
            section(f"{name}: {device} pulled at its {point}, the broadcast "
                    f"{delay} ms later")
            storm.pull(name, device, point, delay)

    section("quiet: every device removed, the device answers again")
    storm.send_burst("quiet", [("remove", name, 100)
                               for name in sorted(STORM_DEVICES)])
    storm.check_after_burst("quiet")
    trail = run.trail()
    checks.check("no worker left running", not storm.worker_running(trail))
    os.remove(storm.gate)
    events_before = len(trail)

    # The RK7x10 package is removed first: the service serves every family
    # with settings before it removes itself, and the storm's pulls may have
    # left that family's device waiting for its next arrival.
    run.prefix.wine("reg", "delete", r"HKLM\Software\VelunorUpdate\RK7x10",
                    "/f")
    section("the final, quiet arrival")
    storm.send([("arrive", "zr700", 0)])
    done = run.wait_for_event("runServcie success",
                              settle_ms / 1000 + 120)
    show_storm(run, storm)
    section("checks")
    checks.check("the service process ended its run", done)
    trail = run.trail()
    seen = storm.one_worker_at_a_time(trail)
    checks.check("at most one worker at a time, to the end", not seen, seen)
    seen = storm.interleaved(run.device_record())
    checks.check("the device never saw two downloads interleaved, to the "
                 "end", not seen, seen)
    after = run.check_arrival(trail, events_before)
    if after is not None:
        run.check_upgrade(trail, after)
    run.check_device_upgraded()
    run.check_service_gone()
    run.check_update_file_deleted(30)
    checks.check("library still in place",
                 os.path.exists(prefix.drivers("velunorUpdateExport.dll")))
    after_files = snapshot(prefix, own)
    changed = sorted(path for path in set(before) | set(after_files)
                     if before.get(path) != after_files.get(path))
    checks.check("files outside the drivers folder untouched "
                 f"({len(before)} files)", not changed,
                 ", ".join(changed[:10]))
    checks.check("the files named like the update file outside the drivers "
                 "folder kept", all(os.path.exists(d) for d in decoys))
    crashes = [line for line in prefix.log_lines()
               if "Unhandled" in line or "unhandled exception" in line]
    checks.check("no unhandled exception in any process", not crashes,
                 "; ".join(crashes[:3]))
    os.remove(prefix.programs("service_test_host_settle_ms.txt"))
    for leftover in ("virtual_device_pull.txt", "virtual_device_replug.txt"):
        checks.check(f"{leftover} taken by the device",
                     not os.path.exists(prefix.system32(leftover)))
    for decoy in decoys:
        os.remove(decoy)


def show_storm(run, storm):
    """What the storm came to, in short: the last service process's events
    and workers, and the device's verdict."""
    trail = run.trail()
    section(f"the last service process: {len(trail)} events")
    shown = [e for e in trail if e.strings[0].endswith("Arrival") or
             e.text.startswith(("device remove", "update thread",
                                "Open HLKM", "letsStartUpgrade",
                                "send updatefile", "service control",
                                "runServcie", "uninstallService"))]
    for event in shown:
        print(f"  [{event.thread}] {event}")
    print(f"  workers: {len(storm.workers(trail))}")
    section("verdict of the virtual device")
    for key, value in run.verdict().items():
        print(f"  {key}={value}")


def check_stopped(run, storm, checks, number):
    """The stop control mid-burst: the service stops, its process ends, its
    registration and the update file stay."""
    c = checks
    c.check(f"burst {number}: \"service control stop success\" after the "
            "stop control", run.wait_for_event("service control stop success",
                                               30))
    c.check(f"burst {number}: the stopped service's process ended",
            wait_for(lambda: "process ends" in "\n".join(
                storm.this_process_log()) and not run.host_process_alive(),
                     30))
    c.check(f"burst {number}: the registration stays, stopped",
            run.service_state() == "STOPPED", f"state {run.service_state()}")
    c.check(f"burst {number}: update file kept",
            os.path.exists(run.prefix.drivers(UPDATE_FILE)))
    storm.check_after_burst(number, stopped=True)


def restart(run, storm, checks):
    """The service started again after the stop: a new process."""
    stopped = run.host_pid
    run.log_start = run.prefix.log_length()
    code, output = run.prefix.wine("sc", "start", SERVICE)
    print(f"sc start {SERVICE} again: exit code {code}")
    started = wait_for(lambda: run.service_state() == "RUNNING", 60, 1) and \
        wait_for(lambda: run.read_host_pid(after=stopped), 30) and \
        wait_for(run.host_process_alive, 30)
    if not started:
        raise Failed(f"the service did not start again: {output}")
    print(f"service running again, process {run.host_pid:#06x}")
    storm.sent = 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True,
                        help="the build's bin folder: the shipped programs")
    parser.add_argument("--test-bin", required=True,
                        help="the build's test-bin folder: the test programs "
                        "and the virtual device")
    parser.add_argument("--work", required=True,
                        help="folder of the run's prefix (made afresh)")
    parser.add_argument("--scenario",
                        choices=["upgrade", "present", "removal", "pull",
                                 "restart", "unanswered", "lock", "two",
                                 "storm", "all"],
                        default="all")
    parser.add_argument("--seed", type=int, default=None,
                        help="the storm's seed (default: a new one, printed)")
    parser.add_argument("--storm-events", type=int, default=STORM_EVENTS,
                        help="device events in the storm "
                        f"(default {STORM_EVENTS})")
    parser.add_argument("--storm-pulls", type=int, default=STORM_PULLS,
                        help="cables pulled between the storm's bursts "
                        f"(default {STORM_PULLS})")
    parser.add_argument("--settle-ms", type=int, default=STORM_SETTLE_MS,
                        help="the arrival's settle wait in the storm, through "
                        f"the test host (default {STORM_SETTLE_MS})")
    parser.add_argument("--pull", default=PULL_IN_DATA_PHASE,
                        help="the device script's pull line for the pull "
                        f"scenario (default \"{PULL_IN_DATA_PHASE}\")")
    parser.add_argument("--paced", action="store_true",
                        help="let a removal end a storm's worker only once it "
                        "has parked in its wait, not at any moment")
    options = parser.parse_args()
    seed = options.seed if options.seed is not None else \
        random.SystemRandom().randrange(1 << 31)
    bin_dir = os.path.abspath(options.bin)
    test_bin_dir = os.path.abspath(options.test_bin)
    for path in (os.path.join(test_bin_dir, "service_test_host.exe"),
                 os.path.join(test_bin_dir, "device_plug.exe"),
                 os.path.join(bin_dir, "velunorUpdateExport.dll"),
                 os.path.join(test_bin_dir, "AdbWinApi.dll")):
        if not os.path.exists(path):
            print(f"missing {path}: build it first")
            return 2
    os.makedirs(options.work, exist_ok=True)
    prefix = Prefix(os.path.join(options.work, "prefix"))
    checks = Checks()
    started = time.monotonic()
    try:
        section(f"fresh Wine prefix {prefix.path} (log: {prefix.log})")
        prefix.boot(test_bin_dir)
        if options.scenario in ("upgrade", "all"):
            scenario_upgrade(prefix, bin_dir, checks)
        if options.scenario in ("present", "all"):
            scenario_present(prefix, bin_dir, checks)
        if options.scenario in ("removal", "all"):
            scenario_removal(prefix, bin_dir, checks)
        if options.scenario in ("pull", "all"):
            scenario_pull(prefix, bin_dir, checks, options.pull)
        if options.scenario in ("restart", "all"):
            scenario_restart(prefix, bin_dir, checks)
        if options.scenario in ("unanswered", "all"):
            scenario_unanswered(prefix, bin_dir, checks)
        if options.scenario in ("lock", "all"):
            scenario_lock(prefix, bin_dir, checks)
            scenario_lock_stop(prefix, bin_dir, checks)
        if options.scenario in ("two", "all"):
            scenario_two_devices(prefix, bin_dir, checks)
        if options.scenario in ("storm", "all"):
            scenario_storm(prefix, bin_dir, checks, seed,
                           options.storm_events, options.settle_ms,
                           options.paced, options.storm_pulls)
    except (Failed, subprocess.TimeoutExpired) as error:
        checks.check("the run went through", False, str(error))
    finally:
        prefix.stop()
    print(f"\nservice end to end: {checks.passed} passed, {checks.failed} "
          f"failed ({time.monotonic() - started:.0f} s)")
    if options.scenario in ("storm", "all"):
        print(f"storm seed: {seed}")
    return 0 if checks.failed == 0 and checks.passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
