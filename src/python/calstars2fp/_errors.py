"""The exceptions and the warning class of calstars2fp.

Every failure is a calstars2fp.Error whose message is the program's one line for it. A failure that
is the operating system's is also the built-in OSError subclass for its error code, with errno,
strerror and filename; refused file content is also a ValueError with filename and lineno; memory
that cannot be had is also a MemoryError.
"""

import errno as _errno
import os
from typing import Optional


class Error(Exception):
    """A failure of calstars2fp: the message is the program's one line for it (for example
    'Cannot open Cal Star Extraction file x.txt for reading'), without its leading blank and line
    end. Every exception the package raises for a failure of its work is one."""


class FileError(Error, OSError):
    """A file or folder that cannot be reached, read or written, or that is not a regular file: an
    OSError with errno (None when the system gave no code), strerror and filename. str() is the
    program's line."""

    def __init__(self, message: str, errno: Optional[int] = None, filename: Optional[str] = None) -> None:
        OSError.__init__(self, errno, os.strerror(errno) if errno else message, filename)
        self.message = message

    def __str__(self) -> str:
        return self.message

    def __reduce__(self):  # type: ignore[no-untyped-def]
        return (type(self), (self.message, self.errno, self.filename))


class MissingFileError(FileError, FileNotFoundError):
    """A file or folder that does not exist (also FileNotFoundError)."""


class FolderError(FileError, IsADirectoryError):
    """A folder where a file belongs (also IsADirectoryError)."""


class NotAFolderError(FileError, NotADirectoryError):
    """A file where a folder belongs (also NotADirectoryError)."""


class AccessError(FileError, PermissionError):
    """A file or folder that the process may not read or write (also PermissionError)."""


class ContentError(Error, ValueError):
    """A file (or a record made in memory) whose content is refused: a ValueError with filename
    (None for a record made in memory) and lineno (None where the file has no lines)."""

    def __init__(self, message: str, filename: Optional[str] = None, lineno: Optional[int] = None) -> None:
        ValueError.__init__(self, message)
        self.filename = filename
        self.lineno = lineno

    def __reduce__(self):  # type: ignore[no-untyped-def]
        return (type(self), (str(self), self.filename, self.lineno))


class OutOfMemoryError(Error, MemoryError):
    """Memory that could not be had for the work (also MemoryError)."""


class CalstarsWarning(UserWarning):
    """A warning line of the program (star background levels clamped in a record), given through
    warnings.warn; 'python -W error' makes it an exception."""


_FILE_ERRORS = {
    _errno.ENOENT: MissingFileError,
    _errno.EISDIR: FolderError,
    _errno.ENOTDIR: NotAFolderError,
    _errno.EACCES: AccessError,
    _errno.EPERM: AccessError,
}


def _from_failure(message: str, kind: str, system_error: int, path: Optional[str], line: Optional[int]) -> Error:
    """The exception for a failure of the compiled core, from its kind ('memory', 'file', 'content'
    or 'other') and what it carries."""
    if kind == "memory":
        return OutOfMemoryError(message)
    if kind == "content":
        return ContentError(message, path, line)
    if kind == "file":
        return _FILE_ERRORS.get(system_error, FileError)(message, system_error or None, path)
    return Error(message)
