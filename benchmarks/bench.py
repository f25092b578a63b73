#!/usr/bin/env python3
"""Speed and memory of nembra.result, side by side with its plain-Python rendition.

Usage::

    python benchmarks/bench.py [pyperf options] [--quick] [--no-pyperf] [--ext-module NAME]

Every path is timed for the native module (``ext``), for the rendition in
``benchmarks/pyresult.py`` (``py``) and, where one applies, for a floor: the interpreter
work that any implementation has to do on that path (see ``benchmarks/README.md``). The
table at the end gives the best value of each, the ratio rendition/extension and the targets with
PASS or MISS. Every figure is measured in the run that prints it.

``--quick`` is the CI mode: no 100 MB cases, no memory probe, a few interleaved rounds
timed in this process, and an exit status that is non-zero only when the extension is
slower than the rendition on some path. ``--no-pyperf`` gives the full run the same
in-process timing (a plain ``perf_counter`` loop instead of pyperf workers); neither
needs pyperf installed. ``--ext-module pyresult`` benchmarks the rendition
against itself, for trying the script out before the extension is built.
"""

import argparse
import atexit
import gc
import importlib
import json
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile
from contextlib import contextmanager
from io import BytesIO
from itertools import repeat
from time import perf_counter

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

# Uploads land in a store of this process's own, emptied after every timed batch and
# removed at exit. pyperf workers do not inherit the environment, so each process makes
# its own store.
# A memory-backed file system, where there is one, keeps disk latency out of the upload
# timings.
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

# Targets.
FAST_PATHS_RATIO = 3.0  # OptimizationResult._serialize at 10,000 rows, element rows
OTHER_PATHS_RATIO = 1.3
PER_ROW_GROWTH = 1.5  # per-row cost at 10,000 rows over per-row cost at 100 rows
DOWNLOAD_OVER_BARE = 1.10
MEMORY_SLACK = 4 * MB  # the store copies in 1 MiB chunks, two of which can be alive at once

# Quick mode fails only when the extension is slower than the rendition. Timing the
# rendition against itself on the 2-core CI machine gives ratios within about 5% of 1,
# so a ratio down to 0.95 counts as "not slower". On paths below a microsecond, or whose
# time is mostly spent outside the module (uploads, zlib, re.sub, the sibling's
# _serialize_params), runs of unchanged code have measured as low as 0.84, and the bound
# is 0.85. A path that looks slower is timed again before it counts.
NOT_SLOWER = 0.95
NOT_SLOWER_NOISY = 0.85
NOISY_BELOW = 1e-6


def clear_store():
    shutil.rmtree(STORE, ignore_errors=True)


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
# Each returns a time function taking the loop count, as pyperf's bench_time_func wants.
# The operation is written out in the loop body, so every role pays the same loop cost.


def loop_call(f, *args, **kwargs):
    if kwargs:

        def time_kw(loops):
            t0 = perf_counter()
            for _ in repeat(None, loops):
                f(*args, **kwargs)
            return perf_counter() - t0

        return time_kw
    if len(args) == 1:
        (a,) = args

        def time_1(loops):
            t0 = perf_counter()
            for _ in repeat(None, loops):
                f(a)
            return perf_counter() - t0

        return time_1
    if len(args) == 2:
        a, b = args

        def time_2(loops):
            t0 = perf_counter()
            for _ in repeat(None, loops):
                f(a, b)
            return perf_counter() - t0

        return time_2
    if len(args) == 4:
        a, b, c, d = args

        def time_4(loops):
            t0 = perf_counter()
            for _ in repeat(None, loops):
                f(a, b, c, d)
            return perf_counter() - t0

        return time_4
    raise ValueError(f"no loop for {len(args)} arguments")


def loop_serialize(obj):
    def time_serialize(loops):
        t0 = perf_counter()
        for _ in repeat(None, loops):
            obj._serialize()
        return perf_counter() - t0

    return time_serialize


def loop_serialize_headers(obj, headers):
    def time_serialize(loops):
        t0 = perf_counter()
        for _ in repeat(None, loops):
            obj._serialize(headers)
        return perf_counter() - t0

    return time_serialize


def loop_get(obj, key):
    def time_get(loops):
        t0 = perf_counter()
        for _ in repeat(None, loops):
            obj.get(key)
        return perf_counter() - t0

    return time_get


def emptying_store(time_func):
    """Empty the upload store after each batch, outside the timed region."""

    def time_and_clear(loops):
        try:
            return time_func(loops)
        finally:
            clear_store()

    return time_and_clear


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
        t0 = perf_counter()
        for _ in repeat(None, loops):
            o = PlainResult()
            o._data = d
        return perf_counter() - t0

    return time_floor


def floor_set_params_serialize(d, sp):
    def time_floor(loops):
        t0 = perf_counter()
        for _ in repeat(None, loops):
            {"parameters": sp(d)}
        return perf_counter() - t0

    return time_floor


def floor_get(d, key):
    def time_floor(loops):
        t0 = perf_counter()
        for _ in repeat(None, loops):
            d[key]
        return perf_counter() - t0

    return time_floor


def floor_element_init(p, a):
    def time_floor(loops):
        t0 = perf_counter()
        for _ in repeat(None, loops):
            o = PlainElement()
            o._parameter_set = p
            o._analysis_result = a if a else {}
        return perf_counter() - t0

    return time_floor


def floor_element_serialize(p, a, headers, sp):
    def time_floor(loops):
        t0 = perf_counter()
        for _ in repeat(None, loops):
            {
                "design": sp(p),
                "analysis": a,
                "output_display_data": [str(a.get(k, "")) for k in headers],
            }
        return perf_counter() - t0

    return time_floor


def floor_optimization_init(rows, columns, headers, image):
    def time_floor(loops):
        t0 = perf_counter()
        for _ in repeat(None, loops):
            o = PlainResult()
            o.result_column_names_input = columns if columns else []
            o.result_column_names_result = []
            o._output_headers = headers if headers else {}
            o._OptimizationResult__results = rows
            o._view_results = [image] if image else []
        return perf_counter() - t0

    return time_floor


def floor_optimization_serialize(rows_data, columns, headers, image, sp):
    def time_floor(loops):
        t0 = perf_counter()
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
        return perf_counter() - t0

    return time_floor


def floor_download_init(text, name):
    sub = re.sub

    def time_floor(loops):
        t0 = perf_counter()
        for _ in repeat(None, loops):
            o = PlainResult()
            o._file_content = text
            o._file_name = sub(SAFE_NAME_PATTERN, "_", name)
            o._encoding = "utf-8"
            o._zipped_files = None
        return perf_counter() - t0

    return time_floor


def bare_text_upload(text, safe_name):
    def time_bare(loops):
        t0 = perf_counter()
        for _ in repeat(None, loops):
            API()._upload_temporary_file(BytesIO(text.encode("utf-8")), safe_name)
        return perf_counter() - t0

    return time_bare


def bare_zip_upload(entries, safe_name):
    def time_bare(loops):
        t0 = perf_counter()
        for _ in repeat(None, loops):
            file = File()
            with zipfile.ZipFile(file.source, "w", zipfile.ZIP_DEFLATED) as z:
                for entry_name, entry in entries.items():
                    z.writestr(entry_name, entry.getvalue())
            with file.open_binary() as stream:
                API()._upload_temporary_file(stream, safe_name)
        return perf_counter() - t0

    return time_bare


def floor_nembra_init(o, s, d):
    def time_floor(loops):
        t0 = perf_counter()
        for _ in repeat(None, loops):
            r = PlainResult()
            r._optimization_result = o if o else None
            r._set_params_result = s if s else None
            r._download_result = d
        return perf_counter() - t0

    return time_floor


def floor_nembra_serialize(serializers):
    first, second, third = serializers

    def time_floor(loops):
        t0 = perf_counter()
        for _ in repeat(None, loops):
            serialisation = {}
            serialisation.update(first())
            serialisation.update(second())
            serialisation.update(third())
        return perf_counter() - t0

    return time_floor


class HeldResult:
    """A held result whose _serialize is a builtin returning a new dict each call."""

    def __init__(self, output):
        self._serialize = output.copy


# --- the paths ---------------------------------------------------------------------------


class Path:
    """One row of the table: a path of the module, timed per role.

    ``build(role, mod, sp)`` returns the time function of ``role`` ("ext", "py" or
    "floor") for the module ``mod``; ``sp`` is the ``_serialize_params`` that a floor
    uses. ``kind`` is "small" (target: ratio), "download" (target: near the bare work)
    or "sibling" (time spent in _serialize_params; no ratio target). ``noisy`` marks a
    path whose time goes mostly to re.sub or uploads, for the quick check's tolerance.
    """

    def __init__(self, label, build, kind="small", heavy=False, fast_target=False, noisy=False,
                 floor=True, replaces_params=False):
        self.label = label
        self.build = build
        self.kind = kind
        self.heavy = heavy
        self.fast_target = fast_target
        self.noisy = noisy
        self.floor = floor
        self.replaces_params = replaces_params

    def roles(self):
        return ("ext", "py", "floor") if self.floor else ("ext", "py")

    def time_func(self, role, modules):
        """A lazily built time function, so a worker only builds the data it times."""
        state = {}
        mod = modules.get(role)

        def run(loops):
            if "tf" not in state:
                state["tf"] = self.build(role, mod, id if self.replaces_params else _serialize_params)
            if self.replaces_params and mod is not None:
                with rebound(mod, "_serialize_params", id):
                    return state["tf"](loops)
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

    def get(role, mod, sp):
        if role == "floor":
            return floor_get(d, "geometry")
        return loop_get(mod.SetParamsResult(d), "geometry")

    return [
        Path("SetParamsResult(params)", init),
        Path("SetParamsResult._serialize()", serialize, kind="sibling"),
        Path("SetParamsResult._serialize() [id]", serialize, replaces_params=True),
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

    return [
        Path("OptimizationResultElement(params, analysis)", init),
        Path("OptimizationResultElement._serialize(headers)", serialize, kind="sibling"),
        Path("OptimizationResultElement._serialize(headers) [id]", serialize,
             replaces_params=True, fast_target=True),
    ]


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

        def serialize(role, mod, sp, n=n):
            rows_data = make_rows_data(n)
            image = make_svg()
            if role == "floor":
                return floor_optimization_serialize(rows_data, INPUT_COLUMNS, HEADERS, image, sp)
            rows = [mod.OptimizationResultElement(p, a) for p, a in rows_data]
            return loop_serialize(mod.OptimizationResult(rows, INPUT_COLUMNS, HEADERS, image))

        rows = f"{n:,} row" + ("s" if n > 1 else "")
        paths.append(Path(f"OptimizationResult(...) {rows}", init))
        paths.append(Path(f"OptimizationResult._serialize() {rows}", serialize, kind="sibling"))
        paths.append(Path(f"OptimizationResult._serialize() {rows} [id]", serialize,
                          replaces_params=True, fast_target=(n == ROW_COUNTS[-1])))
    return paths


def download_paths():
    def init(role, mod, sp):
        text = make_text(MB)
        if role == "floor":
            return floor_download_init(text, DOWNLOAD_NAME)
        return loop_call(mod.DownloadResult, file_content=text, file_name=DOWNLOAD_NAME)

    def text_download(size):
        def build(role, mod, sp):
            text = make_text(size)
            if role == "floor":
                tf = bare_text_upload(text, re.sub(SAFE_NAME_PATTERN, "_", DOWNLOAD_NAME))
            else:
                cls = mod.DownloadResult

                def tf(loops):
                    t0 = perf_counter()
                    for _ in repeat(None, loops):
                        cls(file_content=text, file_name=DOWNLOAD_NAME)._serialize()
                    return perf_counter() - t0

            return emptying_store(tf)

        return build

    def zip_download(role, mod, sp):
        entries = make_zip_entries()
        if role == "floor":
            tf = bare_zip_upload(entries, re.sub(SAFE_NAME_PATTERN, "_", ZIP_NAME))
        else:
            cls = mod.DownloadResult

            def tf(loops):
                t0 = perf_counter()
                for _ in repeat(None, loops):
                    cls(zipped_files=entries, file_name=ZIP_NAME)._serialize()
                return perf_counter() - t0

        return emptying_store(tf)

    return [
        Path("DownloadResult(text, name)", init, noisy=True),
        Path("DownloadResult 1 MB text", text_download(MB), kind="download"),
        Path("DownloadResult 100 MB text", text_download(100 * MB), kind="download",
             heavy=True),
        Path("DownloadResult zip 100 x 100 KB", zip_download, kind="download"),
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
        return emptying_store(loop_serialize(result))

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
        Path("NembraResult._serialize() all three", serialize, kind="sibling", floor=False),
        Path("NembraResult._serialize() all three [id]", serialize, floor=False,
             replaces_params=True, noisy=True),
        Path("NembraResult._serialize() held stubs", serialize_held),
    ]


def all_paths(quick):
    paths = set_params_paths() + element_paths() + optimization_paths()
    paths += download_paths() + nembra_paths()
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
    return {"ext": ext, "py": pyresult, "floor": None}


def key(path, role):
    return f"{path.label} | {role}"


def run_pyperf(args, paths, modules):
    runner = args.runner
    results = {}
    for path in paths:
        saved = (runner.args.processes, runner.args.values, runner.args.loops)
        if path.heavy:
            # A 100 MB case takes a tenth of a second per loop: a few loops are enough.
            runner.args.processes = min(runner.args.processes, 3)
            runner.args.values = min(runner.args.values, 2)
            runner.args.loops = 1
        try:
            for role in path.roles():
                bench = runner.bench_time_func(key(path, role), path.time_func(role, modules))
                if bench is not None and not runner.args.worker:
                    results[key(path, role)] = min(bench.get_values())
        finally:
            runner.args.processes, runner.args.values, runner.args.loops = saved
    return None if runner.args.worker else results


def calibrate(time_func, min_time):
    loops = 1
    while True:
        elapsed = time_func(loops)
        if elapsed >= min_time or loops >= 1 << 26:
            return loops
        if elapsed <= 0:
            loops *= 10
        else:
            loops = max(loops * 2, math.ceil(loops * min_time / elapsed * 1.1))


def run_in_process(args, paths, modules):
    """Time every role of every path in rounds spread over the whole run; keep the best.

    This machine has slow spells that last up to a second. Each round takes one value of
    every role, so the values of a role are spread over the whole run, interleaved with
    all the others, and every role gets to run in the fast stretches; its best value is
    its time when nothing got in the way. The data of the benchmarks is built before the
    rounds and frozen out of the garbage collector, so that a path does not pay for
    collecting the data of the others.
    """
    min_time = 0.005 if args.quick else 0.02
    rounds = 15 if args.quick else 40
    role_budget = 1.0 if args.quick else 6.0  # seconds of timed values per role, at most
    timed = []
    for path in paths:
        print(f"preparing {path.label}", flush=True)
        for role in path.roles():
            tf = path.time_func(role, modules)
            loops = 1 if path.heavy else calibrate(tf, min_time)
            value = tf(loops)  # the warm-up
            samples = max(3, min(rounds, int(role_budget / max(value, 1e-9))))
            timed.append((key(path, role), tf, loops, max(1, rounds // samples), samples))
    gc.collect()
    gc.freeze()
    best, taken = {}, {}
    try:
        for r in range(rounds):
            print(f"round {r + 1} of {rounds}", flush=True)
            for k, tf, loops, stride, samples in timed:
                if r % stride or taken.get(k, 0) >= samples:
                    continue
                taken[k] = taken.get(k, 0) + 1
                best[k] = min(best.get(k, math.inf), tf(loops) / loops)
    finally:
        gc.unfreeze()
    return best


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


def fmt_bytes(n):
    return f"{n / MB:.1f} MiB"


def not_slower_bound(path, results):
    ext, py = results[key(path, "ext")], results[key(path, "py")]
    noisy = path.noisy or path.kind != "small" or min(ext, py) < NOISY_BELOW
    return NOT_SLOWER_NOISY if noisy else NOT_SLOWER


def looks_slower(paths, results):
    """The paths on which the extension measured slower than the rendition."""
    return [
        path for path in paths
        if results[key(path, "py")] / results[key(path, "ext")] < not_slower_bound(path, results)
    ]


def confirm_slower(args, paths, modules, results, attempts=2):
    """Time again the paths that look slower, keeping each role's best value.

    A slow spell of the machine can catch one role of a path in every round of a short
    run; a real difference survives being measured again.
    """
    for _ in range(attempts):
        suspects = looks_slower(paths, results)
        if not suspects:
            return
        print(f"timing again: {', '.join(path.label for path in suspects)}", flush=True)
        for k, value in run_in_process(args, suspects, modules).items():
            results[k] = min(results.get(k, math.inf), value)


def report(paths, results, memory, quick):
    rows = [
        (path, results.get(key(path, "ext")), results.get(key(path, "py")),
         results.get(key(path, "floor")))
        for path in paths
    ]

    print()
    head = (f"{'path':<55} {'extension':>10} {'rendition':>10} {'ratio':>6} "
            f"{'floor':>10} {'ext/floor':>9}")
    print(head)
    print("-" * len(head))
    for path, ext, py, floor in rows:
        ratio = f"{py / ext:.2f}" if ext and py else "-"
        over = f"{ext / floor:.2f}" if ext and floor else "-"
        print(f"{path.label:<55} {fmt_time(ext):>10} {fmt_time(py):>10} {ratio:>6} "
              f"{fmt_time(floor):>10} {over:>9}")
    print("Each time is the best of the values measured for it. ratio = rendition / extension.\n"
          "floor = the interpreter work any implementation does on the path; for a download,\n"
          "the bare zipfile/BytesIO work and the upload. [id] = _serialize_params rebound to id.")

    print("\nTargets")
    checks = []

    def check(ok, text):
        checks.append(ok)
        print(f"  {'PASS' if ok else 'MISS'}  {text}")

    by_label = {path.label: (ext, floor) for path, ext, py, floor in rows}
    for path, ext, py, floor in rows:
        if path.kind == "small":
            target = FAST_PATHS_RATIO if path.fast_target else OTHER_PATHS_RATIO
            check(py / ext >= target, f"{path.label}: ratio {py / ext:.2f} >= {target}")
        elif path.kind == "download":
            check(ext <= DOWNLOAD_OVER_BARE * floor,
                  f"{path.label}: extension at {ext / floor:.3f} x the bare work "
                  f"<= {DOWNLOAD_OVER_BARE}")
    for suffix in ("", " [id]"):
        small = by_label.get(f"OptimizationResult._serialize() 100 rows{suffix}")
        large = by_label.get(f"OptimizationResult._serialize() 10,000 rows{suffix}")
        if small and large:
            growth = (large[0] / 10_000) / (small[0] / 100)
            floor_growth = (large[1] / 10_000) / (small[1] / 100)
            check(growth <= PER_ROW_GROWTH,
                  f"OptimizationResult._serialize(){suffix}: per-row cost at 10,000 rows "
                  f"{fmt_time(large[0] / 10_000)} = {growth:.2f} x the {fmt_time(small[0] / 100)} "
                  f"at 100 rows <= {PER_ROW_GROWTH} (floor: {floor_growth:.2f} x)")
    if memory:
        ext = memory["ext"]
        base = ext["content"] + ext["encoded"]
        check(ext["peak"] <= base + MEMORY_SLACK,
              f"memory, 100 MB text: extension's traced peak {fmt_bytes(ext['peak'])} <= content "
              f"{fmt_bytes(ext['content'])} + encoded {fmt_bytes(ext['encoded'])} + "
              f"{fmt_bytes(MEMORY_SLACK)}")
        if ext["rss_growth"] is not None:
            check(ext["rss_growth"] <= ext["encoded"] + MEMORY_SLACK,
                  f"memory, 100 MB text: extension's resident-set growth "
                  f"{fmt_bytes(ext['rss_growth'])} <= encoded {fmt_bytes(ext['encoded'])} + "
                  f"{fmt_bytes(MEMORY_SLACK)} (sees allocations tracemalloc does not)")
        for role, name in (("ext", "extension"), ("py", "rendition"), ("floor", "bare work")):
            m = memory[role]
            rss = fmt_bytes(m["rss_growth"]) if m["rss_growth"] is not None else "n/a"
            print(f"        {name:<10} traced peak {fmt_bytes(m['peak'])}, "
                  f"{(m['peak'] - m['content'] - m['encoded']) / KB:+.0f} KiB over content + "
                  f"encoded; resident-set growth {rss}")
    print(f"\n{checks.count(True)} of {len(checks)} targets met")

    if not quick:
        return 0
    print(f"\nQuick check: the extension is not slower than the rendition: ratio >= {NOT_SLOWER},\n"
          f"or >= {NOT_SLOWER_NOISY} on paths under a microsecond or bound by uploads, zlib, "
          "re.sub or _serialize_params\n(run-to-run noise there exceeds the difference)")
    slower = [
        f"{path.label}: ratio {results[key(path, 'py')] / results[key(path, 'ext')]:.2f} "
        f"< {not_slower_bound(path, results)}"
        for path in looks_slower(paths, results)
    ]
    for line in slower:
        print(f"  SLOWER  {line}")
    if not slower:
        print(f"  ok: not slower on any of the {len(rows)} paths")
    return 1 if slower else 0


# --- command line ------------------------------------------------------------------------


def add_own_options(parser):
    parser.add_argument("--quick", action="store_true",
                        help="CI mode: in-process timing, few rounds, no 100 MB cases; "
                             "exit 1 only when the extension is slower than the rendition")
    parser.add_argument("--no-pyperf", action="store_true",
                        help="time in this process with perf_counter loops, without pyperf")
    parser.add_argument("--ext-module", default="nembra.result",
                        help="module to benchmark as the extension (default: nembra.result)")
    parser.add_argument("--no-memory", action="store_true",
                        help="skip the memory measurement")
    parser.add_argument("--memory-probe", choices=("ext", "py", "floor"), help=argparse.SUPPRESS)


def forward_own_options(cmd, args):
    cmd.extend(("--ext-module", args.ext_module))


def main():
    own = argparse.ArgumentParser(add_help=False)
    add_own_options(own)
    args, rest = own.parse_known_args()

    if args.memory_probe:
        memory_probe(args.memory_probe, args.ext_module)
        return 0

    if args.quick or args.no_pyperf:
        # With a handful of values, pyperf's one process per benchmark is both slower and
        # noisier here than interleaved rounds in one process.
        args.no_pyperf = True
        if rest:
            own.error(f"unrecognised arguments without pyperf: {' '.join(rest)}")
        modules = load_modules(args.ext_module)
        paths = all_paths(args.quick)
        results = run_in_process(args, paths, modules)
        if args.quick:
            confirm_slower(args, paths, modules, results)
    else:
        import pyperf

        runner = pyperf.Runner(add_cmdline_args=forward_own_options)
        add_own_options(runner.argparser)
        runner.metadata["nembra_ext_module"] = args.ext_module
        runner.parse_args()
        args.runner = runner
        modules = load_modules(args.ext_module)
        paths = all_paths(args.quick)
        results = run_pyperf(args, paths, modules)
        if results is None:  # a worker: its value went back through the pipe
            return 0

    ext = modules["ext"]
    print(f"\nextension: {ext.__name__} from {getattr(ext, '__file__', '?')}")
    print(f"python {sys.version.split()[0]}, "
          f"{'in-process timing' if args.no_pyperf else 'pyperf'}"
          f"{', quick' if args.quick else ''}")
    memory = None
    if not args.quick and not args.no_memory:
        memory = measure_memory(args.ext_module)
    return report(paths, results, memory, args.quick)


if __name__ == "__main__":
    sys.exit(main())
