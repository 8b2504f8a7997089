"""Local "excel" worker of the host stand-in, so that spreadsheet jobs run on one machine.

The worker registry imports this module the first time an "excel" job finds no worker; the
module then registers ``run_excel_job`` unless another worker was registered meanwhile. A
worker with other settings is plugged in with
``register_worker("excel", LocalExcelWorker(old_interface=True))`` and the like.

What it does with a job:

1. opens the workbook (.xlsx, or .xlsm with its macro part kept) with openpyxl;
2. writes the input cells: named cells through the workbook's defined names (every cell of the
   named range), direct cells by sheet, column letters and row;
3. runs the macros in list order. Workbook (VBA) macros cannot run here: only macros registered
   as Python callables (``LocalExcelWorker(macros={"Name": function})``, each called with the
   openpyxl workbook) run; any other fails the job with "Error running macro " + the name;
4. recalculates the workbook with the formula engine of the PyPI package ``formulas`` when
   output cells are requested, and reads their values;
5. answers with the filled workbook (inputs written, formulas kept; openpyxl stores no cached
   values, so a program that only reads cached values sees none) and the output cells.

What it can compute: what ``formulas`` supports, which covers arithmetic, comparison, text
and logical operators, references across sheets, defined names and the common worksheet
functions (IF, SUM, AVERAGE, MIN, MAX, ROUND, VLOOKUP, INDEX, MATCH, the text and date
functions and many more). What it cannot: macros (see above), functions the engine does not
know (their cells come back as error values such as "#NAME?", reported in the answer's
"warning_message"), data tables, external links, pivot tables and charts.

Answer forms. A new worker (the default) answers
``{"result_v2": {...}, "success": True, "warning_message": ..., "error_message": ""}``; a
worker acting as an old one (module switch ``OLD_WORKER = True`` or
``LocalExcelWorker(old_interface=True)``) answers with ``"result"`` instead and every value as
text. The result mapping holds "filled_template" (Base64 text), "named_cells" and
"direct_cells": the request's output cell mappings, each with "value" added.

Value types. The job content does not say whether typed values are wanted; the worker sends
typed values for jobs of version 2 (which typed results require) unless told otherwise with
``LocalExcelWorker(typed_results=...)``. Typed values: integers as int, other numbers as
float, text as str, booleans as bool, dates (numbers in cells with a date format) as RFC
3339 text ("1998-02-23T00:00:00Z"), error values as their text, empty cells as None.
Text values: numbers in their shortest form ("7", "2.5"), booleans as "TRUE"/"FALSE", dates
as above, empty cells as "".

Input values. Values arrive with their JSON types; text in ISO 8601 date form becomes a date.
From old-interface jobs, where every value is text, numbers and "TRUE"/"FALSE" are read back
into numbers and booleans, as typing them into a cell would.

Failures (raised as ``WorkerFailure``): an input cell that cannot be filled ("Filling named
cell <name> failed: ...", "Filling direct cell <sheet>!<column><row> failed: ..."), a macro
("Error running macro <name>"), an unreadable workbook or job, an output cell that does not
exist, or a missing library.
"""

from __future__ import annotations

import base64
import binascii
import datetime
import io
import math
import os
import re
import tempfile
from typing import Any, Callable, Dict, List, Mapping, Optional, Tuple

from quillon.external.external_program import WorkerFailure, get_worker, register_worker

__all__ = ["LocalExcelWorker", "run_excel_job", "OLD_WORKER"]

# Act as an old worker (answer under "result", values as text) unless a worker object says
# otherwise.
OLD_WORKER = False

_ISO_DATE = re.compile(r"\d{4}-\d{2}-\d{2}(?:[T ]\d{2}:\d{2}(?::\d{2}(?:\.\d+)?)?)?Z?\Z")
_NUMBER = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?\Z")
_CELL = re.compile(r"\$?([A-Za-z]{1,3})\$?(\d+)\Z")

Macro = Callable[[Any], None]


def _openpyxl():
    try:
        import openpyxl
    except ImportError:
        raise WorkerFailure("The local spreadsheet worker needs the PyPI package 'openpyxl'") \
            from None
    return openpyxl


class LocalExcelWorker:
    """An "excel" worker running jobs in this process.

    ``old_interface``: answer as an old worker (None follows the module switch ``OLD_WORKER``).
    ``typed_results``: send typed values (None: for jobs of version 2).
    ``macros``: Python callables standing in for workbook macros, by macro name.
    """

    def __init__(self, *, old_interface: Optional[bool] = None,
                 typed_results: Optional[bool] = None,
                 macros: Optional[Mapping[str, Macro]] = None) -> None:
        self.old_interface = old_interface
        self.typed_results = typed_results
        self.macros: Dict[str, Macro] = dict(macros or {})

    def __call__(self, content: dict, *, integration: str = "excel", version: int = 1) -> dict:
        old = OLD_WORKER if self.old_interface is None else self.old_interface
        typed = (version >= 2) if self.typed_results is None else self.typed_results
        if old:
            typed = False
        job = _Job(content, old, typed, self.macros)
        result, warnings = job.run()
        return {"result" if old else "result_v2": result, "success": True,
                "warning_message": "\n".join(warnings), "error_message": ""}


class _Job:
    def __init__(self, content: Any, old: bool, typed: bool, macros: Mapping[str, Macro]):
        try:
            self.template = base64.b64decode(content["template"])
            self.extension = str(content.get("extension") or ".xlsm").lower()
            inputs = content.get("input") or {}
            outputs = content.get("output") or {}
            self.named_inputs = list(inputs.get("named_cells") or ())
            self.direct_inputs = list(inputs.get("direct_cells") or ())
            self.named_outputs = list(outputs.get("named_cells") or ())
            self.direct_outputs = list(outputs.get("direct_cells") or ())
            self.macro_names = [entry["name"] for entry in content.get("macros") or ()]
        except (KeyError, TypeError, AttributeError, ValueError, binascii.Error) as exc:
            raise WorkerFailure(f"Bad job content: {type(exc).__name__}: {exc}") from None
        self.old = old
        self.typed = typed
        self.macros = macros

    # -- steps --------------------------------------------------------------------------------

    def run(self) -> Tuple[dict, List[str]]:
        openpyxl = _openpyxl()
        try:
            workbook = openpyxl.load_workbook(io.BytesIO(self.template),
                                              keep_vba=self.extension == ".xlsm")
        except Exception as exc:  # openpyxl raises many kinds for a file it cannot read
            raise WorkerFailure(f"Opening the workbook failed: {exc}") from None
        try:
            for cell in self.named_inputs:
                self._fill_named(workbook, cell)
            for cell in self.direct_inputs:
                self._fill_direct(workbook, cell)
            for name in self.macro_names:
                self._run_macro(workbook, name)
            filled_bytes = _save(workbook)
            targets = [(cell, self._named_target(workbook, cell)) for cell in self.named_outputs]
            targets += [(cell, self._direct_target(workbook, cell))
                        for cell in self.direct_outputs]
        finally:
            _close(workbook)
        values = _recalculate(filled_bytes, self.extension, [t for _, t in targets]) \
            if targets else []
        warnings = []
        named, direct = [], []
        for (request, (sheet, coordinate)), value in zip(targets, values):
            if isinstance(value, _ErrorValue):
                warnings.append(f"Cell {sheet}!{coordinate} evaluates to {value}")
            answer = dict(request)
            answer["value"] = self._out_value(value)
            (named if "name" in request else direct).append(answer)
        result = {"filled_template": base64.b64encode(filled_bytes).decode("ascii"),
                  "named_cells": named, "direct_cells": direct}
        return result, warnings

    def _fill_named(self, workbook, cell: dict) -> None:
        name = cell.get("name")
        try:
            targets = _named_cells(workbook, name)
            for sheet, coordinate in targets:
                for target in _cells_of(workbook[sheet], coordinate):
                    target.value = self._in_value(cell.get("value"))
        except WorkerFailure:
            raise
        except Exception as exc:
            raise WorkerFailure(f"Filling named cell {name} failed: {exc}") from None

    def _fill_direct(self, workbook, cell: dict) -> None:
        sheet, column, row = cell.get("sheet"), cell.get("column"), cell.get("row")
        try:
            worksheet = _sheet(workbook, sheet)
            worksheet[_coordinate(column, row)].value = self._in_value(cell.get("value"))
        except Exception as exc:
            raise WorkerFailure(f"Filling direct cell {sheet}!{column}{row} failed: {exc}") \
                from None

    def _run_macro(self, workbook, name: str) -> None:
        macro = self.macros.get(name)
        if macro is None:
            raise WorkerFailure("Error running macro " + str(name))
        try:
            macro(workbook)
        except Exception as exc:
            raise WorkerFailure(f"Error running macro {name}: {exc}") from None

    def _named_target(self, workbook, cell: dict) -> Tuple[str, str]:
        name = cell.get("name")
        try:
            sheet, coordinate = _named_cells(workbook, name)[0]
        except Exception as exc:
            raise WorkerFailure(f"Reading named cell {name} failed: {exc}") from None
        return sheet, coordinate.replace("$", "").split(":")[0]

    def _direct_target(self, workbook, cell: dict) -> Tuple[str, str]:
        sheet, column, row = cell.get("sheet"), cell.get("column"), cell.get("row")
        try:
            return _sheet(workbook, sheet).title, _coordinate(column, row)
        except Exception as exc:
            raise WorkerFailure(f"Reading direct cell {sheet}!{column}{row} failed: {exc}") \
                from None

    # -- values -------------------------------------------------------------------------------

    def _in_value(self, value: Any) -> Any:
        if isinstance(value, str):
            if _ISO_DATE.match(value):
                try:
                    return datetime.datetime.fromisoformat(value.rstrip("Z"))
                except ValueError:
                    return value
            if self.old:
                if value in ("TRUE", "FALSE"):
                    return value == "TRUE"
                if _NUMBER.match(value):
                    number = float(value)
                    return int(number) if number.is_integer() and "." not in value \
                        and "e" not in value.lower() else number
                if value == "":
                    return None
        return value

    def _out_value(self, value: Any) -> Any:
        if isinstance(value, _ErrorValue):
            return str(value)
        if isinstance(value, datetime.datetime):
            value = value.strftime("%Y-%m-%dT%H:%M:%SZ")
        elif isinstance(value, datetime.date):
            value = value.strftime("%Y-%m-%dT00:00:00Z")
        if self.typed:
            return value
        if value is None:
            return ""
        if isinstance(value, bool):
            return "TRUE" if value else "FALSE"
        if isinstance(value, float):
            if math.isfinite(value) and value.is_integer() and abs(value) < 1e15:
                return str(int(value))
            return repr(value)
        return str(value)


# -- workbook helpers ---------------------------------------------------------------------------

def _save(workbook) -> bytes:
    filled = io.BytesIO()
    try:
        workbook.save(filled)
    except Exception as exc:
        raise WorkerFailure(f"Saving the workbook failed: {exc}") from None
    return filled.getvalue()


def _close(workbook) -> None:
    """Close the copy of the macro workbook that openpyxl keeps open for saving.

    It is a zip archive being written into an in-memory stream; left to the garbage collector,
    the stream may be finalized first and the archive's own finalizer then fails on it.
    """
    archive = getattr(workbook, "vba_archive", None)
    if archive is not None:
        archive.close()
        workbook.vba_archive = None


def _sheet(workbook, name: Any):
    if name not in workbook.sheetnames:
        raise KeyError(f"no sheet named {name!r}")
    return workbook[name]


def _coordinate(column: Any, row: Any) -> str:
    coordinate = f"{column}{row}"
    if not isinstance(column, str) or isinstance(row, bool) or not _CELL.match(coordinate):
        raise ValueError(f"not a cell address: column {column!r}, row {row!r}")
    return coordinate.upper()


def _named_cells(workbook, name: Any) -> List[Tuple[str, str]]:
    """(sheet title, coordinate) pairs of the defined name, workbook names before sheet names."""
    defined = workbook.defined_names.get(name)
    if defined is None:
        for worksheet in workbook.worksheets:
            defined = worksheet.defined_names.get(name)
            if defined is not None:
                break
    if defined is None:
        raise KeyError(f"the workbook defines no name {name!r}")
    targets = list(defined.destinations)
    if not targets:
        raise ValueError(f"the name {name!r} does not refer to cells")
    return targets


def _cells_of(worksheet, coordinate: str):
    found = worksheet[coordinate.replace("$", "")]
    if not isinstance(found, tuple):
        return [found]
    cells = []
    for item in found:
        cells.extend(item if isinstance(item, tuple) else (item,))
    return cells


class _ErrorValue(str):
    """An error value of a cell ("#DIV/0!", "#NAME?", ...)."""


def _plain(value: Any) -> Any:
    """A value of the formula engine as a plain Python value."""
    try:
        import numpy
    except ImportError:  # pragma: no cover - the engine needs numpy
        numpy = None
    if numpy is not None:
        if isinstance(value, numpy.ndarray):
            value = value.ravel()[0] if value.size else None
        if isinstance(value, numpy.generic):
            value = value.item()
    if value is None or isinstance(value, (bool, int, float, str, datetime.date)):
        if isinstance(value, str) and type(value) is not str:
            # The engine's error values are str subclasses; its empty marker is an empty one.
            return _ErrorValue(value) if value.startswith("#") else None
        return value
    text = str(value)
    if text.startswith("#"):
        return _ErrorValue(text)
    if text in ("", "empty"):
        return None
    return text


class _QuietTqdm:
    """The progress-bar module as the formula engine sees it: bars are created disabled."""

    def __init__(self, module: Any) -> None:
        self._module = module

    def __getattr__(self, name: str) -> Any:
        return getattr(self._module, name)

    def tqdm(self, *args: Any, **kwargs: Any) -> Any:
        kwargs["disable"] = True
        return self._module.tqdm(*args, **kwargs)


def _quiet_progress_bar() -> None:
    """Keep the formula engine from drawing its progress bar on stderr.

    The engine offers no switch for the bar, and the progress library reads its environment
    switch only when first imported. Swapping ``sys.stderr`` meanwhile is no way out: it is
    process-wide, the worker runs in a thread of its own, and overlapping jobs (one abandoned
    after its time-out, say) would swallow other threads' output or leave stderr swapped for
    good. So the engine's own reference to the library is wrapped, once.
    """
    try:
        import formulas.excel as engine
    except ImportError:  # pragma: no cover - layout of another engine version
        return
    bars = getattr(engine, "tqdm", None)
    if bars is not None and not isinstance(bars, _QuietTqdm) and hasattr(bars, "tqdm"):
        engine.tqdm = _QuietTqdm(bars)


def _recalculate(data: bytes, extension: str, targets: List[Tuple[str, str]]) -> List[Any]:
    """Values of ``targets`` ((sheet, coordinate) pairs) after recalculating the workbook."""
    try:
        import formulas
    except ImportError:
        raise WorkerFailure("Recalculating the workbook needs the PyPI package 'formulas'") \
            from None
    _quiet_progress_bar()
    openpyxl = _openpyxl()
    suffix = extension if extension in (".xlsx", ".xlsm") else ".xlsx"
    with tempfile.TemporaryDirectory(prefix="quillon-excel-") as folder:
        path = os.path.join(folder, "book" + suffix)
        with open(path, "wb") as handle:
            handle.write(data)
        try:
            model = formulas.ExcelModel().loads(path).finish()
            solution = model.calculate()
        except WorkerFailure:
            raise
        except Exception as exc:
            raise WorkerFailure(f"Recalculating the workbook failed: {exc}") from None
    from openpyxl.styles.numbers import is_date_format
    from openpyxl.utils.datetime import from_excel
    constants = openpyxl.load_workbook(io.BytesIO(data))
    book = os.path.basename(path).upper()
    computed = {}
    for key, value in solution.items():
        computed[str(key).upper()] = value
    values = []
    for sheet, coordinate in targets:
        key = f"'[{book}]{sheet.upper()}'!{coordinate}"
        if key in computed:
            entry = computed[key]
            value = _plain(getattr(entry, "value", entry))
            # The engine computes dates as serial numbers; the cell's format says it is a date.
            if (isinstance(value, (int, float)) and not isinstance(value, bool)
                    and is_date_format(constants[sheet][coordinate].number_format)):
                try:
                    value = from_excel(value)
                except (ValueError, OverflowError, TypeError):
                    pass
            values.append(value)
        else:
            # Cells nothing depends on and that depend on nothing keep their stored value.
            stored = constants[sheet][coordinate].value
            if isinstance(stored, str) and stored.startswith("="):
                stored = None
            values.append(stored)
    return values


run_excel_job = LocalExcelWorker()

if get_worker("excel") is None:
    register_worker("excel", run_excel_job)
