"""Loading nembra.result: import once per process, the module body, its namespace.

Everything that depends on the state of a fresh interpreter (the first import, a missing
or broken dependency, a second interpreter) runs in a child process; the child prints one
JSON document on its last line and the test compares it here.
"""

import builtins
import importlib
import io
import json
import re
import subprocess
import sys
import textwrap
import typing
import warnings
import zipfile

import munch
import pytest

import nembra.api_v1
import nembra.core
import nembra.parametrization
import nembra.result
import nembra.views

MODULE_DOC = (
    "\nOverview\n--------\n\n"
    "These objects are returned by an entity-type controller, corresponding to its action button:\n\n"
    "- :class:`NembraResult`\n"
    "- :class:`DownloadResult`\n"
    "- :class:`OptimizationResult`\n"
    "- :class:`SetParamsResult`\n\n"
    "Reference\n---------\n"
)

SET_BY_IMPORT_SYSTEM = (
    "__name__",
    "__doc__",
    "__package__",
    "__loader__",
    "__spec__",
    "__file__",
    "__path__",
    "__cached__",
)

BOUND_NAMES = [
    "__builtins__",
    "re",
    "warnings",
    "BytesIO",
    "Dict",
    "Any",
    "List",
    "Optional",
    "Union",
    "zipfile",
    "API",
    "_SerializableObject",
    "File",
    "_serialize_params",
    "SVGResult",
    "PNGResult",
    "JPGResult",
    "Munch",
    "SetParamsResult",
    "SetParametersResult",
    "DownloadResult",
    "OptimizationResultElement",
    "OptimisationResultElement",
    "OptimizationResult",
    "OptimisationResult",
    "NembraResult",
    "_create_safe_file_name",
    "__test__",
]

CLASS_NAMES = [
    "SetParamsResult",
    "DownloadResult",
    "OptimizationResultElement",
    "OptimizationResult",
    "NembraResult",
]

INTERPRETER_CHANGE = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
)
REINITIALISATION = "Module 'result' has already been imported. Re-initialisation is not supported."


def run_python(code, *options, cwd=None):
    """Run ``code`` in a fresh interpreter and return the finished process."""
    return subprocess.run(
        [sys.executable, *options, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=cwd,
    )


def run_json(code, cwd=None):
    """Run ``code`` in a fresh interpreter; return the JSON document it printed last."""
    process = run_python(code, cwd=cwd)
    assert process.returncode == 0, process.stderr
    return json.loads(process.stdout.splitlines()[-1])


# --- one module per process ------------------------------------------------------------


def test_importing_again_gives_the_same_module():
    again = importlib.import_module("nembra.result")
    from nembra import result as from_package

    assert again is nembra.result
    assert from_package is nembra.result
    assert sys.modules["nembra.result"] is nembra.result


def test_import_after_removal_from_sys_modules_reuses_the_first_load(tmp_path):
    report = run_json(
        """
        import importlib, json, sys
        first = importlib.import_module("nembra.result")
        namespace = vars(first)
        cls = first.SetParamsResult
        init = cls.__init__
        test_dict = first.__test__
        names = list(namespace)
        del sys.modules["nembra.result"]
        # A body that ran again would import both of these afresh.
        del sys.modules["munch"]
        del sys.modules["nembra.api_v1"]
        again = importlib.import_module("nembra.result")
        print(json.dumps({
            "same module": again is first,
            "same namespace": vars(again) is namespace,
            "same class": again.SetParamsResult is cls,
            "same function": again.SetParamsResult.__init__ is init,
            "same __test__": again.__test__ is test_dict,
            "same names": list(vars(again)) == names,
            "registered": sys.modules["nembra.result"] is first,
            "munch imported again": "munch" in sys.modules,
            "api_v1 imported again": "nembra.api_v1" in sys.modules,
        }))
        """,
        cwd=tmp_path,
    )
    assert report == {
        "same module": True,
        "same namespace": True,
        "same class": True,
        "same function": True,
        "same __test__": True,
        "same names": True,
        "registered": True,
        "munch imported again": False,
        "api_v1 imported again": False,
    }


def test_reload_returns_the_same_module_without_running_the_body(tmp_path):
    report = run_json(
        """
        import importlib, json, sys
        import nembra.result as first
        cls = first.DownloadResult
        test_dict = first.__test__
        names = list(vars(first))
        del sys.modules["munch"]
        reloaded = importlib.reload(first)
        print(json.dumps({
            "same module": reloaded is first,
            "same class": reloaded.DownloadResult is cls,
            "same __test__": reloaded.__test__ is test_dict,
            "same names": list(vars(reloaded)) == names,
            "munch imported again": "munch" in sys.modules,
        }))
        """,
        cwd=tmp_path,
    )
    assert report == {
        "same module": True,
        "same class": True,
        "same __test__": True,
        "same names": True,
        "munch imported again": False,
    }


def test_exec_step_refuses_another_module_object_after_a_load(tmp_path):
    report = run_json(
        """
        import importlib.util, json, sys
        spec = importlib.util.find_spec("nembra.result")
        # Both module objects are made before anything is loaded.
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
        except BaseException as error:
            refused = [type(error).__name__, str(error)]
        else:
            refused = None
        spec.loader.exec_module(first)  # the loaded module itself: nothing happens
        later = importlib.util.module_from_spec(importlib.util.find_spec("nembra.result"))
        print(json.dumps({
            "distinct before load": first is not second,
            "refused": refused,
            "second left empty": "SetParamsResult" not in vars(second)
                                 and "__builtins__" not in vars(second),
            "registered": sys.modules.get("nembra.result") is first,
            "create step returns the loaded module": later is first,
            "first loaded": hasattr(first, "NembraResult"),
        }))
        """,
        cwd=tmp_path,
    )
    assert report == {
        "distinct before load": True,
        "refused": ["RuntimeError", REINITIALISATION],
        "second left empty": True,
        "registered": True,
        "create step returns the loaded module": True,
        "first loaded": True,
    }


SUBINTERPRETER_CHILD = """
import json, sys

OUT = {out!r}
MAIN_FIRST = {main_first!r}
CODE = '''
import json
try:
    import nembra.result
except BaseException as error:
    outcome = [type(error).__name__, str(error)]
else:
    outcome = ["loaded", ""]
with open({out!r}, "w") as stream:
    json.dump(outcome, stream)
'''


def outcome_of(error):
    return [type(error).__name__, str(error)]


def subinterpreter_runner():
    try:
        import _testcapi
        return _testcapi.run_in_subinterp
    except (ImportError, AttributeError):
        pass
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            module = __import__(name)
        except ImportError:
            continue

        def run(code, module=module):
            for make in (lambda: module.create("legacy"),
                         lambda: module.create(isolated=False),
                         module.create):
                try:
                    interp = make()
                    break
                except (TypeError, ValueError):
                    continue
            try:
                module.run_string(interp, code)
            finally:
                module.destroy(interp)

        return run
    return None


run = subinterpreter_runner()
if run is None:
    print(json.dumps("no sub-interpreters"))
    sys.exit(0)
main = None
if MAIN_FIRST:
    import nembra.result
run(CODE)
with open(OUT) as stream:
    sub = json.load(stream)
if not MAIN_FIRST:
    try:
        import nembra.result
    except BaseException as error:
        main = outcome_of(error)
    else:
        main = ["loaded", ""]
print(json.dumps({{"sub": sub, "main": main}}))
"""


@pytest.mark.parametrize(
    ("main_first", "expected"),
    [
        pytest.param(
            True,
            {"sub": ["ImportError", INTERPRETER_CHANGE], "main": None},
            id="main-interpreter-first",
        ),
        pytest.param(
            False,
            {"sub": ["loaded", ""], "main": ["ImportError", INTERPRETER_CHANGE]},
            id="sub-interpreter-first",
        ),
    ],
)
def test_only_one_interpreter_per_process_loads_the_module(tmp_path, main_first, expected):
    out = str(tmp_path / "outcome.json")
    report = run_json(SUBINTERPRETER_CHILD.format(out=out, main_first=main_first), cwd=tmp_path)
    if report == "no sub-interpreters":
        pytest.skip("this interpreter offers no sub-interpreters")
    assert report == expected


def test_import_in_dev_mode_with_warnings_as_errors_is_silent(tmp_path):
    process = run_python("import nembra.result", "-X", "dev", "-W", "error", cwd=tmp_path)
    assert (process.returncode, process.stdout, process.stderr) == (0, "", "")


# --- namespace ---------------------------------------------------------------------------


def test_module_docstring():
    assert nembra.result.__doc__ == MODULE_DOC


def test_namespace_binding_order():
    bound = [name for name in vars(nembra.result) if name not in SET_BY_IMPORT_SYSTEM]
    assert bound == BOUND_NAMES


def test_import_system_names_come_first():
    names = list(vars(nembra.result))
    assert names.index("__builtins__") == 6
    assert set(names[:6]) == {
        "__name__",
        "__doc__",
        "__package__",
        "__loader__",
        "__spec__",
        "__file__",
    }
    assert nembra.result.__name__ == "nembra.result"
    assert nembra.result.__package__ == "nembra"
    assert nembra.result.__file__ == nembra.result.__spec__.origin
    assert not hasattr(nembra.result, "__path__")
    assert not hasattr(nembra.result, "__all__")


@pytest.mark.parametrize(
    ("name", "expected"),
    [
        ("__builtins__", builtins),
        ("re", re),
        ("warnings", warnings),
        ("BytesIO", io.BytesIO),
        ("Dict", typing.Dict),
        ("Any", typing.Any),
        ("List", typing.List),
        ("Optional", typing.Optional),
        ("Union", typing.Union),
        ("zipfile", zipfile),
        ("API", nembra.api_v1.API),
        ("_SerializableObject", nembra.core._SerializableObject),
        ("File", nembra.core.File),
        ("_serialize_params", nembra.parametrization._serialize_params),
        ("SVGResult", nembra.views.SVGResult),
        ("PNGResult", nembra.views.PNGResult),
        ("JPGResult", nembra.views.JPGResult),
        ("Munch", munch.Munch),
    ],
)
def test_imported_names_are_the_imported_objects(name, expected):
    assert vars(nembra.result)[name] is expected


def test_test_dict_is_an_empty_dict():
    assert type(nembra.result.__test__) is dict
    assert nembra.result.__test__ == {}


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_classes_are_bound_under_their_names(name):
    cls = vars(nembra.result)[name]
    assert isinstance(cls, type)
    assert (cls.__name__, cls.__module__) == (name, "nembra.result")


@pytest.mark.parametrize(
    ("alias", "name"),
    [
        ("SetParametersResult", "SetParamsResult"),
        ("OptimisationResultElement", "OptimizationResultElement"),
        ("OptimisationResult", "OptimizationResult"),
    ],
)
def test_british_aliases_are_the_same_class_objects(alias, name):
    assert getattr(nembra.result, alias) is getattr(nembra.result, name)


def test_star_import_takes_every_public_name():
    namespace = {}
    exec("from nembra.result import *", namespace)
    namespace.pop("__builtins__")
    assert set(namespace) == {
        "re",
        "warnings",
        "BytesIO",
        "Dict",
        "Any",
        "List",
        "Optional",
        "Union",
        "zipfile",
        "API",
        "File",
        "SVGResult",
        "PNGResult",
        "JPGResult",
        "Munch",
        "SetParamsResult",
        "SetParametersResult",
        "DownloadResult",
        "OptimizationResultElement",
        "OptimisationResultElement",
        "OptimizationResult",
        "OptimisationResult",
        "NembraResult",
    }
    for private in ("_create_safe_file_name", "_SerializableObject", "_serialize_params", "__test__"):
        assert private not in namespace
    assert namespace["NembraResult"] is nembra.result.NembraResult
    assert namespace["Munch"] is munch.Munch


# --- loading under another name -----------------------------------------------------------

ALT_PACKAGE = {
    "__init__.py": "",
    "api_v1.py": "from nembra.api_v1 import API\n",
    "core.py": "from nembra.core import _SerializableObject, File\n",
    "parametrization.py": "from nembra.parametrization import _serialize_params\n",
    "views.py": "from nembra.views import SVGResult, PNGResult, JPGResult\n",
}


@pytest.mark.parametrize(
    ("preset_entry", "search_locations"),
    [
        pytest.param(False, False, id="plain"),
        pytest.param(True, False, id="entry-already-present"),
        pytest.param(False, True, id="with-search-locations"),
    ],
)
def test_loading_under_another_module_name(tmp_path, preset_entry, search_locations):
    package = tmp_path / "altpkg"
    package.mkdir()
    for file_name, text in ALT_PACKAGE.items():
        (package / file_name).write_text(text)
    report = run_json(
        f"""
        import importlib.util, json, sys
        sys.path.insert(0, {str(tmp_path)!r})
        import altpkg
        import nembra.api_v1, nembra.core
        origin = importlib.util.find_spec("nembra.result").origin
        assert "nembra.result" not in sys.modules
        sentinel = object()
        if {preset_entry!r}:
            sys.modules["nembra.result"] = sentinel
        locations = [{str(package)!r}] if {search_locations!r} else None
        spec = importlib.util.spec_from_file_location(
            "altpkg.result", origin, submodule_search_locations=locations)
        module = importlib.util.module_from_spec(spec)
        sys.modules["altpkg.result"] = module
        spec.loader.exec_module(module)
        entry = sys.modules.get("nembra.result")
        classes = [getattr(module, name) for name in {CLASS_NAMES!r}]
        functions = [value for cls in classes for value in vars(cls).values()
                     if callable(value) and not isinstance(value, type)]
        functions.append(module._create_safe_file_name)
        print(json.dumps({{
            "__name__": module.__name__,
            "__package__": module.__package__,
            "__package__ is the parent name": module.__package__ == spec.parent,
            "__file__ is origin": module.__file__ == origin,
            "__path__": getattr(module, "__path__", None),
            "class modules": sorted({{cls.__module__ for cls in classes}}),
            "function count": len(functions),
            "function modules": sorted({{function.__module__ for function in functions}}),
            "siblings from the loading package": spec.parent + ".views" in sys.modules,
            "registered as nembra.result": entry is module,
            "preset entry untouched": entry is sentinel,
            "API": module.API is nembra.api_v1.API,
            "base": module.SetParamsResult.__bases__ == (nembra.core._SerializableObject,),
        }}))
        """,
        cwd=tmp_path,
    )
    assert report == {
        "__name__": "altpkg.result",
        "__package__": "altpkg.result" if search_locations else "altpkg",
        "__package__ is the parent name": True,
        "__file__ is origin": True,
        "__path__": [str(package)] if search_locations else None,
        "class modules": ["nembra.result"],
        "function count": 12,
        "function modules": ["nembra.result"],
        "siblings from the loading package": True,
        "registered as nembra.result": not preset_entry,
        "preset entry untouched": preset_entry,
        "API": True,
        "base": True,
    }


# --- failures while loading --------------------------------------------------------------


def test_missing_munch_fails_the_import_and_keeps_the_warning_filters(tmp_path):
    report = run_json(
        """
        import json, sys, warnings
        warnings.filterwarnings("error", message="a filter of this test")
        before = list(warnings.filters)
        sys.modules["munch"] = None
        try:
            import nembra.result
        except BaseException as error:
            failure = [type(error).__name__, str(error)]
        else:
            failure = None
        try:
            import munch
        except BaseException as error:
            reference = [type(error).__name__, str(error)]
        filters_kept = warnings.filters == before
        registered_after_failure = "nembra.result" in sys.modules
        # Make munch importable again; a body that runs again imports api_v1 afresh.
        del sys.modules["munch"]
        del sys.modules["nembra.api_v1"]
        import nembra.result
        import munch
        print(json.dumps({
            "failure": failure,
            "same as the import machinery's": failure == reference,
            "filters kept": filters_kept,
            "registered after failure": registered_after_failure,
            "loaded later": nembra.result.Munch is munch.Munch,
            "body ran again": "nembra.api_v1" in sys.modules,
            "filters kept after success": warnings.filters == before,
        }))
        """,
        cwd=tmp_path,
    )
    assert report == {
        "failure": ["ModuleNotFoundError", "import of munch halted; None in sys.modules"],
        "same as the import machinery's": True,
        "filters kept": True,
        "registered after failure": False,
        "loaded later": True,
        "body ran again": True,
        "filters kept after success": True,
    }


@pytest.mark.parametrize(
    "module", ["nembra.api_v1", "nembra.core", "nembra.parametrization", "nembra.views"]
)
def test_a_sibling_that_cannot_be_imported_fails_the_import(tmp_path, module):
    report = run_json(
        f"""
        import json, sys
        sys.modules[{module!r}] = None
        try:
            import nembra.result
        except BaseException as error:
            failure = [type(error).__name__, str(error)]
        else:
            failure = None
        print(json.dumps({{"failure": failure, "registered": "nembra.result" in sys.modules}}))
        """,
        cwd=tmp_path,
    )
    assert report == {
        "failure": ["ModuleNotFoundError", f"import of {module} halted; None in sys.modules"],
        "registered": False,
    }


def test_warnings_raised_while_munch_is_imported_are_suppressed(tmp_path):
    (tmp_path / "munch.py").write_text(
        textwrap.dedent(
            """
            import warnings
            FILTER_IN_FORCE = warnings.filters[0]
            warnings.warn("munch warns while it is imported", DeprecationWarning)
            warnings.warn("and once more", UserWarning)


            class Munch(dict):
                pass
            """
        )
    )
    process = run_python(
        f"""
        import json, sys, warnings
        sys.path.insert(0, {str(tmp_path)!r})
        warnings.simplefilter("error")
        before = list(warnings.filters)
        import nembra.result
        import munch
        action, message, category, module, lineno = munch.FILTER_IN_FORCE
        print(json.dumps({{
            "fake munch": nembra.result.Munch is munch.Munch and munch.__file__.startswith({str(tmp_path)!r}),
            "filter in force": [action, message, category.__name__, module, lineno],
            "filters kept": warnings.filters == before,
        }}))
        """,
        cwd=tmp_path,
    )
    assert (process.returncode, process.stderr) == (0, "")
    assert json.loads(process.stdout) == {
        "fake munch": True,
        "filter in force": ["ignore", None, "Warning", None, 0],
        "filters kept": True,
    }


@pytest.mark.parametrize(
    ("module", "name"),
    [
        ("nembra.api_v1", "API"),
        ("nembra.core", "_SerializableObject"),
        ("nembra.core", "File"),
        ("nembra.parametrization", "_serialize_params"),
        ("nembra.views", "SVGResult"),
        ("nembra.views", "PNGResult"),
        ("nembra.views", "JPGResult"),
        ("munch", "Munch"),
    ],
)
def test_a_sibling_lacking_a_name_fails_the_import(tmp_path, module, name):
    report = run_json(
        f"""
        import importlib, json, sys
        sibling = importlib.import_module({module!r})
        delattr(sibling, {name!r})
        try:
            import nembra.result
        except BaseException as error:
            failure = [type(error).__module__, type(error).__qualname__, str(error)]
        else:
            failure = None
        print(json.dumps({{"failure": failure, "registered": "nembra.result" in sys.modules}}))
        """,
        cwd=tmp_path,
    )
    assert report == {
        "failure": ["builtins", "ImportError", f"cannot import name {name}"],
        "registered": False,
    }


@pytest.mark.parametrize(
    ("raised", "expected"),
    [
        pytest.param(
            "AttributeError('File is not here')",
            ["ImportError", "cannot import name File", False],
            id="attribute-error-becomes-import-error",
        ),
        pytest.param(
            "RuntimeError('lookup of File broke')",
            ["RuntimeError", "lookup of File broke", True],
            id="other-error-propagates",
        ),
        pytest.param(
            "KeyError('File')",
            ["KeyError", "'File'", True],
            id="key-error-propagates",
        ),
    ],
)
def test_sibling_attribute_lookup_errors(tmp_path, raised, expected):
    report = run_json(
        f"""
        import json, sys
        import nembra.core

        saved = nembra.core.File
        del nembra.core.File
        seen = {{}}
        problem = {raised}

        def module_getattr(name):
            if name != "File":
                raise AttributeError(name)
            half_loaded = sys.modules["nembra.result"]
            seen["module"] = half_loaded
            seen["names"] = list(vars(half_loaded))
            raise problem

        nembra.core.__getattr__ = module_getattr
        try:
            import nembra.result
        except BaseException as error:
            failure = [type(error).__name__, str(error), error is problem]
        else:
            failure = None
        registered = "nembra.result" in sys.modules
        del nembra.core.__getattr__
        nembra.core.File = saved
        import nembra.result
        print(json.dumps({{
            "failure": failure,
            "last names bound": seen["names"][-2:],
            "registered after failure": registered,
            "new module later": nembra.result is not seen["module"],
            "complete later": nembra.result.File is saved and hasattr(nembra.result, "__test__"),
        }}))
        """,
        cwd=tmp_path,
    )
    assert report == {
        "failure": expected,
        "last names bound": ["API", "_SerializableObject"],
        "registered after failure": False,
        "new module later": True,
        "complete later": True,
    }


def test_a_failing_class_statement_fails_the_import(tmp_path):
    report = run_json(
        """
        import json, sys
        import nembra.core

        problem = RuntimeError("no namespace today")


        class RefusingMeta(type):
            @classmethod
            def __prepare__(mcls, name, bases, **kwargs):
                raise problem


        Base = RefusingMeta("Base", (), {})
        original = nembra.core._SerializableObject
        nembra.core._SerializableObject = Base
        try:
            import nembra.result
        except BaseException as error:
            failure = [type(error).__name__, str(error), error is problem]
        else:
            failure = None
        registered = "nembra.result" in sys.modules
        nembra.core._SerializableObject = original
        import nembra.result
        print(json.dumps({
            "failure": failure,
            "registered after failure": registered,
            "base later": nembra.result.NembraResult.__bases__ == (original,),
        }))
        """,
        cwd=tmp_path,
    )
    assert report == {
        "failure": ["RuntimeError", "no namespace today", True],
        "registered after failure": False,
        "base later": True,
    }


def test_an_image_class_that_typing_refuses_fails_the_import(tmp_path):
    report = run_json(
        """
        import json, sys, typing
        import nembra.views

        nembra.views.SVGResult = (1, 2)
        try:
            typing.Union[nembra.views.PNGResult, nembra.views.JPGResult, nembra.views.SVGResult]
        except TypeError as error:
            reference = str(error)
        try:
            import nembra.result
        except BaseException as error:
            failure = [type(error).__name__, str(error)]
        else:
            failure = None
        print(json.dumps({
            "failure": failure,
            "reference": reference,
            "registered": "nembra.result" in sys.modules,
        }))
        """,
        cwd=tmp_path,
    )
    assert report["failure"] == ["TypeError", report["reference"]]
    assert report["registered"] is False


@pytest.mark.parametrize("name", ["ValueError", "NotImplementedError"])
def test_a_missing_builtin_exception_fails_the_import(tmp_path, name):
    report = run_json(
        f"""
        import builtins, json, sys
        import re, warnings, io, typing, zipfile, munch
        import nembra.api_v1, nembra.core, nembra.parametrization, nembra.views

        saved = getattr(builtins, {name!r})
        delattr(builtins, {name!r})
        try:
            import nembra.result
        except BaseException as error:
            failure = [type(error).__name__, str(error)]
        else:
            failure = None
        setattr(builtins, {name!r}, saved)
        registered = "nembra.result" in sys.modules
        import nembra.result
        print(json.dumps({{
            "failure": failure,
            "registered after failure": registered,
            "loaded later": hasattr(nembra.result, "__test__"),
        }}))
        """,
        cwd=tmp_path,
    )
    assert report == {
        "failure": ["NameError", f"name '{name}' is not defined"],
        "registered after failure": False,
        "loaded later": True,
    }
