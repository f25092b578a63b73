#!/usr/bin/env python3
"""Speed and memory of nembra.result, beside its plain-Python rendition and its limit.

Usage::

    python benchmarks/bench.py [--quick] [--pyperf [pyperf options]] [--ext-module NAME]

Every path is timed for these roles (see ``benchmarks/README.md``):

- ``ext``: the native module;
- ``py``: the rendition in ``benchmarks/pyresult.py``;
- ``self``: a second, separately imported copy of the rendition, timed as a role of its
  own; the ratio self/py is the self-check of the harness and must come out at 1.00;
- ``limit``: on the serialisers that build tables (``OptimizationResult``,
  ``OptimizationResultElement``, ``SetParamsResult``), the fewest C-API calls that build
  the same output, compiled from ``benchmarks/limit/`` before the run;
- ``floor``: where one applies, the tightest Python that builds the same objects.

Time is the CPU time of this thread. All roles of a path run the same number of loops
(calibrated once per path on its slowest role), in rounds that take one value of every
role, in an order rotated every round; the upload store is emptied before every timed
batch. Each role's time is the median of its values, and each ratio the median of the
ratios taken within a round. ``--pyperf`` runs each role in pyperf's worker processes
instead (same clock, same shared loop counts).

``--quick`` is the CI mode: no 100 MB cases, no memory probe, and an exit status that is
non-zero only when the self-check fails or the extension is slower than the rendition on
some path. ``--ext-module pyresult`` benchmarks the rendition against itself, for trying
the script out before the extension is built.
"""

import argparse
import atexit
import gc
import importlib
import importlib.util
import json
import math
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import zipfile
from contextlib import contextmanager, nullcontext
from io import BytesIO
from itertools import repeat
from time import monotonic
from time import thread_time as clock

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

# Uploads land in a store of this process's own, emptied before every timed batch and
# removed at exit. pyperf workers do not inherit the environment, so each process makes
# its own store. A memory-backed file system, where there is one, keeps the disk out of
# the upload timings.
_SHM = "/dev/shm"
STORE = tempfile.mkdtemp(
    prefix="nembra-bench-store-",
    dir=_SHM if os.path.isdir(_SHM) and os.access(_SHM, os.W_OK) else None,
)
os.environ["NEMBRA_STORAGE_DIR"] = STORE
atexit.register(shutil.rmtree, STORE, True)

from nembra.api_v1 import API  # noqa: E402
from nembra.core import File, _SerializableObject  # noqa: E402
from nembra.parametrization import _serialize_params  # noqa: E402

import limit  # noqa: E402
import pyresult  # noqa: E402
from workload import (  # noqa: E402
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

ROW_COUNTS = (1, 100, 10_000)
SAFE_NAME_PATTERN = "[^A-Za-z0-9.]"
TWIN_NAME = "pyresult_twin"
STARTED = monotonic()

# The self-check: the rendition timed against its own copy comes out within this of 1.
# The quick check fails when it does not, and when the extension is slower than the
# rendition by more than this (a smaller difference is within what the harness resolves).
SELF_TOLERANCE = 0.05

# Targets, reported as met or not met; they do not change the exit status.
EXT_OVER_LIMIT = 1.15  # the [id] rows of the table at 100 and 10,000 rows and of one row
PY_OVER_EXT_FAST = 3.5  # the [id] rows of the table at 100 rows and of one row
PY_OVER_EXT = 1.0  # every path
DOWNLOAD_OVER_BARE = 1.10
MEMORY_SLACK = 4 * MB  # the store copies in 1 MiB chunks, two of which can be alive at once


def clear_store():
    shutil.rmtree(STORE, ignore_errors=True)


def load_twin():
    """A second copy of pyresult, imported from the same file under another name."""
    if TWIN_NAME in sys.modules:
        return sys.modules[TWIN_NAME]
    spec = importlib.util.spec_from_file_location(TWIN_NAME, os.path.join(HERE, "pyresult.py"))
    twin = importlib.util.module_from_spec(spec)
    sys.modules[TWIN_NAME] = twin
    spec.loader.exec_module(twin)
    return twin


@contextmanager
def rebound(module, name, value):
    """Bind ``name`` in ``module`` to ``value`` for the duration of the block."""
    old = getattr(module, name)
    setattr(module, name, value)
    try:
        yield
    finally:
        setattr(module, name, old)


# --- timing loops ------------------------------------------------------------------------
# Each returns a time function taking the loop count, as pyperf's bench_time_func wants,
# and returning the thread's CPU time spent in the loop. The operation is written out in
# the loop body, so every role pays the same loop cost.


def loop_call(f, *args, **kwargs):
    if kwargs:

        def time_kw(loops):
            t0 = clock()
            for _ in repeat(None, loops):
                f(*args, **kwargs)
            return clock() - t0

        return time_kw
    if len(args) == 1:
        (a,) = args

        def time_1(loops):
            t0 = clock()
            for _ in repeat(None, loops):
                f(a)
            return clock() - t0

        return time_1
    if len(args) == 2:
        a, b = args

        def time_2(loops):
            t0 = clock()
            for _ in repeat(None, loops):
                f(a, b)
            return clock() - t0

        return time_2
    if len(args) == 3:
        a, b, c = args

        def time_3(loops):
            t0 = clock()
            for _ in repeat(None, loops):
                f(a, b, c)
            return clock() - t0

        return time_3
    if len(args) == 4:
        a, b, c, d = args

        def time_4(loops):
            t0 = clock()
            for _ in repeat(None, loops):
                f(a, b, c, d)
            return clock() - t0

        return time_4
    raise ValueError(f"no loop for {len(args)} arguments")


def loop_serialize(obj):
    def time_serialize(loops):
        t0 = clock()
        for _ in repeat(None, loops):
            obj._serialize()
        return clock() - t0

    return time_serialize


def loop_serialize_headers(obj, headers):
    def time_serialize(loops):
        t0 = clock()
        for _ in repeat(None, loops):
            obj._serialize(headers)
        return clock() - t0

    return time_serialize


def loop_get(obj, key):
    def time_get(loops):
        t0 = clock()
        for _ in repeat(None, loops):
            obj.get(key)
        return clock() - t0

    return time_get


# --- floors ------------------------------------------------------------------------------
# A plain Python class with the same base and attributes, filled in without any checks,
# and each output dict built by the tightest inline expression. Display values go through
# the interpreter's str() (the specialised call of a comprehension beats map(str, ...));
# an implementation with its own number formatting can come in under such a floor.


class PlainResult(_SerializableObject):
    pass


class PlainElement:
    pass


def floor_set_params_init(d):
    def time_floor(loops):
        t0 = clock()
        for _ in repeat(None, loops):
            o = PlainResult()
            o._data = d
        return clock() - t0

    return time_floor


def floor_set_params_serialize(d, sp):
    def time_floor(loops):
        t0 = clock()
        for _ in repeat(None, loops):
            {"parameters": sp(d)}
        return clock() - t0

    return time_floor


def floor_get(d, key):
    def time_floor(loops):
        t0 = clock()
        for _ in repeat(None, loops):
            d[key]
        return clock() - t0

    return time_floor


def floor_element_init(p, a):
    def time_floor(loops):
        t0 = clock()
        for _ in repeat(None, loops):
            o = PlainElement()
            o._parameter_set = p
            o._analysis_result = a if a else {}
        return clock() - t0

    return time_floor


def floor_element_serialize(p, a, headers, sp):
    def time_floor(loops):
        t0 = clock()
        for _ in repeat(None, loops):
            {
                "design": sp(p),
                "analysis": a,
                "output_display_data": [str(a.get(k, "")) for k in headers],
            }
        return clock() - t0

    return time_floor


def floor_optimization_init(rows, columns, headers, image):
    def time_floor(loops):
        t0 = clock()
        for _ in repeat(None, loops):
            o = PlainResult()
            o.result_column_names_input = columns if columns else []
            o.result_column_names_result = []
            o._output_headers = headers if headers else {}
            o._OptimizationResult__results = rows
            o._view_results = [image] if image else []
        return clock() - t0

    return time_floor


def floor_optimization_serialize(rows_data, columns, headers, image, sp):
    def time_floor(loops):
        t0 = clock()
        for _ in repeat(None, loops):
            {
                "input_columns": columns,
                "optimization": [
                    {
                        "design": sp(p),
                        "analysis": a,
                        "output_display_data": [str(a.get(k, "")) for k in headers],
                    }
                    for p, a in rows_data
                ],
                "output_headers": list(headers.values()),
                "views": {
                    "definitions": [{"label": "", "type": image._view_type_name}],
                    "data": [image._serialize()],
                },
            }
        return clock() - t0

    return time_floor


def floor_download_init(text, name):
    sub = re.sub

    def time_floor(loops):
        t0 = clock()
        for _ in repeat(None, loops):
            o = PlainResult()
            o._file_content = text
            o._file_name = sub(SAFE_NAME_PATTERN, "_", name)
            o._encoding = "utf-8"
            o._zipped_files = None
        return clock() - t0

    return time_floor


def bare_text_upload(text, safe_name):
    def time_bare(loops):
        t0 = clock()
        for _ in repeat(None, loops):
            API()._upload_temporary_file(BytesIO(text.encode("utf-8")), safe_name)
        return clock() - t0

    return time_bare


def bare_zip_upload(entries, safe_name):
    def time_bare(loops):
        t0 = clock()
        for _ in repeat(None, loops):
            file = File()
            with zipfile.ZipFile(file.source, "w", zipfile.ZIP_DEFLATED) as z:
                for entry_name, entry in entries.items():
                    z.writestr(entry_name, entry.getvalue())
            with file.open_binary() as stream:
                API()._upload_temporary_file(stream, safe_name)
        return clock() - t0

    return time_bare


def floor_nembra_init(o, s, d):
    def time_floor(loops):
        t0 = clock()
        for _ in repeat(None, loops):
            r = PlainResult()
            r._optimization_result = o if o else None
            r._set_params_result = s if s else None
            r._download_result = d
        return clock() - t0

    return time_floor


def floor_nembra_serialize(serializers):
    first, second, third = serializers

    def time_floor(loops):
        t0 = clock()
        for _ in repeat(None, loops):
            serialisation = {}
            serialisation.update(first())
            serialisation.update(second())
            serialisation.update(third())
        return clock() - t0

    return time_floor


class HeldResult:
    """A held result whose _serialize is a builtin returning a new dict each call."""

    def __init__(self, output):
        self._serialize = output.copy


# --- the paths ---------------------------------------------------------------------------


class Path:
    """One row of the table: a path of the module, timed per role.

    ``build(role, mod, sp)`` returns the time function of ``role`` ("ext", "py", "self"
    or "floor") for the module ``mod`` (None for the floor); ``sp`` is the
    ``_serialize_params`` that a floor uses. ``limit(lim, ext, sp)``, where there is one,
    returns the limit's time function, the limit's output and the extension's output for
    the same object; the two outputs are compared before anything is timed. ``kind`` is
    "small", "download" (target: near the bare work) or "sibling" (time spent mostly in
    the sibling's ``_serialize_params``). ``uploads`` empties the store before every
    timed batch. ``replaces_params`` rebinds ``_serialize_params`` to the builtin ``id``
    in the namespace of each module while it is timed, and hands ``id`` to the floor and
    the limit.
    """

    def __init__(self, label, build, kind="small", heavy=False, floor=True, limit=None,
                 replaces_params=False, uploads=False):
        self.label = label
        self.build = build
        self.kind = kind
        self.heavy = heavy
        self.floor = floor
        self.limit = limit
        self.replaces_params = replaces_params
        self.uploads = uploads
        # An upload's CPU time varies more from call to call (file system, page faults):
        # its batches are made longer.
        self.batch_scale = 5 if uploads else 1

    def roles(self):
        return ("ext", "py", "self") + (("limit",) if self.limit else ()) + (
            ("floor",) if self.floor else ())

    def prepare(self, role, modules):
        sp = id if self.replaces_params else _serialize_params
        if role != "limit":
            return self.build(role, modules[role], sp)
        ext = modules["ext"]
        with rebound(ext, "_serialize_params", sp):
            time_func, got, expected = self.limit(modules["limit"], ext, sp)
        # repr keeps key order and tells 1, 1.0 and "1" apart, and is quick on 10,000 rows.
        if repr(got) != repr(expected):
            raise AssertionError(
                f"{self.label}: the limit builds another output than {ext.__name__}")
        return time_func

    def time_func(self, role, modules):
        """A lazily built time function, so a pyperf worker builds only the data it times."""
        state = {}
        mod = modules[role]
        rebind = self.replaces_params and role in ("ext", "py", "self")

        def run(loops):
            if "tf" not in state:
                state["tf"] = self.prepare(role, modules)
            # Outside the timed region, each batch starts with an empty store and with no
            # garbage pending, so that the collections the batch triggers do not depend on
            # what ran before it.
            if self.uploads:
                clear_store()
            gc.collect()
            with rebound(mod, "_serialize_params", id) if rebind else nullcontext():
                return state["tf"](loops)

        return run


def set_params_paths():
    d = make_rows_data(1, seed=7)[0][0]

    def init(role, mod, sp):
        return floor_set_params_init(d) if role == "floor" else loop_call(mod.SetParamsResult, d)

    def serialize(role, mod, sp):
        if role == "floor":
            return floor_set_params_serialize(d, sp)
        return loop_serialize(mod.SetParamsResult(d))

    def serialize_limit(lim, ext, sp):
        obj = ext.SetParamsResult(d)
        return loop_call(lim.set_params, sp, obj), lim.set_params(sp, obj), obj._serialize()

    def get(role, mod, sp):
        if role == "floor":
            return floor_get(d, "geometry")
        return loop_get(mod.SetParamsResult(d), "geometry")

    return [
        Path("SetParamsResult(params)", init),
        Path("SetParamsResult._serialize()", serialize, kind="sibling", limit=serialize_limit),
        Path("SetParamsResult._serialize() [id]", serialize, limit=serialize_limit,
             replaces_params=True),
        Path("SetParamsResult.get(key)", get),
    ]


def element_paths():
    (p, a), = make_rows_data(1, seed=11)

    def init(role, mod, sp):
        if role == "floor":
            return floor_element_init(p, a)
        return loop_call(mod.OptimizationResultElement, p, a)

    def serialize(role, mod, sp):
        if role == "floor":
            return floor_element_serialize(p, a, HEADERS, sp)
        return loop_serialize_headers(mod.OptimizationResultElement(p, a), HEADERS)

    def serialize_limit(lim, ext, sp):
        obj = ext.OptimizationResultElement(p, a)
        return (loop_call(lim.element, sp, obj, HEADERS), lim.element(sp, obj, HEADERS),
                obj._serialize(HEADERS))

    return [
        Path("OptimizationResultElement(params, analysis)", init),
        Path("OptimizationResultElement._serialize(headers)", serialize, kind="sibling",
             limit=serialize_limit),
        Path(ELEMENT_ID, serialize, limit=serialize_limit, replaces_params=True),
    ]


ELEMENT_ID = "OptimizationResultElement._serialize(headers) [id]"


def rows_label(n):
    return f"{n:,} row" + ("s" if n > 1 else "")


def table_id(n):
    return f"OptimizationResult._serialize() {rows_label(n)} [id]"


def optimization_paths():
    paths = []
    for n in ROW_COUNTS:

        def init(role, mod, sp, n=n):
            rows_data = make_rows_data(n)
            image = make_svg()
            if role == "floor":
                return floor_optimization_init(rows_data, INPUT_COLUMNS, HEADERS, image)
            rows = [mod.OptimizationResultElement(p, a) for p, a in rows_data]
            return loop_call(mod.OptimizationResult, rows, INPUT_COLUMNS, HEADERS, image)

        def table(mod, n):
            rows = [mod.OptimizationResultElement(p, a) for p, a in make_rows_data(n)]
            return mod.OptimizationResult(rows, INPUT_COLUMNS, HEADERS, make_svg())

        def serialize(role, mod, sp, n=n):
            if role == "floor":
                return floor_optimization_serialize(make_rows_data(n), INPUT_COLUMNS, HEADERS,
                                                    make_svg(), sp)
            return loop_serialize(table(mod, n))

        def serialize_limit(lim, ext, sp, n=n):
            obj = table(ext, n)
            return loop_call(lim.table, sp, obj), lim.table(sp, obj), obj._serialize()

        paths.append(Path(f"OptimizationResult(...) {rows_label(n)}", init))
        paths.append(Path(f"OptimizationResult._serialize() {rows_label(n)}", serialize,
                          kind="sibling", limit=serialize_limit))
        paths.append(Path(table_id(n), serialize, limit=serialize_limit, replaces_params=True))
    return paths


def download_paths(quick):
    # The quick check zips fewer entries: zlib takes nearly all of the time there, and a
    # tenth of a second per value is plenty for a ratio near 1.
    zip_count = 20 if quick else 100

    def init(role, mod, sp):
        text = make_text(MB)
        if role == "floor":
            return floor_download_init(text, DOWNLOAD_NAME)
        return loop_call(mod.DownloadResult, file_content=text, file_name=DOWNLOAD_NAME)

    def text_download(size):
        def build(role, mod, sp):
            text = make_text(size)
            if role == "floor":
                return bare_text_upload(text, re.sub(SAFE_NAME_PATTERN, "_", DOWNLOAD_NAME))
            cls = mod.DownloadResult

            def tf(loops):
                t0 = clock()
                for _ in repeat(None, loops):
                    cls(file_content=text, file_name=DOWNLOAD_NAME)._serialize()
                return clock() - t0

            return tf

        return build

    def zip_download(role, mod, sp):
        entries = make_zip_entries(count=zip_count)
        if role == "floor":
            return bare_zip_upload(entries, re.sub(SAFE_NAME_PATTERN, "_", ZIP_NAME))
        cls = mod.DownloadResult

        def tf(loops):
            t0 = clock()
            for _ in repeat(None, loops):
                cls(zipped_files=entries, file_name=ZIP_NAME)._serialize()
            return clock() - t0

        return tf

    return [
        Path("DownloadResult(text, name)", init),
        Path("DownloadResult 1 MB text", text_download(MB), kind="download", uploads=True),
        Path("DownloadResult 100 MB text", text_download(100 * MB), kind="download",
             heavy=True, uploads=True),
        Path(f"DownloadResult zip {zip_count} x 100 KB", zip_download, kind="download",
             uploads=True),
    ]


def nembra_paths():
    rows_data = make_rows_data(100, seed=5)
    params = make_rows_data(1, seed=7)[0][0]
    small_text = make_text(10 * KB)

    def held(mod):
        rows = [mod.OptimizationResultElement(p, a) for p, a in rows_data]
        return (
            mod.OptimizationResult(rows, INPUT_COLUMNS, HEADERS, make_svg()),
            mod.SetParamsResult(params),
            mod.DownloadResult(file_content=small_text, file_name=DOWNLOAD_NAME),
        )

    def init(role, mod, sp):
        o, s, d = held(pyresult if role == "floor" else mod)
        if role == "floor":
            return floor_nembra_init(o, s, d)
        return loop_call(mod.NembraResult, optimization_result=o, set_params_result=s,
                         download_result=d)

    def serialize(role, mod, sp):
        o, s, d = held(mod)
        result = mod.NembraResult(optimization_result=o, set_params_result=s, download_result=d)
        return loop_serialize(result)

    outputs = (
        {"input_columns": [], "optimization": [], "output_headers": [], "views": {}},
        {"parameters": {}},
        {"url": "file:///tmp/x.csv"},
    )

    def serialize_held(role, mod, sp):
        o, s, d = (HeldResult(output) for output in outputs)
        if role == "floor":
            return floor_nembra_serialize([h._serialize for h in (o, s, d)])
        return loop_serialize(mod.NembraResult(optimization_result=o, set_params_result=s,
                                               download_result=d))

    return [
        Path("NembraResult(...)", init),
        Path("NembraResult._serialize() all three", serialize, kind="sibling", floor=False,
             uploads=True),
        Path("NembraResult._serialize() all three [id]", serialize, floor=False,
             replaces_params=True, uploads=True),
        Path("NembraResult._serialize() held stubs", serialize_held),
    ]


def all_paths(quick):
    paths = set_params_paths() + element_paths() + optimization_paths()
    paths += download_paths(quick) + nembra_paths()
    return [p for p in paths if not (quick and p.heavy)]


# --- running -----------------------------------------------------------------------------


def load_modules(name):
    try:
        ext = importlib.import_module(name)
    except ImportError as exc:
        ext, problem = None, exc
    else:
        # With src/ on the path and nothing built, nembra.result is the source directory.
        problem = None if hasattr(ext, "SetParamsResult") else f"{ext!r} is not the extension"
    if problem:
        sys.exit(f"cannot benchmark {name}: {problem}\n"
                 "build and install the package (pip install .), or try the script out "
                 "with --ext-module pyresult")
    return {"ext": ext, "py": pyresult, "self": load_twin(), "limit": limit.load(), "floor": None}


def key(path, role):
    return f"{path.label} | {role}"


class Results:
    """The values of every role of every path, in seconds per loop.

    A role's time is the median of its values. In-process, the values of a path's roles
    are taken in the same rounds, so a ratio is the median of the ratios within a round:
    a slow spell of the machine that catches one round moves that round's ratio at most.
    pyperf's values come from separate processes and are not paired: there a ratio is
    the ratio of the medians.
    """

    def __init__(self, paired):
        self.paired = paired
        self.values = {}

    def add(self, path, role, value):
        self.values.setdefault(key(path, role), []).append(value)

    def time(self, path, role):
        values = self.values.get(key(path, role))
        return statistics.median(values) if values else None

    def ratio(self, path, num, den):
        a, b = self.values.get(key(path, num)), self.values.get(key(path, den))
        if not a or not b:
            return None
        if self.paired:
            return statistics.median(x / y for x, y in zip(a, b))
        return statistics.median(a) / statistics.median(b)

    def rounds(self, path):
        return len(self.values.get(key(path, "ext"), ()))


def shared_loops(time_funcs, min_time):
    """One loop count for all the roles of a path: enough for its slowest role to take
    ``min_time``. Each role's time per loop is estimated from a short run."""
    slowest = 0.0
    for tf in time_funcs:
        loops, target = 1, min_time / 5
        while True:
            elapsed = tf(loops)
            if elapsed >= target or loops >= 1 << 26:
                break
            if elapsed <= 0:
                loops *= 10
            else:
                loops = max(loops * 2, math.ceil(loops * target / elapsed * 1.2))
        slowest = max(slowest, elapsed / loops)
    return max(1, math.ceil(min_time / slowest)) if slowest > 0 else 1 << 20


class Plan:
    """A path ready to be timed: its time functions, the loop count of all its roles and
    how often it is sampled (every ``stride``-th round)."""

    def __init__(self, path, modules, min_time):
        self.path = path
        self.funcs = {role: path.time_func(role, modules) for role in path.roles()}
        batch = min_time * path.batch_scale
        self.loops = 1 if path.heavy else shared_loops(self.funcs.values(), batch)
        # The warm-up, which also gives the cost of one round of this path.
        self.cost = sum(tf(self.loops) for tf in self.funcs.values())
        self.stride = 1
        self.taken = 0

    def order(self):
        """The order of the roles in the next round: rotated by one every other round,
        and reversed in every other round, so that over 2 x (number of roles) rounds each
        role runs in every position, and before and after each other role, equally often."""
        roles = list(self.funcs)
        turn = (self.taken // 2) % len(roles)
        roles = roles[turn:] + roles[:turn]
        return roles[::-1] if self.taken % 2 else roles


class Settings:
    def __init__(self, quick):
        # min_time: CPU time of the slowest role's batch; rounds: values per role;
        # path_budget: CPU seconds of timed batches per path, beyond which a slow path is
        # sampled in fewer rounds (at least min_rounds).
        if quick:
            self.min_time, self.rounds, self.min_rounds, self.path_budget = 0.004, 30, 15, 1.2
        else:
            self.min_time, self.rounds, self.min_rounds, self.path_budget = 0.02, 40, 10, 12.0


def progress(text):
    if sys.stderr.isatty():
        print(f"\r{text:<79}", end="", file=sys.stderr, flush=True)


def prepare(paths, modules, settings):
    plans = []
    for i, path in enumerate(paths, 1):
        progress(f"preparing {i} of {len(paths)}: {path.label}")
        plan = Plan(path, modules, settings.min_time)
        affordable = int(settings.path_budget / plan.cost)
        wanted = max(settings.min_rounds, min(settings.rounds, affordable))
        plan.stride = max(1, settings.rounds // wanted)
        plans.append(plan)
    return plans


def take_rounds(plans, rounds, results):
    """Time ``rounds`` rounds. A round takes one value of every role of every path (of a
    path with a stride, in every stride-th round), path after path, the roles of a path
    one after the other in an order that changes from round to round (``Plan.order``).
    The data of the benchmarks is frozen out of the garbage collector, so that a path
    does not pay for collecting the data of the others."""
    gc.collect()
    gc.freeze()
    try:
        for r in range(rounds):
            progress(f"round {r + 1} of {rounds}")
            for plan in plans:
                if r % plan.stride:
                    continue
                for role in plan.order():
                    results.add(plan.path, role, plan.funcs[role](plan.loops) / plan.loops)
                plan.taken += 1
    finally:
        gc.unfreeze()
        progress("")


def quick_failures(paths, results):
    """The paths that fail the quick check: the self-check off by more than the
    tolerance, or the extension slower than the rendition by more than it."""
    failures = []
    for path in paths:
        self_check = results.ratio(path, "self", "py")
        speedup = results.ratio(path, "py", "ext")
        if abs(self_check - 1) > SELF_TOLERANCE:
            failures.append(
                (path, f"self-check self/py {self_check:.3f} outside 1 +- {SELF_TOLERANCE}"))
        if speedup < 1 - SELF_TOLERANCE:
            failures.append(
                (path, f"extension slower: py/ext {speedup:.3f} < {1 - SELF_TOLERANCE}"))
    return failures


def run_in_process(args, paths, modules):
    settings = Settings(args.quick)
    if args.rounds:
        settings.rounds = args.rounds
        settings.min_rounds = min(settings.min_rounds, args.rounds)
    plans = prepare(paths, modules, settings)
    results = Results(paired=True)
    take_rounds(plans, settings.rounds, results)
    if args.quick:
        # A failing path is timed again, with the new values pooled with the first ones:
        # a real difference survives more values, a slow spell that caught a few does not.
        for _ in range(2):
            failing = {path.label for path, _ in quick_failures(paths, results)}
            if not failing:
                break
            print(f"timing again: {', '.join(sorted(failing))}", flush=True)
            take_rounds([plan for plan in plans if plan.path.label in failing],
                        settings.rounds, results)
    return results, settings


def run_pyperf(args, paths, modules):
    runner = args.runner
    worker = runner.args.worker
    results = Results(paired=False)
    for path in paths:
        saved = (runner.args.processes, runner.args.values, runner.args.loops)
        if path.heavy:
            # A 100 MB case takes a tenth of a second per loop: a few values are enough.
            runner.args.processes = min(runner.args.processes, 3)
            runner.args.values = min(runner.args.values, 2)
            runner.args.loops = 1
        elif not worker and not runner.args.loops:
            # One loop count for all roles, calibrated here on the slowest and handed to
            # the workers with --loops (a worker gets it on its command line).
            funcs = [path.time_func(role, modules) for role in path.roles()]
            runner.args.loops = shared_loops(funcs, runner.args.min_time)
        try:
            for role in path.roles():
                bench = runner.bench_time_func(key(path, role), path.time_func(role, modules))
                if bench is not None and not worker:
                    for value in bench.get_values():
                        results.add(path, role, value)
        finally:
            runner.args.processes, runner.args.values, runner.args.loops = saved
    return None if worker else results


# --- memory ------------------------------------------------------------------------------


def vm_status(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * KB
    return None


def reset_peak_rss():
    try:
        with open("/proc/self/clear_refs", "w") as refs:
            refs.write("5")
        return True
    except OSError:
        return False


def memory_probe(role, ext_module):
    """Trace one serialisation of a 100 MB text; print the figures as JSON."""
    import tracemalloc

    modules = load_modules(ext_module)
    tracemalloc.start()
    text = make_text(100 * MB)
    content = tracemalloc.get_traced_memory()[0]
    if role == "floor":
        safe_name = re.sub(SAFE_NAME_PATTERN, "_", DOWNLOAD_NAME)

        def work():
            API()._upload_temporary_file(BytesIO(text.encode("utf-8")), safe_name)
    else:
        result = modules[role].DownloadResult(file_content=text, file_name=DOWNLOAD_NAME)
        work = result._serialize
    gc.collect()
    tracemalloc.reset_peak()
    before = tracemalloc.get_traced_memory()[0]
    rss_reset = reset_peak_rss()
    rss_before = vm_status("VmRSS")
    work()
    peak = tracemalloc.get_traced_memory()[1]
    rss_peak = vm_status("VmHWM")
    tracemalloc.stop()
    clear_store()
    print(json.dumps({
        "content": content,
        "encoded": len(text.encode("utf-8")),
        "before": before,
        "peak": peak,
        "rss_growth": (rss_peak - rss_before) if rss_reset else None,
    }))


def measure_memory(ext_module):
    figures = {}
    for role in ("ext", "py", "floor"):
        out = subprocess.run(
            [sys.executable, os.path.abspath(__file__), "--memory-probe", role,
             "--ext-module", ext_module],
            check=True, capture_output=True, text=True,
        ).stdout
        figures[role] = json.loads(out.strip().splitlines()[-1])
    return figures


# --- report ------------------------------------------------------------------------------


def fmt_time(seconds):
    if seconds is None:
        return "-"
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def fmt_ratio(value):
    return "-" if value is None else f"{value:.2f}"


def fmt_bytes(n):
    return f"{n / MB:.1f} MiB"


def describe_run(args, modules, results, paths):
    ext = modules["ext"]
    lines = [
        f"interpreter: {platform.python_implementation()} {platform.python_version()} "
        f"({sys.executable})",
        f"extension:   {ext.__name__} from {getattr(ext, '__file__', '?')}",
        f"limit:       {modules['limit'].__file__}",
    ]
    if args.pyperf:
        how = "pyperf worker processes, the median of each role's values"
    else:
        counts = sorted({results.rounds(path) for path in paths})
        spread = f"{counts[0]}" if len(counts) == 1 else f"{counts[0]} to {counts[-1]}"
        how = (f"in-process, {spread} rounds per path, roles in rotated order, "
               "one loop count per path")
    lines.append(f"timing:      thread CPU time; {how}; {monotonic() - STARTED:.0f} s so far")
    if hasattr(os, "getloadavg"):
        lines.append(f"machine:     {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f} "
                     "at the end of the run")
    return lines


def report(paths, results, memory, quick, header):
    print()
    for line in header:
        print(line)
    print()
    head = (f"{'path':<52} {'ext':>9} {'py':>9} {'limit':>9} {'floor':>9} "
            f"{'self/py':>7} {'py/ext':>6} {'ext/limit':>9} {'ext/floor':>9}")
    print(head)
    print("-" * len(head))
    for path in paths:
        print(f"{path.label:<52} {fmt_time(results.time(path, 'ext')):>9} "
              f"{fmt_time(results.time(path, 'py')):>9} {fmt_time(results.time(path, 'limit')):>9} "
              f"{fmt_time(results.time(path, 'floor')):>9} "
              f"{fmt_ratio(results.ratio(path, 'self', 'py')):>7} "
              f"{fmt_ratio(results.ratio(path, 'py', 'ext')):>6} "
              f"{fmt_ratio(results.ratio(path, 'ext', 'limit')):>9} "
              f"{fmt_ratio(results.ratio(path, 'ext', 'floor')):>9}")
    how = ("the median of the ratios within a round" if results.paired else
           "the ratio of the medians (pyperf: values from separate processes)")
    print(f"Times: the median of each role's values, thread CPU time per call.\nRatios: {how}.\n"
          "self = a second copy of the rendition (the self-check: 1.00 when the harness is fair).\n"
          "limit = the fewest C-API calls that build the same output.\n"
          "floor = the tightest Python building the same objects; for a download, the bare\n"
          "zipfile/BytesIO work and the upload. [id] = _serialize_params rebound to id.")

    by_label = {path.label: path for path in paths}

    def listed(failing):
        return "; ".join(f"{label} {value:.3f}" for label, value in failing)

    print("\nTargets (for information)")
    for label, bound in ((table_id(100), EXT_OVER_LIMIT), (table_id(10_000), EXT_OVER_LIMIT),
                         (ELEMENT_ID, EXT_OVER_LIMIT)):
        if label in by_label:
            value = results.ratio(by_label[label], "ext", "limit")
            print(f"  ext/limit <= {bound}: {label}: {value:.2f}, "
                  f"{'met' if value <= bound else 'not met'}")
    for label in (table_id(100), ELEMENT_ID):
        if label in by_label:
            value = results.ratio(by_label[label], "py", "ext")
            print(f"  py/ext >= {PY_OVER_EXT_FAST}: {label}: {value:.2f}, "
                  f"{'met' if value >= PY_OVER_EXT_FAST else 'not met'}")
    slower = [(p.label, results.ratio(p, "py", "ext")) for p in paths
              if results.ratio(p, "py", "ext") < PY_OVER_EXT]
    print(f"  py/ext >= {PY_OVER_EXT} on every path: "
          + (f"met on all {len(paths)}" if not slower else f"not met on {listed(slower)}"))
    off = [(p.label, results.ratio(p, "self", "py")) for p in paths
           if abs(results.ratio(p, "self", "py") - 1) > SELF_TOLERANCE]
    print(f"  self/py within 1 +- {SELF_TOLERANCE} on every path: "
          + (f"met on all {len(paths)}" if not off else f"not met on {listed(off)}"))
    heavy = [(p.label, results.ratio(p, "ext", "floor")) for p in paths if p.kind == "download"]
    over = [(label, value) for label, value in heavy if value > DOWNLOAD_OVER_BARE]
    if heavy:
        print(f"  downloads within {DOWNLOAD_OVER_BARE} x their bare work: "
              + (f"met on all {len(heavy)}" if not over else f"not met on {listed(over)}"))
    if memory:
        report_memory(memory)

    if not quick:
        return 0
    failures = quick_failures(paths, results)
    print(f"\nQuick check (sets the exit status): self/py within 1 +- {SELF_TOLERANCE} and "
          f"py/ext >= {1 - SELF_TOLERANCE} on every path")
    for path, text in failures:
        print(f"  FAILED  {path.label}: {text}")
    if not failures:
        print(f"  ok on all {len(paths)} paths")
    return 1 if failures else 0


def report_memory(memory):
    ext = memory["ext"]
    base = ext["content"] + ext["encoded"]
    ok = ext["peak"] <= base + MEMORY_SLACK
    print(f"  memory, 100 MB text: extension's traced peak {fmt_bytes(ext['peak'])} <= content "
          f"{fmt_bytes(ext['content'])} + encoded {fmt_bytes(ext['encoded'])} + "
          f"{fmt_bytes(MEMORY_SLACK)}: {'met' if ok else 'not met'}")
    if ext["rss_growth"] is not None:
        ok = ext["rss_growth"] <= ext["encoded"] + MEMORY_SLACK
        print(f"  memory, 100 MB text: extension's resident-set growth "
              f"{fmt_bytes(ext['rss_growth'])} <= encoded {fmt_bytes(ext['encoded'])} + "
              f"{fmt_bytes(MEMORY_SLACK)} (sees allocations tracemalloc does not): "
              f"{'met' if ok else 'not met'}")
    for role, name in (("ext", "extension"), ("py", "rendition"), ("floor", "bare work")):
        m = memory[role]
        rss = fmt_bytes(m["rss_growth"]) if m["rss_growth"] is not None else "n/a"
        print(f"        {name:<10} traced peak {fmt_bytes(m['peak'])}, "
              f"{(m['peak'] - m['content'] - m['encoded']) / KB:+.0f} KiB over content + "
              f"encoded; resident-set growth {rss}")


# --- command line ------------------------------------------------------------------------


def add_own_options(parser):
    parser.add_argument("--quick", action="store_true",
                        help="CI mode: in-process, no 100 MB cases, no memory probe; exit 1 "
                             "when the self-check fails or the extension is slower than the "
                             "rendition")
    parser.add_argument("--pyperf", action="store_true",
                        help="time each role in pyperf worker processes (pyperf options "
                             "follow)")
    parser.add_argument("--rounds", type=int, default=0,
                        help="rounds of in-process timing (default: 30 quick, 40 full)")
    parser.add_argument("--ext-module", default="nembra.result",
                        help="module to benchmark as the extension (default: nembra.result)")
    parser.add_argument("--no-memory", action="store_true",
                        help="skip the memory measurement")
    parser.add_argument("--memory-probe", choices=("ext", "py", "floor"), help=argparse.SUPPRESS)
    # In-process timing, once an option and now the default; still accepted.
    parser.add_argument("--no-pyperf", action="store_true", help=argparse.SUPPRESS)


def forward_own_options(cmd, args):
    cmd.extend(("--pyperf", "--ext-module", args.ext_module))


def main():
    own = argparse.ArgumentParser(add_help=False)
    add_own_options(own)
    args, rest = own.parse_known_args()

    if args.memory_probe:
        memory_probe(args.memory_probe, args.ext_module)
        return 0

    paths = all_paths(args.quick)
    if args.pyperf:
        if args.quick:
            own.error("--quick times in this process; it does not go with --pyperf")
        import pyperf

        runner = pyperf.Runner(add_cmdline_args=forward_own_options)
        add_own_options(runner.argparser)
        runner.metadata["nembra_ext_module"] = args.ext_module
        runner.parse_args()
        args.runner = runner
        modules = load_modules(args.ext_module)
        results = run_pyperf(args, paths, modules)
        if results is None:  # a worker: its values went back through the pipe
            return 0
    else:
        if rest:
            own.error(f"unrecognised arguments (pyperf options need --pyperf): {' '.join(rest)}")
        modules = load_modules(args.ext_module)
        results, _ = run_in_process(args, paths, modules)

    header = describe_run(args, modules, results, paths)
    memory = None
    if not args.quick and not args.no_memory:
        memory = measure_memory(args.ext_module)
    return report(paths, results, memory, args.quick, header)


if __name__ == "__main__":
    sys.exit(main())
