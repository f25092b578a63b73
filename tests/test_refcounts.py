"""Every call path of nembra.result, run many times, keeps memory and references flat.

Each path of PATHS (construction and serialisation of the five classes, the file-name
sanitiser, binding and argument-type errors, validation errors, exceptions raised by held
objects and sibling components in the middle of a serialisation, missing module names,
lookups, unpacking errors) is run WARMUP (100) times, then ITERATIONS (2000) times. After
the loop and a garbage collection:

- the memory traced by tracemalloc has grown by less than TRACED_SLACK (10 KB),
- sys.getallocatedblocks() has grown by less than BLOCK_SLACK (100 blocks; always 0 when
  the interpreter runs with PYTHONMALLOC=malloc),
- sys.getrefcount of every object in WATCHED (arguments, held objects, values handed back,
  exception classes, the module's classes and functions) is what it was before the loop.

A leak of one block or one reference per call therefore shows 2000 times over.

Uploads go to a fake API client bound in the module namespace, which reads the data and
returns a fixed URL, so no path writes files.
"""

import builtins
import gc
import io
import sys
import tracemalloc
import types
from collections import OrderedDict

import pytest
from munch import Munch

import nembra.result as result
from nembra.core import File
from nembra.result import (
    DownloadResult,
    NembraResult,
    OptimizationResult,
    OptimizationResultElement,
    SetParamsResult,
    _create_safe_file_name,
)

from conftest import FakeUploadClient, namespace_with_api

ITERATIONS = 2000
WARMUP = 100
TRACED_SLACK = 10 * 1024
BLOCK_SLACK = 100

NAMESPACE = vars(result)


# --- Objects that the paths pass in, hold and get back --------------------------------------


class Boom(Exception):
    """Raised by the faulty objects below."""


URL = "fake://uploaded/file"
UPLOAD_NAME = "upload name"


# The upload clients record nothing: the loops must not keep what they uploaded.


class FakeAPI(FakeUploadClient):
    """Reads the upload and returns the one URL, whose reference count is watched."""

    record = False

    def url(self, upload):
        return URL


class RaisingAPI(FakeUploadClient):
    """Reads the upload and raises a new Boom: one instance raised again and again would
    keep a growing traceback."""

    record = False
    error = Boom


def raise_boom(*args, **kwargs):
    raise Boom("sibling failed")


class Picture:
    _view_type_name = "svg"

    def _serialize(self):
        return PICTURE_DATA


class RaisingPicture:
    _view_type_name = "svg"

    def _serialize(self):
        raise Boom("image failed")


class RaisingViewType:
    @property
    def _view_type_name(self):
        raise Boom("view type failed")

    def _serialize(self):
        return PICTURE_DATA


class RaisingRow:
    def _serialize(self, output_headers):
        raise Boom("row failed")


class RaisingTruth:
    def __bool__(self):
        raise Boom("truth test failed")


class RaisingText:
    def __str__(self):
        raise Boom("str failed")


class NoneResult:
    def _serialize(self):
        return None


class MunchResult:
    def _serialize(self):
        return MUNCH_OUTPUT


class UnopenableFile(File):
    def open_binary(self):
        raise Boom("open failed")


class Unreadable(File):
    def getvalue_binary(self):
        raise Boom("read failed")


class Swallowing:
    """A context manager that drops the exception of its block."""

    def __enter__(self):
        return io.BytesIO(b"data")

    def __exit__(self, *exc_info):
        return True


class SwallowingFile(File):
    def open_binary(self):
        return Swallowing()


class Failing:
    """A context manager whose __enter__ or __exit__ raises."""

    def __init__(self, point):
        self.point = point

    def __enter__(self):
        if self.point == "enter":
            raise Boom("enter failed")
        return io.BytesIO(b"data")

    def __exit__(self, *exc_info):
        if self.point == "exit":
            raise Boom("exit failed")
        return False


class FailingFile(File):
    def __init__(self, point):
        super().__init__()
        self.point = point

    def open_binary(self):
        return Failing(self.point)


class ExitlessFile(File):
    def open_binary(self):
        return object()


class GrowingFile(File):
    """A zip entry that adds an entry to the mapping that holds it while it is read."""

    def __init__(self, mapping):
        super().__init__()
        self.mapping = mapping

    def getvalue_binary(self):
        self.mapping["late.txt"] = self
        return b"grown"


class Items:
    """A mapping that is not a dict: only its items() is used."""

    def __init__(self, items):
        self._items = items

    def items(self):
        return self._items


class StrSub(str):
    pass


def pairs_from_generators():
    return [iter(pair) for pair in [("a.txt", FILE), ("b.bin", BYTES_IO)]]


PARAMS = {"tab": {"section": {"field": 1234}}}
KEY = "tab"
VALUE = PARAMS[KEY]
ANALYSIS = {"r1": 10, "r2": 2.5, "r3": None, "r4": "text"}
HEADERS = {"r1": "Result 1", "r2": "Result 2", "absent": "Absent"}
HEADER_KEYS = ["r2", "r1", "absent"]
COLUMNS = ["field"]
PICTURE = Picture()
PICTURE_DATA = {"data": "<svg/>"}
MUNCH = Munch(tab=VALUE)
MUNCH_OUTPUT = Munch(parameters=VALUE)
TEXT = "h\u00e9llo w\u00f6rld"
BYTES = b"\x00\x01 binary"
BYTES_IO = io.BytesIO(b"in memory")
FILE = File.from_data(b"file content")
ZIPPED = {"a.txt": FILE, "b c.bin": BYTES_IO}
NAME = "my report (final).pdf"
ELEMENT = OptimizationResultElement(PARAMS, ANALYSIS)
ROWS = [ELEMENT, OptimizationResultElement(VALUE)]
SET_PARAMS = SetParamsResult(PARAMS)
OPTIMIZATION = OptimizationResult(ROWS, COLUMNS, HEADERS, PICTURE)
DOWNLOAD = DownloadResult(file_content=TEXT, file_name=NAME)
NEMBRA = NembraResult(optimization_result=OPTIMIZATION, set_params_result=SET_PARAMS, download_result=DOWNLOAD)
RAISING_TRUTH = RaisingTruth()
RAISING_TEXT = RaisingText()
STR_SUB = StrSub("tab")
FAKE_ZIPFILE = types.SimpleNamespace(ZipFile=raise_boom, ZIP_DEFLATED=8)
NON_STR = object()
NON_STR_RE = types.SimpleNamespace(sub=lambda pattern, replacement, text: NON_STR)
class Serializer:
    def __call__(self, params):
        return params


BUILTIN_SERIALIZER = Serializer()
ENTRY_NAME = "entry emptying its dict.txt"


def download(**kwargs):
    kwargs.setdefault("file_name", NAME)
    return DownloadResult(**kwargs)


def element_with_analysis(analysis):
    element = OptimizationResultElement(PARAMS, ANALYSIS)
    element._analysis_result = analysis
    return element


def set_params_holding(data):
    holder = SetParamsResult(None)
    holder._data = data
    return holder


def table_with_row_pointing_back():
    # Built anew on every call: the cycle through the row must be collectable.
    rows = []
    table = OptimizationResult(rows, COLUMNS, HEADERS)
    rows.append(OptimizationResultElement(table, ANALYSIS))
    return table._serialize()


# --- How a path runs ------------------------------------------------------------------------


def raises(exc_type, func, *args, **kwargs):
    try:
        func(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{func!r} did not raise {exc_type.__name__}")


def swapped(name, value, exc_type, func, *args, **kwargs):
    """Call func with the module-level name bound to value; expect exc_type."""
    saved = NAMESPACE[name]
    NAMESPACE[name] = value
    try:
        raises(exc_type, func, *args, **kwargs)
    finally:
        NAMESPACE[name] = saved


def removed(name, func, *args, **kwargs):
    """Call func with the module-level name missing; expect NameError."""
    saved = NAMESPACE.pop(name)
    try:
        raises(NameError, func, *args, **kwargs)
    finally:
        NAMESPACE[name] = saved


def served_from_builtins(name, value, func, *args):
    """Call func with the module-level name missing from the namespace and bound in builtins."""
    saved = NAMESPACE.pop(name)
    setattr(builtins, name, value)
    try:
        func(*args)
    finally:
        delattr(builtins, name)
        NAMESPACE[name] = saved


class EmptyingFile(File):
    """A zip entry whose reading empties the dict it is read from."""

    def __init__(self, mapping):
        super().__init__()
        self.mapping = mapping

    def getvalue_binary(self):
        self.mapping.clear()
        return BYTES


def emptying_mapping():
    mapping = {ENTRY_NAME: None}
    mapping[ENTRY_NAME] = EmptyingFile(mapping)
    return mapping


def growing_mapping():
    mapping = {}
    mapping["a.txt"] = GrowingFile(mapping)
    return mapping


def generator_results():
    return OptimizationResult(e for e in ROWS)._serialize()


PATHS = [
    # SetParamsResult
    ("set_params/init", lambda: SetParamsResult(PARAMS)),
    ("set_params/init_keyword", lambda: SetParamsResult(params=PARAMS)),
    ("set_params/init_none", lambda: SetParamsResult(None)),
    ("set_params/serialize", lambda: SET_PARAMS._serialize()),
    ("set_params/serialize_through_class", lambda: SetParamsResult._serialize(SET_PARAMS)),
    ("set_params/get", lambda: SET_PARAMS.get(KEY)),
    ("set_params/get_keyword", lambda: SET_PARAMS.get(key=KEY)),
    ("set_params/get_missing", lambda: raises(KeyError, SET_PARAMS.get, "missing")),
    ("set_params/get_none_key_missing", lambda: raises(KeyError, SET_PARAMS.get, None)),
    ("set_params/get_from_none", lambda: raises(TypeError, set_params_holding(None).get, KEY)),
    ("set_params/get_from_mapping", lambda: set_params_holding(MUNCH).get(KEY)),
    ("set_params/get_missing_attribute", lambda: raises(AttributeError, SetParamsResult.get, object(), KEY)),
    # OptimizationResultElement
    ("element/init", lambda: OptimizationResultElement(PARAMS)),
    ("element/init_analysis", lambda: OptimizationResultElement(PARAMS, ANALYSIS)),
    ("element/init_keywords_empty", lambda: OptimizationResultElement(params=PARAMS, analysis_result={})),
    ("element/serialize_none", lambda: ELEMENT._serialize(None)),
    ("element/serialize_headers", lambda: ELEMENT._serialize(HEADERS)),
    ("element/serialize_header_list", lambda: ELEMENT._serialize(output_headers=HEADER_KEYS)),
    ("element/serialize_mapping_analysis", lambda: element_with_analysis(MUNCH)._serialize(["tab", "x"])),
    ("element/serialize_not_iterable", lambda: raises(TypeError, ELEMENT._serialize, 5)),
    ("element/serialize_no_get", lambda: raises(AttributeError, element_with_analysis(5)._serialize, HEADERS)),
    ("element/serialize_raising_str", lambda: raises(Boom, element_with_analysis({"r1": RAISING_TEXT})._serialize, HEADERS)),
    # OptimizationResult
    ("optimization/init", lambda: OptimizationResult(ROWS)),
    ("optimization/init_all", lambda: OptimizationResult(ROWS, COLUMNS, HEADERS, PICTURE)),
    ("optimization/init_keywords", lambda: OptimizationResult(results=ROWS, result_column_names_input=(), image=None)),
    ("optimization/init_raising_truth_columns", lambda: raises(Boom, OptimizationResult, ROWS, RAISING_TRUTH)),
    ("optimization/init_raising_truth_image", lambda: raises(Boom, OptimizationResult, ROWS, image=RAISING_TRUTH)),
    ("optimization/serialize", lambda: OPTIMIZATION._serialize()),
    ("optimization/serialize_empty", lambda: OptimizationResult([])._serialize()),
    ("optimization/serialize_generator", generator_results),
    ("optimization/serialize_row_pointing_back", table_with_row_pointing_back),
    ("optimization/serialize_raising_row", lambda: raises(Boom, OptimizationResult([ELEMENT, RaisingRow()])._serialize)),
    ("optimization/serialize_raising_image", lambda: raises(Boom, OptimizationResult(ROWS, image=RaisingPicture())._serialize)),
    ("optimization/serialize_raising_view_type", lambda: raises(Boom, OptimizationResult(ROWS, image=RaisingViewType())._serialize)),
    ("optimization/serialize_row_without_method", lambda: raises(AttributeError, OptimizationResult([ELEMENT, object()])._serialize)),
    ("optimization/serialize_not_iterable", lambda: raises(TypeError, OptimizationResult(None)._serialize)),
    # DownloadResult and _create_safe_file_name
    ("safe_name", lambda: _create_safe_file_name(NAME)),
    ("safe_name/none", lambda: raises(TypeError, _create_safe_file_name, None)),
    ("safe_name/sub_returns_non_str", lambda: swapped("re", NON_STR_RE, TypeError, _create_safe_file_name, NAME)),
    ("download/init_text", lambda: download(file_content=TEXT)),
    ("download/init_positional", lambda: DownloadResult(BYTES, NAME, "latin-1")),
    ("download/init_bytes_io", lambda: download(file_content=BYTES_IO, encoding=None)),
    ("download/init_zipped", lambda: download(zipped_files=ZIPPED)),
    ("download/serialize_text", lambda: download(file_content=TEXT)._serialize()),
    ("download/serialize_bytes", lambda: download(file_content=BYTES)._serialize()),
    ("download/serialize_bytes_io", lambda: download(file_content=BYTES_IO)._serialize()),
    ("download/serialize_file", lambda: download(file_content=FILE)._serialize()),
    ("download/serialize_zipped", lambda: download(zipped_files=ZIPPED)._serialize()),
    ("download/serialize_zipped_empty", lambda: download(zipped_files={})._serialize()),
    ("download/serialize_zipped_items", lambda: download(zipped_files=Items(list(ZIPPED.items())))._serialize()),
    ("download/serialize_zipped_iterated_pairs", lambda: download(zipped_files=Items(pairs_from_generators()))._serialize()),
    ("download/serialize_zipped_munch", lambda: download(zipped_files=Munch(ZIPPED))._serialize()),
    ("download/value_error_name", lambda: raises(ValueError, DownloadResult, file_content=BYTES)),
    ("download/value_error_content", lambda: raises(ValueError, DownloadResult, file_name=NAME)),
    ("download/value_error_both", lambda: raises(ValueError, download, file_content=BYTES, zipped_files={})),
    ("download/not_implemented_bytearray", lambda: raises(NotImplementedError, download(file_content=bytearray(BYTES))._serialize)),
    ("download/not_implemented_zipped_str", lambda: raises(NotImplementedError, download(zipped_files={"a": TEXT})._serialize)),
    ("download/not_implemented_zipped_bytes", lambda: raises(NotImplementedError, download(zipped_files={"a": BYTES})._serialize)),
    ("download/unknown_encoding", lambda: raises(LookupError, download(file_content=TEXT, encoding="no-such-codec")._serialize)),
    ("download/unencodable", lambda: raises(UnicodeEncodeError, download(file_content=TEXT, encoding="ascii")._serialize)),
    ("download/encoding_none", lambda: raises(TypeError, download(file_content=TEXT, encoding=None)._serialize)),
    ("download/upload_raises", lambda: swapped("API", RaisingAPI, Boom, download(file_content=TEXT)._serialize)),
    ("download/upload_raises_zipped", lambda: swapped("API", RaisingAPI, Boom, download(zipped_files=ZIPPED)._serialize)),
    ("download/open_binary_raises", lambda: raises(Boom, download(file_content=UnopenableFile())._serialize)),
    ("download/getvalue_binary_raises", lambda: raises(Boom, download(zipped_files={"a": Unreadable()})._serialize)),
    ("download/zipfile_raises", lambda: swapped("zipfile", FAKE_ZIPFILE, Boom, download(zipped_files=ZIPPED)._serialize)),
    ("download/file_raises", lambda: swapped("File", raise_boom, Boom, download(zipped_files={})._serialize)),
    ("download/safe_name_raises", lambda: swapped("_create_safe_file_name", raise_boom, Boom, download, file_content=BYTES)),
    ("download/unbound_url", lambda: swapped("API", RaisingAPI, UnboundLocalError, download(file_content=SwallowingFile())._serialize)),
    ("download/enter_raises", lambda: raises(Boom, download(file_content=FailingFile("enter"))._serialize)),
    ("download/exit_raises", lambda: raises(Boom, download(file_content=FailingFile("exit"))._serialize)),
    ("download/exit_does_not_suppress", lambda: swapped("API", RaisingAPI, Boom, download(file_content=FailingFile(None))._serialize)),
    ("download/exit_raises_after_failed_upload", lambda: swapped("API", RaisingAPI, Boom, download(file_content=FailingFile("exit"))._serialize)),
    ("download/missing_exit", lambda: raises(AttributeError, download(file_content=ExitlessFile())._serialize)),
    ("download/unpack_too_many", lambda: raises(ValueError, download(zipped_files=Items([("a", FILE, 1)]))._serialize)),
    ("download/unpack_too_few", lambda: raises(ValueError, download(zipped_files=Items([["a"]]))._serialize)),
    ("download/unpack_iterator_too_few", lambda: raises(ValueError, download(zipped_files=Items([iter(["a"])]))._serialize)),
    ("download/unpack_iterator_too_many", lambda: raises(ValueError, download(zipped_files=Items([iter("abc")]))._serialize)),
    ("download/unpack_not_iterable", lambda: raises(TypeError, download(zipped_files=Items([5]))._serialize)),
    ("download/items_not_iterable", lambda: raises(TypeError, download(zipped_files=Items(5))._serialize)),
    ("download/dict_changed_size", lambda: raises(RuntimeError, download(zipped_files=growing_mapping())._serialize)),
    ("download/dict_emptied", lambda: raises(RuntimeError, download(zipped_files=emptying_mapping())._serialize)),
    ("download/serialize_missing_attributes", lambda: raises(AttributeError, DownloadResult._serialize, DownloadResult.__new__(DownloadResult))),
    # NembraResult
    ("nembra/init_empty", lambda: NembraResult()),
    ("nembra/init_positional", lambda: NembraResult(OPTIMIZATION, SET_PARAMS, DOWNLOAD)),
    ("nembra/init_keywords", lambda: NembraResult(optimization_result=OPTIMIZATION, set_params_result=SET_PARAMS)),
    ("nembra/init_raising_truth", lambda: raises(Boom, NembraResult, optimization_result=RAISING_TRUTH)),
    ("nembra/init_raising_truth_set_params", lambda: raises(Boom, NembraResult, set_params_result=RAISING_TRUTH)),
    ("nembra/serialize", lambda: NEMBRA._serialize()),
    ("nembra/serialize_empty", lambda: NembraResult()._serialize()),
    ("nembra/serialize_mapping_output", lambda: NembraResult(MunchResult())._serialize()),
    ("nembra/serialize_none_output", lambda: raises(TypeError, NembraResult(NoneResult())._serialize)),
    ("nembra/serialize_int_held", lambda: raises(AttributeError, NembraResult(0)._serialize)),
    ("nembra/serialize_raising_held", lambda: raises(Boom, NembraResult(None, None, RaisingPicture())._serialize)),
    # _serialize_params replaced by a raising function
    ("sibling/serialize_params_set_params", lambda: swapped("_serialize_params", raise_boom, Boom, SET_PARAMS._serialize)),
    ("sibling/serialize_params_element", lambda: swapped("_serialize_params", raise_boom, Boom, ELEMENT._serialize, HEADERS)),
    ("sibling/serialize_params_optimization", lambda: swapped("_serialize_params", raise_boom, Boom, OPTIMIZATION._serialize)),
    ("sibling/serialize_params_nembra", lambda: swapped("_serialize_params", raise_boom, Boom, NEMBRA._serialize)),
    # module-level names served from the builtins
    ("builtins/serialize_params", lambda: served_from_builtins("_serialize_params", BUILTIN_SERIALIZER, SET_PARAMS._serialize)),
    ("builtins/API", lambda: served_from_builtins("API", FakeAPI, download(file_content=BYTES)._serialize)),
    # module-level names that are missing
    ("missing/API", lambda: removed("API", download(file_content=BYTES)._serialize)),
    ("missing/File", lambda: removed("File", download(zipped_files={})._serialize)),
    ("missing/File_single", lambda: removed("File", download(file_content=FILE)._serialize)),
    ("missing/BytesIO", lambda: removed("BytesIO", download(file_content=BYTES)._serialize)),
    ("missing/zipfile", lambda: removed("zipfile", download(zipped_files=ZIPPED)._serialize)),
    ("missing/re", lambda: removed("re", _create_safe_file_name, NAME)),
    ("missing/create_safe_file_name", lambda: removed("_create_safe_file_name", DownloadResult, BYTES, NAME)),
    ("missing/serialize_params", lambda: removed("_serialize_params", SET_PARAMS._serialize)),
    ("missing/serialize_params_element", lambda: removed("_serialize_params", ELEMENT._serialize, None)),
    # binding errors of the general shape
    ("binding/set_params_missing", lambda: raises(TypeError, SetParamsResult)),
    ("binding/set_params_too_many", lambda: raises(TypeError, SetParamsResult, PARAMS, PARAMS)),
    ("binding/set_params_missing_with_keyword", lambda: raises(TypeError, SetParamsResult, bogus=PARAMS)),
    ("binding/set_params_multiple", lambda: raises(TypeError, SetParamsResult, PARAMS, params=PARAMS)),
    ("binding/set_params_unexpected", lambda: raises(TypeError, SetParamsResult, params=PARAMS, bogus=1)),
    ("binding/get_missing", lambda: raises(TypeError, SET_PARAMS.get)),
    ("binding/get_unexpected", lambda: raises(TypeError, SET_PARAMS.get, key=KEY, other=KEY)),
    ("binding/element_missing", lambda: raises(TypeError, OptimizationResultElement)),
    ("binding/element_too_many", lambda: raises(TypeError, OptimizationResultElement, PARAMS, ANALYSIS, PARAMS)),
    ("binding/element_serialize_missing", lambda: raises(TypeError, ELEMENT._serialize)),
    ("binding/element_serialize_self_twice", lambda: raises(TypeError, OptimizationResultElement._serialize, ELEMENT, None, self=ELEMENT)),
    ("binding/optimization_missing", lambda: raises(TypeError, OptimizationResult)),
    ("binding/optimization_too_many", lambda: raises(TypeError, OptimizationResult, ROWS, COLUMNS, HEADERS, PICTURE, PICTURE)),
    ("binding/download_too_many", lambda: raises(TypeError, DownloadResult, BYTES, NAME, "utf-8", ZIPPED)),
    ("binding/download_unexpected", lambda: raises(TypeError, DownloadResult, file_name=NAME, content=BYTES)),
    ("binding/download_no_instance", lambda: raises(TypeError, DownloadResult.__init__)),
    ("binding/nembra_too_many", lambda: raises(TypeError, NembraResult, None, None, None, None)),
    ("binding/nembra_multiple", lambda: raises(TypeError, NembraResult, OPTIMIZATION, optimisation_result=OPTIMIZATION)),
    # binding errors of the one-argument shape
    ("binding/set_params_serialize_extra", lambda: raises(TypeError, SET_PARAMS._serialize, PARAMS)),
    ("binding/set_params_serialize_keyword", lambda: raises(TypeError, SetParamsResult._serialize, self=SET_PARAMS)),
    ("binding/optimization_serialize_none", lambda: raises(TypeError, OptimizationResult._serialize)),
    ("binding/download_serialize_keyword", lambda: raises(TypeError, DOWNLOAD._serialize, x=1)),
    ("binding/nembra_serialize_extra", lambda: raises(TypeError, NEMBRA._serialize, None, None)),
    ("binding/safe_name_keyword", lambda: raises(TypeError, _create_safe_file_name, file_name=NAME)),
    ("binding/safe_name_two", lambda: raises(TypeError, _create_safe_file_name, NAME, NAME)),
    # argument-type errors
    ("type/set_params_munch", lambda: raises(TypeError, SetParamsResult, MUNCH)),
    ("type/set_params_pairs", lambda: raises(TypeError, SetParamsResult, [(KEY, VALUE)])),
    ("type/get_int", lambda: raises(TypeError, SET_PARAMS.get, 5)),
    ("type/get_str_subclass", lambda: raises(TypeError, SET_PARAMS.get, STR_SUB)),
    ("type/element_analysis", lambda: raises(TypeError, OptimizationResultElement, PARAMS, MUNCH)),
    ("type/optimization_headers", lambda: raises(TypeError, OptimizationResult, ROWS, output_headers=OrderedDict(HEADERS))),
    ("type/download_file_name", lambda: raises(TypeError, DownloadResult, BYTES, 5)),
    ("type/download_encoding", lambda: raises(TypeError, DownloadResult, BYTES, NAME, b"utf-8")),
    ("type/safe_name_int", lambda: raises(TypeError, _create_safe_file_name, 5)),
]


WATCHED = [
    PARAMS, KEY, VALUE, ANALYSIS, HEADERS, HEADER_KEYS, COLUMNS, PICTURE, PICTURE_DATA, MUNCH,
    MUNCH_OUTPUT, TEXT, BYTES, BYTES_IO, FILE, ZIPPED, NAME, URL, ELEMENT, ROWS, SET_PARAMS,
    OPTIMIZATION, DOWNLOAD, NEMBRA, RAISING_TRUTH, RAISING_TEXT, STR_SUB, FAKE_ZIPFILE,
    NON_STR, NON_STR_RE, BUILTIN_SERIALIZER, ENTRY_NAME,
    FakeAPI, RaisingAPI, raise_boom, Boom, File, io.BytesIO, Munch, OrderedDict,
    TypeError, ValueError, KeyError, NameError, AttributeError, NotImplementedError,
    UnboundLocalError, RuntimeError, LookupError, UnicodeEncodeError,
    SetParamsResult, OptimizationResultElement, OptimizationResult, DownloadResult, NembraResult,
    _create_safe_file_name,
    SetParamsResult.__init__, SetParamsResult._serialize, SetParamsResult.get,
    OptimizationResultElement.__init__, OptimizationResultElement._serialize,
    OptimizationResult.__init__, OptimizationResult._serialize,
    DownloadResult.__init__, DownloadResult._serialize,
    NembraResult.__init__, NembraResult._serialize,
]


namespace = namespace_with_api(FakeAPI)


def traced_growth(before, after):
    ignore = [tracemalloc.Filter(False, tracemalloc.__file__)]
    stats = after.filter_traces(ignore).compare_to(before.filter_traces(ignore), "lineno")
    return sum(stat.size_diff for stat in stats), stats[:5]


@pytest.mark.parametrize("path", [path for _, path in PATHS], ids=[name for name, _ in PATHS])
def test_path_keeps_memory_and_references_flat(path, namespace):
    for _ in range(WARMUP):
        path()
    gc.collect()
    refs_before = [sys.getrefcount(obj) for obj in WATCHED]
    tracemalloc.start()
    try:
        snapshot_before = tracemalloc.take_snapshot()
        blocks_before = sys.getallocatedblocks()
        for _ in range(ITERATIONS):
            path()
        gc.collect()
        blocks_after = sys.getallocatedblocks()
        snapshot_after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    refs_after = [sys.getrefcount(obj) for obj in WATCHED]

    growth, top = traced_growth(snapshot_before, snapshot_after)
    assert growth < TRACED_SLACK, f"traced memory grew by {growth} bytes: {top}"
    assert blocks_after - blocks_before < BLOCK_SLACK, f"{blocks_after - blocks_before} blocks more"
    changed = [
        (repr(obj)[:60], before, after)
        for obj, before, after in zip(WATCHED, refs_before, refs_after)
        if before != after
    ]
    assert not changed, f"reference counts changed: {changed}"

