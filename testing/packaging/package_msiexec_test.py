#!/usr/bin/env python3
"""The release package under Wine's own msiexec.

Builds packages of two ZR700 releases with scripts/package.sh from the
build's programs, and, in a fresh Wine prefix of its own (booted and kept as
the end-to-end run does), installs and removes them with `msiexec /qn` as the
deployment tools of a fleet do:

  install    over a service registered by hand, with BUPDATE=0 on the
             command line: the files, the settings (bUpdate reads 0), the
             program's own "install" role run once and succeeding, the
             service running the installed program; msiexec /x of the running
             service leaves no file, no settings key and no service
  life       an arrival upgrades the virtual device, the service removes
             itself and the image; msiexec /x still succeeds and leaves
             nothing behind. The family's outcome record, read with
             `reg query` as a fleet tool reads it, says "waiting" after the
             installation and "upgraded" with the try's values after the
             upgrade; `upgrade_runner status` reads it likewise
  present    the whole life again, with the device connected before
             `msiexec /i` and no arrival ever broadcast: installing the
             package is enough, the program the package installed finds the
             device at its start and upgrades it, with no test host and no
             stand-in of any kind
  repair     a repair (msiexec /i REINSTALL=ALL REINSTALLMODE=vomus) with
             BFORCE=1 BUPDATE=0 on its command line, as a user without
             administrator rights may start it: the settings stay as the
             installation wrote them
  upgrade    the newer release's package installs over the older one: one
             release installed, its image and settings, the service
             registered anew; a repair before keeps the outcome record, the
             next release starts it afresh
  refusals   BFORCE=2; a package whose program registers no service (the
             package's check fails); one whose service does not start (the
             registration is rolled back): each fails at its step and leaves
             nothing behind

Wine's user32 drops device events addressed to services, so for the life
scenario the test puts the end-to-end test host behind the service that the
package installed: it stops the service, points its registration at
service_test_host.exe (service_repoint.exe; the name, start type, account and
error control stay as the package's install role made them) and starts it
again. The host runs the service's own code under Wine's dispatcher and hands
it each device broadcast as Windows would. The upgrade library, the image and
the settings it works with are the ones the package installed. The shipped
package carries none of this.

    package_msiexec_test.py --bin BUILD/bin --test-bin BUILD/test-bin
                            --e2e E2E_DIR --work DIR

E2E_DIR is the folder of the end-to-end driver (service_e2e.py), whose prefix,
service and device helpers this test uses. Exit status 0 only when every
check passed. The prefix's server is ended on every path out of this program.
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PACKAGE_SH = os.path.join(ROOT, "scripts", "package.sh")

SERVICE = "VelunorUpdateService"
PROGRAM = "VlnrZR700UpdateService.exe"
LIBRARY = "velunorUpdateExport.dll"
INSTALL_FOLDER = "Velunor Update"
FAMILY = "ZR700"
SETTINGS_KEY = "HKLM\\Software\\VelunorUpdate\\" + FAMILY
RECORD_KEY = SETTINGS_KEY + "\\Outcome"
# One count confirmation after 4 MiB, then the rest of the image.
IMAGE_SIZE = 6 * 1024 * 1024 + 4321
INSTALLED = "install [VelunorUpdateService] success"
ARRIVAL_SETTLE_S = 15
# A failed custom action (the registration check, the service's start):
# Windows Installer's msiexec ends with 1603, Wine's with 1627.
FAILED_ACTION = (1603, 1627)

e2e = None  # service_e2e, imported from --e2e


class Release:
    """One package: its image, its version and where it lies."""

    def __init__(self, work, name, version, force=0, update=1,
                 programs=None):
        self.name = name
        self.version = version
        self.force = force
        self.update = update
        self.image_name = f"vlnr_zr700_fw_{name}.bin"
        self.image = os.path.join(work, self.image_name)
        data = os.urandom(IMAGE_SIZE)
        with open(self.image, "wb") as f:
            f.write(data)
        self.md5 = hashlib.md5(data).hexdigest()
        self.sha256 = hashlib.sha256(data).hexdigest()
        self.msi = os.path.join(work, f"release_{name}.msi")
        self.programs = programs
        self.product_code = None

    def build(self, bin_dir):
        args = ["bash", PACKAGE_SH, "--family", FAMILY, "--image", self.image,
                "--version", self.version, "--force", str(self.force),
                "--update", str(self.update), "--out", self.msi,
                "--programs", self.programs or bin_dir]
        started = time.monotonic()
        result = subprocess.run(args, capture_output=True, text=True,
                                timeout=300, check=False)
        if result.returncode != 0:
            raise e2e.Failed(f"package.sh for {self.name}: {result.stderr}")
        properties = subprocess.run(["msiinfo", "export", self.msi,
                                     "Property"], capture_output=True,
                                    text=True, check=True).stdout
        self.product_code = re.search(r"^ProductCode\t(\S+)$", properties,
                                      re.M).group(1)
        print(f"{os.path.basename(self.msi)}: {self.version}, image "
              f"{self.image_name} (MD5 {self.md5}), BFORCE={self.force} "
              f"BUPDATE={self.update}, product {self.product_code} "
              f"({time.monotonic() - started:.1f} s)")


class Machine:
    """The prefix seen as an administrator sees a PC: msiexec, files,
    settings, services, processes."""

    def __init__(self, prefix, bin_dir, checks):
        self.prefix = prefix
        self.bin_dir = bin_dir
        self.checks = checks
        self.service = e2e.Run(prefix, bin_dir, checks)

    # --- What the administrator runs ---

    def msiexec(self, action, release, *properties):
        """msiexec ACTION package /qn [PROPERTY=value...]; its exit code.
        The programs that the package runs write to msiexec's output, which
        is kept in `output`."""
        name = os.path.basename(release.msi)
        shutil.copy(release.msi, self.prefix.programs(name))
        log = f"{release.name}-{action.strip('/')}.log"
        started = time.monotonic()
        # Through cmd, which tells the whole exit code; Unix sees its low
        # eight bits only (1603 as 67).
        _, output = self.prefix.wine(
            "cmd", "/c", self.prefix.windows_program("msiexec_code.cmd"),
            action, self.prefix.windows_program(name), "/qn", "/l*v",
            self.prefix.windows_program(log), *properties, timeout=300)
        match = re.search(r"^msiexec exit code (-?\d+)\r?$", output, re.M)
        if match is None:
            raise e2e.Failed(f"msiexec did not run: {output}")
        self.output = output[:match.start()]
        code = int(match.group(1))
        print(f"msiexec {action} {name} /qn {' '.join(properties)}: exit code "
              f"{code} ({time.monotonic() - started:.1f} s)", flush=True)
        return code

    def install_roles(self):
        """The event trails of the program's install role that the last
        msiexec ran: processes whose first event is the role's outcome."""
        by_process = {}
        for line in self.output.splitlines():
            match = re.match(r"^([0-9a-f]{4}):(.*)$", line)
            if match:
                by_process.setdefault(match.group(1), []).append(
                    match.group(2))
        trails = [e2e.wine_events.parse("\n".join(lines))
                  for lines in by_process.values()]
        return [[(e.type_name, e.text) for e in trail] for trail in trails
                if trail and trail[0].text.startswith("install [")]

    def service_query_output(self):
        """What sc.exe printed when the package checked the registration."""
        lines = [line for line in self.output.splitlines()
                 if not re.match(r"^[0-9a-f]{4}:", line) and line.strip()]
        return "\n".join(lines)

    def msi_log(self, release, action):
        path = self.prefix.programs(f"{release.name}-{action.strip('/')}.log")
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                return f.read().splitlines()
        except OSError:
            return []

    def failed_action(self, release, action):
        """The first action that failed, from msiexec's log. Wine logs a
        failed action with "Return value 0", as it does MigrateFeatureStates
        when there is nothing to migrate."""
        for line in self.msi_log(release, action):
            match = re.match(r"^Action ended [^:]+:[^:]+:[^:]+: (\w+)\. "
                             r"Return value 0\.$", line)
            if match and match.group(1) != "MigrateFeatureStates":
                return match.group(1)
        return None

    def show_msi_log(self, release, action):
        """The end of msiexec's log, after an unexpected outcome."""
        for line in self.msi_log(release, action)[-25:]:
            print(f"    | {line}")

    # --- What is on the PC ---

    def program_path(self):
        return os.path.join(self.prefix.path, "drive_c", "Program Files",
                            INSTALL_FOLDER, PROGRAM)

    def windows_program_path(self):
        return f"C:\\Program Files\\{INSTALL_FOLDER}\\{PROGRAM}"

    def settings(self, key=SETTINGS_KEY):
        """{value name: (type, data)} of the family's key (or another); None
        without it."""
        code, output = self.prefix.wine("reg", "query", key)
        if code != 0:
            return None
        values = {}
        for line in output.splitlines():
            match = re.match(r"^\s+(\S+)\s+(REG_\w+)\s*(.*?)\s*$", line)
            if match:
                values[match.group(1)] = (match.group(2), match.group(3))
        return values

    def record(self):
        """The family's outcome record as `reg query` shows it: {value name:
        data}, the time left out (check_record_time checks it); None
        without the key."""
        values = self.settings(RECORD_KEY)
        print(f"  reg query {RECORD_KEY}: {values}")
        if values is None:
            return None
        self.record_time = values.pop("time", (None, None))[1]
        return {name: data for name, (_, data) in values.items()}

    def check_record(self, what, expected):
        record = self.record()
        self.checks.check(f"outcome record {what}: {expected}",
                          record == expected, f"got {record}")
        if "result" in expected:
            self.checks.check(
                "its time in UTC to the second",
                re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ",
                             self.record_time or "") is not None,
                f"got {self.record_time}")

    def check_status(self, expected_code, expected_line):
        """`upgrade_runner status` as a support engineer runs it on the PC:
        its exit code and its one line of the family."""
        code, output = self.prefix.wine(
            self.prefix.windows_program("upgrade_runner.exe"), "status")
        print(f"  upgrade_runner status: exit code {code}\n    "
              + output.strip().replace("\n", "\n    "))
        lines = [line.rstrip("\r") for line in output.splitlines()]
        self.checks.check(
            f"upgrade_runner status: exit code {expected_code}, "
            f"\"{expected_line[:60]}...\"",
            code == expected_code and lines[:1] and
            re.fullmatch(expected_line, lines[0]) is not None,
            f"got {code}, {lines}")

    def key_exists(self, key):
        return self.prefix.wine("reg", "query", key)[0] == 0

    def product_registered(self, release):
        return self.key_exists(
            "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
            + release.product_code)

    def program_processes(self):
        """Unix process IDs of the installed program."""
        wanted = self.windows_program_path().lower()
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    command = f.read().split(b"\0")[0]
            except OSError:
                continue
            if command.decode("utf-8", "replace").lower().startswith(wanted):
                found.append(int(entry))
        return found

    # --- Checks ---

    def check_installed(self, release, bforce, bupdate):
        c = self.checks
        drivers = self.prefix.drivers
        c.check("program in Program Files", same_file(
            self.program_path(), os.path.join(self.bin_dir, PROGRAM)))
        c.check("upgrade library in System32\\drivers", same_file(
            drivers(LIBRARY), os.path.join(self.bin_dir, LIBRARY)))
        c.check(f"image {release.image_name} in System32\\drivers",
                md5_of(drivers(release.image_name)) == release.md5)
        expected = {"updatefile": ("REG_SZ", release.image_name),
                    "bForce": ("REG_DWORD", f"0x{bforce:x}"),
                    "bUpdate": ("REG_DWORD", f"0x{bupdate:x}"),
                    "version": ("REG_SZ", release.version)}
        settings = self.settings()
        c.check(f"settings {SETTINGS_KEY}: "
                + ", ".join(f"{n} {t} {d}" for n, (t, d) in expected.items()),
                settings == expected, f"got {settings}")
        c.check("product registered with Windows Installer",
                self.product_registered(release))

    def check_service_runs_installed_program(self):
        running = e2e.wait_for(lambda: self.service.service_state() ==
                               "RUNNING" and self.program_processes(), 60, 1)
        return self.checks.check(
            "service running, in the installed program", running,
            f"state {self.service.service_state()}, processes "
            f"{self.program_processes()}")

    def check_nothing_left(self, *releases):
        c = self.checks
        drivers = self.prefix.drivers
        c.check("service not registered",
                self.service.service_state() is None)
        c.check("no process of the program",
                e2e.wait_for(lambda: not self.program_processes(), 30))
        c.check("no program file, no install folder", not os.path.exists(
            os.path.dirname(self.program_path())))
        c.check("no upgrade library", not os.path.exists(drivers(LIBRARY)))
        for release in releases:
            c.check(f"no image {release.image_name}",
                    not os.path.exists(drivers(release.image_name)))
            c.check(f"release {release.name} not registered with Windows "
                    "Installer", not self.product_registered(release))
        c.check(f"no settings key {SETTINGS_KEY}", self.settings() is None)
        c.check("no key HKLM\\Software\\VelunorUpdate",
                not self.key_exists("HKLM\\Software\\VelunorUpdate"))


def same_file(path, reference):
    return md5_of(path) is not None and md5_of(path) == md5_of(reference)


def md5_of(path):
    try:
        with open(path, "rb") as f:
            return hashlib.md5(f.read()).hexdigest()
    except OSError:
        return None


# --- Scenarios ---

def scenario_install(machine, release):
    e2e.section("scenario: install with BUPDATE=0 over a registration made by "
                "hand, remove the running service")
    c = machine.checks
    # The way before the package: some program registered by hand under the
    # service's name. The package's own registration has to replace it.
    code, _ = machine.prefix.wine(
        machine.prefix.windows_program("service_test_host.exe"), "install")
    if not c.check("a registration made by hand beforehand",
                   code == 0 and machine.service.service_state() == "STOPPED"):
        return
    if not c.check("msiexec /i exit code 0",
                   machine.msiexec("/i", release, "BUPDATE=0") == 0):
        machine.show_msi_log(release, "/i")
    check_install_role(machine, [[("information", INSTALLED)]])
    machine.check_installed(release, bforce=0, bupdate=0)
    machine.check_service_runs_installed_program()
    if not c.check("msiexec /x exit code 0",
                   machine.msiexec("/x", release) == 0):
        machine.show_msi_log(release, "/x")
    machine.check_nothing_left(release)


def check_install_role(machine, expected):
    """The install roles that the last msiexec ran, and its service check."""
    roles = machine.install_roles()
    print("  the package ran the program's install role: "
          + (f"{roles}" if roles else "no event of it"))
    query = machine.service_query_output() or "(nothing)"
    print("  the package's check of the registration (sc.exe query):\n    "
          + query.replace("\n", "\n    "))
    machine.checks.check(
        "the program's install role ran once and succeeded"
        if expected else "no install role's event", roles == expected,
        f"got {roles}")


def place_virtual_device(prefix):
    shutil.copy(os.path.join(prefix.test_bin, "AdbWinApi.dll"),
                prefix.system32("AdbWinApi.dll"))
    with open(prefix.system32("virtual_device_script.txt"), "w") as f:
        f.write(f"interface {e2e.INTERFACE_NAME}\nserial VLNR-SN-000123\n")
    for name in ("virtual_device_record.txt", "virtual_device_verdict.txt"):
        if os.path.exists(prefix.system32(name)):
            os.remove(prefix.system32(name))


def remove_virtual_device(prefix):
    for name in ("AdbWinApi.dll", "virtual_device_script.txt",
                 "virtual_device_record.txt", "virtual_device_verdict.txt"):
        if os.path.exists(prefix.system32(name)):
            os.remove(prefix.system32(name))


def put_test_host_behind_service(machine):
    """Stops the installed service and points it at the test host."""
    prefix = machine.prefix
    code, output = prefix.wine("sc", "stop", SERVICE)
    print(f"sc stop {SERVICE}: exit code {code}")
    if not e2e.wait_for(lambda: machine.service.service_state() == "STOPPED",
                        60, 1):
        raise e2e.Failed(f"the installed service does not stop: {output}")
    host = prefix.windows_program("service_test_host.exe")
    code, output = prefix.wine(prefix.windows_program("service_repoint.exe"),
                               SERVICE, host)
    print(output.strip())
    if code != 0:
        raise e2e.Failed("the service was not pointed at the test host")
    machine.service.start_service()


def scenario_life(machine, release):
    e2e.section("scenario: the whole life of an installed release")
    c = machine.checks
    prefix = machine.prefix
    place_virtual_device(prefix)
    try:
        if not c.check("msiexec /i exit code 0",
                       machine.msiexec("/i", release) == 0):
            machine.show_msi_log(release, "/i")
            return
        machine.check_installed(release, bforce=0, bupdate=1)
        machine.check_record("after the installation", WAITING)
        machine.check_status(9, re.escape("ZR700: waiting"))
        if not machine.check_service_runs_installed_program():
            return
        put_test_host_behind_service(machine)
        run = machine.service
        run.plug("arrive")
        print(f"waiting {ARRIVAL_SETTLE_S} s (the service lets the device "
              "settle) and for the upgrade")
        done = run.wait_for_event("runServcie success", ARRIVAL_SETTLE_S + 120)
        run.show()
        e2e.section("checks")
        c.check("the service ended its run", done)
        check_upgrade_trail(c, run.trail(), release)
        check_device_upgraded(c, prefix, release)
        c.check("image deleted by the service",
                not os.path.exists(prefix.drivers(release.image_name)))
        machine.check_record("after the upgrade",
                             upgraded_record(release, e2e.DEVICE_PATH))
        machine.check_status(0, re.escape("ZR700: upgraded, result 0, "
                                          "attempts 1, since ")
                             + r"\S+Z" + re.escape(
                                 f", version {release.version}, updatefile "
                                 f"{release.image_name}, image "
                                 f"{release.sha256}, device "
                                 f"{e2e.DEVICE_PATH}"))
        run.check_service_gone()
        if not c.check("msiexec /x after the service removed itself: exit "
                       "code 0", machine.msiexec("/x", release) == 0):
            machine.show_msi_log(release, "/x")
        machine.check_nothing_left(release)
        machine.check_status(10, re.escape(
            "no outcome record: no release package of the service is "
            "installed on this PC"))
    finally:
        remove_virtual_device(prefix)


def shipped_trail(prefix, log_start):
    """The event trail of the service process that started after
    `log_start` in the prefix's log: the installed program, since nothing
    else runs as the service."""
    with open(prefix.log, encoding="utf-8", errors="replace") as log:
        log.seek(log_start)
        events = e2e.wine_events.parse(log.read())
    started = next((e.process for e in events
                    if e.text == "initial service success"), None)
    return [e for e in events if started is not None and e.process == started]


def scenario_present_life(machine, release):
    e2e.section("scenario: the whole life with the device connected before "
                "the installation, the installed program alone")
    c = machine.checks
    prefix = machine.prefix
    place_virtual_device(prefix)
    machine.service.plug("present")
    log_start = os.path.getsize(prefix.log)
    try:
        if not c.check("msiexec /i exit code 0",
                       machine.msiexec("/i", release) == 0):
            machine.show_msi_log(release, "/i")
            return
        machine.check_service_runs_installed_program()
        print(f"no arrival is sent; waiting {ARRIVAL_SETTLE_S} s (the device "
              "present at start settles first) and for the upgrade")
        done = e2e.wait_for(lambda: "runServcie success" in
                            [e.text for e in shipped_trail(prefix, log_start)],
                            ARRIVAL_SETTLE_S + 120, 1)
        trail = shipped_trail(prefix, log_start)
        e2e.section("event trail of the installed program (from Wine's trace)")
        for event in trail:
            print(f"  {event}")
        e2e.section("checks")
        c.check("the installed program ended its run", done)
        texts = [e.text for e in trail]
        c.check("\"device found at start\" right after the start",
                texts[:2] == ["initial service success",
                              "device found at start"], f"got {texts[:2]}")
        check_upgrade_trail(c, trail, release, e2e.PRESENT_PATH)
        check_device_upgraded(c, prefix, release)
        c.check("image deleted by the service",
                not os.path.exists(prefix.drivers(release.image_name)))
        machine.check_record("written by the installed program",
                             upgraded_record(release, e2e.PRESENT_PATH))
        c.check("the installed program's process ended",
                e2e.wait_for(lambda: not machine.program_processes(), 30))
        c.check("its registration gone",
                machine.service.service_state() is None)
        if not c.check("msiexec /x after the service removed itself: exit "
                       "code 0", machine.msiexec("/x", release) == 0):
            machine.show_msi_log(release, "/x")
        machine.check_nothing_left(release)
    finally:
        machine.service.plug("absent")
        remove_virtual_device(prefix)


def check_upgrade_trail(c, trail, release, device_path=None):
    device_path = device_path or e2e.DEVICE_PATH
    texts = [e.text for e in trail]
    arrival = next((i for i, e in enumerate(trail)
                    if e.strings[:1] == ["ZR700 Arrival"]), None)
    c.check("arrival event with the device path",
            arrival is not None and trail[arrival].strings ==
            ["ZR700 Arrival", device_path])
    summary = (trail[arrival + 1].strings
               if arrival is not None and arrival + 1 < len(trail) else None)
    expected = ["update file : ", release.image_name, "bForce : ", "0",
                "bUpdate : ", "1", "version : ", release.version]
    c.check("settings summary from the package's settings",
            summary == expected, f"got {summary}")
    c.check("\"send updatefile to device success\", then \"uninstallService "
            "start\"",
            "send updatefile to device success" in texts and
            texts[texts.index("send updatefile to device success") + 1:][:1]
            == ["uninstallService start"], f"got {texts}")
    errors = [str(e) for e in trail if e.type_name == "error"]
    c.check("no error event", not errors, "; ".join(errors))


WAITING = {"state": "waiting"}


def upgraded_record(release, device_path):
    """The record after one successful try, as `reg query` shows it."""
    return {"state": "upgraded", "result": "0x0", "attempts": "0x1",
            "device": device_path, "updatefile": release.image_name,
            "version": release.version, "image": release.sha256}


def check_device_upgraded(c, prefix, release):
    verdict = {}
    try:
        with open(prefix.system32("virtual_device_verdict.txt")) as f:
            for line in f:
                key, _, value = line.strip().partition("=")
                verdict[key] = value
    except OSError:
        pass
    c.check("device: the package's image received whole, MD5 verified, "
            "update started",
            verdict.get("image_received") == "1" and
            verdict.get("bytes_received") == str(IMAGE_SIZE) and
            verdict.get("md5_computed") == release.md5 and
            verdict.get("md5_verified") == "1" and
            verdict.get("update_started") == "1", f"verdict {verdict}")


def scenario_repair(machine, release):
    e2e.section("scenario: a repair with other flags keeps the installed ones")
    c = machine.checks
    if not c.check("msiexec /i exit code 0",
                   machine.msiexec("/i", release, "BUPDATE=1") == 0):
        machine.show_msi_log(release, "/i")
        return
    machine.check_installed(release, bforce=0, bupdate=1)
    if not c.check("repair exit code 0",
                   machine.msiexec("/i", release, "REINSTALL=ALL",
                                   "REINSTALLMODE=vomus", "BFORCE=1",
                                   "BUPDATE=0") == 0):
        machine.show_msi_log(release, "/i")
    machine.check_installed(release, bforce=0, bupdate=1)
    if not c.check("msiexec /x exit code 0",
                   machine.msiexec("/x", release) == 0):
        machine.show_msi_log(release, "/x")
    machine.check_nothing_left(release)


def scenario_upgrade(machine, older, newer):
    e2e.section("scenario: the newer release's package over the older one")
    c = machine.checks
    if not c.check("msiexec /i older exit code 0",
                   machine.msiexec("/i", older) == 0):
        machine.show_msi_log(older, "/i")
        return
    machine.check_service_runs_installed_program()
    check_repair_keeps_record(machine, older)
    first_processes = set(machine.program_processes())
    if not c.check("msiexec /i newer exit code 0",
                   machine.msiexec("/i", newer) == 0):
        machine.show_msi_log(newer, "/i")
    machine.check_record("of the newer release, afresh", WAITING)
    check_install_role(machine, [[("information", INSTALLED)]])
    machine.check_installed(newer, bforce=newer.force, bupdate=newer.update)
    c.check(f"the older image {older.image_name} removed",
            not os.path.exists(machine.prefix.drivers(older.image_name)))
    c.check("the older release no longer registered with Windows Installer",
            not machine.product_registered(older))
    machine.check_service_runs_installed_program()
    c.check("the service runs in a new process",
            not set(machine.program_processes()) & first_processes)
    if not c.check("msiexec /x newer exit code 0",
                   machine.msiexec("/x", newer) == 0):
        machine.show_msi_log(newer, "/x")
    machine.check_nothing_left(older, newer)


def check_repair_keeps_record(machine, release):
    """A record the service wrote (here by hand, as it would) survives a
    repair of the package."""
    written = {"state": "failed", "result": "0x1", "attempts": "0x2"}
    # The repair writes the settings again, as it would any registry value
    # of the package: the record is not one.
    machine.prefix.wine("reg", "add", SETTINGS_KEY, "/v", "version", "/t",
                        "REG_SZ", "/d", "edited", "/f")
    for name, (kind, data) in (("state", ("REG_SZ", "failed")),
                               ("result", ("REG_DWORD", "1")),
                               ("attempts", ("REG_DWORD", "2")),
                               ("time", ("REG_SZ", "2026-12-09T10:00:00Z"))):
        machine.prefix.wine("reg", "add", RECORD_KEY, "/v", name, "/t", kind,
                            "/d", data, "/f")
    # Wine's msiexec /fa does nothing (docs/deploying.md): the repair as
    # properties.
    if not machine.checks.check(
            "repair (REINSTALL=ALL REINSTALLMODE=vomus) exit code 0",
            machine.msiexec("/i", release, "REINSTALL=ALL",
                            "REINSTALLMODE=vomus") == 0):
        machine.show_msi_log(release, "/i")
    settings = machine.settings() or {}
    machine.checks.check("the repair wrote the settings again",
                         settings.get("version") == ("REG_SZ",
                                                     release.version),
                         f"got {settings.get('version')}")
    machine.check_record("after the repair, as it was", written)


def scenario_refusals(machine, release, unregistered, never_running):
    e2e.section("scenario: installations that must fail and leave nothing")
    cases = [
        # (what, package, properties, exit codes, failed action, install
        # roles that ran)
        ("BFORCE=2", release, ["BFORCE=2"], (1603,), "LaunchConditions", []),
        ("a program that registers no service", unregistered, [],
         FAILED_ACTION, "CheckServiceRegistered", []),
        ("a service that does not start", never_running, [], FAILED_ACTION,
         "StartServices", [[("information", INSTALLED)]]),
    ]
    c = machine.checks
    for what, package, properties, codes, action, roles in cases:
        code = machine.msiexec("/i", package, *properties)
        failed = machine.failed_action(package, "/i")
        expected = " or ".join(str(code) for code in codes)
        if not c.check(f"{what}: msiexec fails with {expected} at {action}",
                       code in codes and failed == action,
                       f"code {code}, failed action {failed}"):
            machine.show_msi_log(package, "/i")
        if roles:
            check_install_role(machine, roles)
        machine.check_nothing_left(package)


def stand_in_programs(work, bin_dir, test_bin_dir, stand_in):
    """The real library beside a stand-in for the service program."""
    folder = os.path.join(work, os.path.splitext(stand_in)[0])
    os.makedirs(folder, exist_ok=True)
    shutil.copy(os.path.join(test_bin_dir, stand_in),
                os.path.join(folder, PROGRAM))
    shutil.copy(os.path.join(bin_dir, LIBRARY), os.path.join(folder, LIBRARY))
    return folder


def main():
    global e2e
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True,
                        help="the build's bin folder: the shipped programs")
    parser.add_argument("--test-bin", required=True,
                        help="the build's test-bin folder: the test programs, "
                        "the stand-ins and the virtual device")
    parser.add_argument("--e2e", required=True,
                        help="folder of the end-to-end driver service_e2e.py")
    parser.add_argument("--work", required=True,
                        help="folder of the run's packages and prefix")
    options = parser.parse_args()
    sys.path.insert(0, os.path.abspath(options.e2e))
    import service_e2e  # noqa: E402
    e2e = service_e2e

    bin_dir = os.path.abspath(options.bin)
    test_bin_dir = os.path.abspath(options.test_bin)
    needed = [os.path.join(bin_dir, name)
              for name in (PROGRAM, LIBRARY, "upgrade_runner.exe")]
    needed += [os.path.join(test_bin_dir, name)
               for name in ("AdbWinApi.dll", "service_test_host.exe",
                            "device_plug.exe", "service_repoint.exe",
                            "program_registering_nothing.exe",
                            "program_never_running.exe")]
    for path in needed:
        if not os.path.exists(path):
            print(f"missing {path}: build it first")
            return 2
    work = os.path.abspath(options.work)
    shutil.rmtree(os.path.join(work, "packages"), ignore_errors=True)
    packages = os.path.join(work, "packages")
    os.makedirs(packages)
    prefix = e2e.Prefix(os.path.join(work, "prefix"))
    checks = e2e.Checks()
    started = time.monotonic()
    try:
        e2e.section("packages")
        v1 = Release(packages, "v1", "V1.0.7")
        v2 = Release(packages, "v2", "V1.0.8", force=1)
        unregistered = Release(packages, "unregistered", "V1.0.9",
                               programs=stand_in_programs(
                                   packages, bin_dir, test_bin_dir,
                                   "program_registering_nothing.exe"))
        never_running = Release(packages, "never_running", "V1.0.9",
                                programs=stand_in_programs(
                                    packages, bin_dir, test_bin_dir,
                                    "program_never_running.exe"))
        for release in (v1, v2, unregistered, never_running):
            release.build(bin_dir)
        e2e.section(f"fresh Wine prefix {prefix.path} (log: {prefix.log})")
        prefix.boot(test_bin_dir)
        shutil.copy(os.path.join(test_bin_dir, "service_repoint.exe"),
                    prefix.programs("service_repoint.exe"))
        shutil.copy(os.path.join(bin_dir, "upgrade_runner.exe"),
                    prefix.programs("upgrade_runner.exe"))
        with open(prefix.programs("msiexec_code.cmd"), "w",
                  newline="\r\n") as f:
            f.write("@msiexec %*\n@echo msiexec exit code %errorlevel%\n")
        machine = Machine(prefix, bin_dir, checks)
        scenario_install(machine, v1)
        scenario_life(machine, v1)
        scenario_present_life(machine, v1)
        scenario_repair(machine, v1)
        scenario_upgrade(machine, v1, v2)
        scenario_refusals(machine, v1, unregistered, never_running)
    except (e2e.Failed, subprocess.TimeoutExpired) as error:
        checks.check("the run went through", False, str(error))
    finally:
        prefix.stop()
    print(f"\nrelease package under msiexec: {checks.passed} passed, "
          f"{checks.failed} failed ({time.monotonic() - started:.0f} s)")
    return 0 if checks.failed == 0 and checks.passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
