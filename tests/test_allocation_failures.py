"""Importing nembra.result while single allocations fail never crashes the interpreter.

`allocation_sweep.py` in this directory sweeps every allocation of the import; this test
runs a spread sample of them, so that a crash that comes back shows in every run.
"""

import pytest

pytest.importorskip("_testcapi")

from allocation_sweep import run_point, sweep  # noqa: E402


def test_import_with_one_failing_allocation_never_crashes():
    """Every point ends in MemoryError or success, or in an error of the interpreter's own
    machinery (the import lock, a typing alias losing the MemoryError), never in a crash or
    in an error of the module's exec step."""
    results = sweep(range(1, 1400, 29), jobs=2)
    wrong = [result for result in results if result[1] == "crash" or "nembra" in result[2]]
    assert wrong == []
    outcomes = {outcome for _, outcome, _ in results}
    assert {"MemoryError", "success"} <= outcomes


def test_import_without_failures_succeeds():
    assert run_point(10**9)[1] == "success"
