"""The demo, ``python -m nembra``, run as a user runs it."""

import json
import os
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from nembra.__main__ import render_grid, stored_path


def run_demo(store, *arguments):
    completed = subprocess.run(
        [sys.executable, "-m", "nembra", *arguments],
        capture_output=True,
        text=True,
        env={**os.environ, "NEMBRA_STORAGE_DIR": str(store)},
        check=True,
    )
    return completed.stdout


@pytest.fixture
def demo_output(tmp_path):
    store = tmp_path / "store"
    return run_demo(store, "--keep"), store


def split_output(stdout):
    json_text, rest = stdout.split("\n\nOptimisation table:\n")
    grid, stored_lines = rest.rstrip("\n").split("\n\n")
    stored_line, kept_line = stored_lines.split("\n")
    return json.loads(json_text), grid, stored_line, kept_line


def test_demo_prints_the_standard_output_the_table_and_the_stored_archive(demo_output):
    stdout, store = demo_output
    output, grid, stored_line, kept_line = split_output(stdout)

    assert list(output) == ["input_columns", "optimization", "output_headers", "views", "parameters", "url"]
    assert output["input_columns"] == ["width", "height"]
    assert output["output_headers"] == ["Weight [kg]", "Deflection [m]"]
    assert [row["output_display_data"] for row in output["optimization"]] == [
        [str(row["analysis"]["weight"]), str(row["analysis"]["deflection"])] for row in output["optimization"]
    ]
    assert output["views"]["definitions"] == [{"label": "", "type": "svg"}]
    assert output["views"]["data"][0]["data"].startswith("<svg")
    assert output["parameters"] == output["optimization"][1]["design"]

    assert grid == render_grid(output)
    assert grid.splitlines()[1].split("|")[1:-1] == [
        "    #    ", "  Width  ", "  Height ", " Weight [kg] ", " Deflection [m] "
    ]

    archive = Path(stored_path(output["url"]))
    assert archive.name == "beam_export.zip"
    assert store in archive.parents
    assert stored_line == f"Downloaded archive stored at: {archive} (report.csv, notes.txt)"
    with zipfile.ZipFile(archive) as stored:
        assert stored.namelist() == ["report.csv", "notes.txt"]
        assert stored.read("notes.txt") == b"Chosen: candidate 2\n"
    assert kept_line == "Kept in the store; 'python -m nembra.api_v1 --clean' removes stored uploads."


def test_demo_removes_its_upload_unless_asked_to_keep_it(tmp_path):
    store = tmp_path / "store"
    output, _, stored_line, kept_line = split_output(run_demo(store))

    archive = Path(stored_path(output["url"]))
    assert stored_line == f"Downloaded archive stored at: {archive} (report.csv, notes.txt)"
    assert kept_line == "Removed again; run with --keep to keep it."
    assert archive.parent.parent == store
    assert list(store.iterdir()) == []


def test_demo_help_names_the_storage_variable():
    completed = subprocess.run(
        [sys.executable, "-m", "nembra", "--help"], capture_output=True, text=True, check=True
    )
    assert "NEMBRA_STORAGE_DIR" in completed.stdout
    assert "zip archive" in completed.stdout
    assert "--keep" in completed.stdout


def test_grid_renders_the_documented_example():
    from nembra.result import OptimizationResult, OptimizationResultElement

    results = [
        OptimizationResultElement({"tab": {"section": {"field1": "a", "field2": 5}}}, {"result1": 10, "result2": 20}),
        OptimizationResultElement({"tab": {"section": {"field1": "b", "field2": 8}}}, {"result1": 100, "result2": 150}),
    ]
    output = OptimizationResult(
        results, result_column_names_input=["field1"], output_headers={"result1": "Result 1"}
    )._serialize()
    documented = [
        line.strip()
        for line in OptimizationResult.__init__.__doc__.splitlines()
        if line.strip().startswith(("+", "|"))
    ]
    assert render_grid(output).splitlines() == documented
