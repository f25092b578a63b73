"""The local upload store of nembra.api_v1: private to its user, atomic, and clean.

Run as a script (``python test_store.py TAG``), this file is the worker of the test of
two processes uploading into one store at once.
"""

from __future__ import annotations

import hashlib
import io
import json
import os
import random
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Callable, Iterator, List, Optional, Set
from urllib.parse import urlparse
from urllib.request import url2pathname

import pytest

import nembra.api_v1
from nembra.api_v1 import API, StoreError, remove_upload

OTHER_UID = 65534  # nobody


def path_of(url: str) -> Path:
    parsed = urlparse(url)
    assert parsed.scheme == "file"
    return Path(url2pathname(parsed.path))


def tree(root: Path) -> Set[str]:
    """Every path below ``root``, symbolic links not followed."""
    found = set()
    for directory, names, files in os.walk(root):
        found.update(os.path.relpath(os.path.join(directory, name), root) for name in names + files)
    return found


def run_cli(*arguments: str, store: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "nembra.api_v1", *arguments],
        capture_output=True,
        text=True,
        env={**os.environ, "NEMBRA_STORAGE_DIR": str(store)},
    )


# --- fixtures ----------------------------------------------------------------------------


@pytest.fixture
def umask() -> Iterator[None]:
    """umask 022, under which a directory is private only if it was made with mode 0700."""
    previous = os.umask(0o022)
    yield
    os.umask(previous)


@pytest.fixture
def environment(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """No NEMBRA_STORAGE_DIR nor XDG_CACHE_HOME; HOME is tmp_path/home; returns tmp_path."""
    monkeypatch.delenv("NEMBRA_STORAGE_DIR", raising=False)
    monkeypatch.delenv("XDG_CACHE_HOME", raising=False)
    (tmp_path / "home").mkdir()
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    return tmp_path


@pytest.fixture
def scratch(tmp_path: Path) -> Iterator[Path]:
    """A new private directory, on a memory-backed file system where there is one.

    Uploads are synced to disk; on tmpfs that costs nothing, which keeps the tests that
    make thousands of uploads short.
    """
    shm = "/dev/shm"
    if not (os.path.isdir(shm) and os.access(shm, os.W_OK)):
        yield tmp_path
        return
    path = Path(tempfile.mkdtemp(prefix="nembra-test-store-", dir=shm))
    yield path
    shutil.rmtree(path, ignore_errors=True)


class Interrupts:
    """KeyboardInterrupt raised by SIGALRM at random moments while ``left`` is above 0.

    Each upload is armed for one interrupt after a random delay within ``span`` and up to
    two more, each a shorter random delay after the last, so that they also fall while a
    stopped upload is being undone. ``span`` follows the time an upload takes, so that
    interrupts fall all over it however loaded the machine is. Setting ``left`` to 0, an
    attribute store that no interrupt can precede, disarms it: a signal still on its way
    then does nothing.
    """

    def __init__(self) -> None:
        self.random = random.Random(20240611)
        self.left = 0
        self.span = 50e-6

    def arm(self) -> None:
        self.left = self.random.randint(1, 3)
        signal.setitimer(signal.ITIMER_REAL, self.random.uniform(1e-6, self.span))

    def adapt(self, interrupted: bool) -> None:
        self.span *= 1.05 if interrupted else 1 / 1.05

    def fire(self, signum: int, frame: object) -> None:
        if self.left > 0:
            self.left -= 1
            if self.left:
                signal.setitimer(signal.ITIMER_REAL, self.random.uniform(1e-6, self.span / 4))
            raise KeyboardInterrupt

    def storm(self, times: int, action: Callable[[], object], after: Callable[[], object] = lambda: None) -> List[str]:
        """Run ``action`` ``times`` times, each armed anew, and ``after`` once disarmed.

        Returns the outcomes: "done", "interrupted", or the repr of any other exception.
        """
        outcomes: List[str] = []
        for _ in range(times):
            try:
                self.arm()
                action()
                self.left = 0
                outcomes.append("done")
            except KeyboardInterrupt:
                self.left = 0
                outcomes.append("interrupted")
            except BaseException as error:
                self.left = 0
                outcomes.append(repr(error))
            after()
            self.adapt(outcomes[-1] != "done")
        return outcomes


@pytest.fixture
def interrupts() -> Iterator[Interrupts]:
    storm = Interrupts()
    previous = signal.signal(signal.SIGALRM, storm.fire)
    try:
        yield storm
    finally:
        storm.left = 0
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd" if os.path.isdir("/proc/self/fd") else "/dev/fd"))


# --- the default store -------------------------------------------------------------------


@pytest.mark.parametrize(
    ("cache_home", "home", "store", "made"),
    [
        pytest.param("{tmp}/cache", "home", "cache/nembra/uploads", ["cache", "cache/nembra"], id="XDG_CACHE_HOME"),
        pytest.param("cache", "home", "home/.cache/nembra/uploads", ["home/.cache", "home/.cache/nembra"],
                     id="relative-XDG_CACHE_HOME-ignored"),
        pytest.param(None, "home", "home/.cache/nembra/uploads", ["home/.cache", "home/.cache/nembra"], id="home"),
        pytest.param(None, "no-such-home", f"tmp/nembra-uploads-{os.geteuid()}", [], id="no-usable-home"),
    ],
)
def test_default_store_is_private_to_the_user(
    environment: Path,
    monkeypatch: pytest.MonkeyPatch,
    umask: None,
    cache_home: Optional[str],
    home: str,
    store: str,
    made: List[str],
) -> None:
    if cache_home is not None:
        monkeypatch.setenv("XDG_CACHE_HOME", cache_home.format(tmp=environment))
    monkeypatch.setenv("HOME", str(environment / home))
    (environment / "tmp").mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(environment / "tmp"))

    stored = path_of(API()._upload_temporary_file(io.BytesIO(b"data"), "d.bin"))

    assert stored.read_bytes() == b"data"
    assert stored.parent.parent == environment / store
    assert stored.parent.name.startswith("upload-")
    modes = {name: stat.S_IMODE(os.lstat(environment / name).st_mode) for name in made + [store]}
    modes[str(stored.parent)] = stat.S_IMODE(stored.parent.stat().st_mode)
    assert set(modes.values()) == {0o700}
    assert stat.S_IMODE(stored.stat().st_mode) == 0o600


def test_store_named_by_the_variable_is_made_private_with_its_parents(
    environment: Path, monkeypatch: pytest.MonkeyPatch, umask: None
) -> None:
    monkeypatch.setenv("NEMBRA_STORAGE_DIR", str(environment / "a" / "b"))

    API()._upload_temporary_file(io.BytesIO(b"x"), "x")

    assert stat.S_IMODE((environment / "a").stat().st_mode) == 0o700
    assert stat.S_IMODE((environment / "a" / "b").stat().st_mode) == 0o700
    assert not (environment / "home" / ".cache").exists()


# --- stores that are refused ---------------------------------------------------------------


def symbolic_link(store: Path) -> None:
    target = store.with_name("elsewhere")
    target.mkdir(mode=0o700)
    store.symlink_to(target, target_is_directory=True)


def dangling_link(store: Path) -> None:
    store.symlink_to(store.with_name("not-yet"), target_is_directory=True)


def writable_by(mode: int) -> Callable[[Path], None]:
    def make(store: Path) -> None:
        store.mkdir()
        store.chmod(mode)

    return make


def owned_by_another_user(store: Path) -> None:
    store.mkdir(mode=0o700)
    try:
        os.chown(store, OTHER_UID, -1)
    except PermissionError:
        pytest.skip("making a directory of another user takes root")


def plain_file(store: Path) -> None:
    store.write_bytes(b"")


SET_IT = "set NEMBRA_STORAGE_DIR to a directory of your own"
UNSAFE_STORES = [
    pytest.param(symbolic_link, f"it is a symbolic link; remove the link or {SET_IT}", id="symbolic-link"),
    pytest.param(dangling_link, f"it is a symbolic link; remove the link or {SET_IT}", id="dangling-link"),
    pytest.param(
        writable_by(0o770),
        f"it is writable by group or others (mode 0770); make it private with 'chmod 700 {{store}}' or {SET_IT}",
        id="group-writable",
    ),
    pytest.param(
        writable_by(0o1777),
        f"it is writable by group or others (mode 1777); make it private with 'chmod 700 {{store}}' or {SET_IT}",
        id="world-writable-sticky",
    ),
    pytest.param(
        owned_by_another_user,
        f"it is owned by uid {OTHER_UID}, not by you (uid {os.geteuid()}); {SET_IT}",
        id="another-users",
    ),
    pytest.param(plain_file, f"it is not a directory; remove it or {SET_IT}", id="not-a-directory"),
]


@pytest.mark.parametrize(("make", "reason"), UNSAFE_STORES)
@pytest.mark.parametrize("chosen_by", ["NEMBRA_STORAGE_DIR", "default"])
def test_unsafe_store_is_refused_and_nothing_is_written(
    environment: Path,
    monkeypatch: pytest.MonkeyPatch,
    make: Callable[[Path], None],
    reason: str,
    chosen_by: str,
) -> None:
    if chosen_by == "default":
        monkeypatch.setenv("XDG_CACHE_HOME", str(environment / "cache"))
        store = environment / "cache" / "nembra" / "uploads"
        store.parent.mkdir(parents=True)
    else:
        store = environment / "store"
        monkeypatch.setenv("NEMBRA_STORAGE_DIR", str(store))
    make(store)
    before = tree(environment)
    stream = io.BytesIO(b"secret")

    with pytest.raises(StoreError) as raised:
        API()._upload_temporary_file(stream, "secret.txt")

    assert str(raised.value) == f"refusing to use the upload store {store}: " + reason.format(store=store)
    assert isinstance(raised.value, PermissionError)
    assert tree(environment) == before
    assert stream.tell() == 0


def test_command_line_refuses_an_unsafe_store(tmp_path: Path) -> None:
    store = tmp_path / "store"
    writable_by(0o777)(store)

    completed = run_cli("--list", store=store)

    assert completed.returncode == 1
    assert completed.stdout == ""
    assert completed.stderr == (
        f"python -m nembra.api_v1: error: refusing to use the upload store {store}: it is writable by "
        f"group or others (mode 0777); make it private with 'chmod 700 {store}' or {SET_IT}\n"
    )


# --- names -------------------------------------------------------------------------------


class Lying(str):
    """A name that says it holds no separator and is not '.' or '..'."""

    def __contains__(self, item: object) -> bool:
        return False

    def __eq__(self, other: object) -> bool:
        return False

    __hash__ = str.__hash__


@pytest.mark.parametrize("name", ["../escaped.txt", "{tmp}/escaped.txt", "..", "plain.txt"])
def test_str_subclass_is_refused_and_cannot_leave_its_directory(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, name: str
) -> None:
    store = tmp_path / "nest" / "store"
    monkeypatch.setenv("NEMBRA_STORAGE_DIR", str(store))
    lying = Lying(name.format(tmp=tmp_path))

    with pytest.raises(ValueError) as raised:
        API()._upload_temporary_file(io.BytesIO(b"x"), lying)

    assert str(raised.value) == "file name must be a str, not a subclass Lying"
    assert tree(tmp_path) == set()


# --- interrupts --------------------------------------------------------------------------


def test_interrupt_storm_leaves_only_complete_uploads(
    scratch: Path, monkeypatch: pytest.MonkeyPatch, interrupts: Interrupts
) -> None:
    # Small chunks, so that interrupts fall between reads and writes as well.
    monkeypatch.setattr(nembra.api_v1, "_CHUNK_SIZE", 4096)
    data = os.urandom(3 * 4096 + 100)
    store = scratch / "store"
    monkeypatch.setenv("NEMBRA_STORAGE_DIR", str(store))
    api = API()
    descriptors = open_descriptors()

    urls: List[str] = []
    outcomes = interrupts.storm(1500, lambda: urls.append(api._upload_temporary_file(io.BytesIO(data), "f.bin")))

    assert set(outcomes) == {"done", "interrupted"}
    assert open_descriptors() == descriptors
    # An interrupt that comes after the file was renamed into place may leave a
    # complete upload unreported; nothing else may stay.
    for upload in store.iterdir():
        assert upload.name.startswith("upload-")
        assert [entry.name for entry in upload.iterdir()] == ["f.bin"]
        assert (upload / "f.bin").read_bytes() == data
    assert {path_of(url).parent for url in urls} <= set(store.iterdir())


def test_interrupted_store_check_raises_the_interrupt_itself(scratch: Path, interrupts: Interrupts) -> None:
    # The check of the store stats it. Where the interpreter's os.stat lets a signal
    # handler's exception slip through (CPython 3.11.2), a storm of interrupts over that
    # check showed up as SystemError ("... returned a result with an exception set") at a
    # later call, and the stat result lacked its times.
    store = scratch / "store"
    store.mkdir(mode=0o700)
    resources = [nembra.api_v1._Resources()]

    def check() -> None:
        resources[0] = nembra.api_v1._Resources()
        nembra.api_v1._open_store(str(store), resources[0])

    outcomes = interrupts.storm(3000, check, after=lambda: resources[0].close())

    assert set(outcomes) == {"done", "interrupted"}


# --- two processes -----------------------------------------------------------------------


def expected_content(name: str) -> bytes:
    size = int(name.split("-")[-1].split(".")[0])
    block = hashlib.sha256(name.encode()).digest()
    return (block * (size // len(block) + 1))[:size]


def worker(tag: str) -> None:
    """Upload files while a thread reads every stored file it can see, then report."""
    store = Path(os.environ["NEMBRA_STORAGE_DIR"])
    sizes = random.Random(tag).sample(range(2 * 2**20, 4 * 2**20), 12)
    seen_partial: List[str] = []
    done = threading.Event()

    def watch() -> None:
        while not done.is_set():
            for file in store.glob("upload-*/*"):
                if file.name.startswith("."):
                    continue  # a temporary name
                try:
                    size = file.stat().st_size
                except FileNotFoundError:
                    continue
                if size != len(expected_content(file.name)):
                    seen_partial.append(f"{file}: {size} bytes")

    print("ready", flush=True)
    sys.stdin.readline()
    watcher = threading.Thread(target=watch)
    watcher.start()
    urls = []
    for number, size in enumerate(sizes):
        name = f"{tag}-{number}-{size}.bin"
        urls.append(API()._upload_temporary_file(io.BytesIO(expected_content(name)), name))
    done.set()
    watcher.join()
    print(json.dumps({"urls": urls, "seen_partial": seen_partial}))


def test_two_processes_store_complete_distinct_files(scratch: Path) -> None:
    store = scratch / "shared" / "store"
    workers = [
        subprocess.Popen(
            [sys.executable, __file__, tag],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env={**os.environ, "NEMBRA_STORAGE_DIR": str(store)},
        )
        for tag in ("first", "second")
    ]
    for process in workers:
        assert process.stdout is not None and process.stdout.readline() == "ready\n"
    reports = [json.loads(process.communicate("go\n", timeout=120)[0]) for process in workers]

    assert [process.returncode for process in workers] == [0, 0]
    assert [report["seen_partial"] for report in reports] == [[], []]
    urls = reports[0]["urls"] + reports[1]["urls"]
    assert len(set(urls)) == len(urls) == 24
    for url in urls:
        assert path_of(url).read_bytes() == expected_content(path_of(url).name)
    assert sorted(path.parent for path in map(path_of, urls)) == sorted(store.iterdir())


# --- the command line ------------------------------------------------------------------------


@pytest.fixture
def filled_store(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """A store with three uploads, the first three days old, and entries that are not uploads."""
    store = tmp_path / "store"
    monkeypatch.setenv("NEMBRA_STORAGE_DIR", str(store))
    for name, data in [("old.txt", b"old"), ("new.bin", b"\0" * 1000), ("other.zip", b"z" * 7)]:
        upload = path_of(API()._upload_temporary_file(io.BytesIO(data), name)).parent
        if name == "old.txt":
            three_days_ago = time.time() - 3 * 86400
            os.utime(upload, (three_days_ago, three_days_ago))
    (store / "upload-empty").mkdir(mode=0o700)
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "precious.txt").write_bytes(b"keep")
    (store / "upload-link").symlink_to(outside, target_is_directory=True)
    (store / "notes").mkdir()
    (store / "notes" / "keep.txt").write_bytes(b"keep")
    return store


def uploads_of(store: Path) -> List[str]:
    return sorted(path.name for path in store.iterdir() if path.name.startswith("upload-"))


def test_list_shows_size_age_and_path_of_each_upload_oldest_first(filled_store: Path) -> None:
    completed = run_cli("--list", store=filled_store)

    assert completed.returncode == 0, completed.stderr
    rows = [line.split(maxsplit=2) for line in completed.stdout.splitlines()]
    old, *recent = rows
    assert old[:2] == ["3", "3.0d"]
    assert Path(old[2]).name == "old.txt"
    assert all(age.endswith("s") for _, age, _ in recent)
    listed = {(Path(path).relative_to(filled_store).parts[-1], int(size)) for size, _, path in rows}
    assert listed == {("old.txt", 3), ("new.bin", 1000), ("other.zip", 7), ("upload-empty", 0)}
    assert f"{filled_store}/upload-empty/" in [path for _, _, path in rows]
    assert all(Path(path).parent.parent == filled_store for _, _, path in rows if not path.endswith("/"))


def test_clean_removes_old_uploads_then_all_and_nothing_else(filled_store: Path, tmp_path: Path) -> None:
    before = uploads_of(filled_store)
    old = [name for name in before if (filled_store / name / "old.txt").exists()]

    first = run_cli("--clean", "--older-than", "2", store=filled_store)

    assert first.returncode == 0, first.stderr
    assert first.stdout == f"removed {filled_store / old[0]}\n"
    assert uploads_of(filled_store) == sorted(set(before) - set(old))

    second = run_cli("--clean", store=filled_store)

    assert second.returncode == 0, second.stderr
    assert sorted(second.stdout.splitlines()) == sorted(
        f"removed {filled_store / name}" for name in before if name not in old + ["upload-link"]
    )
    assert uploads_of(filled_store) == ["upload-link"]
    assert (tmp_path / "outside" / "precious.txt").read_bytes() == b"keep"
    assert (filled_store / "notes" / "keep.txt").read_bytes() == b"keep"


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (["--list", "--older-than", "1"], "--older-than goes with --clean"),
        (["--clean", "--older-than", "-1"], "argument --older-than: not a number of days: '-1'"),
        (["--clean", "--older-than", "nan"], "argument --older-than: not a number of days: 'nan'"),
        (["--list", "--clean"], "argument --clean: not allowed with argument --list"),
        ([], "one of the arguments --list --clean is required"),
    ],
)
def test_command_line_refuses_bad_arguments(tmp_path: Path, arguments: List[str], message: str) -> None:
    completed = run_cli(*arguments, store=tmp_path / "store")
    assert completed.returncode == 2
    assert completed.stderr.endswith(f"python -m nembra.api_v1: error: {message}\n")
    assert not (tmp_path / "store").exists()


def test_command_line_help_and_a_missing_store(tmp_path: Path) -> None:
    completed = run_cli("--help", store=tmp_path / "store")
    assert completed.returncode == 0
    for word in ("--list", "--clean", "--older-than DAYS", "NEMBRA_STORAGE_DIR", "upload-*"):
        assert word in completed.stdout

    for action in ("--list", "--clean"):
        completed = run_cli(action, store=tmp_path / "store")
        assert (completed.returncode, completed.stdout, completed.stderr) == (0, "", "")
    assert not (tmp_path / "store").exists()


def test_remove_upload_removes_that_upload_only(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setenv("NEMBRA_STORAGE_DIR", str(tmp_path / "store"))
    kept, removed = (API()._upload_temporary_file(io.BytesIO(b"x"), "x") for _ in range(2))

    remove_upload(removed)

    assert not path_of(removed).parent.exists()
    assert path_of(kept).read_bytes() == b"x"
    for url in (path_of(kept).parent.as_uri(), "https://example.com/upload-x/x", (tmp_path / "x").as_uri()):
        with pytest.raises(ValueError, match="is not the URL of an upload"):
            remove_upload(url)
    assert path_of(kept).read_bytes() == b"x"


if __name__ == "__main__":
    worker(sys.argv[1])
