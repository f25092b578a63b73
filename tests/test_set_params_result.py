"""SetParamsResult: storing a parameter set, reading entries back, serialising it."""

from __future__ import annotations

import builtins
import enum
from collections import OrderedDict
from collections.abc import Mapping

import pytest
from munch import Munch

import nembra.result
from nembra.parametrization import _serialize_params
from nembra.result import SetParamsResult

from conftest import Recorder

# The recorder fixture (conftest.py) binds a Recorder as _serialize_params.


def subscript_error(obj, key) -> TypeError:
    try:
        obj[key]
    except TypeError as error:
        return error
    raise AssertionError("subscripting did not fail")


# --- construction ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "make",
    [lambda d: SetParamsResult(d), lambda d: SetParamsResult(params=d)],
    ids=["positional", "keyword"],
)
@pytest.mark.parametrize("params", [{"tab_1": {"section_1": {"numberfield_1": 1234}}}, {}, None])
def test_params_stored_as_the_same_object(make, params) -> None:
    result = make(params)
    assert result._data is params
    assert vars(result) == {"_data": params}


@pytest.mark.parametrize(
    ("params", "type_name"),
    [
        (Munch(tab_1={}), "Munch"),
        (OrderedDict(tab_1={}), "collections.OrderedDict"),
        ([("tab_1", {})], "list"),
    ],
)
def test_refused_params_set_nothing(params, type_name: str) -> None:
    result = SetParamsResult.__new__(SetParamsResult)
    with pytest.raises(TypeError) as excinfo:
        result.__init__(params)
    assert excinfo.value.args == (
        f"Argument 'params' has incorrect type (expected dict, got {type_name})",
    )
    assert vars(result) == {}
    with pytest.raises(TypeError):
        SetParamsResult(params=params)


def test_refused_params_leave_existing_data_alone() -> None:
    held = {"tab_1": 1}
    result = SetParamsResult(held)
    with pytest.raises(TypeError):
        result.__init__(Munch())
    assert result._data is held


# --- get -------------------------------------------------------------------------------


def test_get_returns_the_held_object() -> None:
    section = {"section_1": {"numberfield_1": 1234}}
    result = SetParamsResult({"tab_1": section, "tab_2": None})
    assert result.get("tab_1") is section
    assert result.get(key="tab_1") is section
    assert result.get("tab_2") is None


@pytest.mark.parametrize("key", ["absent", "", None])
def test_get_missing_key_raises_key_error_with_the_key(key) -> None:
    result = SetParamsResult({"tab_1": 1})
    with pytest.raises(KeyError) as excinfo:
        result.get(key)
    assert type(excinfo.value) is KeyError
    assert excinfo.value.args == (key,)


def test_get_none_reads_the_entry_under_none() -> None:
    value = object()
    result = SetParamsResult({None: value, "None": 1})
    assert result.get(None) is value


class Tab(str, enum.Enum):
    FIRST = "tab_1"


class Name(str):
    pass


@pytest.mark.parametrize(
    ("key", "type_name"),
    [(Tab.FIRST, "Tab"), (Name("tab_1"), "Name"), (1, "int"), (b"tab_1", "bytes")],
)
def test_get_refuses_keys_that_are_not_exactly_str(key, type_name: str) -> None:
    result = SetParamsResult({"tab_1": 1, key: 2})
    with pytest.raises(TypeError) as excinfo:
        result.get(key)
    assert excinfo.value.args == (
        f"Argument 'key' has incorrect type (expected str, got {type_name})",
    )


def test_get_on_none_data_raises_the_interpreters_type_error() -> None:
    result = SetParamsResult(None)
    with pytest.raises(TypeError) as excinfo:
        result.get("tab_1")
    assert excinfo.value.args == subscript_error(None, "tab_1").args


class TabLookup(Mapping):
    def __init__(self) -> None:
        self.asked: list = []

    def __getitem__(self, key):
        self.asked.append(key)
        if key == "boom":
            raise LookupError("no such tab")
        return ("value of", key)

    def __iter__(self):
        return iter(())

    def __len__(self) -> int:
        return 0


def test_get_uses_a_replaced_mapping_through_getitem() -> None:
    result = SetParamsResult({})
    lookup = TabLookup()
    result._data = lookup
    assert result.get("tab_1") == ("value of", "tab_1")
    assert result.get(None) == ("value of", None)
    with pytest.raises(LookupError, match="^no such tab$"):
        result.get("boom")
    assert lookup.asked == ["tab_1", None, "boom"]


def test_get_reads_data_at_each_call() -> None:
    result = SetParamsResult({"tab_1": 1})
    result._data = {"tab_1": 2}
    assert result.get("tab_1") == 2
    del result._data
    with pytest.raises(AttributeError):
        result.get("tab_1")


# --- _serialize ------------------------------------------------------------------------


@pytest.mark.parametrize("params", [{"tab_1": {"section_1": {"numberfield_1": None}}}, {}, None])
def test_serialize_holds_what_serialize_params_returned(recorder: Recorder, params) -> None:
    output = SetParamsResult(params)._serialize()
    assert type(output) is dict
    assert list(output) == ["parameters"]
    assert output["parameters"] is recorder.returned[0]
    assert len(recorder.calls) == 1
    (args, kwargs), = recorder.calls
    assert kwargs == {}
    assert len(args) == 1 and args[0] is params


def test_serialize_with_the_real_serialize_params() -> None:
    params = {"tab_1": Munch(section_1={"numberfield_1": 1234})}
    output = SetParamsResult(params)._serialize()
    assert output == {"parameters": {"tab_1": {"section_1": {"numberfield_1": 1234}}}}
    assert type(output["parameters"]["tab_1"]) is dict


def test_each_serialize_is_new_work(recorder: Recorder) -> None:
    result = SetParamsResult({"tab_1": 1})
    first = result._serialize()
    second = result._serialize()
    assert first is not second
    assert len(recorder.calls) == 2
    assert first["parameters"] is recorder.returned[0]
    assert second["parameters"] is recorder.returned[1]
    assert first["parameters"] is not second["parameters"]


def test_rebinding_serialize_params_serves_later_calls(monkeypatch: pytest.MonkeyPatch) -> None:
    result = SetParamsResult({"tab_1": Munch(a=1)})
    assert result._serialize() == {"parameters": {"tab_1": {"a": 1}}}
    monkeypatch.setitem(vars(nembra.result), "_serialize_params", lambda params: ("seen", params))
    assert result._serialize() == {"parameters": ("seen", result._data)}
    monkeypatch.setitem(vars(nembra.result), "_serialize_params", lambda params: "again")
    assert result._serialize() == {"parameters": "again"}


def test_missing_serialize_params_raises_name_error(namespace: dict) -> None:
    assert not hasattr(builtins, "_serialize_params")
    result = SetParamsResult({})
    del namespace["_serialize_params"]
    with pytest.raises(NameError) as excinfo:
        result._serialize()
    assert type(excinfo.value) is NameError
    assert excinfo.value.args == ("name '_serialize_params' is not defined",)
    namespace["_serialize_params"] = _serialize_params
    assert result._serialize() == {"parameters": {}}


def test_builtin_serves_when_module_name_is_missing(monkeypatch: pytest.MonkeyPatch, namespace: dict) -> None:
    monkeypatch.setattr(builtins, "_serialize_params", lambda params: ("builtin", params), raising=False)
    del namespace["_serialize_params"]
    params = {"tab_1": 1}
    assert SetParamsResult(params)._serialize() == {"parameters": ("builtin", params)}


def test_serialize_params_error_propagates(monkeypatch: pytest.MonkeyPatch) -> None:
    error = ValueError("bad parameter set")

    def failing(params):
        raise error

    monkeypatch.setitem(vars(nembra.result), "_serialize_params", failing)
    with pytest.raises(ValueError) as excinfo:
        SetParamsResult({})._serialize()
    assert excinfo.value is error


def test_serialize_without_data_raises_attribute_error(recorder: Recorder) -> None:
    result = SetParamsResult({})
    del result._data
    with pytest.raises(AttributeError):
        result._serialize()
    assert recorder.calls == []


# --- the caller's dict -----------------------------------------------------------------


def test_later_changes_to_the_callers_dict_show() -> None:
    params: dict = {}
    result = SetParamsResult(params)
    with pytest.raises(KeyError):
        result.get("tab_1")
    section = {"section_1": {"numberfield_1": 5}}
    params["tab_1"] = section
    assert result.get("tab_1") is section
    assert result._serialize() == {"parameters": {"tab_1": {"section_1": {"numberfield_1": 5}}}}
    del params["tab_1"]
    assert result._serialize() == {"parameters": {}}
