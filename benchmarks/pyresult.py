"""The result classes of :mod:`nembra.result`, written in plain Python.

This is the yardstick of the benchmarks: the same five classes and the file-name helper,
with the same attributes, the same serialised dicts in the same key order and the same
calls into the sibling modules, written the way a careful Python developer would write
them. The module-level names that the methods use (``_serialize_params``, ``File``,
``API``, ``BytesIO``, ``zipfile``, ``re``, ``_create_safe_file_name``) are globals of
this module, looked up at each use, so rebinding one here changes later calls exactly as
it does in the native module.

Argument tests follow the native module: a parameter declared as ``dict`` or ``str``
accepts None or an object of exactly that type. Argument binding itself is Python's own,
so the wording of binding errors differs from the native module; the benchmarks never
take those paths.
"""

import re
import zipfile
from io import BytesIO
from typing import Any, Dict, List, Optional, Union

from munch import Munch

from nembra.api_v1 import API
from nembra.core import File, _SerializableObject
from nembra.parametrization import _serialize_params
from nembra.views import JPGResult, PNGResult, SVGResult

__all__ = [
    "SetParamsResult",
    "SetParametersResult",
    "DownloadResult",
    "OptimizationResultElement",
    "OptimisationResultElement",
    "OptimizationResult",
    "OptimisationResult",
    "NembraResult",
]


def _wrong_type(parameter: str, expected: type, value: object) -> TypeError:
    return TypeError(
        f"Argument '{parameter}' has incorrect type "
        f"(expected {expected.__name__}, got {type(value).__name__})"
    )


class SetParamsResult(_SerializableObject):
    """Container for the output of a set-params button."""

    def __init__(self, params: dict):
        if params is not None and type(params) is not dict:
            raise _wrong_type("params", dict, params)
        self._data = params

    def _serialize(self) -> dict:
        return {"parameters": _serialize_params(self._data)}

    def get(self, key: str) -> Any:
        if key is not None and type(key) is not str:
            raise _wrong_type("key", str, key)
        return self._data[key]


SetParametersResult = SetParamsResult


class DownloadResult(_SerializableObject):
    """Container for the output of a download button."""

    def __init__(
        self,
        file_content: Union[str, bytes, File, BytesIO] = None,
        file_name: str = None,
        encoding: str = "utf-8",
        *,
        zipped_files: Dict[str, Union[File, BytesIO]] = None,
    ):
        if file_name is not None and type(file_name) is not str:
            raise _wrong_type("file_name", str, file_name)
        if encoding is not None and type(encoding) is not str:
            raise _wrong_type("encoding", str, encoding)
        if file_name is None:
            raise ValueError("Provide a 'file_name'")
        if file_content is None and zipped_files is None:
            raise ValueError("Provide at least one of 'file_content' or 'zipped_files'")
        if file_content is not None and zipped_files is not None:
            raise ValueError("Provide one of 'file_content' or 'zipped_files', not both")
        self._file_content = file_content
        self._file_name = _create_safe_file_name(file_name)
        self._encoding = encoding
        self._zipped_files = zipped_files

    def _serialize(self) -> dict:
        if self._zipped_files is not None:
            file = File()
            with zipfile.ZipFile(file.source, "w", zipfile.ZIP_DEFLATED) as z:
                for file_name, file_ in self._zipped_files.items():
                    if isinstance(file_, BytesIO):
                        content = file_.getvalue()
                    elif isinstance(file_, File):
                        content = file_.getvalue_binary()
                    else:
                        raise NotImplementedError
                    z.writestr(file_name, content)
        elif isinstance(self._file_content, str):
            file = BytesIO(self._file_content.encode(self._encoding))
        elif isinstance(self._file_content, bytes):
            file = BytesIO(self._file_content)
        else:
            file = self._file_content

        api = API()
        if isinstance(file, BytesIO):
            url = api._upload_temporary_file(file, self._file_name)
        elif isinstance(file, File):
            with file.open_binary() as r:
                url = api._upload_temporary_file(r, self._file_name)
        else:
            raise NotImplementedError
        return {"url": url}


class OptimizationResultElement:
    def __init__(self, params: Union[dict, Munch], analysis_result: dict = None):
        if analysis_result is not None and type(analysis_result) is not dict:
            raise _wrong_type("analysis_result", dict, analysis_result)
        self._parameter_set = params
        self._analysis_result = analysis_result if analysis_result else {}

    def _serialize(self, output_headers: Optional[dict]) -> dict:
        """Only provide output_headers when non-empty"""
        serialized = {
            "design": _serialize_params(self._parameter_set),
            "analysis": self._analysis_result,
        }
        if output_headers is not None:
            serialized["output_display_data"] = [
                str(self._analysis_result.get(header_key, "")) for header_key in output_headers
            ]
        return serialized


OptimisationResultElement = OptimizationResultElement


class OptimizationResult(_SerializableObject):
    def __init__(
        self,
        results: List[OptimizationResultElement],
        result_column_names_input: List[str] = None,
        output_headers: dict = None,
        image: Union[PNGResult, JPGResult, SVGResult] = None,
    ):
        if output_headers is not None and type(output_headers) is not dict:
            raise _wrong_type("output_headers", dict, output_headers)
        self.result_column_names_input = result_column_names_input if result_column_names_input else []
        self.result_column_names_result = []
        self._output_headers = output_headers if output_headers else {}
        self.__results = results
        self._view_results = [image] if image else []

    def _serialize(self) -> Dict[str, Any]:
        """Get the final results as {"optimization": [result1, result2]}, with results sorted by cost."""
        view_definitions = [{"label": "", "type": vr._view_type_name} for vr in self._view_results]
        view_data = [vr._serialize() for vr in self._view_results]
        return {
            "input_columns": self.result_column_names_input,
            "optimization": [r._serialize(self._output_headers) for r in self.__results],
            "output_headers": list(self._output_headers.values()),
            "views": {"definitions": view_definitions, "data": view_data},
        }


OptimisationResult = OptimizationResult


class NembraResult(_SerializableObject):
    def __init__(
        self,
        optimisation_result: OptimizationResult = None,
        set_parameters_result: SetParamsResult = None,
        download_result: DownloadResult = None,
        *,
        optimization_result: OptimizationResult = None,
        set_params_result: SetParamsResult = None,
    ):
        self._optimization_result = optimization_result if optimization_result else optimisation_result
        self._set_params_result = set_params_result if set_params_result else set_parameters_result
        self._download_result = download_result

    def _serialize(self) -> dict:
        serialisation = {}
        if self._optimization_result is not None:
            serialisation.update(self._optimization_result._serialize())
        if self._set_params_result is not None:
            serialisation.update(self._set_params_result._serialize())
        if self._download_result is not None:
            serialisation.update(self._download_result._serialize())
        return serialisation


def _create_safe_file_name(file_name: str) -> str:
    """Replace every character but ASCII letters, digits and dots by an underscore."""
    if file_name is not None and type(file_name) is not str:
        raise _wrong_type("file_name", str, file_name)
    return re.sub("[^A-Za-z0-9.]", "_", file_name)
