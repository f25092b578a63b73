"""The type information shipped with the package: the stub of nembra.result and py.typed.

mypy and its stubtest run in subprocesses against the installed package, so these tests
also show that the wheel carries the stub where type checkers look for it.
"""

import ast
import subprocess
import sys
from pathlib import Path

import pytest

import nembra
import nembra.result
from nembra.result import OptimizationResultElement

REPO = Path(__file__).resolve().parents[1]
USAGE = Path(__file__).resolve().parent / "typecheck" / "controller_usage.py"
REFUSED_MARKER = "# --- what the module refuses"


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def run_mypy(*arguments, cwd, cache):
    completed = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), *arguments],
        cwd=cwd,
        capture_output=True,
        text=True,
    )
    return completed.returncode, completed.stdout + completed.stderr


def test_package_ships_the_stub_beside_the_module():
    installed = Path(nembra.__file__).parent
    assert Path(nembra.result.__file__).parent == installed
    assert (installed / "py.typed").is_file()
    assert (installed / "result.pyi").read_text() == (REPO / "src" / "nembra" / "result.pyi").read_text()


def test_stubtest_finds_no_difference_from_the_built_module(tmp_path):
    completed = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "nembra.result"], cwd=tmp_path, capture_output=True, text=True
    )
    output = completed.stdout + completed.stderr
    assert completed.returncode == 0, output
    assert "Success: no issues found in 1 module" in output


def test_stub_and_sibling_modules_pass_mypy(mypy_cache):
    sources = sorted(str(path) for path in (REPO / "src" / "nembra").glob("*.py"))
    status, output = run_mypy(*sources, str(REPO / "src" / "nembra" / "result.pyi"), cwd=REPO, cache=mypy_cache)
    assert status == 0, output
    assert f"Success: no issues found in {len(sources) + 1} source files" in output


def test_controller_code_is_checked_against_the_stub(tmp_path, mypy_cache):
    # Run from a directory outside the repository, so that nembra is found installed.
    status, output = run_mypy(str(USAGE), cwd=tmp_path, cache=mypy_cache)
    assert status == 0, output


def test_stub_names_every_name_of_the_module():
    stub = ast.parse((REPO / "src" / "nembra" / "result.pyi").read_text())
    bound = set()
    for node in stub.body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            # Only "import x as x" re-exports a name from a stub.
            bound.update(alias.asname for alias in node.names if alias.asname == alias.name.split(".")[-1])
        elif isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            bound.add(node.name)
        elif isinstance(node, ast.Assign):
            bound.update(target.id for target in node.targets)
        elif isinstance(node, ast.AnnAssign):
            bound.add(node.target.id)
    module_names = set(vars(nembra.result)) - {
        "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__",
    }
    assert sorted(module_names - bound) == []
    assert sorted(name for name in bound - module_names if not name.startswith("_")) == []


def stub_docstrings():
    """(name, docstring in the stub, docstring of the module's object) for every object."""
    stub = ast.parse((REPO / "src" / "nembra" / "result.pyi").read_text())
    yield "nembra.result", ast.get_docstring(stub, clean=False), nembra.result.__doc__
    for node in stub.body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, ast.get_docstring(node, clean=False), getattr(nembra.result, node.name).__doc__
        elif isinstance(node, ast.ClassDef) and hasattr(nembra.result, node.name):
            cls = getattr(nembra.result, node.name)
            yield node.name, ast.get_docstring(node, clean=False), cls.__doc__
            for member in node.body:
                if isinstance(member, ast.FunctionDef):
                    name = f"{node.name}.{member.name}"
                    yield name, ast.get_docstring(member, clean=False), getattr(cls, member.name).__doc__


@pytest.mark.parametrize(
    ("in_stub", "in_module"), [pytest.param(stub, module, id=name) for name, stub, module in stub_docstrings()]
)
def test_stub_carries_the_docstrings_of_the_module(in_stub, in_module):
    assert in_stub == in_module


def test_stub_docstrings_cover_every_class_and_function():
    expected = ["nembra.result"]
    for name, value in vars(nembra.result).items():
        if isinstance(value, type) and value.__module__ == "nembra.result" and value.__name__ == name:
            expected += [name] + [f"{name}.{method}" for method, member in vars(value).items() if callable(member)]
    expected.append("_create_safe_file_name")
    assert [name for name, _, _ in stub_docstrings()] == expected


def usage_sections():
    code = USAGE.read_text()
    accepted, refused = code.split(REFUSED_MARKER)
    statements = [line for line in refused.splitlines()[1:] if line.strip()]
    return accepted, statements


@pytest.fixture
def accepted_namespace(tmp_path, monkeypatch):
    monkeypatch.setenv("NEMBRA_STORAGE_DIR", str(tmp_path))
    accepted, _ = usage_sections()
    namespace: dict = {"__name__": "controller_usage"}
    exec(compile(accepted, str(USAGE), "exec"), namespace)
    return namespace


def test_code_the_stub_accepts_runs(accepted_namespace):
    rows = accepted_namespace["rows"]
    assert all(type(row) is OptimizationResultElement for row in rows)
    output = accepted_namespace["combined"]._serialize()
    assert list(output) == ["input_columns", "optimization", "output_headers", "views", "parameters", "url"]


@pytest.mark.parametrize("statement", usage_sections()[1], ids=lambda s: s.split("  #")[0])
def test_code_the_stub_refuses_fails_at_run_time(accepted_namespace, statement):
    code = statement.split("  # type: ignore")[0]
    with pytest.raises((TypeError, AttributeError, NotImplementedError)):
        made = eval(code, accepted_namespace)
        made._serialize()
