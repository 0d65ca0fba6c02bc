"""User code that mypy --strict checks against the installed package's types (.ci/python_package.sh):
every public name used as its manual describes it. Not a test module: it is type-checked, not run."""

import pathlib
from typing import List

import numpy as np
import numpy.typing as npt

import calstars2fp


def draw(folder: pathlib.Path) -> List[str]:
    stars = np.zeros(3, dtype=calstars2fp.STAR_DTYPE)
    record = calstars2fp.Record(stars, window=9, divisor=16, name="A.bin")
    run = calstars2fp.Reconstitution(generator_state=1)
    out: npt.NDArray[np.uint8] = np.empty((4, 120, 160), dtype=np.uint8)
    planes: npt.NDArray[np.uint8] = run.reconstitute((120, 160), record, out=out)
    calstars2fp.write_calstars(folder / "CALSTARS_C01.txt", [record], (120, 160), first_int=1)
    with calstars2fp.read_calstars(folder / "CALSTARS_C01.txt") as calstars:
        for read in calstars:
            planes = run.reconstitute(calstars, read)
        count: int = calstars.records_read
    four = calstars2fp.FourProduct(planes, camera=abs(calstars.first_int))
    calstars2fp.write_fourproduct(bytes(folder / "A.bin"), four, four.camera)
    calstars2fp.write_fourproduct(folder / "B.bin", four)
    peak: npt.NDArray[np.uint8] = calstars2fp.read_fourproduct(folder / "A.bin").peak
    mean: npt.NDArray[np.uint8] = four["mean"]
    photometry = {"x": [20.5], "y": [30.25], "flux": [1800.4], "sky": [21.0]}
    drawn: npt.NDArray[np.uint8] = calstars2fp.draw(photometry, (120, 160), 9, col="x", row="y", intensity="flux",
                                                    level=20)
    parts = calstars2fp.draw(photometry, (120, 160), 9, col="x", row="y", intensity="flux", level=20.5, parts=True)
    background: npt.NDArray[np.uint16] = parts[1]
    layers = run.reconstitute((120, 160), calstars2fp.Record(photometry, 9, 1, "C.bin", col="x", row="y",
                                                             intensity="flux", level="sky"), parts=True)
    star_layer: npt.NDArray[np.uint16] = layers[2]
    warnings: List[str] = []
    try:
        names = calstars2fp.process_folder(folder, jobs=2, warnings=warnings)
    except FileNotFoundError as error:
        names = [str(error.filename)]
    except calstars2fp.Error as error:
        names = [str(error)]
    order: List[str] = calstars2fp.processing_order(str(folder))
    return names + order + [str(peak.shape), run.warnings, calstars2fp.__version__, str(count), str(mean.shape),
                            str(drawn.shape), str(background.shape), str(star_layer.shape)]
