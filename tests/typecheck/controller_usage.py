"""Controller code checked by mypy against the type information of nembra.result.

The first half must type-check as it stands. Each statement in the second half is one that
the module refuses at run time, when the object is made or when it is serialised; its
``type: ignore`` names the error that mypy must report, and mypy runs with unused ignores
reported, so a stub that stopped catching the mistake fails. The test suite also runs this
code: the first half must run, and every statement of the second half must fail.
"""

from io import BytesIO
from typing import Any, Dict, List, assert_type

from munch import Munch  # type: ignore[import-untyped]

from nembra.core import File
from nembra.result import (
    DownloadResult,
    NembraResult,
    OptimisationResult,
    OptimisationResultElement,
    OptimizationResult,
    OptimizationResultElement,
    SetParametersResult,
    SetParamsResult,
    _create_safe_file_name,
)
from nembra.views import JPGResult, PNGResult, SVGResult

params: Dict[str, Any] = {"tab_1": {"section_1": {"numberfield_1": 1234}}}

# --- what a controller writes ---------------------------------------------------------

set_params = SetParamsResult(params)
assert_type(SetParametersResult(params=None), SetParamsResult)
assert_type(set_params.get("tab_1"), Any)
assert_type(set_params._serialize(), Dict[str, Any])

text_download = DownloadResult("text", "a.txt")
bytes_download = DownloadResult(file_content=b"\x00", file_name="a.bin", encoding=None)
stream_download = DownloadResult(BytesIO(b"x"), "b.bin")
files: Dict[str, File] = {"a.txt": File.from_data("a")}
zipped = DownloadResult(zipped_files=files, file_name="a.zip")
mixed: Dict[str, BytesIO] = {"b.txt": BytesIO(b"b")}
assert_type(DownloadResult(zipped_files=mixed, file_name="b.zip")._serialize(), Dict[str, Any])
assert_type(_create_safe_file_name("my report.pdf"), str)

rows: List[OptimizationResultElement] = [
    OptimizationResultElement(params, {"result1": 10}),
    OptimisationResultElement(Munch(params), analysis_result=None),
]
row_output = rows[0]._serialize({"result1": "Result 1"})
assert_type(row_output, Dict[str, Any])
rows[0]._serialize(["result1"])
rows[0]._serialize(None)


class CustomRow:
    def _serialize(self, output_headers: Any) -> Dict[str, Any]:
        return {}


class CustomImage:
    _view_type_name = "svg"

    def _serialize(self) -> Dict[str, str]:
        return {}


table = OptimizationResult(
    rows, result_column_names_input=["field1"], output_headers={"result1": "Result 1"}, image=SVGResult("<svg/>")
)
OptimizationResult((row for row in rows), image=PNGResult(b""))
OptimisationResult([CustomRow()], image=JPGResult(b""))
OptimizationResult([], image=CustomImage())
assert_type(table._serialize(), Dict[str, Any])

combined = NembraResult(table, set_params, zipped)
NembraResult(optimization_result=table, set_params_result=set_params, download_result=text_download)
assert_type(combined._serialize(), Dict[str, Any])

# --- what the module refuses ----------------------------------------------------------

SetParamsResult([("tab_1", {})])  # type: ignore[arg-type]
SetParamsResult()  # type: ignore[call-arg]
set_params.get(1)  # type: ignore[arg-type]
set_params._serialize(True)  # type: ignore[call-arg]
DownloadResult(b"x", 5)  # type: ignore[arg-type]
DownloadResult(bytearray(b"x"), "a.bin")  # type: ignore[arg-type]
DownloadResult(b"x", "a.bin", "utf-8", {})  # type: ignore[call-arg]
DownloadResult(zipped_files={"a.txt": b"a"}, file_name="a.zip")  # type: ignore[dict-item]
_create_safe_file_name(None)  # type: ignore[arg-type]
OptimizationResultElement()  # type: ignore[call-arg]
OptimizationResultElement(params, [("result1", 10)])  # type: ignore[arg-type]
rows[0]._serialize()  # type: ignore[call-arg]
OptimizationResult(rows, output_headers=[("result1", "Result 1")])  # type: ignore[arg-type]
OptimizationResult(rows, image="plot.png")  # type: ignore[arg-type]
OptimizationResult([object()])  # type: ignore[list-item]
NembraResult(None, None, None, table)  # type: ignore[call-arg]
NembraResult(unknown=table)  # type: ignore[call-arg]
