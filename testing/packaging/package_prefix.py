"""Release packages under Wine's own msiexec: a fresh Wine prefix of a run's
own (booted and kept as the end-to-end run does) seen as an administrator
sees a PC, the packages built for it, and the run of scenarios in it.

The end-to-end driver (service_e2e.py) lends its prefix, service and device
helpers; its folder is given with --e2e.
"""

import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import time

from package_arguments_test import CHECK, LIBRARY, PACKAGE_SH, PROGRAM

INSTALL_FOLDER = "Velunor Update"
FAMILY = "ZR700"
SETTINGS_KEY = "HKLM\\Software\\VelunorUpdate\\" + FAMILY
RECORD_KEY = SETTINGS_KEY + "\\Outcome"
EVENT_SOURCES = ("VelunorUpdateService", "velunorUpdateExport")
EVENT_LOG_KEY = ("HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\"
                 "Application\\")
UNINSTALL_KEY = ("HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\"
                 "Uninstall\\")
# One count confirmation after 4 MiB, then the rest of the image.
IMAGE_SIZE = 6 * 1024 * 1024 + 4321

e2e = None  # service_e2e, imported from --e2e


class Release:
    """One package of a family (ZR700 unless given): its image, its version
    and where it lies; `options` are further options of package.sh."""

    def __init__(self, work, name, version, force=0, update=1,
                 programs=None, options=(), family=FAMILY):
        self.name = name
        self.version = version
        self.force = force
        self.update = update
        self.family = family
        self.settings_key = "HKLM\\Software\\VelunorUpdate\\" + family
        self.record_key = self.settings_key + "\\Outcome"
        self.image_name = f"vlnr_{family.lower()}_fw_{name}.bin"
        self.image = os.path.join(work, self.image_name)
        data = os.urandom(IMAGE_SIZE)
        with open(self.image, "wb") as f:
            f.write(data)
        self.md5 = hashlib.md5(data).hexdigest()
        self.sha256 = hashlib.sha256(data).hexdigest()
        self.msi = os.path.join(work, f"release_{name}.msi")
        self.programs = programs
        self.options = list(options)
        self.product_code = None

    def build(self, bin_dir):
        args = ["bash", PACKAGE_SH, "--family", self.family, "--image",
                self.image, "--version", self.version, "--force",
                str(self.force), "--update", str(self.update), "--out",
                self.msi,
                "--programs", self.programs or bin_dir, *self.options]
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

    def check_msiexec(self, what, action, release, *properties):
        """msiexec, checked as `what` to end with exit code 0; the end of its
        log shown when it does not."""
        ended = self.checks.check(
            what, self.msiexec(action, release, *properties) == 0)
        if not ended:
            self.show_msi_log(release, action)
        return ended

    def install_roles(self):
        """The event trails of the program's install role that the last
        msiexec ran: processes with the role's outcome among their events
        (after the events of a setting Windows refused)."""
        by_process = {}
        for line in self.output.splitlines():
            match = re.match(r"^([0-9a-f]{4}):(.*)$", line)
            if match:
                by_process.setdefault(match.group(1), []).append(
                    match.group(2))
        trails = [e2e.wine_events.parse("\n".join(lines))
                  for lines in by_process.values()]
        return [[(e.type_name, e.text) for e in trail] for trail in trails
                if any(e.text.startswith("install [") for e in trail)]

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

    def record(self, key=RECORD_KEY):
        """The family's outcome record (or another family's, by its key) as
        `reg query` shows it: {value name: data}, the time left out
        (check_record_time checks it); None without the key."""
        values = self.settings(key)
        print(f"  reg query {key}: {values}")
        if values is None:
            return None
        self.record_time = values.pop("time", (None, None))[1]
        return {name: data for name, (_, data) in values.items()}

    def check_record(self, what, expected, key=RECORD_KEY):
        record = self.record(key)
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
        return self.key_exists(UNINSTALL_KEY + release.product_code)

    def registered_version(self, release):
        """The version Windows Installer registered for a product, or None."""
        code, output = self.prefix.wine(
            "reg", "query", UNINSTALL_KEY + release.product_code, "/v",
            "DisplayVersion")
        match = re.search(r"DisplayVersion\s+REG_SZ\s+(\S+)", output)
        return match.group(1) if code == 0 and match else None

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
        # The image's digest beside its name: the library sends only a
        # file with it.
        expected = {"updatefile": ("REG_SZ", release.image_name),
                    "sha256": ("REG_SZ", release.sha256),
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
        for source in EVENT_SOURCES:
            c.check(f"no event source {source}",
                    not self.key_exists(EVENT_LOG_KEY + source))


def same_file(path, reference):
    return md5_of(path) is not None and md5_of(path) == md5_of(reference)


def md5_of(path):
    try:
        with open(path, "rb") as f:
            return hashlib.md5(f.read()).hexdigest()
    except OSError:
        return None


# --- The run ---

def arguments(description):
    """The run's --bin, --test-bin, --work and --e2e; imports the end-to-end driver from
    the folder --e2e names."""
    global e2e
    parser = argparse.ArgumentParser(description=description.splitlines()[0])
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
    return options


def run(options, test_programs, title, make_releases, run_scenarios):
    """Builds the releases that make_releases(packages folder, bin folder,
    test-bin folder) gives, boots a fresh prefix and runs
    run_scenarios(machine, *releases) in it; prints the count of checks under
    `title`. Exit status 0 only when every check passed, 2 when a shipped
    program or one of `test_programs` (beside the test host) is not built.
    The prefix's server is ended on every path out."""
    bin_dir = os.path.abspath(options.bin)
    test_bin_dir = os.path.abspath(options.test_bin)
    needed = [os.path.join(bin_dir, name)
              for name in (PROGRAM, LIBRARY, "upgrade_runner.exe")]
    needed += [os.path.join(test_bin_dir, name)
               for name in ("service_test_host.exe", *test_programs)]
    for path in needed:
        if not os.path.exists(path):
            print(f"missing {path}: build it first")
            return 2
    work = os.path.abspath(options.work)
    packages = os.path.join(work, "packages")
    shutil.rmtree(packages, ignore_errors=True)
    os.makedirs(packages)
    prefix = e2e.Prefix(os.path.join(work, "prefix"))
    checks = e2e.Checks()
    started = time.monotonic()
    try:
        e2e.section("packages")
        releases = make_releases(packages, bin_dir, test_bin_dir)
        for release in releases:
            release.build(bin_dir)
        e2e.section(f"fresh Wine prefix {prefix.path} (log: {prefix.log})")
        prefix.boot(test_bin_dir)
        with open(prefix.programs("msiexec_code.cmd"), "w",
                  newline="\r\n") as f:
            f.write("@msiexec %*\n@echo msiexec exit code %errorlevel%\n")
        run_scenarios(Machine(prefix, bin_dir, checks), *releases)
    except (e2e.Failed, subprocess.TimeoutExpired) as error:
        checks.check("the run went through", False, str(error))
    finally:
        prefix.stop()
    print(f"\n{title}: {checks.passed} passed, {checks.failed} failed "
          f"({time.monotonic() - started:.0f} s)")
    return 0 if checks.failed == 0 and checks.passed > 0 else 1
