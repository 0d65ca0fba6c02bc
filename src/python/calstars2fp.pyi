"""The star lists, the reconstitution and the four-product files of calstars2fp as NumPy arrays.

Type stub of the extension module; the manual is its docstrings (help(calstars2fp)).
"""

import os
from typing import Iterator, List, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

__version__: str
PRODUCTS: Tuple[str, str, str, str]
PRODUCT_DESCRIPTIONS: Tuple[str, str, str, str]

_Path = Union[str, "os.PathLike[str]"]

class Error(Exception):
    """A failure of calstars2fp, with the program's one line for it as the message."""

class Record:
    """One frame record of a CALSTARS file, as read."""

    @property
    def name(self) -> str: ...
    @property
    def window(self) -> int: ...
    @property
    def divisor(self) -> int: ...
    @property
    def stars(self) -> np.ndarray:
        """Structured array: row (float32), col (float32), intensity (uint16), total (uint16)."""

class CalstarsFile:
    """An open CALSTARS file: header fields, and its records by iteration (read once, in file order)."""

    @property
    def path(self) -> str: ...
    @property
    def rows(self) -> int: ...
    @property
    def cols(self) -> int: ...
    @property
    def first_int(self) -> int: ...
    @property
    def nstars(self) -> int: ...
    def __iter__(self) -> Iterator[Record]: ...
    def __next__(self) -> Record: ...

def read_calstars(path: _Path) -> CalstarsFile: ...

class Reconstitution:
    """The state of one run: the frame-index generator, the profile tables, the work images."""

    def __init__(self, generator_state: int = 1) -> None: ...
    generator_state: int
    @property
    def warnings(self) -> str: ...
    def reconstitute(self, calstars_file: CalstarsFile, record: Record) -> npt.NDArray[np.uint8]:
        """The four planes, uint8 of shape (4, rows, cols): the bytes the program writes for record."""

class FourProduct:
    """A four-product file: header values and the four planes, read-only."""

    @property
    def rows(self) -> int: ...
    @property
    def cols(self) -> int: ...
    @property
    def camera(self) -> int: ...
    @property
    def bits_per_pixel(self) -> int: ...
    @property
    def frames(self) -> int: ...
    @property
    def source(self) -> str: ...
    @property
    def planes(self) -> npt.NDArray[np.uint8]: ...
    @property
    def peak(self) -> npt.NDArray[np.uint8]: ...
    @property
    def frame(self) -> npt.NDArray[np.uint8]: ...
    @property
    def mean(self) -> npt.NDArray[np.uint8]: ...
    @property
    def stddev(self) -> npt.NDArray[np.uint8]: ...
    def to_hdulist(self, source: Optional[str] = None) -> "astropy.io.fits.HDUList":  # type: ignore[name-defined]
        """The cube and keywords of fpview's FITS file; ImportError without astropy."""

def read_fourproduct(path: _Path) -> FourProduct: ...
def write_fourproduct(path: _Path, planes: npt.NDArray[np.uint8], camera: int) -> None: ...
def process_folder(folder: _Path, jobs: int = 0, warnings: Optional[List[str]] = None) -> List[str]: ...
