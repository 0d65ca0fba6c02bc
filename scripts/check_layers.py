#!/usr/bin/env python3
"""Checks the include rule of the sources: every #include "..." of a file under src/ or tools/ names
a header of its own folder or of a folder that its folder may use. docs/layout.md says why each
folder may use what; the table below is that rule, lowest folder first. Prints one line for each
include that climbs or crosses it and exits 1 when there is any. Tests, benchmarks and fuzzers may
include anything.

    check_layers.py [<source tree>]      (default: the tree this script is in)
"""

import pathlib
import re
import sys

# What each folder may include besides its own headers. "" is the base of src/ (failure.h and the
# generated version.h). An entry may name one header of a folder ("driver/batch.h") instead of all
# of it. A folder's subfolders (python/bindings) follow their folder's rule.
MAY_INCLUDE = {
    "": [],
    "safe_output": [""],
    "platform": ["", "safe_output"],
    "calstars": ["", "safe_output"],
    "fourproduct": ["", "safe_output"],
    "reconstitution": ["", "calstars", "fourproduct"],
    "driver": ["", "safe_output", "platform", "calstars", "fourproduct", "reconstitution"],
    "viewer": ["", "safe_output", "platform", "fourproduct"],
    "python": ["", "platform", "calstars", "fourproduct", "reconstitution", "driver/batch.h"],
    "tools": ["", "calstars"],
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def folder_of(path_in_src: str) -> str:
    """The rule's folder of a path below src/ ("reconstitution/hole_fill.h" -> "reconstitution")."""
    return path_in_src.split("/", 1)[0] if "/" in path_in_src else ""


def allowed(folder: str, header: str) -> bool:
    target = folder_of(header)
    return target == folder or target in MAY_INCLUDE[folder] or header in MAY_INCLUDE[folder]


def sources(root: pathlib.Path):
    for top in ("src", "tools"):
        for path in sorted((root / top).rglob("*")):
            if path.suffix in (".h", ".cpp"):
                yield path


def main() -> int:
    root = pathlib.Path(sys.argv[1]).resolve() if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent
    problems = []
    for path in sources(root):
        relative = path.relative_to(root)
        folder = "tools" if relative.parts[0] == "tools" else folder_of("/".join(relative.parts[1:]))
        if folder not in MAY_INCLUDE:
            problems.append(f"{relative}: the folder {folder} has no rule in {pathlib.Path(__file__).name}")
            continue
        for number, line in enumerate(path.read_text(encoding="utf-8", errors="replace").splitlines(), 1):
            match = INCLUDE.match(line)
            if not match:
                continue
            header = match.group(1)
            if folder_of(header) not in MAY_INCLUDE:
                continue  # a header beside the file ("splitmix64.h" of tools/), not one of src/'s folders
            if not allowed(folder, header):
                problems.append(f"{relative}:{number}: {folder or 'src'}/ may not include \"{header}\"")
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
