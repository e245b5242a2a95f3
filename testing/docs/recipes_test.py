"""The fleet recipes of docs/deploying.md against the code.

Every registry path, value name and state the recipes name must be one the
service or the package writes: the names are read from the sources
(string literals of the outcome record, the device families and the event
sources) and from the package's source, never listed here, so states and
values added to the code are known as soon as they are there. Every
PowerShell script parses with the tree-sitter PowerShell grammar (no
PowerShell runs here; scripts/setup.sh installs the grammar). The event-log
filters and queries of every manual name the registered event sources and
texts the sources write.
"""

import json
import os
import pathlib
import re
import shutil
import subprocess
import unittest

import event_catalogue

ROOT = pathlib.Path(__file__).resolve().parents[2]
DEPLOYING = ROOT / "docs/deploying.md"
MANUALS = ("docs/deploying.md", "docs/troubleshooting.md", "docs/development.md",
           "tools/runner/README.md", "packaging/README.md")
RECIPES_HEADING = "### Across a fleet"
# What the record's names are read from.
NAME_SOURCES = ("service/outcome_record.h", "service/outcome_record.cc",
                "service/device_family.cc")
PACKAGE = "packaging/velunor-update.wxs"
EVENT_SOURCE_NAMES = ("service/service_identity.h", "service/event_sources.h")
# The recipes' own outputs and the commands the prose names: not names of the
# record.
RECIPE_WORDS = {"done", "no record", "cmd", "find", "for", "reg query",
                "instance of"}
# Properties PowerShell gives every registry item.
POWERSHELL_PROPERTIES = {"PSPath", "PSChildName", "PSParentPath", "PSProvider",
                         "Count"}
NODE_MODULES = pathlib.Path(os.environ.get(
    "VELUNOR_NODE_MODULES",
    pathlib.Path.home() / ".cache/velunor-update/node-tools/node_modules"))
PARSER = pathlib.Path(__file__).with_name("powershell_parse.cjs")

LITERAL = re.compile(r'(?:u8|u|U|L)?"((?:\\.|[^"\\\n])*)"')


def literals(relative):
    text = (ROOT / relative).read_text()
    return {bytes(m, "utf-8").decode("unicode_escape")
            for m in LITERAL.findall(text)}


def code_names():
    """Every name the service's record code and the package write: the
    literals of the sources, the words and path parts of the package."""
    names = set()
    for relative in NAME_SOURCES:
        for literal in literals(relative):
            names.add(literal)
            names.update(part for part in literal.split("\\") if part)
    package = (ROOT / PACKAGE).read_text()
    for value in re.findall(r'(?:ExeCommand|Key|Name|Value)="([^"]*)"',
                            package):
        names.update(re.split(r"[\\ ]+", value))
    return names


def families():
    keys = literals("service/device_family.cc")
    return {m.group(1) for key in keys
            for m in [re.fullmatch(r"Software\\VelunorUpdate\\(\w+)", key)] if m}


def recipes():
    text = DEPLOYING.read_text()
    start = text.index(RECIPES_HEADING)
    end = text.find("\n## ", start)
    return text[start:] if end < 0 else text[start:end]


def blocks(text, language):
    return re.findall(r"```%s\n(.*?)```" % language, text, re.S)


def registry_paths(text):
    """The parts below VelunorUpdate of every path to the record."""
    text = text.replace("\\\\", "\\")
    pattern = re.compile(r"(?i)SOFTWARE\\VelunorUpdate((?:\\[^\\\s'\"|`)]+)+)")
    return [m.group(1).strip("\\").split("\\") for m in pattern.finditer(text)]


def value_names(text):
    names = set(re.findall(r"\$(?:record|_)\.(\w+)", text))
    names.update(re.findall(r"/v (\w+)", text))
    names.update(re.findall(r'Outcome\|(\w+)"\)', text.replace("\\\\", "\\")))
    return names - POWERSHELL_PROPERTIES


def states(text):
    """States the scripts compare with, list as done, or count."""
    found = set()
    for listed in re.findall(r"\$done = @\(([^)]*)\)", text):
        found.update(re.findall(r"'([^']*)'", listed))
    found.update(re.findall(r"-(?:eq|ne) '([^']*)'", text))
    found.update(re.findall(r'find /c ",([^"]+)"', text))
    found.update(re.findall(r"`,([a-z][a-z ]*)`", text))
    return found


def prose_words(text):
    """Backticked lower-case words outside the code: states, value names,
    event texts."""
    prose = re.sub(r"```.*?```", "", text, flags=re.S)
    prose = "\n".join(line for line in prose.splitlines()
                      if not line.startswith("    "))
    return {w.replace("\n", " ").replace("  ", "")
            for w in re.findall(r"`([^`]+)`", prose)
            if re.fullmatch(r"[a-z][a-z ,\n]*", w)}


class RecipesTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.text = recipes()
        cls.names = code_names()
        cls.families = families()

    def test_every_registry_path_names_the_record_as_the_code_writes_it(self):
        paths = registry_paths(self.text)
        self.assertGreaterEqual(len(paths), 6)
        self.assertTrue(self.families)
        for parts in paths:
            with self.subTest(path="\\".join(parts)):
                self.assertIn(parts[0].lower(),
                              {f.lower() for f in self.families} |
                              {"<family>", "name"})  # placeholders
                for part in parts[1:]:
                    self.assertIn(part, self.names)
        # Keys the scripts append to the record's path.
        appended = re.findall(r'"\$outcome\\(\w+)"', self.text)
        self.assertTrue(appended)
        for part in appended:
            with self.subTest(appended=part):
                self.assertIn(part, self.names)

    def test_every_value_name_is_one_the_record_holds(self):
        names = value_names(self.text)
        self.assertTrue({"state", "result"} <= names, names)
        for name in names:
            with self.subTest(value=name):
                self.assertIn(name, self.names)

    def test_every_state_is_one_the_code_writes_and_started_counts_as_done(self):
        found = states(self.text)
        self.assertIn("upgraded", found)
        for state in found:
            with self.subTest(state=state):
                self.assertIn(state, self.names)
        for done in re.findall(r"\$done = @\(([^)]*)\)", self.text):
            with self.subTest(done=done):
                self.assertEqual(set(re.findall(r"'([^']*)'", done)),
                                 {"upgraded", "started"})
        for script in blocks(self.text, "powershell"):
            with self.subTest(script=script.splitlines()[0]):
                self.assertIn("$done", script)
                self.assertIn("\\Devices", script)

    def test_words_the_prose_names_are_names_or_event_texts_of_the_code(self):
        events = {s for e in event_catalogue.SourceTree(ROOT).events()
                  for s in e.strings}
        for word in prose_words(self.text):
            with self.subTest(word=word):
                self.assertTrue(word.lstrip(",") in self.names | RECIPE_WORDS
                                or word in events, word)

    def test_event_log_filters_name_registered_sources_and_written_texts(self):
        sources = set()
        for relative in EVENT_SOURCE_NAMES:
            sources |= literals(relative)
        events = {s for e in event_catalogue.SourceTree(ROOT).events()
                  for s in e.strings}
        checked = 0
        for manual in MANUALS:
            text = (ROOT / manual).read_text()
            named = re.findall(r"ProviderName\s*=\s*'([^']+)'", text)
            named += re.findall(r"Provider\[@Name='([^']+)'\]", text)
            for name in named:
                checked += 1
                with self.subTest(manual=manual, source=name):
                    self.assertIn(name, sources)
            for data in re.findall(r"Data='([^']+)'", text):
                checked += 1
                with self.subTest(manual=manual, text=data):
                    self.assertIn(data, events)
        self.assertGreaterEqual(checked, 4)

    def test_every_powershell_script_parses(self):
        scripts = blocks(self.text, "powershell")
        self.assertGreaterEqual(len(scripts), 3)
        node = shutil.which("node") or shutil.which("nodejs")
        self.assertIsNotNone(node, "node is missing: run scripts/setup.sh")
        self.assertTrue((NODE_MODULES / "tree-sitter-powershell").is_dir(),
                        "the grammar is missing: run scripts/setup.sh")
        run = subprocess.run([node, str(PARSER)], input=json.dumps(scripts),
                             capture_output=True, text=True, timeout=120,
                             env=dict(os.environ, NODE_PATH=str(NODE_MODULES)))
        self.assertEqual(run.returncode, 0, run.stderr)
        results = json.loads(run.stdout)
        for script, result in zip(scripts, results):
            with self.subTest(script=script.splitlines()[0]):
                self.assertEqual(result["errors"], [])
        # The grammar does report a broken script.
        broken = subprocess.run([node, str(PARSER)],
                                input=json.dumps(["if ($x { 'a' "]),
                                capture_output=True, text=True, timeout=120,
                                env=dict(os.environ,
                                         NODE_PATH=str(NODE_MODULES)))
        self.assertNotEqual(json.loads(broken.stdout)[0]["errors"], [])


if __name__ == "__main__":
    unittest.main()
