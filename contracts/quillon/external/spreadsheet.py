"""Spreadsheet cells of the host SDK stand-in.

Cells are what a spreadsheet job sends to its worker and what the worker's answer is matched
against. Their serialised forms, which the "excel" worker reads:

- named input cell: {"name": name, "value": value}
- direct input cell: {"sheet": sheet_name, "column": column, "row": row, "value": value}
- named output cell: {"name": name}
- direct output cell: {"sheet": sheet_name, "column": column, "row": row}

For the old worker interface, input values travel as text: None as "", booleans as
"TRUE"/"FALSE", dates and times in ISO 8601, anything else as ``str(value)``. In the new
interface a value keeps its JSON type (dates and times become ISO 8601 text).

A worker answers with one mapping per output cell, carrying the identifying keys above plus
"value"; ``equals`` recognises the cell's own mapping by those keys.
"""

from __future__ import annotations

import datetime
from typing import Any, Optional

__all__ = ["NamedInputCell", "DirectInputCell", "NamedOutputCell", "DirectOutputCell"]


def _plain_value(value: Any, as_text: bool) -> Any:
    if isinstance(value, (datetime.date, datetime.time)):
        return value.isoformat()
    if not as_text:
        return value
    if value is None:
        return ""
    if isinstance(value, bool):
        return "TRUE" if value else "FALSE"
    return str(value)


class NamedInputCell:
    """A value for the workbook cell (or range) with the defined name ``name``."""

    def __init__(self, name: str, value: Any) -> None:
        self.name = name
        self.value = value

    def serialize(self, use_old_worker_interface: bool = False) -> dict:
        return {"name": self.name, "value": _plain_value(self.value, use_old_worker_interface)}

    def __repr__(self) -> str:
        return f"NamedInputCell({self.name!r}, {self.value!r})"


class DirectInputCell:
    """A value for the cell at ``column`` (letters) and ``row`` (from 1) of sheet ``sheet_name``."""

    def __init__(self, sheet_name: str, column: str, row: int, value: Any) -> None:
        self.sheet_name = sheet_name
        self.column = column
        self.row = row
        self.value = value

    def serialize(self, use_old_worker_interface: bool = False) -> dict:
        return {"sheet": self.sheet_name, "column": self.column, "row": self.row,
                "value": _plain_value(self.value, use_old_worker_interface)}

    def __repr__(self) -> str:
        return (f"DirectInputCell({self.sheet_name!r}, {self.column!r}, {self.row!r}, "
                f"{self.value!r})")


class NamedOutputCell:
    """The workbook cell with the defined name ``name``, whose value comes back in ``result``."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.result: Optional[Any] = None

    def serialize(self) -> dict:
        return {"name": self.name}

    def equals(self, cell_result: dict) -> bool:
        """True when the worker's per-cell mapping ``cell_result`` is this cell's."""
        return cell_result.get("name") == self.name

    def __repr__(self) -> str:
        return f"NamedOutputCell({self.name!r})"


class DirectOutputCell:
    """The cell at ``column``/``row`` of ``sheet_name``, whose value comes back in ``result``."""

    def __init__(self, sheet_name: str, column: str, row: int) -> None:
        self.sheet_name = sheet_name
        self.column = column
        self.row = row
        self.result: Optional[Any] = None

    def serialize(self) -> dict:
        return {"sheet": self.sheet_name, "column": self.column, "row": self.row}

    def equals(self, cell_result: dict) -> bool:
        """True when the worker's per-cell mapping ``cell_result`` is this cell's."""
        return (cell_result.get("sheet") == self.sheet_name
                and cell_result.get("column") == self.column
                and cell_result.get("row") == self.row)

    def __repr__(self) -> str:
        return f"DirectOutputCell({self.sheet_name!r}, {self.column!r}, {self.row!r})"
