"""Runs spreadsheet workbooks with macros on a worker and reads back cells."""

from io import BytesIO
from typing import Any, Dict, List, Optional, Union

from quillon.core import File
from quillon.external.external_program import ExternalProgram, _JobContent
from quillon.external.spreadsheet import (DirectInputCell, DirectOutputCell, NamedInputCell,
                                          NamedOutputCell)

__all__ = ["Excel", "Macro"]


class Macro:
    """A macro of the workbook, run by the worker after the input cells are filled."""

    command: str

    def __init__(self, command: str) -> None: ...
    def serialize(self) -> Dict[str, Any]: ...


class Excel(ExternalProgram):
    """Runs a workbook on a worker: fills input cells, runs macros, reads output cells."""

    template: Union[BytesIO, File]
    _named_input_cells: List[NamedInputCell]
    _named_output_cells: List[NamedOutputCell]
    _direct_input_cells: List[DirectInputCell]
    _direct_output_cells: List[DirectOutputCell]
    _macros: List[Macro]
    _extension: str
    _success: Optional[bool]
    _error_string: Optional[str]
    _filled_template: Optional[BytesIO]
    _typed_results: bool

    def __init__(self, template: Union[BytesIO, File],
                 named_input_cells: Optional[List[NamedInputCell]] = None,
                 direct_input_cells: Optional[List[DirectInputCell]] = None,
                 macros: Optional[List[Macro]] = None,
                 named_output_cells: Optional[List[NamedOutputCell]] = None,
                 direct_output_cells: Optional[List[DirectOutputCell]] = None,
                 extension: str = '.xlsm', typed_results: bool = False) -> None: ...
    # The base accepts a float or None; an override must accept at least as much.
    def execute(self, timeout: Optional[float] = 30) -> None: ...
    def result_available(self) -> bool: ...
    def get_named_cell_result(self, name: str) -> Any: ...
    def get_direct_cell_result(self, sheet_name: str, column: str, row: int) -> Any: ...
    def get_filled_template(self) -> File: ...
    @property
    def filled_template(self) -> BytesIO: ...
    @property
    def success(self) -> Optional[bool]: ...
    @property
    def error_message(self) -> Optional[str]: ...
    def _generate_job_content(self, use_old_worker_interface: bool = False) -> _JobContent: ...
    def _process_result(self, use_old_worker_interface: bool = False) -> None: ...
    @staticmethod
    def _create_error_string(result_content: Dict[str, Any]) -> str: ...
    def _fill_output_cells(self, named_cell_results: Optional[List[Dict[str, Any]]] = None,
                           direct_cell_results: Optional[List[Dict[str, Any]]] = None) -> None: ...
    def _handle_execution_error(self, message: str) -> None: ...
