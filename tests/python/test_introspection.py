"""Tools see the API: inspect.signature reads every public function, class and method; docstrings have
numpydoc sections; their Examples run as doctests; the package is typed (PEP 561)."""

import doctest
import inspect
import pathlib

import pytest

from conftest import PACKAGE_MISSING

calstars2fp = pytest.importorskip("calstars2fp", reason=PACKAGE_MISSING)

FUNCTIONS = ["read_calstars", "read_fourproduct", "write_fourproduct", "write_calstars", "process_folder",
             "processing_order", "draw"]
CLASSES = ["Record", "CalstarsFile", "Reconstitution", "FourProduct"]
METHODS = [("Reconstitution", "reconstitute"), ("FourProduct", "to_hdulist"), ("FourProduct", "__array__")]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_has_a_signature_and_numpydoc_sections(name):
    function = getattr(calstars2fp, name)
    parameters = list(inspect.signature(function).parameters)
    assert parameters and parameters[0] in ("path", "folder", "stars")
    for section in ("Parameters\n----------", "Raises\n------", "Examples\n--------"):
        assert section in inspect.getdoc(function), (name, section)


@pytest.mark.parametrize("cls, method", METHODS)
def test_method_has_a_signature(cls, method):
    assert list(inspect.signature(getattr(getattr(calstars2fp, cls), method)).parameters)[0] == "self"


@pytest.mark.parametrize("name, parameters", [
    ("Record", ["stars", "window", "divisor", "name", "row", "col", "intensity", "total", "level"]),
    ("Reconstitution", ["generator_state"]),
    ("FourProduct", ["planes", "camera", "source"]),
])
def test_class_has_the_signature_of_its_constructor(name, parameters):
    assert list(inspect.signature(getattr(calstars2fp, name)).parameters) == parameters


def test_signature_defaults_are_the_calls_defaults():
    assert inspect.signature(calstars2fp.process_folder).parameters["jobs"].default == 0
    assert inspect.signature(calstars2fp.Reconstitution.reconstitute).parameters["out"].default is None


def docstrings():
    # Every docstring reachable from the package, the compiled core's methods included (their
    # __module__ is the core's, so the finder is told not to sort by module).
    tests = doctest.DocTestFinder().find(calstars2fp, "calstars2fp", module=False)
    return sorted((test for test in tests if test.examples), key=lambda test: test.name)


DOCTESTS = docstrings()


def test_every_public_name_has_an_example():
    documented = {test.name.split(".")[-1] for test in DOCTESTS}
    assert set(FUNCTIONS) <= documented, set(FUNCTIONS) - documented
    assert {"__init__", "reconstitute"} <= documented


@pytest.mark.parametrize("test", DOCTESTS, ids=[test.name for test in DOCTESTS])
def test_docstring_examples_run(tmp_path, monkeypatch, test):
    monkeypatch.chdir(tmp_path)  # the examples write their files where they run
    test.globs.update(calstars2fp=calstars2fp)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    runner.run(test)
    assert runner.failures == 0, test.name


def test_package_is_typed_with_its_stub():
    folder = pathlib.Path(calstars2fp.__file__).parent
    assert (folder / "py.typed").is_file() and (folder / "_core.pyi").is_file()
    assert calstars2fp.Error.__module__ == "calstars2fp" and calstars2fp.Record.__module__ == "calstars2fp"
