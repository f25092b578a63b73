"""OptimizationResultElement and OptimizationResult: rows, columns, image and their output."""

from __future__ import annotations

import ast
import textwrap

import pytest
from munch import Munch

import nembra.result
from nembra.result import OptimizationResult, OptimizationResultElement
from nembra.views import JPGResult, PNGResult, SVGResult

from conftest import Recorder

OUTPUT_KEYS = ["input_columns", "optimization", "output_headers", "views"]


# --- helpers and fakes -----------------------------------------------------------------

# The recorder fixture (conftest.py) binds a Recorder as _serialize_params.


class Row:
    """A row that is not an OptimizationResultElement: only a _serialize(headers) method."""

    def __init__(self, name: str, log: list, error: BaseException | None = None) -> None:
        self.name = name
        self.log = log
        self.error = error
        self.returned: list = []

    def _serialize(self, output_headers):
        self.log.append(("row", self.name, output_headers))
        if self.error is not None:
            raise self.error
        value = {"row": self.name}
        self.returned.append(value)
        return value


class Image:
    """An image that is not one of the view classes."""

    def __init__(self, log: list, error: BaseException | None = None) -> None:
        self._view_type_name = object()
        self.log = log
        self.error = error
        self.returned: list = []

    def _serialize(self):
        self.log.append(("image",))
        if self.error is not None:
            raise self.error
        value = object()
        self.returned.append(value)
        return value


class FailingTruth:
    def __init__(self, error: BaseException) -> None:
        self.error = error

    def __bool__(self) -> bool:
        raise self.error


def docstring_example() -> tuple[str, list[str]]:
    """The code block and the table lines of the OptimizationResult.__init__ docstring."""
    lines = OptimizationResult.__init__.__doc__.split("\n")
    start = lines.index("        .. code-block:: python") + 2
    end = lines.index("        This renders as the following table for the end-user:")
    code = textwrap.dedent("\n".join(lines[start:end]))
    table = [line.strip() for line in lines[end + 1 :] if line.strip()]
    return code, table


def run_example(code: str) -> tuple[dict, object]:
    """Run the example code; return its namespace and the value of its last expression."""
    module = ast.parse(code)
    last = module.body.pop()
    assert isinstance(last, ast.Expr)
    namespace = {
        "OptimizationResultElement": OptimizationResultElement,
        "OptimizationResult": OptimizationResult,
    }
    exec(compile(module, "<example>", "exec"), namespace)
    value = eval(compile(ast.Expression(last.value), "<example>", "eval"), namespace)
    return namespace, value


def field_value(design: dict, field: str):
    for sections in design.values():
        for fields in sections.values():
            if field in fields:
                return fields[field]
    raise KeyError(field)


def render_grid(output: dict, field_labels: dict, widths: list[int]) -> list[str]:
    """Draw the table the end user sees from an optimisation output."""

    def cell(text: str, width: int) -> str:
        pad = width - len(text)
        left = (pad + 1) // 2
        return " " * left + text + " " * (pad - left)

    def line(texts: list[str]) -> str:
        return "|" + "|".join(cell(t, w) for t, w in zip(texts, widths)) + "|"

    def border(char: str) -> str:
        return "+" + "+".join(char * w for w in widths) + "+"

    header = ["#"] + [field_labels[name] for name in output["input_columns"]]
    header += output["output_headers"]
    grid = [border("-"), line(header), border("=")]
    for number, row in enumerate(output["optimization"], start=1):
        texts = [str(number)]
        texts += [str(field_value(row["design"], name)) for name in output["input_columns"]]
        texts += row["output_display_data"]
        grid += [line(texts), border("-")]
    return grid


# --- the worked example ----------------------------------------------------------------


def test_docstring_example_end_to_end() -> None:
    code, table = docstring_example()
    namespace, result = run_example(code)
    assert type(result) is OptimizationResult

    output = result._serialize()
    assert output == {
        "input_columns": ["field1"],
        "optimization": [
            {
                "design": {"tab": {"section": {"field1": "a", "field2": 5}}},
                "analysis": {"result1": 10, "result2": 20},
                "output_display_data": ["10"],
            },
            {
                "design": {"tab": {"section": {"field1": "b", "field2": 8}}},
                "analysis": {"result1": 100, "result2": 150},
                "output_display_data": ["100"],
            },
        ],
        "output_headers": ["Result 1"],
        "views": {"definitions": [], "data": []},
    }
    assert list(output) == OUTPUT_KEYS
    assert list(output["views"]) == ["definitions", "data"]
    for row in output["optimization"]:
        assert list(row) == ["design", "analysis", "output_display_data"]
    assert output["input_columns"] is result.result_column_names_input
    assert output["optimization"][0]["analysis"] is namespace["analysis1"]
    assert output["optimization"][1]["analysis"] is namespace["analysis2"]

    widths = [len(part) for part in table[0].strip("+").split("+")]
    assert render_grid(output, {"field1": "Field 1"}, widths) == table


def test_empty_table_has_all_four_keys() -> None:
    output = OptimizationResult([])._serialize()
    assert output == {
        "input_columns": [],
        "optimization": [],
        "output_headers": [],
        "views": {"definitions": [], "data": []},
    }
    assert list(output) == OUTPUT_KEYS


def test_rows_without_output_headers_still_have_display_data() -> None:
    rows = [OptimizationResultElement(None, {"a": 1}), OptimizationResultElement(None)]
    output = OptimizationResult(rows)._serialize()
    assert output["optimization"] == [
        {"design": None, "analysis": {"a": 1}, "output_display_data": []},
        {"design": None, "analysis": {}, "output_display_data": []},
    ]
    assert output["output_headers"] == []


# --- columns and rows ------------------------------------------------------------------


def test_column_order_follows_the_header_dict() -> None:
    rows = [
        OptimizationResultElement(None, {"a": 1, "b": 2}),
        OptimizationResultElement(None, {"a": 3, "b": 4}),
    ]
    output = OptimizationResult(rows, output_headers={"b": "B", "a": "A"})._serialize()
    assert output["output_headers"] == ["B", "A"]
    assert [row["output_display_data"] for row in output["optimization"]] == [["2", "1"], ["4", "3"]]


def test_rows_kept_in_given_order() -> None:
    e1 = OptimizationResultElement({"x": 1}, {"cost": 1})
    e2 = OptimizationResultElement({"x": 2}, {"cost": 5})
    output = OptimizationResult([e2, e1], output_headers={"cost": "Cost"})._serialize()
    assert [row["design"] for row in output["optimization"]] == [{"x": 2}, {"x": 1}]
    assert [row["output_display_data"] for row in output["optimization"]] == [["5"], ["1"]]


def test_header_added_later_to_held_dict_adds_a_column() -> None:
    headers = {"a": "A"}
    result = OptimizationResult([OptimizationResultElement(None, {"a": 1, "b": 2})], output_headers=headers)
    assert result._output_headers is headers
    headers["b"] = "B"
    output = result._serialize()
    assert output["output_headers"] == ["A", "B"]
    assert output["optimization"][0]["output_display_data"] == ["1", "2"]


def test_empty_output_headers_stored_as_new_dict() -> None:
    headers: dict = {}
    result = OptimizationResult([OptimizationResultElement(None, {"a": 1})], output_headers=headers)
    assert result._output_headers == {}
    assert result._output_headers is not headers
    headers["a"] = "A"
    output = result._serialize()
    assert output["output_headers"] == []
    assert output["optimization"][0]["output_display_data"] == []


def test_later_changes_to_held_results_list_show() -> None:
    rows = [OptimizationResultElement("first")]
    result = OptimizationResult(rows)
    rows.append(OptimizationResultElement("second"))
    assert [row["design"] for row in result._serialize()["optimization"]] == ["first", "second"]


def test_one_shot_generator_is_consumed_once() -> None:
    result = OptimizationResult(OptimizationResultElement(n, {"n": n}) for n in range(3))
    first = result._serialize()
    assert [row["design"] for row in first["optimization"]] == [0, 1, 2]
    second = result._serialize()
    assert second["optimization"] == []
    assert list(second) == OUTPUT_KEYS


def test_results_stored_under_the_mangled_name() -> None:
    results = (OptimizationResultElement(None),)
    result = OptimizationResult(results)
    assert result._OptimizationResult__results is results
    assert not hasattr(result, "__results")
    assert not hasattr(result, "_results")
    assert list(vars(result)) == [
        "result_column_names_input",
        "result_column_names_result",
        "_output_headers",
        "_OptimizationResult__results",
        "_view_results",
    ]


def test_replaced_results_attribute_is_used() -> None:
    result = OptimizationResult([])
    result._OptimizationResult__results = [OptimizationResultElement("late")]
    assert [row["design"] for row in result._serialize()["optimization"]] == ["late"]


# --- duck-typed rows and images --------------------------------------------------------


def test_any_object_with_serialize_is_a_row() -> None:
    log: list = []
    headers = {"a": "A"}
    rows = [Row("r1", log), Row("r2", log)]
    result = OptimizationResult(rows, output_headers=headers)
    output = result._serialize()
    assert output["optimization"][0] is rows[0].returned[0]
    assert output["optimization"][1] is rows[1].returned[0]
    assert [entry[:2] for entry in log] == [("row", "r1"), ("row", "r2")]
    assert all(entry[2] is headers for entry in log)


def test_rows_get_the_stored_empty_headers_not_none() -> None:
    log: list = []
    result = OptimizationResult([Row("r", log)])
    result._serialize()
    (_, _, headers), = log
    assert headers is result._output_headers
    assert headers == {}


def test_any_object_with_view_attributes_is_an_image() -> None:
    log: list = []
    image = Image(log)
    result = OptimizationResult([], image=image)
    assert result._view_results == [image]
    output = result._serialize()
    assert output["views"] == {"definitions": [{"label": "", "type": image._view_type_name}], "data": [image.returned[0]]}
    definition = output["views"]["definitions"][0]
    assert list(definition) == ["label", "type"]
    assert definition["type"] is image._view_type_name
    assert output["views"]["data"][0] is image.returned[0]


@pytest.mark.parametrize(
    ("image", "type_name"),
    [(SVGResult("<svg/>"), "svg"), (PNGResult(b"\x89PNG"), "png"), (JPGResult(b"\xff\xd8"), "jpeg")],
)
def test_view_images(image, type_name: str) -> None:
    output = OptimizationResult([], image=image)._serialize()
    assert output["views"] == {
        "definitions": [{"label": "", "type": type_name}],
        "data": [image._serialize()],
    }


@pytest.mark.parametrize("image", [None, 0, "", [], False])
def test_false_image_gives_no_views(image) -> None:
    result = OptimizationResult([], image=image)
    assert result._view_results == []
    assert result._serialize()["views"] == {"definitions": [], "data": []}


def test_image_serialised_before_any_row() -> None:
    log: list = []
    result = OptimizationResult([Row("r1", log), Row("r2", log)], image=Image(log))
    result._serialize()
    assert [entry[:2] for entry in log] == [("image",), ("row", "r1"), ("row", "r2")]


def test_each_serialize_serialises_again() -> None:
    log: list = []
    result = OptimizationResult([Row("r", log)], image=Image(log))
    first = result._serialize()
    second = result._serialize()
    assert first is not second
    assert first["views"] is not second["views"]
    assert [entry[:2] for entry in log] == [("image",), ("row", "r"), ("image",), ("row", "r")]


class NoTypeName:
    def __init__(self, log: list) -> None:
        self.log = log

    def _serialize(self):
        self.log.append(("image",))
        return {}


class NoSerialize:
    _view_type_name = "svg"


def test_image_without_type_name_fails_before_any_serialize() -> None:
    log: list = []
    result = OptimizationResult([Row("r", log)], image=NoTypeName(log))
    with pytest.raises(AttributeError):
        result._serialize()
    assert log == []


def test_image_without_serialize_fails_before_any_row() -> None:
    log: list = []
    result = OptimizationResult([Row("r", log)], image=NoSerialize())
    with pytest.raises(AttributeError):
        result._serialize()
    assert log == []


def test_row_without_serialize_raises_attribute_error() -> None:
    log: list = []
    result = OptimizationResult([Row("r", log), object()])
    with pytest.raises(AttributeError):
        result._serialize()
    assert [entry[:2] for entry in log] == [("row", "r")]


@pytest.mark.parametrize("where", ["first row", "second row", "image"])
def test_raised_exception_reaches_the_caller(where: str) -> None:
    log: list = []
    error = RuntimeError(where)
    rows = [
        Row("r1", log, error if where == "first row" else None),
        Row("r2", log, error if where == "second row" else None),
    ]
    image = Image(log, error if where == "image" else None)
    with pytest.raises(RuntimeError) as excinfo:
        OptimizationResult(rows, image=image)._serialize()
    assert excinfo.value is error
    expected = {
        "image": [("image",)],
        "first row": [("image",), ("row", "r1")],
        "second row": [("image",), ("row", "r1"), ("row", "r2")],
    }[where]
    assert [entry[:2] for entry in log] == expected


def test_serialize_params_error_in_an_element_reaches_the_caller(monkeypatch: pytest.MonkeyPatch) -> None:
    error = ValueError("bad parameter set")

    def failing(params):
        raise error

    monkeypatch.setitem(vars(nembra.result), "_serialize_params", failing)
    with pytest.raises(ValueError) as excinfo:
        OptimizationResult([OptimizationResultElement({})])._serialize()
    assert excinfo.value is error


def test_results_that_cannot_be_iterated() -> None:
    result = OptimizationResult(None)
    with pytest.raises(TypeError) as excinfo:
        result._serialize()
    assert excinfo.value.args == ("'NoneType' object is not iterable",)


# --- constructor arguments -------------------------------------------------------------


def test_result_column_names_input_tuple_is_returned_itself() -> None:
    columns = ("field1", "field2")
    result = OptimizationResult([], result_column_names_input=columns)
    assert result.result_column_names_input is columns
    assert result._serialize()["input_columns"] is columns


@pytest.mark.parametrize("columns", [None, (), [], 0, ""])
def test_false_result_column_names_input_becomes_a_new_list(columns) -> None:
    result = OptimizationResult([], columns)
    assert type(result.result_column_names_input) is list
    assert result.result_column_names_input == []
    assert result.result_column_names_input is not columns
    assert result._serialize()["input_columns"] is result.result_column_names_input


def test_result_column_names_result_is_a_new_list_not_serialised() -> None:
    first = OptimizationResult([])
    second = OptimizationResult([])
    assert first.result_column_names_result == []
    assert type(first.result_column_names_result) is list
    assert first.result_column_names_result is not second.result_column_names_result
    first.result_column_names_result.append("field1")
    output = first._serialize()
    assert list(output) == OUTPUT_KEYS
    assert output["input_columns"] == []


@pytest.mark.parametrize("argument", ["result_column_names_input", "image"])
def test_failing_truth_test_propagates_from_init(argument: str) -> None:
    error = ZeroDivisionError("no truth")
    results = [OptimizationResultElement(None)]
    headers = {"a": "A"}
    result = OptimizationResult.__new__(OptimizationResult)
    with pytest.raises(ZeroDivisionError) as excinfo:
        result.__init__(results, output_headers=headers, **{argument: FailingTruth(error)})
    assert excinfo.value is error
    if argument == "result_column_names_input":
        assert vars(result) == {}
    else:
        assert vars(result) == {
            "result_column_names_input": [],
            "result_column_names_result": [],
            "_output_headers": headers,
            "_OptimizationResult__results": results,
        }
        assert result._output_headers is headers
        assert result._OptimizationResult__results is results


# --- OptimizationResultElement ---------------------------------------------------------


@pytest.mark.parametrize("analysis", [None, {}])
def test_false_analysis_result_stored_as_new_dict(analysis) -> None:
    element = OptimizationResultElement({"p": 1}, analysis)
    assert type(element._analysis_result) is dict
    assert element._analysis_result == {}
    assert element._analysis_result is not analysis
    other = OptimizationResultElement({"p": 1}, analysis)
    assert other._analysis_result is not element._analysis_result


def test_non_empty_analysis_result_stored_itself() -> None:
    analysis = {"result1": 10}
    params = {"tab": {}}
    element = OptimizationResultElement(params=params, analysis_result=analysis)
    assert element._parameter_set is params
    assert element._analysis_result is analysis
    assert list(vars(element)) == ["_parameter_set", "_analysis_result"]
    row = element._serialize(None)
    assert row["analysis"] is analysis
    analysis["result2"] = 20
    assert element._serialize(output_headers=["result2"])["output_display_data"] == ["20"]
    row["analysis"]["result3"] = 30
    assert element._serialize(["result3"])["output_display_data"] == ["30"]


@pytest.mark.parametrize("params", [None, 5, "text", Munch(tab=Munch()), object()])
def test_params_reach_serialize_params_unchanged(recorder: Recorder, params) -> None:
    element = OptimizationResultElement(params)
    row = element._serialize(None)
    assert recorder.calls == [((params,), {})]
    assert recorder.args[0][0] is params
    assert row["design"] is recorder.returned[0]
    element._serialize({})
    assert len(recorder.args) == 2
    assert recorder.calls[1] == ((params,), {})
    assert recorder.args[1][0] is params


def test_rebound_serialize_params_serves_later_rows(monkeypatch: pytest.MonkeyPatch) -> None:
    element = OptimizationResultElement(Munch(a=1))
    assert element._serialize(None)["design"] == {"a": 1}
    monkeypatch.setitem(vars(nembra.result), "_serialize_params", lambda params: "replaced")
    assert element._serialize(None)["design"] == "replaced"


def test_serialize_none_vs_empty_vs_keys() -> None:
    analysis = {"result1": 10, "result2": 20}
    element = OptimizationResultElement(None, analysis)

    without = element._serialize(None)
    assert list(without) == ["design", "analysis"]
    assert without == {"design": None, "analysis": analysis}

    empty = element._serialize({})
    assert list(empty) == ["design", "analysis", "output_display_data"]
    assert empty == {"design": None, "analysis": analysis, "output_display_data": []}

    assert element._serialize(["result2", "result1"])["output_display_data"] == ["20", "10"]
    assert element._serialize({"result1": "Result 1", "absent": "Absent"})["output_display_data"] == ["10", ""]
    assert element._serialize(iter(["result1"]))["output_display_data"] == ["10"]
    assert element._serialize(None) is not without


class Label(str):
    pass


@pytest.mark.parametrize(
    ("value", "text"),
    [
        (None, "None"),
        (True, "True"),
        (False, "False"),
        ("text", "text"),
        ("", ""),
        (Label("label"), "label"),
        (10, "10"),
        (-3, "-3"),
        (2.5, "2.5"),
        (0.1, "0.1"),
        (1e16, "1e+16"),
        (float("nan"), "nan"),
        ([1, 2], "[1, 2]"),
    ],
)
def test_display_text_of_a_value(value, text: str) -> None:
    analysis = {"value": value}
    data = OptimizationResultElement(None, analysis)._serialize(["value", "absent"])["output_display_data"]
    assert type(data) is list
    assert data == [text, ""]
    assert [type(t) for t in data] == [str, str]


def test_str_value_passes_through_itself() -> None:
    text = "a label that is long enough not to be cached"
    data = OptimizationResultElement(None, {"k": text})._serialize(["k"])["output_display_data"]
    assert data[0] is text


def test_output_of_a_table_holds_plain_str_and_held_analysis() -> None:
    analyses = [{"a": 1, "b": None}, {"a": 2.5, "b": "x"}]
    rows = [OptimizationResultElement(None, a) for a in analyses]
    output = OptimizationResult(rows, ["field1"], {"a": "A", "b": "B"})._serialize()
    assert type(output["output_headers"]) is list
    assert [type(h) for h in output["output_headers"]] == [str, str]
    for row, analysis in zip(output["optimization"], analyses):
        assert type(row) is dict
        assert row["analysis"] is analysis
        assert type(row["output_display_data"]) is list
        assert [type(t) for t in row["output_display_data"]] == [str, str]
    assert [row["output_display_data"] for row in output["optimization"]] == [["1", "None"], ["2.5", "x"]]


def test_analysis_without_get_raises_attribute_error() -> None:
    element = OptimizationResultElement(None, {"a": 1})
    element._analysis_result = object()
    assert list(element._serialize(None)) == ["design", "analysis"]
    with pytest.raises(AttributeError):
        element._serialize(["a"])


def test_analysis_get_called_with_empty_default() -> None:
    calls: list = []

    class Lookup:
        def get(self, *args):
            calls.append(args)
            return 7

    element = OptimizationResultElement(None, {"a": 1})
    element._analysis_result = Lookup()
    assert element._serialize(["a", "b"])["output_display_data"] == ["7", "7"]
    assert calls == [("a", ""), ("b", "")]


@pytest.mark.parametrize("headers", [5, 2.5, object()])
def test_non_iterable_output_headers(headers) -> None:
    element = OptimizationResultElement(None, {"a": 1})
    with pytest.raises(TypeError) as excinfo:
        element._serialize(headers)
    assert excinfo.value.args == (f"'{type(headers).__name__}' object is not iterable",)


def test_str_raising_propagates() -> None:
    error = ArithmeticError("no text")

    class Unprintable:
        def __str__(self):
            raise error

    element = OptimizationResultElement(None, {"a": Unprintable()})
    with pytest.raises(ArithmeticError) as excinfo:
        element._serialize(["a"])
    assert excinfo.value is error


def test_each_header_reads_the_analysis_again_after_a_key_comparison_ran_python_code() -> None:
    """A stored key whose hash collides with a header's runs its __eq__ during the lookup;
    what that code rebinds is what the following headers see."""

    armed = []

    class CollidingKey:
        def __hash__(self) -> int:
            return hash("b")

        def __eq__(self, other: object) -> bool:
            if armed:
                armed[0]._analysis_result = {"a": "new", "b": "new"}
            return False

    element = OptimizationResultElement(None, {CollidingKey(): 0, "a": "old", "b": "old"})
    armed.append(element)
    assert element._serialize(["b", "a"])["output_display_data"] == ["old", "new"]
