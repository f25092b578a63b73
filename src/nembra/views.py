"""Images that a result can show beside its table: SVG, PNG and JPEG.

Each image serialises to ``{"data": ...}``: the SVG markup as text for an
:class:`SVGResult`, the image bytes in standard base64 (ASCII text) for a
:class:`PNGResult` or a :class:`JPGResult`. The kind of image is named by the class
attribute ``_view_type_name``.
"""

from __future__ import annotations

import base64
import os
from typing import Dict, Type, TypeVar, Union

_Path = Union[str, os.PathLike[str]]
_Image = TypeVar("_Image", bound="_BinaryImage")


class SVGResult:
    """An SVG image, held as its markup."""

    _view_type_name = "svg"

    def __init__(self, data: str) -> None:
        if not isinstance(data, str):
            raise TypeError(f"SVG data must be str, not {type(data).__name__}")
        self.data = data

    @classmethod
    def from_path(cls, path: _Path, encoding: str = "utf-8") -> SVGResult:
        """Read an SVG image from the file at ``path``."""
        with open(path, encoding=encoding) as stream:
            return cls(stream.read())

    def _serialize(self) -> Dict[str, str]:
        """Return ``{"data": markup}``, the markup as it was given."""
        return {"data": self.data}

    def __repr__(self) -> str:
        return f"{type(self).__name__}(<{len(self.data)} characters>)"


class _BinaryImage:
    """A raster image held as the bytes of its file."""

    _view_type_name = ""

    def __init__(self, data: bytes) -> None:
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"image data must be bytes, not {type(data).__name__}")
        self.data = bytes(data)

    @classmethod
    def from_path(cls: Type[_Image], path: _Path) -> _Image:
        """Read an image from the file at ``path``."""
        with open(path, "rb") as stream:
            return cls(stream.read())

    def _serialize(self) -> Dict[str, str]:
        """Return ``{"data": text}``, the image bytes in standard base64 as ASCII text."""
        return {"data": base64.b64encode(self.data).decode("ascii")}

    def __repr__(self) -> str:
        return f"{type(self).__name__}(<{len(self.data)} bytes>)"


class PNGResult(_BinaryImage):
    """A PNG image."""

    _view_type_name = "png"


class JPGResult(_BinaryImage):
    """A JPEG image."""

    _view_type_name = "jpeg"
