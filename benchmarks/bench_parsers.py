"""Result parsers, side by side on the same files, each figure in a fresh process.

    PYTHONPATH=contracts python3 benchmarks/bench_parsers.py [--big-mb 400] [--whole-mb 120]

Figures (time, and peak resident memory above a bare interpreter that imported the same
modules):
  expat, no handlers       xml.parsers.expat parsing the bytes, nothing else
  expat, empty handlers    the same with element and text handlers that do nothing
  walk, ElementTree        plain-Python RcsOutputFileParser (baseline_parsers.py), extremes()
                           of every section
  walk, native             the native RcsOutputFileParser, extremes() of every section
  whole, ElementTree/native  OutputFileParser: construction, then the six per-section lists
                           for every section id
The streaming walk runs on two files a factor 4 apart, to show memory flat in file size.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
OPS = ("capacity_results", "shear_results", "crack_width_results", "detailing_results",
       "stress_limitation_results", "fatigue_results")


def _peak_kb():
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def child(figure, path):
    sys.path.insert(0, HERE)
    import io
    import xml.parsers.expat
    import baseline_parsers
    from quillon.external.varenna import varenna
    start = time.perf_counter()
    count = 0
    if figure == "idle":
        pass
    elif figure.startswith("expat"):
        p = xml.parsers.expat.ParserCreate()
        if figure == "expat_handlers":
            p.StartElementHandler = lambda name, attrs: None
            p.EndElementHandler = lambda name: None
            p.CharacterDataHandler = lambda data: None
        with open(path, "rb") as f:
            p.ParseFile(f)
    elif figure.startswith("walk"):
        module = varenna if figure == "walk_native" else baseline_parsers
        with open(path, "rb") as f:
            for section in module.RcsOutputFileParser(f).section_results():
                count += len(section.extremes())
    elif figure.startswith("whole"):
        module = varenna if figure == "whole_native" else baseline_parsers
        with open(path, "rb") as f:
            stream = io.BytesIO(f.read())
        parser = module.OutputFileParser(stream)
        del stream
        for sid in parser.section_ids:
            for op in OPS:
                count += len(getattr(parser, op)(sid))
    seconds = time.perf_counter() - start
    print(json.dumps({"seconds": seconds, "peak_kb": _peak_kb(), "count": count}))


def run(figure, path):
    out = subprocess.run([sys.executable, __file__, "--child", figure, path],
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--big-mb", type=float, default=400)
    ap.add_argument("--whole-mb", type=float, default=120)
    ap.add_argument("--dir", default=tempfile.gettempdir())
    ap.add_argument("--child", nargs=2)
    args = ap.parse_args()
    if args.child:
        child(*args.child)
        return
    sys.path.insert(0, HERE)
    import gen_results

    files = {}
    for name, mb in (("big", args.big_mb), ("quarter", args.big_mb / 4),
                     ("whole", args.whole_mb), ("whole_quarter", args.whole_mb / 4)):
        path = os.path.join(args.dir, f"quillon_bench_{mb:g}MB.xml")
        if not os.path.exists(path):
            gen_results.generate(path, mb)
        files[name] = path

    idle = run("idle", files["quarter"])["peak_kb"]
    rows = []

    def figure(label, fig, key):
        r = run(fig, files[key])
        mb = os.path.getsize(files[key]) / 1e6
        rows.append((label, f"{mb:.0f} MB", r["seconds"], (r["peak_kb"] - idle) / 1024, r["count"]))
        return r

    bare = figure("expat, no handlers", "expat_bare", "big")
    figure("expat, empty handlers", "expat_handlers", "big")
    base_walk = figure("walk + extremes(), ElementTree", "walk_baseline", "big")
    nat_walk = figure("walk + extremes(), native", "walk_native", "big")
    figure("walk + extremes(), native", "walk_native", "quarter")
    base_whole = figure("whole: build + 6 lists/id, ElementTree", "whole_baseline", "whole")
    nat_whole = figure("whole: build + 6 lists/id, native", "whole_native", "whole")
    nat_whole_q = figure("whole: build + 6 lists/id, native", "whole_native", "whole_quarter")

    print(f"{'figure':42} {'file':>8} {'seconds':>9} {'peak MB above idle':>19} {'items':>8}")
    for label, size, sec, mem, count in rows:
        print(f"{label:42} {size:>8} {sec:9.2f} {mem:19.1f} {count:8d}")
    print()
    print(f"native walk / bare expat:            {nat_walk['seconds'] / bare['seconds']:.2f}x (target <= 2)")
    print(f"ElementTree walk / native walk:      {base_walk['seconds'] / nat_walk['seconds']:.2f}x")
    print(f"native whole peak / ElementTree:     "
          f"{(nat_whole['peak_kb'] - idle) / (base_whole['peak_kb'] - idle):.2f} (target <= 0.33)")
    print(f"native whole time, 4x file:          {nat_whole['seconds'] / nat_whole_q['seconds']:.2f}x "
          "(linear: about 4)")


if __name__ == "__main__":
    main()
