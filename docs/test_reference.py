"""Checks of the reference against the built package.

The documentation is built once (conftest.py), nitpicky, with Sphinx's HTML builder and
warnings collected. The resolved document tree of the page of nembra.result is compared
with what the module itself reports: docstrings, signatures from ``inspect.signature``,
parameter lists, code examples and the table; and every public name of the package's
modules must have a description in the reference.
"""

import importlib
import inspect
import textwrap
import typing

import pytest
from docutils import nodes
from sphinx import addnodes

import nembra.api_v1
import nembra.result

CLASSES = ["SetParamsResult", "DownloadResult", "OptimizationResultElement", "OptimizationResult", "NembraResult"]
ALIASES = {
    "SetParametersResult": "SetParamsResult",
    "OptimisationResultElement": "OptimizationResultElement",
    "OptimisationResult": "OptimizationResult",
}


@pytest.fixture(scope="module")
def page(build):
    app, _ = build
    return app.env.get_and_resolve_doctree("reference/result", app.builder, tags=app.tags)


def descriptions(page):
    """The object descriptions of the page by their full dotted names."""
    found = {}
    for desc in page.findall(addnodes.desc):
        for node_id in desc[0]["ids"]:
            found[node_id] = desc
    return found


def own_content(desc):
    """The content of a description without the descriptions nested in it."""
    content = desc[-1].deepcopy()
    for nested in list(content.findall(addnodes.desc)):
        nested.parent.remove(nested)
    return content


def annotation_text(annotation):
    """An annotation written as the reference shows it: unions with |, classes by name."""
    if isinstance(annotation, str):
        return annotation
    if annotation is typing.Any:
        return "Any"
    if typing.get_origin(annotation) is typing.Union:
        return " | ".join(annotation_text(member) for member in typing.get_args(annotation))
    if typing.get_origin(annotation) is not None:
        arguments = ", ".join(annotation_text(argument) for argument in typing.get_args(annotation))
        return f"{annotation._name}[{arguments}]"
    if annotation is type(None):
        return "None"
    return annotation.__name__


def signature_texts(function, drop_self):
    """The parameters and return annotation of ``inspect.signature(function)`` as shown."""
    signature = inspect.signature(function)
    texts = []
    for parameter in list(signature.parameters.values())[1 if drop_self else 0 :]:
        if parameter.kind is parameter.KEYWORD_ONLY and "*" not in texts:
            texts.append("*")
        text = parameter.name
        if parameter.annotation is not parameter.empty:
            text += f": {annotation_text(parameter.annotation)}"
        if parameter.default is not parameter.empty:
            text += f" = {parameter.default!r}"
        texts.append(text)
    returns = signature.return_annotation
    return texts, None if returns is signature.empty else f" -> {annotation_text(returns)}"


def shown_signature(desc):
    signature = desc[0]
    parameters = [node.astext() for node in signature.findall(addnodes.desc_parameter)]
    returns = [node.astext() for node in signature.findall(addnodes.desc_returns)]
    return parameters, returns[0] if returns else None


def test_reference_builds_without_warnings(build):
    _, warnings = build
    assert warnings == ""


def test_module_docstring_opens_the_page_with_links_to_the_classes(page):
    sections = [section for section in page.findall(nodes.section)]
    assert [section[0].astext() for section in sections] == ["nembra.result", "Overview", "Reference"]
    overview = sections[1]
    assert overview[1].astext() == (
        "These objects are returned by an entity-type controller, corresponding to its action button:"
    )
    links = [reference.get("refid") for reference in overview.findall(nodes.reference)]
    assert links == [f"nembra.result.{name}" for name in
                     ["NembraResult", "DownloadResult", "OptimizationResult", "SetParamsResult"]]


def test_every_class_alias_and_function_of_the_module_is_documented(page):
    documented = [name.removeprefix("nembra.result.") for name in descriptions(page)]
    module_objects = [
        name for name, value in vars(nembra.result).items()
        if getattr(value, "__module__", None) == "nembra.result" and callable(value)
    ]
    methods = [
        f"{name}.{method}" for name in CLASSES
        for method, value in vars(getattr(nembra.result, name)).items()
        if callable(value) and method != "__init__"
    ]
    assert documented == [
        entry for name in module_objects
        for entry in [name] + [method for method in methods if method.startswith(f"{name}.")]
    ]


@pytest.mark.parametrize("name", CLASSES)
def test_class_shows_the_signature_of_its_init(page, name):
    cls = getattr(nembra.result, name)
    desc = descriptions(page)[f"nembra.result.{name}"]
    expected_parameters, _ = signature_texts(cls.__init__, drop_self=True)
    assert shown_signature(desc) == (expected_parameters, None)


@pytest.mark.parametrize(
    "name",
    [f"{name}.{method}" for name in CLASSES for method in ("get", "_serialize")
     if method in vars(getattr(nembra.result, name))] + ["_create_safe_file_name"],
)
def test_function_shows_its_signature_and_docstring(page, name):
    function = nembra.result
    for part in name.split("."):
        function = getattr(function, part)
    desc = descriptions(page)[f"nembra.result.{name}"]
    assert shown_signature(desc) == signature_texts(function, drop_self="." in name)
    if function.__doc__ is None:
        assert own_content(desc).astext() == ""
    elif name != "_create_safe_file_name":
        assert own_content(desc).astext() == function.__doc__.strip()


@pytest.mark.parametrize(("alias", "name"), ALIASES.items())
def test_alias_points_at_its_class(page, alias, name):
    desc = descriptions(page)[f"nembra.result.{alias}"]
    assert own_content(desc).astext() == f"alias of {name}"
    assert [reference["refid"] for reference in desc.findall(nodes.reference)] == [f"nembra.result.{name}"]


def docstring_parameters(docstring):
    """The names of the :param name: fields of a docstring, in order."""
    return [
        line.split(":")[1].removeprefix("param ")
        for line in docstring.splitlines()
        if line.strip().startswith(":param ")
    ]


@pytest.mark.parametrize("name", CLASSES + ["_create_safe_file_name"])
def test_parameter_list_names_every_parameter_of_the_signature(page, name):
    obj = getattr(nembra.result, name)
    function = obj.__init__ if isinstance(obj, type) else obj
    desc = descriptions(page)[f"nembra.result.{name}"]
    fields = [field for field in own_content(desc).findall(nodes.field) if field[0].astext() == "Parameters"]
    assert len(fields) == 1
    listed = [
        paragraph[0].astext() for paragraph in fields[0][1].findall(nodes.paragraph)
        if isinstance(paragraph[0], addnodes.literal_strong)
    ]
    signature = [p for p in inspect.signature(function).parameters if p != "self"]
    assert listed == signature == docstring_parameters(function.__doc__)


def code_blocks(docstring):
    lines = docstring.split("\n")
    for index, line in enumerate(lines):
        if line.strip() == ".. code-block:: python":
            indent = len(line) - len(line.lstrip())
            body = []
            for following in lines[index + 1 :]:
                if following.strip() and len(following) - len(following.lstrip()) <= indent:
                    break
                body.append(following)
            yield textwrap.dedent("\n".join(body)).strip("\n")


@pytest.mark.parametrize(("name", "count"), [("SetParamsResult", 2), ("DownloadResult", 2), ("OptimizationResult", 1)])
def test_code_examples_are_highlighted_python_blocks(page, name, count):
    cls = getattr(nembra.result, name)
    expected = list(code_blocks(cls.__doc__ or "")) + list(code_blocks(cls.__init__.__doc__))
    blocks = list(own_content(descriptions(page)[f"nembra.result.{name}"]).findall(nodes.literal_block))
    assert [block["language"] for block in blocks] == ["python"] * count
    assert [block.astext() for block in blocks] == expected


def test_optimization_result_shows_its_table(page):
    content = own_content(descriptions(page)["nembra.result.OptimizationResult"])
    (table,) = content.findall(nodes.table)

    def cells(part):
        return [[entry.astext() for entry in row.findall(nodes.entry)] for row in part.findall(nodes.row)]

    (head,) = table.findall(nodes.thead)
    (body,) = table.findall(nodes.tbody)
    documented = [
        [cell.strip() for cell in line.strip().strip("|").split("|")]
        for line in nembra.result.OptimizationResult.__init__.__doc__.splitlines()
        if line.strip().startswith("|")
    ]
    assert cells(head) + cells(body) == documented == [["#", "Field 1", "Result 1"], ["1", "a", "10"], ["2", "b", "100"]]


MODULES = ["nembra.result", "nembra.core", "nembra.api_v1", "nembra.views", "nembra.parametrization"]


def defined_names(module):
    """The names that a module defines itself, not those that it imports."""
    return [
        name for name, value in vars(module).items()
        if not (name.startswith("__") and name.endswith("__"))
        and not inspect.ismodule(value)
        and getattr(value, "__module__", module.__name__) == module.__name__
    ]


def names_to_describe(module):
    """The public names of a module, and the underscored ones that nembra.result uses."""
    used_by_result = {
        name for name, value in vars(nembra.result).items()
        if module is nembra.result or getattr(value, "__module__", None) == module.__name__
    }
    return [name for name in defined_names(module) if not name.startswith("_") or name in used_by_result]


@pytest.mark.parametrize("module_name", MODULES)
def test_reference_describes_every_public_name_of_the_module_and_those_the_result_module_uses(build, module_name):
    app, _ = build
    module = importlib.import_module(module_name)
    described = set(app.env.domaindata["py"]["objects"])
    names = names_to_describe(module)
    missing = [name for name in names if f"{module_name}.{name}" not in described]
    assert names and missing == []


@pytest.mark.parametrize("module_name", MODULES)
def test_every_module_has_a_reference_page(build, module_name):
    app, _ = build
    assert app.env.domaindata["py"]["modules"][module_name].docname == "reference/" + module_name.split(".")[1]


def test_module_constants_show_their_values(build):
    app, _ = build
    page = app.env.get_and_resolve_doctree("reference/api_v1", app.builder, tags=app.tags)
    (desc,) = [desc for desc in page.findall(addnodes.desc) if "nembra.api_v1.STORAGE_DIR_VARIABLE" in desc[0]["ids"]]
    assert desc[0].astext().endswith(f"= {nembra.api_v1.STORAGE_DIR_VARIABLE!r}")
