"""What a security scanner checks in the two shipped binaries, and in the
runner and its recorder, which run elevated at sites.

Read from their PE headers: address space layout randomisation with high
entropy (and the relocations it needs), no execution from data pages, no
section both writable and executable, imports only of Windows' own DLLs and
AdbWinApi.dll; in their bytes, no path of the machine that built them; and
in their code, calls of the stack protector's check from functions of their
own, found by the addresses that the debug file beside each binary names;
and, in an object built with their options, the checked form of a copy the
compiler cannot bound. Their folders (the build's bin) hold nothing else but
the debug files beside them: bin can be copied to a PC as it is, with no test
program or virtual AdbWinApi.dll among the real tools.

    SHIPPED_BINARIES=a.exe:b.dll BUILD_PATHS=/src:/build python3 -m unittest shipped_binaries_test

Each check of the headers and bytes also runs against copies of the binaries
with one fault made in them, and must find exactly that fault.
"""

import bisect
import os
import re
import struct
import subprocess
import tempfile
import unittest

DLL_CHARACTERISTICS = {
    "high-entropy VA": 0x0020,
    "dynamic base": 0x0040,
    "NX compatible": 0x0100,
}
RELOCS_STRIPPED = 0x0001
SECTION_EXECUTE = 0x20000000
SECTION_WRITE = 0x80000000
PE32_PLUS = 0x20B
IMPORT_DIRECTORY = 1
RELOCATION_DIRECTORY = 5
DELAY_IMPORT_DIRECTORY = 13

# DLLs that every supported Windows carries in System32, and the one the
# upgrade library is built against. A new import outside this list must be
# a decision, not an accident of the toolchain (a mingw runtime DLL, say).
ALLOWED_IMPORTS = {
    "adbwinapi.dll", "advapi32.dll", "bcrypt.dll", "cfgmgr32.dll",
    "crypt32.dll", "kernel32.dll", "msi.dll", "msvcrt.dll", "ntdll.dll",
    "ole32.dll", "oleaut32.dll", "rpcrt4.dll", "secur32.dll", "setupapi.dll",
    "shell32.dll", "shlwapi.dll", "user32.dll", "userenv.dll",
    "version.dll", "ws2_32.dll", "wtsapi32.dll",
}

# Of them, those on the known-DLL list of every supported Windows.
KNOWN_DLLS = {
    "advapi32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll",
    "oleaut32.dll", "rpcrt4.dll", "setupapi.dll", "shell32.dll",
    "shlwapi.dll", "user32.dll", "ws2_32.dll",
}


class PeImage:
    """The parts of a PE32+ file the checks read."""

    def __init__(self, data):
        self.data = data
        (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
        if data[pe_offset:pe_offset + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        coff = pe_offset + 4
        (_, sections, _, _, _, optional_size,
         self.file_characteristics) = struct.unpack_from("<HHIIIHH", data, coff)
        self.file_characteristics_offset = coff + 18
        self.optional = coff + 20
        (magic,) = struct.unpack_from("<H", data, self.optional)
        if magic != PE32_PLUS:
            raise ValueError("not a 64-bit image")
        self.dll_characteristics_offset = self.optional + 70
        (self.dll_characteristics,) = struct.unpack_from(
            "<H", data, self.dll_characteristics_offset)
        (directories,) = struct.unpack_from("<I", data, self.optional + 108)
        self.directories = [
            struct.unpack_from("<II", data, self.optional + 112 + 8 * i)
            for i in range(directories)]
        self.section_table = self.optional + optional_size
        self.sections = []
        for i in range(sections):
            header = self.section_table + 40 * i
            name = data[header:header + 8].rstrip(b"\0").decode("latin-1")
            (virtual_size, address, raw_size, raw_offset) = struct.unpack_from(
                "<IIII", data, header + 8)
            (characteristics,) = struct.unpack_from("<I", data, header + 36)
            self.sections.append((name, address, max(virtual_size, raw_size),
                                  raw_offset, characteristics, header + 36))

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def offset(self, rva):
        for _, address, size, raw_offset, _, _ in self.sections:
            if address <= rva < address + size:
                return raw_offset + rva - address
        raise ValueError(f"RVA {rva:#x} is in no section")

    def string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("latin-1")

    def import_names(self):
        """(name, file offset of the name) of each DLL imported, directly
        or delay-loaded."""
        names = []
        for index, entry_size, name_field in ((IMPORT_DIRECTORY, 20, 12),
                                              (DELAY_IMPORT_DIRECTORY, 32, 4)):
            rva, _ = self.directory(index)
            if rva == 0:
                continue
            entry = self.offset(rva)
            while any(self.data[entry:entry + entry_size]):
                (name_rva,) = struct.unpack_from("<I", self.data,
                                                 entry + name_field)
                names.append((self.string(name_rva), self.offset(name_rva)))
                entry += entry_size
        return names

    def imports(self):
        return [name for name, _ in self.import_names()]


def header_faults(image):
    faults = [f"{name} is off" for name, flag in DLL_CHARACTERISTICS.items()
              if not image.dll_characteristics & flag]
    if (image.file_characteristics & RELOCS_STRIPPED or
            image.directory(RELOCATION_DIRECTORY)[1] == 0):
        faults.append("no relocations: the image cannot move")
    for name, _, _, _, characteristics, _ in image.sections:
        if characteristics & SECTION_WRITE and characteristics & SECTION_EXECUTE:
            faults.append(f"section {name} is writable and executable")
    return faults


def import_faults(image):
    return [f"imports {name}" for name in image.imports()
            if name.lower() not in ALLOWED_IMPORTS]


def path_faults(data, paths):
    faults = []
    for path in paths:
        for encoding in ("latin-1", "utf-16-le"):
            if path.encode(encoding) in data:
                faults.append(f"contains {path} ({encoding})")
    return faults


# The stack protector's own functions (libssp, linked statically): a call
# from one of them proves nothing about our code.
STACK_CHECK = "__stack_chk_fail"
PROTECTOR_RUNTIME = re.compile(r"^(__stack_chk_fail(_local)?|__chk_fail|__\w+_chk)$")


def function_symbols(debug_file):
    """{address: name} of the functions the debug file names."""
    output = subprocess.run(
        ["x86_64-w64-mingw32-nm", "--defined-only", debug_file],
        capture_output=True, text=True, check=True).stdout
    symbols = {}
    for line in output.splitlines():
        fields = line.split()
        if len(fields) == 3 and fields[1] in "Tt":
            symbols.setdefault(int(fields[0], 16), fields[2])
    return symbols


def callers_of(binary, symbols, callee):
    """The functions that call `callee` directly, from the binary's code."""
    output = subprocess.run(
        ["x86_64-w64-mingw32-objdump", "-d", "--no-show-raw-insn", binary],
        capture_output=True, text=True, check=True).stdout
    addresses = sorted(symbols)
    targets = {address for address, name in symbols.items() if name == callee}
    callers = set()
    for match in re.finditer(r"^\s*([0-9a-f]+):\s+call\s+(?:0x)?([0-9a-f]+)\b",
                             output, re.M):
        if int(match.group(2), 16) in targets:
            at = bisect.bisect_right(addresses, int(match.group(1), 16)) - 1
            callers.add(symbols[addresses[at]] if at >= 0 else "?")
    return callers


def stack_protector_faults(binary):
    """Without -fstack-protector-strong no function of ours calls the
    check; the runtime's own functions do not count."""
    callers = callers_of(binary, function_symbols(binary + ".debug"),
                         STACK_CHECK)
    ours = {name for name in callers if not PROTECTOR_RUNTIME.match(name)}
    return [] if ours else [f"no function of its own calls {STACK_CHECK}"]


def fortified_calls(object_file):
    """The checked forms (`__memcpy_chk` and the like) an object calls."""
    output = subprocess.run(
        ["x86_64-w64-mingw32-objdump", "-dr", object_file],
        capture_output=True, text=True, check=True).stdout
    return set(re.findall(r"IMAGE_REL_AMD64_REL32\s+(__\w+_chk)\b", output))


def faults_of(data, paths):
    image = PeImage(data)
    return header_faults(image) + import_faults(image) + path_faults(data, paths)


def build_paths():
    """The build machine's paths: given ones, the home folder, /tmp, .cache."""
    paths = [p for p in os.environ.get("BUILD_PATHS", "").split(os.pathsep) if p]
    home = os.path.expanduser("~")
    if home not in ("", "/"):
        paths.append(home)
    return paths + ["/tmp", ".cache"]


def shipped_binaries():
    return [p for p in os.environ.get("SHIPPED_BINARIES", "").split(os.pathsep)
            if p]


def strangers(binaries):
    """What else lies in the binaries' folders: any file but the binaries
    and their debug files, any folder but theirs."""
    binaries = [os.path.abspath(path) for path in binaries]
    folders = {os.path.dirname(path) for path in binaries}
    expected = folders.union(binaries, [path + ".debug" for path in binaries])
    return sorted(os.path.join(folder, name) for folder in folders
                  for name in os.listdir(folder)
                  if os.path.join(folder, name) not in expected)


# --- One fault made in a copy of a binary ---

def clear_flag(flag):
    def make(data, image):
        value = image.dll_characteristics & ~flag
        struct.pack_into("<H", data, image.dll_characteristics_offset, value)
    return make


def strip_relocations(data, image):
    struct.pack_into("<H", data, image.file_characteristics_offset,
                     image.file_characteristics | RELOCS_STRIPPED)


def make_code_writable(data, image):
    for name, _, _, _, characteristics, offset in image.sections:
        if name == ".text":
            struct.pack_into("<I", data, offset, characteristics | SECTION_WRITE)


def rename_import(new_name):
    """Renames the longest import in place, the name padded with zeros."""
    def make(data, image):
        old, start = max(image.import_names(), key=lambda entry: len(entry[0]))
        new = new_name.encode("latin-1")
        assert len(new) <= len(old)
        data[start:start + len(old)] = new.ljust(len(old), b"\0")
    return make


def append_text(text, encoding):
    def make(data, image):
        data.extend(b"\0" + text.encode(encoding) + b"\0")
    return make


# (what is made, the fault the checks must name)
FAULTS = [
    (clear_flag(0x0040), "dynamic base is off"),
    (clear_flag(0x0020), "high-entropy VA is off"),
    (clear_flag(0x0100), "NX compatible is off"),
    (strip_relocations, "no relocations: the image cannot move"),
    (make_code_writable, "section .text is writable and executable"),
    (rename_import("libssp-0.dll"), "imports libssp-0.dll"),
    (rename_import("WINTRUST.dll"), "imports WINTRUST.dll"),
    (append_text("/tmp/openssl-3.0.20/crypto", "latin-1"),
     "contains /tmp (latin-1)"),
    (append_text("Z:\\srv\\.cache\\openssl", "utf-16-le"),
     "contains .cache (utf-16-le)"),
]


class ShippedBinariesTest(unittest.TestCase):

    def setUp(self):
        self.binaries = shipped_binaries()
        self.assertEqual(len(self.binaries), 5,
                         "SHIPPED_BINARIES names five files")

    def read(self, path):
        with open(path, "rb") as f:
            return f.read()

    def test_binaries_pass_every_check(self):
        for path in self.binaries:
            with self.subTest(binary=os.path.basename(path)):
                self.assertEqual(faults_of(self.read(path), build_paths()), [])

    def test_functions_of_each_binary_call_the_stack_protectors_check(self):
        for path in self.binaries:
            with self.subTest(binary=os.path.basename(path)):
                self.assertEqual(stack_protector_faults(path), [])

    def test_the_binaries_options_fortify_a_copy_they_cannot_bound(self):
        # The shipped code has no such copy of its own; the probe is built
        # with the same options, so without _FORTIFY_SOURCE it calls memcpy.
        probe = os.environ.get("FORTIFY_PROBE", "")
        self.assertTrue(os.path.isfile(probe),
                        f"FORTIFY_PROBE '{probe}' is no object file")
        self.assertIn("__memcpy_chk", fortified_calls(probe))

    def test_binaries_import_only_system_dlls_and_the_library_adbwinapi(self):
        imports = {os.path.basename(path): {name.lower() for name in
                                            PeImage(self.read(path)).imports()}
                   for path in self.binaries}
        self.assertIn("kernel32.dll", imports["VlnrZR700UpdateService.exe"])
        self.assertNotIn("adbwinapi.dll", imports["VlnrZR700UpdateService.exe"])
        self.assertIn("adbwinapi.dll", imports["velunorUpdateExport.dll"])

    def test_the_runner_imports_only_known_dlls(self):
        # Elevated, the runner checks its folders in main; a DLL bound
        # before that from beside it would run first. Windows loads the DLLs
        # on its known-DLL list (HKLM\SYSTEM\CurrentControlSet\Control\
        # Session Manager\KnownDLLs) from System32 alone.
        runner = [path for path in self.binaries
                  if os.path.basename(path) == "upgrade_runner.exe"]
        self.assertEqual(len(runner), 1)
        imports = {name.lower() for name in
                   PeImage(self.read(runner[0])).imports()}
        self.assertLessEqual(imports, KNOWN_DLLS)

    def test_their_folders_hold_nothing_else(self):
        self.assertEqual(strangers(self.binaries), [],
                         "the build's bin holds files that do not ship (left "
                         "by an older build? remove bin and build again)")

    def test_a_file_planted_among_them_is_found(self):
        # The same layout with empty files, then a stranger of each kind.
        top = os.path.commonpath(self.binaries)
        with tempfile.TemporaryDirectory() as folder:
            copies = [os.path.join(folder, os.path.relpath(path, top))
                      for path in self.binaries]
            for copy in copies:
                os.makedirs(os.path.dirname(copy), exist_ok=True)
                for name in (copy, copy + ".debug"):
                    open(name, "wb").close()
            self.assertEqual(strangers(copies), [])
            recorder = os.path.dirname(copies[-1])
            planted = [os.path.join(folder, "AdbWinApi.dll"),
                       os.path.join(recorder, "recorder_test.exe"),
                       os.path.join(folder, "tests")]
            open(planted[0], "wb").close()
            open(planted[1], "wb").close()
            os.mkdir(planted[2])
            self.assertEqual(strangers(copies), sorted(planted))

    def test_each_fault_made_in_a_copy_is_found(self):
        for path in self.binaries:
            original = self.read(path)
            for make, expected in FAULTS:
                with self.subTest(binary=os.path.basename(path), fault=expected):
                    data = bytearray(original)
                    make(data, PeImage(original))
                    self.assertEqual(faults_of(bytes(data), build_paths()),
                                     [expected])


if __name__ == "__main__":
    unittest.main()
