"""The API client of a controller, here backed by a local file store.

Uploads are stored in a directory private to the user: the one named by the environment
variable ``NEMBRA_STORAGE_DIR`` (read at every upload) or, when it is unset or empty,
``$XDG_CACHE_HOME/nembra/uploads`` (when XDG_CACHE_HOME is an absolute path), else
``~/.cache/nembra/uploads``; without a usable home directory (not an absolute path to an
existing directory), ``nembra-uploads-<uid>`` in the system's temporary directory. A
missing store is created with mode 0700, and so are the missing directories above it.

A store that is a symbolic link, is not a directory, is not owned by the effective user,
or is writable by group or others is refused with :class:`StoreError` (a
PermissionError) naming the path, the reason and the fix. The check is made on the
opened directory, and everything inside it is created relative to that descriptor
without following symbolic links.

Each upload gets a new directory ``upload-<random hex>`` (mode 0700) holding one file
(mode 0600). The file is written under a temporary name, synced, and renamed into place:
a file at a returned URL is always complete. An upload that fails, or is interrupted
(KeyboardInterrupt included), removes what it created and re-raises its exception.

Uploads stay until removed:

.. code-block:: sh

    python -m nembra.api_v1 --list                      # size in bytes, age, path
    python -m nembra.api_v1 --clean [--older-than DAYS] # remove upload-* directories
"""

from __future__ import annotations

import argparse
import collections
import errno
import functools
import itertools
import math
import os
import secrets
import shlex
import signal
import stat
import sys
import tempfile
import time
from pathlib import Path
from typing import BinaryIO, Callable, List, Optional, Sequence, Tuple
from urllib.parse import urlparse
from urllib.request import url2pathname

STORAGE_DIR_VARIABLE = "NEMBRA_STORAGE_DIR"
_UPLOAD_PREFIX = "upload-"
_PARTIAL_NAME = ".partial"
_CHUNK_SIZE = 1024 * 1024

# Elsewhere than on POSIX the flags may be missing; dir_fd is what limits this module to it.
_CLOEXEC = getattr(os, "O_CLOEXEC", 0)
_NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)
_DIRECTORY_FLAGS = os.O_RDONLY | getattr(os, "O_DIRECTORY", 0) | _NOFOLLOW | _CLOEXEC
_FILE_FLAGS = os.O_WRONLY | os.O_CREAT | os.O_EXCL | _NOFOLLOW | _CLOEXEC
_NO_FD = -1


class StoreError(PermissionError):
    """The upload store is not safe to use; the message says why and how to fix it."""


def _store_path() -> str:
    configured = os.environ.get(STORAGE_DIR_VARIABLE)
    return os.path.abspath(configured or _default_store_path())


def _default_store_path() -> str:
    cache = os.environ.get("XDG_CACHE_HOME", "")
    if os.path.isabs(cache):
        return os.path.join(cache, "nembra", "uploads")
    home = os.path.expanduser("~")
    if os.path.isabs(home) and _is_directory(home):
        return os.path.join(home, ".cache", "nembra", "uploads")
    return os.path.join(tempfile.gettempdir(), f"nembra-uploads-{os.geteuid()}")


# Early CPython 3.11 releases (Debian 12's 3.11.2 among them; 3.11.7 is fixed) build the
# time fields of a stat result with a big-integer multiplication that runs the Python
# signal handlers, and ignore its failure: an exception raised by a handler during
# os.stat (KeyboardInterrupt at Ctrl-C) stays pending while the call returns a result
# whose time fields are missing, and it surfaces later as a SystemError, or never. There
# every stat of this module runs with the signals blocked in the calling thread, so that
# no handler runs inside it; a signal that arrives meanwhile waits, and its handler runs
# as the mask is restored. (Masks are per thread: a signal that another thread takes
# during the stat can still have its handler run in there.) The masks are set through
# _signal, whose sets hold plain ints; signal.pthread_sigmask would turn each signal of
# a returned full mask into an enum member, at some 50 microseconds a call.
_SHIELD_STAT = (
    sys.implementation.name == "cpython" and sys.version_info < (3, 12) and hasattr(signal, "pthread_sigmask")
)
if _SHIELD_STAT:
    import _signal  # type: ignore[import-not-found]  # the C half of signal, untyped

    _ALL_SIGNALS = _signal.valid_signals()


def _stat(path: int | str, *, dir_fd: Optional[int] = None, follow_symlinks: bool = True) -> os.stat_result:
    """os.stat, never interrupted by a signal handler on the interpreters that need it."""
    if not _SHIELD_STAT:
        return os.stat(path, dir_fd=dir_fd, follow_symlinks=follow_symlinks)
    # The mask is read before it is changed: an interrupt between the two calls leaves it
    # as it was, and one after the second is undone by the finally clause.
    previous = _signal.pthread_sigmask(signal.SIG_BLOCK, ())
    try:
        _signal.pthread_sigmask(signal.SIG_BLOCK, _ALL_SIGNALS)
        return os.stat(path, dir_fd=dir_fd, follow_symlinks=follow_symlinks)
    finally:
        _signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def _is_directory(path: str) -> bool:
    try:
        return stat.S_ISDIR(_stat(path).st_mode)
    except (OSError, ValueError):
        return False


def _make_directory(path: str) -> None:
    """Create ``path`` and its missing parents with mode 0700; keep whatever exists."""
    try:
        os.mkdir(path, 0o700)
    except FileExistsError:
        pass
    except FileNotFoundError:
        parent = os.path.dirname(path)
        if parent == path:
            raise
        _make_directory(parent)
        _make_directory(path)


def _refusal(path: str, reason: str, fix: str = "") -> StoreError:
    remedy = f"{fix} or set" if fix else "set"
    return StoreError(
        f"refusing to use the upload store {path}: {reason}; "
        f"{remedy} {STORAGE_DIR_VARIABLE} to a directory of your own"
    )


def _check_store(path: str, status: os.stat_result) -> None:
    if not stat.S_ISDIR(status.st_mode):
        raise _refusal(path, "it is not a directory", "remove it")
    if status.st_uid != os.geteuid():
        raise _refusal(path, f"it is owned by uid {status.st_uid}, not by you (uid {os.geteuid()})")
    if status.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        mode = stat.S_IMODE(status.st_mode)
        reason = f"it is writable by group or others (mode {mode:04o})"
        raise _refusal(path, reason, f"make it private with 'chmod 700 {shlex.quote(path)}'")


def _check_file_name(file_name: object) -> str:
    """Return ``file_name`` if it names a file inside a directory, else raise ValueError."""
    if type(file_name) is not str:
        kind = "a subclass" if isinstance(file_name, str) else "a"
        raise ValueError(f"file name must be a str, not {kind} {type(file_name).__name__}")
    if file_name in ("", ".", ".."):
        raise ValueError(f"file name {file_name!r} does not name a file")
    if "\0" in file_name:
        raise ValueError(f"file name {file_name!r} contains a NUL character")
    separators = [separator for separator in ("/", os.sep, os.altsep) if separator]
    if any(separator in file_name for separator in separators):
        raise ValueError(f"file name {file_name!r} contains a path separator")
    return file_name


class _Resources:
    """The descriptors an operation opened and the entries it created, to be undone.

    KeyboardInterrupt from a signal handler is raised between bytecodes, never inside a
    call into C. So an entry is recorded before the call that creates it, and a
    descriptor is pushed in the same C-level call that opens it and popped in the same
    C-level call that closes it: wherever an interrupt falls, everything created is known
    and every descriptor is closed exactly once.
    """

    def __init__(self) -> None:
        self.fds: List[int] = [_NO_FD]  # _NO_FD marks the bottom; gone once all are closed
        self.created: List[Tuple[Callable[..., None], str, int]] = []  # (remove, name, dir_fd)

    def open(self, path: str, flags: int, dir_fd: Optional[int] = None) -> int:
        # list.extend drives map, which calls os.open: no bytecode runs in between.
        self.fds.extend(map(functools.partial(os.open, mode=0o600, dir_fd=dir_fd), [path], [flags]))
        return self.fds[-1]

    def close(self, count: Optional[int] = None) -> None:
        """Close the newest ``count`` descriptors still open (all by default)."""
        if self.fds:
            popped = itertools.islice(iter(self.fds.pop, _NO_FD), count)
            collections.deque(map(os.close, popped), maxlen=0)

    def undo_step(self) -> None:
        """Remove the newest entry created or, when none is left, close the descriptors."""
        if not self.created:
            self.close()
            return
        remove, name, dir_fd = self.created[-1]
        try:
            remove(name, dir_fd=dir_fd)
        except FileNotFoundError:
            pass
        finally:
            # An interrupt comes no earlier than the return of remove: the step is done.
            del self.created[-1]


def _open_store(path: str, resources: _Resources) -> int:
    """Open the store directory at ``path`` and check that it is safe to use."""
    try:
        fd = resources.open(path, _DIRECTORY_FLAGS)
    except OSError as error:
        # O_NOFOLLOW fails with ELOOP (EMLINK on some BSDs) on a link, O_DIRECTORY with
        # ENOTDIR on anything else; ENOTDIR may also come from a parent of the path.
        if error.errno not in (errno.ELOOP, errno.EMLINK, errno.ENOTDIR):
            raise
        try:
            mode: Optional[int] = _stat(path, follow_symlinks=False).st_mode
        except (OSError, ValueError):
            mode = None
        if mode is None:
            raise
        if stat.S_ISLNK(mode):
            raise _refusal(path, "it is a symbolic link", "remove the link") from None
        raise _refusal(path, "it is not a directory", "remove it") from None
    _check_store(path, _stat(fd))
    return fd


def _copy(source: BinaryIO, fd: int) -> None:
    while chunk := source.read(_CHUNK_SIZE):
        view = memoryview(chunk)
        while view:
            view = view[os.write(fd, view) :]


def _store(resources: _Resources, file_object: BinaryIO, store: str, name: str) -> str:
    try:
        store_fd = _open_store(store, resources)
    except FileNotFoundError:
        _make_directory(store)
        store_fd = _open_store(store, resources)
    upload = _UPLOAD_PREFIX + secrets.token_hex(16)
    resources.created.append((os.rmdir, upload, store_fd))
    os.mkdir(upload, 0o700, dir_fd=store_fd)
    upload_fd = resources.open(upload, _DIRECTORY_FLAGS, store_fd)
    resources.created.append((os.unlink, _PARTIAL_NAME, upload_fd))
    file_fd = resources.open(_PARTIAL_NAME, _FILE_FLAGS, upload_fd)
    _copy(file_object, file_fd)
    os.fsync(file_fd)
    resources.close(1)
    resources.created.append((os.unlink, name, upload_fd))
    os.rename(_PARTIAL_NAME, name, src_dir_fd=upload_fd, dst_dir_fd=upload_fd)
    url = Path(store, upload, name).as_uri()
    resources.created.clear()
    resources.close()
    return url


class API:
    """Client through which a controller hands files to the application."""

    def _upload_temporary_file(self, file_object: BinaryIO, file_name: str) -> str:
        """Store the rest of ``file_object`` under ``file_name``; return its ``file://`` URL.

        The data is read from the stream's current position to its end, in chunks; the
        stream is neither rewound nor closed. Raises ValueError for a ``file_name`` that
        is not a plain file name (not exactly a str, empty, ``.``, ``..``, or holding a
        path separator or a NUL character), before anything is created, and StoreError
        for a store that is not safe to use.
        """
        name = _check_file_name(file_name)
        store = _store_path()
        resources = _Resources()
        try:
            return _store(resources, file_object, store, name)
        except BaseException:
            # Undo the upload, then re-raise what stopped it, never an exception of the
            # undoing. A further interrupt stops only the attempt under way and the next
            # one carries on from there. The attempts are nested rather than looped: a
            # jump back to retry would be a point where an interrupt escapes the handler.
            try:
                _undo(resources)
            except BaseException:
                try:
                    _undo(resources)
                except BaseException:
                    try:
                        _undo(resources)
                    except BaseException:
                        pass
            raise


def _undo(resources: _Resources) -> None:
    while resources.created or resources.fds:
        try:
            resources.undo_step()
        except OSError:
            pass  # the step is dropped: what cannot be removed stays


def remove_upload(url: str) -> None:
    """Remove the upload directory behind ``url``, a URL returned by an upload."""
    parsed = urlparse(url)
    upload_dir = os.path.dirname(url2pathname(parsed.path))
    store, upload = os.path.split(upload_dir)
    if parsed.scheme != "file" or not upload.startswith(_UPLOAD_PREFIX):
        raise ValueError(f"{url!r} is not the URL of an upload")
    resources = _Resources()
    try:
        _remove_upload(_open_store(store, resources), upload, resources)
    finally:
        resources.close()


def _remove_upload(store_fd: int, upload: str, resources: _Resources) -> None:
    """Remove the upload directory ``upload`` of the store and the entries in it."""
    upload_fd = resources.open(upload, _DIRECTORY_FLAGS, store_fd)
    try:
        for name in os.listdir(upload_fd):
            os.unlink(name, dir_fd=upload_fd)
    finally:
        resources.close(1)
    os.rmdir(upload, dir_fd=store_fd)


def _uploads(store_fd: int) -> List[Tuple[float, str]]:
    """(modification time, name) of the upload directories of the store, oldest first.

    Only directories named ``upload-*`` count; anything else, symbolic links included,
    is not an upload of this store and is left alone.
    """
    found = []
    for name in os.listdir(store_fd):
        if name.startswith(_UPLOAD_PREFIX):
            status = _stat(name, dir_fd=store_fd, follow_symlinks=False)
            if stat.S_ISDIR(status.st_mode):
                found.append((status.st_mtime, name))
    return sorted(found)


def _age(seconds: float) -> str:
    seconds = max(seconds, 0.0)
    if seconds < 120:
        return f"{seconds:.0f}s"
    if seconds < 2 * 3600:
        return f"{seconds / 60:.0f}min"
    if seconds < 2 * 86400:
        return f"{seconds / 3600:.1f}h"
    return f"{seconds / 86400:.1f}d"


def _list(store: str, store_fd: int, resources: _Resources) -> None:
    now = time.time()
    for modified, upload in _uploads(store_fd):
        upload_fd = resources.open(upload, _DIRECTORY_FLAGS, store_fd)
        try:
            names = sorted(os.listdir(upload_fd))
            sizes = [_stat(name, dir_fd=upload_fd, follow_symlinks=False).st_size for name in names]
        finally:
            resources.close(1)
        # An upload directory holding nothing is listed itself, with a trailing slash.
        for name, size in list(zip(names, sizes)) or [("", 0)]:
            print(f"{size:>12} {_age(now - modified):>7}  {os.path.join(store, upload, name)}")


def _clean(store: str, store_fd: int, resources: _Resources, older_than: Optional[float]) -> bool:
    cutoff = time.time() - (older_than or 0) * 86400
    cleaned = True
    for modified, upload in _uploads(store_fd):
        if older_than is not None and modified >= cutoff:
            continue
        path = os.path.join(store, upload)
        try:
            _remove_upload(store_fd, upload, resources)
        except OSError as error:
            print(f"could not remove {path}: {error}", file=sys.stderr)
            cleaned = False
        else:
            print(f"removed {path}")
    return cleaned


def _days(text: str) -> float:
    try:
        days = float(text)
    except ValueError:
        days = math.nan
    if not (math.isfinite(days) and days >= 0):
        raise argparse.ArgumentTypeError(f"not a number of days: {text!r}")
    return days


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m nembra.api_v1",
        description="List or remove the uploads of the local file store.",
        epilog=(
            f"The store is the directory named by {STORAGE_DIR_VARIABLE} or by default "
            "$XDG_CACHE_HOME/nembra/uploads, else ~/.cache/nembra/uploads. Only its "
            "upload-* directories are listed and removed."
        ),
    )
    action = parser.add_mutually_exclusive_group(required=True)
    action.add_argument("--list", action="store_true", help="list the stored files: size in bytes, age, path")
    action.add_argument("--clean", action="store_true", help="remove the upload directories")
    parser.add_argument(
        "--older-than", type=_days, metavar="DAYS", help="with --clean: only those older than DAYS days"
    )
    args = parser.parse_args(argv)
    if args.older_than is not None and not args.clean:
        parser.error("--older-than goes with --clean")

    store = _store_path()
    resources = _Resources()
    try:
        try:
            store_fd = _open_store(store, resources)
        except FileNotFoundError:
            return 0  # no store, no uploads
        except OSError as error:
            print(f"{parser.prog}: error: {error}", file=sys.stderr)
            return 1
        if args.list:
            _list(store, store_fd, resources)
            return 0
        return 0 if _clean(store, store_fd, resources, args.older_than) else 1
    finally:
        resources.close()


if __name__ == "__main__":
    sys.exit(main())
