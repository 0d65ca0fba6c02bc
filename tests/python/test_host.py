"""The package is a guest in its interpreter: an array argument whose conversion cannot be allocated
raises MemoryError instead of crashing it (each case in a child interpreter under an address-space
limit 64 MB above what it has mapped, so the conversion's copy cannot fit); a name that cannot be a
file is refused before any file is touched; and a run of a folder leaves the interpreter's threads
and memory allocator as it found them."""

import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

from conftest import PACKAGE_MISSING

calstars2fp = pytest.importorskip("calstars2fp", reason=PACKAGE_MISSING)
from conftest import EXAMPLES

CHILD = """
import resource, sys
import numpy as np
import calstars2fp
big = (4, 6000, 6000)  # 144 MB once contiguous
cases = {
    "write_fourproduct, broadcast": lambda: calstars2fp.write_fourproduct("x.bin", np.broadcast_to(np.uint8(1), big), 1),
    "write_fourproduct, strided": lambda: calstars2fp.write_fourproduct("x.bin", strided[:, :, ::2], 1),
    "write_fourproduct, contiguous": lambda: calstars2fp.write_fourproduct("x.bin", contiguous, 1),
    "FourProduct, broadcast": lambda: calstars2fp.FourProduct(np.broadcast_to(np.uint8(1), big)),
    "Record, broadcast column": lambda: calstars2fp.Record(
        {"row": np.broadcast_to(1.0, 40_000_000), "col": np.broadcast_to(1.0, 40_000_000),
         "intensity": np.broadcast_to(1, 40_000_000), "total": np.broadcast_to(2, 40_000_000)}, 9, 4, "A.bin"),
}
case = sys.argv[1]
strided = np.ones((4, 4000, 12000), dtype=np.uint8) if "strided" in case else None
contiguous = np.ones((4, 4000, 6000), dtype=np.uint8) if "contiguous" in case else None
mapped = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (mapped + (64 << 20),) * 2)
try:
    cases[case]()
    print("no failure")
except MemoryError as error:
    print("MemoryError", isinstance(error, calstars2fp.Error))
"""

CASES = ["write_fourproduct, broadcast", "write_fourproduct, strided", "write_fourproduct, contiguous",
         "FourProduct, broadcast", "Record, broadcast column"]


@pytest.mark.parametrize("case", CASES)
def test_array_that_cannot_be_converted_raises_memory_error(tmp_path, case):
    done = subprocess.run([sys.executable, "-c", CHILD, case], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), check=False)
    assert done.returncode == 0, (done.returncode, done.stderr.decode()[-2000:])
    # NumPy's own MemoryError for a conversion; the program's (also calstars2fp.Error) for its planes.
    assert done.stdout.decode().split()[0] == "MemoryError", done.stdout.decode()
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("write", [
    lambda path: calstars2fp.write_fourproduct(path, np.zeros((4, 2, 2), dtype=np.uint8), 1),
    lambda path: calstars2fp.write_calstars(path, [], (20, 20)),
], ids=["write_fourproduct", "write_calstars"])
@pytest.mark.parametrize("name, error", [
    ("", FileNotFoundError),
    ("night/", IsADirectoryError),
    ("night/.", IsADirectoryError),
    ("night/..", IsADirectoryError),
    (b"night/", IsADirectoryError),
])
def test_name_that_cannot_be_a_file_is_refused_before_anything_is_touched(tmp_path, monkeypatch, write, name, error):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "night").mkdir()
    # A user's files at the temporary names such a name would once have given.
    kept = {".partial": b"user's file", "night/.partial": b"another", "night/..partial": b"a third"}
    for path, content in kept.items():
        (tmp_path / path).write_bytes(content)
    with pytest.raises(error) as raised:
        write(name)
    assert isinstance(raised.value, calstars2fp.Error)
    for path, content in kept.items():
        assert (tmp_path / path).read_bytes() == content
    assert sorted(os.listdir(tmp_path)) == [".partial", "night"]
    assert sorted(os.listdir(tmp_path / "night")) == ["..partial", ".partial"]


# What a later Python thread meets in an interpreter under an address-space limit, before or after a
# run of the folder: the default thread stack (what threading.stack_size(0) gives a new thread) holds
# the repr of a 15,000-deep nested list, and a new thread's allocations come from an arena of its own
# (the main arena grows the program break; another is mapped far from it).
HOST_CHILD = """
import ctypes, json, resource, sys, threading
import calstars2fp
resource.setrlimit(resource.RLIMIT_AS, (4 << 30,) * 2)
sys.setrecursionlimit(100000)
libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]
if sys.argv[1] != "none":
    names = calstars2fp.process_folder(sys.argv[2], jobs=int(sys.argv[1]))
    assert len(names) > 1, names
state = {"stack_size": threading.stack_size()}
attributes = ctypes.create_string_buffer(256)
stack = ctypes.c_size_t()
if libc.pthread_getattr_default_np(attributes) == 0 and libc.pthread_attr_getstacksize(attributes, ctypes.byref(stack)) == 0:
    state["default_stack"] = stack.value
main_block = libc.malloc(4096)

def probe():
    nested = []
    for _ in range(15000):
        nested = [nested]
    state["deep_repr"] = len(repr(nested))
    state["thread_block_far_from_main"] = abs(libc.malloc(4096) - main_block) > (1 << 32)

thread = threading.Thread(target=probe)
thread.start()
thread.join()
print(json.dumps(state))
"""


def host_state(tmp_path, jobs):
    import json
    folder = tmp_path / f"night-{jobs}"
    shutil.copytree(EXAMPLES, folder)
    done = subprocess.run([sys.executable, "-c", HOST_CHILD, jobs, str(folder)], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), check=False)
    assert done.returncode == 0, (jobs, done.returncode, done.stderr.decode()[-2000:])
    return json.loads(done.stdout)


def test_a_run_leaves_the_interpreters_threads_as_it_found_them(tmp_path):
    before = host_state(tmp_path, "none")
    assert before["deep_repr"] == 2 * 15001 and before["thread_block_far_from_main"], before
    for jobs in ("1", "2"):
        assert host_state(tmp_path, jobs) == before, jobs


LOCALE_CHILD = """
import locale, sys
import calstars2fp
try:
    locale.setlocale(locale.LC_ALL, sys.argv[2])
except locale.Error:
    print("no such locale")
    sys.exit(0)
calstars = calstars2fp.read_calstars(sys.argv[1])
print(repr([(float(s["row"]), float(s["col"])) for record in calstars for s in record.stars]))
"""


def test_a_host_with_a_decimal_comma_reads_the_same_stars(tmp_path):
    """A host may set a locale whose decimal separator is a comma: the star positions are those the
    program reads, not cut at the point."""
    path = EXAMPLES / sorted(p.name for p in EXAMPLES.iterdir() if p.name.startswith("CALSTARS"))[0]
    runs = {}
    for name in ("C", "de_DE.UTF-8"):
        done = subprocess.run([sys.executable, "-c", LOCALE_CHILD, str(path), name], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), check=False)
        assert done.returncode == 0, done.stderr.decode()[-2000:]
        runs[name] = done.stdout.decode()
    if runs["de_DE.UTF-8"].strip() == "no such locale":
        pytest.skip("no locale with a decimal comma is installed here")
    assert runs["de_DE.UTF-8"] == runs["C"]
    assert any(not value.is_integer() for pair in eval(runs["C"]) for value in pair)


# Python's exit while a daemon thread is inside the module ends as any exit does, status 0, never
# with an abort: the thread does not take the GIL back once the interpreter is finishing.
EXIT_CHILD = """
import os, sys, threading, time
import calstars2fp
stars = {"row": [100.5], "col": [120.25], "intensity": [1800], "total": [2300]}
record = calstars2fp.Record(stars, 9, 4, "A.bin")
def reconstituting():
    run = calstars2fp.Reconstitution()
    while True:
        run.reconstitute((2000, 2000), record)
def processing():
    records = [calstars2fp.Record(stars, 9, 4, "A%d.bin" % i) for i in range(400)]
    calstars2fp.write_calstars("night/CALSTARS_a.txt", records, (400, 500))
    while True:
        calstars2fp.process_folder("night", jobs=2)
os.mkdir("night")
threading.Thread(target={target}, daemon=True).start()
time.sleep(0.4)
sys.exit(0)
"""


@pytest.mark.parametrize("target", ["reconstituting", "processing"])
def test_exit_with_a_daemon_thread_inside_the_module_ends_with_status_0(tmp_path, target):
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", EXIT_CHILD.replace("{target}", target)], cwd=tmp_path, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), timeout=120,
                              check=False)
        assert done.returncode == 0, (done.returncode, done.stderr.decode()[-2000:])
        assert b"terminate called" not in done.stderr
        shutil.rmtree(tmp_path / "night")


@pytest.mark.skipif(not hasattr(os, "fork"), reason="os.fork is POSIX's")
def test_a_child_forked_while_workers_run_uses_the_module_at_once(tmp_path):
    """Each child forked while a thread of the parent runs process_folder(jobs=2) writes files and runs
    a folder of its own: none waits on a lock the parent's threads held at the fork."""
    import threading
    import time
    stars = {"row": [10.5, 20.0], "col": [12.25, 30.0], "intensity": [1800, 900], "total": [2300, 1000]}
    night = tmp_path / "night"
    night.mkdir()
    calstars2fp.write_calstars(night / "CALSTARS_a.txt", [calstars2fp.Record(stars, 9, 4, f"A{i}.bin") for i in range(200)],
                               (100, 120))
    stopping = threading.Event()

    def processing():
        while not stopping.is_set():
            calstars2fp.process_folder(night, jobs=2)

    thread = threading.Thread(target=processing)
    thread.start()
    hung = []
    try:
        for child in range(40):
            own = tmp_path / f"child{child}"
            own.mkdir()
            time.sleep(0.01)
            pid = os.fork()
            if pid == 0:  # the child: any exception is its failure, status 1
                try:
                    calstars2fp.write_fourproduct(own / "x.bin", np.zeros((4, 2, 3), np.uint8), 1)
                    calstars2fp.write_calstars(own / "CALSTARS_b.txt", [calstars2fp.Record(stars, 9, 4, "B.bin")], (40, 50))
                    os._exit(0 if calstars2fp.process_folder(own, jobs=2) == ["B.bin"] else 1)
                except BaseException:
                    os._exit(1)
            deadline = time.monotonic() + 60  # a guard against a hang, not a timing
            while True:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    assert os.waitstatus_to_exitcode(status) == 0, child
                    break
                if time.monotonic() > deadline:
                    os.kill(pid, 9)
                    os.waitpid(pid, 0)
                    hung.append(child)
                    break
                time.sleep(0.01)
    finally:
        stopping.set()
        thread.join()
    assert hung == []
