"""draw: a star table drawn in one call, as a Record of its stars reconstituted by a fresh
Reconstitution; the two calls it makes are the manual's."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Sequence, Tuple, Union, overload

from ._core import Reconstitution, Record

if TYPE_CHECKING:  # numpy.typing only for the checker: the package runs with any NumPy
    from typing import Literal

    import numpy as np
    import numpy.typing as npt

    _Planes = npt.NDArray[np.uint8]
    _Parts = Tuple[npt.NDArray[np.uint8], npt.NDArray[np.uint16], npt.NDArray[np.uint16]]
    _Level = Union[None, str, float, npt.ArrayLike]


@overload
def draw(stars: Any, shape: Sequence[int], window: int, divisor: int = 1, *, row: str = "row", col: str = "col",
         intensity: str = "intensity", total: str = "total", level: _Level = None, name: str = "drawn.bin",
         generator_state: int = 1, parts: Literal[False] = False) -> _Planes: ...


@overload
def draw(stars: Any, shape: Sequence[int], window: int, divisor: int = 1, *, row: str = "row", col: str = "col",
         intensity: str = "intensity", total: str = "total", level: _Level = None, name: str = "drawn.bin",
         generator_state: int = 1, parts: Literal[True]) -> _Parts: ...


def draw(stars: Any, shape: Sequence[int], window: int, divisor: int = 1, *, row: str = "row", col: str = "col",
         intensity: str = "intensity", total: str = "total", level: _Level = None, name: str = "drawn.bin",
         generator_state: int = 1, parts: bool = False) -> Union[_Planes, _Parts]:
    """The four planes of a star table drawn on an image of `shape`: what the program writes for a
    CALSTARS file of these stars, from a run that starts with this record.

    ``Record(stars, window, divisor, name, row=row, col=col, intensity=intensity, total=total,
    level=level)`` drawn by ``Reconstitution(generator_state).reconstitute(shape, record, parts=parts)``;
    see those for each parameter, what is refused and what is warned about.

    Parameters
    ----------
    stars : table
        A structured array, astropy Table or QTable, pandas DataFrame or dict of arrays, with the
        columns named by row, col, intensity and total (or level). A catalogue's x is col, its y row.
    shape : tuple of int
        The image size (rows, cols), at least 15 x 15.
    window : int
        Side of each star's square window in pixels, odd.
    divisor : int, optional
        The background divisor; 1 (the default) leaves the most room in 16 bits for a level.
    row, col, intensity, total : str, optional
        The names of the table's columns.
    level : str, number or array, optional
        The background level in place of total: a column name, one level, or one per star.
    name : str, optional
        The record's name (the four-product file the program would write).
    generator_state : int, optional
        The frame-index generator's state at the start (1, as every run of the program).
    parts : bool, optional
        Also return the background surface and the star layer the planes are made from.

    Returns
    -------
    numpy.ndarray or tuple of numpy.ndarray
        uint8 planes of shape (4, rows, cols); with ``parts=True``, (planes, background, stars).

    Raises
    ------
    Error, ValueError
        What Record and reconstitute refuse.

    Examples
    --------
    >>> photometry = {'x': [30.2, 61.7], 'y': [20.5, 40.1], 'flux': [2500.4, 900.0]}
    >>> planes = calstars2fp.draw(photometry, (64, 80), 9, col='x', row='y', intensity='flux', level=12)
    >>> planes.shape, int(planes[2, 0, 0])
    ((4, 64, 80), 12)
    """
    record = Record(stars, window, divisor, name, row=row, col=col, intensity=intensity, total=total, level=level)
    run = Reconstitution(generator_state)
    if parts:
        return run.reconstitute(shape, record, parts=True)
    return run.reconstitute(shape, record)
