#!/usr/bin/env python3
"""Signed and versioned release packages under Wine's own msiexec.

In a fresh Wine prefix of its own (booted and kept as the end-to-end run
does), with the machinery of package_msiexec_test.py:

  signed     a package signed with a throwaway CA's code-signing certificate
             installs; the service program and the library, taken out of the
             installed package, verify against that CA with osslsigncode and
             are not the build's unsigned files; the service runs the signed
             program; msiexec /x leaves nothing behind
  versions   a package of product version 127.255.65535 (the highest
             package.sh gives) installs and Windows Installer registers that
             version; a package of the project's lower version replaces it:
             one release of the family installed, the service registered anew

    package_release_msiexec_test.py --bin BUILD/bin --test-bin BUILD/test-bin
                                    --e2e E2E_DIR --work DIR

Exit status 0 only when every check passed. The prefix's server is ended on
every path out of this program.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time

import package_msiexec_test as base
from package_release_test import make_signing_keys, verify

UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"


class Release(base.Release):
    """A package built with further options of package.sh."""

    def __init__(self, work, name, version, options):
        super().__init__(work, name, version, update=0)
        self.options = options

    def build(self, bin_dir):
        args = ["bash", base.PACKAGE_SH, "--family", base.FAMILY, "--image",
                self.image, "--version", self.version, "--update", "0",
                "--out", self.msi, "--programs", bin_dir, *self.options]
        result = subprocess.run(args, capture_output=True, text=True,
                                timeout=300, check=False)
        if result.returncode != 0:
            raise base.e2e.Failed(f"package.sh for {self.name}: "
                                  f"{result.stderr}")
        self.product_code = re.search(r"^product code (\S+)$", result.stdout,
                                      re.M).group(1)
        print(result.stdout.strip())


def registered_version(machine, release):
    """The version Windows Installer registered for a product, or None."""
    code, output = machine.prefix.wine(
        "reg", "query", UNINSTALL_KEY + release.product_code, "/v",
        "DisplayVersion")
    match = re.search(r"DisplayVersion\s+REG_SZ\s+(\S+)", output)
    return match.group(1) if code == 0 and match else None


def installed_files(machine):
    return {base.PROGRAM: machine.program_path(),
            base.LIBRARY: machine.prefix.drivers(base.LIBRARY)}


def scenario_signed(machine, release, keys):
    base.e2e.section("scenario: a signed package, its programs verified "
                     "where they were installed")
    c = machine.checks
    if not c.check("msiexec /i signed package exit code 0",
                   machine.msiexec("/i", release) == 0):
        machine.show_msi_log(release, "/i")
        return
    machine.check_service_runs_installed_program()
    taken = os.path.join(keys, "taken-out")
    os.makedirs(taken, exist_ok=True)
    for name, path in installed_files(machine).items():
        copy = os.path.join(taken, name)
        if not c.check(f"{name} installed", os.path.isfile(path)):
            continue
        shutil.copy(path, copy)
        ok, report = verify(copy, os.path.join(keys, "ca.pem"))
        c.check(f"installed {name} verifies against the test CA", ok,
                report.strip().splitlines()[-1:])
        c.check(f"installed {name} is signed, not the build's own file",
                not base.same_file(copy,
                                   os.path.join(machine.bin_dir, name)))
    if not c.check("msiexec /x exit code 0",
                   machine.msiexec("/x", release) == 0):
        machine.show_msi_log(release, "/x")
    machine.check_nothing_left(release)


def scenario_versions(machine, highest, project):
    base.e2e.section("scenario: a lower product version replaces a higher "
                     "one of the family")
    c = machine.checks
    if not c.check("msiexec /i 127.255.65535 exit code 0",
                   machine.msiexec("/i", highest) == 0):
        machine.show_msi_log(highest, "/i")
        return
    c.check("Windows Installer registered version 127.255.65535",
            registered_version(machine, highest) == "127.255.65535",
            f"got {registered_version(machine, highest)}")
    machine.check_service_runs_installed_program()
    first_processes = set(machine.program_processes())
    if not c.check("msiexec /i of the project's version over it: exit code 0",
                   machine.msiexec("/i", project) == 0):
        machine.show_msi_log(project, "/i")
    c.check("the higher version no longer registered",
            not machine.product_registered(highest))
    c.check(f"Windows Installer registered version {project.expected}",
            registered_version(machine, project) == project.expected,
            f"got {registered_version(machine, project)}")
    c.check(f"the older image {highest.image_name} removed",
            not os.path.exists(machine.prefix.drivers(highest.image_name)))
    machine.check_installed(project, bforce=0, bupdate=0)
    machine.check_service_runs_installed_program()
    c.check("the service runs in a new process",
            not set(machine.program_processes()) & first_processes)
    if not c.check("msiexec /x exit code 0",
                   machine.msiexec("/x", project) == 0):
        machine.show_msi_log(project, "/x")
    machine.check_nothing_left(highest, project)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", required=True,
                        help="the build's bin folder: the shipped programs")
    parser.add_argument("--test-bin", required=True,
                        help="the build's test-bin folder: the test programs")
    parser.add_argument("--e2e", required=True,
                        help="folder of the end-to-end driver service_e2e.py")
    parser.add_argument("--work", required=True,
                        help="folder of the run's packages and prefix")
    options = parser.parse_args()
    sys.path.insert(0, os.path.abspath(options.e2e))
    import service_e2e  # noqa: E402
    base.e2e = service_e2e
    e2e = service_e2e

    bin_dir = os.path.abspath(options.bin)
    test_bin_dir = os.path.abspath(options.test_bin)
    for path in (os.path.join(bin_dir, base.PROGRAM),
                 os.path.join(bin_dir, base.LIBRARY),
                 os.path.join(test_bin_dir, "service_test_host.exe")):
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
        keys = os.path.join(packages, "keys")
        os.makedirs(keys)
        make_signing_keys(keys)
        signed = Release(packages, "signed", "V1.0.7", [
            "--sign-pkcs12", os.path.join(keys, "signer.p12"),
            "--sign-password-file", os.path.join(keys, "password")])
        highest = Release(packages, "highest", "V9.9.9",
                          ["--product-version", "127.255.65535"])
        project = Release(packages, "project", "V1.0.8", [])
        with open(os.path.join(base.ROOT, "VERSION")) as f:
            project.expected = f.readline().strip()
        for release in (signed, highest, project):
            release.build(bin_dir)
        e2e.section(f"fresh Wine prefix {prefix.path} (log: {prefix.log})")
        prefix.boot(test_bin_dir)
        with open(prefix.programs("msiexec_code.cmd"), "w",
                  newline="\r\n") as f:
            f.write("@msiexec %*\n@echo msiexec exit code %errorlevel%\n")
        machine = base.Machine(prefix, bin_dir, checks)
        scenario_signed(machine, signed, keys)
        scenario_versions(machine, highest, project)
    except (e2e.Failed, subprocess.TimeoutExpired) as error:
        checks.check("the run went through", False, str(error))
    finally:
        prefix.stop()
    print(f"\nsigned and versioned packages under msiexec: {checks.passed} "
          f"passed, {checks.failed} failed "
          f"({time.monotonic() - started:.0f} s)")
    return 0 if checks.failed == 0 and checks.passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
