"""Run a spreadsheet calculation on the local "excel" worker.

The workbook computes the mid-span moment and the bending stress of a simply supported beam
from its span and line load. The inputs go in through a defined name and a direct cell, the
results come back from output cells, and the filled workbook is saved in the temporary folder.

Run with the host stand-in on the path (after ``tools/devbuild NAME excel``):

    PYTHONPATH=contracts python3 examples/spreadsheet.py

Needs the PyPI packages openpyxl and formulas (the local worker's spreadsheet and formula
libraries).
"""

import io
import tempfile
from pathlib import Path

import openpyxl  # type: ignore[import-untyped]
from openpyxl.workbook.defined_name import DefinedName  # type: ignore[import-untyped]

from quillon.core import File
from quillon.external.excel import Excel
from quillon.external.spreadsheet import (DirectInputCell, DirectOutputCell, NamedInputCell,
                                          NamedOutputCell)


def beam_workbook() -> File:
    book = openpyxl.Workbook()
    sheet = book.active
    sheet.title = "Beam"
    rows = [("span [m]", 6.0), ("line load [kN/m]", 10.0), ("section modulus [cm3]", 1160.0),
            ("moment [kNm]", "=B2*B1^2/8"), ("stress [MPa]", "=B4*1000/B3"),
            ("utilisation", '=IF(B5>235,"fails","ok")')]
    for row, (label, value) in enumerate(rows, start=1):
        sheet.cell(row=row, column=1, value=label)
        sheet.cell(row=row, column=2, value=value)
    book.defined_names["span"] = DefinedName("span", attr_text="Beam!$B$1")
    book.defined_names["moment"] = DefinedName("moment", attr_text="Beam!$B$4")
    stream = io.BytesIO()
    book.save(stream)
    return File.from_data(stream.getvalue())


def main() -> None:
    moment = NamedOutputCell("moment")
    stress, verdict = DirectOutputCell("Beam", "B", 5), DirectOutputCell("Beam", "B", 6)
    job = Excel(beam_workbook(),
                named_input_cells=[NamedInputCell("span", 8.0)],
                direct_input_cells=[DirectInputCell("Beam", "B", 2, 25.0)],
                named_output_cells=[moment],
                direct_output_cells=[stress, verdict],
                extension=".xlsx", typed_results=True)
    job.execute(timeout=60)

    print(f"moment      {job.get_named_cell_result('moment'):8.1f} kNm")
    print(f"stress      {job.get_direct_cell_result('Beam', 'B', 5):8.1f} MPa")
    print(f"verdict     {verdict.result:>8}")
    target = Path(tempfile.gettempdir(), "spreadsheet_filled.xlsx")
    target.write_bytes(job.get_filled_template().getvalue_binary())
    print(f"filled workbook written to {target}")


if __name__ == "__main__":
    main()
