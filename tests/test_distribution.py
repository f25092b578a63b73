"""What the installed distribution says about itself: version, license, supported Pythons."""

import importlib.metadata
import re
import sys

import pytest

import nembra


@pytest.fixture(scope="module")
def metadata():
    return importlib.metadata.metadata("nembra")


def test_metadata_version_is_the_package_version():
    assert re.fullmatch(r"\d+\.\d+\.\d+", nembra.__version__)
    assert importlib.metadata.version("nembra") == nembra.__version__


def test_license_is_declared_and_shipped(metadata):
    assert metadata["License-Expression"] == "MIT"
    shipped = [f for f in importlib.metadata.files("nembra") if f.name == "LICENSE"]
    assert len(shipped) == 1
    assert shipped[0].read_text().startswith("MIT License\n\nCopyright (c) 2026 the nembra developers\n")


def test_classifiers_name_the_running_python(metadata):
    classifiers = metadata.get_all("Classifier")
    assert "Typing :: Typed" in classifiers
    running = f"Programming Language :: Python :: {sys.version_info.major}.{sys.version_info.minor}"
    assert running in classifiers
