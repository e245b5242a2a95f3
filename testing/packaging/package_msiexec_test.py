#!/usr/bin/env python3
"""The release package under Wine's own msiexec.

Builds packages of two ZR700 releases with scripts/package.sh from the
build's programs, and, in a fresh Wine prefix of its own (booted and kept as
the end-to-end run does), installs and removes them with `msiexec /qn` as the
deployment tools of a fleet do:

  install    over a service registered by hand, with BUPDATE=0 on the
             command line: the files, the settings (bUpdate reads 0), the
             program's own "install" role run once and succeeding, the
             registration's preshutdown timeout and recovery actions, the
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
  sources    both event sources registered by the installation, with the
             installed program as their message file; removed with the
             package
  repair     a repair (msiexec /i REINSTALL=ALL REINSTALLMODE=vomus) with
             BFORCE=1 BUPDATE=0 on its command line, as a user without
             administrator rights may start it: the settings stay as the
             installation wrote them
  upgrade    the newer release's package installs over the older one: one
             release installed, its image and settings, the service
             registered anew; a repair before keeps the outcome record, the
             next release starts it afresh
  restart    after the upgrade of a connected device, the service
             registered again by the installed program and started, as a
             restart of the PC would start it: the device is passed over
  reinstall  uninstall then install: the device is upgraded again
  two devices  two devices of one family connected at the installation:
             each receives one start request, the service removes itself
  two families  a ZR700 and an RK7x10 device connected, both families'
             packages installed one after the other at once: each device
             receives one start request, the service removes itself
  one removed  both packages installed, the ZR700 one removed: the service
             keeps running the installed program, and an RK7x10 device that
             arrives afterwards is upgraded
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
service and device helpers this test uses through package_prefix.py (the
machine, the releases and the run). Exit status 0 only when every check
passed. The prefix's server is ended on every path out of this program.
"""

import os
import re
import shutil
import sys
import threading
import time

import package_prefix
from package_prefix import (CHECK, EVENT_LOG_KEY, EVENT_SOURCES, IMAGE_SIZE,
                            LIBRARY, PROGRAM, RECORD_KEY, SETTINGS_KEY,
                            Release)

SERVICE = "VelunorUpdateService"
SERVICE_KEY = "HKLM\\System\\CurrentControlSet\\Services\\" + SERVICE
# What the install role asks Windows to wait at shutdown: 150 s.
PRESHUTDOWN_TIMEOUT_MS = 150000
INSTALLED = "install [VelunorUpdateService] success"
ARRIVAL_SETTLE_S = 15
# A failed custom action (the registration check, the service's start):
# Windows Installer's msiexec ends with 1603, Wine's with 1627.
FAILED_ACTION = (1603, 1627)

e2e = None  # service_e2e, as package_prefix imported it


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
    machine.check_msiexec("msiexec /i exit code 0", "/i", release, "BUPDATE=0")
    check_install_role(machine, [[("information", INSTALLED)]])
    check_shutdown_and_recovery(machine)
    machine.check_installed(release, bforce=0, bupdate=0)
    machine.check_service_runs_installed_program()
    machine.check_msiexec("msiexec /x exit code 0", "/x", release)
    machine.check_nothing_left(release)


def scenario_event_sources(machine, release):
    e2e.section("scenario: the package registers both event sources, its "
                "removal removes them")
    c = machine.checks
    message_file = ("REG_EXPAND_SZ", machine.windows_program_path())
    if not machine.check_msiexec("msiexec /i exit code 0", "/i", release):
        return
    for source in EVENT_SOURCES:
        values = machine.settings(EVENT_LOG_KEY + source) or {}
        print(f"  reg query {EVENT_LOG_KEY + source}: {values}")
        c.check(f"event source {source}: the installed program as its "
                "message file, error, warning and information types",
                values.get("EventMessageFile") == message_file and
                values.get("TypesSupported") == ("REG_DWORD", "0x7"),
                f"got {values}")
    machine.check_msiexec("msiexec /x exit code 0", "/x", release)
    machine.check_nothing_left(release)  # the event sources among the rest


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


def check_shutdown_and_recovery(machine):
    """The registration the package's install role made, as the service
    manager keeps it: the preshutdown timeout read back. Wine accepts the
    recovery actions and keeps none (there is no FailureActions value to
    read): the install role's trail, with no "set service recovery actions
    fail", says Windows took them."""
    c = machine.checks
    values = machine.settings(SERVICE_KEY) or {}
    print(f"  reg query {SERVICE_KEY}: {values}")
    c.check(f"preshutdown timeout {PRESHUTDOWN_TIMEOUT_MS} ms",
            values.get("PreshutdownTimeout")
            == ("REG_DWORD", f"0x{PRESHUTDOWN_TIMEOUT_MS:x}"),
            f"got {values.get('PreshutdownTimeout')}")
    refused = [text for trail in machine.install_roles()
               for _, text in trail if text.startswith("set service ")]
    c.check("recovery actions and preshutdown timeout accepted", not refused,
            f"got {refused}")
    if "FailureActions" in values:
        print(f"  FailureActions kept: {values['FailureActions']}")


def place_virtual_device(prefix):
    remove_virtual_device(prefix)  # with the record and verdict of a run
    shutil.copy(os.path.join(prefix.test_bin, "AdbWinApi.dll"),
                prefix.system32("AdbWinApi.dll"))
    with open(prefix.system32("virtual_device_script.txt"), "w") as f:
        f.write(f"interface {e2e.INTERFACE_NAME}\nserial VLNR-SN-000123\n")


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
        if not machine.check_msiexec("msiexec /i exit code 0", "/i", release):
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
        machine.check_msiexec("msiexec /x after the service removed itself: "
                              "exit code 0", "/x", release)
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
        if not machine.check_msiexec("msiexec /i exit code 0", "/i", release):
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
        machine.check_msiexec("msiexec /x after the service removed itself: "
                              "exit code 0", "/x", release)
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
    success = next((i for i, e in enumerate(trail)
                    if e.text == "send updatefile to device success"), None)
    worker = e2e.thread_texts_after(trail, success) \
        if success is not None else []
    c.check("\"send updatefile to device success\", the device told to start "
            "waited for and back, then \"uninstallService start\"",
            worker[:3] == [e2e.TOLD_TO_START, e2e.DEVICE_BACK,
                           "uninstallService start"], f"got {texts}")
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


def scenario_present_repairs(machine, release):
    e2e.section("scenario: repairs and an installation over itself after the "
                "upgrade of a connected device send it nothing")
    c = machine.checks
    prefix = machine.prefix
    place_virtual_device(prefix)
    machine.service.plug("present")
    verdict = prefix.system32("virtual_device_verdict.txt")
    try:
        log_start = os.path.getsize(prefix.log)
        if not machine.check_msiexec("msiexec /i exit code 0", "/i", release):
            return
        upgraded = e2e.wait_for(
            lambda: "runServcie success" in
            [e.text for e in shipped_trail(prefix, log_start)],
            ARRIVAL_SETTLE_S + 120, 1)
        c.check("the first run upgraded the device and ended", upgraded)
        check_device_upgraded(c, prefix, release)
        with open(verdict) as f:
            after_upgrade = f.read()
        record = upgraded_record(release, e2e.PRESENT_PATH)
        for what, properties in (
                ("repair REINSTALLMODE=omus", ("REINSTALL=ALL",
                                               "REINSTALLMODE=omus")),
                ("repair REINSTALLMODE=vomus", ("REINSTALL=ALL",
                                                "REINSTALLMODE=vomus")),
                ("installation over itself", ())):
            log_start = os.path.getsize(prefix.log)
            if not machine.check_msiexec(f"{what}: exit code 0", "/i",
                                         release, *properties):
                return
            ended = e2e.wait_for(
                lambda: "runServcie success" in
                [e.text for e in shipped_trail(prefix, log_start)],
                ARRIVAL_SETTLE_S + 120, 1)
            texts = [e.text for e in shipped_trail(prefix, log_start)]
            c.check(f"{what}: the service ran and ended", ended,
                    f"got {texts}")
            c.check(f"{what}: the device is passed over, nothing sent",
                    any(t.startswith("device already took this update image")
                        for t in texts) and
                    "send updatefile to device success" not in texts,
                    f"got {texts}")
            with open(verdict) as f:
                c.check(f"{what}: the device heard nothing more",
                        f.read() == after_upgrade)
            machine.check_record(f"{what}: as the upgrade left it", record)
            c.check(f"{what}: the service removed itself",
                    e2e.wait_for(lambda: machine.service.service_state()
                                 is None, 30))
        machine.check_msiexec("msiexec /x exit code 0", "/x", release)
        machine.check_nothing_left(release)
    finally:
        machine.service.plug("absent")
        remove_virtual_device(prefix)


# A device of the other family, beside the ZR700 device.
RK7X10_PATH = ("\\\\?\\USB#VID_2207&PID_9101#VLNR-RK-000789#"
               "{6B11E5BB-F5CA-4902-9615-773B3D2F2FEC}")
# The start request's setup record, as the device's record shows it.
START_REQUEST_SETUP = "0001090000001400"
# Long enough for the settle wait and one upgrade per device, one after the
# other, with both cores busy.
UPGRADE_S = ARRIVAL_SETTLE_S + 120


def place_devices(prefix, *paths):
    """The virtual device playing several devices, each with its own
    interface and serial number. Its record keeps the calls of every
    service process: an installation stops the service that another one
    started, and a reinstallation starts a new one."""
    remove_virtual_device(prefix)
    shutil.copy(os.path.join(prefix.test_bin, "AdbWinApi.dll"),
                prefix.system32("AdbWinApi.dll"))
    with open(prefix.system32("virtual_device_script.txt"), "w") as f:
        f.write("append_record 1\n")
        for path in paths:
            f.write(f"interface {path.lower()}\nserial "
                    f"{path.split('#')[2]}\n")


def connect_devices(machine, *paths):
    """Several devices connected, without any broadcast."""
    place_devices(machine.prefix, *paths)
    for path in paths:
        machine.service.plug("present", path)


def disconnect_devices(machine, *paths):
    for path in paths:
        machine.service.plug("absent", path)
    remove_virtual_device(machine.prefix)


def start_requests(prefix):
    """{device path in small letters: start requests it received}, from the
    device's record: a request goes to the interface the library opened
    last, as one upgrade runs at a time."""
    try:
        with open(prefix.system32("virtual_device_record.txt"),
                  encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
    except OSError:
        return {}
    counts = {}
    opened = None
    for line in lines:
        match = re.search(r" AdbCreateInterfaceByName .*payload=([0-9a-f]+)",
                          line)
        if match:
            opened = bytes.fromhex(match.group(1)).decode(
                "utf-16-le").rstrip("\0")
        elif f"setup={START_REQUEST_SETUP}" in line:
            counts[opened] = counts.get(opened, 0) + 1
    return counts


def device_entry(machine, release, path):
    """The state and image of the device's entry in the family's record."""
    identity = path.split("#")[1] + "#" + path.split("#")[2]
    values = machine.settings(release.record_key + "\\Devices\\" +
                              identity.lower()) or {}
    return {name: values.get(name, (None, None))[1]
            for name in ("state", "image")}


class DeviceRestarts:
    """While it lasts, each device that receives a start request leaves the
    listing at once and is listed again a few seconds later, as a device
    that restarts into its new firmware: the service waits for that before
    it goes on. Wine drops the broadcasts to the installed program, so the
    listing alone tells it."""

    DOWN_S = 3
    OUTPUT = "device_restarts.txt"  # beside the main thread's programs' own

    def __init__(self, prefix):
        self.prefix = prefix
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.watch, daemon=True)
        self.known = {path.lower(): path for path in (
            e2e.DEVICE_PATH, e2e.SECOND_DEVICE_PATH, RK7X10_PATH)}

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *_):
        self.stop.set()
        self.thread.join()

    def watch(self):
        # A scenario's new record starts its counts anew: the record is
        # gone from the scenario's start to the library's first call.
        seen = {}
        while not self.stop.wait(0.3):
            received = start_requests(self.prefix)
            for name, count in received.items():
                if count > seen.get(name, 0):
                    self.restart(self.known.get(name, name))
            seen = received

    def restart(self, path):
        plug = self.prefix.windows_program("device_plug.exe")
        self.prefix.wine(plug, "absent", path, output_name=self.OUTPUT)
        time.sleep(self.DOWN_S)
        self.prefix.wine(plug, "present", path, output_name=self.OUTPUT)
        print(f"device restarted after its start request: {path}")


def wait_service_gone(machine, timeout):
    """Whether the service removed itself and its process ended."""
    return e2e.wait_for(lambda: machine.service.service_state() is None and
                        not machine.program_processes(), timeout, 1)


def check_each_upgraded_once(machine, devices, what):
    """devices: (release, path) pairs. Each device received one start
    request, and its family's record remembers it with its image."""
    c = machine.checks
    received = start_requests(machine.prefix)
    print(f"  start requests per device: {received}")
    for release, path in devices:
        name = path.split("#")[2]
        c.check(f"{what}: {name} received one start request",
                received.get(path.lower()) == 1, f"got {received}")
        entry = device_entry(machine, release, path)
        c.check(f"{what}: {release.family}'s record remembers {name} "
                "upgraded with its image",
                entry == {"state": "upgraded", "image": release.sha256},
                f"got {entry}")
    c.check(f"{what}: no start request to any other interface",
            set(received) <= {path.lower() for _, path in devices},
            f"got {received}")


def install_and_wait(machine, devices, releases, what):
    """Connects the devices, installs the releases one after the other at
    once, and waits for the service to remove itself."""
    connect_devices(machine, *(path for _, path in devices))
    for release in releases:
        if not machine.check_msiexec(f"{what}: msiexec /i {release.family} "
                                     f"{release.name} exit code 0", "/i",
                                     release):
            return False
    gone = wait_service_gone(machine, UPGRADE_S * len(devices))
    machine.checks.check(f"{what}: the service removed itself", gone,
                         f"state {machine.service.service_state()}")
    return gone


def upgrade_one_device(machine, release, what):
    """The ZR700 device connected, the release installed, the device
    upgraded once and the service gone."""
    devices = [(release, e2e.DEVICE_PATH)]
    if not install_and_wait(machine, devices, (release,), what):
        return False
    check_each_upgraded_once(machine, devices, what)
    return True


def scenario_two_families(machine, zr700, rk7x10):
    e2e.section("scenario: two families' packages installed at once, a "
                "device of each connected")
    devices = [(zr700, e2e.DEVICE_PATH), (rk7x10, RK7X10_PATH)]
    try:
        if install_and_wait(machine, devices, (zr700, rk7x10),
                            "two families"):
            check_each_upgraded_once(machine, devices, "two families")
            for release in (zr700, rk7x10):
                record = machine.record(release.record_key) or {}
                machine.checks.check(
                    f"{release.family}'s record upgraded",
                    record.get("state") == "upgraded", f"got {record}")
        for release in (zr700, rk7x10):
            machine.check_msiexec(f"msiexec /x {release.family} exit code 0",
                                  "/x", release)
        machine.check_nothing_left(zr700, rk7x10)
    finally:
        disconnect_devices(machine, *(path for _, path in devices))


def scenario_two_devices(machine, release):
    e2e.section("scenario: two devices of one family connected at the "
                "installation")
    devices = [(release, e2e.DEVICE_PATH), (release, e2e.SECOND_DEVICE_PATH)]
    try:
        if install_and_wait(machine, devices, (release,), "two devices"):
            check_each_upgraded_once(machine, devices, "two devices")
        machine.check_msiexec("msiexec /x exit code 0", "/x", release)
        machine.check_nothing_left(release)
    finally:
        disconnect_devices(machine, *(path for _, path in devices))


def scenario_restart_after_upgrade(machine, release):
    """A boot starts the service from its registration. The service removed
    its registration after the upgrade, so it is made again as the package
    makes it (the installed program's install role) and started as a boot
    starts it."""
    e2e.section("scenario: the service started again after the upgrade, as "
                "at a restart of the PC, sends nothing")
    c = machine.checks
    prefix = machine.prefix
    try:
        if not upgrade_one_device(machine, release, "before the restart"):
            return
        with open(prefix.system32("virtual_device_verdict.txt")) as f:
            after_upgrade = f.read()
        record = machine.record(release.record_key)
        log_start = os.path.getsize(prefix.log)
        code, _ = prefix.wine(machine.windows_program_path(), "install")
        c.check("the installed program registers the service again",
                code == 0 and machine.service.service_state() == "STOPPED",
                f"exit code {code}, state {machine.service.service_state()}")
        code, _ = prefix.wine("sc", "start", SERVICE)
        print(f"sc start {SERVICE}: exit code {code}")
        ended = wait_service_gone(machine, UPGRADE_S)
        texts = [e.text for e in shipped_trail(prefix, log_start)]
        c.check("restart: the service passed the device over and removed "
                "itself", ended and any(
                    t.startswith("device already took this update image")
                    for t in texts) and
                "send updatefile to device success" not in texts,
                f"got {texts}")
        with open(prefix.system32("virtual_device_verdict.txt")) as f:
            c.check("restart: the device heard nothing more",
                    f.read() == after_upgrade and
                    start_requests(prefix) == {e2e.DEVICE_PATH.lower(): 1},
                    f"start requests {start_requests(prefix)}")
        machine.check_record("restart: as the upgrade left it", record,
                             release.record_key)
        machine.check_msiexec("msiexec /x exit code 0", "/x", release)
        machine.check_nothing_left(release)
    finally:
        disconnect_devices(machine, e2e.DEVICE_PATH)


def scenario_reinstall_upgrades_again(machine, release):
    e2e.section("scenario: uninstall then install upgrades the device again")
    c = machine.checks
    try:
        if not upgrade_one_device(machine, release, "first installation"):
            return
        machine.check_msiexec("msiexec /x exit code 0", "/x", release)
        c.check("the removal took the device's entry along",
                device_entry(machine, release, e2e.DEVICE_PATH) ==
                {"state": None, "image": None})
        if not machine.check_msiexec("installed again: msiexec /i exit code "
                                     "0", "/i", release):
            return
        c.check("installed again: the service removed itself",
                wait_service_gone(machine, UPGRADE_S))
        received = start_requests(machine.prefix)
        c.check("installed again: the device received its second start "
                "request", received == {e2e.DEVICE_PATH.lower(): 2},
                f"got {received}")
        c.check("installed again: the record remembers it again",
                device_entry(machine, release, e2e.DEVICE_PATH) ==
                {"state": "upgraded", "image": release.sha256})
        machine.check_msiexec("msiexec /x exit code 0", "/x", release)
        machine.check_nothing_left(release)
    finally:
        disconnect_devices(machine, e2e.DEVICE_PATH)


def scenario_one_family_removed(machine, zr700, rk7x10):
    """Both packages hold the program's component, with one GUID in every
    family's package: Windows Installer keeps it, and its service, while a
    package that holds it is installed."""
    e2e.section("scenario: one family's package removed, the other family's "
                "device connected afterwards is upgraded")
    c = machine.checks
    prefix = machine.prefix
    for release in (zr700, rk7x10):
        if not machine.check_msiexec(f"msiexec /i {release.family} exit code "
                                     "0", "/i", release):
            return
    try:
        if not machine.check_service_runs_installed_program():
            return
        running = set(machine.program_processes())
        machine.check_msiexec("msiexec /x ZR700 exit code 0", "/x", zr700)
        c.check("ZR700's settings and image removed",
                machine.settings(zr700.settings_key) is None and
                not os.path.exists(prefix.drivers(zr700.image_name)))
        c.check("RK7x10's settings, image, program and library stay",
                machine.settings(rk7x10.settings_key) is not None and
                os.path.exists(prefix.drivers(rk7x10.image_name)) and
                os.path.exists(machine.program_path()) and
                os.path.exists(prefix.drivers(LIBRARY)))
        machine.check_record("RK7x10's, untouched", WAITING,
                             rk7x10.record_key)
        c.check("the service kept running in its process",
                machine.service.service_state() == "RUNNING" and
                running & set(machine.program_processes()),
                f"state {machine.service.service_state()}, processes "
                f"{machine.program_processes()}, before {running}")
        put_test_host_behind_service(machine)
        place_devices(prefix, RK7X10_PATH)
        run = machine.service
        run.plug("arrive", RK7X10_PATH)
        done = run.wait_for_event("runServcie success", UPGRADE_S)
        run.show()
        c.check("the RK7x10 device's arrival upgraded it", done and
                ["RK7x10 Arrival", RK7X10_PATH] in
                [e.strings[:2] for e in run.trail()])
        check_each_upgraded_once(machine, [(rk7x10, RK7X10_PATH)],
                                 "after ZR700's removal")
        run.check_service_gone()
        machine.check_msiexec("msiexec /x RK7x10 exit code 0", "/x", rk7x10)
        machine.check_nothing_left(zr700, rk7x10)
    finally:
        disconnect_devices(machine, RK7X10_PATH)


def scenario_repair(machine, release):
    e2e.section("scenario: a repair with other flags keeps the installed ones")
    if not machine.check_msiexec("msiexec /i exit code 0", "/i", release,
                                 "BUPDATE=1"):
        return
    machine.check_installed(release, bforce=0, bupdate=1)
    machine.check_msiexec("repair exit code 0", "/i", release, "REINSTALL=ALL",
                          "REINSTALLMODE=vomus", "BFORCE=1", "BUPDATE=0")
    machine.check_installed(release, bforce=0, bupdate=1)
    machine.check_msiexec("msiexec /x exit code 0", "/x", release)
    machine.check_nothing_left(release)


def scenario_upgrade(machine, older, newer):
    e2e.section("scenario: the newer release's package over the older one")
    c = machine.checks
    if not machine.check_msiexec("msiexec /i older exit code 0", "/i", older):
        return
    machine.check_service_runs_installed_program()
    check_repair_keeps_record(machine, older)
    first_processes = set(machine.program_processes())
    machine.check_msiexec("msiexec /i newer exit code 0", "/i", newer)
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
    machine.check_msiexec("msiexec /x newer exit code 0", "/x", newer)
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
    machine.check_msiexec(
        "repair (REINSTALL=ALL REINSTALLMODE=vomus) exit code 0", "/i",
        release, "REINSTALL=ALL", "REINSTALLMODE=vomus")
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
    for name in (LIBRARY, CHECK):
        shutil.copy(os.path.join(bin_dir, name), os.path.join(folder, name))
    return folder


def releases(packages, bin_dir, test_bin_dir):
    """Two releases of the family, one of RK7x10, and two whose service
    program is a stand-in that must fail."""
    return (Release(packages, "v1", "V1.0.7"),
            Release(packages, "v2", "V1.0.8", force=1),
            Release(packages, "rk", "V2.1.0", family="RK7x10"),
            Release(packages, "unregistered", "V1.0.9",
                    programs=stand_in_programs(
                        packages, bin_dir, test_bin_dir,
                        "program_registering_nothing.exe")),
            Release(packages, "never_running", "V1.0.9",
                    programs=stand_in_programs(
                        packages, bin_dir, test_bin_dir,
                        "program_never_running.exe")))


def scenario_foreign_install_folder(machine, release):
    """An INSTALLDIR that a user made before the installation: he would stay
    its owner, who may rewrite its permissions, and replace the program the
    service runs as LocalSystem. Wine gives every file its user as owner, as
    Windows gives a folder to the user who made it; the package's check
    refuses it before anything is installed, and its message says why."""
    e2e.section("scenario: an INSTALLDIR that a user made")
    c = machine.checks
    folder = os.path.join(machine.prefix.path, "drive_c", "vlnr-user-folder")
    os.makedirs(folder, exist_ok=True)
    code = machine.msiexec("/i", release, "INSTALLDIR=C:\\vlnr-user-folder\\")
    failed = machine.failed_action(release, "/i")
    if not c.check("msiexec fails at CheckInstallFolder",
                   code in FAILED_ACTION and failed == "CheckInstallFolder",
                   f"code {code}, failed action {failed}"):
        machine.show_msi_log(release, "/i")
    log = "\n".join(machine.msi_log(release, "/i"))
    c.check("the log says which folder and why",
            "INSTALLDIR C:\\vlnr-user-folder refused: C:\\vlnr-user-folder "
            "is owned by " in log and
            "not by SYSTEM, Administrators or TrustedInstaller" in log)
    c.check("nothing in the folder", os.listdir(folder) == [])
    os.rmdir(folder)
    machine.check_nothing_left(release)


def scenarios(machine, v1, v2, rk7x10, unregistered, never_running):
    shutil.copy(os.path.join(machine.prefix.test_bin, "service_repoint.exe"),
                machine.prefix.programs("service_repoint.exe"))
    shutil.copy(os.path.join(machine.bin_dir, "upgrade_runner.exe"),
                machine.prefix.programs("upgrade_runner.exe"))
    scenario_install(machine, v1)
    scenario_foreign_install_folder(machine, v1)
    scenario_event_sources(machine, v1)
    with DeviceRestarts(machine.prefix):
        upgrading_scenarios(machine, v1, v2, rk7x10)
    scenario_refusals(machine, v1, unregistered, never_running)


def upgrading_scenarios(machine, v1, v2, rk7x10):
    scenario_life(machine, v1)
    scenario_present_life(machine, v1)
    scenario_present_repairs(machine, v1)
    scenario_restart_after_upgrade(machine, v1)
    scenario_reinstall_upgrades_again(machine, v1)
    scenario_two_devices(machine, v1)
    scenario_two_families(machine, v1, rk7x10)
    scenario_one_family_removed(machine, v1, rk7x10)
    scenario_repair(machine, v1)
    scenario_upgrade(machine, v1, v2)


def main():
    global e2e
    options = package_prefix.arguments(__doc__)
    e2e = package_prefix.e2e
    return package_prefix.run(
        options, ("AdbWinApi.dll", "device_plug.exe", "service_repoint.exe", "program_registering_nothing.exe",
                  "program_never_running.exe"),
        "release package under msiexec", releases, scenarios)


if __name__ == "__main__":
    sys.exit(main())
