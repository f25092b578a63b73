"""Every code example in the docstrings of nembra.result runs against the module itself."""

import ast
import textwrap

import pytest

import nembra.result
from nembra.core import File


def documented_objects():
    yield "nembra.result", nembra.result, None
    for name, value in vars(nembra.result).items():
        if isinstance(value, type) and value.__module__ == "nembra.result" and value.__name__ == name:
            yield name, value, value
            for method_name, method in vars(value).items():
                if callable(method):
                    yield f"{name}.{method_name}", method, value
    yield "_create_safe_file_name", nembra.result._create_safe_file_name, None


def code_blocks(docstring):
    """The bodies of the python code-block directives of a reStructuredText docstring."""
    lines = (docstring or "").split("\n")
    for index, line in enumerate(lines):
        if line.strip() != ".. code-block:: python":
            continue
        directive_indent = len(line) - len(line.lstrip())
        body = []
        for following in lines[index + 1 :]:
            if following.strip() and len(following) - len(following.lstrip()) <= directive_indent:
                break
            body.append(following)
        yield textwrap.dedent("\n".join(body)).strip("\n")


EXAMPLES = [
    pytest.param(code, owner, id=f"{name}-{number}")
    for name, obj, owner in documented_objects()
    for number, code in enumerate(code_blocks(obj.__doc__))
]

SERIALISED_KEYS = {
    nembra.result.SetParamsResult: ["parameters"],
    nembra.result.DownloadResult: ["url"],
    nembra.result.OptimizationResult: ["input_columns", "optimization", "output_headers", "views"],
}


def test_the_examples_are_found():
    owners = sorted(param.values[1].__name__ for param in EXAMPLES)
    assert owners == ["DownloadResult", "DownloadResult", "OptimizationResult", "SetParamsResult", "SetParamsResult"]


@pytest.mark.parametrize(("code", "owner"), EXAMPLES)
def test_example_makes_a_result_that_serialises(code, owner, tmp_path, monkeypatch):
    monkeypatch.setenv("NEMBRA_STORAGE_DIR", str(tmp_path))
    module = ast.parse(code)
    last = module.body.pop()
    assert isinstance(last, ast.Expr), "an example ends with the result it makes"
    # The download examples name the files they pack; give them some.
    namespace = dict(vars(nembra.result), my_file=File.from_data("1"), my_file_1=File.from_data("2"), my_file_2=File())
    exec(compile(module, "<example>", "exec"), namespace)
    made = eval(compile(ast.Expression(last.value), "<example>", "eval"), namespace)

    assert type(made) is owner
    assert list(made._serialize()) == SERIALISED_KEYS[owner]
