"""Parameter sets: the nested mappings (tab -> section -> field -> value) of a controller."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any


def _serialize_params(params: Any) -> Any:
    """Return ``params`` with every mapping in it turned into a new plain ``dict``.

    Mappings of any kind (``munch.Munch``, ``OrderedDict``, ``dict``) are copied into
    plain dicts, level by level, keeping their keys and order. Every other value, ``None``
    and lists included, is returned as the very same object.
    """
    if isinstance(params, Mapping):
        return {key: _serialize_params(value) for key, value in params.items()}
    return params
