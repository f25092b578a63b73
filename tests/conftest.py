"""Fixtures shared by the test modules."""

import pytest

import nembra.result


@pytest.fixture
def namespace():
    """The namespace of nembra.result, put back as it was afterwards, binding order included.

    Deleting a name and binding it again would move it to the end of the namespace, so
    the namespace is restored whole rather than name by name.
    """
    names = vars(nembra.result)
    saved = list(names.items())
    yield names
    if list(names.items()) != saved:
        names.clear()
        names.update(saved)
