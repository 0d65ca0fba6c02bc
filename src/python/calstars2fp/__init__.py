"""The star lists, the reconstitution and the four-product files of calstars2fp as NumPy arrays.

Every call runs the same code as the calstars2fp program and gives the same bytes:

    read_calstars(path)                 a CALSTARS file: header fields, then its records one at a time
    Record(stars, window, divisor, name)  a record from a star table of any catalogue, its columns
                                        named by keyword (col='x', row='y', intensity='flux', level=...)
    Reconstitution()                    the state of one run; reconstitute(file or (rows, cols), record)
                                        gives the four planes that the program writes for that record
                                        (parts=True: and the background surface and star layer)
    draw(stars, shape, window)          both in one call: a star table's four planes
    write_calstars(path, records, shape)  a CALSTARS file the program reads back to the same records
    read_fourproduct(path)              a four-product file as a FourProduct (planes and header)
    FourProduct(planes, camera)         one from planes, indexed by plane number or name;
                                        write_fourproduct(path, four) writes one
    process_folder(folder)              what the command line does for a folder
    processing_order(folder)            the order in which it takes the folder's CALSTARS files

Failures raise calstars2fp.Error with the program's message, and also Python's own class where
there is one (FileNotFoundError, IsADirectoryError, PermissionError and other OSErrors with errno
and filename; ValueError with filename and lineno for refused content; MemoryError). Warning lines
go through warnings.warn as CalstarsWarning. Paths are str, bytes or os.PathLike; names come back
as os.fsdecode gives them. Nothing prints, waits for a key or ends the process; heavy calls release
the GIL.

PRODUCTS names the four planes in file order ('peak', 'frame', 'mean', 'stddev'),
PRODUCT_DESCRIPTIONS says what each holds, as fpview's FITS keywords PLANE1 to PLANE4 do, and
STAR_DTYPE is the structured dtype of Record.stars.

Examples
--------
>>> import numpy as np
>>> import calstars2fp
>>> stars = np.array([(20.5, 30.25, 2500, 3100), (40.0, 12.5, 1800, 2000)], dtype=calstars2fp.STAR_DTYPE)
>>> record = calstars2fp.Record(stars, window=9, divisor=16, name="IMG_0001.bin")
>>> planes = calstars2fp.Reconstitution().reconstitute((64, 80), record)
>>> planes.shape, planes.dtype
((4, 64, 80), dtype('uint8'))

A photometry table of floats, its x and y, flux and one background level, in one call:

>>> photometry = {"x": [30.25, 12.5], "y": [20.5, 40.0], "flux": [2500.0, 1800.4]}
>>> planes = calstars2fp.draw(photometry, (64, 80), 9, col="x", row="y", intensity="flux", level=20)
"""

import sys

try:
    import numpy as _numpy  # noqa: F401  (the compiled core needs it at import)
except ImportError as _missing:
    raise ImportError(
        f"calstars2fp needs NumPy, which this interpreter ({sys.executable}) cannot import: install it "
        "(pip install numpy; Debian: apt install python3-numpy)", name="numpy") from _missing

from ._errors import (AccessError, CalstarsWarning, ContentError, Error, FileError, FolderError, MissingFileError,
                      NotAFolderError, OutOfMemoryError)

try:
    from ._core import (PRODUCT_DESCRIPTIONS, PRODUCTS, STAR_DTYPE, CalstarsFile, FourProduct, Reconstitution, Record,
                        __version__, process_folder, processing_order, read_calstars, read_fourproduct,
                        write_calstars, write_fourproduct)
except ModuleNotFoundError as _missing:
    if _missing.name != __name__ + "._core":
        raise
    raise ImportError(
        f"calstars2fp's compiled core is missing or was built for another Python than this one "
        f"({sys.executable}, Python {sys.version_info[0]}.{sys.version_info[1]}): build or install it for this "
        "interpreter", name=__name__ + "._core") from _missing
from ._draw import draw

__all__ = [
    "PRODUCTS", "PRODUCT_DESCRIPTIONS", "STAR_DTYPE", "CalstarsFile", "FourProduct", "Reconstitution", "Record", "draw",
    "process_folder", "processing_order", "read_calstars", "read_fourproduct", "write_calstars", "write_fourproduct",
    "Error", "FileError", "MissingFileError", "FolderError", "NotAFolderError", "AccessError", "ContentError",
    "OutOfMemoryError", "CalstarsWarning", "__version__",
]

# The classes and functions are the package's: help() and pickles name calstars2fp, not its core.
for _name in ("CalstarsFile", "FourProduct", "Reconstitution", "Record", "draw", "Error", "FileError",
              "MissingFileError", "FolderError", "NotAFolderError", "AccessError", "ContentError", "OutOfMemoryError",
              "CalstarsWarning"):
    globals()[_name].__module__ = __name__
del _name
