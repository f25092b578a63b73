"""Odd but legal Python code around the native module: it must neither crash nor lie.

Each test drives the module the way unusual callers can (failed loads whose classes
survive, a cleared dict watcher, deep self-reference, properties that count their reads,
strings made by the legacy C API, dicts that change while they are read, mutated keyword
defaults, raw vectorcalls, a replaced ``re`` module, pending signals) and compares the
outcome with what the same Python code would give.
"""

import ctypes
import gc
import io
import json
import re
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time
import zipfile
from pathlib import Path

import pytest

import nembra
import nembra.result
from nembra.core import File
from nembra.result import DownloadResult, NembraResult, OptimizationResult, OptimizationResultElement, SetParamsResult

PY311 = sys.version_info < (3, 12)


def run_child(code, cwd):
    process = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=300, cwd=cwd
    )
    return process


def child_json(code, cwd):
    process = run_child(code, cwd)
    assert process.returncode == 0, process.stderr[-3000:]
    return json.loads(process.stdout.splitlines()[-1])


@pytest.fixture
def package_copy(tmp_path):
    """A copy of the installed package in a directory of its own, to be edited by a test."""
    shutil.copytree(Path(nembra.__file__).parent, tmp_path / "nembra", ignore=shutil.ignore_patterns("__pycache__"))
    return tmp_path


# --- functions resolve names in their own namespace ----------------------------------------


def test_class_from_a_failed_load_keeps_its_own_namespace(package_copy):
    views = package_copy / "nembra" / "views.py"
    views.write_text(views.read_text() + "\nSVGResult = (1, 2)\n")
    report = child_json(
        f"""
        import gc, json, sys
        sys.path.insert(0, {str(package_copy)!r})
        import nembra.core, nembra.parametrization
        try:
            import nembra.result
        except TypeError as error:
            first = type(error).__name__
        survivors = {{cls.__name__: cls for cls in nembra.core._SerializableObject.__subclasses__()}}
        SetParamsResult = survivors["SetParamsResult"]
        own = SetParamsResult._serialize.__globals__
        sys.modules["nembra.api_v1"] = None
        try:
            import nembra.result
        except ImportError as error:
            second = type(error).__name__
        gc.collect()
        # Fill memory that a freed namespace would have held.
        filler = [{{"_serialize_params": i}} for i in range(10000)]
        serialized = SetParamsResult({{"tab": {{"x": 1}}}})._serialize()
        own["_serialize_params"] = lambda params: "own namespace"
        rebound = SetParamsResult({{}})._serialize()
        print(json.dumps({{
            "failures": [first, second],
            "survivors": sorted(survivors),
            "serialized": serialized,
            "rebound": rebound,
        }}))
        """,
        cwd=package_copy,
    )
    assert report == {
        "failures": ["TypeError", "ModuleNotFoundError"],
        "survivors": ["DownloadResult", "SetParamsResult"],
        "serialized": {"parameters": {"tab": {"x": 1}}},
        "rebound": {"parameters": "own namespace"},
    }


WATCHER_CHILD = """
import ctypes, json, sys
WATCH = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)
callback = WATCH(lambda *args: 0)
add, clear = ctypes.pythonapi.PyDict_AddWatcher, ctypes.pythonapi.PyDict_ClearWatcher
add.argtypes, clear.argtypes = [WATCH], [ctypes.c_int]
taken = []
if {fill}:
    while True:
        try:
            taken.append(add(callback))
        except (ValueError, RuntimeError):
            break
import nembra.result
from nembra.result import SetParamsResult
if not {fill}:
    # Another extension clears every watcher it can, the module's included.
    for watcher in range(8):
        try:
            clear(watcher)
        except ValueError:
            pass
first = SetParamsResult({{}})._serialize()
nembra.result._serialize_params = lambda params: "rebound"
second = SetParamsResult({{}})._serialize()
del nembra.result._serialize_params
import gc; gc.collect()
try:
    SetParamsResult({{}})._serialize()
    third = "no error"
except NameError as error:
    third = str(error)
print(json.dumps({{"watchers taken": len(taken) > 0 or not {fill}, "outputs": [first, second, third]}}))
"""


@pytest.mark.skipif(PY311, reason="dict watchers exist from 3.12")
@pytest.mark.parametrize("fill", [True, False], ids=["all-watcher-slots-taken", "watchers-cleared"])
def test_name_cache_does_not_depend_on_a_dict_watcher(tmp_path, fill):
    report = child_json(WATCHER_CHILD.format(fill=fill), cwd=tmp_path)
    assert report == {
        "watchers taken": True,
        "outputs": [{"parameters": {}}, {"parameters": "rebound"}, "name '_serialize_params' is not defined"],
    }


# --- native recursion ends in RecursionError ----------------------------------------------

RECURSION_CHILD = """
import json, sys, threading
from nembra.result import NembraResult, OptimizationResult
sys.setrecursionlimit({limit})
outcome = {{}}

def nest():
    n = NembraResult()
    n._set_params_result = n
    try:
        n._serialize()
        outcome["nembra"] = "returned"
    except RecursionError:
        outcome["nembra"] = "RecursionError"

    class Row:
        def _serialize(self, headers):
            return table._serialize()
    table = OptimizationResult([Row()])
    try:
        table._serialize()
        outcome["rows"] = "returned"
    except RecursionError:
        outcome["rows"] = "RecursionError"

if {thread_stack}:
    threading.stack_size({thread_stack})
    worker = threading.Thread(target=nest)
    worker.start()
    worker.join()
else:
    nest()
print(json.dumps(outcome))
"""


@pytest.mark.parametrize("limit", [1000, 30_000, 1_000_000])
@pytest.mark.parametrize("thread_stack", [0, 512 * 1024], ids=["main-thread", "small-thread-stack"])
def test_self_nesting_ends_in_recursion_error(tmp_path, limit, thread_stack):
    report = child_json(RECURSION_CHILD.format(limit=limit, thread_stack=thread_stack), cwd=tmp_path)
    assert report == {"nembra": "RecursionError", "rows": "RecursionError"}


# --- the display loop rereads what Python code can change ------------------------------


def counting_element(kind):
    """A row whose `_analysis_result` is computed anew at every read: {"k": <read count>}."""
    reads = {"n": 0}

    def read():
        reads["n"] += 1
        return {"k": reads["n"]}

    if kind == "property":
        namespace = {"_analysis_result": property(lambda self: read(), lambda self, value: None)}
    else:

        def __getattribute__(self, name):
            if name == "_analysis_result":
                return read()
            return object.__getattribute__(self, name)

        namespace = {"__getattribute__": __getattribute__}
    cls = type("Counting", (OptimizationResultElement,), namespace)
    return cls({}, {"k": 0})


@pytest.mark.parametrize("kind", ["property", "__getattribute__"])
def test_each_header_reads_an_attribute_that_runs_python_code(kind):
    row = counting_element(kind)._serialize(["k", "k", "k"])
    assert row == {"design": {}, "analysis": {"k": 1}, "output_display_data": ["2", "3", "4"]}


# --- strings made by the legacy C API (3.11) --------------------------------------------


def legacy_str(text):
    """`text` as a str made by PyUnicode_FromUnicode(NULL, n) and filled, not yet ready."""
    make = ctypes.pythonapi.PyUnicode_FromUnicode
    make.restype, make.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_ssize_t]
    buffer_of = ctypes.pythonapi.PyUnicode_AsUnicode
    buffer_of.restype, buffer_of.argtypes = ctypes.c_void_p, [ctypes.py_object]
    made = make(None, len(text))
    source = ctypes.create_unicode_buffer(text)
    ctypes.memmove(buffer_of(made), source, len(text) * ctypes.sizeof(ctypes.c_wchar))
    return made


@pytest.mark.skipif(not PY311, reason="strings are always ready from 3.12")
@pytest.mark.filterwarnings("ignore:PyUnicode_FromUnicode:DeprecationWarning")
def test_safe_file_name_reads_a_string_that_is_not_ready():
    name = legacy_str("my file (1).txt")
    assert type(name) is str
    assert nembra.result._create_safe_file_name(name) == "my_file__1_.txt"


# --- zip entries from a dict that changes -------------------------------------------------


class Rekeying(File):
    """A zip entry whose reading moves another key of its dict to the end."""

    def __init__(self, entries, key):
        super().__init__()
        self.entries, self.key = entries, key

    def getvalue_binary(self):
        value = self.entries.pop(self.key)
        self.entries[self.key] = value
        return b"x"


def rekeying_entries():
    entries = {"a": File.from_data("a")}
    entries["b"] = Rekeying(entries, "a")
    return entries


def test_zip_entries_from_a_dict_whose_keys_change(fake_api):
    try:
        for _name, value in rekeying_entries().items():
            value.getvalue_binary()
    except RuntimeError as error:
        expected = str(error)
    assert expected == "dictionary keys changed during iteration"
    with pytest.raises(RuntimeError) as raised:
        DownloadResult(zipped_files=rekeying_entries(), file_name="a.zip")._serialize()
    assert str(raised.value) == expected
    assert fake_api.uploads == []


# --- keyword-only defaults are read from __kwdefaults__ ----------------------------------


@pytest.fixture
def kwdefaults():
    saved = {f: dict(f.__kwdefaults__) for f in (NembraResult.__init__, DownloadResult.__init__)}
    yield
    for function, values in saved.items():
        function.__kwdefaults__.clear()
        function.__kwdefaults__.update(values)


def test_changed_keyword_default_is_used_by_the_call(kwdefaults):
    held = SetParamsResult({})
    NembraResult.__init__.__kwdefaults__["set_params_result"] = held
    assert NembraResult()._set_params_result is held
    assert NembraResult(set_params_result=None)._set_params_result is None
    DownloadResult.__init__.__kwdefaults__["zipped_files"] = {}
    assert DownloadResult(file_name="a.zip")._zipped_files == {}


def test_removed_keyword_default_makes_the_parameter_required(kwdefaults):
    del NembraResult.__init__.__kwdefaults__["optimization_result"]
    with pytest.raises(TypeError) as raised:
        NembraResult()
    assert str(raised.value) == "__init__() missing 1 required keyword-only argument: 'optimization_result'"
    assert NembraResult(optimization_result=None)._optimization_result is None


def test_keyword_default_stays_alive_while_the_call_runs(kwdefaults):
    class Dropping:
        """Truthy; testing its truth removes it from the keyword defaults."""

        def __bool__(self):
            NembraResult.__init__.__kwdefaults__["optimization_result"] = None
            gc.collect()
            return True

    NembraResult.__init__.__kwdefaults__["optimization_result"] = Dropping()
    stored = NembraResult()._optimization_result
    assert type(stored).__name__ == "Dropping"


# --- raw vectorcalls --------------------------------------------------------------------


def vectorcall_method(name, args, kwnames):
    """obj.<name>(*args[1:], **dict(zip(kwnames, ...))) through PyObject_VectorcallMethod."""
    call = ctypes.pythonapi.PyObject_VectorcallMethod
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    stack = (ctypes.py_object * len(args))(*args)
    return call(name, ctypes.cast(stack, ctypes.c_void_p), len(args) - len(kwnames), kwnames)


@pytest.mark.parametrize(
    ("instance", "kwnames", "message"),
    [
        (SetParamsResult.__new__(SetParamsResult), ("params", "params"), "params"),
        (NembraResult.__new__(NembraResult), ("set_params_result", "set_params_result"), "set_params_result"),
        (NembraResult.__new__(NembraResult), ("download_result", "optimization_result", "download_result"),
         "download_result"),
    ],
)
def test_repeated_keyword_in_a_raw_vectorcall_is_refused(instance, kwnames, message):
    values = [SetParamsResult({}) for _ in kwnames]
    with pytest.raises(TypeError) as raised:
        vectorcall_method("__init__", [instance, *values], kwnames)
    assert str(raised.value) == f"__init__() got multiple values for keyword argument '{message}'"
    assert vars(instance) == {}


# --- `re` is read at use -----------------------------------------------------------------


def test_import_with_a_re_module_that_has_no_sub(tmp_path):
    report = child_json(
        """
        import json, sys, types
        import re, warnings, io, typing, zipfile, munch
        import nembra.api_v1, nembra.core, nembra.parametrization, nembra.views
        real = sys.modules["re"]
        sys.modules["re"] = types.ModuleType("re")
        import nembra.result
        sys.modules["re"] = real
        try:
            nembra.result._create_safe_file_name("a b")
            missing = "no error"
        except AttributeError as error:
            missing = str(error)
        nembra.result.re = real
        print(json.dumps({"missing": missing, "restored": nembra.result._create_safe_file_name("a b")}))
        """,
        cwd=tmp_path,
    )
    assert report == {"missing": "module 're' has no attribute 'sub'", "restored": "a_b"}


# --- pending signals interrupt long loops ------------------------------------------------


class BuiltinRow:
    """A row whose `_serialize` is builtin code: no Python frame runs per row."""

    _serialize = staticmethod(len)


class BuiltinView:
    _view_type_name = "svg"
    _serialize = staticmethod(int)


def long_header_loop():
    row, headers = OptimizationResultElement({}, {"k": 1.5}), ["k"] * 3_000_000
    return lambda: row._serialize(headers)


def long_row_loop():
    return OptimizationResult([BuiltinRow()] * 6_000_000, output_headers={"k": "K"})._serialize


def long_view_loop():
    table = OptimizationResult([])
    table._view_results = [BuiltinView()] * 2_000_000
    return table._serialize


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(), reason="signals need the main thread")
@pytest.mark.parametrize("loop", [long_header_loop, long_row_loop, long_view_loop], ids=["headers", "rows", "views"])
def test_keyboard_interrupt_stops_a_long_loop_promptly(loop):
    run = loop()
    handled = []

    def interrupt(signum, frame):
        handled.append(time.perf_counter())
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    delay = 0.02
    try:
        start = time.perf_counter()
        signal.setitimer(signal.ITIMER_REAL, delay)
        with pytest.raises(KeyboardInterrupt):
            run()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    late = handled[0] - start - delay
    assert late < 0.1, f"the handler ran {late:.3f} s after the signal"


# --- the re-reads that the equivalent Python expressions make ----------------------------


def reading_property(name, values, reads):
    """A property that gives the next of `values` at each read and counts the reads."""

    def get(self):
        reads[name] = reads.get(name, 0) + 1
        return values[min(reads[name], len(values)) - 1]

    return property(get, lambda self, value: None)


def test_nembra_result_reads_a_held_result_again_for_its_call():
    reads = {}
    first, second = SetParamsResult({"first": 1}), SetParamsResult({"second": 2})
    cls = type(
        "Reading",
        (NembraResult,),
        {
            "_optimization_result": reading_property("_optimization_result", [None], reads),
            "_set_params_result": reading_property("_set_params_result", [first, second], reads),
            "_download_result": reading_property("_download_result", [None], reads),
        },
    )
    assert cls()._serialize() == {"parameters": {"second": 2}}
    assert reads == {"_optimization_result": 1, "_set_params_result": 2, "_download_result": 1}


@pytest.mark.parametrize(
    ("contents", "uploaded"),
    [
        (["first", "second"], b"second"),
        ([b"first", b"second"], b"second"),
        ([io.BytesIO(b"first"), io.BytesIO(b"second")], b"second"),
    ],
    ids=["str", "bytes", "BytesIO"],
)
def test_download_reads_its_content_again_for_its_use(fake_api, contents, uploaded):
    reads = {}
    cls = type("Reading", (DownloadResult,), {"_file_content": reading_property("_file_content", contents, reads)})
    cls(file_content=b"x", file_name="a.bin")._serialize()
    assert [upload.data for upload in fake_api.uploads] == [uploaded]
    assert reads == {"_file_content": 2}


def test_archive_resolves_zipfile_again_after_reading_the_source(namespace, fake_api):
    """Reading `file.source` rebinds `zipfile`; ZIP_DEFLATED comes from the new binding."""
    storing = type(sys)("storing_zipfile")
    storing.ZIP_DEFLATED = zipfile.ZIP_STORED
    armed = []

    class RebindingFile(File):
        @property
        def source(self):
            if armed:
                namespace["zipfile"] = storing
            return self.__dict__["source"]

        @source.setter
        def source(self, value):
            self.__dict__["source"] = value

    namespace["File"] = RebindingFile
    download = DownloadResult(zipped_files={"a.txt": RebindingFile.from_data("a" * 100)}, file_name="a.zip")
    armed.append(True)
    download._serialize()
    with zipfile.ZipFile(io.BytesIO(fake_api.uploads[0].data)) as archive:
        assert [info.compress_type for info in archive.infolist()] == [zipfile.ZIP_STORED]


# --- calling a class --------------------------------------------------------------------


CLASS_CALL_CHILD = """
import json
from nembra.result import NembraResult, SetParamsResult
calls, outcomes = [], []

def init(self, *args, **kwargs):
    calls.append([list(args), kwargs])

def error_of(call):
    try:
        call()
    except TypeError as error:
        return str(error)

SetParamsResult.__init__ = init
outcomes.append(hasattr(SetParamsResult(1, key=2), "_data"))
SetParamsResult.__init__ = lambda self, params: 5
outcomes.append(error_of(lambda: SetParamsResult({})))
del SetParamsResult.__init__
outcomes.append(error_of(lambda: SetParamsResult({})))
# Replacing __new__ cannot be undone cleanly in the interpreter, hence a child process.
NembraResult.__new__ = lambda cls, *args, **kwargs: "made by __new__"
outcomes.append(NembraResult())
print(json.dumps({"calls": calls, "outcomes": outcomes}))
"""


def test_class_call_follows_a_replaced_init_and_new(tmp_path):
    assert child_json(CLASS_CALL_CHILD, cwd=tmp_path) == {
        "calls": [[[1], {"key": 2}]],
        "outcomes": [
            False,
            "__init__() should return None, not 'int'",
            "SetParamsResult() takes no arguments",
            "made by __new__",
        ],
    }


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: SetParamsResult(), "__init__() takes exactly 2 positional arguments (1 given)"),
        (lambda: SetParamsResult({}, bogus=1), "__init__() got an unexpected keyword argument 'bogus'"),
        (lambda: NembraResult(*[None] * 4), "__init__() takes at most 4 positional arguments (5 given)"),
        (lambda: NembraResult(*[None] * 20), "__init__() takes at most 4 positional arguments (21 given)"),
    ],
)
def test_class_call_binding_errors(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message


def test_subclasses_and_metaclass_calls_construct_as_before():
    class Meta(type):
        def __call__(cls, *args, **kwargs):
            return ("metaclass call", args, kwargs)

    class Sub(SetParamsResult):
        def __init__(self, params, extra):
            super().__init__(params)
            self.extra = extra

    sub = Sub({}, extra=1)
    assert (type(sub), sub._data, sub.extra) == (Sub, {}, 1)
    WithMeta = Meta("WithMeta", (SetParamsResult,), {})
    assert WithMeta({}, k=1) == ("metaclass call", ({},), {"k": 1})
    assert type.__call__(SetParamsResult, {})._data == {}
