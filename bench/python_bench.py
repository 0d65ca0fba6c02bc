#!/usr/bin/env python3
"""The Python module against the program, on one generated 640 x 480 night.

    PYTHONPATH=build/python python3 bench/python_bench.py --program build/calstars2fp \
        --make-calstars build/make_calstars [--records N] [--repetitions N] [--work FOLDER]

Prints, per record (median of the repetitions, wall-clock time and CPU time):
  - the program, calstars2fp --jobs 1 on the night (reading, reconstitution and file writes);
  - the module: read_calstars and reconstitute of every record in order, then the same with
    write_fourproduct of each record, and process_folder(jobs=1);
  - the module from memory: the night's records made from their star tables (Record), then
    reconstitute for (rows, cols) of each in order into one out= array;
  - records drawn from their star tables as pandas DataFrames (with pandas installed) against the
    same tables as structured arrays: Record and reconstitute of each, per record, the two passes
    in turns (median of at least 5 each);
  - read_fourproduct of one 640 x 480 file against Python's own open().read() of it (median of 1000
    calls each);
  - what a call costs beyond its work: the median of 10,000 calls of cheap ones (the
    generator_state property, which releases the GIL and takes the run's lock, and Record.window);
  - two threads, each with its own Reconstitution over the whole night, against the same two passes
    one after the other (the ratio is wall time together / wall time in turn).
Timings mean something only on an otherwise idle machine; the tests check bytes, never times.
"""

import argparse
import os
import pathlib
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import numpy

import calstars2fp


def cpu_seconds():
    """CPU time of this process and its finished children (user + system, all threads)."""
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return time.process_time() + children.ru_utime + children.ru_stime


def median_times(action, repetitions):
    """Median wall-clock and median CPU time of `repetitions` calls of `action`."""
    walls, cpus = [], []
    for _ in range(repetitions):
        cpu = cpu_seconds()
        start = time.perf_counter()
        action()
        walls.append(time.perf_counter() - start)
        cpus.append(cpu_seconds() - cpu)
    return statistics.median(walls), statistics.median(cpus)


def median_time(action, repetitions):
    return median_times(action, repetitions)[0]


def fresh_copy(night, work, name):
    folder = work / name
    shutil.rmtree(folder, ignore_errors=True)
    shutil.copytree(night, folder)
    return folder


def reconstitute_all(night, write_to=None):
    run = calstars2fp.Reconstitution()
    for path in sorted(night.glob("CALSTARS*.txt"), key=lambda p: p.name.lower()):
        calstars = calstars2fp.read_calstars(path)
        for record in calstars:
            planes = run.reconstitute(calstars, record)
            if write_to is not None:
                calstars2fp.write_fourproduct(write_to / record.name, planes, abs(calstars.first_int))


def records_in_memory(night):
    """The night's records made from their star tables, in the program's order."""
    made = []
    for path in sorted(night.glob("CALSTARS*.txt"), key=lambda p: p.name.lower()):
        calstars = calstars2fp.read_calstars(path)
        made += [(calstars.shape, calstars2fp.Record(record.stars, record.window, record.divisor, record.name))
                 for record in calstars]
    return made


def reconstitute_from_memory(made):
    run = calstars2fp.Reconstitution()
    out = None
    for shape, record in made:
        if out is None or out.shape[1:] != shape:
            out = numpy.empty((4,) + shape, dtype=numpy.uint8)
        run.reconstitute(shape, record, out=out)


def star_tables(night):
    """The night's records as (shape, star table as a structured array, window, divisor, name)."""
    tables = []
    for path in sorted(night.glob("CALSTARS*.txt"), key=lambda p: p.name.lower()):
        calstars = calstars2fp.read_calstars(path)
        tables += [(calstars.shape, record.stars.copy(), record.window, record.divisor, record.name) for record in calstars]
    return tables


def draw_tables(tables):
    run = calstars2fp.Reconstitution()
    out = None
    for shape, stars, window, divisor, name in tables:
        if out is None or out.shape[1:] != shape:
            out = numpy.empty((4,) + shape, dtype=numpy.uint8)
        run.reconstitute(shape, calstars2fp.Record(stars, window, divisor, name), out=out)


def median_of_calls(action, calls):
    times = []
    for _ in range(calls):
        start = time.perf_counter()
        action()
        times.append(time.perf_counter() - start)
    return statistics.median(times), sorted(times)[int(0.9 * calls)]


def call_overhead():
    """Median time of one call of a cheap function, in microseconds (10,000 calls each)."""
    record = calstars2fp.Record(numpy.zeros(1, dtype=calstars2fp.STAR_DTYPE), 9, 4, "A.bin")
    run = calstars2fp.Reconstitution()
    results = {}
    for what, action in (("generator_state", lambda: run.generator_state), ("Record.window", lambda: record.window)):
        times = []
        for _ in range(10000):
            start = time.perf_counter()
            action()
            times.append(time.perf_counter() - start)
        results[what] = 1e6 * statistics.median(times)
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--make-calstars", required=True)
    parser.add_argument("--records", type=int, default=100)
    parser.add_argument("--repetitions", type=int, default=3)
    parser.add_argument("--work", default=None)
    options = parser.parse_args()

    work = pathlib.Path(options.work or tempfile.mkdtemp(prefix="python_bench."))
    night = work / "night"
    shutil.rmtree(night, ignore_errors=True)
    night.mkdir(parents=True)
    subprocess.run([options.make_calstars, str(night), "--night", "--records", str(options.records), "--stars", "100",
                    "--window", "9", "--rows", "480", "--cols", "640"], check=True, stdout=subprocess.DEVNULL)
    records = options.records
    repetitions = options.repetitions

    def program():
        folder = fresh_copy(night, work, "program")
        subprocess.run([options.program, "--jobs", "1", str(folder)], check=True, stdout=subprocess.DEVNULL)

    def module_process_folder():
        calstars2fp.process_folder(fresh_copy(night, work, "module"), jobs=1)

    made = records_in_memory(night)
    written = work / "written"
    written.mkdir(exist_ok=True)
    rows = []
    program_wall, program_cpu = (1000 * t / records for t in median_times(program, repetitions))
    rows.append(("program, --jobs 1 (read, reconstitute, write)", program_wall, program_cpu))
    for what, action in (("module: read_calstars + reconstitute", lambda: reconstitute_all(night)),
                         ("module: ... + write_fourproduct", lambda: reconstitute_all(night, written)),
                         ("module: process_folder(jobs=1)", module_process_folder),
                         ("module: from memory, reconstitute into out=", lambda: reconstitute_from_memory(made))):
        wall, cpu = (1000 * t / records for t in median_times(action, repetitions))
        rows.append((what, wall, cpu))
    print(f"{records} records of 640 x 480, 100 stars, window 9; per record, median of {repetitions}, "
          f"wall-clock (CPU time):")
    for what, wall, cpu in rows:
        print(f"  {what:48s} {wall:7.2f} ms ({cpu:6.2f} ms)  {wall / program_wall:5.3f} ({cpu / program_cpu:5.3f}) x the program")

    tables = star_tables(night)
    try:
        import pandas
    except ImportError:
        print("records drawn from pandas tables: pandas is not installed")
    else:
        frames = [(shape, pandas.DataFrame({name: stars[name] for name in stars.dtype.names}), window, divisor, name)
                  for shape, stars, window, divisor, name in tables]
        # In turns, so that a machine busy with other work slows both alike.
        structured, from_pandas = [], []
        for _ in range(max(5, repetitions)):
            structured.append(median_time(lambda: draw_tables(tables), 1))
            from_pandas.append(median_time(lambda: draw_tables(frames), 1))
        structured, from_pandas = statistics.median(structured), statistics.median(from_pandas)
        print(f"a record drawn from its star table: structured array {1000 * structured / records:.2f} ms, "
              f"pandas DataFrame {1000 * from_pandas / records:.2f} ms: {from_pandas / structured:.3f} x")

    sample = next(written.iterdir())

    def read_bytes():
        with open(sample, "rb") as file:
            file.read()

    read_median, read_90 = median_of_calls(lambda: calstars2fp.read_fourproduct(sample), 1000)
    open_median, open_90 = median_of_calls(read_bytes, 1000)
    print(f"read_fourproduct of a 640 x 480 file: median {1e3 * read_median:.3f} ms, 90th percentile "
          f"{1e3 * read_90:.3f} ms; open().read() of it: median {1e3 * open_median:.3f} ms, 90th percentile "
          f"{1e3 * open_90:.3f} ms: {read_median / open_median:.2f} x")

    overhead = call_overhead()
    print("one call beyond its work, median of 10,000: " +
          ", ".join(f"{what} {microseconds:.2f} us" for what, microseconds in overhead.items()))

    one_after_other = median_time(lambda: (reconstitute_all(night), reconstitute_all(night)), repetitions)

    def side_by_side():
        threads = [threading.Thread(target=reconstitute_all, args=(night,)) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    together = median_time(side_by_side, repetitions)
    print(f"two threads with their own Reconstitution: {together:.2f} s together, {one_after_other:.2f} s one after "
          f"the other: ratio {together / one_after_other:.2f} on {os.cpu_count()} processors")
    if options.work is None:
        shutil.rmtree(work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
