"""Threads with their own Reconstitution give the arrays of one thread, and the heavy calls let other
threads run (the GIL is released). How much faster two threads are is measured by
bench/python_bench.py, not here: a loaded machine would make any time bound flaky."""

import sys
import threading
import time

import numpy as np

import pytest

from conftest import PACKAGE_MISSING

calstars2fp = pytest.importorskip("calstars2fp", reason=PACKAGE_MISSING)
from conftest import EXAMPLES


def all_records(run):
    """The example folder's planes through `run`, in the program's order."""
    planes = []
    for path in sorted(EXAMPLES.glob("CALSTARS*.txt"), key=lambda p: p.name.lower()):
        calstars = calstars2fp.read_calstars(path)
        planes += [run.reconstitute(calstars, record) for record in calstars]
    return planes


def test_two_threads_give_the_arrays_of_one():
    alone = all_records(calstars2fp.Reconstitution())
    results = [None, None]

    def work(slot):
        results[slot] = all_records(calstars2fp.Reconstitution())

    threads = [threading.Thread(target=work, args=(slot,)) for slot in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for result in results:
        assert len(result) == len(alone)
        assert all(np.array_equal(a, b) for a, b in zip(result, alone))


def test_reconstitute_lets_other_threads_run():
    # With a switch interval far beyond the test, a thread gets the GIL only where the one holding it
    # lets go: the counting thread gives it back at every step, the main thread only inside calls that
    # release it.
    calstars = calstars2fp.read_calstars(sorted(EXAMPLES.glob("CALSTARS*.txt"))[0])
    record = next(calstars)
    run = calstars2fp.Reconstitution()
    count = 0
    stop = False

    def counter():
        nonlocal count
        while not stop:
            count += 1
            time.sleep(0.0005)

    interval = sys.getswitchinterval()
    thread = threading.Thread(target=counter)
    thread.start()
    try:
        time.sleep(0.05)
        sys.setswitchinterval(1000.0)
        counts = []
        for _ in range(5):
            before = count
            run.reconstitute(calstars, record)
            counts.append(count - before)
    finally:
        sys.setswitchinterval(interval)
        stop = True
        thread.join()
    assert sum(counts) > 0, counts


def test_one_reconstitution_shared_by_two_threads_takes_one_call_at_a_time():
    calstars = calstars2fp.read_calstars(sorted(EXAMPLES.glob("CALSTARS*.txt"))[0])
    record = next(calstars)
    alone = calstars2fp.Reconstitution()
    for _ in range(6):
        alone.reconstitute(calstars, record)
    shared = calstars2fp.Reconstitution()

    def work():
        for _ in range(3):
            shared.reconstitute(calstars, record)

    threads = [threading.Thread(target=work) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    # Interleaved calls would each draw from a generator another call is advancing.
    assert shared.generator_state == alone.generator_state
