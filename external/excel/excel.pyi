"""Runs spreadsheet workbooks with macros on a worker and reads back cells."""

from io import BytesIO
from typing import Any, Dict, List, Optional, Union

from quillon.core import File
from quillon.external.external_program import ExternalProgram, _JobContent
from quillon.external.spreadsheet import (
    DirectInputCell,
    DirectOutputCell,
    NamedInputCell,
    NamedOutputCell,
)

__all__ = ["Excel", "Macro"]


class Macro:
    """A macro of the workbook, run by the worker after the input cells are filled."""

    command: str

    def __init__(self, command: str) -> None: ...
    def serialize(self) -> Dict[str, Any]: ...


class Excel(ExternalProgram):
    """Run a spreadsheet workbook, possibly with macros, on a worker.

    The worker fills in the input cells, runs the macros in list order, evaluates the workbook and
    returns the requested output cells and the filled workbook.

    Example::

        excel = Excel(template, named_input_cells=[NamedInputCell('x', x)],
                      direct_output_cells=[DirectOutputCell('Sheet1', 'B', 3)], extension='.xlsx')
        excel.execute(timeout=10)  # seconds
        value = excel.get_direct_cell_result('Sheet1', 'B', 3)

    :param template: the workbook, as a ``BytesIO`` or a host ``File``.
    :param named_input_cells: values for cells addressed by defined name.
    :param direct_input_cells: values for cells addressed by sheet, column and row.
    :param macros: macros to run, in order.
    :param named_output_cells: cells, by defined name, whose values to bring back.
    :param direct_output_cells: cells, by sheet, column and row, whose values to bring back.
    :param extension: ".xlsm" or ".xlsx".
    :param typed_results: bring back values typed after the cells instead of as text.
    :raises quillon.errors.ExecutionError: the job failed; its message tells more.
    """

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

    def __init__(
            self,
            template: Union[BytesIO, File],
            named_input_cells: Optional[List[NamedInputCell]] = None,
            direct_input_cells: Optional[List[DirectInputCell]] = None,
            macros: Optional[List[Macro]] = None,
            named_output_cells: Optional[List[NamedOutputCell]] = None,
            direct_output_cells: Optional[List[DirectOutputCell]] = None,
            extension: str = '.xlsm',
            typed_results: bool = False,
    ) -> None: ...

    def _generate_job_content(self, use_old_worker_interface: bool = False) -> _JobContent: ...

    def execute(self, timeout: Optional[float] = 30) -> None:
        """Run the job on a worker, waiting at most ``timeout`` seconds, and read its answer."""

    def result_available(self) -> bool:
        """Whether the worker has answered (the answer may still report a failure)."""

    def _process_result(self, use_old_worker_interface: bool = False) -> None: ...

    @staticmethod
    def _create_error_string(result_content: Dict[str, Any]) -> str: ...

    def _fill_output_cells(
            self,
            named_cell_results: Optional[List[Dict[str, Any]]] = None,
            direct_cell_results: Optional[List[Dict[str, Any]]] = None,
    ) -> None: ...

    def get_named_cell_result(self, name: str) -> Any:
        """The value of the named output cell ``name``."""

    def get_direct_cell_result(self, sheet_name: str, column: str, row: int) -> Any:
        """The value of the direct output cell at ``sheet_name``, ``column`` and ``row``."""

    @property
    def filled_template(self) -> BytesIO:
        """The filled workbook as the stored stream (not a copy)."""

    def get_filled_template(self) -> File:
        """The filled workbook as a ``File``."""

    @property
    def success(self) -> Optional[bool]:
        """The worker's outcome flag; None when the answer had none."""

    @property
    def error_message(self) -> Optional[str]:
        """The warning and error text of the answer."""

    def _handle_execution_error(self, message: str) -> None: ...
