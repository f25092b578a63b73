"""nembra.result used from many threads at once.

- THREADS (8) threads each run ITERATIONS (500) rounds that construct and serialise every
  kind of result (and a few failing calls), and compare each round's outputs with the ones
  computed by one thread beforehand. Uploads go to a fake API client whose URL is derived
  from the uploaded content (the entries of an archive, not its timestamps), so the
  outputs are deterministic.
- While READERS (6) threads serialise for SWITCH_ITERATIONS (1000) rounds each, another
  thread keeps rebinding `_serialize_params` (or `API`) in the module namespace to newly
  made functions (or classes) of two kinds; every output must be one of the two values
  those produce.

The thread switch interval is lowered while the threads run, so that switches also land
inside calls into Python code made by the module.
"""

import hashlib
import io
import sys
import threading
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
    _create_safe_file_name,
)
from nembra.views import PNGResult, SVGResult

from conftest import FakeUploadClient, namespace_with_api

THREADS = 8
ITERATIONS = 500
READERS = 6
SWITCH_ITERATIONS = 1000
SWITCH_INTERVAL = 1e-5


def content_digest(data):
    if data[:2] == b"PK":
        with zipfile.ZipFile(io.BytesIO(data)) as archive:
            data = repr([(info.filename, archive.read(info)) for info in archive.infolist()]).encode()
    return hashlib.sha256(data).hexdigest()[:16]


class DigestAPI(FakeUploadClient):
    """Returns a URL made from the file name and the digest of the content. Records
    nothing: the threads upload tens of thousands of times."""

    record = False
    tag = "fake"

    def url(self, upload):
        return f"{self.tag}://{upload.file_name}/{content_digest(upload.data)}"


namespace = namespace_with_api(DigestAPI)


@pytest.fixture
def frequent_switches():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(SWITCH_INTERVAL)
    yield
    sys.setswitchinterval(interval)


def failure_text(func, *args, **kwargs):
    try:
        func(*args, **kwargs)
    except Exception as exc:
        return type(exc).__name__, str(exc)
    return None


def one_round(index):
    """Builds and serialises every kind of result; returns the outputs in a fixed order."""
    params = {"tab": {"section": {"field": index % 3, "name": "n"}}}
    analysis = {"r1": index % 5, "r2": 2.5, "r3": None}
    rows = [OptimizationResultElement(params, analysis), OptimizationResultElement(params)]
    headers = {"r1": "Result 1", "r3": "Result 3", "absent": "Absent"}
    table = OptimizationResult(rows, ["field"], headers, SVGResult("<svg/>"))
    set_params = SetParamsResult(params)
    downloads = [
        DownloadResult(file_content=f"t\u00e9xt {index % 7}", file_name="my text.txt"),
        DownloadResult(b"bytes", "b.bin", None),
        DownloadResult(io.BytesIO(b"buffer"), "c.bin"),
        DownloadResult(File.from_data(b"file"), "d.bin"),
        DownloadResult(
            zipped_files={"a b.txt": File.from_data(f"A{index % 2}"), "c.bin": io.BytesIO(b"C")},
            file_name="all (files).zip",
        ),
    ]
    combined = NembraResult(table, download_result=downloads[-1], set_params_result=set_params)
    return [
        set_params._serialize(),
        set_params.get("tab"),
        rows[0]._serialize(headers),
        rows[1]._serialize(None),
        table._serialize(),
        OptimizationResult(iter(rows), image=PNGResult(b"\x89PNG"))._serialize(),
        [download._serialize() for download in downloads],
        combined._serialize(),
        _create_safe_file_name(f"r\u00e9sum\u00e9 {index}.pdf"),
        failure_text(DownloadResult, file_name="x"),
        failure_text(SetParamsResult, [("a", 1)]),
        failure_text(SetParamsResult.get, set_params, key="tab", other=1),
        failure_text(OptimizationResultElement._serialize, rows[0]),
        failure_text(DownloadResult(bytearray(b"x"), "e")._serialize),
        failure_text(set_params.get, "missing"),
    ]


def run_threads(count, target):
    """Runs target(number) on count threads started together; returns their exceptions."""
    errors = []
    barrier = threading.Barrier(count)

    def run(number):
        try:
            barrier.wait()
            target(number)
        except BaseException as exc:  # reported by the test
            errors.append((number, exc))

    threads = [threading.Thread(target=run, args=(n,)) for n in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads), "a thread did not finish"
    return errors


def test_every_result_from_many_threads_matches_one_thread(namespace, frequent_switches):
    expected = {index: one_round(index) for index in range(70)}
    mismatches = []

    def work(number):
        for iteration in range(ITERATIONS):
            index = (iteration * THREADS + number) % 70
            outputs = one_round(index)
            if outputs != expected[index]:
                mismatches.append((number, iteration, outputs, expected[index]))

    errors = run_threads(THREADS, work)
    assert errors == []
    assert mismatches == []


PARAMS = {"tab": {"section": {"field": 1}}}


def tagged_serializer(tag):
    # A new function each time: the one it replaces can be freed at once.
    def serialize(params):
        return (tag, params)

    return serialize


def tagged_api(tag):
    # A new class each time, as tagged_serializer makes a new function.
    return type("API", (DigestAPI,), {"tag": tag})


def serialize_params_outputs(number):
    element = OptimizationResultElement(PARAMS, {"r": number})
    table = OptimizationResult([element, element], output_headers={"r": "R"})
    set_params = SetParamsResult(PARAMS)
    combined = NembraResult(set_params_result=set_params)
    outputs = [set_params._serialize()["parameters"], element._serialize(None)["design"]]
    outputs += [row["design"] for row in table._serialize()["optimization"]]
    outputs.append(combined._serialize()["parameters"])
    return outputs


def upload_outputs(number):
    downloads = [
        DownloadResult(b"bytes", "b.bin"),
        DownloadResult(zipped_files={"z": io.BytesIO(b"z")}, file_name="z.zip"),
    ]
    return [download._serialize()["url"] for download in downloads] + [
        NembraResult(None, None, downloads[0])._serialize()["url"]
    ]


SWITCHED = {
    "_serialize_params": (tagged_serializer, serialize_params_outputs, [("A", PARAMS), ("B", PARAMS)]),
    "API": (
        tagged_api,
        upload_outputs,
        {
            f"{tag}://{name}/{content_digest(data)}"
            for tag in "AB"
            for name, data in [("b.bin", b"bytes"), ("z.zip", repr([("z", b"z")]).encode())]
        },
    ),
}


@pytest.mark.parametrize("name", SWITCHED)
def test_rebinding_a_module_name_while_others_serialise(name, namespace, frequent_switches):
    make, outputs_of, allowed = SWITCHED[name]
    namespace[name] = make("A")
    stop = threading.Event()
    unexpected = []
    rebinds = [0]

    def rebind():
        while not stop.is_set():
            for tag in "AB":
                namespace[name] = make(tag)
                rebinds[0] += 1

    def read(number):
        for _ in range(SWITCH_ITERATIONS):
            for output in outputs_of(number):
                if output not in allowed:
                    unexpected.append(output)

    rebinder = threading.Thread(target=rebind)
    rebinder.start()
    try:
        errors = run_threads(READERS, read)
    finally:
        stop.set()
        rebinder.join(timeout=60)
    assert errors == []
    assert unexpected == []
    assert rebinds[0] > 0
