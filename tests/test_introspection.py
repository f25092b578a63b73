"""Introspection of the classes and functions of nembra.result.

The twelve functions are objects of the module's own function type; everything that
tools read from an ordinary Python function (signature, defaults, annotations, code,
docstring, names, binding) must read the same here.
"""

import inspect
import io
import json
import pydoc
import re
import subprocess
import sys
import types
import typing
from typing import Any, Dict, List, Optional, Union

import pytest
from munch import Munch

import nembra.result
from nembra.core import File, _SerializableObject
from nembra.result import (
    DownloadResult,
    NembraResult,
    OptimizationResult,
    OptimizationResultElement,
    SetParamsResult,
    _create_safe_file_name,
)
from nembra.views import JPGResult, PNGResult, SVGResult

POSITIONAL = inspect.Parameter.POSITIONAL_OR_KEYWORD
KEYWORD = inspect.Parameter.KEYWORD_ONLY
EMPTY = inspect.Parameter.empty
CO_VARARGS = inspect.CO_VARARGS
CO_VARKEYWORDS = inspect.CO_VARKEYWORDS

# --- docstrings --------------------------------------------------------------------------

SET_PARAMS_RESULT_DOC = """
    Container for the output of a :class:`~.parametrization.actions.SetParamsButton`.

    In order to set the content of the field `Tab 1 > Section 1 > NumberField 1`
    to 1234 use the format:

    .. code-block:: python

        SetParamsResult({
            "tab_1": {
                "section_1": {
                    "numberfield_1": 1234
                }
            }
        })

    To clear one or more fields one has to explicitly set the params to the
    empty state, the empty value is different for each field and can be found
    in their docs:

    .. code-block:: python

        SetParamsResult({
            "tab_1": {
                "section_1": {
                    "numberfield_1": None,
                }
            }
        })

    """

SET_PARAMS_RESULT_INIT_DOC = (
    "\n"
    "        :param params: the values you want to set to the user input, if you do not specify"
    " a value, it will be kept as is.\n"
    "        "
)

DOWNLOAD_RESULT_DOC = "\n".join(
    [
        " Container for the output of a :class:`~.parametrization.actions.DownloadButton`.",
        "",
        "    Download of single file:",
        "",
        "    .. code-block:: python",
        "",
        '        DownloadResult(file_content=my_file, file_name="my_file.txt")',
        "",
        "    Download of multiple files bundled in a zip-file:",
        "",
        "    .. code-block:: python",
        "",
        "        DownloadResult(zipped_files={'my_file_1.txt': my_file_1, 'my_file_2.txt': my_file_2},"
        ' file_name="my_file.zip")',
        "",
        "    ",
    ]
)

DOWNLOAD_RESULT_INIT_DOC = "\n".join(
    [
        "",
        "        :param file_content: if type str and encoding is not utf-8, specify in additional"
        " argument. Mutual exclusive",
        "         with 'zipped_files'.",
        "        :param file_name: name (including extension) to be used for download. In case of"
        " 'zipped_files', this is the",
        "         name of the zip-file. May only consist of alphanumeric characters, underscores and"
        " dots (any other characters",
        "         are converted to an underscore).",
        "        :param encoding: optional argument to specify file encoding when file_content is"
        " provided with type str",
        "        :param zipped_files: a dict of {file name: content} to be bundled in a zip-file with"
        " file-name 'file_name'.",
        "         Mutual exclusive with 'file_content'.",
        "        ",
    ]
)

OPTIMIZATION_RESULT_ELEMENT_INIT_DOC = """
        :param params: a complete parameter set
        :param analysis_result: the accompanying results.

        For an example, see :class:`OptimizationResult`
        """

OPTIMIZATION_RESULT_ELEMENT_SERIALIZE_DOC = "Only provide output_headers when non-empty"

OPTIMIZATION_RESULT_INIT_DOC = "\n".join(
    [
        "",
        "        Container for the output of an :class:`~.parametrization.actions.OptimizationButton`.",
        "",
        "        :param results: list of results, order is kept in user interface.",
        "        :param result_column_names_input: specifies which input parameters should be shown"
        " the table.",
        " " * 42 + "The parametrization class defined the label which is shown",
        "        :param output_headers: specifies which results should be shown in the results table.",
        " " * 32 + "Key should match the key of the analysis_result inside each result.",
        " " * 32 + "Value is the corresponding label which the end user sees.",
        "        :param image: image which is shown next to the results. Could be JPG, PNG or SVG.",
        "",
        "        Example:",
        "",
        "        .. code-block:: python",
        "",
        "            params1 = {'tab': {'section': {'field1': 'a', 'field2': 5}}}",
        "            params2 = {'tab': {'section': {'field1': 'b', 'field2': 8}}}",
        "            analysis1 = {'result1': 10, 'result2': 20}",
        "            analysis2 = {'result1': 100, 'result2': 150}",
        "",
        "            results = [",
        "                OptimizationResultElement(params1, analysis1),",
        "                OptimizationResultElement(params2, analysis2),",
        "            ]",
        "",
        "            OptimizationResult(results, result_column_names_input=['field1'],"
        " output_headers={'result1': 'Result 1'})",
        "",
        "        This renders as the following table for the end-user:",
        "",
        "        +---------+---------+----------+",
        "        |    #    | Field 1 | Result 1 |",
        "        +=========+=========+==========+",
        "        |    1    |    a    |    10    |",
        "        +---------+---------+----------+",
        "        |    2    |    b    |    100   |",
        "        +---------+---------+----------+",
        "",
        "        ",
    ]
)

OPTIMIZATION_RESULT_SERIALIZE_DOC = (
    'Get the final results as {"optimization": [result1, result2]}, with results sorted by cost.'
)

NEMBRA_RESULT_INIT_DOC = "\n".join(
    [
        "",
        "        Standard output object of a NembraController method, which serialises and combines"
        " several individual results",
        "        into the standard automation output. All inputs are optional to facilitate many"
        " combinations of results where",
        "        needed in the future. Currently, the serialisation only accounts for the following"
        " (backward compatible)",
        "        combinations:",
        "",
        "        - a single optimization result",
        "        - a single set_params result",
        "        - a single download result",
        "",
        "        :param optimisation_result: alias for optimization_result",
        "        :param set_parameters_result: alias for set_params_result",
        "        :param download_result: DownloadResult object",
        "        :param optimization_result: OptimizationResult object",
        "        :param set_params_result: SetParamsResult object",
        "        ",
    ]
)

CREATE_SAFE_FILE_NAME_DOC = "\n".join(
    [
        "",
        "    File names may have spaces or other symbols which are not allowed.",
        "    Only letters, numbers, underscores, and dots are allowed. All others are replaced by"
        " underscore.",
        "",
        "    :param file_name: may include extension",
        "    ",
    ]
)

# --- the twelve functions ----------------------------------------------------------------


class Function(typing.NamedTuple):
    owner: typing.Optional[type]
    name: str
    # (name, kind, default, annotation), in signature order
    parameters: list
    return_annotation: object
    defaults: typing.Optional[tuple]
    kwdefaults: typing.Optional[dict]
    signature: str
    doc: typing.Optional[str]

    @property
    def qualname(self):
        return f"{self.owner.__name__}.{self.name}" if self.owner else self.name

    @property
    def function(self):
        if self.owner is None:
            return vars(nembra.result)[self.name]
        return vars(self.owner)[self.name]

    @property
    def annotations(self):
        pairs = [(name, annotation) for name, _, _, annotation in self.parameters]
        pairs = [(name, annotation) for name, annotation in pairs if annotation is not EMPTY]
        if self.return_annotation is not EMPTY:
            pairs.append(("return", self.return_annotation))
        return pairs


SELF = ("self", POSITIONAL, EMPTY, EMPTY)

FUNCTIONS = [
    Function(
        SetParamsResult,
        "__init__",
        [SELF, ("params", POSITIONAL, EMPTY, "dict")],
        EMPTY,
        None,
        None,
        "(self, params: 'dict')",
        SET_PARAMS_RESULT_INIT_DOC,
    ),
    Function(SetParamsResult, "_serialize", [SELF], "dict", None, None, "(self) -> 'dict'", None),
    Function(
        SetParamsResult,
        "get",
        [SELF, ("key", POSITIONAL, EMPTY, "unicode")],
        Any,
        None,
        None,
        "(self, key: 'unicode') -> Any",
        None,
    ),
    Function(
        DownloadResult,
        "__init__",
        [
            SELF,
            ("file_content", POSITIONAL, None, Union[str, bytes, File, io.BytesIO]),
            ("file_name", POSITIONAL, None, "unicode"),
            ("encoding", POSITIONAL, "utf-8", "unicode"),
            ("zipped_files", KEYWORD, None, Dict[str, Union[File, io.BytesIO]]),
        ],
        EMPTY,
        (None, None, "utf-8"),
        {"zipped_files": None},
        "(self, file_content: Union[str, bytes, nembra.core.File, _io.BytesIO] = None,"
        " file_name: 'unicode' = None, encoding: 'unicode' = 'utf-8', *,"
        " zipped_files: Dict[str, Union[nembra.core.File, _io.BytesIO]] = None)",
        DOWNLOAD_RESULT_INIT_DOC,
    ),
    Function(DownloadResult, "_serialize", [SELF], "dict", None, None, "(self) -> 'dict'", None),
    Function(
        OptimizationResultElement,
        "__init__",
        [
            SELF,
            ("params", POSITIONAL, EMPTY, Union[dict, Munch]),
            ("analysis_result", POSITIONAL, None, "dict"),
        ],
        EMPTY,
        (None,),
        None,
        "(self, params: Union[dict, munch.Munch], analysis_result: 'dict' = None)",
        OPTIMIZATION_RESULT_ELEMENT_INIT_DOC,
    ),
    Function(
        OptimizationResultElement,
        "_serialize",
        [SELF, ("output_headers", POSITIONAL, EMPTY, Optional[dict])],
        "dict",
        None,
        None,
        "(self, output_headers: Optional[dict]) -> 'dict'",
        OPTIMIZATION_RESULT_ELEMENT_SERIALIZE_DOC,
    ),
    Function(
        OptimizationResult,
        "__init__",
        [
            SELF,
            ("results", POSITIONAL, EMPTY, List[OptimizationResultElement]),
            ("result_column_names_input", POSITIONAL, None, List[str]),
            ("output_headers", POSITIONAL, None, "dict"),
            ("image", POSITIONAL, None, Union[PNGResult, JPGResult, SVGResult]),
        ],
        EMPTY,
        (None, None, None),
        None,
        "(self, results: List[nembra.result.OptimizationResultElement],"
        " result_column_names_input: List[str] = None, output_headers: 'dict' = None,"
        " image: Union[nembra.views.PNGResult, nembra.views.JPGResult, nembra.views.SVGResult]"
        " = None)",
        OPTIMIZATION_RESULT_INIT_DOC,
    ),
    Function(
        OptimizationResult,
        "_serialize",
        [SELF],
        Dict[str, Any],
        None,
        None,
        "(self) -> Dict[str, Any]",
        OPTIMIZATION_RESULT_SERIALIZE_DOC,
    ),
    Function(
        NembraResult,
        "__init__",
        [
            SELF,
            ("optimisation_result", POSITIONAL, None, OptimizationResult),
            ("set_parameters_result", POSITIONAL, None, SetParamsResult),
            ("download_result", POSITIONAL, None, DownloadResult),
            ("optimization_result", KEYWORD, None, OptimizationResult),
            ("set_params_result", KEYWORD, None, SetParamsResult),
        ],
        EMPTY,
        (None, None, None),
        {"optimization_result": None, "set_params_result": None},
        "(self, optimisation_result: nembra.result.OptimizationResult = None,"
        " set_parameters_result: nembra.result.SetParamsResult = None,"
        " download_result: nembra.result.DownloadResult = None, *,"
        " optimization_result: nembra.result.OptimizationResult = None,"
        " set_params_result: nembra.result.SetParamsResult = None)",
        NEMBRA_RESULT_INIT_DOC,
    ),
    Function(NembraResult, "_serialize", [SELF], "dict", None, None, "(self) -> 'dict'", None),
    Function(
        None,
        "_create_safe_file_name",
        [("file_name", POSITIONAL, EMPTY, "unicode")],
        "unicode",
        None,
        None,
        "(file_name: 'unicode') -> 'unicode'",
        CREATE_SAFE_FILE_NAME_DOC,
    ),
]

METHODS = [row for row in FUNCTIONS if row.owner is not None]


def by_qualname(rows):
    return pytest.mark.parametrize("row", rows, ids=[row.qualname for row in rows])


def same_annotation(actual, expected):
    """Equal, of the same type, and (for typing objects) with members in the same order."""
    return type(actual) is type(expected) and actual == expected and repr(actual) == repr(expected)


@by_qualname(FUNCTIONS)
def test_signature_text(row):
    assert str(inspect.signature(row.function)) == row.signature


@by_qualname(FUNCTIONS)
def test_signature_parameters(row):
    signature = inspect.signature(row.function)
    parameters = list(signature.parameters.values())
    assert [(p.name, p.kind) for p in parameters] == [(name, kind) for name, kind, _, _ in row.parameters]
    for parameter, (_, _, default, annotation) in zip(parameters, row.parameters):
        assert type(parameter.default) is type(default)
        assert parameter.default == default
        assert same_annotation(parameter.annotation, annotation), parameter.name
    assert same_annotation(signature.return_annotation, row.return_annotation)


@by_qualname(FUNCTIONS)
def test_names(row):
    function = row.function
    assert function.__name__ == row.name
    assert function.__qualname__ == row.qualname
    assert function.__module__ == "nembra.result"


@by_qualname(FUNCTIONS)
def test_defaults_are_made_once(row):
    function = row.function
    assert function.__defaults__ == row.defaults
    assert type(function.__defaults__) is type(row.defaults)
    assert function.__defaults__ is function.__defaults__


@by_qualname(FUNCTIONS)
def test_keyword_defaults_are_made_once(row):
    function = row.function
    kwdefaults = function.__kwdefaults__
    if row.kwdefaults is None:
        assert kwdefaults is None
    else:
        assert type(kwdefaults) is dict
        assert list(kwdefaults.items()) == list(row.kwdefaults.items())
        assert function.__kwdefaults__ is kwdefaults


@by_qualname(FUNCTIONS)
def test_annotations_in_order(row):
    function = row.function
    annotations = function.__annotations__
    assert type(annotations) is dict
    assert list(annotations) == [name for name, _ in row.annotations]
    for name, expected in row.annotations:
        assert same_annotation(annotations[name], expected), name
    assert function.__annotations__ is annotations


def test_annotations_name_the_objects_bound_when_the_classes_were_made():
    namespace = vars(nembra.result)
    nembra_init = NembraResult.__init__.__annotations__
    assert nembra_init["optimisation_result"] is namespace["OptimizationResult"]
    assert nembra_init["optimization_result"] is namespace["OptimizationResult"]
    assert nembra_init["set_parameters_result"] is namespace["SetParamsResult"]
    assert nembra_init["set_params_result"] is namespace["SetParamsResult"]
    assert nembra_init["download_result"] is namespace["DownloadResult"]
    assert SetParamsResult.get.__annotations__["return"] is typing.Any
    assert DownloadResult.__init__.__annotations__["file_content"] == typing.Union[
        str, bytes, File, io.BytesIO
    ]
    assert OptimizationResult.__init__.__annotations__["results"].__args__ == (
        OptimizationResultElement,
    )
    assert OptimizationResult.__init__.__annotations__["image"].__args__ == (
        PNGResult,
        JPGResult,
        SVGResult,
    )
    assert OptimizationResultElement.__init__.__annotations__["params"].__args__ == (dict, Munch)


@by_qualname(FUNCTIONS)
def test_code_object_describes_the_parameters(row):
    code = row.function.__code__
    positional = [name for name, kind, _, _ in row.parameters if kind is POSITIONAL]
    keyword_only = [name for name, kind, _, _ in row.parameters if kind is KEYWORD]
    assert isinstance(code, types.CodeType)
    assert code.co_argcount == len(positional)
    assert code.co_posonlyargcount == 0
    assert code.co_kwonlyargcount == len(keyword_only)
    assert code.co_varnames[: len(row.parameters)] == tuple(positional + keyword_only)
    assert code.co_flags & (CO_VARARGS | CO_VARKEYWORDS) == 0


CODE_ATTRIBUTES = [
    "co_argcount", "co_posonlyargcount", "co_kwonlyargcount", "co_nlocals", "co_stacksize", "co_flags",
    "co_code", "co_consts", "co_names", "co_varnames", "co_freevars", "co_cellvars", "co_filename",
    "co_name", "co_qualname", "co_firstlineno", "co_linetable", "co_exceptiontable",
]


@by_qualname(FUNCTIONS)
def test_code_object_is_the_one_the_compiler_gives_for_the_definition(row):
    """The module assembles its code objects without the compiler; they must not differ."""
    code = row.function.__code__
    positional = [name for name, kind, _, _ in row.parameters if kind is POSITIONAL]
    keyword_only = [name for name, kind, _, _ in row.parameters if kind is KEYWORD]
    parameters = ", ".join(positional + (["*"] if keyword_only else []) + keyword_only)
    source = f"def {row.function.__name__}({parameters}): pass\n"
    module = compile(source, "<nembra.result>", "exec")
    (compiled,) = [c for c in module.co_consts if isinstance(c, types.CodeType)]
    assert {name: getattr(code, name) for name in CODE_ATTRIBUTES} == {
        name: getattr(compiled, name) for name in CODE_ATTRIBUTES
    }
    assert list(code.co_positions()) == list(compiled.co_positions())
    assert code == compiled


@by_qualname(FUNCTIONS)
def test_globals_are_the_module_namespace(row):
    assert row.function.__globals__ is vars(nembra.result)


@by_qualname(FUNCTIONS)
def test_docstring(row):
    assert row.function.__doc__ == row.doc


@by_qualname(FUNCTIONS)
def test_function_dict_holds_attributes(row):
    function = row.function
    assert type(function.__dict__) is dict
    function.marker = ["a", "list"]
    try:
        assert function.__dict__["marker"] == ["a", "list"]
        assert function.marker is function.__dict__["marker"]
    finally:
        del function.marker
    assert "marker" not in function.__dict__


@by_qualname(FUNCTIONS)
def test_repr_names_the_function(row):
    assert re.fullmatch(rf"<function {re.escape(row.qualname)} at 0x[0-9a-fA-F]+>", repr(row.function))


@by_qualname(FUNCTIONS)
def test_all_functions_share_one_type(row):
    assert type(row.function) is type(SetParamsResult.__init__)
    assert callable(row.function)


@by_qualname(METHODS)
def test_access_through_the_class_gives_the_function_itself(row):
    function = row.function
    assert getattr(row.owner, row.name) is function
    assert function.__get__(None, row.owner) is function


@by_qualname(METHODS)
def test_access_through_an_instance_gives_a_bound_method(row):
    instance = row.owner.__new__(row.owner)
    method = getattr(instance, row.name)
    assert type(method) is types.MethodType
    assert method.__self__ is instance
    assert method.__func__ is row.function
    assert row.function.__get__(instance, row.owner) == method


def test_the_module_function_binds_like_a_function_in_a_class():
    class Holder:
        name = _create_safe_file_name

    with pytest.raises(TypeError) as raised:
        Holder().name()
    assert str(raised.value) == "Argument 'file_name' has incorrect type (expected str, got Holder)"
    assert Holder.name is _create_safe_file_name


def test_methods_work_when_called_through_the_class():
    params = {"tab": {"section": {"field": 1}}}
    result = SetParamsResult.__new__(SetParamsResult)
    assert SetParamsResult.__init__(result, params) is None
    assert result._data is params
    assert SetParamsResult._serialize(result) == {"parameters": params}
    assert SetParamsResult.get(result, "tab") is params["tab"]

    by_keyword = SetParamsResult.__new__(SetParamsResult)
    assert SetParamsResult.__init__(self=by_keyword, params=params) is None
    assert by_keyword._data is params
    assert SetParamsResult.get(self=by_keyword, key="tab") is params["tab"]

    element = OptimizationResultElement.__new__(OptimizationResultElement)
    OptimizationResultElement.__init__(self=element, params=None, analysis_result={"a": 1})
    assert OptimizationResultElement._serialize(self=element, output_headers=["a"]) == {
        "design": None,
        "analysis": {"a": 1},
        "output_display_data": ["1"],
    }


# --- classes -----------------------------------------------------------------------------

CLASSES = [
    # class, bases, class docstring, names in the class namespace
    (
        SetParamsResult,
        (_SerializableObject,),
        SET_PARAMS_RESULT_DOC,
        ["__module__", "__doc__", "__init__", "_serialize", "get"],
    ),
    (
        DownloadResult,
        (_SerializableObject,),
        DOWNLOAD_RESULT_DOC,
        ["__module__", "__doc__", "__init__", "_serialize"],
    ),
    (
        OptimizationResultElement,
        (object,),
        None,
        # type() itself adds the last three.
        ["__module__", "__init__", "_serialize", "__dict__", "__weakref__", "__doc__"],
    ),
    (
        OptimizationResult,
        (_SerializableObject,),
        None,
        ["__module__", "__init__", "_serialize", "__doc__"],
    ),
    (
        NembraResult,
        (_SerializableObject,),
        None,
        ["__module__", "__init__", "_serialize", "__doc__"],
    ),
]

by_class = pytest.mark.parametrize(
    ("cls", "bases", "doc", "names"), CLASSES, ids=[row[0].__name__ for row in CLASSES]
)


@by_class
def test_class_bases_and_metaclass(cls, bases, doc, names):
    assert cls.__bases__ == bases
    assert type(cls) is type(bases[0])


@by_class
def test_class_names(cls, bases, doc, names):
    assert cls.__module__ == "nembra.result"
    assert cls.__qualname__ == cls.__name__


@by_class
def test_class_docstring(cls, bases, doc, names):
    assert cls.__doc__ == doc


@by_class
def test_class_namespace(cls, bases, doc, names):
    assert list(vars(cls)) == names


CLASS_SIGNATURES = [
    (SetParamsResult, "(params: 'dict')"),
    (
        DownloadResult,
        "(file_content: Union[str, bytes, nembra.core.File, _io.BytesIO] = None,"
        " file_name: 'unicode' = None, encoding: 'unicode' = 'utf-8', *,"
        " zipped_files: Dict[str, Union[nembra.core.File, _io.BytesIO]] = None)",
    ),
    (
        OptimizationResultElement,
        "(params: Union[dict, munch.Munch], analysis_result: 'dict' = None)",
    ),
    (
        OptimizationResult,
        "(results: List[nembra.result.OptimizationResultElement],"
        " result_column_names_input: List[str] = None, output_headers: 'dict' = None,"
        " image: Union[nembra.views.PNGResult, nembra.views.JPGResult, nembra.views.SVGResult]"
        " = None)",
    ),
    (
        NembraResult,
        "(optimisation_result: nembra.result.OptimizationResult = None,"
        " set_parameters_result: nembra.result.SetParamsResult = None,"
        " download_result: nembra.result.DownloadResult = None, *,"
        " optimization_result: nembra.result.OptimizationResult = None,"
        " set_params_result: nembra.result.SetParamsResult = None)",
    ),
]


@pytest.mark.parametrize(
    ("cls", "expected"), CLASS_SIGNATURES, ids=[cls.__name__ for cls, _ in CLASS_SIGNATURES]
)
def test_class_signature_is_that_of_init_without_self(cls, expected):
    assert str(inspect.signature(cls)) == expected


RECORDING_CHILD = """
import json, sys
import nembra.core

log = []


class RecordingNamespace(dict):
    def __init__(self):
        super().__init__()
        self.keys_set = []

    def __setitem__(self, key, value):
        self.keys_set.append(key)
        super().__setitem__(key, value)


class RecordingMeta(type):
    @classmethod
    def __prepare__(mcls, name, bases, **kwargs):
        log.append({"prepare": [name, [b.__name__ for b in bases], sorted(kwargs)]})
        return RecordingNamespace()

    def __new__(mcls, name, bases, namespace, **kwargs):
        if isinstance(namespace, RecordingNamespace):
            log[-1].update({
                "new": [name, [b.__name__ for b in bases], sorted(kwargs)],
                "keys set": namespace.keys_set,
                "__module__": namespace["__module__"],
                "__qualname__": namespace["__qualname__"],
                "functions": [type(v).__name__ for k, v in namespace.items()
                              if not k.startswith("__") or k == "__init__"],
            })
        return super().__new__(mcls, name, bases, namespace)


Base = RecordingMeta("_SerializableObject", (), {})
nembra.core._SerializableObject = Base
import nembra.result
log.append({
    "metaclasses": [type(getattr(nembra.result, name)).__name__ for name in
                    ("SetParamsResult", "DownloadResult", "OptimizationResult", "NembraResult",
                     "OptimizationResultElement")],
})
print(json.dumps(log))
"""


def test_class_statements_use_the_metaclass_of_the_base(tmp_path):
    process = subprocess.run(
        [sys.executable, "-c", RECORDING_CHILD],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=tmp_path,
    )
    assert process.returncode == 0, process.stderr

    def record(name, keys):
        return {
            "prepare": [name, ["_SerializableObject"], []],
            "new": [name, ["_SerializableObject"], []],
            "keys set": keys,
            "__module__": "nembra.result",
            "__qualname__": name,
            "functions": ["function"] * (len(keys) - keys.index("__init__")),
        }

    assert json.loads(process.stdout) == [
        record(
            "SetParamsResult",
            ["__module__", "__qualname__", "__doc__", "__init__", "_serialize", "get"],
        ),
        record("DownloadResult", ["__module__", "__qualname__", "__doc__", "__init__", "_serialize"]),
        record("OptimizationResult", ["__module__", "__qualname__", "__init__", "_serialize"]),
        record("NembraResult", ["__module__", "__qualname__", "__init__", "_serialize"]),
        {
            "metaclasses": [
                "RecordingMeta",
                "RecordingMeta",
                "RecordingMeta",
                "RecordingMeta",
                "type",
            ]
        },
    ]


# --- documentation tools -----------------------------------------------------------------


def test_pydoc_renders_the_module():
    text = pydoc.render_doc(nembra.result, renderer=pydoc.plaintext)
    for line in [
        "class SetParamsResult(nembra.core._SerializableObject)",
        "class OptimizationResultElement(builtins.object)",
        "SetParametersResult = class SetParamsResult(nembra.core._SerializableObject)",
        "__init__(self, params: 'dict')",
        "Container for the output of a :class:`~.parametrization.actions.DownloadButton`.",
    ]:
        assert line in text


@pytest.mark.parametrize(
    ("target", "lines"),
    [
        (
            _create_safe_file_name,
            [
                "_create_safe_file_name(file_name: 'unicode') -> 'unicode'",
                "    File names may have spaces or other symbols which are not allowed.",
                "    :param file_name: may include extension",
            ],
        ),
        (
            NembraResult,
            [
                "class NembraResult(nembra.core._SerializableObject)",
                " |      :param set_params_result: SetParamsResult object",
            ],
        ),
        (
            OptimizationResult,
            [
                # Long signatures are wrapped one parameter per line by newer pydoc.
                "results: List[nembra.result.OptimizationResultElement]",
                "result_column_names_input: List[str] = None",
                "output_headers: 'dict' = None",
                "image: Union[nembra.views.PNGResult, nembra.views.JPGResult, nembra.views.SVGResult] = None",
                " |      +---------+---------+----------+",
            ],
        ),
    ],
    ids=["_create_safe_file_name", "NembraResult", "OptimizationResult"],
)
def test_help_renders_functions_and_classes(target, lines):
    output = io.StringIO()
    pydoc.Helper(output=output).help(target)
    text = output.getvalue()
    for line in lines:
        if line.startswith(" |"):
            assert line in text.splitlines()
        else:
            assert line in text
