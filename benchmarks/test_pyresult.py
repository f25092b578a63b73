"""The rendition in pyresult.py and the limit builder do what nembra.result does.

The benchmarks compare the three, so they must do the same work: the same attributes, the
same output dicts with keys in the same order, the same uploads and the same calls into
the sibling modules. The comparisons with the extension need it built and are skipped
without it; the tests of the rendition alone, and of the limit builder on the rendition's
objects, always run (the limit is compiled on first use, which needs a C++ compiler).

Run with ``python -m pytest benchmarks/test_pyresult.py`` (the package installed, or
``src`` on ``PYTHONPATH``). ``NEMBRA_BENCH_EXT_MODULE=pyresult`` compares the rendition
with itself, to try the tests out before the extension is built.
"""

from __future__ import annotations

import io
import os
import zipfile
from collections import OrderedDict
from pathlib import Path
from types import ModuleType
from typing import Any, Callable, List
from urllib.parse import urlparse
from urllib.request import url2pathname

import pytest
from munch import Munch

import limit
import pyresult
from nembra.api_v1 import API
from nembra.core import File
from nembra.parametrization import _serialize_params
from workload import (
    DOWNLOAD_NAME,
    HEADERS,
    INPUT_COLUMNS,
    KB,
    MB,
    ZIP_NAME,
    make_rows_data,
    make_svg,
    make_text,
    make_zip_entries,
)

EXT_MODULE = os.environ.get("NEMBRA_BENCH_EXT_MODULE", "nembra.result")


@pytest.fixture(scope="module")
def ext() -> ModuleType:
    module = pytest.importorskip(EXT_MODULE)
    if not hasattr(module, "SetParamsResult"):
        # With src/ on the path and nothing built, nembra.result is the source directory.
        pytest.skip(f"{EXT_MODULE} is not the built extension ({module!r})")
    return module


@pytest.fixture(autouse=True)
def store(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Path:
    directory = tmp_path / "store"
    monkeypatch.setenv("NEMBRA_STORAGE_DIR", str(directory))
    return directory


@pytest.fixture(params=["sibling", "id"])
def serialize_params(request, ext: ModuleType, monkeypatch: pytest.MonkeyPatch) -> str:
    """Run a test with the real _serialize_params and with it rebound to id in both."""
    if request.param == "id":
        monkeypatch.setattr(ext, "_serialize_params", id)
        monkeypatch.setattr(pyresult, "_serialize_params", id)
    return request.param


def path_of(url: str) -> Path:
    parsed = urlparse(url)
    assert parsed.scheme == "file"
    return Path(url2pathname(parsed.path))


def archive(data: bytes) -> List[tuple]:
    """What a zip archive holds, without its timestamps."""
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        return [(i.filename, i.compress_type, i.file_size, z.read(i)) for i in z.infolist()]


def uploaded(url: str) -> tuple:
    path = path_of(url)
    data = path.read_bytes()
    if path.suffix == ".zip":
        return ("upload", path.name, archive(data))
    return ("upload", path.name, data)


def ordered(value: Any) -> Any:
    """A comparable form that keeps key order: dicts become lists of pairs."""
    if type(value) is dict:
        return ("dict", [(k, ordered(v)) for k, v in value.items()])
    if type(value) is list:
        return ("list", [ordered(v) for v in value])
    if isinstance(value, str) and value.startswith("file://"):
        return uploaded(value)
    return (type(value).__name__, value)


def same_output(a: Any, b: Any) -> None:
    assert ordered(a) == ordered(b)


def attributes(obj: object) -> list:
    return [(name, type(value).__name__) for name, value in vars(obj).items()]


# --- the extension and the rendition side by side ------------------------------------------


def test_set_params_result(ext: ModuleType, serialize_params: str) -> None:
    params = make_rows_data(1, seed=7)[0][0]
    native, plain = ext.SetParamsResult(params), pyresult.SetParamsResult(params)
    assert attributes(native) == attributes(plain) == [("_data", "dict")]
    assert native._data is plain._data is params
    same_output(native._serialize(), plain._serialize())
    assert native.get("geometry") is plain.get("geometry") is params["geometry"]


@pytest.mark.parametrize("headers", [HEADERS, None, {}, list(reversed(list(HEADERS)))])
def test_optimization_result_element(ext: ModuleType, serialize_params: str, headers) -> None:
    for params, analysis in make_rows_data(20, seed=11):
        native = ext.OptimizationResultElement(params, analysis)
        plain = pyresult.OptimizationResultElement(params, analysis)
        assert attributes(native) == attributes(plain)
        native_row, plain_row = native._serialize(headers), plain._serialize(headers)
        same_output(native_row, plain_row)
        assert native_row["analysis"] is plain_row["analysis"] is analysis


def test_element_display_values(ext: ModuleType) -> None:
    """Numbers of every shape come out as the interpreter's str() writes them."""
    values = [0.0, -0.0, 1e16, 1.5e-5, 0.0001, 123456789012345.6, float("inf"), float("nan"),
              2**63, -(2**63), 10**30, True, None, "text", 1234.5678, 1e22, 5e-324]
    analysis = {f"k{i}": v for i, v in enumerate(values)}
    headers = {key: key for key in [*analysis, "absent"]}
    native = ext.OptimizationResultElement({}, analysis)._serialize(headers)
    plain = pyresult.OptimizationResultElement({}, analysis)._serialize(headers)
    assert native["output_display_data"] == plain["output_display_data"]


@pytest.mark.parametrize("n", [1, 100, 10_000])
def test_optimization_result(ext: ModuleType, serialize_params: str, n: int) -> None:
    rows_data = make_rows_data(n)
    image = make_svg()
    native = ext.OptimizationResult(
        [ext.OptimizationResultElement(p, a) for p, a in rows_data], INPUT_COLUMNS, HEADERS, image
    )
    plain = pyresult.OptimizationResult(
        [pyresult.OptimizationResultElement(p, a) for p, a in rows_data],
        INPUT_COLUMNS,
        HEADERS,
        image,
    )
    assert attributes(native) == attributes(plain)
    same_output(native._serialize(), plain._serialize())


def test_optimization_result_without_extras(ext: ModuleType) -> None:
    native, plain = ext.OptimizationResult([]), pyresult.OptimizationResult([])
    assert attributes(native) == attributes(plain)
    same_output(native._serialize(), plain._serialize())


@pytest.mark.parametrize("content", [make_text(MB), make_text(10 * KB).encode(), "é ü ß"])
def test_download_result_single_file(ext: ModuleType, content) -> None:
    native = ext.DownloadResult(file_content=content, file_name=DOWNLOAD_NAME)
    plain = pyresult.DownloadResult(file_content=content, file_name=DOWNLOAD_NAME)
    assert attributes(native) == attributes(plain)
    assert native._file_name == plain._file_name
    same_output(native._serialize(), plain._serialize())


def test_download_result_zip(ext: ModuleType) -> None:
    entries = make_zip_entries()
    native = ext.DownloadResult(zipped_files=entries, file_name=ZIP_NAME)
    plain = pyresult.DownloadResult(zipped_files=entries, file_name=ZIP_NAME)
    assert attributes(native) == attributes(plain)
    native_out, plain_out = native._serialize(), plain._serialize()
    same_output(native_out, plain_out)
    assert archive(path_of(native_out["url"]).read_bytes())[0][0] == "measurements 000.csv"


def nembra_data() -> tuple:
    return make_rows_data(100, seed=5), make_rows_data(1, seed=7)[0][0], make_text(10 * KB)


def nembra_results(mod: ModuleType, data: tuple = None) -> Any:
    rows_data, params, text = data or nembra_data()
    return mod.NembraResult(
        optimization_result=mod.OptimizationResult(
            [mod.OptimizationResultElement(p, a) for p, a in rows_data],
            INPUT_COLUMNS,
            HEADERS,
            make_svg(),
        ),
        set_params_result=mod.SetParamsResult(params),
        download_result=mod.DownloadResult(file_content=text, file_name=DOWNLOAD_NAME),
    )


def test_nembra_result(ext: ModuleType, serialize_params: str) -> None:
    data = nembra_data()
    native, plain = nembra_results(ext, data), nembra_results(pyresult, data)
    assert attributes(native) == attributes(plain)
    native_out, plain_out = native._serialize(), plain._serialize()
    assert list(native_out) == [
        "input_columns", "optimization", "output_headers", "views", "parameters", "url"
    ]
    same_output(native_out, plain_out)


def test_nembra_result_of_held_outputs(ext: ModuleType) -> None:
    outputs = ({"input_columns": [], "optimization": []}, {"parameters": {}}, {"url": "u"})

    class Held:
        def __init__(self, output):
            self._serialize = output.copy

    def make(mod):
        o, s, d = (Held(output) for output in outputs)
        return mod.NembraResult(optimization_result=o, set_params_result=s, download_result=d)

    same_output(make(ext)._serialize(), make(pyresult)._serialize())


class Recorder:
    """Stand-ins for the sibling names that log every call the module makes to them."""

    def __init__(self) -> None:
        self.calls: list = []
        calls = self.calls

        def serialize_params(params):
            calls.append(("_serialize_params", repr(params)))
            return params

        class RecordingAPI(API):
            def __init__(self) -> None:
                calls.append(("API",))

            def _upload_temporary_file(self, file_object, file_name):
                calls.append(("upload", type(file_object).__name__, file_object.tell(), file_name))
                return super()._upload_temporary_file(file_object, file_name)

        class RecordingFile(File):
            def __init__(self) -> None:
                calls.append(("File",))
                super().__init__()

            def getvalue_binary(self) -> bytes:
                calls.append(("getvalue_binary",))
                return super().getvalue_binary()

            def open_binary(self):
                calls.append(("open_binary",))
                return super().open_binary()

        self.names = {"_serialize_params": serialize_params, "API": RecordingAPI,
                      "File": RecordingFile}

    def run(self, mod: ModuleType, work: Callable[[ModuleType], Any],
            monkeypatch: pytest.MonkeyPatch) -> list:
        with monkeypatch.context() as patch:
            for name, value in self.names.items():
                patch.setattr(mod, name, value)
            work(mod)
        calls = list(self.calls)
        self.calls.clear()
        return calls


@pytest.mark.parametrize(
    "work",
    [
        lambda mod: nembra_results(mod)._serialize(),
        lambda mod: mod.DownloadResult(zipped_files=make_zip_entries(count=5),
                                       file_name=ZIP_NAME)._serialize(),
        lambda mod: mod.DownloadResult(
            zipped_files={"a.txt": mod.File(), "b.csv": io.BytesIO(b"b")}, file_name=ZIP_NAME
        )._serialize(),
        lambda mod: mod.DownloadResult(file_content=mod.File(), file_name="f.bin")._serialize(),
    ],
    ids=["nembra-result", "zip-of-bytesio", "zip-of-files", "file-content"],
)
def test_same_calls_into_siblings(ext: ModuleType, work, monkeypatch: pytest.MonkeyPatch) -> None:
    recorder = Recorder()
    native = recorder.run(ext, work, monkeypatch)
    plain = recorder.run(pyresult, work, monkeypatch)
    assert native == plain
    assert native


# --- the limit builder --------------------------------------------------------------------
# nembra_limit (benchmarks/limit/) is timed as the least work that builds these outputs; it
# must build exactly what the module builds, from the same objects, calling
# _serialize_params once per parameter set in the same order.


@pytest.fixture(scope="module")
def limit_module() -> ModuleType:
    return limit.load()


@pytest.fixture(params=["ext", "pyresult"])
def source(request) -> ModuleType:
    """The module whose objects the limit reads: the extension, or the rendition (always
    there, so the limit is checked before the extension is built too)."""
    return request.getfixturevalue("ext") if request.param == "ext" else pyresult


@pytest.fixture(params=[_serialize_params, id], ids=["sibling", "id"])
def sp(request, source: ModuleType, monkeypatch: pytest.MonkeyPatch) -> Callable:
    monkeypatch.setattr(source, "_serialize_params", request.param)
    return request.param


@pytest.mark.parametrize("n", [1, 100, 10_000])
def test_limit_table(limit_module: ModuleType, source: ModuleType, sp: Callable, n: int) -> None:
    rows = [source.OptimizationResultElement(p, a) for p, a in make_rows_data(n)]
    result = source.OptimizationResult(rows, INPUT_COLUMNS, HEADERS, make_svg())
    same_output(limit_module.table(sp, result), result._serialize())


@pytest.mark.parametrize(
    "headers",
    [HEADERS, None, {}, dict(reversed(HEADERS.items()))],
    ids=["all", "none", "empty", "reversed"],
)
def test_limit_element(limit_module: ModuleType, source: ModuleType, sp: Callable, headers) -> None:
    for params, analysis in make_rows_data(20, seed=11):
        element = source.OptimizationResultElement(params, analysis)
        same_output(limit_module.element(sp, element, headers), element._serialize(headers))


def test_limit_set_params(limit_module: ModuleType, source: ModuleType, sp: Callable) -> None:
    result = source.SetParamsResult(make_rows_data(1, seed=7)[0][0])
    same_output(limit_module.set_params(sp, result), result._serialize())


def test_limit_display_values_are_str(limit_module: ModuleType) -> None:
    """The formatter compiled into the limit writes numbers as the interpreter's str()."""
    values = [0.0, -0.0, 1e16, 1.5e-5, 0.0001, 123456789012345.6, float("inf"), float("nan"),
              2**63, -(2**63), 10**30, True, None, "text", 1234.5678, 1e22, 5e-324, -165.1937]
    analysis = {f"k{i}": v for i, v in enumerate(values)}
    headers = {key: key for key in [*analysis, "absent"]}
    element = pyresult.OptimizationResultElement({}, analysis)
    row = limit_module.element(id, element, headers)
    assert row["output_display_data"] == [*map(str, values), ""]


def test_limit_calls_serialize_params_like_the_module(
    limit_module: ModuleType, source: ModuleType, monkeypatch: pytest.MonkeyPatch
) -> None:
    calls: list = []

    def recording(params):
        calls.append(id(params))
        return params

    monkeypatch.setattr(source, "_serialize_params", recording)
    rows = [source.OptimizationResultElement(p, a) for p, a in make_rows_data(30)]
    result = source.OptimizationResult(rows, INPUT_COLUMNS, HEADERS, make_svg())
    result._serialize()
    by_module = calls[:]
    calls.clear()
    limit_module.table(recording, result)
    assert calls == by_module == [id(p) for p, _ in make_rows_data(30)]


# --- the rendition on its own -------------------------------------------------------------


def test_rendition_worked_example() -> None:
    params1 = {"tab": {"section": {"field1": "a", "field2": 5}}}
    params2 = {"tab": {"section": {"field1": "b", "field2": 8}}}
    analysis1, analysis2 = {"result1": 10, "result2": 20}, {"result1": 100, "result2": 150}
    result = pyresult.OptimizationResult(
        [
            pyresult.OptimizationResultElement(params1, analysis1),
            pyresult.OptimizationResultElement(params2, analysis2),
        ],
        result_column_names_input=["field1"],
        output_headers={"result1": "Result 1"},
    )
    out = result._serialize()
    assert list(out) == ["input_columns", "optimization", "output_headers", "views"]
    assert out["input_columns"] == ["field1"]
    assert [row["output_display_data"] for row in out["optimization"]] == [["10"], ["100"]]
    assert out["optimization"][0]["analysis"] is analysis1
    assert out["output_headers"] == ["Result 1"]
    assert out["views"] == {"definitions": [], "data": []}
    assert list(vars(result)) == [
        "result_column_names_input",
        "result_column_names_result",
        "_output_headers",
        "_OptimizationResult__results",
        "_view_results",
    ]


@pytest.mark.parametrize(
    ("name", "safe"),
    [
        ("my report (final).pdf", "my_report__final_.pdf"),
        ("data-2020.csv", "data_2020.csv"),
        ("ünïcode.txt", "_n_code.txt"),
        ("../x.zip", ".._x.zip"),
        ("a_b.txt", "a_b.txt"),
        ("", ""),
    ],
)
def test_rendition_safe_file_name(name: str, safe: str) -> None:
    assert pyresult._create_safe_file_name(name) == safe


@pytest.mark.parametrize(
    ("make", "message"),
    [
        (lambda: pyresult.SetParamsResult(Munch(a=1)),
         "Argument 'params' has incorrect type (expected dict, got Munch)"),
        (lambda: pyresult.SetParamsResult({}).get(1),
         "Argument 'key' has incorrect type (expected str, got int)"),
        (lambda: pyresult.OptimizationResultElement({}, OrderedDict(a=1)),
         "Argument 'analysis_result' has incorrect type (expected dict, got OrderedDict)"),
        (lambda: pyresult.OptimizationResult([], output_headers=[]),
         "Argument 'output_headers' has incorrect type (expected dict, got list)"),
        (lambda: pyresult.DownloadResult(file_content=b"x", file_name=5),
         "Argument 'file_name' has incorrect type (expected str, got int)"),
    ],
)
def test_rendition_argument_types(make: Callable[[], Any], message: str) -> None:
    with pytest.raises(TypeError) as caught:
        make()
    assert str(caught.value) == message


def test_rendition_download_checks_and_uploads(store: Path) -> None:
    with pytest.raises(ValueError, match="Provide a 'file_name'"):
        pyresult.DownloadResult(file_content=b"x")
    with pytest.raises(ValueError, match="Provide at least one"):
        pyresult.DownloadResult(file_name="a.txt")
    with pytest.raises(ValueError, match="not both"):
        pyresult.DownloadResult(file_content=b"x", zipped_files={}, file_name="a.zip")
    out = pyresult.DownloadResult(file_content="é", file_name="my file.txt")._serialize()
    assert list(out) == ["url"]
    assert path_of(out["url"]).name == "my_file.txt"
    assert path_of(out["url"]).read_bytes() == "é".encode()
    assert path_of(out["url"]).is_relative_to(store)
    with pytest.raises(NotImplementedError):
        pyresult.DownloadResult(zipped_files={"a": b"x"}, file_name="a.zip")._serialize()


def test_rendition_nembra_result_merges_in_order() -> None:
    class Held:
        def __init__(self, output):
            self.output = output

        def _serialize(self):
            return self.output

    result = pyresult.NembraResult(
        Held({"a": 1, "k": "o"}), Held({"k": "s"}), Held({"k": "d"}),
        optimization_result=None,
    )
    assert result._serialize() == {"a": 1, "k": "d"}
    assert pyresult.NembraResult()._serialize() == {}
