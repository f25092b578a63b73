"""Argument binding of the functions of nembra.result and its error messages.

One table holds every refused call: the callable, its arguments, and the exception with
its whole message. Counts in the messages include the instance, which a bound method
passes first.
"""

import enum
import re
from collections import OrderedDict, defaultdict

import pytest
from munch import Munch

from nembra.result import (
    DownloadResult,
    NembraResult,
    OptimizationResult,
    OptimizationResultElement,
    SetParamsResult,
    _create_safe_file_name,
)


class Colour(str, enum.Enum):
    RED = "red"


class Text(str):
    pass


class Table(dict):
    pass


def blank(cls):
    """An instance whose __init__ has not run."""
    return cls.__new__(cls)


def bad_type(parameter, expected, got):
    return f"Argument '{parameter}' has incorrect type (expected {expected}, got {got})"


SPR = SetParamsResult
DR = DownloadResult
ORE = OptimizationResultElement
OR = OptimizationResult
NR = NembraResult


def call(function, args, kwargs, error, message, id):
    return pytest.param(function, args, kwargs, error, message, id=id)


CALLS = [
    # SetParamsResult.__init__ (self, params)
    call(SPR, (), {}, TypeError, "__init__() takes exactly 2 positional arguments (1 given)", id="spr-init-none"),
    call(SPR, ({}, {}), {}, TypeError, "__init__() takes exactly 2 positional arguments (3 given)", id="spr-init-two"),
    call(SPR, (), {"other": 1}, TypeError, "__init__() takes exactly 2 positional arguments (1 given)", id="spr-init-missing-with-unknown-keyword"),
    call(SPR, (), {"other": 1, "more": 2}, TypeError, "__init__() takes exactly 2 positional arguments (1 given)", id="spr-init-missing-with-two-unknown-keywords"),
    call(SPR, ({},), {"params": {}}, TypeError, "__init__() got multiple values for keyword argument 'params'", id="spr-init-params-twice"),
    call(SPR, ({},), {"other": 1}, TypeError, "__init__() got an unexpected keyword argument 'other'", id="spr-init-unknown-keyword"),
    call(SPR, (), {"params": {}, "other": 1}, TypeError, "__init__() got an unexpected keyword argument 'other'", id="spr-init-unknown-beside-params"),
    call(SPR.__init__, (), {}, TypeError, "__init__() takes exactly 2 positional arguments (0 given)", id="spr-init-no-instance"),
    call(SPR.__init__, (blank(SPR), {}, {}, {}), {}, TypeError, "__init__() takes exactly 2 positional arguments (4 given)", id="spr-init-through-class-too-many"),
    call(SPR.__init__, (blank(SPR), {}), {"self": blank(SPR)}, TypeError, "__init__() got multiple values for keyword argument 'self'", id="spr-init-self-twice"),
    call(SPR.__init__, (), {"self": blank(SPR), "params": {}, "other": 1}, TypeError, "__init__() got an unexpected keyword argument 'other'", id="spr-init-self-keyword-unknown"),
    call(SPR, (Munch(),), {}, TypeError, bad_type("params", "dict", "Munch"), id="spr-init-munch"),
    call(SPR, (), {"params": Munch(a=1)}, TypeError, bad_type("params", "dict", "Munch"), id="spr-init-munch-by-keyword"),
    call(SPR, (OrderedDict(),), {}, TypeError, bad_type("params", "dict", "collections.OrderedDict"), id="spr-init-ordered-dict"),
    call(SPR, (defaultdict(list),), {}, TypeError, bad_type("params", "dict", "collections.defaultdict"), id="spr-init-defaultdict"),
    call(SPR, (Table(),), {}, TypeError, bad_type("params", "dict", "Table"), id="spr-init-dict-subclass"),
    call(SPR, ([("a", 1)],), {}, TypeError, bad_type("params", "dict", "list"), id="spr-init-list-of-pairs"),
    call(SPR, ("tab",), {}, TypeError, bad_type("params", "dict", "str"), id="spr-init-str"),
    # SetParamsResult.get (self, key)
    call(blank(SPR).get, (), {}, TypeError, "get() takes exactly 2 positional arguments (1 given)", id="get-none"),
    call(blank(SPR).get, ("a", "b"), {}, TypeError, "get() takes exactly 2 positional arguments (3 given)", id="get-two"),
    call(blank(SPR).get, (), {"other": "a"}, TypeError, "get() takes exactly 2 positional arguments (1 given)", id="get-missing-with-unknown-keyword"),
    call(blank(SPR).get, ("a",), {"key": "a"}, TypeError, "get() got multiple values for keyword argument 'key'", id="get-key-twice"),
    call(blank(SPR).get, ("a",), {"other": 1}, TypeError, "get() got an unexpected keyword argument 'other'", id="get-unknown-keyword"),
    call(SPR.get, (), {}, TypeError, "get() takes exactly 2 positional arguments (0 given)", id="get-no-instance"),
    call(SPR.get, (blank(SPR), "a"), {"self": blank(SPR)}, TypeError, "get() got multiple values for keyword argument 'self'", id="get-self-twice"),
    call(blank(SPR).get, (1,), {}, TypeError, bad_type("key", "str", "int"), id="get-int"),
    call(blank(SPR).get, (b"tab",), {}, TypeError, bad_type("key", "str", "bytes"), id="get-bytes"),
    call(blank(SPR).get, (Colour.RED,), {}, TypeError, bad_type("key", "str", "Colour"), id="get-str-enum-member"),
    call(blank(SPR).get, (), {"key": Text("tab")}, TypeError, bad_type("key", "str", "Text"), id="get-str-subclass-by-keyword"),
    # SetParamsResult._serialize (self), one-argument shape
    call(blank(SPR)._serialize, (1,), {}, TypeError, "_serialize() takes exactly one argument (2 given)", id="spr-serialize-extra"),
    call(blank(SPR)._serialize, (1, 2), {}, TypeError, "_serialize() takes exactly one argument (3 given)", id="spr-serialize-two-extra"),
    call(SPR._serialize, (), {}, TypeError, "_serialize() takes exactly one argument (0 given)", id="spr-serialize-no-instance"),
    call(blank(SPR)._serialize, (), {"other": 1}, TypeError, "_serialize() takes no keyword arguments", id="spr-serialize-keyword"),
    call(SPR._serialize, (), {"self": blank(SPR)}, TypeError, "_serialize() takes no keyword arguments", id="spr-serialize-self-keyword"),
    # DownloadResult.__init__ (self, file_content=None, file_name=None, encoding="utf-8", *, zipped_files=None)
    call(DR, (b"x", "a.bin", "utf-8", None), {}, TypeError, "__init__() takes at most 4 positional arguments (5 given)", id="dr-init-four"),
    call(DR, (b"x", "a.bin", "utf-8", {}), {}, TypeError, "__init__() takes at most 4 positional arguments (5 given)", id="dr-init-mapping-by-position"),
    call(DR.__init__, (), {}, TypeError, "__init__() takes at least 1 positional argument (0 given)", id="dr-init-no-instance"),
    call(DR.__init__, (), {"file_content": b"x", "file_name": "a"}, TypeError, "__init__() takes at least 1 positional argument (0 given)", id="dr-init-no-instance-with-keywords"),
    call(DR, (b"x",), {"file_content": b"y"}, TypeError, "__init__() got multiple values for keyword argument 'file_content'", id="dr-init-content-twice"),
    call(DR, (b"x", "a", "ascii"), {"encoding": "ascii"}, TypeError, "__init__() got multiple values for keyword argument 'encoding'", id="dr-init-encoding-twice"),
    call(DR, (), {"other": 1}, TypeError, "__init__() got an unexpected keyword argument 'other'", id="dr-init-unknown-keyword"),
    call(DR, (), {"file_name": 5, "zipped": {}}, TypeError, "__init__() got an unexpected keyword argument 'zipped'", id="dr-init-binding-before-type-test"),
    call(DR, (), {"file_content": b"x", "file_name": 5}, TypeError, bad_type("file_name", "str", "int"), id="dr-init-name-int"),
    call(DR, (b"x", Text("a.txt")), {}, TypeError, bad_type("file_name", "str", "Text"), id="dr-init-name-str-subclass"),
    call(DR, (b"x", "a.txt", b"utf-8"), {}, TypeError, bad_type("encoding", "str", "bytes"), id="dr-init-encoding-bytes"),
    call(DR, (), {"file_content": b"x", "file_name": "a", "encoding": Colour.RED}, TypeError, bad_type("encoding", "str", "Colour"), id="dr-init-encoding-str-enum"),
    call(DR, (b"x", 5, 6), {}, TypeError, bad_type("file_name", "str", "int"), id="dr-init-name-tested-before-encoding"),
    call(DR, (), {"file_name": 5}, TypeError, bad_type("file_name", "str", "int"), id="dr-init-type-test-before-checks"),
    call(DR, (), {"encoding": 5}, TypeError, bad_type("encoding", "str", "int"), id="dr-init-encoding-test-before-checks"),
    call(DR, (), {}, ValueError, "Provide a 'file_name'", id="dr-init-nothing"),
    call(DR, (), {"file_content": b"x"}, ValueError, "Provide a 'file_name'", id="dr-init-no-name"),
    call(DR, (), {"file_name": "a.txt"}, ValueError, "Provide at least one of 'file_content' or 'zipped_files'", id="dr-init-no-content"),
    call(DR, (b"x", "a.zip"), {"zipped_files": {}}, ValueError, "Provide one of 'file_content' or 'zipped_files', not both", id="dr-init-both"),
    # DownloadResult._serialize (self), one-argument shape
    call(blank(DR)._serialize, (None,), {}, TypeError, "_serialize() takes exactly one argument (2 given)", id="dr-serialize-extra"),
    call(DR._serialize, (), {}, TypeError, "_serialize() takes exactly one argument (0 given)", id="dr-serialize-no-instance"),
    call(blank(DR)._serialize, (), {"zipped_files": {}}, TypeError, "_serialize() takes no keyword arguments", id="dr-serialize-keyword"),
    # OptimizationResultElement.__init__ (self, params, analysis_result=None)
    call(ORE, (), {}, TypeError, "__init__() takes at least 2 positional arguments (1 given)", id="ore-init-none"),
    call(ORE, ({}, {}, {}), {}, TypeError, "__init__() takes at most 3 positional arguments (4 given)", id="ore-init-three"),
    call(ORE, (), {"analysis_result": {}}, TypeError, "__init__() takes at least 2 positional arguments (1 given)", id="ore-init-params-missing"),
    call(ORE, (), {"other": 1}, TypeError, "__init__() takes at least 2 positional arguments (1 given)", id="ore-init-missing-with-unknown-keyword"),
    call(ORE.__init__, (), {}, TypeError, "__init__() takes at least 2 positional arguments (0 given)", id="ore-init-no-instance"),
    call(ORE, ({},), {"params": {}}, TypeError, "__init__() got multiple values for keyword argument 'params'", id="ore-init-params-twice"),
    call(ORE, ({}, {"a": 1}), {"analysis_result": {}}, TypeError, "__init__() got multiple values for keyword argument 'analysis_result'", id="ore-init-analysis-twice"),
    call(ORE, ({},), {"analysis": {}}, TypeError, "__init__() got an unexpected keyword argument 'analysis'", id="ore-init-unknown-keyword"),
    call(ORE, ({}, Munch()), {"other": 1}, TypeError, "__init__() got an unexpected keyword argument 'other'", id="ore-init-binding-before-type-test"),
    call(ORE, ({}, Munch(a=1)), {}, TypeError, bad_type("analysis_result", "dict", "Munch"), id="ore-init-munch"),
    call(ORE, ({}, [("a", 1)]), {}, TypeError, bad_type("analysis_result", "dict", "list"), id="ore-init-list"),
    call(ORE, (), {"params": {}, "analysis_result": OrderedDict(a=1)}, TypeError, bad_type("analysis_result", "dict", "collections.OrderedDict"), id="ore-init-ordered-dict"),
    # OptimizationResultElement._serialize (self, output_headers)
    call(blank(ORE)._serialize, (), {}, TypeError, "_serialize() takes exactly 2 positional arguments (1 given)", id="ore-serialize-none"),
    call(blank(ORE)._serialize, (None, None), {}, TypeError, "_serialize() takes exactly 2 positional arguments (3 given)", id="ore-serialize-two"),
    call(blank(ORE)._serialize, (), {"headers": {}}, TypeError, "_serialize() takes exactly 2 positional arguments (1 given)", id="ore-serialize-missing-with-unknown-keyword"),
    call(blank(ORE)._serialize, (None,), {"output_headers": None}, TypeError, "_serialize() got multiple values for keyword argument 'output_headers'", id="ore-serialize-headers-twice"),
    call(blank(ORE)._serialize, (None,), {"headers": None}, TypeError, "_serialize() got an unexpected keyword argument 'headers'", id="ore-serialize-unknown-keyword"),
    call(ORE._serialize, (), {}, TypeError, "_serialize() takes exactly 2 positional arguments (0 given)", id="ore-serialize-no-instance"),
    # OptimizationResult.__init__ (self, results, result_column_names_input=None, output_headers=None, image=None)
    call(OR, (), {}, TypeError, "__init__() takes at least 2 positional arguments (1 given)", id="or-init-none"),
    call(OR, ([], None, None, None, None), {}, TypeError, "__init__() takes at most 5 positional arguments (6 given)", id="or-init-five"),
    call(OR, (), {"image": None, "output_headers": {}}, TypeError, "__init__() takes at least 2 positional arguments (1 given)", id="or-init-results-missing"),
    call(OR, ([],), {"results": []}, TypeError, "__init__() got multiple values for keyword argument 'results'", id="or-init-results-twice"),
    call(OR, ([], None, None, None), {"image": None}, TypeError, "__init__() got multiple values for keyword argument 'image'", id="or-init-image-twice"),
    call(OR, ([],), {"images": None}, TypeError, "__init__() got an unexpected keyword argument 'images'", id="or-init-unknown-keyword"),
    call(OR, ([], None, [("a", "A")]), {}, TypeError, bad_type("output_headers", "dict", "list"), id="or-init-headers-list"),
    call(OR, ([],), {"output_headers": Munch(a="A")}, TypeError, bad_type("output_headers", "dict", "Munch"), id="or-init-headers-munch"),
    call(OR, ([],), {"output_headers": OrderedDict()}, TypeError, bad_type("output_headers", "dict", "collections.OrderedDict"), id="or-init-headers-ordered-dict"),
    # OptimizationResult._serialize (self), one-argument shape
    call(blank(OR)._serialize, ({},), {}, TypeError, "_serialize() takes exactly one argument (2 given)", id="or-serialize-extra"),
    call(OR._serialize, (), {}, TypeError, "_serialize() takes exactly one argument (0 given)", id="or-serialize-no-instance"),
    call(OR._serialize, (), {"self": blank(OR)}, TypeError, "_serialize() takes no keyword arguments", id="or-serialize-self-keyword"),
    call(blank(OR)._serialize, (), {"self": None}, TypeError, "_serialize() takes no keyword arguments", id="or-serialize-bound-self-keyword"),
    # NembraResult.__init__ (self, optimisation_result=None, set_parameters_result=None, download_result=None,
    #                        *, optimization_result=None, set_params_result=None)
    call(NR, (None, None, None, None), {}, TypeError, "__init__() takes at most 4 positional arguments (5 given)", id="nr-init-four"),
    call(NR.__init__, (), {}, TypeError, "__init__() takes at least 1 positional argument (0 given)", id="nr-init-no-instance"),
    call(NR.__init__, (), {"optimization_result": None}, TypeError, "__init__() takes at least 1 positional argument (0 given)", id="nr-init-no-instance-with-keyword"),
    call(NR, (None,), {"optimisation_result": None}, TypeError, "__init__() got multiple values for keyword argument 'optimisation_result'", id="nr-init-optimisation-twice"),
    call(NR, (None, None, None), {"download_result": None}, TypeError, "__init__() got multiple values for keyword argument 'download_result'", id="nr-init-download-twice"),
    call(NR.__init__, (blank(NR),), {"self": blank(NR)}, TypeError, "__init__() got multiple values for keyword argument 'self'", id="nr-init-self-twice"),
    call(NR, (), {"optimisation": None}, TypeError, "__init__() got an unexpected keyword argument 'optimisation'", id="nr-init-unknown-keyword"),
    call(NR, (), {"set_params_result": None, "set_param_result": None}, TypeError, "__init__() got an unexpected keyword argument 'set_param_result'", id="nr-init-unknown-beside-known"),
    # NembraResult._serialize (self), one-argument shape
    call(blank(NR)._serialize, (None,), {}, TypeError, "_serialize() takes exactly one argument (2 given)", id="nr-serialize-extra"),
    call(NR._serialize, (), {}, TypeError, "_serialize() takes exactly one argument (0 given)", id="nr-serialize-no-instance"),
    call(blank(NR)._serialize, (), {"other": None}, TypeError, "_serialize() takes no keyword arguments", id="nr-serialize-keyword"),
    # _create_safe_file_name (file_name), one-argument shape
    call(_create_safe_file_name, (), {}, TypeError, "_create_safe_file_name() takes exactly one argument (0 given)", id="safe-name-none"),
    call(_create_safe_file_name, ("a", "b"), {}, TypeError, "_create_safe_file_name() takes exactly one argument (2 given)", id="safe-name-two"),
    call(_create_safe_file_name, (), {"file_name": "a"}, TypeError, "_create_safe_file_name() takes no keyword arguments", id="safe-name-keyword"),
    call(_create_safe_file_name, (5,), {}, TypeError, bad_type("file_name", "str", "int"), id="safe-name-int"),
    call(_create_safe_file_name, (b"a.txt",), {}, TypeError, bad_type("file_name", "str", "bytes"), id="safe-name-bytes"),
    call(_create_safe_file_name, (Text("a.txt"),), {}, TypeError, bad_type("file_name", "str", "Text"), id="safe-name-str-subclass"),
    call(_create_safe_file_name, (Colour.RED,), {}, TypeError, bad_type("file_name", "str", "Colour"), id="safe-name-str-enum"),
]


@pytest.mark.parametrize(("function", "args", "kwargs", "error", "message"), CALLS)
def test_refused_call(function, args, kwargs, error, message):
    with pytest.raises(error) as raised:
        function(*args, **kwargs)
    assert type(raised.value) is error
    assert raised.value.args == (message,)


CONSTRUCTOR_CALLS = [
    pytest.param(*case.values, id=case.id)
    for case in CALLS
    if isinstance(case.values[0], type)
]


@pytest.mark.parametrize(("cls", "args", "kwargs", "error", "message"), CONSTRUCTOR_CALLS)
def test_refused_construction_stores_nothing(cls, args, kwargs, error, message):
    instance = blank(cls)
    with pytest.raises(error) as raised:
        cls.__init__(instance, *args, **kwargs)
    assert str(raised.value) == message
    assert vars(instance) == {}


@pytest.mark.parametrize(
    "function",
    [
        SPR,
        SPR.__init__,
        blank(SPR).get,
        blank(SPR)._serialize,
        DR,
        blank(DR)._serialize,
        ORE,
        blank(ORE)._serialize,
        OR,
        blank(OR)._serialize,
        NR,
        blank(NR)._serialize,
        _create_safe_file_name,
    ],
    ids=lambda function: getattr(function, "__qualname__", repr(function)),
)
def test_non_string_keywords_are_refused(function):
    # The interpreter itself refuses such a call before the function sees it.
    name = "__init__" if isinstance(function, type) else function.__name__
    with pytest.raises(TypeError) as raised:
        function(**{1: 2})
    assert str(raised.value) in ("keywords must be strings", f"{name}() keywords must be strings")


@pytest.mark.parametrize(
    ("construct", "attributes"),
    [
        pytest.param(lambda: SPR(None), {"_data": None}, id="spr-none"),
        pytest.param(lambda: SPR(params=None), {"_data": None}, id="spr-none-by-keyword"),
        pytest.param(lambda: SPR.__init__(**{"self": SPR.__new__(SPR), "params": {}}), None, id="spr-all-by-keyword"),
        pytest.param(
            lambda: DR(b"x", "a.txt", None),
            {"_file_content": b"x", "_file_name": "a.txt", "_encoding": None, "_zipped_files": None},
            id="dr-encoding-none",
        ),
        pytest.param(
            lambda: DR(**{"zipped_files": {}, "file_name": "a b.zip"}),
            {"_file_content": None, "_file_name": "a_b.zip", "_encoding": "utf-8", "_zipped_files": {}},
            id="dr-keywords-from-dict",
        ),
        pytest.param(lambda: ORE(None, None), {"_parameter_set": None, "_analysis_result": {}}, id="ore-analysis-none"),
        pytest.param(
            lambda: OR([], None, None, None),
            {
                "result_column_names_input": [],
                "result_column_names_result": [],
                "_output_headers": {},
                "_OptimizationResult__results": [],
                "_view_results": [],
            },
            id="or-headers-none",
        ),
        pytest.param(
            lambda: NR(**{"optimization_result": None, "set_params_result": None}),
            {"_optimization_result": None, "_set_params_result": None, "_download_result": None},
            id="nr-keyword-only-from-dict",
        ),
    ],
)
def test_accepted_calls(construct, attributes):
    result = construct()
    if attributes is None:
        assert result is None
    else:
        assert vars(result) == attributes


def test_none_passes_the_key_test_of_get():
    result = SPR({None: "value"})
    assert result.get(None) == "value"
    with pytest.raises(KeyError) as raised:
        SPR({}).get(None)
    assert raised.value.args == (None,)


def test_none_passes_the_name_test_and_reaches_re_sub():
    with pytest.raises(TypeError) as expected:
        re.sub("[^A-Za-z0-9.]", "_", None)
    with pytest.raises(TypeError) as raised:
        _create_safe_file_name(None)
    assert str(raised.value) == str(expected.value)


@pytest.mark.parametrize(
    ("function", "expected"),
    [
        pytest.param(lambda: SPR({"a": 1})._serialize(**{}), {"parameters": {"a": 1}}, id="spr"),
        pytest.param(lambda: NR()._serialize(**{}), {}, id="nr"),
        pytest.param(lambda: _create_safe_file_name("a b", **{}), "a_b", id="safe-name"),
        pytest.param(lambda: SPR._serialize(*[SPR({})]), {"parameters": {}}, id="spr-through-class"),
    ],
)
def test_one_argument_shape_accepts_an_empty_keyword_dict(function, expected):
    assert function() == expected
