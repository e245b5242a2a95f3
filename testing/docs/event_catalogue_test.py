"""The troubleshooting catalogue lists exactly the event texts the service and
the upgrade library write, and exactly the runner's exit codes."""

import pathlib
import tempfile
import textwrap
import unittest

import event_catalogue

ROOT = pathlib.Path(__file__).resolve().parents[2]


class CatalogueTest(unittest.TestCase):

    def test_catalogue_and_sources_agree(self):
        report = event_catalogue.differences(ROOT)
        self.assertEqual(report, [], "\n" + "\n".join(report))

    def test_the_sources_write_the_texts_administrators_see(self):
        # A few events from each source, as the end-to-end run sees them:
        # if the extraction stopped finding them, the check above would pass
        # over an empty list.
        events = {e.key(): e.type
                  for e in event_catalogue.SourceTree(ROOT).events()}
        expected = {
            ("VelunorUpdateService", ("ZR700 Arrival", "%s")): "Information",
            ("VelunorUpdateService",
             ("Open HLKM\\Software\\VelunorUpdate\\Rk7x10 fail",)): "Error",
            ("VelunorUpdateService",
             ("can not load velunorUpdateExport.dll: %d",)): "Error",
            ("VelunorUpdateService",
             ("update file : ", "%s", "bForce : ", "%s", "bUpdate : ", "%s",
              "version : ", "%s")): "Information",
            ("velunorUpdateExport", ("Failed to read the status\\n",)): "Error",
            ("velunorUpdateExport",
             ("Failed to get status in %d times retries.\\n",)): "Error",
            ("velunorUpdateExport",
             ("veluSyncData transporting.........",)): "Success",
        }
        for key, type_name in expected.items():
            with self.subTest(key=key):
                self.assertEqual(events.get(key), type_name)


SERVICE_SOURCE = """\
struct Family {
  const wchar_t* name;
  const wchar_t* ids[2];
  const wchar_t* failure;
};
const Family kFamilies[] = {{L"A", {L"1", nullptr}, L"Open A fail"},
                            {L"B", {nullptr, nullptr}, L"Open B fail"}};
constexpr char kFormat[] = "count %d "
                           "of %d";
void f(const Family& family, const char* value) {
  reportEvent(EVENTLOG_ERROR_TYPE, family.failure);
  reportEventFormat(EVENTLOG_INFORMATION_TYPE, kFormat, 1, 2);
  const char* strings[] = {"name : ", value};
  reportEventStrings(EVENTLOG_INFORMATION_TYPE, strings, 2);
  if (value) reportEvent(EVENTLOG_ERROR_TYPE, L"new text");
}
"""

UPGRADE_SOURCE = """\
void g() {
  reportEvent(EVENTLOG_SUCCESS, U16("U16 text\\n"));
}
constexpr int kPulled = -7;
constexpr int kDisagreed = -8;
int h(int result) {
  if (result == 0) {
    reportEvent(EVENTLOG_ERROR_TYPE, L"count disagreed");
    return kDisagreed;
  }
  if (result == 1) {
    reportEvent(EVENTLOG_ERROR_TYPE, L"count disagreed");
    std::fputs("pulled", stderr);
    return kPulled;
  }
  reportEvent(EVENTLOG_ERROR_TYPE, L"read");
  return result;
}
void nine(const char** strings) {
  const char* texts[] = {"1", "2", "3", "4", "5", "6", "7", "8", "9"};
  reportEventStrings(EVENTLOG_ERROR_TYPE, texts, 9);
}
"""

CATALOGUE = """\
## Events of `VelunorUpdateService`

#### `Open A fail`
**Type:** Error.

Written in: `service/family.cc: f`.

#### `Open B fail`
**Type:** Error.

Written in: `service/family.cc: openFamily`.

#### `count %d of %d`
**Type:** Error.

Written in: `service/family.cc: f`.

#### `name : ` `%s`
**Type:** Information.

Written in: `service/family.cc: f`.

#### `a text nobody writes`
**Type:** Information.

## Events of `velunorUpdateExport`

#### `U16 text\\n`
**Type:** Success.

Written in: `upgrade/entry.cc: g`.

#### `count disagreed`
**Type:** Error. The device's count disagreed (code -8), or it was pulled
(code -7 or -10).

Written in: `upgrade/entry.cc: h`.

#### `read`
**Type:** Error. Nothing to check (code -3): its return is a variable.

Written in: `upgrade/entry.cc: h`.

## The runner's exit codes

| Code | Meaning |
|---|---|
| 0 | upgraded |
| 9 | gone |
"""


class ReportTest(unittest.TestCase):
    """What the check says when the catalogue and the sources disagree."""

    def tree(self, files):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        root = pathlib.Path(directory.name)
        for relative, text in files.items():
            path = root / relative
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(textwrap.dedent(text))
        return root

    def files(self, **changes):
        files = {
            "service/family.cc": SERVICE_SOURCE,
            "upgrade/entry.cc": UPGRADE_SOURCE,
            "common/event_report.h": "constexpr WORD kEventMostStrings = 8;\n",
            "tools/runner/upgrade_runner.cc":
                "constexpr int kExitUpgraded = 0;\nconstexpr int kExitUsage = 2;\n",
            "tools/runner/recorded_run.h":
                "constexpr int kExitNotRecorded = 7;\n",
            "tools/runner/folder_trust.h": "",
            "docs/troubleshooting.md": CATALOGUE,
        }
        files.update(changes)
        return files

    def test_each_disagreement_is_named(self):
        report = "\n".join(event_catalogue.differences(self.tree(self.files())))
        cases = [
            ("a text written and not listed, with where it is written",
             "[VelunorUpdateService, Error] `new text`    "
             "(service/family.cc:15)"),
            ("a text listed and written nowhere",
             "[VelunorUpdateService] `a text nobody writes`"),
            ("a listed text of another type",
             "Type of `count %d of %d` [VelunorUpdateService] is Information "
             "in the sources, Error"),
            ("an exit code the runner has and the table lacks",
             "Runner exit code 2 (tools/runner/upgrade_runner.cc) is missing"),
            ("an exit code of --record's folder that the table lacks",
             "Runner exit code 7 (tools/runner/recorded_run.h) is missing"),
            ("an exit code the table lists and the runner lacks",
             "Runner exit code 9 is listed"),
            ("a function that writes a text its entry does not name",
             "`Open B fail` [VelunorUpdateService] is written in "
             "`service/family.cc: f`, which its entry"),
            ("a result code its function does not return with the text",
             "`count disagreed` [velunorUpdateExport]: its entry "
             "(docs/troubleshooting.md line 33) names code -10, which no "
             "function writing it returns with it (they return -8 or -7)"),
            ("an event with more strings than the message table holds",
             "`1` `2` `3` `4` `5` `6` `7` `8` `9` [velunorUpdateExport] has 9 "
             "strings, more than the message table holds"),
            ("a function an entry names that no longer writes its text",
             "`Open B fail` [VelunorUpdateService]: its entry "
             "(docs/troubleshooting.md line 8) names "
             "`service/family.cc: openFamily`, which does not write it"),
        ]
        for what, line in cases:
            with self.subTest(what):
                self.assertIn(line, report)
        for agreeing in ("`Open A fail`", "`name : `", "`U16 text\\n`",
                         "code -8", "code -7", "`read`"):
            with self.subTest(agreeing=agreeing):
                self.assertNotIn(agreeing, report)

    def test_writers_are_the_functions_around_the_calls(self):
        source = textwrap.dedent("""\
            namespace {
            bool Transport::usb_write(const char* data) const {
              auto report = [&]() { reportEvent(EVENTLOG_ERROR_TYPE, L"in lambda"); };
              if (data == nullptr) { reportEvent(EVENTLOG_ERROR_TYPE, L"in if"); }
              return true;
            }
            }  // namespace
            DWORD WINAPI worker(LPVOID) {
              reportEvent(EVENTLOG_INFORMATION_TYPE, L"in worker");
              return 0;
            }
            """)
        root = self.tree(self.files(**{"upgrade/entry.cc": source}))
        writers = {e.strings[0]: e.writer
                   for e in event_catalogue.SourceTree(root).events()
                   if e.where.startswith("upgrade/")}
        self.assertEqual(writers, {
            "in lambda": "upgrade/entry.cc: Transport::usb_write",
            "in if": "upgrade/entry.cc: Transport::usb_write",
            "in worker": "upgrade/entry.cc: worker",
        })

    def test_a_text_that_cannot_be_traced_fails_the_check(self):
        source = "void h(const wchar_t* text) {\n  reportEvent(EVENTLOG_ERROR_TYPE, text);\n}\n"
        root = self.tree(self.files(**{"upgrade/entry.cc": source}))
        with self.assertRaisesRegex(event_catalogue.Untraceable,
                                    "upgrade/entry.cc:2"):
            event_catalogue.differences(root)


if __name__ == "__main__":
    unittest.main()
