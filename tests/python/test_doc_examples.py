"""Every Python example of README.md and docs/*.md runs as written: each ```python block in a copy of
the source tree's examples with the build folder a reader has after the quick start (build/example
processed by the program, and by fpview where it is built). A block that needs a package that is not
installed (astropy, pandas, matplotlib) is skipped with the reason; a block that is an illustration
and cannot run starts with the comment "# illustration:", which says why."""

import ast
import os
import re
import shutil
import subprocess
import textwrap

import pytest

from conftest import PACKAGE_MISSING, SOURCE_DIR

pytest.importorskip("calstars2fp", reason=PACKAGE_MISSING)
from conftest import EXAMPLES, built_program, run_program

DOCUMENTS = [SOURCE_DIR / "README.md"] + sorted((SOURCE_DIR / "docs").glob("*.md"))
# A fenced block, indented as in a list item, up to its closing fence at the same indentation.
BLOCK = re.compile(r"^( *)```python\n(.*?)^\1```$", re.DOTALL | re.MULTILINE)
OPTIONAL = {"astropy": "python3-astropy", "pandas": "python3-pandas", "matplotlib": "python3-matplotlib"}
ILLUSTRATION = "# illustration:"


def examples():
    """(document:line, code) of every Python block of the documents."""
    found = []
    for document in DOCUMENTS:
        text = document.read_text(encoding="utf-8")
        for match in BLOCK.finditer(text):
            line = text.count("\n", 0, match.start()) + 1
            found.append((f"{document.name}:{line}", textwrap.dedent(match.group(2))))
    return found


EXAMPLES_IN_DOCS = examples()


def test_the_documents_have_examples():
    assert {name.split(":")[0] for name, _ in EXAMPLES_IN_DOCS} >= {"README.md", "python.md"}


@pytest.fixture(scope="module")
def reader_tree(tmp_path_factory):
    """The tree a reader runs the examples in: examples/ and build/example as the quick start leaves
    it (the program's files, and fpview's PNG and FITS files where fpview is built)."""
    tree = tmp_path_factory.mktemp("reader")
    shutil.copytree(SOURCE_DIR / "examples", tree / "examples")
    example = tree / "build" / "example"
    shutil.copytree(EXAMPLES, example)
    status, lines = run_program(example)
    assert status == 0, lines
    if os.environ.get("FPVIEW_EXE"):
        subprocess.run([built_program("FPVIEW_EXE"), str(example)], check=True, stdout=subprocess.DEVNULL, timeout=300)
    return tree


def skip_without_what_it_needs(code, tree):
    if code.lstrip().startswith(ILLUSTRATION):
        pytest.skip(code.lstrip().splitlines()[0])
    for node in ast.walk(ast.parse(code)):
        names = [alias.name for alias in node.names] if isinstance(node, ast.Import) else \
            [node.module] if isinstance(node, ast.ImportFrom) and node.module else []
        for name in names:
            top = name.split(".")[0]
            if top in OPTIONAL:
                pytest.importorskip(top, reason=f"{top} is not installed (Debian: {OPTIONAL[top]})")
    if ".to_hdulist(" in code:  # astropy without an import of its own
        pytest.importorskip("astropy", reason=f"astropy is not installed (Debian: {OPTIONAL['astropy']})")
    for path in re.findall(r"[\"'](build/example/[^\"']+)[\"']", code):
        if not (tree / path).exists():
            pytest.skip(f"needs {path}, which fpview writes: fpview is not built")


@pytest.mark.parametrize("name, code", EXAMPLES_IN_DOCS, ids=[name for name, _ in EXAMPLES_IN_DOCS])
def test_example_runs_as_written(reader_tree, tmp_path, monkeypatch, name, code):
    tree = tmp_path / "tree"
    shutil.copytree(reader_tree, tree, symlinks=True)
    skip_without_what_it_needs(code, tree)
    monkeypatch.chdir(tree)
    monkeypatch.setenv("MPLBACKEND", "Agg")  # a figure is saved, never shown
    exec(compile(code, name, "exec"), {"__name__": "__main__"})
