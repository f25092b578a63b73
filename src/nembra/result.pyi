# Type information for the native module nembra.result.
#
# Parameters are typed by what the functions accept: the runtime annotations "dict" and
# "unicode" admit None as well, which is typed wherever None then works, and rows and
# images are used only through the methods and attributes that the protocols below name. The docstrings are the
# module's own, character for character, for editors that read them from here.

"""
Overview
--------

These objects are returned by an entity-type controller, corresponding to its action button:

- :class:`NembraResult`
- :class:`DownloadResult`
- :class:`OptimizationResult`
- :class:`SetParamsResult`

Reference
---------
"""

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
    """
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
    _data: Optional[Dict[str, Any]]
    def __init__(self, params: Optional[Dict[str, Any]]) -> None:
        """
        :param params: the values you want to set to the user input, if you do not specify a value, it will be kept as is.
        """
    def _serialize(self) -> Dict[str, Any]: ...
    def get(self, key: Optional[str]) -> Any: ...

SetParametersResult = SetParamsResult

class DownloadResult(_SerializableObject):
    """ Container for the output of a :class:`~.parametrization.actions.DownloadButton`.

    Download of single file:

    .. code-block:: python

        DownloadResult(file_content=my_file, file_name="my_file.txt")

    Download of multiple files bundled in a zip-file:

    .. code-block:: python

        DownloadResult(zipped_files={'my_file_1.txt': my_file_1, 'my_file_2.txt': my_file_2}, file_name="my_file.zip")

    """
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
    ) -> None:
        """
        :param file_content: if type str and encoding is not utf-8, specify in additional argument. Mutual exclusive
         with 'zipped_files'.
        :param file_name: name (including extension) to be used for download. In case of 'zipped_files', this is the
         name of the zip-file. May only consist of alphanumeric characters, underscores and dots (any other characters
         are converted to an underscore).
        :param encoding: optional argument to specify file encoding when file_content is provided with type str
        :param zipped_files: a dict of {file name: content} to be bundled in a zip-file with file-name 'file_name'.
         Mutual exclusive with 'file_content'.
        """
    def _serialize(self) -> Dict[str, Any]: ...

class OptimizationResultElement:
    _parameter_set: Any
    _analysis_result: Dict[str, Any]
    def __init__(
        self,
        params: Union[Dict[str, Any], Munch],
        analysis_result: Optional[Dict[str, Any]] = None,
    ) -> None:
        """
        :param params: a complete parameter set
        :param analysis_result: the accompanying results.

        For an example, see :class:`OptimizationResult`
        """
    def _serialize(self, output_headers: Optional[Iterable[Any]]) -> Dict[str, Any]:
        """Only provide output_headers when non-empty"""

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
    ) -> None:
        """
        Container for the output of an :class:`~.parametrization.actions.OptimizationButton`.

        :param results: list of results, order is kept in user interface.
        :param result_column_names_input: specifies which input parameters should be shown the table.
                                          The parametrization class defined the label which is shown
        :param output_headers: specifies which results should be shown in the results table.
                                Key should match the key of the analysis_result inside each result.
                                Value is the corresponding label which the end user sees.
        :param image: image which is shown next to the results. Could be JPG, PNG or SVG.

        Example:

        .. code-block:: python

            params1 = {'tab': {'section': {'field1': 'a', 'field2': 5}}}
            params2 = {'tab': {'section': {'field1': 'b', 'field2': 8}}}
            analysis1 = {'result1': 10, 'result2': 20}
            analysis2 = {'result1': 100, 'result2': 150}

            results = [
                OptimizationResultElement(params1, analysis1),
                OptimizationResultElement(params2, analysis2),
            ]

            OptimizationResult(results, result_column_names_input=['field1'], output_headers={'result1': 'Result 1'})

        This renders as the following table for the end-user:

        +---------+---------+----------+
        |    #    | Field 1 | Result 1 |
        +=========+=========+==========+
        |    1    |    a    |    10    |
        +---------+---------+----------+
        |    2    |    b    |    100   |
        +---------+---------+----------+

        """
    def _serialize(self) -> Dict[str, Any]:
        """Get the final results as {"optimization": [result1, result2]}, with results sorted by cost."""

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
    ) -> None:
        """
        Standard output object of a NembraController method, which serialises and combines several individual results
        into the standard automation output. All inputs are optional to facilitate many combinations of results where
        needed in the future. Currently, the serialisation only accounts for the following (backward compatible)
        combinations:

        - a single optimization result
        - a single set_params result
        - a single download result

        :param optimisation_result: alias for optimization_result
        :param set_parameters_result: alias for set_params_result
        :param download_result: DownloadResult object
        :param optimization_result: OptimizationResult object
        :param set_params_result: SetParamsResult object
        """
    def _serialize(self) -> Dict[str, Any]: ...

def _create_safe_file_name(file_name: str) -> str:
    """
    File names may have spaces or other symbols which are not allowed.
    Only letters, numbers, underscores, and dots are allowed. All others are replaced by underscore.

    :param file_name: may include extension
    """
