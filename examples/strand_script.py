"""Run a structural-analysis script on the local worker and read back its output file.

The script here stands in for one that drives the structural-analysis program: it reads a
load file, computes the midspan moment of a simply supported beam and writes it out.
"""
from quillon.core import File
from quillon.external.strand import StrandAnalysis

SCRIPT = """
from pathlib import Path
span, load = (float(v) for v in Path("beam.txt").read_text().split())
Path("moment.txt").write_text(f"{load * span ** 2 / 8:.3f}")
"""

analysis = StrandAnalysis(
    script=File.from_data(SCRIPT),
    files=[("beam.txt", File.from_data("6.0 25.0"))],  # span [m], line load [kN/m]
    output_filenames=["moment.txt"],
)
analysis.execute(timeout=60)
moment = analysis.get_output_file("moment.txt", as_file=True)
assert isinstance(moment, File)
print(f"midspan moment: {moment.getvalue()} kNm")
