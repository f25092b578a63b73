"""The cycle collector and nembra.result: function objects, self-referring results, debug runs.

- The module's function objects are tracked by the collector and report what they hold.
- Results that hold themselves, directly or through rows, parameter sets and bound methods,
  are freed by gc.collect() once the last outside reference is gone.
- A NembraResult that holds itself makes _serialize() fail with RecursionError.
- Importing the module with -X dev -W error, and a run through every class under
  PYTHONMALLOC=debug -X dev, print nothing on stderr and exit 0.
"""

import gc
import os
import subprocess
import sys
import textwrap
import weakref

import pytest

import nembra.result as result
from nembra.result import (
    DownloadResult,
    NembraResult,
    OptimizationResult,
    OptimizationResultElement,
    SetParamsResult,
    _create_safe_file_name,
)

FUNCTIONS = {
    "SetParamsResult.__init__": SetParamsResult.__init__,
    "SetParamsResult._serialize": SetParamsResult._serialize,
    "SetParamsResult.get": SetParamsResult.get,
    "OptimizationResultElement.__init__": OptimizationResultElement.__init__,
    "OptimizationResultElement._serialize": OptimizationResultElement._serialize,
    "OptimizationResult.__init__": OptimizationResult.__init__,
    "OptimizationResult._serialize": OptimizationResult._serialize,
    "DownloadResult.__init__": DownloadResult.__init__,
    "DownloadResult._serialize": DownloadResult._serialize,
    "NembraResult.__init__": NembraResult.__init__,
    "NembraResult._serialize": NembraResult._serialize,
    "_create_safe_file_name": _create_safe_file_name,
}


def is_among(obj, objects):
    return any(candidate is obj for candidate in objects)


# --- Function objects ----------------------------------------------------------------------


@pytest.mark.parametrize("function", FUNCTIONS.values(), ids=FUNCTIONS.keys())
def test_function_is_tracked_and_reports_what_it_holds(function):
    assert gc.is_tracked(function)
    referents = gc.get_referents(function)
    assert is_among(function.__globals__, referents)
    assert function.__globals__ is vars(result)
    assert is_among(function.__annotations__, referents)
    assert is_among(function.__code__, referents)
    for held in (function.__defaults__, function.__kwdefaults__):
        if held is not None:
            assert is_among(held, referents)


@pytest.mark.parametrize("function", FUNCTIONS.values(), ids=FUNCTIONS.keys())
def test_function_reports_its_attribute_dict(function):
    marker = ["held by the function"]
    function.marker = marker
    try:
        assert is_among(function.__dict__, gc.get_referents(function))
        assert is_among(marker, gc.get_referents(function.__dict__))
    finally:
        del function.marker
    assert not hasattr(function, "marker")


@pytest.mark.parametrize("function", FUNCTIONS.values(), ids=FUNCTIONS.keys())
def test_function_supports_weak_references(function):
    ref = weakref.ref(function)
    assert ref() is function
    gc.collect()
    assert ref() is function


def test_collection_leaves_functions_usable():
    gc.collect()
    assert SetParamsResult({"a": 1}).get("a") == 1
    assert _create_safe_file_name("a b") == "a_b"


# --- Results that hold themselves ----------------------------------------------------------


def table_with_row_pointing_back():
    rows = []
    table = OptimizationResult(rows, ["x"], {"r": "R"})
    rows.append(OptimizationResultElement({"tab": {"table": table}}, {"r": 1}))
    table._serialize()
    return table


def nembra_holding_itself():
    holder = NembraResult()
    holder.__init__(holder, holder)
    return holder


def set_params_holding_itself():
    data = {}
    holder = SetParamsResult(data)
    data["self"] = holder
    assert holder.get("self") is holder
    holder._serialize()
    return holder


def element_holding_itself():
    analysis = {"value": 1}
    element = OptimizationResultElement(None)
    element.__init__(element, analysis)
    analysis["me"] = element
    element._serialize(["me"])
    return element


def download_holding_itself():
    entries = {}
    holder = DownloadResult(zipped_files=entries, file_name="a.zip")
    entries["self"] = holder
    with pytest.raises(NotImplementedError):
        holder._serialize()
    return holder


def table_holding_its_bound_method():
    table = OptimizationResult([])
    table.again = table._serialize
    table.again()
    return table


def nembra_holding_each_other():
    first = NembraResult()
    second = NembraResult(first)
    first.__init__(second)
    return first


CYCLES = {
    "optimization_row_points_back": table_with_row_pointing_back,
    "nembra_holds_itself": nembra_holding_itself,
    "set_params_data_holds_it": set_params_holding_itself,
    "element_analysis_holds_it": element_holding_itself,
    "download_entries_hold_it": download_holding_itself,
    "bound_method_on_instance": table_holding_its_bound_method,
    "two_nembra_results": nembra_holding_each_other,
}


@pytest.mark.parametrize("make", CYCLES.values(), ids=CYCLES.keys())
def test_self_referring_result_is_collected(make, fake_api):
    obj = make()
    ref = weakref.ref(obj)
    del obj
    gc.collect()
    assert ref() is None


@pytest.mark.parametrize("slot", ["optimization_result", "set_params_result", "download_result"])
def test_nembra_result_holding_itself_raises_recursion_error(slot):
    holder = NembraResult()
    setattr(holder, "_" + slot, holder)
    with pytest.raises(RecursionError):
        holder._serialize()
    # The instance and the interpreter are still fine afterwards.
    setattr(holder, "_" + slot, None)
    assert holder._serialize() == {}
    ref = weakref.ref(holder)
    del holder
    gc.collect()
    assert ref() is None


def test_mutually_holding_nembra_results_raise_recursion_error():
    first = nembra_holding_each_other()
    with pytest.raises(RecursionError):
        first._serialize()
    with pytest.raises(RecursionError):
        first._optimization_result._serialize()


# --- Debug interpreter runs ----------------------------------------------------------------

EXERCISE = textwrap.dedent(
    """
    import gc, io
    from collections import OrderedDict
    from munch import Munch
    import nembra.result as r
    from nembra.core import File
    from nembra.views import SVGResult, PNGResult

    # The script runs in a fresh interpreter without pytest, so it has its own small
    # upload client rather than the fake of conftest.py.
    class FakeAPI:
        def _upload_temporary_file(self, file_object, file_name):
            return "fake://%s/%d" % (file_name, len(file_object.read()))

    vars(r)["API"] = FakeAPI

    def fails(exc_type, func, *args, **kwargs):
        try:
            func(*args, **kwargs)
        except exc_type:
            return
        raise SystemExit("no %s from %r" % (exc_type.__name__, func))

    params = {"tab": {"section": {"field": 1}}}
    s = r.SetParametersResult(params)
    assert s._serialize() == {"parameters": params}
    assert s.get("tab") is params["tab"]
    fails(KeyError, s.get, "x")
    fails(TypeError, r.SetParamsResult, Munch(params))

    rows = [r.OptimisationResultElement(params, {"a": 1, "b": 2.5}), r.OptimizationResultElement(Munch(params))]
    rows[0]._serialize(None)
    o = r.OptimisationResult(rows, ["field"], {"a": "A", "b": "B"}, SVGResult("<svg/>"))
    out = o._serialize()
    assert out["optimization"][0]["output_display_data"] == ["1", "2.5"]
    r.OptimizationResult(rows, image=PNGResult(b"png"))._serialize()
    fails(TypeError, r.OptimizationResult, rows, output_headers=OrderedDict())

    downloads = [
        r.DownloadResult(file_content="t\\u00e9xt", file_name="a b.txt"),
        r.DownloadResult(b"bytes", "b.bin"),
        r.DownloadResult(io.BytesIO(b"io"), "c.bin"),
        r.DownloadResult(File.from_data(b"file"), "d.bin"),
        r.DownloadResult(zipped_files={"x.txt": File.from_data("x"), "y": io.BytesIO(b"y")}, file_name="e.zip"),
    ]
    for d in downloads:
        assert d._serialize()["url"].startswith("fake://")
    fails(ValueError, r.DownloadResult)
    fails(NotImplementedError, r.DownloadResult(bytearray(b"x"), "f")._serialize)
    fails(NotImplementedError, r.DownloadResult(zipped_files={"a": "s"}, file_name="g")._serialize)
    assert r._create_safe_file_name("my file.txt") == "my_file.txt"

    n = r.NembraResult(o, s, downloads[-1])
    assert list(n._serialize()) == ["input_columns", "optimization", "output_headers", "views", "parameters", "url"]
    loop = r.NembraResult()
    loop._set_params_result = loop
    fails(RecursionError, loop._serialize)
    del loop
    gc.collect()
    """
)


def run_python(args, env_extra, tmp_path):
    env = dict(os.environ)
    env.update(env_extra)
    env.pop("PYTHONWARNINGS", None)
    return subprocess.run(
        [sys.executable, *args],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )


def test_import_under_dev_mode_with_warnings_as_errors(tmp_path):
    done = run_python(["-X", "dev", "-W", "error", "-c", "import nembra.result"], {}, tmp_path)
    assert (done.returncode, done.stderr) == (0, "")


def test_every_class_under_the_debug_allocator(tmp_path):
    done = run_python(["-X", "dev", "-c", EXERCISE], {"PYTHONMALLOC": "debug"}, tmp_path)
    assert (done.returncode, done.stderr, done.stdout) == (0, "", "")
