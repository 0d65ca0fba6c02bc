#!/usr/bin/env python3
"""Every message that calstars2fp and fpview can print is on docs/messages.md.

Reads the C++ sources of both programs (src/, without the Python package in src/python/) and takes
as message templates:
  - every string literal (adjacent literals joined, the <cinttypes> PRI... macros read as
    conversions) that begins with a blank and a non-blank and ends with a line end: the form of
    every failure line and warning (" Cannot open output file %s for writing \\n");
  - the literal arguments of Fail, FailFile, FailContent, FailMemory, FailureOf,
    OnAllocationFailure, Format, Refuse and RefuseRecord: pieces of a message built in parts
    (" Unexpected failure: ", the reader's "header cut short");
  - the literal templates of printf, fprintf, fputs and puts, line by line: the prompt, the
    viewer's summary, the version lines (the usage, beginning "Usage:", is no message);
  - the interruption lines, which interruption.cpp assembles from pieces inside a signal handler:
    their three forms are written out below, and each of their pieces must still be a literal of
    that file.
A template without a letter outside its conversions ("%s\\n", a record's name) is no message.

Each template must stand in a code span of the page (`...`), whitespace runs counting as one blank
and the page's <placeholders> (or any text) standing for its printf conversions: a whole line must
fill a code span, a piece must be found inside one. A template missing from the page is printed with
the file and line it comes from, and the check fails.

Usage: check_messages.py [PROJECT_DIR [PAGE]]   (default: this checkout, PROJECT_DIR/docs/messages.md)
"""

import pathlib
import re
import sys

# The lines that Interruption_Line assembles: the cause, the item word ("record", or "file" for the
# viewer), the record's name and the folder go where the conversions stand.
INTERRUPTION_FILE = "src/platform/interruption.cpp"
INTERRUPTION_LINES = [
    " Interrupted by %s: %s %s in %s not finished \n",
    " Interrupted by %s in %s after %s %s \n",
    " Interrupted by %s in %s before its first %s \n",
]

PRINTING_CALLS = {"printf", "fprintf", "fputs", "puts"}
# The failure builders, and the refusal helpers of the reader and the reconstitution, whose text
# argument is the <what> of their line.
FAILURE_CALLS = {"Fail", "FailFile", "FailContent", "FailMemory", "FailureOf", "OnAllocationFailure", "Format",
                 "Refuse", "RefuseRecord"}

TOKEN = re.compile(
    r'//[^\n]*|/\*.*?\*/'
    r'|(?P<string>(?:u8|u|U|L)?"(?:\\.|[^"\\\n])*")'
    r"|'(?:\\.|[^'\\\n])+'"
    r'|(?P<name>[A-Za-z_]\w*)'
    r'|(?P<space>\s+)'
    r'|(?P<other>.)',
    re.S)
CONVERSION = re.compile(r'%%|%[-+ #0]*(?:\*|\d+)?(?:\.(?:\*|\d+))?(?:(?:hh|h|ll|l|z|j|t|L)?[diouxXeEfgGcsp]|<PRI\w+>)')
ESCAPE = re.compile(r'\\(.)')
ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "\\": "\\", '"': '"', "'": "'"}


def tokens(text):
    """(kind, value, line) of the code's tokens, comments dropped; a string is its text unescaped."""
    for match in TOKEN.finditer(text):
        line = text.count("\n", 0, match.start()) + 1
        if match.group("string"):
            literal = match.group("string")
            body = literal[literal.index('"') + 1:-1]
            yield "string", ESCAPE.sub(lambda m: ESCAPES.get(m.group(1), m.group(1)), body), line
        elif match.group("name"):
            yield "name", match.group("name"), line
        elif match.group("other"):
            yield "other", match.group("other"), line


def literal_runs(code):
    """(index, text, line) of each run of adjacent literals, joined into one."""
    runs = []
    i = 0
    while i < len(code):
        if code[i][0] != "string":
            i += 1
            continue
        start, text, line = i, "", code[i][2]
        while i < len(code) and (code[i][0] == "string" or (code[i][0] == "name" and code[i][1].startswith("PRI"))):
            text += code[i][1] if code[i][0] == "string" else "<" + code[i][1] + ">"
            i += 1
        runs.append((start, text, line))
    return runs


def callers(code, runs):
    """For each run that stands directly in a call's parentheses: the name called."""
    starts = {start for start, _, _ in runs}
    called = {}
    open_calls = []  # the name before each open parenthesis (None for a bracket of an expression)
    for i, (kind, value, _) in enumerate(code):
        if kind == "other" and value == "(":
            open_calls.append(code[i - 1][1] if i > 0 and code[i - 1][0] == "name" else None)
        elif kind == "other" and value == ")" and open_calls:
            open_calls.pop()
        elif i in starts and open_calls:
            called[i] = open_calls[-1]
    return called


def has_word(template):
    return re.search(r"[A-Za-z]", CONVERSION.sub("", template)) is not None


def lines_of(text):
    return [line for line in text.split("\n") if has_word(line)]


def templates_of(path, root):
    """(template, whole, where) for every message template of one source file."""
    code = list(tokens(path.read_text(encoding="utf-8")))
    runs = literal_runs(code)
    called = callers(code, runs)
    found = []
    for start, text, line in runs:
        where = f"{path.relative_to(root)}:{line}"
        call = called.get(start)
        if len(text) >= 2 and text[0] == " " and not text[1].isspace() and text.endswith("\n"):
            found.extend((piece, True, where) for piece in lines_of(text))
        elif call in PRINTING_CALLS and not text.startswith("Usage:"):
            found.extend((piece, True, where) for piece in lines_of(text))
        elif call in FAILURE_CALLS and has_word(text):
            found.append((text, False, where))
    return found


def interruption_templates(root):
    """The interruption lines, once each of their pieces is checked to be a literal of their file."""
    path = root / INTERRUPTION_FILE
    literals = {value for kind, value, _ in tokens(path.read_text(encoding="utf-8")) if kind == "string"}
    found, missing = [], []
    for line in INTERRUPTION_LINES:
        for piece in CONVERSION.split(line.rstrip("\n")):
            if piece and piece not in literals:
                missing.append(f"{INTERRUPTION_FILE}: the piece {piece!r} of {line!r} is no literal of that file any more")
        found.extend((piece, True, f"{INTERRUPTION_FILE} (a line form listed in {pathlib.Path(__file__).name})")
                     for piece in lines_of(line))
    return found, missing


def collapse(text):
    return " ".join(text.split())


def pattern_of(template):
    """A template as a pattern: its text with each whitespace run one blank, any text for a conversion."""
    pieces = []
    last = 0
    for match in CONVERSION.finditer(template):
        pieces.append(re.escape(re.sub(r"\s+", " ", template[last:match.start()])))
        pieces.append("%" if match.group(0) == "%%" else ".*?")
        last = match.end()
    pieces.append(re.escape(re.sub(r"\s+", " ", template[last:])))
    return re.compile("".join(pieces))


def main(argv):
    root = pathlib.Path(argv[1]) if len(argv) > 1 else pathlib.Path(__file__).resolve().parents[2]
    page = pathlib.Path(argv[2]) if len(argv) > 2 else root / "docs" / "messages.md"
    text = re.sub(r"^```.*?^```", "", page.read_text(encoding="utf-8"), flags=re.M | re.S)  # code blocks hold no message
    spans = [collapse(span) for span in re.findall(r"`([^`]+)`", text)]

    sources = sorted(p for p in (root / "src").rglob("*")
                     if p.suffix in (".cpp", ".h") and p.relative_to(root / "src").parts[0] != "python")
    templates = [t for path in sources for t in templates_of(path, root)]
    interruptions, problems = interruption_templates(root)
    templates += interruptions

    for template, whole, where in templates:
        pattern = pattern_of(template.strip())
        if whole:
            present = any(pattern.fullmatch(span) for span in spans)
        else:
            present = any(pattern.search(span) for span in spans)
        if not present:
            problems.append(f"{where}: {template!r} is not on {page.name}")
    for problem in problems:
        print(problem)
    print(f"{len(templates)} message templates of the programs checked against {page}: {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
