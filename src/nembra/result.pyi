# Type information for the native module nembra.result.
#
# Parameters are typed by what the functions accept: the runtime annotations "dict" and
# "unicode" mean "a dict or None" and "a str or None", and rows and images are used only
# through the methods and attributes that the protocols below name.

import re as re
import warnings as warnings
import zipfile as zipfile
from io import BytesIO as BytesIO
from typing import Any as Any
from typing import Dict as Dict
from typing import Iterable, Mapping, Protocol
from typing import List as List
from typing import Optional as Optional
from typing import Union as Union

from munch import Munch as Munch  # type: ignore[import-untyped]

from .api_v1 import API as API
from .core import File as File
from .core import _SerializableObject as _SerializableObject
from .parametrization import _serialize_params as _serialize_params
from .views import JPGResult as JPGResult
from .views import PNGResult as PNGResult
from .views import SVGResult as SVGResult

__test__: Dict[str, Any]

class _Row(Protocol):
    """A row of an optimisation table: anything whose ``_serialize`` takes the headers."""

    def _serialize(self, output_headers: Dict[Any, str], /) -> Any: ...

class _Image(Protocol):
    """An image shown beside an optimisation table."""

    @property
    def _view_type_name(self) -> Any: ...
    def _serialize(self) -> Any: ...

class SetParamsResult(_SerializableObject):
    _data: Optional[Dict[str, Any]]
    def __init__(self, params: Optional[Dict[str, Any]]) -> None: ...
    def _serialize(self) -> Dict[str, Any]: ...
    def get(self, key: Optional[str]) -> Any: ...

SetParametersResult = SetParamsResult

class DownloadResult(_SerializableObject):
    _file_content: Union[str, bytes, File, BytesIO, None]
    _file_name: str
    _encoding: Optional[str]
    _zipped_files: Optional[Mapping[str, Union[File, BytesIO]]]
    def __init__(
        self,
        file_content: Union[str, bytes, File, BytesIO, None] = None,
        file_name: Optional[str] = None,
        encoding: Optional[str] = "utf-8",
        *,
        zipped_files: Optional[Mapping[str, Union[File, BytesIO]]] = None,
    ) -> None: ...
    def _serialize(self) -> Dict[str, Any]: ...

class OptimizationResultElement:
    _parameter_set: Any
    _analysis_result: Dict[str, Any]
    def __init__(
        self,
        params: Union[Dict[str, Any], Munch],
        analysis_result: Optional[Dict[str, Any]] = None,
    ) -> None: ...
    def _serialize(self, output_headers: Optional[Iterable[Any]]) -> Dict[str, Any]: ...

OptimisationResultElement = OptimizationResultElement

class OptimizationResult(_SerializableObject):
    result_column_names_input: List[str]
    result_column_names_result: List[str]
    _output_headers: Dict[Any, str]
    _OptimizationResult__results: Iterable[_Row]
    _view_results: List[_Image]
    def __init__(
        self,
        results: Iterable[_Row],
        result_column_names_input: Optional[List[str]] = None,
        output_headers: Optional[Dict[Any, str]] = None,
        image: Optional[_Image] = None,
    ) -> None: ...
    def _serialize(self) -> Dict[str, Any]: ...

OptimisationResult = OptimizationResult

class NembraResult(_SerializableObject):
    _optimization_result: Optional[OptimizationResult]
    _set_params_result: Optional[SetParamsResult]
    _download_result: Optional[DownloadResult]
    def __init__(
        self,
        optimisation_result: Optional[OptimizationResult] = None,
        set_parameters_result: Optional[SetParamsResult] = None,
        download_result: Optional[DownloadResult] = None,
        *,
        optimization_result: Optional[OptimizationResult] = None,
        set_params_result: Optional[SetParamsResult] = None,
    ) -> None: ...
    def _serialize(self) -> Dict[str, Any]: ...

def _create_safe_file_name(file_name: str) -> str: ...
