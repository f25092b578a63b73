"""The API client of a controller, here backed by a local file store.

Uploads are stored in the directory named by the environment variable
``NEMBRA_STORAGE_DIR`` (read at every upload and created when missing) or, when it is
unset or empty, in ``nembra-uploads`` under the system's temporary directory. Each
upload gets a new directory of its own inside the store, so uploads never overwrite one
another; the store is never cleaned up by this module.
"""

from __future__ import annotations

import os
import shutil
import tempfile
from pathlib import Path
from typing import BinaryIO

STORAGE_DIR_VARIABLE = "NEMBRA_STORAGE_DIR"
_DEFAULT_STORE_NAME = "nembra-uploads"
_CHUNK_SIZE = 1024 * 1024


def _storage_dir() -> Path:
    configured = os.environ.get(STORAGE_DIR_VARIABLE)
    if configured:
        return Path(configured)
    return Path(tempfile.gettempdir()) / _DEFAULT_STORE_NAME


def _check_file_name(file_name: object) -> str:
    """Return ``file_name`` if it names a file inside a directory, else raise ValueError."""
    if not isinstance(file_name, str):
        raise ValueError(f"file name must be a str, not {type(file_name).__name__}")
    if file_name in ("", ".", ".."):
        raise ValueError(f"file name {file_name!r} does not name a file")
    if "\0" in file_name:
        raise ValueError(f"file name {file_name!r} contains a NUL character")
    separators = [separator for separator in ("/", os.sep, os.altsep) if separator]
    if any(separator in file_name for separator in separators):
        raise ValueError(f"file name {file_name!r} contains a path separator")
    return file_name


class API:
    """Client through which a controller hands files to the application."""

    def _upload_temporary_file(self, file_object: BinaryIO, file_name: str) -> str:
        """Store the rest of ``file_object`` under ``file_name``; return its ``file://`` URL.

        The data is read from the stream's current position to its end, in chunks; the
        stream is neither rewound nor closed. Raises ValueError for a ``file_name`` that
        is not a plain file name (empty, ``.``, ``..``, or holding a path separator or a
        NUL character), before anything is created.
        """
        name = _check_file_name(file_name)
        store = _storage_dir()
        store.mkdir(parents=True, exist_ok=True)
        upload_dir = Path(tempfile.mkdtemp(prefix="upload-", dir=store))
        target = upload_dir / name
        try:
            with open(target, "xb") as stored:
                shutil.copyfileobj(file_object, stored, _CHUNK_SIZE)
        except BaseException:
            # A failed read leaves no partial upload behind.
            shutil.rmtree(upload_dir, ignore_errors=True)
            raise
        return target.resolve().as_uri()
