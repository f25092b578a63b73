"""DownloadResult and _create_safe_file_name: checks, encoding, archives and uploads."""

from __future__ import annotations

import io
import re
import zipfile
from collections.abc import Mapping
from pathlib import Path
from urllib.parse import urlparse
from urllib.request import url2pathname

import pytest

import nembra.result
from nembra.core import File
from nembra.result import DownloadResult, _create_safe_file_name

ATTRIBUTES = ["_file_content", "_file_name", "_encoding", "_zipped_files"]


# --- helpers and fakes -----------------------------------------------------------------

# The fake upload client (the fake_api fixture) comes from conftest.py.


@pytest.fixture
def store(monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> Path:
    directory = tmp_path / "store"
    monkeypatch.setenv("NEMBRA_STORAGE_DIR", str(directory))
    return directory


def stored_files(directory: Path) -> list[Path]:
    return sorted(p for p in directory.rglob("*") if p.is_file()) if directory.exists() else []


def path_of(url: str) -> Path:
    parsed = urlparse(url)
    assert parsed.scheme == "file"
    return Path(url2pathname(parsed.path))


def uploaded(url: str) -> bytes:
    return path_of(url).read_bytes()


def zip_entries(data: bytes) -> list[tuple[str, bytes, int]]:
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        return [(info.filename, archive.read(info), info.compress_type) for info in archive.infolist()]


# --- _create_safe_file_name ------------------------------------------------------------


@pytest.mark.parametrize(
    ("name", "safe"),
    [
        ("my report (final).pdf", "my_report__final_.pdf"),
        ("data-2020.csv", "data_2020.csv"),
        ("ünïcode.txt", "_n_code.txt"),
        ("../x.zip", ".._x.zip"),
        ("a_b.txt", "a_b.txt"),
        ("", ""),
        ("report\U0001F600.txt", "report_.txt"),
        ("\U0001D400\U0001D401", "__"),
        ("e\u0301", "e_"),
        ("tab\there\nnul\0", "tab_here_nul_"),
        ("AZaz09.", "AZaz09."),
    ],
)
def test_safe_file_name(name: str, safe: str) -> None:
    result = _create_safe_file_name(name)
    assert type(result) is str
    assert result == safe
    assert len(result) == len(name)


def test_safe_file_name_of_none_fails_in_re_sub() -> None:
    with pytest.raises(TypeError) as raised:
        re.sub("[^A-Za-z0-9.]", "_", None)
    with pytest.raises(TypeError) as excinfo:
        _create_safe_file_name(None)
    assert excinfo.value.args == raised.value.args


def test_safe_file_name_refuses_keywords() -> None:
    with pytest.raises(TypeError) as excinfo:
        _create_safe_file_name(file_name="a")
    assert excinfo.value.args == ("_create_safe_file_name() takes no keyword arguments",)


def test_safe_file_name_uses_re_from_the_module_namespace(monkeypatch: pytest.MonkeyPatch) -> None:
    calls: list = []

    class FakeRe:
        @staticmethod
        def sub(*args, **kwargs):
            calls.append((args, kwargs))
            return "substituted"

    monkeypatch.setitem(vars(nembra.result), "re", FakeRe)
    assert _create_safe_file_name("a b") == "substituted"
    assert calls == [(("[^A-Za-z0-9.]", "_", "a b"), {})]


# --- construction ----------------------------------------------------------------------

PROVIDE_NAME = "Provide a 'file_name'"
PROVIDE_ONE = "Provide at least one of 'file_content' or 'zipped_files'"
NOT_BOTH = "Provide one of 'file_content' or 'zipped_files', not both"


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({}, PROVIDE_NAME),
        ({"file_content": b"x"}, PROVIDE_NAME),
        ({"zipped_files": {}}, PROVIDE_NAME),
        ({"file_content": b"x", "zipped_files": {}}, PROVIDE_NAME),
        ({"file_name": "a.txt"}, PROVIDE_ONE),
        ({"file_name": "a.txt", "encoding": None}, PROVIDE_ONE),
        ({"file_name": "a.txt", "file_content": b"x", "zipped_files": {}}, NOT_BOTH),
        ({"file_name": "", "file_content": b"", "zipped_files": {}}, NOT_BOTH),
        ({"file_name": "a.zip", "file_content": "", "zipped_files": {"a": io.BytesIO()}}, NOT_BOTH),
    ],
)
def test_construction_errors_in_order(kwargs: dict, message: str) -> None:
    result = DownloadResult.__new__(DownloadResult)
    with pytest.raises(ValueError) as excinfo:
        result.__init__(**kwargs)
    assert type(excinfo.value) is ValueError
    assert excinfo.value.args == (message,)
    assert vars(result) == {}


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"file_name": 5}, "Argument 'file_name' has incorrect type (expected str, got int)"),
        ({"file_name": 5, "encoding": 5}, "Argument 'file_name' has incorrect type (expected str, got int)"),
        ({"file_name": "a", "encoding": b"utf-8"}, "Argument 'encoding' has incorrect type (expected str, got bytes)"),
        ({"encoding": 1.5}, "Argument 'encoding' has incorrect type (expected str, got float)"),
    ],
)
def test_type_tests_come_before_the_value_checks(kwargs: dict, message: str) -> None:
    result = DownloadResult.__new__(DownloadResult)
    with pytest.raises(TypeError) as excinfo:
        result.__init__(**kwargs)
    assert excinfo.value.args == (message,)
    assert vars(result) == {}


@pytest.mark.parametrize(
    ("kwargs", "safe_name"),
    [
        ({"file_content": b"", "file_name": ""}, ""),
        ({"file_content": "", "file_name": "a.txt"}, "a.txt"),
        ({"zipped_files": {}, "file_name": "a.zip"}, "a.zip"),
        ({"file_content": b"x", "file_name": "my file.txt"}, "my_file.txt"),
        ({"file_content": b"x", "file_name": "my file.txt", "encoding": None}, "my_file.txt"),
        ({"file_content": object(), "file_name": "x"}, "x"),
    ],
)
def test_accepted_arguments_are_stored(kwargs: dict, safe_name: str) -> None:
    result = DownloadResult(**kwargs)
    assert list(vars(result)) == ATTRIBUTES
    assert result._file_content is kwargs.get("file_content")
    assert result._file_name == safe_name
    assert result._encoding == kwargs.get("encoding", "utf-8")
    assert result._zipped_files is kwargs.get("zipped_files")


def test_positional_arguments_are_stored() -> None:
    content = b"data"
    result = DownloadResult(content, "a b.bin", "latin-1")
    assert vars(result) == {
        "_file_content": content,
        "_file_name": "a_b.bin",
        "_encoding": "latin-1",
        "_zipped_files": None,
    }
    assert result._file_content is content


# --- single files ----------------------------------------------------------------------


@pytest.mark.parametrize(
    ("kwargs", "data"),
    [
        ({}, b"\xc3\xa9"),
        ({"encoding": "utf-8"}, b"\xc3\xa9"),
        ({"encoding": "latin-1"}, b"\xe9"),
        ({"encoding": "utf-16-le"}, b"\xe9\x00"),
    ],
)
def test_text_is_encoded(store: Path, kwargs: dict, data: bytes) -> None:
    output = DownloadResult(file_content="é", file_name="a.txt", **kwargs)._serialize()
    assert list(output) == ["url"]
    assert uploaded(output["url"]) == data
    assert path_of(output["url"]).name == "a.txt"


@pytest.mark.parametrize(
    ("encoding", "error"),
    [("ascii", UnicodeEncodeError), ("no-such-codec", LookupError), (None, TypeError)],
)
def test_text_that_cannot_be_encoded(fake_api: type, encoding, error: type) -> None:
    with pytest.raises(error) as raised:
        "é".encode(encoding)
    result = DownloadResult(file_content="é", file_name="a.txt", encoding=encoding)
    with pytest.raises(error) as excinfo:
        result._serialize()
    assert type(excinfo.value) is type(raised.value)
    assert excinfo.value.args == raised.value.args
    assert fake_api.events == []


def test_no_encoding_is_fine_for_bytes(store: Path) -> None:
    output = DownloadResult(file_content=b"\xe9", file_name="a.bin", encoding=None)._serialize()
    assert uploaded(output["url"]) == b"\xe9"


@pytest.mark.parametrize(
    "make",
    [
        lambda data: data,
        lambda data: data.decode("latin-1"),
        lambda data: io.BytesIO(data),
        lambda data: File.from_data(data),
    ],
    ids=["bytes", "str", "BytesIO", "File"],
)
def test_single_file_arrives_in_the_store(store: Path, make) -> None:
    data = bytes(range(128))
    content = make(data)
    output = DownloadResult(file_content=content, file_name="my data.bin")._serialize()
    assert list(output) == ["url"]
    assert path_of(output["url"]).name == "my_data.bin"
    assert uploaded(output["url"]) == data
    assert stored_files(store) == [path_of(output["url"])]


class Chunk(bytes):
    pass


def test_bytes_subclass_content_is_copied_into_a_new_buffer(fake_api: type) -> None:
    content = Chunk(b"abc")
    output = DownloadResult(file_content=content, file_name="a.bin")._serialize()
    (upload,) = fake_api.uploads
    assert type(upload.file_object) is io.BytesIO
    assert upload.data == b"abc"
    assert upload.position == 0
    assert output == {"url": fake_api.urls[0]}


def test_bytesio_content_passed_at_its_position_and_not_closed(fake_api: type) -> None:
    content = io.BytesIO(b"already read")
    content.read()
    result = DownloadResult(file_content=content, file_name="a.bin")
    output = result._serialize()
    (upload,) = fake_api.uploads
    assert upload.file_object is content
    assert upload.position == len(b"already read")
    assert upload.file_name == "a.bin"
    assert not content.closed
    assert output == {"url": fake_api.urls[0]}
    assert output["url"] is fake_api.urls[0]


def test_bytesio_content_at_its_end_uploads_nothing_more(store: Path) -> None:
    content = io.BytesIO(b"abc")
    content.seek(1)
    output = DownloadResult(file_content=content, file_name="a.bin")._serialize()
    assert uploaded(output["url"]) == b"bc"
    assert not content.closed


@pytest.mark.parametrize(
    "content",
    [bytearray(b"x"), memoryview(b"x"), io.StringIO("x"), 5],
    ids=["bytearray", "memoryview", "StringIO", "int"],
)
def test_unsupported_content_raises_after_the_client_is_made(fake_api: type, content) -> None:
    result = DownloadResult(file_content=content, file_name="a.bin")
    with pytest.raises(NotImplementedError) as excinfo:
        result._serialize()
    assert type(excinfo.value) is NotImplementedError
    assert excinfo.value.args == ()
    assert fake_api.events == ["API()"]


def test_content_set_to_none_after_construction(fake_api: type) -> None:
    result = DownloadResult(file_content=b"x", file_name="a.bin")
    result._file_content = None
    with pytest.raises(NotImplementedError):
        result._serialize()
    assert fake_api.events == ["API()"]


class ExitRecorder:
    def __init__(self, value, swallow: bool) -> None:
        self.value = value
        self.swallow = swallow
        self.exits: list = []

    def __enter__(self):
        return self.value

    def __exit__(self, *args):
        self.exits.append(args)
        return self.swallow


class HandOutFile(File):
    def __init__(self, manager: ExitRecorder) -> None:
        super().__init__()
        self.manager = manager

    def open_binary(self):
        return self.manager


def test_file_content_uploads_the_entered_stream(fake_api: type) -> None:
    stream = io.BytesIO(b"entered")
    manager = ExitRecorder(stream, swallow=False)
    output = DownloadResult(file_content=HandOutFile(manager), file_name="f.bin")._serialize()
    (upload,) = fake_api.uploads
    assert upload.file_object is stream
    assert upload.file_name == "f.bin"
    assert manager.exits == [(None, None, None)]
    assert output == {"url": fake_api.urls[0]}


@pytest.mark.parametrize("swallow", [False, 0, None])
def test_upload_error_leaves_through_open_binary(fake_api: type, swallow) -> None:
    error = OSError("store is full")
    fake_api.error = error
    manager = ExitRecorder(io.BytesIO(b"x"), swallow=swallow)
    result = DownloadResult(file_content=HandOutFile(manager), file_name="f.bin")
    with pytest.raises(OSError) as excinfo:
        result._serialize()
    assert excinfo.value is error
    ((exc_type, exc_value, traceback),) = manager.exits
    assert exc_type is OSError
    assert exc_value is error
    assert traceback is not None


def test_swallowed_upload_error_leaves_url_unassigned(fake_api: type) -> None:
    error = OSError("store is full")
    fake_api.error = error
    manager = ExitRecorder(io.BytesIO(b"x"), swallow=True)
    result = DownloadResult(file_content=HandOutFile(manager), file_name="f.bin")
    with pytest.raises(UnboundLocalError) as excinfo:
        result._serialize()
    assert type(excinfo.value) is UnboundLocalError
    assert excinfo.value.args == ("local variable 'url' referenced before assignment",)
    assert manager.exits[0][1] is error


# --- archives --------------------------------------------------------------------------


def test_zip_archive_entries(store: Path) -> None:
    moved = io.BytesIO(b"whole buffer")
    moved.seek(0, io.SEEK_END)
    first = io.BytesIO(b"first entry\n" * 20)
    files = {
        "first file.txt": first,
        "b\u00e9ta (2).bin": File.from_data(b"\x00\x01\x02"),
        "dir/moved.txt": moved,
        "empty.txt": File(),
    }
    output = DownloadResult(zipped_files=files, file_name="my archive.zip")._serialize()
    assert list(output) == ["url"]
    assert path_of(output["url"]).name == "my_archive.zip"
    assert zip_entries(uploaded(output["url"])) == [
        ("first file.txt", b"first entry\n" * 20, zipfile.ZIP_DEFLATED),
        ("b\u00e9ta (2).bin", b"\x00\x01\x02", zipfile.ZIP_DEFLATED),
        ("dir/moved.txt", b"whole buffer", zipfile.ZIP_DEFLATED),
        ("empty.txt", b"", zipfile.ZIP_DEFLATED),
    ]
    assert moved.tell() == len(b"whole buffer")
    assert not moved.closed and not first.closed


def test_archive_ignores_file_content_set_later(store: Path) -> None:
    result = DownloadResult(zipped_files={"a.txt": io.BytesIO(b"a")}, file_name="a.zip")
    result._file_content = b"ignored"
    output = result._serialize()
    assert zip_entries(uploaded(output["url"])) == [("a.txt", b"a", zipfile.ZIP_DEFLATED)]


def test_empty_zipped_files_uploads_an_empty_archive(store: Path) -> None:
    expected = io.BytesIO()
    zipfile.ZipFile(expected, "w", zipfile.ZIP_DEFLATED).close()
    output = DownloadResult(zipped_files={}, file_name="a.zip")._serialize()
    data = uploaded(output["url"])
    assert data == expected.getvalue()
    assert zip_entries(data) == []


@pytest.mark.parametrize("entry", ["text", b"bytes", bytearray(b"x"), None], ids=repr)
def test_unsupported_entry_raises_before_the_client_is_made(fake_api: type, entry) -> None:
    files = {"good.txt": io.BytesIO(b"ok"), "bad": entry}
    result = DownloadResult(zipped_files=files, file_name="a.zip")
    with pytest.raises(NotImplementedError) as excinfo:
        result._serialize()
    assert type(excinfo.value) is NotImplementedError
    assert excinfo.value.args == ()
    assert fake_api.events == []


class Entries(Mapping):
    """A mapping that is not a dict, yielding its entries in the given order."""

    def __init__(self, pairs: list) -> None:
        self.pairs = pairs

    def __getitem__(self, key):
        return dict(self.pairs)[key]

    def __iter__(self):
        return (key for key, _ in self.pairs)

    def __len__(self) -> int:
        return len(self.pairs)


def test_non_dict_mapping_entries_in_its_order(store: Path) -> None:
    files = Entries([("z.txt", io.BytesIO(b"z")), ("a.txt", File.from_data(b"a"))])
    output = DownloadResult(zipped_files=files, file_name="a.zip")._serialize()
    assert zip_entries(uploaded(output["url"])) == [
        ("z.txt", b"z", zipfile.ZIP_DEFLATED),
        ("a.txt", b"a", zipfile.ZIP_DEFLATED),
    ]


class Items:
    def __init__(self, items) -> None:
        self._items = items

    def items(self):
        return self._items


@pytest.mark.parametrize(
    ("items", "message"),
    [
        ([("a.txt", io.BytesIO(b"a"), "extra")], "too many values to unpack (expected 2)"),
        ([("a.txt",)], "need more than 1 value to unpack"),
        ([()], "need more than 0 values to unpack"),
    ],
)
def test_items_that_do_not_unpack_to_two(fake_api: type, items: list, message: str) -> None:
    result = DownloadResult(zipped_files=Items(items), file_name="a.zip")
    with pytest.raises(ValueError) as excinfo:
        result._serialize()
    assert type(excinfo.value) is ValueError
    assert excinfo.value.args == (message,)
    assert fake_api.events == []


def test_items_pairs_of_any_iterable(store: Path) -> None:
    files = Items(iter([["one.txt", io.BytesIO(b"1")], ("two.txt", io.BytesIO(b"2"))]))
    output = DownloadResult(zipped_files=files, file_name="a.zip")._serialize()
    assert [name for name, _, _ in zip_entries(uploaded(output["url"]))] == ["one.txt", "two.txt"]


def test_dict_changed_during_writing(fake_api: type) -> None:
    files: dict = {}

    class Growing(File):
        def getvalue_binary(self) -> bytes:
            files["added.txt"] = io.BytesIO(b"late")
            return b"grow"

    files["grow.txt"] = Growing()
    files["other.txt"] = io.BytesIO(b"other")
    result = DownloadResult(zipped_files=files, file_name="a.zip")
    with pytest.raises(RuntimeError) as excinfo:
        result._serialize()
    assert type(excinfo.value) is RuntimeError
    assert excinfo.value.args == ("dictionary changed size during iteration",)
    assert fake_api.events == []


def test_zipped_files_without_items(fake_api: type) -> None:
    result = DownloadResult(zipped_files=[("a.txt", io.BytesIO())], file_name="a.zip")
    with pytest.raises(AttributeError):
        result._serialize()
    assert fake_api.events == []


# --- repeated serialisation ------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs",
    [{"file_content": b"same"}, {"zipped_files": {"same.txt": io.BytesIO(b"same")}}],
    ids=["single", "archive"],
)
def test_two_serialisations_make_two_uploads(store: Path, kwargs: dict) -> None:
    result = DownloadResult(file_name="a.bin", **kwargs)
    first = result._serialize()
    second = result._serialize()
    assert first is not second
    assert first["url"] != second["url"]
    assert path_of(first["url"]).parent != path_of(second["url"]).parent
    assert uploaded(first["url"]) == uploaded(second["url"])
    assert stored_files(store) == sorted([path_of(first["url"]), path_of(second["url"])])


def test_two_serialisations_make_two_clients(fake_api: type) -> None:
    result = DownloadResult(file_content="x", file_name="a.txt")
    first = result._serialize()
    second = result._serialize()
    assert fake_api.events == ["API()", "upload", "API()", "upload"]
    assert first == {"url": fake_api.urls[0]}
    assert second == {"url": fake_api.urls[1]}
    assert fake_api.uploads[0].file_object is not fake_api.uploads[1].file_object


# --- names resolved in the module namespace --------------------------------------------


def test_replaced_safe_file_name_serves_later_constructions(monkeypatch: pytest.MonkeyPatch) -> None:
    calls: list = []

    def safe(*args, **kwargs):
        calls.append((args, kwargs))
        return "chosen.bin"

    before = DownloadResult(file_content=b"x", file_name="a b")
    monkeypatch.setitem(vars(nembra.result), "_create_safe_file_name", safe)
    after = DownloadResult(file_content=b"x", file_name="a b")
    assert before._file_name == "a_b"
    assert after._file_name == "chosen.bin"
    assert calls == [(("a b",), {})]


def test_replaced_api_serves_later_serialisations(fake_api: type) -> None:
    output = DownloadResult(file_content=b"x", file_name="a.bin")._serialize()
    assert output == {"url": fake_api.urls[0]}
    assert fake_api.uploads[0].data == b"x"


def test_replaced_file_holds_the_archive(store: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    made: list = []

    class RecordingFile(File):
        def __init__(self) -> None:
            super().__init__()
            made.append(self)

    monkeypatch.setitem(vars(nembra.result), "File", RecordingFile)
    output = DownloadResult(zipped_files={"a.txt": RecordingFile.from_data(b"a")}, file_name="a.zip")._serialize()
    assert len(made) == 2
    archive = made[1]
    assert uploaded(output["url"]) == archive.getvalue_binary()
    assert zip_entries(archive.getvalue_binary()) == [("a.txt", b"a", zipfile.ZIP_DEFLATED)]


def test_replaced_file_decides_what_counts_as_a_file(fake_api: type, monkeypatch: pytest.MonkeyPatch) -> None:
    class OtherFile(File):
        pass

    monkeypatch.setitem(vars(nembra.result), "File", OtherFile)
    result = DownloadResult(file_content=File.from_data(b"x"), file_name="a.bin")
    with pytest.raises(NotImplementedError):
        result._serialize()
    assert fake_api.events == ["API()"]


def test_replaced_bytesio_serves_later_serialisations(fake_api: type, monkeypatch: pytest.MonkeyPatch) -> None:
    class Buffer(io.BytesIO):
        pass

    monkeypatch.setitem(vars(nembra.result), "BytesIO", Buffer)
    DownloadResult(file_content="é", file_name="a.txt")._serialize()
    DownloadResult(file_content=b"b", file_name="b.bin")._serialize()
    assert [type(u.file_object) for u in fake_api.uploads] == [Buffer, Buffer]
    assert [u.data for u in fake_api.uploads] == [b"\xc3\xa9", b"b"]


@pytest.mark.parametrize(
    ("name", "kwargs"),
    [
        ("API", {"file_content": b"x"}),
        ("BytesIO", {"file_content": b"x"}),
        ("BytesIO", {"zipped_files": {"a": io.BytesIO()}}),
        ("File", {"zipped_files": {}}),
        ("File", {"file_content": File()}),
        ("zipfile", {"zipped_files": {}}),
    ],
)
def test_missing_name_raises_name_error(namespace: dict, name: str, kwargs: dict) -> None:
    result = DownloadResult(file_name="a.bin", **kwargs)
    del namespace[name]
    with pytest.raises(NameError) as excinfo:
        result._serialize()
    assert type(excinfo.value) is NameError
    assert excinfo.value.args == (f"name '{name}' is not defined",)


def test_missing_safe_file_name_raises_name_error(namespace: dict) -> None:
    del namespace["_create_safe_file_name"]
    result = DownloadResult.__new__(DownloadResult)
    with pytest.raises(NameError) as excinfo:
        result.__init__(file_content=b"x", file_name="a")
    assert excinfo.value.args == ("name '_create_safe_file_name' is not defined",)
    assert vars(result) == {"_file_content": b"x"}
