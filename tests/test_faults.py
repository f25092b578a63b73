"""Exceptions raised wherever nembra.result calls out reach the caller unchanged.

Each case of CASES builds a result and puts one fault at one point where the module calls
out of itself: a truth test, a held object's _serialize, an attribute, a mapping's get or
items, str() of a value, iteration, a context manager, the upload, or a module-level name
(zipfile, File, API, _serialize_params, _create_safe_file_name, re) replaced in the module
namespace. The test checks that

- the very exception object that the fault raised reaches the caller, with no other
  exception chained to it, and no result is returned;
- once the fault is removed (the object behaves, or the namespace is restored), calling
  again on the same instance gives the expected result, twice: the failure left the
  instance usable.

The two `with` blocks of DownloadResult._serialize (the archive, and the stream entered
from open_binary()) follow the with statement: an __exit__ that raises after its block
failed runs while the block's exception is being handled, and its own exception carries
the block's exception as __context__.
"""

import io
import re
import sys
import types
import zipfile

import pytest

import nembra.result as result
from nembra.core import File
from nembra.result import (
    DownloadResult,
    NembraResult,
    OptimizationResult,
    OptimizationResultElement,
    SetParamsResult,
)

from conftest import FakeUploadClient, Recorder, namespace_with_api


class Boom(Exception):
    pass


class Switch:
    """A fault: calling it raises one fixed exception instance until it is removed."""

    def __init__(self, where):
        self.exc = Boom(where)
        self.armed = True

    def __call__(self):
        if self.armed:
            raise self.exc

    def remove(self):
        self.armed = False


class Fault(types.SimpleNamespace):
    """call: the failing call; exc: what it raises; remove: takes the fault away;
    expected: what call returns afterwards."""


class FakeAPI(FakeUploadClient):
    """Returns the upload's name and content as its URL: the entries of a zip archive, else
    the bytes, so that a case's expected output says what was uploaded. Records nothing:
    the class serves every test of the module."""

    record = False

    def url(self, upload):
        if upload.data[:2] == b"PK":
            with zipfile.ZipFile(io.BytesIO(upload.data)) as archive:
                return upload.file_name, [(info.filename, archive.read(info)) for info in archive.infolist()]
        return upload.file_name, upload.data


def swap(namespace, name, value):
    """Binds name to value in the module namespace; returns what restores the old binding."""
    original = namespace[name]
    namespace[name] = value
    return lambda: namespace.__setitem__(name, original)


def init_then_serialize(instance, *args, **kwargs):
    def call():
        assert type(instance).__init__(instance, *args, **kwargs) is None
        return instance._serialize()

    return call


PARAMS = {"tab": {"section": {"field": 1}}}
ANALYSIS = {"r1": 10, "r2": 2.5}
HEADERS = {"r1": "Result 1", "r2": "Result 2"}


def row_output(headers_shown=("10", "2.5")):
    return {"design": PARAMS, "analysis": ANALYSIS, "output_display_data": list(headers_shown)}


def table_output(rows, columns=(), labels=(), definitions=(), data=()):
    return {
        "input_columns": columns,
        "optimization": rows,
        "output_headers": list(labels),
        "views": {"definitions": list(definitions), "data": list(data)},
    }


# --- Objects with a fault at one point ------------------------------------------------------


class Truth:
    def __init__(self, fault):
        self.fault = fault

    def __bool__(self):
        self.fault()
        return True


class Image(Truth):
    _view_type_name = "svg"

    def _serialize(self):
        return "picture"


class Row:
    def __init__(self, fault, output):
        self.fault = fault
        self.output = output

    def _serialize(self, output_headers=None):
        self.fault()
        return self.output


class Held(Row):
    """A result held by a NembraResult; its _serialize takes no argument."""

    def __bool__(self):
        return True


class ImageFault:
    def __init__(self, fault):
        self.fault = fault

    def _serialize(self):
        self.fault()
        return "picture"


class ViewTypeFault(ImageFault):
    @property
    def _view_type_name(self):
        self.fault()
        return "png"


class Mapping:
    def __init__(self, fault, data):
        self.fault = fault
        self.data = data

    def get(self, key, default):
        self.fault()
        return self.data.get(key, default)

    def keys(self):
        self.fault()
        return list(self.data)

    def __getitem__(self, key):
        return self.data[key]


class Text:
    def __init__(self, fault):
        self.fault = fault

    def __str__(self):
        self.fault()
        return "shown"


class Iterable:
    """Iterates over items; the fault sits in __iter__ or in __next__ before item `at`."""

    def __init__(self, fault, items, at=None):
        self.fault = fault
        self.items = items
        self.at = at

    def __iter__(self):
        if self.at is None:
            self.fault()
            return iter(self.items)
        return Iterator(self)

    def values(self):
        self.fault()
        return list(self.items)


class Iterator:
    def __init__(self, iterable):
        self.iterable = iterable
        self.position = 0

    def __next__(self):
        if self.position == self.iterable.at:
            self.iterable.fault()
        if self.position == len(self.iterable.items):
            raise StopIteration
        self.position += 1
        return self.iterable.items[self.position - 1]


class Items:
    """A mapping that is not a dict: only items() is used."""

    def __init__(self, fault, items):
        self.fault = fault
        self._items = items

    def items(self):
        self.fault()
        return self._items


class Manager:
    def __init__(self, fault, data, point):
        self.fault = fault
        self.stream = io.BytesIO(data)
        self.point = point

    def __enter__(self):
        if self.point == "enter":
            self.fault()
        return self.stream

    def __exit__(self, *exc_info):
        if self.point == "exit":
            self.fault()
        return None


class OpenFile(File):
    def __init__(self, fault, data, point):
        super().__init__()
        self.source.write(data)
        self.fault = fault
        self.point = point

    def open_binary(self):
        if self.point == "open":
            self.fault()
        return Manager(self.fault, self.getvalue_binary(), self.point)


class ReadFile(File):
    def __init__(self, fault, data):
        super().__init__()
        self.source.write(data)
        self.fault = fault

    def getvalue_binary(self):
        self.fault()
        return super().getvalue_binary()


class ReadBytesIO(io.BytesIO):
    def __init__(self, fault, data):
        super().__init__(data)
        self.fault = fault

    def getvalue(self):
        self.fault()
        return super().getvalue()


class EncodedText(str):
    def encode(self, *args):
        self.fault()
        return str(self).encode(*args)


# --- The cases ------------------------------------------------------------------------------

CASES = {}


def case(setup):
    CASES[setup.__name__] = setup
    return setup


@case
def truth_of_result_column_names(namespace):
    fault = Switch("columns")
    columns = Truth(fault)
    table = OptimizationResult([])
    call = init_then_serialize(table, [], columns)
    return Fault(call=call, exc=fault.exc, remove=fault.remove, expected=table_output([], columns))


@case
def truth_of_image(namespace):
    fault = Switch("image")
    image = Image(fault)
    table = OptimizationResult([])
    call = init_then_serialize(table, [], image=image)
    expected = table_output([], [], definitions=[{"label": "", "type": "svg"}], data=["picture"])
    return Fault(call=call, exc=fault.exc, remove=fault.remove, expected=expected)


@case
def truth_of_optimization_result(namespace):
    fault = Switch("optimization_result")
    holder = NembraResult()
    call = init_then_serialize(holder, optimization_result=Held(fault, {"a": 1}))
    return Fault(call=call, exc=fault.exc, remove=fault.remove, expected={"a": 1})


@case
def truth_of_set_params_result(namespace):
    fault = Switch("set_params_result")
    holder = NembraResult()
    call = init_then_serialize(holder, set_params_result=Held(fault, {"b": 2}))
    return Fault(call=call, exc=fault.exc, remove=fault.remove, expected={"b": 2})


@case
def serialize_of_second_row(namespace):
    fault = Switch("row")
    table = OptimizationResult([OptimizationResultElement(PARAMS, ANALYSIS), Row(fault, {"row": 2})], None, HEADERS)
    expected = table_output([row_output(), {"row": 2}], [], HEADERS.values())
    return Fault(call=table._serialize, exc=fault.exc, remove=fault.remove, expected=expected)


@case
def serialize_of_image(namespace):
    fault = Switch("image")
    image = ImageFault(fault)
    image._view_type_name = "jpeg"
    table = OptimizationResult([OptimizationResultElement(PARAMS, ANALYSIS)], image=image)
    expected = table_output([row_output(())], [], [], [{"label": "", "type": "jpeg"}], ["picture"])
    return Fault(call=table._serialize, exc=fault.exc, remove=fault.remove, expected=expected)


@case
def view_type_name_of_image(namespace):
    fault = Switch("view type")
    table = OptimizationResult([], image=ViewTypeFault(fault))
    expected = table_output([], [], [], [{"label": "", "type": "png"}], ["picture"])
    return Fault(call=table._serialize, exc=fault.exc, remove=fault.remove, expected=expected)


def held_result(slot):
    def setup(namespace):
        fault = Switch(f"held result {slot}")
        held = [None, None, None]
        held[slot] = Held(fault, {f"key{slot}": slot})
        holder = NembraResult(*held)
        return Fault(call=holder._serialize, exc=fault.exc, remove=fault.remove, expected={f"key{slot}": slot})

    return setup


for _slot, _name in enumerate(["optimisation", "set_parameters", "download"]):
    CASES[f"serialize_of_held_{_name}_result"] = held_result(_slot)


@case
def keys_of_held_output(namespace):
    fault = Switch("keys")
    holder = NembraResult(None, Held(lambda: None, Mapping(fault, {"parameters": 1})))
    return Fault(call=holder._serialize, exc=fault.exc, remove=fault.remove, expected={"parameters": 1})


@case
def get_of_analysis_mapping(namespace):
    fault = Switch("get")
    element = OptimizationResultElement(PARAMS, ANALYSIS)
    element._analysis_result = Mapping(fault, ANALYSIS)
    call = lambda: element._serialize(["r2", "absent"])
    expected = {"design": PARAMS, "analysis": element._analysis_result, "output_display_data": ["2.5", ""]}
    return Fault(call=call, exc=fault.exc, remove=fault.remove, expected=expected)


@case
def str_of_analysis_value(namespace):
    fault = Switch("str")
    analysis = {"r1": 1, "r2": Text(fault)}
    element = OptimizationResultElement(PARAMS, analysis)
    call = lambda: element._serialize(HEADERS)
    expected = {"design": PARAMS, "analysis": analysis, "output_display_data": ["1", "shown"]}
    return Fault(call=call, exc=fault.exc, remove=fault.remove, expected=expected)


def results_iteration(at):
    def setup(namespace):
        fault = Switch(f"results at {at}")
        rows = [OptimizationResultElement(PARAMS, ANALYSIS), OptimizationResultElement(PARAMS, ANALYSIS)]
        table = OptimizationResult(Iterable(fault, rows, at), output_headers=HEADERS)
        expected = table_output([row_output(), row_output()], [], HEADERS.values())
        return Fault(call=table._serialize, exc=fault.exc, remove=fault.remove, expected=expected)

    return setup


def output_headers_iteration(at):
    def setup(namespace):
        fault = Switch(f"headers at {at}")
        element = OptimizationResultElement(PARAMS, ANALYSIS)
        call = lambda: element._serialize(Iterable(fault, ["r2", "r1"], at))
        expected = {"design": PARAMS, "analysis": ANALYSIS, "output_display_data": ["2.5", "10"]}
        return Fault(call=call, exc=fault.exc, remove=fault.remove, expected=expected)

    return setup


for _at, _where in [(None, "iter"), (0, "first_next"), (1, "second_next")]:
    CASES[f"results_{_where}"] = results_iteration(_at)
    CASES[f"output_headers_{_where}"] = output_headers_iteration(_at)


@case
def values_of_stored_output_headers(namespace):
    fault = Switch("values")
    table = OptimizationResult([OptimizationResultElement(PARAMS, ANALYSIS)])
    headers = Iterable(fault, ["r1"])
    table._output_headers = headers
    expected = table_output([row_output(["10"])], [], ["r1"])
    return Fault(call=table._serialize, exc=fault.exc, remove=fault.remove, expected=expected)


def zipped_items(point):
    def setup(namespace):
        fault = Switch(f"items {point}")
        pairs = [("a.txt", File.from_data(b"A")), ("b.txt", io.BytesIO(b"B"))]
        if point == "items":
            entries = Items(fault, pairs)
        else:
            entries = Items(lambda: None, Iterable(fault, pairs, None if point == "iter" else 1))
        download = DownloadResult(zipped_files=entries, file_name="all files.zip")
        expected = {"url": ("all_files.zip", [("a.txt", b"A"), ("b.txt", b"B")])}
        return Fault(call=download._serialize, exc=fault.exc, remove=fault.remove, expected=expected)

    return setup


for _point in ["items", "iter", "next"]:
    CASES[f"zipped_files_{_point}"] = zipped_items(_point)


def open_binary(point):
    def setup(namespace):
        fault = Switch(f"open_binary {point}")
        download = DownloadResult(OpenFile(fault, b"content", point), "report.bin")
        expected = {"url": ("report.bin", b"content")}
        return Fault(call=download._serialize, exc=fault.exc, remove=fault.remove, expected=expected)

    return setup


for _point in ["open", "enter", "exit"]:
    CASES[f"open_binary_{_point}"] = open_binary(_point)


@case
def getvalue_binary_of_zip_entry(namespace):
    fault = Switch("getvalue_binary")
    download = DownloadResult(zipped_files={"f.txt": ReadFile(fault, b"F")}, file_name="z.zip")
    return Fault(call=download._serialize, exc=fault.exc, remove=fault.remove, expected={"url": ("z.zip", [("f.txt", b"F")])})


@case
def getvalue_of_zip_entry(namespace):
    fault = Switch("getvalue")
    download = DownloadResult(zipped_files={"g.txt": ReadBytesIO(fault, b"G")}, file_name="z.zip")
    return Fault(call=download._serialize, exc=fault.exc, remove=fault.remove, expected={"url": ("z.zip", [("g.txt", b"G")])})


@case
def encode_of_text_content(namespace):
    fault = Switch("encode")
    text = EncodedText("t\u00e9xt")
    text.fault = fault
    download = DownloadResult(text, "t.txt", "latin-1")
    return Fault(call=download._serialize, exc=fault.exc, remove=fault.remove, expected={"url": ("t.txt", b"t\xe9xt")})


def upload(zipped):
    def setup(namespace):
        fault = Switch("upload")

        class API(FakeAPI):
            def _upload_temporary_file(self, file_object, file_name):
                fault()
                return super()._upload_temporary_file(file_object, file_name)

        swap(namespace, "API", API)
        if zipped:
            download = DownloadResult(zipped_files={"x": io.BytesIO(b"X")}, file_name="x.zip")
            expected = {"url": ("x.zip", [("x", b"X")])}
        else:
            download = DownloadResult(b"bytes", "x.bin")
            expected = {"url": ("x.bin", b"bytes")}
        return Fault(call=download._serialize, exc=fault.exc, remove=fault.remove, expected=expected)

    return setup


CASES["upload_of_single_file"] = upload(False)
CASES["upload_of_archive"] = upload(True)


@case
def api_client_construction(namespace):
    fault = Switch("API()")

    def make_client():
        fault()
        return FakeAPI()

    restore = swap(namespace, "API", make_client)
    download = DownloadResult("text", "x.txt")
    return Fault(call=download._serialize, exc=fault.exc, remove=restore, expected={"url": ("x.txt", b"text")})


def stand_in_zipfile(fault, point):
    class ZipFile(zipfile.ZipFile):
        def __init__(self, *args):
            if point == "ZipFile":
                fault()
            super().__init__(*args)

        def writestr(self, *args):
            if point == "writestr":
                fault()
            return super().writestr(*args)

        def __exit__(self, *exc_info):
            result = super().__exit__(*exc_info)
            if point == "__exit__":
                fault()
            return result

    module = types.ModuleType("zipfile")
    module.ZipFile = ZipFile
    module.ZIP_DEFLATED = zipfile.ZIP_DEFLATED
    return module


def archive(point):
    def setup(namespace):
        fault = Switch(f"zipfile {point}")
        restore = swap(namespace, "zipfile", stand_in_zipfile(fault, point))
        download = DownloadResult(zipped_files={"e.txt": io.BytesIO(b"E")}, file_name="e.zip")
        return Fault(call=download._serialize, exc=fault.exc, remove=restore, expected={"url": ("e.zip", [("e.txt", b"E")])})

    return setup


for _point in ["ZipFile", "writestr", "__exit__"]:
    CASES[f"zipfile_{_point}"] = archive(_point)


@case
def file_construction(namespace):
    fault = Switch("File()")

    def make_file():
        fault()
        return File()

    restore = swap(namespace, "File", make_file)
    download = DownloadResult(zipped_files={"b.bin": io.BytesIO(b"b")}, file_name="b.zip")
    return Fault(call=download._serialize, exc=fault.exc, remove=restore, expected={"url": ("b.zip", [("b.bin", b"b")])})


def serialize_params(kind):
    def setup(namespace):
        fault = Switch(f"_serialize_params in {kind}")
        original = namespace["_serialize_params"]

        def failing(params):
            fault()
            return original(params)

        restore = swap(namespace, "_serialize_params", failing)
        element = OptimizationResultElement(PARAMS, ANALYSIS)
        set_params = SetParamsResult(PARAMS)
        table = OptimizationResult([element], output_headers=HEADERS)
        calls = {
            "set_params": (set_params._serialize, {"parameters": PARAMS}),
            "element": (lambda: element._serialize(None), {"design": PARAMS, "analysis": ANALYSIS}),
            "optimization": (table._serialize, table_output([row_output()], [], HEADERS.values())),
            "nembra": (NembraResult(None, set_params)._serialize, {"parameters": PARAMS}),
        }
        call, expected = calls[kind]
        return Fault(call=call, exc=fault.exc, remove=restore, expected=expected)

    return setup


for _kind in ["set_params", "element", "optimization", "nembra"]:
    CASES[f"serialize_params_in_{_kind}"] = serialize_params(_kind)


@case
def create_safe_file_name_in_init(namespace):
    fault = Switch("_create_safe_file_name")
    original = namespace["_create_safe_file_name"]

    def failing(name):
        fault()
        return original(name)

    download = DownloadResult(b"x", "x")
    restore = swap(namespace, "_create_safe_file_name", failing)
    call = init_then_serialize(download, b"data", "my data.bin")
    return Fault(call=call, exc=fault.exc, remove=restore, expected={"url": ("my_data.bin", b"data")})


@case
def sub_of_re(namespace):
    fault = Switch("re.sub")

    def failing_sub(*args):
        fault()
        return re.sub(*args)

    restore = swap(namespace, "re", types.SimpleNamespace(sub=failing_sub))
    call = lambda: result._create_safe_file_name("a b")
    return Fault(call=call, exc=fault.exc, remove=restore, expected="a_b")


@case
def getitem_of_stored_data(namespace):
    fault = Switch("__getitem__")

    class Data(dict):
        def __getitem__(self, key):
            fault()
            return super().__getitem__(key)

    holder = SetParamsResult(PARAMS)
    holder._data = Data(PARAMS)
    call = lambda: holder.get("tab")
    return Fault(call=call, exc=fault.exc, remove=fault.remove, expected=PARAMS["tab"])


namespace = namespace_with_api(FakeAPI)


@pytest.mark.parametrize("setup", CASES.values(), ids=CASES.keys())
def test_fault_reaches_caller_and_instance_stays_usable(setup, namespace):
    fault = setup(namespace)
    with pytest.raises(Boom) as info:
        fault.call()
    assert info.value is fault.exc
    assert info.value.__context__ is None
    assert info.value.__cause__ is None

    fault.remove()
    assert fault.call() == fault.expected
    assert fault.call() == fault.expected


def failing_archive(namespace, block_error, recorder):
    class ZipFile(zipfile.ZipFile):
        def writestr(self, *args):
            raise block_error

        def __exit__(self, *exc_info):
            super().__exit__(*exc_info)
            recorder(exc_info, sys.exc_info()[1])

    module = types.ModuleType("zipfile")
    module.ZipFile = ZipFile
    module.ZIP_DEFLATED = zipfile.ZIP_DEFLATED
    namespace["zipfile"] = module
    return DownloadResult(zipped_files={"a": io.BytesIO(b"a")}, file_name="a.zip")


def failing_upload_of_opened_file(namespace, block_error, recorder):
    class Opened:
        def __enter__(self):
            return io.BytesIO(b"data")

        def __exit__(self, *exc_info):
            recorder(exc_info, sys.exc_info()[1])

    class Openable(File):
        def open_binary(self):
            return Opened()

    class API(FakeUploadClient):
        error = block_error

    namespace["API"] = API
    return DownloadResult(Openable(), "f.bin")


@pytest.mark.parametrize("make", [failing_archive, failing_upload_of_opened_file], ids=["archive", "open_binary"])
def test_exit_that_raises_after_a_failed_block_keeps_the_block_error(make, namespace):
    block_error = Boom("block")
    # Each __exit__ reports its arguments and the exception being handled while it runs,
    # then raises.
    recorder = Recorder(Boom("exit"))
    download = make(namespace, block_error, recorder)
    with pytest.raises(Boom) as info:
        download._serialize()
    assert info.value is recorder.error
    [(exc_info, handled)] = recorder.args
    assert exc_info[:2] == (Boom, block_error)
    # As in a with statement: the block's exception is being handled while __exit__ runs,
    # and the exception raised by __exit__ carries it as its context.
    assert info.value.__context__ is block_error
    assert handled is block_error
