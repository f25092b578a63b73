"""Tests of the pure-Python modules beside nembra.result: core, parametrization, views, api_v1."""

from __future__ import annotations

import base64
import io
import json
import os
import typing
import zipfile
from collections import OrderedDict
from pathlib import Path
from urllib.parse import urlparse
from urllib.request import url2pathname

import pytest
from munch import Munch

from nembra.api_v1 import API
from nembra.core import File
from nembra.parametrization import _serialize_params
from nembra.views import JPGResult, PNGResult, SVGResult


def path_of(url: str) -> Path:
    parsed = urlparse(url)
    assert parsed.scheme == "file"
    return Path(url2pathname(parsed.path))


# --- File ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("data", "content"),
    [
        ("héllo\n", "héllo\n".encode("utf-8")),
        (b"\x00\xffbinary", b"\x00\xffbinary"),
        ("", b""),
        (b"", b""),
    ],
)
def test_file_from_data_holds_bytes(data: typing.Union[str, bytes], content: bytes) -> None:
    assert File.from_data(data).getvalue_binary() == content


def test_new_file_is_empty() -> None:
    file = File()
    assert file.getvalue_binary() == b""
    with file.open_binary() as stream:
        assert stream.read() == b""


def test_file_getvalue_decodes() -> None:
    file = File.from_data("é")
    assert file.getvalue() == "é"
    assert file.getvalue("latin-1") == "Ã©"


@pytest.mark.parametrize("as_path", [str, Path])
def test_file_from_path_reads_a_copy(tmp_path: Path, as_path: typing.Callable) -> None:
    path = tmp_path / "input.bin"
    path.write_bytes(b"first\x00content")
    file = File.from_path(as_path(path))
    path.write_bytes(b"changed")
    assert file.getvalue_binary() == b"first\x00content"


def test_file_from_path_missing(tmp_path: Path) -> None:
    with pytest.raises(FileNotFoundError):
        File.from_path(tmp_path / "absent")


def test_open_binary_reads_from_start_and_closes() -> None:
    file = File.from_data(b"abcdef")
    with file.open_binary() as stream:
        assert stream.readable()
        assert stream.read() == b"abcdef"
    assert stream.closed
    with file.open_binary() as again:
        assert again.read(3) == b"abc"


def test_zip_archive_written_to_source_round_trips() -> None:
    entries = {"a.txt": b"alpha" * 100, "dir/b name.bin": bytes(range(256))}
    file = File()
    with zipfile.ZipFile(file.source, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in entries.items():
            archive.writestr(name, data)

    with file.open_binary() as stream, zipfile.ZipFile(stream) as archive:
        assert archive.namelist() == list(entries)
        assert {name: archive.read(name) for name in entries} == entries
        assert all(info.compress_type == zipfile.ZIP_DEFLATED for info in archive.infolist())
    assert zipfile.is_zipfile(io.BytesIO(file.getvalue_binary()))


def test_empty_zip_archive_round_trips() -> None:
    file = File()
    zipfile.ZipFile(file.source, "w", zipfile.ZIP_DEFLATED).close()
    with file.open_binary() as stream, zipfile.ZipFile(stream) as archive:
        assert archive.namelist() == []


# --- _serialize_params -----------------------------------------------------------------


def test_serialize_params_turns_every_mapping_into_a_dict() -> None:
    params = Munch(
        tab_1=Munch(section_1=OrderedDict([("numberfield_1", 1234), ("textfield", "x")])),
        tab_2={"section_2": Munch(toggle=True)},
    )
    result = _serialize_params(params)

    assert result == {
        "tab_1": {"section_1": {"numberfield_1": 1234, "textfield": "x"}},
        "tab_2": {"section_2": {"toggle": True}},
    }
    assert list(result["tab_1"]["section_1"]) == ["numberfield_1", "textfield"]
    levels = [result, result["tab_1"], result["tab_1"]["section_1"], result["tab_2"]["section_2"]]
    assert all(type(level) is dict for level in levels)
    assert isinstance(params.tab_1, Munch), "the input is left as it was"


def test_serialize_params_makes_new_dicts_and_keeps_leaves() -> None:
    leaf_list = [1, 2]
    leaf_object = object()
    params = {"tab": {"section": {"array": leaf_list, "custom": leaf_object}}}
    result = _serialize_params(params)

    assert result is not params
    assert result["tab"] is not params["tab"]
    assert result["tab"]["section"]["array"] is leaf_list
    assert result["tab"]["section"]["custom"] is leaf_object


@pytest.mark.parametrize("value", [None, [Munch(a=1)], "text", 3.5], ids=repr)
def test_serialize_params_returns_non_mappings_unchanged(value: object) -> None:
    assert _serialize_params(value) is value


# --- views -----------------------------------------------------------------------------

SVG_TEXT = '<svg xmlns="http://www.w3.org/2000/svg"><text>é</text></svg>'
PNG_BYTES = b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR"
JPG_BYTES = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00"


@pytest.mark.parametrize(
    ("cls", "data", "type_name", "decode"),
    [
        (SVGResult, SVG_TEXT, "svg", lambda text: text),
        (PNGResult, PNG_BYTES, "png", base64.b64decode),
        (JPGResult, JPG_BYTES, "jpeg", base64.b64decode),
    ],
)
def test_view_serializes_to_json_ready_data(
    cls: type, data: typing.Union[str, bytes], type_name: str, decode: typing.Callable
) -> None:
    view = cls(data)
    serialized = view._serialize()

    assert cls._view_type_name == view._view_type_name == type_name
    assert list(serialized) == ["data"]
    assert decode(serialized["data"]) == data
    assert json.loads(json.dumps(serialized)) == serialized
    assert view, "an image given to a result must be truthy"


@pytest.mark.parametrize(
    ("cls", "data"), [(SVGResult, SVG_TEXT), (PNGResult, PNG_BYTES), (JPGResult, JPG_BYTES)]
)
def test_view_from_path(tmp_path: Path, cls: type, data: typing.Union[str, bytes]) -> None:
    path = tmp_path / "image"
    if isinstance(data, str):
        path.write_text(data, encoding="utf-8")
    else:
        path.write_bytes(data)
    view = cls.from_path(path)
    assert type(view) is cls
    assert view._serialize() == cls(data)._serialize()


@pytest.mark.parametrize(
    ("cls", "data"), [(SVGResult, b"<svg/>"), (PNGResult, "png"), (JPGResult, None)]
)
def test_view_refuses_wrong_data_type(cls: type, data: object) -> None:
    with pytest.raises(TypeError, match="must be"):
        cls(data)


def test_views_are_union_members() -> None:
    image = typing.Union[PNGResult, JPGResult, SVGResult]
    assert typing.get_args(image) == (PNGResult, JPGResult, SVGResult)


# --- API._upload_temporary_file ------------------------------------------------------


@pytest.fixture
def store(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    """A store directory named by NEMBRA_STORAGE_DIR that does not exist yet."""
    path = tmp_path / "missing" / "store"
    monkeypatch.setenv("NEMBRA_STORAGE_DIR", str(path))
    return path


@pytest.mark.parametrize(
    "file_name", ["report.txt", "my report (final).pdf", "ünïcode.txt", "..hidden"]
)
def test_upload_stores_the_bytes_and_returns_their_url(store: Path, file_name: str) -> None:
    data = os.urandom(3 * 1024 * 1024 + 17)
    assert not store.exists()

    url = API()._upload_temporary_file(io.BytesIO(data), file_name)

    stored = path_of(url)
    assert url.startswith("file://")
    assert stored.name == file_name
    assert stored.parent.parent == store.resolve()
    assert stored.read_bytes() == data


def test_upload_reads_from_the_current_position_and_leaves_the_stream_open(store: Path) -> None:
    stream = io.BytesIO(b"header|body")
    stream.seek(7)

    url = API()._upload_temporary_file(stream, "body.txt")

    assert path_of(url).read_bytes() == b"body"
    assert not stream.closed
    assert stream.tell() == len(b"header|body")


def test_upload_of_a_stream_at_its_end_stores_an_empty_file(store: Path) -> None:
    stream = io.BytesIO(b"consumed")
    stream.read()
    assert path_of(API()._upload_temporary_file(stream, "empty.bin")).read_bytes() == b""


def test_upload_from_open_binary_of_a_file(store: Path) -> None:
    file = File.from_data("text ✓")
    with file.open_binary() as stream:
        url = API()._upload_temporary_file(stream, "text.txt")
    assert path_of(url).read_text(encoding="utf-8") == "text ✓"


def test_uploads_of_the_same_name_do_not_overwrite_each_other(store: Path) -> None:
    api = API()
    first = path_of(api._upload_temporary_file(io.BytesIO(b"one"), "same.txt"))
    second = path_of(api._upload_temporary_file(io.BytesIO(b"two"), "same.txt"))

    assert first != second
    assert (first.read_bytes(), second.read_bytes()) == (b"one", b"two")


def test_storage_dir_is_read_at_each_upload(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    api = API()
    monkeypatch.setenv("NEMBRA_STORAGE_DIR", str(tmp_path / "a"))
    first = path_of(api._upload_temporary_file(io.BytesIO(b"1"), "x"))
    monkeypatch.setenv("NEMBRA_STORAGE_DIR", str(tmp_path / "b"))
    second = path_of(api._upload_temporary_file(io.BytesIO(b"2"), "x"))

    assert first.parent.parent == (tmp_path / "a").resolve()
    assert second.parent.parent == (tmp_path / "b").resolve()


@pytest.mark.parametrize("configured", [None, ""], ids=["unset", "empty"])
def test_default_store_is_in_the_users_cache_directory(
    tmp_path: Path, monkeypatch: pytest.MonkeyPatch, configured: typing.Optional[str]
) -> None:
    if configured is None:
        monkeypatch.delenv("NEMBRA_STORAGE_DIR", raising=False)
    else:
        monkeypatch.setenv("NEMBRA_STORAGE_DIR", configured)
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))

    stored = path_of(API()._upload_temporary_file(io.BytesIO(b"data"), "d.bin"))

    assert stored.parent.parent == tmp_path / "cache" / "nembra" / "uploads"
    assert stored.read_bytes() == b"data"


UNSAFE_NAMES = [
    ("", "does not name a file"),
    (".", "does not name a file"),
    ("..", "does not name a file"),
    ("a/b.txt", "path separator"),
    ("../escape.txt", "path separator"),
    ("/etc/passwd", "path separator"),
    (f"x{os.sep}y", "path separator"),
    ("a\0b", "NUL character"),
    (None, "must be a str"),
    (b"name.txt", "must be a str"),
    (Path("name.txt"), "must be a str"),
]
if os.altsep:
    UNSAFE_NAMES.append((f"x{os.altsep}y", "path separator"))


@pytest.mark.parametrize(("file_name", "reason"), UNSAFE_NAMES, ids=repr)
def test_upload_refuses_unsafe_names_before_creating_anything(
    store: Path, file_name: object, reason: str
) -> None:
    stream = io.BytesIO(b"data")
    with pytest.raises(ValueError, match=reason):
        API()._upload_temporary_file(stream, file_name)  # type: ignore[arg-type]
    assert not store.exists()
    assert stream.tell() == 0


class FailingStream(io.RawIOBase):
    def readable(self) -> bool:
        return True

    def readinto(self, buffer: typing.Any) -> int:
        raise OSError("device gone")


def test_failed_read_leaves_no_partial_upload(store: Path) -> None:
    with pytest.raises(OSError, match="device gone"):
        API()._upload_temporary_file(FailingStream(), "broken.bin")
    assert list(store.iterdir()) == []
