"""Core objects shared by the results of a controller: the serialisable base and files."""

from __future__ import annotations

import contextlib
import io
import os
from typing import Iterator, Union


class _SerializableObject:
    """Base class of the results that a controller method returns.

    It adds nothing of its own; it marks a class whose instances serialise themselves.
    """


class File:
    """A file held in memory.

    ``File()`` is empty. Anything written to :attr:`source`, a binary stream owned by the
    file, becomes its content; a whole zip archive can be written there with
    ``zipfile.ZipFile(file.source, "w")``, and once the archive is closed the file holds
    the archive.
    """

    def __init__(self) -> None:
        self.source: io.BytesIO = io.BytesIO()

    @classmethod
    def from_data(cls, data: Union[bytes, str]) -> File:
        """Make a file holding ``data``; text is encoded as UTF-8."""
        if isinstance(data, str):
            data = data.encode("utf-8")
        file = cls()
        file.source.write(data)
        return file

    @classmethod
    def from_path(cls, path: Union[str, os.PathLike[str]]) -> File:
        """Make a file holding a copy of the file at ``path``, read into memory."""
        with open(path, "rb") as stream:
            return cls.from_data(stream.read())

    def getvalue_binary(self) -> bytes:
        """Return the content as bytes."""
        return self.source.getvalue()

    def getvalue(self, encoding: str = "utf-8") -> str:
        """Return the content decoded as text."""
        return self.getvalue_binary().decode(encoding)

    @contextlib.contextmanager
    def open_binary(self) -> Iterator[io.BytesIO]:
        """Open the content for reading: a new binary stream at its start, closed on exit."""
        with io.BytesIO(self.getvalue_binary()) as stream:
            yield stream

    def __repr__(self) -> str:
        return f"{type(self).__name__}(<{len(self.getvalue_binary())} bytes>)"
