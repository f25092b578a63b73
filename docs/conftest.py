"""The documentation, built once for the checks of the reference and of the guide."""

import io
import sys

from pathlib import Path

import pytest
from sphinx.application import Sphinx

DOCS = Path(__file__).resolve().parent


@pytest.fixture(scope="session")
def build(tmp_path_factory):
    """The Sphinx application after a nitpicky HTML build, and the warnings it gave."""
    out = tmp_path_factory.mktemp("docs")
    warnings = io.StringIO()
    # Build as sphinx-build does, in a process that has not imported nembra.result: the
    # configuration must import the module itself, or autodoc reads the stub instead.
    module = sys.modules.pop("nembra.result", None)
    try:
        app = Sphinx(
            str(DOCS), str(DOCS), str(out / "html"), str(out / "doctrees"), "html",
            status=None, warning=warnings, freshenv=True, confoverrides={"nitpicky": True},
        )
        app.build(force_all=True)
    finally:
        if module is not None:
            sys.modules["nembra.result"] = module
    return app, warnings.getvalue()
