#!/usr/bin/env python3
"""A failure waits for a key only with a terminal on standard input; the folder prompt never goes
to standard output.

- A shell loop over three folders fed through a pipe, the first failing: the failure reads nothing
  of the loop's list, so all three are processed.
- The same failure with a pseudo-terminal on standard input waits for one key, and takes it.
- Started without a folder, `echo <path> | calstars2fp > names.txt` keeps only the run's lines in
  names.txt: the prompt goes to the controlling terminal, or to standard error without one.

Each step waits for what the program shows before it gives the next input, so that no result
depends on how long anything takes.

Usage: waits_and_prompt.py CALSTARS2FP_EXE EXAMPLE_FOLDER
"""

import os
import pathlib
import pty
import select
import shutil
import subprocess
import sys
import tempfile

# Only a guard against a run that hangs.
HANG_GUARD_SECONDS = 120
PROMPT = b" Path of a CALSTARS file: "
OPENING = " Opening dialog box to search for a CALSTARS*.txt file"

failures = []


def check(name, condition, detail=""):
    print(("ok      " if condition else "FAILED  ") + name)
    if not condition:
        failures.append(name)
        if detail:
            print("  " + detail.replace("\n", "\n  "))


def without_desktop():
    """The environment of a run that asks on the console, not in a desktop dialog."""
    return {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}


def night(folder, example, calstars):
    """A folder holding one CALSTARS file of the example."""
    folder.mkdir(parents=True)
    shutil.copy(example / calstars, folder / calstars)


def loop_over_folders(exe, example, scratch):
    night(scratch / "n" / "good1", example, "CALSTARS_C01_20140101.txt")
    night(scratch / "n" / "good2", example, "CALSTARS_C02_20140101.txt")
    loop = 'printf "n/missing\\nn/good1\\nn/good2\\n" | while read d; do "$0" "$d"; echo rc=$?; done'
    run = subprocess.run(["bash", "-c", loop, str(exe)], cwd=scratch, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, timeout=HANG_GUARD_SECONDS, text=True)
    lines = run.stdout.splitlines()
    statuses = [line for line in lines if line.startswith("rc=")]
    check("pipe loop: every folder is processed, the first failing", statuses == ["rc=1", "rc=0", "rc=0"], run.stdout)
    check("pipe loop: the failure's line", lines[:1] == [" Directory listing file n/missing/DirListingCalstars.txt "
                                                          "not found (or not generated)"], run.stdout)
    for folder in ("good1", "good2"):
        written = sorted(p.name for p in (scratch / "n" / folder).glob("*.bin"))
        check(f"pipe loop: {folder}'s records are written", len(written) > 0 and all(name in lines for name in written),
              f"written: {written}\n{run.stdout}")


def read_until(master, wanted, seen=b""):
    """What the terminal shows until `wanted` appears (or the program ends)."""
    while wanted not in seen:
        ready, _, _ = select.select([master], [], [], HANG_GUARD_SECONDS)
        if not ready:
            break
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the program has ended and closed the terminal
            break
        if not chunk:
            break
        seen += chunk
    return seen


def failure_on_terminal(exe, scratch):
    master, slave = pty.openpty()
    try:
        program = subprocess.Popen([str(exe), str(scratch / "missing")], stdin=slave, stdout=slave, stderr=slave)
        shown = read_until(master, b"not generated)")
        check("terminal: the failure's line is shown", b" Directory listing file " in shown, repr(shown))
        check("terminal: the program waits after its line", program.poll() is None)
        os.write(master, b"x\n")
        status = program.wait(timeout=HANG_GUARD_SECONDS)
        check("terminal: status 1 once the key is given", status == 1, f"status {status}")
        # The key was taken by the program, not left for whoever reads the terminal next.
        left, _, _ = select.select([slave], [], [], 0)
        check("terminal: the key is taken", not left)
    finally:
        os.close(master)
        os.close(slave)


def prompt_kept_out_of_the_names(exe, example, scratch):
    """`echo <path> | calstars2fp > names.txt 2> errors.txt`, the path given once the prompt is out."""
    folder = scratch / "chosen"
    night(folder, example, "CALSTARS_C01_20140101.txt")
    answer = str(folder / "CALSTARS_C01_20140101.txt").encode() + b"\n"
    for case, with_terminal in (("controlling terminal", True), ("no controlling terminal", False)):
        master, slave = pty.openpty()
        terminal_name = os.ttyname(slave)
        # A new session has no controlling terminal; opening a terminal then makes it the session's.
        take_terminal = (lambda: os.close(os.open(terminal_name, os.O_RDWR))) if with_terminal else None
        try:
            with open(scratch / "names.txt", "wb") as names, open(scratch / "errors.txt", "wb") as errors:
                program = subprocess.Popen([str(exe)], env=without_desktop(), start_new_session=True, preexec_fn=take_terminal,
                                           stdin=subprocess.PIPE, stdout=names, stderr=errors)
            shown = read_until(master, PROMPT) if with_terminal else b""
            program.stdin.write(answer)
            program.stdin.close()
            status = program.wait(timeout=HANG_GUARD_SECONDS)
        finally:
            os.close(master)
            os.close(slave)
        lines = (scratch / "names.txt").read_text().splitlines()
        errors = (scratch / "errors.txt").read_bytes()
        written = sorted(p.name for p in folder.glob("*.bin"))
        check(f"prompt, {case}: status 0", status == 0, f"status {status}")
        check(f"prompt, {case}: standard output holds the run's lines only",
              lines[:1] == [OPENING] and sorted(lines[1:]) == written, "\n".join(lines))
        if with_terminal:
            check(f"prompt, {case}: the prompt is on the terminal", PROMPT in shown and not errors, f"{shown!r} {errors!r}")
        else:
            check(f"prompt, {case}: the prompt is on standard error", errors == PROMPT, repr(errors))
        for output in written:
            (folder / output).unlink()


def main():
    exe, example = pathlib.Path(sys.argv[1]).resolve(), pathlib.Path(sys.argv[2]).resolve()
    with tempfile.TemporaryDirectory() as scratch:
        scratch = pathlib.Path(scratch)
        loop_over_folders(exe, example, scratch)
        failure_on_terminal(exe, scratch)
        prompt_kept_out_of_the_names(exe, example, scratch)
    print(f"{len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
