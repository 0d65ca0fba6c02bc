"""Ctrl-C during process_folder: the module installs no handler of its own; Python's stops the run before
the next record's file, no temporary file is left, every file written is whole, and KeyboardInterrupt
is raised."""

import os
import shutil
import signal
import subprocess
import threading

import numpy as np
import pytest

from conftest import PACKAGE_MISSING

calstars2fp = pytest.importorskip("calstars2fp", reason=PACKAGE_MISSING)
from conftest import built_program, header_bytes


@pytest.fixture(scope="module")
def long_night(tmp_path_factory):
    """A night of 200 records of 480 x 640: seconds of work, long past the interruption."""
    folder = tmp_path_factory.mktemp("long") / "night"
    folder.mkdir()
    subprocess.run([built_program("MAKE_CALSTARS_EXE"), str(folder), "--night", "--records", "200", "--stars", "60",
                    "--window", "9"], check=True, stdout=subprocess.DEVNULL, timeout=120)
    return folder


@pytest.mark.parametrize("jobs", [1, 2])
def test_ctrl_c_stops_the_run_cleanly(long_night, tmp_path, jobs):
    folder = tmp_path / "night"
    folder.mkdir()
    inputs = sorted(os.listdir(long_night))
    for name in inputs:
        (folder / name).write_bytes((long_night / name).read_bytes())
    # Python's own handler for the test: an interpreter started with SIGINT ignored (a background job of
    # a shell without job control, as under some CI runners) keeps it ignored.
    inherited = signal.signal(signal.SIGINT, signal.default_int_handler)
    # Ctrl-C once the first record's file is there: 199 records are still to come, whatever the
    # machine's speed.
    stopped = threading.Event()

    def interrupt_after_the_first_file():
        first = folder / "IMG_C01_20140101_210000_0001.bin"
        while not stopped.wait(0.001):
            if first.exists():
                os.kill(os.getpid(), signal.SIGINT)
                return

    watcher = threading.Thread(target=interrupt_after_the_first_file)
    watcher.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            calstars2fp.process_folder(folder, jobs=jobs)
        assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    finally:
        stopped.set()
        watcher.join()
        signal.signal(signal.SIGINT, inherited)
    written = sorted(set(os.listdir(folder)) - set(inputs) - {"DirListingCalstars.txt"})
    assert not [name for name in written if ".partial" in name or name.startswith(".calstars2fp-")]
    # The files written are whole and are the first records' files.
    run = calstars2fp.Reconstitution()
    calstars = calstars2fp.read_calstars(folder / inputs[0])
    expected = []
    for record in calstars:
        if len(expected) == len(written):
            break
        planes = run.reconstitute(calstars, record)
        expected.append(record.name)
        data = (folder / record.name).read_bytes()
        assert header_bytes(calstars.rows, calstars.cols, abs(calstars.first_int)) + planes.tobytes() == data
    assert written == sorted(expected)
    assert len(written) < 200
    # Running the folder again finishes the work.
    names = calstars2fp.process_folder(folder, jobs=jobs)
    assert len(names) == 200
    shutil.rmtree(folder)  # 240 MB that pytest would keep for its last runs
