"""Generated calls of every function of nembra.result: binding behaves like a Python function.

Calls go through the class, so `self` is an ordinary first parameter. Each generated call
has 0 to 7 positional arguments and a set of keywords drawn from the parameter names and
from names that no function has, with values of many types (None, dicts, Munch,
OrderedDict, str and a str subclass, numbers, bytes, lists, bare objects, files, empty
and constructed instances of the five classes).

The oracle for the general shape is inspect.signature(f).bind(*args, **kwargs):

- when it refuses the call, the function raises TypeError with the binding message that
  the call deserves (too many or too few positional arguments, multiple values, an
  unexpected keyword);
- when it accepts the call, the only binding TypeError allowed is the argument-type
  message for the first dict- or str-typed parameter holding a non-None value of another
  type; otherwise the call returns, or fails inside the body with an error that is not a
  binding message.

The one-argument shape (the _serialize methods without parameters and
_create_safe_file_name) refuses every keyword and every count other than one.

Generated examples: GENERAL_EXAMPLES (150) for each of the 7 general functions,
ONE_ARGUMENT_EXAMPLES (80) for each of the 5 one-argument functions and NAME_EXAMPLES
(250) texts for _create_safe_file_name: 1700 in all.
"""

import ctypes
import inspect
import io
import re
from collections import OrderedDict

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from munch import Munch

import nembra.result as result
from nembra.core import File
from nembra.result import (
    DownloadResult,
    NembraResult,
    OptimizationResult,
    OptimizationResultElement,
    SetParamsResult,
    _create_safe_file_name,
)

GENERAL_EXAMPLES = 150
ONE_ARGUMENT_EXAMPLES = 80
NAME_EXAMPLES = 250

GENERAL = {
    "SetParamsResult.__init__": (SetParamsResult.__init__, {"params": dict}),
    "SetParamsResult.get": (SetParamsResult.get, {"key": str}),
    "DownloadResult.__init__": (DownloadResult.__init__, {"file_name": str, "encoding": str}),
    "OptimizationResultElement.__init__": (OptimizationResultElement.__init__, {"analysis_result": dict}),
    "OptimizationResultElement._serialize": (OptimizationResultElement._serialize, {}),
    "OptimizationResult.__init__": (OptimizationResult.__init__, {"output_headers": dict}),
    "NembraResult.__init__": (NembraResult.__init__, {}),
}

ONE_ARGUMENT = {
    "SetParamsResult._serialize": (SetParamsResult._serialize, {}),
    "DownloadResult._serialize": (DownloadResult._serialize, {}),
    "OptimizationResult._serialize": (OptimizationResult._serialize, {}),
    "NembraResult._serialize": (NembraResult._serialize, {}),
    "_create_safe_file_name": (_create_safe_file_name, {"file_name": str}),
}

UNKNOWN_NAMES = ["bogus", "Self", "kwargs", "result", "paramss", "zipped"]

BINDING_MESSAGES = [
    re.compile(r"\w+\(\) takes (exactly|at least|at most) \d+ positional arguments? \(\d+ given\)"),
    re.compile(r"\w+\(\) got multiple values for keyword argument '\w+'"),
    re.compile(r"\w+\(\) got an unexpected keyword argument '\w+'"),
    re.compile(r"\w+\(\) takes no keyword arguments"),
    re.compile(r"\w+\(\) takes exactly one argument \(\d+ given\)"),
    re.compile(r"\w+\(\) keywords must be strings"),
    re.compile(r"Argument '\w+' has incorrect type \(expected \w+, got [\w.]+\)"),
]


class StrSub(str):
    pass


@pytest.fixture(autouse=True)
def cheap_bodies(namespace, fake_api):
    """The fake API client of conftest.py and a trivial _serialize_params; the namespace is
    restored after."""
    namespace["_serialize_params"] = lambda params: params


def empty(cls):
    return lambda: cls.__new__(cls)


FACTORIES = [
    lambda: None,
    dict,
    lambda: {"a": 1, "tab": {"s": {"f": 1}}},
    lambda: Munch(a=1),
    lambda: OrderedDict(a=1),
    lambda: "text",
    lambda: "",
    lambda: StrSub("a"),
    lambda: 0,
    lambda: 7,
    lambda: 2.5,
    lambda: True,
    lambda: b"bytes",
    lambda: bytearray(b"x"),
    list,
    lambda: ["a", "r1"],
    lambda: ("a",),
    object,
    lambda: io.BytesIO(b"data"),
    lambda: File.from_data(b"file"),
    empty(SetParamsResult),
    empty(OptimizationResultElement),
    empty(OptimizationResult),
    empty(DownloadResult),
    empty(NembraResult),
    lambda: SetParamsResult({"a": 1}),
    lambda: OptimizationResultElement({"a": 1}, {"r1": 3}),
    lambda: OptimizationResult([OptimizationResultElement({"a": 1}, {"r1": 3})], ["a"], {"r1": "R"}),
    lambda: DownloadResult(b"x", "x.bin"),
    lambda: DownloadResult(zipped_files={"a": io.BytesIO(b"a")}, file_name="z.zip"),
    lambda: NembraResult(set_params_result=SetParamsResult({"a": 1})),
]

values = st.sampled_from(FACTORIES).map(lambda make: make())


INSTANCES = {
    SetParamsResult: [empty(SetParamsResult), lambda: SetParamsResult({"a": 1})],
    OptimizationResultElement: [empty(OptimizationResultElement), lambda: OptimizationResultElement({"a": 1}, {"r1": 3})],
    OptimizationResult: [empty(OptimizationResult), lambda: OptimizationResult([], ["a"], {"r1": "R"})],
    DownloadResult: [empty(DownloadResult), lambda: DownloadResult(b"x", "x.bin")],
    NembraResult: [empty(NembraResult), lambda: NembraResult(set_params_result=SetParamsResult({"a": 1}))],
}


def owner_of(function):
    class_name, _, _ = function.__qualname__.rpartition(".")
    return getattr(result, class_name) if class_name else None


@st.composite
def calls(draw, function):
    """Positional arguments (0 to 7, often no more than the function takes) and keywords:
    mostly names of parameters not given by position, sometimes any parameter name or an
    unknown name. The first argument is often an instance of the function's class."""
    names = list(inspect.signature(function).parameters)
    owner = owner_of(function)
    count = draw(st.one_of(st.integers(0, min(len(names), 7)), st.integers(0, 7)))
    args = [draw(values) for _ in range(count)]
    if args and owner is not None and draw(st.booleans()):
        make_instance = draw(st.sampled_from(INSTANCES[owner]))
        args[0] = make_instance()
    keywords = draw(st.lists(st.sampled_from(names[count:] or names), unique=True, max_size=3))
    if draw(st.integers(0, 3)) == 0:
        keywords += draw(st.lists(st.sampled_from(names + UNKNOWN_NAMES), unique=True, max_size=2))
    kwargs = {name: draw(values) for name in keywords}
    return args, kwargs


def type_name(cls):
    """What the interpreter calls the type in messages: its tp_name, read from the type
    object itself (it follows ob_refcnt, ob_type and ob_size), since neither __name__ nor
    __module__ tells it for every kind of type."""
    offset = 3 * ctypes.sizeof(ctypes.c_void_p)
    return ctypes.c_char_p.from_address(id(cls) + offset).value.decode()


def argument_type_message(signature, bound, typed):
    """The message for the first typed parameter holding a value of another type, or None."""
    arguments = signature.bind(*bound.args, **bound.kwargs)
    arguments.apply_defaults()
    for name, value in arguments.arguments.items():
        expected = typed.get(name)
        if expected is not None and value is not None and type(value) is not expected:
            return (
                f"Argument '{name}' has incorrect type "
                f"(expected {expected.__name__}, got {type_name(type(value))})"
            )
    return None


def binding_messages(function, args, kwargs):
    """The messages that a call which cannot bind may raise (one, or one per bad keyword)."""
    name = function.__name__
    parameters = list(inspect.signature(function).parameters.values())
    names = [p.name for p in parameters]
    positional = sum(p.kind is p.POSITIONAL_OR_KEYWORD for p in parameters)
    required = sum(p.default is p.empty for p in parameters)
    nargs = len(args)

    def count_message(quantity, expected, given):
        if required == positional:
            quantity = "exactly"
        plural = "" if expected == 1 else "s"
        return f"{name}() takes {quantity} {expected} positional argument{plural} ({given} given)"

    if nargs > positional:
        return {count_message("at most", positional, nargs)}
    missing = [i for i in range(nargs, required) if names[i] not in kwargs]
    if missing:
        return {count_message("at least", required, given) for given in (nargs, missing[0])}
    messages = set()
    for keyword in kwargs:
        if keyword in names[nargs:]:
            continue
        if keyword in names[:nargs]:
            messages.add(f"{name}() got multiple values for keyword argument '{keyword}'")
        else:
            messages.add(f"{name}() got an unexpected keyword argument '{keyword}'")
    return messages


def call(function, args, kwargs):
    try:
        return function(*args, **kwargs), None
    except Exception as exc:  # every error is judged by the caller
        return None, exc


def is_binding_message(text):
    return any(pattern.fullmatch(text) for pattern in BINDING_MESSAGES)


def check_body_outcome(function, returned, error):
    event("returned" if error is None else f"body raised {type(error).__name__}")
    if error is None:
        if function.__name__ == "__init__":
            assert returned is None
        return
    if isinstance(error, TypeError):
        assert not is_binding_message(str(error)), f"binding error for a call that binds: {error}"


common = settings(
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture],
)


@pytest.mark.parametrize("function, typed", GENERAL.values(), ids=GENERAL.keys())
@settings(common, max_examples=GENERAL_EXAMPLES)
@given(data=st.data())
def test_general_function_binds_like_python(function, typed, data):
    args, kwargs = data.draw(calls(function), label="call")
    signature = inspect.signature(function)
    try:
        bound = signature.bind(*args, **kwargs)
    except TypeError:
        bound = None
    returned, error = call(function, args, kwargs)

    if bound is None:
        event("refused by binding")
        expected = binding_messages(function, args, kwargs)
        assert expected, "inspect refused a call that the rules accept"
        assert type(error) is TypeError, f"expected a binding TypeError, got {error!r}"
        assert str(error) in expected
        return
    message = argument_type_message(signature, bound, typed)
    if message is not None:
        event("refused by argument type")
        assert type(error) is TypeError and str(error) == message, f"{error!r} instead of {message!r}"
        return
    check_body_outcome(function, returned, error)


@pytest.mark.parametrize("function, typed", ONE_ARGUMENT.values(), ids=ONE_ARGUMENT.keys())
@settings(common, max_examples=ONE_ARGUMENT_EXAMPLES)
@given(data=st.data())
def test_one_argument_function_refuses_keywords_and_other_counts(function, typed, data):
    args, kwargs = data.draw(calls(function), label="call")
    if data.draw(st.booleans(), label="drop keywords"):
        kwargs = {}
    returned, error = call(function, args, kwargs)
    name = function.__name__

    expected = set()
    if kwargs:
        expected.add(f"{name}() takes no keyword arguments")
    if len(args) != 1:
        expected.add(f"{name}() takes exactly one argument ({len(args)} given)")
    if expected:
        event("refused by binding")
        assert type(error) is TypeError, f"expected a binding TypeError, got {error!r}"
        assert str(error) in expected
        return
    value = args[0]
    if typed and value is not None and type(value) is not str:
        event("refused by argument type")
        message = f"Argument 'file_name' has incorrect type (expected str, got {type_name(type(value))})"
        assert type(error) is TypeError and str(error) == message, f"{error!r} instead of {message!r}"
        return
    check_body_outcome(function, returned, error)


SAFE = re.compile(r"[A-Za-z0-9._]*")


@settings(common, max_examples=NAME_EXAMPLES)
@given(text=st.text(alphabet=st.one_of(st.characters(), st.sampled_from("aZ09._- /\\()\u00e9"))))
def test_safe_file_name_replaces_each_unsafe_character(text):
    safe = _create_safe_file_name(text)
    assert type(safe) is str
    assert len(safe) == len(text)
    assert SAFE.fullmatch(safe)
    assert safe == re.sub("[^A-Za-z0-9.]", "_", text)
    for before, after in zip(text, safe):
        assert after == (before if SAFE.fullmatch(before) else "_")
    if SAFE.fullmatch(text):
        assert safe == text
