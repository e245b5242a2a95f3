#!/usr/bin/env python3
"""Signed and versioned release packages under Wine's own msiexec.

In a fresh Wine prefix of its own (booted and kept as the end-to-end run
does), with the machinery of package_prefix.py:

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

import os
import shutil
import sys

import package_prefix
from package_arguments_test import LIBRARY, PROGRAM, ROOT
from package_prefix import Release, same_file
from package_release_test import make_signing_keys, verify

e2e = None  # service_e2e, as package_prefix imported it


def installed_files(machine):
    return {PROGRAM: machine.program_path(),
            LIBRARY: machine.prefix.drivers(LIBRARY)}


def scenario_signed(machine, release):
    e2e.section("scenario: a signed package, its programs verified where "
                "they were installed")
    c = machine.checks
    if not machine.check_msiexec("msiexec /i signed package exit code 0",
                                 "/i", release):
        return
    keys = release.keys
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
                not same_file(copy, os.path.join(machine.bin_dir, name)))
    machine.check_msiexec("msiexec /x exit code 0", "/x", release)
    machine.check_nothing_left(release)


def scenario_versions(machine, highest, project):
    e2e.section("scenario: a lower product version replaces a higher one "
                "of the family")
    c = machine.checks
    if not machine.check_msiexec("msiexec /i 127.255.65535 exit code 0",
                                 "/i", highest):
        return
    c.check("Windows Installer registered version 127.255.65535",
            machine.registered_version(highest) == "127.255.65535",
            f"got {machine.registered_version(highest)}")
    machine.check_service_runs_installed_program()
    first_processes = set(machine.program_processes())
    machine.check_msiexec("msiexec /i of the project's version over it: "
                          "exit code 0", "/i", project)
    c.check("the higher version no longer registered",
            not machine.product_registered(highest))
    c.check(f"Windows Installer registered version {project.expected}",
            machine.registered_version(project) == project.expected,
            f"got {machine.registered_version(project)}")
    c.check(f"the older image {highest.image_name} removed",
            not os.path.exists(machine.prefix.drivers(highest.image_name)))
    machine.check_installed(project, bforce=0, bupdate=0)
    machine.check_service_runs_installed_program()
    c.check("the service runs in a new process",
            not set(machine.program_processes()) & first_processes)
    machine.check_msiexec("msiexec /x exit code 0", "/x", project)
    machine.check_nothing_left(highest, project)


def releases(packages, bin_dir, test_bin_dir):
    """A signed release, one of the highest product version and one of the
    project's version."""
    keys = os.path.join(packages, "keys")
    os.makedirs(keys)
    make_signing_keys(keys)
    signed = Release(packages, "signed", "V1.0.7", update=0, options=[
        "--sign-pkcs12", os.path.join(keys, "signer.p12"),
        "--sign-password-file", os.path.join(keys, "password")])
    signed.keys = keys
    highest = Release(packages, "highest", "V9.9.9", update=0,
                      options=["--product-version", "127.255.65535"])
    project = Release(packages, "project", "V1.0.8", update=0)
    with open(os.path.join(ROOT, "VERSION")) as f:
        project.expected = f.readline().strip()
    return signed, highest, project


def scenarios(machine, signed, highest, project):
    scenario_signed(machine, signed)
    scenario_versions(machine, highest, project)


def main():
    global e2e
    options = package_prefix.arguments(__doc__)
    e2e = package_prefix.e2e
    return package_prefix.run(options, (),
                              "signed and versioned packages under msiexec",
                              releases, scenarios)


if __name__ == "__main__":
    sys.exit(main())
