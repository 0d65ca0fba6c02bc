"""The module is a guest in its interpreter: an array argument whose conversion cannot be allocated
raises MemoryError instead of crashing it. Each case runs in a child interpreter under an
address-space limit 64 MB above what it has mapped, so the conversion's copy cannot fit."""

import os
import subprocess
import sys

import pytest

calstars2fp = pytest.importorskip("calstars2fp")

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
