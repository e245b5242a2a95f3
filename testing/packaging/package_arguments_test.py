#!/usr/bin/env python3
"""scripts/package.sh: what it refuses, and the tables of what it builds.

Refused arguments end with exit code 2 and a message that names the fault,
before anything is built: no package, no build folder, nothing left beside
the destination. An accepted release gives a package whose tables hold the
family's settings, the property defaults, the registration's actions and the
family's upgrade code (read back with msitools' msiinfo).
"""

import hashlib
import os
import re
import subprocess
import tempfile
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PACKAGE_SH = os.path.join(ROOT, "scripts", "package.sh")
PROGRAM = "VlnrZR700UpdateService.exe"
LIBRARY = "velunorUpdateExport.dll"
CHECK = "velunorInstallCheck.dll"
GIB4 = 4 * 1024 * 1024 * 1024
# The largest file a cabinet holds: 65535 blocks of 32 KiB.
CABINET_LIMIT = 65535 * 32768


def run_package(args, env=None):
    return subprocess.run(["bash", PACKAGE_SH, *args], capture_output=True,
                          text=True, env=env, timeout=120, check=False)


def table(msi, name):
    """Rows of one table of a package, as lists of column texts."""
    output = subprocess.run(["msiinfo", "export", msi, name],
                            capture_output=True, text=True, check=True).stdout
    return [line.split("\t") for line in output.splitlines()[3:]]


def with_wixl_wrapper(ws, before):
    """An environment whose wixl runs the shell command `before` first, then
    the real wixl: what may happen while a package is built."""
    real = subprocess.run(["sh", "-c", "command -v wixl"], capture_output=True,
                          text=True, check=True).stdout.strip()
    folder = ws.file("wrapper")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "wixl"), "w") as f:
        f.write(f'#!/bin/sh\n{before}\nexec "{real}" "$@"\n')
    os.chmod(os.path.join(folder, "wixl"), 0o755)
    return dict(os.environ, PATH=folder + os.pathsep + os.environ["PATH"])


class Workspace:
    """A temporary folder with an image and stand-ins for the programs."""

    def __init__(self):
        self.holder = tempfile.TemporaryDirectory()
        self.path = self.holder.name
        self.programs = self.file("programs")
        os.mkdir(self.programs)
        for name in (PROGRAM, LIBRARY, CHECK):
            with open(os.path.join(self.programs, name), "wb") as f:
                f.write(b"MZ" + name.encode())
        self.out_dir = self.file("out")
        os.mkdir(self.out_dir)
        self.image = self.write_image("vlnr_fw_v1.bin", 5000)

    def file(self, *names):
        return os.path.join(self.path, *names)

    def write_image(self, name, size):
        path = self.file(name)
        with open(path, "wb") as f:
            f.write(os.urandom(size))
        return path

    def sparse_image(self, name, size):
        path = self.file(name)
        with open(path, "wb") as f:
            f.truncate(size)
        return path

    def close(self):
        self.holder.cleanup()


class RefusalTest(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()
        self.addCleanup(self.ws.close)

    def arguments(self, **changes):
        args = {"--family": "ZR700", "--image": self.ws.image,
                "--version": "V1.0.7",
                "--out": os.path.join(self.ws.out_dir, "release.msi")}
        args.update(changes)
        flat = []
        for option, value in args.items():
            if value is not None:
                flat += [option, value]
        return flat

    def image_named(self, name):
        """The arguments with a small image of that name."""
        return self.arguments(**{"--image": self.ws.write_image(name, 10)})

    def test_bad_arguments_are_refused_before_anything_is_built(self):
        ws = self.ws
        long_name = "f" * 232 + ".bin"
        cases = [
            # (what, arguments, words the message must hold)
            ("unknown family", self.arguments(**{"--family": "ZR800"}),
             ["unknown family 'ZR800'"]),
            ("family in other letter case",
             self.arguments(**{"--family": "zr700"}),
             ["unknown family 'zr700'"]),
            ("no family", self.arguments(**{"--family": None}),
             ["--family is missing"]),
            ("missing image",
             self.arguments(**{"--image": ws.file("absent.bin")}),
             ["absent.bin", "does not exist"]),
            ("image is a folder", self.arguments(**{"--image": ws.out_dir}),
             ["is not a file"]),
            ("image of 4 GiB",
             self.arguments(**{"--image": ws.sparse_image("big.bin", GIB4)}),
             ["4294967296 bytes", "4 GiB", "device"]),
            ("image larger than a cabinet holds",
             self.arguments(**{"--image": ws.sparse_image(
                 "cab.bin", CABINET_LIMIT + 1)}),
             ["2147450881 bytes", "at most 2147450880 bytes"]),
            ("empty image",
             self.arguments(**{"--image": ws.write_image("empty.bin", 0)}),
             ["is empty"]),
            ("image name ending in a dot", self.image_named("fw.bin."),
             ["'fw.bin.'", "ends in a dot"]),
            ("image name that Windows reserves for a device",
             self.image_named("aux.bin"),
             ["'aux.bin'", "reserved device name"]),
            ("image name that Windows reserves, in capitals",
             self.image_named("COM1"),
             ["'COM1'", "reserved device name"]),
            ("image name with a blank", self.image_named("fw v1.bin"),
             ["'fw v1.bin'", "letters, digits"]),
            ("image name too long for the service to delete it",
             self.image_named(long_name),
             ["longer than 231"]),
            ("image name that the library's own name contains",
             self.image_named("Export.dll"),
             ["part of velunorUpdateExport.dll"]),
            ("version of 32 characters",
             self.arguments(**{"--version": "V" * 32}),
             ["32 characters", "at most 31"]),
            ("no version", self.arguments(**{"--version": None}),
             ["--version is missing"]),
            ("version with a blank", self.arguments(**{"--version": "V1 0"}),
             ["'V1 0'", "letters, digits"]),
            ("force not 0 or 1", self.arguments(**{"--force": "2"}),
             ["--force must be 0 or 1"]),
            ("update not 0 or 1", self.arguments(**{"--update": "yes"}),
             ["--update must be 0 or 1"]),
            ("no destination", self.arguments(**{"--out": None}),
             ["--out is missing"]),
            ("destination not a .msi",
             self.arguments(**{"--out": ws.file("out", "release.zip")}),
             ["must name a .msi file"]),
            ("destination folder missing",
             self.arguments(**{"--out": ws.file("nowhere", "release.msi")}),
             ["does not exist"]),
            ("unknown option", self.arguments() + ["--quiet"],
             ["unknown argument '--quiet'"]),
            ("option without its value", self.arguments() + ["--force"],
             ["--force needs a value"]),
            ("programs folder without the programs",
             self.arguments(**{"--programs": ws.out_dir}),
             ["VlnrZR700UpdateService.exe' is missing"]),
        ]
        build_dir = ws.file("build")
        env = dict(os.environ, BUILD_DIR=build_dir)
        for what, args, words in cases:
            with self.subTest(what):
                result = run_package(args, env)
                self.assertEqual(result.returncode, 2, result.stderr)
                for word in words:
                    self.assertIn(word, result.stderr)
                self.assertEqual(os.listdir(ws.out_dir), [])
                self.assertFalse(os.path.exists(build_dir))


class PackageTablesTest(unittest.TestCase):
    """What Windows Installer reads from a package that package.sh built."""

    @classmethod
    def setUpClass(cls):
        cls.ws = Workspace()
        ws = cls.ws
        cls.version31 = "V" + "1" * 30
        cls.image2 = ws.write_image("vlnr_fw_v2.bin", 7000)
        cls.packages = {}
        builds = {
            "zr700_v1": ["--family", "ZR700", "--image", ws.image,
                         "--version", "V1.0.7"],
            "zr700_v2": ["--family", "ZR700", "--image", cls.image2,
                         "--version", cls.version31, "--force", "1",
                         "--update", "0"],
            "rk7x10": ["--family", "RK7x10", "--image", ws.image,
                       "--version", "V1.0.7"],
            "other": ["--family", "other", "--image", ws.image,
                      "--version", "V1.0.7"],
        }
        cls.results = {}
        for name, args in builds.items():
            out = os.path.join(ws.out_dir, name + ".msi")
            cls.results[name] = run_package(
                args + ["--out", out, "--programs", ws.programs])
            cls.packages[name] = out

    @classmethod
    def tearDownClass(cls):
        cls.ws.close()

    def test_every_release_is_built_and_nothing_else_is_left(self):
        for name, result in self.results.items():
            with self.subTest(name):
                self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(sorted(os.listdir(self.ws.out_dir)),
                         sorted(n + ".msi" for n in self.results))

    def test_settings_of_the_family(self):
        expected = {
            "zr700_v1": ("ZR700", "vlnr_fw_v1.bin", "V1.0.7"),
            "zr700_v2": ("ZR700", "vlnr_fw_v2.bin", self.version31),
            "rk7x10": ("RK7x10", "vlnr_fw_v1.bin", "V1.0.7"),
            "other": ("other", "vlnr_fw_v1.bin", "V1.0.7"),
        }
        for name, (family, image, version) in expected.items():
            with self.subTest(name):
                rows = {(r[1], r[2], r[3], r[4]) for r in
                        table(self.packages[name], "Registry")
                        if r[5] == "Settings"}
                key = "Software\\VelunorUpdate\\" + family
                with open(self.ws.file(image), "rb") as f:
                    digest = hashlib.sha256(f.read()).hexdigest()
                # Root 2 is HKEY_LOCAL_MACHINE; "#" makes a REG_DWORD; a
                # key named "-" without a value goes, with all below it,
                # when the settings go. The image's digest beside its name:
                # the library sends only a file with that digest.
                self.assertEqual(rows, {
                    ("2", key, "updatefile", image),
                    ("2", key, "sha256", digest),
                    ("2", key, "bForce", "[SETTINGBFORCE]"),
                    ("2", key, "bUpdate", "[SETTINGBUPDATE]"),
                    ("2", key, "version", version),
                    ("2", key + "\\Outcome", "-", "")})

    def test_event_sources_are_one_component_every_family_shares(self):
        # Every family's package holds the same component, so Windows
        # Installer removes the keys with the last package that holds it.
        log = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\"
        expected = set()
        for source in ("VelunorUpdateService", "velunorUpdateExport"):
            expected |= {("2", log + source, "EventMessageFile",
                          "[EVENTMESSAGEFILE]"),
                         ("2", log + source, "TypesSupported", "#7")}
        guids = set()
        for name in ("zr700_v1", "zr700_v2", "rk7x10", "other"):
            with self.subTest(name):
                rows = {(r[1], r[2], r[3], r[4]) for r in
                        table(self.packages[name], "Registry")
                        if r[5] == "EventSources"}
                self.assertEqual(rows, expected)
                components = {r[0]: r for r in
                              table(self.packages[name], "Component")}
                guids.add(components["EventSources"][1])
                # The path with "#%", a REG_EXPAND_SZ, once the folders are
                # known (CostFinalize, 1000) and before the registry is
                # written (WriteRegistryValues, 5000).
                actions = {r[0]: r for r in
                           table(self.packages[name], "CustomAction")}
                self.assertEqual(actions["EventMessageFileAsInstalled"][2:4],
                                 ["EVENTMESSAGEFILE", "#%[#ServiceProgram]"])
                sequence = {r[0]: r for r in
                            table(self.packages[name], "InstallExecuteSequence")}
                self.assertTrue(1000 < int(sequence[
                    "EventMessageFileAsInstalled"][2]) < 5000)
                features = {(r[0], r[1]) for r in
                            table(self.packages[name], "FeatureComponents")}
                self.assertIn(("Release", "EventSources"), features)
        self.assertEqual(len(guids), 1, guids)

    def test_property_defaults_come_from_the_build(self):
        for name, force, update in (("zr700_v1", "0", "1"),
                                    ("zr700_v2", "1", "0")):
            with self.subTest(name):
                properties = dict(
                    (r[0], r[1]) for r in table(self.packages[name],
                                                "Property"))
                self.assertEqual(properties["BFORCE"], force)
                self.assertEqual(properties["BUPDATE"], update)
                self.assertEqual(
                    set(properties["SecureCustomProperties"].split(";")),
                    {"BFORCE", "BUPDATE", "INSTALLEDRELEASES"})

    def test_files_and_where_they_go(self):
        rows = {r[0]: (r[1], r[2], r[3])
                for r in table(self.packages["zr700_v2"], "File")}
        self.assertEqual(rows, {
            "ServiceProgram": ("ServiceProgram", "VlnrZR700UpdateService.exe",
                               str(os.path.getsize(os.path.join(
                                   self.ws.programs,
                                   "VlnrZR700UpdateService.exe")))),
            "UpgradeLibrary": ("UpgradeLibrary", "velunorUpdateExport.dll",
                               str(os.path.getsize(os.path.join(
                                   self.ws.programs,
                                   "velunorUpdateExport.dll")))),
            "Image": ("Image", "vlnr_fw_v2.bin", "7000")})
        directories = {r[0]: (r[1], r[2])
                       for r in table(self.packages["zr700_v2"], "Directory")}
        self.assertEqual(directories["DriversFolder"],
                         ("System64Folder", "drivers"))
        self.assertEqual(directories["INSTALLDIR"][0], "ProgramFiles64Folder")

    def test_registration_actions(self):
        actions = {r[0]: (int(r[1]), r[2], r[3])
                   for r in table(self.packages["zr700_v1"], "CustomAction")}
        # Type 18: the installed program; 50: a program named by a property;
        # 0x400 in the script, 0x100 rollback, 0x40 exit code ignored,
        # 0x800 as LocalSystem.
        self.assertEqual(actions["RegisterService"],
                         (18 | 0x400 | 0x800, "ServiceProgram", "install"))
        self.assertEqual(actions["CheckServiceRegistered"],
                         (50 | 0x400 | 0x800, "SERVICETOOL",
                          "query VelunorUpdateService"))
        self.assertEqual(actions["DeleteServiceOnRollback"],
                         (50 | 0x40 | 0x100 | 0x400 | 0x800, "SERVICETOOL",
                          "delete VelunorUpdateService"))
        record = "HKLM\\Software\\VelunorUpdate\\ZR700\\Outcome"
        self.assertEqual(actions["StartOutcomeRecord"],
                         (50 | 0x400 | 0x800, "REGISTRYTOOL",
                          f"add {record} /v state /t REG_SZ /d waiting /f"))
        self.assertEqual(actions["DeleteOutcomeOnRollback"],
                         (50 | 0x40 | 0x100 | 0x400 | 0x800, "REGISTRYTOOL",
                          f"delete {record} /f"))
        # Type 51: sets the property, before the script is written.
        for action, tool, path in (
                ("FindServiceTool", "SERVICETOOL", "[System64Folder]sc.exe"),
                ("FindRegistryTool", "REGISTRYTOOL",
                 "[System64Folder]reg.exe")):
            self.assertEqual((actions[action][0] & 0x3F,)
                             + actions[action][1:], (51, tool, path))
        sequence = {r[0]: (r[1], int(r[2])) for r in
                    table(self.packages["zr700_v1"], "InstallExecuteSequence")}
        order = ["CostFinalize", "InstallValidate", "RemoveExistingProducts",
                 "FindServiceTool", "InstallInitialize", "StopServices",
                 "DeleteServices", "InstallFiles", "WriteRegistryValues",
                 "DeleteServiceOnRollback", "RegisterService",
                 "CheckServiceRegistered", "DeleteOutcomeOnRollback",
                 "StartOutcomeRecord", "StartServices", "InstallFinalize"]
        self.assertEqual(sorted(order, key=lambda a: sequence[a][1]), order)
        self.assertLess(sequence["FindRegistryTool"][1],
                        sequence["InstallInitialize"][1])
        for action in ("DeleteServiceOnRollback", "RegisterService",
                       "CheckServiceRegistered"):
            self.assertEqual(sequence[action][0], "$ServiceProgram=3")
        # A first installation and the next release's, never a repair.
        for action in ("DeleteOutcomeOnRollback", "StartOutcomeRecord"):
            self.assertEqual(sequence[action][0], "NOT Installed")
        controls = table(self.packages["zr700_v1"], "ServiceControl")
        # Start on install; stop and delete on install and on removal.
        self.assertEqual([(r[1], int(r[2]), r[5]) for r in controls],
                         [("VelunorUpdateService", 0x01 | 0x02 | 0x08 |
                           0x20 | 0x80, "ServiceProgram")])

    def test_a_repair_writes_the_flags_as_installed(self):
        actions = {r[0]: (int(r[1]) & 0x3F, r[2], r[3])
                   for r in table(self.packages["zr700_v2"], "CustomAction")}
        sequence = {r[0]: r[1] for r in table(self.packages["zr700_v2"],
                                              "InstallExecuteSequence")}
        # Type 51 sets a property: "#" makes the value a REG_DWORD.
        expected = {
            "BForceAsGiven": ("SETTINGBFORCE", "#[BFORCE]", "NOT Installed"),
            "BForceAsInstalled": ("SETTINGBFORCE", "[INSTALLEDBFORCE]",
                                  "Installed AND INSTALLEDBFORCE"),
            "BForceAsBuilt": ("SETTINGBFORCE", "#1",
                              "Installed AND NOT INSTALLEDBFORCE"),
            "BUpdateAsGiven": ("SETTINGBUPDATE", "#[BUPDATE]",
                               "NOT Installed"),
            "BUpdateAsInstalled": ("SETTINGBUPDATE", "[INSTALLEDBUPDATE]",
                                   "Installed AND INSTALLEDBUPDATE"),
            "BUpdateAsBuilt": ("SETTINGBUPDATE", "#0",
                               "Installed AND NOT INSTALLEDBUPDATE"),
        }
        for action, (prop, value, condition) in expected.items():
            with self.subTest(action):
                self.assertEqual(actions[action], (51, prop, value))
                self.assertEqual(sequence[action], condition)
        # 2: HKEY_LOCAL_MACHINE; 2 raw value, 0x10 the 64-bit view.
        locators = {(r[0], r[1], r[2], r[3], r[4]) for r in
                    table(self.packages["zr700_v2"], "RegLocator")}
        key = "Software\\VelunorUpdate\\ZR700"
        self.assertEqual(locators, {
            ("InstalledBForce", "2", key, "bForce", "18"),
            ("InstalledBUpdate", "2", key, "bUpdate", "18")})
        self.assertEqual(
            {(r[0], r[1]) for r in table(self.packages["zr700_v2"],
                                         "AppSearch")},
            {("INSTALLEDBFORCE", "InstalledBForce"),
             ("INSTALLEDBUPDATE", "InstalledBUpdate")})

    def test_the_install_folder_is_checked_before_anything_is_installed(self):
        package = self.packages["zr700_v1"]
        # 1: a DLL in the Binary table, run at once (after CostFinalize has
        # set INSTALLDIR, before InstallValidate).
        actions = {r[0]: r[1:4] for r in table(package, "CustomAction")}
        self.assertEqual(actions["CheckInstallFolder"],
                         ["1", "InstallFolderCheck", "CheckInstallFolder"])
        sequence = {r[0]: (r[1], r[2]) for r in
                    table(package, "InstallExecuteSequence")}
        self.assertEqual(sequence["CheckInstallFolder"], ("NOT Installed", "1010"))
        self.assertEqual([r[0] for r in table(package, "Binary")],
                         ["InstallFolderCheck"])

    def test_the_install_folder_has_its_own_permissions(self):
        self.assertEqual(table(self.packages["zr700_v1"], "CreateFolder"),
                         [["INSTALLDIR", "ServiceProgram"]])
        # Owned by SYSTEM: a user who made the folder before stays not its
        # owner, who could rewrite its permissions. Protected (nothing
        # inherited from the parent folder); SYSTEM and Administrators full
        # control, Users read and execute, each for the folder, its
        # subfolders and files.
        self.assertEqual(
            table(self.packages["zr700_v1"], "MsiLockPermissionsEx"),
            [["InstallFolder", "INSTALLDIR", "CreateFolder",
              "O:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
              "(A;OICI;0x1200a9;;;BU)",
              ""]])

    def test_the_package_records_where_its_programs_and_image_come_from(self):
        # Programs it did not build: no commit vouches for them, their
        # folder is named.
        folder = os.path.realpath(self.ws.programs)
        for name, image in (("zr700_v1", self.ws.image),
                            ("zr700_v2", self.image2)):
            with self.subTest(name):
                properties = dict((r[0], r[1]) for r in
                                  table(self.packages[name], "Property"))
                with open(image, "rb") as f:
                    digest = hashlib.sha256(f.read()).hexdigest()
                self.assertEqual(properties["VelunorImageSha256"], digest)
                self.assertNotIn("VelunorSourceCommit", properties)
                self.assertEqual(properties["VelunorProgramsFolder"], folder)
                self.assertIn(
                    f"programs from {folder}, image SHA-256 {digest}\n",
                    self.results[name].stdout)

    def test_one_upgrade_code_per_family_and_a_new_product_each_build(self):
        def properties(name):
            return dict((r[0], r[1]) for r in
                        table(self.packages[name], "Property"))
        codes = {name: properties(name)["UpgradeCode"]
                 for name in self.packages}
        self.assertEqual(codes["zr700_v1"], codes["zr700_v2"])
        self.assertEqual(len({codes["zr700_v1"], codes["rk7x10"],
                              codes["other"]}), 3)
        products = {properties(name)["ProductCode"] for name in self.packages}
        self.assertEqual(len(products), 4)
        upgrade = table(self.packages["zr700_v2"], "Upgrade")
        self.assertEqual(len(upgrade), 1)
        self.assertEqual(upgrade[0][0], codes["zr700_v2"])
        self.assertTrue(re.match(r"0\.0\.0$", upgrade[0][1]))


class DestinationTest(unittest.TestCase):
    """An existing package is kept unless replaced on purpose, also one that
    appears while the package is built; another run's partial file is left
    alone; the image is hashed once, in the copy wixl reads; tools copied
    unsigned are named; folders with blanks in their names."""

    def setUp(self):
        self.ws = Workspace()
        self.addCleanup(self.ws.close)

    def build(self, out, *extra, image=None, programs=None, env=None):
        return run_package(["--family", "ZR700", "--version", "V1.0.7",
                            "--image", image or self.ws.image,
                            "--programs", programs or self.ws.programs,
                            "--out", out, *extra], env=env)

    def test_an_existing_package_is_replaced_only_with_overwrite(self):
        out = os.path.join(self.ws.out_dir, "release.msi")
        with open(out, "wb") as f:
            f.write(b"an earlier package")
        refused = self.build(out)
        self.assertEqual(refused.returncode, 2, refused.stderr)
        self.assertIn("give --overwrite", refused.stderr)
        with open(out, "rb") as f:
            self.assertEqual(f.read(), b"an earlier package")
        replaced = self.build(out, "--overwrite")
        self.assertEqual(replaced.returncode, 0, replaced.stderr)
        self.assertIn(["Image", "Image", "vlnr_fw_v1.bin", "5000"],
                      [row[:4] for row in table(out, "File")])
        self.assertEqual(os.listdir(self.ws.out_dir), ["release.msi"])

    def test_another_runs_partial_file_is_left_alone(self):
        # A killed run's, or one that runs now for the same destination.
        out = os.path.join(self.ws.out_dir, "release.msi")
        left = out + ".partial-k1ll3d"
        with open(left, "wb") as f:
            f.write(b"half a package")
        result = self.build(out)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(sorted(os.listdir(self.ws.out_dir)),
                         ["release.msi", "release.msi.partial-k1ll3d"])
        with open(left, "rb") as f:
            self.assertEqual(f.read(), b"half a package")

    def test_a_package_that_appears_meanwhile_is_not_written_over(self):
        # A wixl that first makes the destination appear, as a concurrent
        # run would, then does what wixl does.
        out = os.path.join(self.ws.out_dir, "release.msi")
        env = with_wixl_wrapper(self.ws, f'echo "the other run" > "{out}"')
        result = self.build(out, env=env)
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("appeared while the package was built", result.stderr)
        with open(out) as f:
            self.assertEqual(f.read(), "the other run\n")
        self.assertEqual(os.listdir(self.ws.out_dir), ["release.msi"])

    def test_the_image_is_hashed_once_in_a_copy_wixl_reads(self):
        # A wixl that first changes the original image: the package holds
        # the bytes hashed, and its digest is theirs.
        out = os.path.join(self.ws.out_dir, "release.msi")
        with open(self.ws.image, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        env = with_wixl_wrapper(
            self.ws, f'printf changed | dd of="{self.ws.image}" bs=1 seek=10 '
                     'conv=notrunc status=none')
        result = self.build(out, env=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        properties = dict((r[0], r[1]) for r in table(out, "Property"))
        self.assertEqual(properties["VelunorImageSha256"], digest)
        registry = {r[3]: r[4] for r in table(out, "Registry")}
        self.assertEqual(registry["sha256"], digest)
        extracted = self.ws.file("extracted")
        os.mkdir(extracted)
        subprocess.run(["msiextract", "-C", extracted, out], check=True,
                       capture_output=True)
        packed = [os.path.join(folder, name)
                  for folder, _, names in os.walk(extracted)
                  for name in names if name == "vlnr_fw_v1.bin"]
        self.assertEqual(len(packed), 1, packed)
        with open(packed[0], "rb") as f:
            self.assertEqual(hashlib.sha256(f.read()).hexdigest(), digest)

    def test_unsigned_tools_are_copied_with_a_warning(self):
        tools = self.ws.file("tools")
        os.mkdir(tools)
        os.mkdir(os.path.join(self.ws.programs, "recorder"))
        for name in ("upgrade_runner.exe", os.path.join("recorder",
                                                        "AdbWinApi.dll")):
            with open(os.path.join(self.ws.programs, name), "wb") as f:
                f.write(b"MZ")
        out = os.path.join(self.ws.out_dir, "release.msi")
        result = self.build(out, "--tools-out", tools)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(f"warning: the tools in '{tools}' are not signed",
                      result.stderr)
        self.assertTrue(os.path.isfile(
            os.path.join(tools, "upgrade_runner.exe")))

    def test_built_programs_record_their_commit(self):
        # A cmake that builds the two programs as stand-ins: the package
        # records the commit they were built from.
        build_dir = self.ws.file("build")
        bin_dir = os.path.join(build_dir, "bin")
        fake = self.ws.file("fakebin")
        os.mkdir(fake)
        with open(os.path.join(fake, "cmake"), "w") as f:
            f.write("#!/bin/sh\n"
                    f'mkdir -p "{bin_dir}"\n'
                    f'for n in {PROGRAM} {LIBRARY} {CHECK}; do '
                    f'printf MZ > "{bin_dir}/$n"; done\n')
        os.chmod(os.path.join(fake, "cmake"), 0o755)
        env = dict(os.environ, BUILD_DIR=build_dir,
                   PATH=fake + os.pathsep + os.environ["PATH"])
        out = os.path.join(self.ws.out_dir, "release.msi")
        result = run_package(["--family", "ZR700", "--version", "V1.0.7",
                              "--image", self.ws.image, "--out", out],
                             env=env)
        self.assertEqual(result.returncode, 0, result.stderr)
        commit = subprocess.run(["git", "rev-parse", "HEAD"], cwd=ROOT,
                                capture_output=True, text=True,
                                check=True).stdout.strip()
        properties = dict((r[0], r[1]) for r in table(out, "Property"))
        self.assertRegex(properties["VelunorSourceCommit"],
                         "^" + commit + r"(\+changes)?$")
        self.assertNotIn("VelunorProgramsFolder", properties)
        self.assertIn(f"built from commit {properties['VelunorSourceCommit']}"
                      ", image SHA-256 ", result.stdout)

    def test_folders_with_blanks(self):
        ws = self.ws
        image_dir = ws.file("image folder")
        out_dir = ws.file("out folder")
        programs = ws.file("program files")
        for folder in (image_dir, out_dir, programs):
            os.mkdir(folder)
        for name in os.listdir(ws.programs):
            os.link(os.path.join(ws.programs, name),
                    os.path.join(programs, name))
        image = os.path.join(image_dir, "vlnr_fw_v1.bin")
        os.link(ws.image, image)
        out = os.path.join(out_dir, "release v1.msi")
        result = self.build(out, image=image, programs=programs)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(os.listdir(out_dir), ["release v1.msi"])
        files = {row[0]: row[3] for row in table(out, "File")}
        self.assertEqual(files["Image"], "5000")


class RelativePathTest(unittest.TestCase):
    """Paths are the caller's, wherever the script itself lies."""

    def test_paths_relative_to_the_callers_folder(self):
        ws = Workspace()
        self.addCleanup(ws.close)
        result = subprocess.run(
            ["bash", PACKAGE_SH, "--family", "ZR700",
             "--image", "vlnr_fw_v1.bin", "--version", "V1.0.7",
             "--programs", "programs", "--out", "out/release.msi"],
            cwd=ws.path, capture_output=True, text=True, timeout=120,
            check=False)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(os.listdir(ws.out_dir), ["release.msi"])
        files = [row[2] for row in table(ws.file("out", "release.msi"),
                                          "File")]
        self.assertTrue(any("vlnr_fw_v1.bin" in name for name in files),
                        files)


if __name__ == "__main__":
    unittest.main()
