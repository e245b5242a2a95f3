#!/usr/bin/env python3
"""A release as it leaves the build machine: the shipped binaries, the
versions in the package, and its signatures.

  binaries   both shipped binaries are stripped, carry no time stamp and no
             folder of the build machine, and name their debug file, which
             lies beside them with the CRC the link records
  versions   the package's product version (the project's, or
             --product-version), the programs' versions in its file table,
             the product code it prints; refused product versions
  signing    --sign-pkcs12 with a throwaway CA's code-signing certificate:
             the package and both programs in it verify against that CA, a
             changed byte or table fails; bad certificates, passwords and
             options end with exit code 2 and no package; a failed time
             stamp with exit code 1 and no package

    VELUNOR_BIN=BUILD/bin python3 -m unittest -v package_release_test

VELUNOR_BIN is the Windows build's bin folder with the shipped binaries.
No Wine: msitools and osslsigncode read what Windows would.
"""

import glob
import os
import re
import struct
import subprocess
import tempfile
import unittest
import zlib

from package_arguments_test import (LIBRARY, PACKAGE_SH, PROGRAM, ROOT,
                                    Workspace, table)

SHIPPED = (PROGRAM, LIBRARY)
# Not in the package, but run elevated at sites: released the same way.
TOOLS = ("upgrade_runner.exe", os.path.join("recorder", "AdbWinApi.dll"))
OBJDUMP = "x86_64-w64-mingw32-objdump"


def bin_dir():
    """The build's binaries; a release test without them fails, since a
    skipped check would pass a release nobody checked."""
    folder = os.environ.get("VELUNOR_BIN", "")
    missing = [name for name in SHIPPED + TOOLS
               if not os.path.isfile(os.path.join(folder, name))]
    if missing:
        raise AssertionError(f"VELUNOR_BIN '{folder}' lacks "
                             f"{', '.join(missing)}: build them first")
    return folder


def project_version():
    with open(os.path.join(ROOT, "VERSION")) as f:
        return f.readline().strip()


def run(*command, **options):
    return subprocess.run(list(command), capture_output=True, text=True,
                          timeout=300, check=False, **options)


def run_package(*args, env=None):
    return run("bash", PACKAGE_SH, *args, env=env)


def section_names(path):
    output = run(OBJDUMP, "-h", path).stdout
    return re.findall(r"^\s*\d+\s+(\S+)", output, re.M)


def section(path, name):
    """A section's bytes, from objdump's hex dump of it."""
    output = run(OBJDUMP, "-s", "-j", name, path).stdout
    data = b""
    for line in output.splitlines():
        match = re.match(r"^ [0-9a-f]+ ((?:[0-9a-f]{2,8} ){1,4})", line)
        if match:
            data += bytes.fromhex(match.group(1).replace(" ", ""))
    return data


def pe_time_stamp(path):
    with open(path, "rb") as f:
        data = f.read(4096)
    (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
    assert data[pe_offset:pe_offset + 4] == b"PE\0\0"
    (stamp,) = struct.unpack_from("<I", data, pe_offset + 8)
    return stamp


def verify(path, ca):
    """osslsigncode's verdict on a file's signature against one CA."""
    result = run("osslsigncode", "verify", "-CAfile", ca, "-in", path)
    return result.returncode == 0, result.stdout + result.stderr


def extract(msi, folder):
    """The package's files by name, as msiextract takes them out."""
    run("msiextract", "-C", folder, msi).check_returncode()
    found = {}
    for path in glob.glob(os.path.join(folder, "**", "*"), recursive=True):
        if os.path.isfile(path):
            found[os.path.basename(path)] = path
    return found


def make_signing_keys(folder):
    """A throwaway CA (ca.pem) and a code-signing certificate of it with its
    key in signer.p12, whose password is the first line of the file
    password; beside them signer-no-password.p12, certificate-only.p12 (no
    key), not-pkcs12.p12 and wrong-password."""

    def openssl(*args):
        run("openssl", *args, cwd=folder).check_returncode()

    def write(name, text):
        with open(os.path.join(folder, name), "w") as f:
            f.write(text)

    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
            "ca.key", "-out", "ca.pem", "-days", "2", "-subj",
            "/CN=Throwaway test CA",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "signer.key",
            "-out", "signer.csr", "-subj",
            "/CN=Throwaway test signer/O=Velunor")
    write("signer.ext", "basicConstraints=CA:FALSE\n"
                        "keyUsage=critical,digitalSignature\n"
                        "extendedKeyUsage=codeSigning\n")
    openssl("x509", "-req", "-in", "signer.csr", "-CA", "ca.pem", "-CAkey",
            "ca.key", "-CAcreateserial", "-out", "signer.pem", "-days", "2",
            "-extfile", "signer.ext")
    write("password", "correct horse\n")
    write("wrong-password", "wrong horse\n")
    openssl("pkcs12", "-export", "-in", "signer.pem", "-inkey", "signer.key",
            "-out", "signer.p12", "-passout", "file:password")
    openssl("pkcs12", "-export", "-in", "signer.pem", "-inkey", "signer.key",
            "-out", "signer-no-password.p12", "-passout", "pass:")
    openssl("pkcs12", "-export", "-nokeys", "-in", "signer.pem", "-out",
            "certificate-only.p12", "-passout", "file:password")
    write("not-pkcs12.p12", "not a PKCS#12 file\n")


class ReleaseBinariesTest(unittest.TestCase):
    def test_stripped_with_a_debug_link_to_the_file_beside_them(self):
        for name in SHIPPED + TOOLS:
            with self.subTest(name):
                binary = os.path.join(bin_dir(), name)
                names = section_names(binary)
                self.assertEqual([n for n in names if n.startswith(".debug")],
                                 [])
                self.assertIn(".gnu_debuglink", names)
                link = section(binary, ".gnu_debuglink")
                # The file's name, zero-padded to 4 bytes, then its CRC-32.
                self.assertEqual(link[:link.index(b"\0")].decode(),
                                 os.path.basename(name) + ".debug")
                with open(binary + ".debug", "rb") as f:
                    debug = f.read()
                self.assertEqual(struct.unpack("<I", link[-4:])[0],
                                 zlib.crc32(debug))
                self.assertIn(".debug_info", section_names(binary + ".debug"))

    def test_no_time_stamp_and_no_folder_of_the_build_machine(self):
        build_dir = os.path.dirname(os.path.abspath(bin_dir()))
        # As paths, and as the symbol names tools make of paths; HOME as a
        # folder only (its name alone, "_root" say, is too common a word).
        needles = {os.path.join(os.path.expanduser("~"), "").encode()}
        for folder in (ROOT, build_dir):
            needles.add(folder.encode())
            needles.add(re.sub(r"[^A-Za-z0-9]", "_", folder).encode())
        for name in SHIPPED + TOOLS:
            for path in (name, name + ".debug"):
                with self.subTest(path):
                    full = os.path.join(bin_dir(), path)
                    self.assertEqual(pe_time_stamp(full), 0)
                    with open(full, "rb") as f:
                        data = f.read()
                    self.assertEqual(
                        [n.decode() for n in needles if n in data], [])


class PackageVersionTest(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()
        self.addCleanup(self.ws.close)

    def package(self, *extra, programs=None):
        out = os.path.join(self.ws.out_dir, "release.msi")
        result = run_package("--family", "ZR700", "--image", self.ws.image,
                             "--version", "V1.0.7", "--out", out,
                             "--programs", programs or bin_dir(),
                             "--overwrite", *extra)
        return result, out

    def test_product_version_from_the_project_or_the_option(self):
        cases = [
            ((), project_version()),
            (("--product-version", "3.2.7"), "3.2.7"),
            (("--product-version", "127.255.65535"), "127.255.65535"),
            (("--product-version", "007.00.0010"), "7.0.10"),
        ]
        for extra, expected in cases:
            with self.subTest(extra):
                result, out = self.package(*extra)
                self.assertEqual(result.returncode, 0, result.stderr)
                properties = dict(row[:2] for row in table(out, "Property"))
                self.assertEqual(properties["ProductVersion"], expected)
                self.assertIn(f"product version {expected}", result.stdout)

    def test_upgrade_takes_every_product_version_of_the_family(self):
        result, out = self.package()
        self.assertEqual(result.returncode, 0, result.stderr)
        (upgrade,) = table(out, "Upgrade")
        # Minimum and maximum included (0x100 + 0x200), nothing else.
        self.assertEqual(upgrade[1:5], ["0.0.0", "127.255.65535", "", "768"])
        self.assertEqual(upgrade[6], "INSTALLEDRELEASES")

    def test_programs_are_versioned_files_the_image_is_not(self):
        result, out = self.package()
        self.assertEqual(result.returncode, 0, result.stderr)
        versions = {row[2]: (row[4], row[5]) for row in table(out, "File")}
        file_version = project_version() + ".0"
        self.assertEqual(versions, {
            PROGRAM: (file_version, "1033"),
            LIBRARY: (file_version, "1033"),
            os.path.basename(self.ws.image): ("", ""),
        })

    def test_programs_without_a_version_resource_stay_unversioned(self):
        result, out = self.package(programs=self.ws.programs)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual({row[2]: row[4] for row in table(out, "File")},
                         {PROGRAM: "", LIBRARY: "",
                          os.path.basename(self.ws.image): ""})

    def test_prints_the_product_code_it_gave_the_package(self):
        codes = set()
        for _ in range(2):
            result, out = self.package(programs=self.ws.programs)
            self.assertEqual(result.returncode, 0, result.stderr)
            printed = re.findall(r"^product code (\S+)$", result.stdout, re.M)
            properties = dict(row[:2] for row in table(out, "Property"))
            self.assertEqual(printed, [properties["ProductCode"]])
            self.assertRegex(printed[0], r"^\{[0-9A-F-]{36}\}$")
            codes.add(printed[0])
        self.assertEqual(len(codes), 2, "each build gets its own product code")

    def test_bad_product_versions_are_refused_before_anything_is_built(self):
        build_dir = self.ws.file("build-never-made")
        env = dict(os.environ, BUILD_DIR=build_dir)
        for bad in ("1.2", "1.2.3.4", "128.0.0", "1.256.0", "1.0.65536",
                    "v1.0.0", "1.0.0 ", "", "1..0", "1234.0.0"):
            with self.subTest(bad):
                out = os.path.join(self.ws.out_dir, "release.msi")
                result = run_package(
                    "--family", "ZR700", "--image", self.ws.image,
                    "--version", "V1", "--out", out,
                    "--product-version", bad, env=env)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(f"--product-version '{bad}' is no product "
                              "version: major.minor.build, at most "
                              "127.255.65535", result.stderr)
                self.assertEqual(os.listdir(self.ws.out_dir), [])
                self.assertFalse(os.path.exists(build_dir))


class SigningTest(unittest.TestCase):
    """A throwaway CA and a code-signing certificate of it, in a PKCS#12
    file with a password."""

    @classmethod
    def setUpClass(cls):
        cls.holder = tempfile.TemporaryDirectory()
        cls.keys = cls.holder.name
        make_signing_keys(cls.keys)
        cls.ca = os.path.join(cls.keys, "ca.pem")

    @classmethod
    def path(cls, name):
        return os.path.join(cls.keys, name)

    @classmethod
    def tearDownClass(cls):
        cls.holder.cleanup()

    def setUp(self):
        self.ws = Workspace()
        self.addCleanup(self.ws.close)
        self.out = os.path.join(self.ws.out_dir, "release.msi")

    def package(self, *extra, env=None, programs=True):
        args = ["--family", "ZR700", "--image", self.ws.image,
                "--version", "V1.0.7", "--out", self.out]
        if programs:
            args += ["--programs", bin_dir()]
        return run_package(*args, *extra, env=env)

    def signed(self):
        result = self.package("--sign-pkcs12", self.path("signer.p12"),
                              "--sign-password-file", self.path("password"))
        self.assertEqual(result.returncode, 0, result.stderr)
        return result

    def test_package_and_both_programs_in_it_verify_against_the_ca(self):
        result = self.signed()
        self.assertIn(", signed)", result.stdout)
        ok, report = verify(self.out, self.ca)
        self.assertTrue(ok, report)
        self.assertIn("Throwaway test signer", report)
        files = extract(self.out, self.ws.file("extracted"))
        for name in SHIPPED:
            with self.subTest(name):
                ok, report = verify(files[name], self.ca)
                self.assertTrue(ok, report)
                self.assertIn("Signature verification: ok", report)
        # The build's own programs stay unsigned.
        for name in SHIPPED:
            self.assertFalse(verify(os.path.join(bin_dir(), name),
                                    self.ca)[0])

    def test_the_tools_are_signed_as_the_programs_are(self):
        tools = self.ws.file("tools")
        os.mkdir(tools)
        result = self.package("--sign-pkcs12", self.path("signer.p12"),
                              "--sign-password-file", self.path("password"),
                              "--tools-out", tools)
        self.assertEqual(result.returncode, 0, result.stderr)
        for name in TOOLS:
            with self.subTest(name):
                ok, report = verify(os.path.join(tools, name), self.ca)
                self.assertTrue(ok, report)
                self.assertIn("Throwaway test signer", report)
                self.assertFalse(verify(os.path.join(bin_dir(), name),
                                        self.ca)[0])
        self.assertIn(f"tools: {tools} (upgrade_runner.exe "
                      "recorder/AdbWinApi.dll, signed)", result.stdout)

    def test_a_password_file_others_may_read_gets_a_warning(self):
        password = self.ws.file("password")
        with open(self.path("password")) as f, open(password, "w") as copy:
            copy.write(f.read())
        for mode, warned in ((0o600, False), (0o640, True), (0o604, True)):
            with self.subTest(oct(mode)):
                os.chmod(password, mode)
                result = self.package("--sign-pkcs12", self.path("signer.p12"),
                                      "--sign-password-file", password,
                                      "--overwrite")
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(
                    f"package: warning: the password file '{password}' can be "
                    "read by other users than its owner (chmod 600 it)"
                    in result.stderr, warned, result.stderr)

    def test_a_file_without_password_needs_no_password_file(self):
        result = self.package("--sign-pkcs12",
                              self.path("signer-no-password.p12"))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(verify(self.out, self.ca)[0])

    def test_another_ca_does_not_vouch_for_the_package(self):
        self.signed()
        other = self.ws.file("other-ca")
        os.mkdir(other)
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
            "-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj",
            "/CN=Another CA", cwd=other).check_returncode()
        self.assertFalse(verify(self.out, os.path.join(other, "ca.pem"))[0])

    def test_a_changed_byte_fails_verification(self):
        self.signed()
        files = extract(self.out, self.ws.file("extracted"))
        for name in SHIPPED:
            with self.subTest(name):
                with open(files[name], "r+b") as f:
                    # Inside the code, well before the signature at the end.
                    f.seek(0x1400)
                    byte = f.read(1)
                    f.seek(0x1400)
                    f.write(bytes([byte[0] ^ 0x01]))
                ok, report = verify(files[name], self.ca)
                self.assertFalse(ok, report)
        # A package whose settings were changed after signing.
        run("msibuild", self.out, "-q",
            "UPDATE `Property` SET `Value` = '1' WHERE `Property` = "
            "'BFORCE'").check_returncode()
        self.assertFalse(verify(self.out, self.ca)[0])

    def test_without_signing_options_nothing_is_signed(self):
        result = self.package()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNotIn("signed", result.stdout)
        self.assertFalse(verify(self.out, self.ca)[0])
        files = extract(self.out, self.ws.file("extracted"))
        for name in SHIPPED:
            with open(files[name], "rb") as packed, \
                 open(os.path.join(bin_dir(), name), "rb") as built:
                self.assertEqual(packed.read(), built.read(), name)

    def test_bad_signing_arguments_end_with_2_and_no_package(self):
        missing = self.ws.file("missing.p12")
        cases = [
            (["--sign-pkcs12", self.path("signer.p12"),
              "--sign-password-file", self.path("wrong-password")],
             f"--sign-pkcs12: '{self.path('signer.p12')}' does not open with "
             "the password given: a wrong password, or no PKCS#12 file"),
            (["--sign-pkcs12", self.path("signer.p12")],
             "does not open with the password given"),
            (["--sign-pkcs12", self.path("not-pkcs12.p12"),
              "--sign-password-file", self.path("password")],
             "does not open with the password given"),
            (["--sign-pkcs12", missing],
             f"--sign-pkcs12: '{missing}' does not exist or cannot be read"),
            (["--sign-pkcs12", self.path("signer.p12"),
              "--sign-password-file", self.ws.file("missing-password")],
             f"--sign-password-file: '{self.ws.file('missing-password')}' "
             "does not exist or cannot be read"),
            (["--sign-pkcs12", self.path("certificate-only.p12"),
              "--sign-password-file", self.path("password")],
             "holds no certificate with its private key"),
            (["--sign-pkcs12", self.path("signer.p12"),
              "--sign-password-file", self.path("password"),
              "--timestamp-url", "ftp://tsa.example/"],
             "--timestamp-url 'ftp://tsa.example/' is no http:// or "
             "https:// URL"),
            (["--sign-password-file", self.path("password")],
             "--sign-password-file needs --sign-pkcs12"),
            (["--timestamp-url", "http://tsa.example/"],
             "--timestamp-url needs --sign-pkcs12"),
        ]
        build_dir = self.ws.file("build-never-made")
        env = dict(os.environ, BUILD_DIR=build_dir)
        for args, message in cases:
            with self.subTest(args):
                result = self.package(*args, env=env, programs=False)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(os.listdir(self.ws.out_dir), [])
                self.assertFalse(os.path.exists(build_dir))

    def test_failed_time_stamp_ends_with_1_and_no_package(self):
        # Nothing listens on the discard port of this machine.
        result = self.package("--sign-pkcs12", self.path("signer.p12"),
                              "--sign-password-file", self.path("password"),
                              "--timestamp-url", "http://127.0.0.1:9/")
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn(f"package: signing {PROGRAM} failed:", result.stderr)
        self.assertEqual(os.listdir(self.ws.out_dir), [])


if __name__ == "__main__":
    unittest.main()
