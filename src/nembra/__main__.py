"""The nembra demo: ``python -m nembra``.

Runs an example controller method that answers an optimisation button, a set-params
button and a download button at once, and shows what the platform receives: the
serialised standard automation output, the optimisation table as the end user sees it,
and where the downloaded archive was stored; the upload is removed again afterwards
unless ``--keep`` is given.
"""

from __future__ import annotations

import argparse
import json
import re
import sys
import zipfile
from typing import TYPE_CHECKING, Any, List, Mapping, Optional, Sequence
from urllib.parse import unquote, urlparse

from .api_v1 import STORAGE_DIR_VARIABLE, remove_upload
from .core import File
from .views import SVGResult

if TYPE_CHECKING:
    from .result import NembraResult

_BEAM_SVG = (
    '<svg xmlns="http://www.w3.org/2000/svg" width="120" height="40">'
    '<rect x="10" y="15" width="100" height="10" fill="steelblue"/></svg>'
)


class BeamController:
    """An entity-type controller: each method answers one action button."""

    def optimize_and_export(self, params: Mapping[str, Any]) -> NembraResult:
        from .result import (
            DownloadResult,
            NembraResult,
            OptimizationResult,
            OptimizationResultElement,
            SetParamsResult,
        )

        candidates = []
        for width in (0.2, 0.3, 0.4):
            design = {"geometry": {"section": {"width": width, "height": 2 * width}}}
            weight = round(7850 * width * 2 * width * params["geometry"]["section"]["length"], 1)
            deflection = round(0.012 / width**3, 4)
            candidates.append(OptimizationResultElement(design, {"weight": weight, "deflection": deflection}))
        best = candidates[1]
        optimization = OptimizationResult(
            candidates,
            result_column_names_input=["width", "height"],
            output_headers={"weight": "Weight [kg]", "deflection": "Deflection [m]"},
            image=SVGResult(_BEAM_SVG),
        )
        report = File.from_data("width;height\n0.3;0.6\n")
        download = DownloadResult(
            zipped_files={"report.csv": report, "notes.txt": File.from_data("Chosen: candidate 2\n")},
            file_name="beam export.zip",
        )
        return NembraResult(
            optimization_result=optimization,
            set_params_result=SetParamsResult(best._parameter_set),
            download_result=download,
        )


def column_label(field_name: str) -> str:
    """The label a parametrization would show for a field: 'field1' reads 'Field 1'."""
    spaced = re.sub(r"(?<=[A-Za-z])(?=\d)", " ", field_name).replace("_", " ")
    return spaced[:1].upper() + spaced[1:]


def find_field(design: Any, field_name: str) -> Any:
    """The value of a field anywhere in a nested parameter set, or '' when absent."""
    if isinstance(design, Mapping):
        if field_name in design:
            return design[field_name]
        for value in design.values():
            found = find_field(value, field_name)
            if found != "":
                return found
    return ""


def _center(text: str, width: int) -> str:
    padding = width - len(text)
    return " " * ((padding + 1) // 2) + text + " " * (padding // 2)


def render_grid(output: Mapping[str, Any]) -> str:
    """Render an optimisation output as the grid table the end user sees."""
    headers = ["#"] + [column_label(name) for name in output["input_columns"]] + list(output["output_headers"])
    rows: List[List[str]] = []
    for number, row in enumerate(output["optimization"], start=1):
        inputs = [str(find_field(row["design"], name)) for name in output["input_columns"]]
        rows.append([str(number)] + inputs + list(row["output_display_data"]))
    widths = [max(9, max(len(cells[i]) for cells in [headers] + rows) + 2) for i in range(len(headers))]

    def rule(char: str) -> str:
        return "+" + "+".join(char * width for width in widths) + "+"

    def line(cells: Sequence[str]) -> str:
        return "|" + "|".join(_center(cell, width) for cell, width in zip(cells, widths)) + "|"

    lines = [rule("-"), line(headers), rule("=")]
    for cells in rows:
        lines += [line(cells), rule("-")]
    return "\n".join(lines)


def stored_path(url: str) -> str:
    """The local path behind a file:// URL of the file store."""
    return unquote(urlparse(url).path)


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m nembra",
        description=(
            "Run an example controller method that returns a NembraResult holding an optimisation "
            "table with an SVG image, a set-params result and a download of a zip archive of two "
            "files. Prints the serialised standard automation output as JSON, the optimisation "
            "table as the end user sees it, and where the downloaded archive was stored."
        ),
        epilog=(
            f"Uploads go to a local file store private to the user: the directory named by the "
            f"environment variable {STORAGE_DIR_VARIABLE}, or by default "
            f"$XDG_CACHE_HOME/nembra/uploads, else ~/.cache/nembra/uploads. "
            f"'python -m nembra.api_v1 --list' lists its uploads and '--clean' removes them."
        ),
    )
    parser.add_argument(
        "--keep", action="store_true", help="keep the uploaded archive in the store instead of removing it"
    )
    args = parser.parse_args(argv)

    result = BeamController().optimize_and_export({"geometry": {"section": {"length": 5.0}}})
    output = result._serialize()
    print(json.dumps(output, indent=2))
    print()
    print("Optimisation table:")
    print(render_grid(output))
    print()
    archive = stored_path(output["url"])
    with zipfile.ZipFile(archive) as stored:
        entries = ", ".join(stored.namelist())
    print(f"Downloaded archive stored at: {archive} ({entries})")
    if args.keep:
        print("Kept in the store; 'python -m nembra.api_v1 --clean' removes stored uploads.")
    else:
        remove_upload(output["url"])
        print("Removed again; run with --keep to keep it.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
