"""NembraResult: holding results under either spelling and merging their outputs."""

from __future__ import annotations

import itertools
from collections.abc import Mapping

import pytest

from nembra.result import (
    DownloadResult,
    NembraResult,
    OptimizationResult,
    OptimizationResultElement,
    SetParamsResult,
)

OPTIMIZATION_KEYS = ["input_columns", "optimization", "output_headers", "views"]


class Held:
    """A held result: counts its _serialize calls and returns a fixed value."""

    def __init__(self, output, log: list | None = None, name: str = "", error: BaseException | None = None) -> None:
        self.output = output
        self.log = log if log is not None else []
        self.name = name
        self.error = error
        self.calls = 0

    def _serialize(self, *args, **kwargs):
        assert (args, kwargs) == ((), {})
        self.calls += 1
        self.log.append(self.name)
        if self.error is not None:
            raise self.error
        return self.output


class FalseHeld(Held):
    def __len__(self) -> int:
        return 0


# Downloads upload to the fake client of conftest.py (the fake_api fixture), whose URLs
# read file:///uploads/<number>/<file name>.


def update_of(*outputs) -> dict:
    merged: dict = {}
    for output in outputs:
        merged.update(output)
    return merged


# --- real results together -------------------------------------------------------------


@pytest.mark.parametrize(
    ("with_optimization", "with_set_params", "with_download"),
    list(itertools.product([False, True], repeat=3)),
)
def test_combinations_of_held_results(
    fake_api: type, with_optimization: bool, with_set_params: bool, with_download: bool
) -> None:
    columns = ["field1"]
    optimization = OptimizationResult(
        [OptimizationResultElement({"tab": {"section": {"field1": "a"}}}, {"result1": 10})],
        columns,
        {"result1": "Result 1"},
    )
    set_params = SetParamsResult({"tab": {"section": {"field1": "b"}}})
    download = DownloadResult(file_content=b"x", file_name="my file.txt")

    combined = NembraResult(
        optimization if with_optimization else None,
        set_params if with_set_params else None,
        download if with_download else None,
    )
    output = combined._serialize()

    expected: dict = {}
    if with_optimization:
        expected.update(
            {
                "input_columns": ["field1"],
                "optimization": [
                    {
                        "design": {"tab": {"section": {"field1": "a"}}},
                        "analysis": {"result1": 10},
                        "output_display_data": ["10"],
                    }
                ],
                "output_headers": ["Result 1"],
                "views": {"definitions": [], "data": []},
            }
        )
    if with_set_params:
        expected["parameters"] = {"tab": {"section": {"field1": "b"}}}
    if with_download:
        expected["url"] = "file:///uploads/0/my_file.txt"

    assert type(output) is dict
    assert output == expected
    assert list(output) == list(expected)
    if with_optimization:
        assert output["input_columns"] is columns
    if with_download:
        assert output["url"] is fake_api.urls[0]
    assert len(fake_api.urls) == (1 if with_download else 0)


def test_all_three_key_order(fake_api: type) -> None:
    output = NembraResult(
        optimization_result=OptimizationResult([]),
        set_params_result=SetParamsResult({}),
        download_result=DownloadResult(zipped_files={}, file_name="a.zip"),
    )._serialize()
    assert list(output) == OPTIMIZATION_KEYS + ["parameters", "url"]


def test_empty_result_serialises_to_a_new_empty_dict() -> None:
    result = NembraResult()
    assert vars(result) == {"_optimization_result": None, "_set_params_result": None, "_download_result": None}
    first = result._serialize()
    second = result._serialize()
    assert first == {}
    assert type(first) is dict
    assert first is not second


# --- merging ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("held", "expected"),
    [
        ((True, True, True), {"shared": "download", "o": 1, "s": 2, "d": 3}),
        ((True, True, False), {"shared": "set params", "o": 1, "s": 2}),
        ((True, False, True), {"shared": "download", "o": 1, "d": 3}),
        ((False, True, True), {"shared": "download", "s": 2, "d": 3}),
        ((True, False, False), {"shared": "optimization", "o": 1}),
    ],
)
def test_later_merge_wins_on_a_shared_key(held: tuple, expected: dict) -> None:
    outputs = [
        {"shared": "optimization", "o": 1},
        {"s": 2, "shared": "set params"},
        {"d": 3, "shared": "download"},
    ]
    results = [Held(output) if present else None for output, present in zip(outputs, held)]
    output = NembraResult(*results)._serialize()
    assert output == expected
    assert list(output) == list(update_of(*[o for o, present in zip(outputs, held) if present]))


def test_held_values_are_placed_not_copied() -> None:
    value = ["held"]
    output = NembraResult(Held({"a": value}))._serialize()
    assert output["a"] is value


def test_returned_dict_is_not_the_held_results_dict() -> None:
    returned = {"parameters": {}}
    output = NembraResult(set_params_result=Held(returned))._serialize()
    assert output == returned
    assert output is not returned


class Pairs(Mapping):
    """A mapping that is not a dict."""

    def __init__(self, pairs: list) -> None:
        self.pairs = pairs

    def __getitem__(self, key):
        return dict(self.pairs)[key]

    def __iter__(self):
        return (key for key, _ in self.pairs)

    def __len__(self) -> int:
        return len(self.pairs)


class KeysOnly:
    """Not a Mapping, but has keys() and __getitem__, which is what dict.update takes."""

    def keys(self):
        return ["k2", "k1"]

    def __getitem__(self, key):
        return key.upper()


@pytest.mark.parametrize(
    "make",
    [
        lambda: Pairs([("z", 1), ("a", 2)]),
        lambda: KeysOnly(),
        lambda: [("z", 1), ("a", 2), ("z", 3)],
        lambda: (["pair", "one"], "ab"),
        lambda: iter([("g", 1), ("a", "new")]),
    ],
    ids=["mapping", "keys-and-getitem", "pairs", "two-item-sequences", "iterator"],
)
def test_non_dict_output_merged_like_dict_update(make) -> None:
    before = {"first": 0, "a": "old"}
    expected = update_of(before, make())
    output = NembraResult(Held(before), Held(make()))._serialize()
    assert output == expected
    assert list(output) == list(expected)


@pytest.mark.parametrize("returned", [None, 5, [1, 2], ["abc"]], ids=repr)
def test_output_that_cannot_be_merged(returned) -> None:
    with pytest.raises(Exception) as raised:
        {}.update(returned)
    later = Held({"url": "u"})
    with pytest.raises(type(raised.value)) as excinfo:
        NembraResult(None, Held(returned), later)._serialize()
    assert type(excinfo.value) is type(raised.value)
    assert excinfo.value.args == raised.value.args
    assert later.calls == 0


def test_none_output_raises_type_error() -> None:
    with pytest.raises(TypeError) as excinfo:
        NembraResult(download_result=Held(None))._serialize()
    assert excinfo.value.args == ("'NoneType' object is not iterable",)


@pytest.mark.parametrize("failing", [0, 1, 2])
def test_held_result_error_stops_the_merge(failing: int) -> None:
    log: list = []
    error = RuntimeError("held result failed")
    held = [Held({}, log, name, error if i == failing else None) for i, name in enumerate("osd")]
    with pytest.raises(RuntimeError) as excinfo:
        NembraResult(*held)._serialize()
    assert excinfo.value is error
    assert log == list("osd"[: failing + 1])


# --- spellings and truth values --------------------------------------------------------


def test_british_forms_by_position_and_keyword() -> None:
    o, s, d = Held({}), Held({}), Held({})
    assert NembraResult(o)._optimization_result is o
    assert NembraResult(optimisation_result=o)._optimization_result is o
    assert NembraResult(None, s)._set_params_result is s
    assert NembraResult(set_parameters_result=s)._set_params_result is s
    assert NembraResult(None, None, d)._download_result is d
    assert list(vars(NembraResult(o, s, d))) == ["_optimization_result", "_set_params_result", "_download_result"]


def test_true_american_forms_are_stored() -> None:
    british_o, american_o = Held({"from": "british o"}), Held({"from": "american o"})
    british_s, american_s = Held({"by": "british s"}), Held({"by": "american s"})
    result = NembraResult(british_o, british_s, optimization_result=american_o, set_params_result=american_s)
    assert result._optimization_result is american_o
    assert result._set_params_result is american_s
    assert result._serialize() == {"from": "american o", "by": "american s"}
    assert (british_o.calls, british_s.calls) == (0, 0)
    assert (american_o.calls, american_s.calls) == (1, 1)


@pytest.mark.parametrize(
    "american",
    [None, FalseHeld({"american": 1}), 0, "", []],
    ids=["None", "len-0", "zero", "empty-str", "empty-list"],
)
def test_false_american_forms_fall_back_to_british(american) -> None:
    british_o, british_s = Held({"o": 1}), Held({"s": 2})
    result = NembraResult(british_o, british_s, optimization_result=american, set_params_result=american)
    assert result._optimization_result is british_o
    assert result._set_params_result is british_s
    assert result._serialize() == {"o": 1, "s": 2}


def test_false_american_form_alone_is_not_stored() -> None:
    falsy = FalseHeld({"american": 1})
    result = NembraResult(optimization_result=falsy, set_params_result=falsy)
    assert result._optimization_result is None
    assert result._set_params_result is None
    assert result._serialize() == {}
    assert falsy.calls == 0


def test_false_british_form_is_stored_and_serialised() -> None:
    british = FalseHeld({"british": 1})
    american = FalseHeld({"american": 1})
    result = NembraResult(british, optimization_result=american)
    assert result._optimization_result is british
    assert result._serialize() == {"british": 1}
    assert (british.calls, american.calls) == (1, 0)


def test_false_download_result_is_serialised() -> None:
    download = FalseHeld({"url": "u"})
    assert NembraResult(download_result=download)._serialize() == {"url": "u"}


@pytest.mark.parametrize(
    ("kwargs", "attribute"),
    [({"optimisation_result": 0}, "_optimization_result"), ({"download_result": ""}, "_download_result")],
)
def test_held_value_without_serialize(kwargs: dict, attribute: str) -> None:
    result = NembraResult(**kwargs)
    held = getattr(result, attribute)
    assert held is next(iter(kwargs.values()))
    with pytest.raises(AttributeError) as raised:
        held._serialize
    with pytest.raises(AttributeError) as excinfo:
        result._serialize()
    assert excinfo.value.args == raised.value.args


def test_failing_truth_test_propagates_from_init() -> None:
    error = ZeroDivisionError("no truth")

    class FailingTruth:
        def __bool__(self) -> bool:
            raise error

    o = Held({})
    result = NembraResult.__new__(NembraResult)
    with pytest.raises(ZeroDivisionError) as excinfo:
        result.__init__(None, None, None, optimization_result=o, set_params_result=FailingTruth())
    assert excinfo.value is error
    assert vars(result) == {"_optimization_result": o}


# --- state after construction ----------------------------------------------------------


def test_attributes_replaced_after_construction_are_used() -> None:
    result = NembraResult(Held({"o": 1}), None, Held({"url": "u"}))
    assert list(result._serialize()) == ["o", "url"]
    result._download_result = None
    assert result._serialize() == {"o": 1}
    result._set_params_result = Held({"parameters": {}})
    assert result._serialize() == {"o": 1, "parameters": {}}
    result._optimization_result = None
    assert result._serialize() == {"parameters": {}}


@pytest.mark.parametrize("attribute", ["_optimization_result", "_set_params_result", "_download_result"])
def test_missing_attribute_raises_attribute_error(attribute: str) -> None:
    result = NembraResult()
    delattr(result, attribute)
    with pytest.raises(AttributeError):
        result._serialize()


def test_each_serialize_serialises_every_held_result_again() -> None:
    held = [Held({"o": 1}), Held({"s": 2}), Held({"d": 3})]
    result = NembraResult(*held)
    first = result._serialize()
    second = result._serialize()
    assert first is not second
    assert first == second == {"o": 1, "s": 2, "d": 3}
    assert [h.calls for h in held] == [2, 2, 2]


def test_each_serialize_uploads_the_download_again(fake_api: type) -> None:
    result = NembraResult(download_result=DownloadResult(file_content="x", file_name="a.txt"))
    first = result._serialize()
    second = result._serialize()
    assert first == {"url": "file:///uploads/0/a.txt"}
    assert second == {"url": "file:///uploads/1/a.txt"}
