"""Compares the event texts the two deliverables write with their catalogue.

The sources are read as C++ tokens, never compiled: every call that reports
an event (reportEvent, reportEventFormat, reportEventStrings, ReportEventW) is
found, and its strings are traced back to the literals they come from: a
literal at the call, a named constant, a local array of strings, or a field
of a table of structs (the device families). A string that is not a literal
(a device path, a setting's value) is a value and shows as `%s`, as a format's
values show as its conversions. A call whose text cannot be traced is itself
a finding, so a new way of writing events cannot slip past the catalogue.

The catalogue (docs/troubleshooting.md) lists each event as a heading of
level 4 under the level-2 section that names its source, one code span per string of the
event, followed by a line "**Type:** ..." naming its type. The runner's exit
codes are the first column of the table under the heading "The runner's exit
codes". Each entry also names, on a line "Written in: ...", every function
that writes its text, as code spans `folder/file.cc: function`: an event that
moves to another function, or a function that stops writing it, fails the
check until its entry follows, so the causes an entry gives stay those of the
code that writes it. A result code an entry gives, as "(code -8)" or "(code -7
or -9)", must be one that a function it names returns right after writing
the text (the first `return` that follows the call, read as a literal or a
named `constexpr int`); a code that no such return gives is a finding, and a
return that is not a literal or a named constant leaves the entry unchecked.
No event has more strings than the message table holds (kEventMostStrings
in common/event_report.h).

    python3 testing/docs/event_catalogue.py [ROOT]    # prints the differences
"""

import dataclasses
import pathlib
import re
import sys

# Each deliverable's folders and its event source. The reporting machinery
# itself (common/event_report.cc) passes texts along and writes none.
SOURCES = (
    ("VelunorUpdateService", ("service",)),
    ("velunorUpdateExport", ("upgrade",)),
)
SHARED_FOLDERS = ("common", "platform")
MACHINERY = ("common/event_report.cc",)
CATALOGUE = "docs/troubleshooting.md"
RUNNER = "tools/runner/upgrade_runner.cc"
# --record's exit code and the folder check's are declared beside them, not
# in RUNNER.
RUNNER_EXIT_SOURCES = (RUNNER, "tools/runner/recorded_run.h",
                       "tools/runner/folder_trust.h")
RUNNER_EXIT_HEADING = "The runner's exit codes"

TYPES = {
    "EVENTLOG_ERROR_TYPE": "Error",
    "EVENTLOG_WARNING_TYPE": "Warning",
    "EVENTLOG_INFORMATION_TYPE": "Information",
    "EVENTLOG_SUCCESS": "Success",
}
# The calls that report, and which argument holds the type and the text.
# kind "text": the argument is one string; "array": an array of strings.
CALLS = {
    "reportEvent": (0, 1, "text"),
    "reportEventFormat": (0, 1, "text"),
    "reportEventStrings": (0, 1, "array"),
    "ReportEventW": (1, 7, "array"),
    "ReportEventA": (1, 7, "array"),
}
VALUE = "%s"

TOKEN = re.compile(
    r"""
    (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<string>(?:u8|u|U|L)?"(?:\\.|[^"\\\n])*")
  | (?P<char>(?:u8|u|U|L)?'(?:\\.|[^'\\\n])*')
  | (?P<preprocessor>^[ \t]*\#[^\n]*)
  | (?P<name>[A-Za-z_]\w*)
  | (?P<number>\d[\w.]*)
  | (?P<punct>::|->|[^\s\w])
  | (?P<newline>\n)
    """,
    re.VERBOSE | re.DOTALL | re.MULTILINE,
)


@dataclasses.dataclass(frozen=True)
class Token:
    kind: str
    text: str
    line: int


@dataclasses.dataclass(frozen=True)
class Event:
    source: str  # the event source
    strings: tuple  # the event's strings, values as %s
    type: str  # Error, Information, ...
    where: str  # file:line of the call
    writer: str  # "file.cc: function" of the call
    returned: object = None  # the code returned right after, None unknown

    def key(self):
        return (self.source, self.strings)


class Untraceable(Exception):
    pass


def tokenize(text):
    tokens = []
    line = 1
    for match in TOKEN.finditer(text):
        kind = match.lastgroup
        value = match.group()
        if kind not in ("comment", "newline", "preprocessor"):
            tokens.append(Token(kind, value, line))
        line += value.count("\n")
    return tokens


def literal_text(token):
    """The characters a string literal stands for; a line break as \\n."""
    body = token.text[token.text.index('"') + 1:-1]
    escapes = {"n": "\\n", "t": "\\t", "r": "\\r", "\\": "\\", '"': '"',
               "'": "'", "0": "\\0"}
    return re.sub(r"\\(.)", lambda m: escapes.get(m.group(1), m.group()), body)


def closing(tokens, start):
    """The index of the bracket that closes the one at `start`."""
    pairs = {"(": ")", "[": "]", "{": "}"}
    stack = []
    for index in range(start, len(tokens)):
        text = tokens[index].text
        if text in pairs:
            stack.append(pairs[text])
        elif stack and text == stack[-1]:
            stack.pop()
            if not stack:
                return index
    raise Untraceable("unbalanced brackets at line %d" % tokens[start].line)


def split_top(tokens):
    """Splits a bracketed list's inner tokens at its top-level commas."""
    parts, current, depth = [], [], 0
    for token in tokens:
        if token.text in "([{":
            depth += 1
        elif token.text in ")]}":
            depth -= 1
        if token.text == "," and depth == 0:
            parts.append(current)
            current = []
        else:
            current.append(token)
    if current:
        parts.append(current)
    return parts


def as_literal(tokens):
    """The text of adjacent literals, also inside U16( ); None otherwise."""
    if (len(tokens) >= 3 and tokens[0].text == "U16" and
            tokens[1].text == "(" and tokens[-1].text == ")"):
        tokens = tokens[2:-1]
    if tokens and all(token.kind == "string" for token in tokens):
        return "".join(literal_text(token) for token in tokens)
    return None


KEYWORDS_BEFORE_PARENS = {"if", "for", "while", "switch", "catch", "return",
                          "sizeof", "alignof", "decltype", "static_assert"}


def function_names(tokens):
    """For each token, the function whose body holds it ("" outside any).

    A body is a brace that follows the closing bracket of a parameter list
    after a name (`name(...) {`, also with const, noexcept or override); a
    lambda's body belongs to the function around it.
    """
    names = [""] * len(tokens)
    stack = []  # the function name of each open brace, or None
    current = ""
    for index, token in enumerate(tokens):
        if token.text == "{":
            name = _function_opened(tokens, index) if not current else None
            stack.append(name)
            if name:
                current = name
        elif token.text == "}" and stack:
            if stack.pop():
                current = ""
        names[index] = current
    return names


def _function_opened(tokens, brace):
    """The qualified name of the function whose body opens at `brace`."""
    index = brace - 1
    while index >= 0 and tokens[index].text in ("const", "noexcept",
                                                "override", "final"):
        index -= 1
    if index < 0 or tokens[index].text != ")":
        return None
    depth = 0
    while index >= 0:
        if tokens[index].text == ")":
            depth += 1
        elif tokens[index].text == "(":
            depth -= 1
            if depth == 0:
                break
        index -= 1
    index -= 1
    if index < 0 or tokens[index].kind != "name" or \
            tokens[index].text in KEYWORDS_BEFORE_PARENS:
        return None
    name = tokens[index].text
    while index >= 2 and tokens[index - 1].text == "::" and \
            tokens[index - 2].kind == "name":
        index -= 2
        name = tokens[index].text + "::" + name
    return name


class SourceTree:
    """The token streams of the scanned files and the tables in them."""

    def __init__(self, root):
        self.root = pathlib.Path(root)
        self.files = {}
        folders = [f for _, fs in SOURCES for f in fs] + list(SHARED_FOLDERS)
        for folder in folders:
            for path in sorted((self.root / folder).glob("*")):
                if path.suffix not in (".cc", ".h") or path.stem.endswith("_test"):
                    continue
                relative = path.relative_to(self.root).as_posix()
                self.files[relative] = tokenize(path.read_text())

    def codes(self):
        """Every `constexpr int NAME = N;` of the scanned files: {NAME: N}."""
        if not hasattr(self, "_codes"):
            self._codes = {}
            for tokens in self.files.values():
                for index in range(len(tokens) - 5):
                    if (tokens[index].text == "constexpr" and
                            tokens[index + 1].text == "int" and
                            tokens[index + 3].text == "="):
                        value = self._number(tokens[index + 4:index + 6])
                        if value is not None:
                            self._codes[tokens[index + 2].text] = value
        return self._codes

    @staticmethod
    def _number(tokens):
        """The integer that a literal, or a minus and a literal, starts."""
        sign = 1
        if tokens and tokens[0].text == "-":
            sign, tokens = -1, tokens[1:]
        if tokens and re.fullmatch(r"\d+", tokens[0].text):
            return sign * int(tokens[0].text)
        return None

    def returned_after(self, tokens, functions, call_end):
        """The code the function returns next after the call that ends at
        `call_end`; None when it is not a literal or a named constant."""
        function = functions[call_end]
        for index in range(call_end + 1, len(tokens)):
            if functions[index] != function:
                return None
            if tokens[index].text != "return":
                continue
            end = index + 1
            while end < len(tokens) and tokens[end].text != ";":
                end += 1
            expression = tokens[index + 1:end]
            if len(expression) == 1 and expression[0].kind == "name":
                return self.codes().get(expression[0].text)
            value = self._number(expression)
            return value if value is not None and len(expression) <= 2 else None
        return None

    def constant(self, tokens, name):
        """A named string constant of the file: NAME[] = "..." ... ;"""
        for index in range(len(tokens) - 4):
            if (tokens[index].text == name and tokens[index + 1].text == "[" and
                    tokens[index + 2].text == "]" and tokens[index + 3].text == "="):
                end = index + 4
                while end < len(tokens) and tokens[end].text != ";":
                    end += 1
                return as_literal(tokens[index + 4:end])
        return None

    def field_values(self, field):
        """Every value a struct field takes in the tables of the tree.

        The struct is the one declaring `field`; its tables are the aggregate
        initializers of variables of that struct type.
        """
        for tokens in self.files.values():
            for index in range(len(tokens) - 2):
                if tokens[index].text != "struct" or tokens[index + 2].text != "{":
                    continue
                struct = tokens[index + 1].text
                body = tokens[index + 3:closing(tokens, index + 2)]
                names = self._member_names(body)
                if field in names:
                    return self._table_values(struct, names.index(field))
        return None

    @staticmethod
    def _member_names(body):
        names, depth, last = [], 0, None
        for token in body:
            if token.text in "[(":
                depth += 1
            elif token.text in "])":
                depth -= 1
            elif depth == 0 and token.kind == "name":
                last = token.text
            elif depth == 0 and token.text == ";":
                names.append(last)
        return names

    def _table_values(self, struct, position):
        values = []
        for tokens in self.files.values():
            for index in range(len(tokens) - 1):
                if tokens[index].text != struct or tokens[index + 1].kind != "name":
                    continue
                start = index + 2
                if tokens[start].text == "[":
                    start = closing(tokens, start) + 1
                if tokens[start].text != "=" or tokens[start + 1].text != "{":
                    continue
                inner = tokens[start + 2:closing(tokens, start + 1)]
                rows = split_top(inner)
                if rows and rows[0][0].text == "{":  # an array of rows
                    rows = [split_top(row[1:-1]) for row in rows]
                else:
                    rows = [rows]
                for row in rows:
                    text = as_literal(row[position])
                    if text is None:
                        raise Untraceable("%s row at line %d" %
                                          (struct, row[position][0].line))
                    values.append(text)
        return values

    def alternatives(self, tokens, expression):
        """The texts an expression can be: one for a literal or constant,
        several for a table's field, [%s] for a value."""
        text = as_literal(expression)
        if text is not None:
            return [text]
        if len(expression) == 1 and expression[0].kind == "name":
            name = expression[0].text
            text = self.constant(tokens, name)
            if text is not None:
                return [text]
            if re.fullmatch(r"k[A-Z]\w*", name):
                raise Untraceable("constant %s has no literal in the file" % name)
            return [VALUE]
        if (len(expression) == 3 and expression[1].text in (".", "->") and
                expression[2].kind == "name"):
            values = self.field_values(expression[2].text)
            if values:
                return values
        if any(token.kind == "string" for token in expression):
            return [VALUE]  # chosen among literals, like "1" : "0"
        return [VALUE]

    def array_before(self, tokens, call_index, name):
        """The elements of the last array `name` declared before the call."""
        for index in range(call_index - 1, 0, -1):
            if tokens[index].text == name and tokens[index + 1].text == "[":
                after = closing(tokens, index + 1) + 1
                if tokens[after].text == "=" and tokens[after + 1].text == "{":
                    inner = tokens[after + 2:closing(tokens, after + 1)]
                    return split_top(inner)
        raise Untraceable("no array %s before the call" % name)

    def events_of(self, source, relative):
        tokens = self.files[relative]
        functions = function_names(tokens)
        events = []
        for index, token in enumerate(tokens[:-1]):
            if token.text not in CALLS or tokens[index + 1].text != "(":
                continue
            if index > 0 and tokens[index - 1].kind == "name" and \
                    tokens[index - 1].text not in ("return", "else", "do"):
                continue  # a declaration or definition, not a call
            where = "%s:%d" % (relative, token.line)
            writer = "%s: %s" % (relative, functions[index])
            type_at, text_at, kind = CALLS[token.text]
            arguments = split_top(tokens[index + 2:closing(tokens, index + 1)])
            try:
                type_name = TYPES[arguments[type_at][-1].text]
                if kind == "text":
                    choices = [[text] for text in
                               self.alternatives(tokens, arguments[text_at])]
                else:
                    name = arguments[text_at][-1].text
                    elements = self.array_before(tokens, index, name)
                    choices = [[]]
                    for element in elements:
                        options = self.alternatives(tokens, element)
                        choices = [c + [o] for c in choices for o in options]
            except (KeyError, IndexError) as error:
                raise Untraceable("%s: cannot read the call (%s)" % (where, error))
            except Untraceable as error:
                raise Untraceable("%s: %s" % (where, error))
            returned = self.returned_after(tokens, functions,
                                           closing(tokens, index + 1))
            for strings in choices:
                if strings == [VALUE]:
                    raise Untraceable("%s: the event's text is not traceable "
                                      "to a literal" % where)
                events.append(Event(source, tuple(strings), type_name, where,
                                    writer, returned))
        return events

    def events(self):
        found = []
        for source, folders in SOURCES:
            for relative in self.files:
                if relative.split("/")[0] in folders and relative not in MACHINERY:
                    found.extend(self.events_of(source, relative))
        for relative in self.files:
            if relative.split("/")[0] in SHARED_FOLDERS and relative not in MACHINERY:
                if self.events_of("shared", relative):
                    raise Untraceable("%s writes events; its source depends on "
                                      "the deliverable linking it" % relative)
        return found


WRITTEN_IN = re.compile(r"^Written in: ")


def catalogue_events(text):
    """The events the catalogue lists:
    {(source, strings): (type, line number, the writers it names)}."""
    listed = {}
    source = None
    lines = text.splitlines()
    for number, line in enumerate(lines):
        heading = re.match(r"^(#{2,4}) (.*)$", line)
        if not heading:
            continue
        level, title = len(heading.group(1)), heading.group(2)
        if level == 2:
            named = [s for s, _ in SOURCES if "`%s`" % s in title]
            source = named[0] if named else None
        if level < 4:
            continue
        if source is None:
            continue
        strings = tuple(re.findall(r"`([^`]*)`", title))
        type_name = None
        for following in lines[number + 1:number + 4]:
            match = re.search(r"\*\*Type:\*\* ([A-Za-z]+(?: or [A-Za-z]+)*)",
                              following)
            if match:
                type_name = match.group(1)
                break
        writers = set()
        body = []
        for following in lines[number + 1:]:
            if following.startswith("#"):
                break
            body.append(following)
            if WRITTEN_IN.match(following):
                writers.update(re.findall(r"`([^`]*)`", following))
        listed[(source, strings)] = (type_name, number + 1, writers,
                                     named_codes(" ".join(body)))
    return listed


NAMED_CODES = re.compile(r"\(code (-?\d+(?: or -?\d+)*)\)")


def named_codes(text):
    """The result codes an entry gives as its causes."""
    return {int(code) for found in NAMED_CODES.findall(text)
            for code in found.split(" or ")}


def code_differences(key, events, codes, line):
    """The codes an entry names that no function writing its text returns
    with it; nothing when a return could not be read."""
    returned = {event.returned for event in events}
    if not codes or None in returned:
        return []
    return ["%s [%s]: its entry (%s line %d) names code %d, which no function "
            "writing it returns with it (they return %s): check the cause"
            % (show(key[1]), key[0], CATALOGUE, line, code,
               " or ".join(str(r) for r in sorted(returned)))
            for code in sorted(codes - returned)]


def most_strings(root):
    """kEventMostStrings of common/event_report.h."""
    text = (pathlib.Path(root) / "common/event_report.h").read_text()
    return int(re.search(r"kEventMostStrings = (\d+);", text).group(1))


def writer_differences(key, writers, named, line):
    """What an entry's "Written in:" line gets wrong about who writes it."""
    report = []
    for writer in sorted(writers - named):
        report.append("%s [%s] is written in `%s`, which its entry (%s line %d) "
                      "does not name on its \"Written in:\" line: check its "
                      "causes against that function and add it"
                      % (show(key[1]), key[0], writer, CATALOGUE, line))
    for writer in sorted(named - writers):
        report.append("%s [%s]: its entry (%s line %d) names `%s`, which does "
                      "not write it: find where it moved and check the entry "
                      "against that code" % (show(key[1]), key[0], CATALOGUE,
                                            line, writer))
    return report


def runner_exit_codes(source_text):
    return {int(v) for v in re.findall(r"constexpr int kExit\w+ = (\d+);",
                                       source_text)}


def catalogue_exit_codes(text):
    codes, inside = set(), False
    for line in text.splitlines():
        if line.startswith("#"):
            inside = RUNNER_EXIT_HEADING in line
            continue
        match = re.match(r"^\| *(\d+) *\|", line)
        if inside and match:
            codes.add(int(match.group(1)))
    return codes


def show(strings):
    return " ".join("`%s`" % s for s in strings)


def differences(root):
    """Every difference between the sources and the catalogue, as lines."""
    root = pathlib.Path(root)
    found = SourceTree(root).events()
    catalogue = (root / CATALOGUE).read_text()
    listed = catalogue_events(catalogue)

    written = {}
    for event in found:
        entry = written.setdefault(event.key(),
                                   {"types": set(), "where": [], "writers": set(),
                                    "events": []})
        entry["types"].add(event.type)
        entry["where"].append(event.where)
        entry["writers"].add(event.writer)
        entry["events"].append(event)

    report = []
    most = most_strings(root)
    for event in found:
        if len(event.strings) > most:
            report.append("%s [%s] has %d strings, more than the message table "
                          "holds (kEventMostStrings %d in common/event_report.h)"
                          % (show(event.strings), event.source,
                             len(event.strings), most))
    missing = [k for k in written if k not in listed]
    if missing:
        report.append("Event texts the sources write that %s does not list "
                      "(add each under its source, with its type):" % CATALOGUE)
        for source, strings in sorted(missing):
            entry = written[(source, strings)]
            report.append("  [%s, %s] %s    (%s)" % (
                source, " or ".join(sorted(entry["types"])), show(strings),
                ", ".join(entry["where"])))
    stale = [k for k in listed if k not in written]
    if stale:
        report.append("Event texts %s lists that no source writes:" % CATALOGUE)
        for source, strings in sorted(stale):
            report.append("  [%s] %s    (%s line %d)" % (
                source, show(strings), CATALOGUE, listed[(source, strings)][1]))
    for key in sorted(k for k in written if k in listed):
        types = " or ".join(sorted(written[key]["types"]))
        if listed[key][0] != types:
            report.append("Type of %s [%s] is %s in the sources, %s in %s line %d"
                          % (show(key[1]), key[0], types, listed[key][0],
                             CATALOGUE, listed[key][1]))
        report.extend(writer_differences(key, written[key]["writers"],
                                         listed[key][2], listed[key][1]))
        report.extend(code_differences(key, written[key]["events"],
                                       listed[key][3], listed[key][1]))

    codes = {}
    for source in RUNNER_EXIT_SOURCES:
        for code in runner_exit_codes((root / source).read_text()):
            codes.setdefault(code, source)
    documented = catalogue_exit_codes(catalogue)
    for code in sorted(set(codes) - documented):
        report.append("Runner exit code %d (%s) is missing from the table under "
                      "\"%s\"" % (code, codes[code], RUNNER_EXIT_HEADING))
    for code in sorted(documented - set(codes)):
        report.append("Runner exit code %d is listed under \"%s\" but %s has "
                      "no such code" % (code, RUNNER_EXIT_HEADING,
                                        " or ".join(RUNNER_EXIT_SOURCES)))
    return report


def main(arguments):
    root = arguments[0] if arguments else pathlib.Path(__file__).parents[2]
    report = differences(root)
    print("\n".join(report) if report else "catalogue and sources agree")
    return 1 if report else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
