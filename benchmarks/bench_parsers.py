"""Result parsers, side by side on the same files, each figure in a fresh process.

    PYTHONPATH=contracts python3 benchmarks/bench_parsers.py [--big-mb 400] [--whole-mb 120]
    PYTHONPATH=contracts python3 benchmarks/bench_parsers.py --callgrind-mb 20   (instructions)
    PYTHONPATH=contracts python3 benchmarks/bench_parsers.py --ratios [--ratio-mb 240] [--rounds 5]

Figures (time, and peak resident memory above a bare interpreter that imported the same
modules; each figure runs --repeat times, default 3, in fresh processes, and the table shows the
shortest time and the largest peak):
  expat, no handlers       xml.parsers.expat parsing the bytes, nothing else
  expat, empty handlers    the same with element and text handlers that do nothing
  walk, ElementTree        plain-Python RcsOutputFileParser (tests/baseline_parsers.py),
                           extremes() of every section
  walk, native             the native RcsOutputFileParser, extremes() of every section
  last section, native     RcsOutputFileParser.section_result() of the file's last section
                           (its id read from the end of the file by the parent process)
  whole, ElementTree/native  OutputFileParser: construction, then the six per-section lists
                           for every section id
  whole, construction      OutputFileParser's construction and section_ids only
  ... expat only           the native figure with the fast scanner turned off
                           (QUILLON_XML_SCANNER=0): every document through expat, as before it
  4 walks, 4 threads / one after the other   the native walk of four files of a quarter size
  4 walks, sections only     the same walks without extremes(): the parsing alone, which runs
                           without the interpreter's lock (extremes() builds Python objects and
                           needs it)
  4 OutputFileParser, 4 threads / one after the other   construction on four files of a
                           quarter of the whole-document size, each read into memory first
  4 sha256, 4 threads / one after the other   a C loop without the lock: what the machine gives
                           four threads at that moment, to read the figures above against
The thread figures run as pairs, one after the other then in threads, --pairs times in turn
(default 9), so that both halves of a pair see the machine in the same state. The table shows
the shortest of each, and beside it the median and range of the pairs' own ratios.
The streaming walk runs on two files a factor 4 apart, to show memory flat in file size.
With --callgrind-mb, each figure instead runs under valgrind's callgrind on a file of that size
and the table shows instructions per input byte (those of a bare interpreter subtracted).
With --ratios, only the scanner's figures run, on one file: bare expat, the last section found,
the walk with extremes() and the whole document (with its lists, and its construction alone;
both also with the file read into memory before the clock starts, the parser's own share),
--rounds times in turn, each in a fresh process. Each figure is shown against the bare expat
parse of the same round: the median of the rounds' ratios and their range, beside the targets.
"""

import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

# The plain-Python parsers and the file generator are the tests' too, and live with them.
TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests")
OPS = ("capacity_results", "shear_results", "crack_width_results", "detailing_results",
       "stress_limitation_results", "fatigue_results")


def _peak_kb():
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def last_section_id(path):
    """The identifier of the last section, from the end of the file."""
    with open(path, "rb") as f:
        head = f.read(2)
        f.seek(0, os.SEEK_END)
        size = f.tell()
        f.seek(max(0, size - (1 << 20)) & ~1)
        tail = f.read()
    encoding = {b"\xff\xfe": "utf-16-le", b"\xfe\xff": "utf-16-be"}.get(head, "utf-8")
    return int(re.findall(r"<SectionId>\s*(\d+)", tail.decode(encoding, "ignore"))[-1])


def child(figure, path):
    sys.path.insert(0, TESTS)
    import io
    import xml.parsers.expat
    import baseline_parsers
    from quillon.external.varenna import varenna
    last = int(os.environ["QUILLON_BENCH_LAST_ID"]) if figure == "last_native" else None
    loaded = None
    if figure.endswith("_loaded"):
        # The caller's own reading of the file kept out of the figure: the parser alone.
        with open(path, "rb") as f:
            loaded = f.read()
    start = time.perf_counter()
    count = 0
    if figure == "idle":
        pass
    elif figure == "last_native":
        with open(path, "rb") as f:
            count = varenna.RcsOutputFileParser(f).section_result(last).id_
    elif figure.startswith("expat"):
        p = xml.parsers.expat.ParserCreate()
        if figure == "expat_handlers":
            p.StartElementHandler = lambda name, attrs: None
            p.EndElementHandler = lambda name: None
            p.CharacterDataHandler = lambda data: None
        with open(path, "rb") as f:
            p.ParseFile(f)
    elif figure.startswith("threads") or figure.startswith("serial"):
        import threading
        counts = [0] * 4

        def walk(i):
            if figure.endswith("_hash"):
                # What the machine gives four threads at this moment: a C loop that never
                # holds the interpreter's lock, on the same bytes.
                import hashlib
                with open(path, "rb") as f:
                    data = f.read()
                for _ in range(4):
                    counts[i] += len(hashlib.sha256(data).digest())
                return
            if figure.endswith("_parse"):
                with open(path, "rb") as f:
                    stream = io.BytesIO(f.read())
                counts[i] = len(varenna.OutputFileParser(stream).section_ids)
                return
            with open(path, "rb") as f:
                for section in varenna.RcsOutputFileParser(f).section_results():
                    counts[i] += 1 if figure.endswith("_sections") else len(section.extremes())
        if figure.startswith("threads"):
            threads = [threading.Thread(target=walk, args=(i,)) for i in range(4)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        else:
            for i in range(4):
                walk(i)
        count = sum(counts)
    elif figure.startswith("walk"):
        module = varenna if figure == "walk_native" else baseline_parsers
        with open(path, "rb") as f:
            for section in module.RcsOutputFileParser(f).section_results():
                count += len(section.extremes())
    elif figure.startswith("whole"):
        module = baseline_parsers if figure == "whole_baseline" else varenna
        if loaded is None:
            with open(path, "rb") as f:
                loaded = f.read()
        stream = io.BytesIO(loaded)
        loaded = None
        parser = module.OutputFileParser(stream)
        del stream
        for sid in parser.section_ids:
            if figure.startswith("whole_parse"):
                count += 1
                continue
            for op in OPS:
                count += len(getattr(parser, op)(sid))
    seconds = time.perf_counter() - start
    print(json.dumps({"seconds": seconds, "peak_kb": _peak_kb(), "count": count}))


def child_env(expat_only, figure=None, path=None):
    env = dict(os.environ)
    if expat_only:
        env["QUILLON_XML_SCANNER"] = "0"
    if figure == "last_native":
        env["QUILLON_BENCH_LAST_ID"] = str(last_section_id(path))
    return env


REPEAT = 3


def child_run(figure, path, expat_only=False):
    out = subprocess.run([sys.executable, __file__, "--child", figure, path], env=child_env(expat_only, figure, path),
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def best(runs):
    """The shortest time (what the machine gives when nothing else takes it; every figure is
    treated alike) and the largest peak."""
    return dict(min(runs, key=lambda r: r["seconds"]), peak_kb=max(r["peak_kb"] for r in runs))


def run(figure, path, expat_only=False):
    """The figure REPEAT times, each in a fresh process."""
    return best([child_run(figure, path, expat_only) for _ in range(REPEAT)])


def pairs(suffix, path):
    """PAIR_ROUNDS rounds of the serial figure and then the threaded one, each in a fresh
    process: the best of each, and the sorted ratios of each round's two."""
    serial, threads = [], []
    for _ in range(PAIR_ROUNDS):
        serial.append(child_run("serial" + suffix, path))
        threads.append(child_run("threads" + suffix, path))
    ratios = sorted(s["seconds"] / t["seconds"] for s, t in zip(serial, threads))
    return best(serial), best(threads), ratios


def instructions(figure, path, expat_only=False):
    import re
    with tempfile.TemporaryDirectory() as tmp:
        err = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={tmp}/out",
                              sys.executable, __file__, "--child", figure, path],
                             env=child_env(expat_only, figure, path), check=True, capture_output=True,
                             text=True).stderr
    return int(re.search(r"Collected : (\d+)", err).group(1))


FIGURES = [  # label, child figure, file, expat only
    ("expat, no handlers", "expat_bare", "big", False),
    ("expat, empty handlers", "expat_handlers", "big", False),
    ("walk + extremes(), ElementTree", "walk_baseline", "big", False),
    ("walk + extremes(), native, expat only", "walk_native", "big", True),
    ("walk + extremes(), native", "walk_native", "big", False),
    ("walk + extremes(), native", "walk_native", "quarter", False),
    ("last section found, native", "last_native", "big", False),
    ("whole: build + 6 lists/id, ElementTree", "whole_baseline", "whole", False),
    ("whole: build + 6 lists/id, native, expat only", "whole_native", "whole", True),
    ("whole: build + 6 lists/id, native", "whole_native", "whole", False),
    ("whole: build + 6 lists/id, native", "whole_native", "whole_quarter", False),
    ("whole: construction only, native", "whole_parse", "whole", False),
]

# Four jobs one after the other, then in four threads: label, figure suffix, file, what to
# read the ratio against. The parsers (the walk's sections, OutputFileParser's construction)
# run without the lock; extremes() makes Python objects, which needs it.
PAIRS = [
    ("4 sha256 of the quarter file x4", "_hash", "quarter", "(2 idle cores: about 2)"),
    ("4 walks of the quarter file", "", "quarter", "(extremes() under the lock)"),
    ("4 walks, sections only (no extremes())", "_sections", "quarter", "target >= 1.6"),
    ("4 OutputFileParser of the whole/4 file", "_parse", "whole_quarter", "target >= 1.6"),
]
PAIR_ROUNDS = 9


def callgrind_table(mb, directory):
    sys.path.insert(0, TESTS)
    import gen_results
    path = os.path.join(directory, f"quillon_bench_{mb:g}MB.xml")
    if not os.path.exists(path):
        gen_results.generate(path, mb)
    size = os.path.getsize(path)
    idle = instructions("idle", path)
    print(f"{'figure (callgrind)':50} {'file':>8} {'instructions/byte':>18}")
    seen = set()
    for label, fig, _, expat_only in FIGURES:
        if (fig, expat_only) in seen:
            continue
        seen.add((fig, expat_only))
        n = instructions(fig, path, expat_only) - idle
        print(f"{label:50} {size / 1e6:6.0f} MB {n / size:18.1f}", flush=True)


# The scanner's figures: label, child figure, target as a fraction of bare expat's time.
RATIO_FIGURES = [
    ("last section found", "last_native", 0.14),
    ("walk + extremes()", "walk_native", 0.38),
    ("whole document + six lists per section", "whole_native", 0.40),
    ("whole document, construction only", "whole_parse", None),
    ("whole + lists, file read beforehand", "whole_native_loaded", None),
    ("construction only, file read beforehand", "whole_parse_loaded", None),
]


def ratio_table(path, rounds):
    size = os.path.getsize(path)
    idle = child_run("idle", path)["peak_kb"]
    expat, runs = [], {fig: [] for _, fig, _ in RATIO_FIGURES}
    for r in range(rounds):
        expat.append(child_run("expat_bare", path))
        for _, fig, _ in RATIO_FIGURES:
            runs[fig].append(child_run(fig, path))
        print(f"  round {r + 1}: expat {expat[-1]['seconds']:.2f} s, "
              + ", ".join(f"{fig} {runs[fig][-1]['seconds']:.2f} s" for _, fig, _ in RATIO_FIGURES),
              file=sys.stderr, flush=True)
    print(f"file {size / 1e6:.0f} MB, {rounds} rounds, each figure in a fresh process; "
          "ratio: the figure's time / bare expat's in the same round")
    print(f"{'figure':40} {'median s':>9} {'ratio':>6} {'range':>11} {'target':>7} {'peak MB above idle':>19}")
    med = statistics.median(r["seconds"] for r in expat)
    peak = max(r["peak_kb"] for r in expat)
    print(f"{'expat, no handlers':40} {med:9.3f} {1:6.2f} {'':>11} {'':>7} {(peak - idle) / 1024:19.1f}")
    for label, fig, target in RATIO_FIGURES:
        ratios = sorted(f["seconds"] / e["seconds"] for f, e in zip(runs[fig], expat))
        med = statistics.median(r["seconds"] for r in runs[fig])
        peak = max(r["peak_kb"] for r in runs[fig])
        print(f"{label:40} {med:9.3f} {statistics.median(ratios):6.3f} {ratios[0]:5.3f}-{ratios[-1]:5.3f} "
              f"{'<= ' + format(target, '.2f') if target else '':>7} {(peak - idle) / 1024:19.1f}")


def main():
    global REPEAT, PAIR_ROUNDS
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--big-mb", type=float, default=400)
    ap.add_argument("--whole-mb", type=float, default=120)
    ap.add_argument("--dir", default=tempfile.gettempdir())
    ap.add_argument("--child", nargs=2)
    ap.add_argument("--callgrind-mb", type=float)
    ap.add_argument("--repeat", type=int, default=REPEAT, help="fresh runs of each timed figure")
    ap.add_argument("--pairs", type=int, default=PAIR_ROUNDS,
                    help="rounds of each thread figure (one after the other, then threads)")
    ap.add_argument("--ratios", action="store_true", help="only the scanner's figures, as ratios to expat")
    ap.add_argument("--ratio-mb", type=float, default=240)
    ap.add_argument("--rounds", type=int, default=5, help="rounds of the --ratios figures")
    args = ap.parse_args()
    REPEAT = max(1, args.repeat)
    PAIR_ROUNDS = max(1, args.pairs)
    if args.child:
        child(*args.child)
        return
    if args.callgrind_mb:
        callgrind_table(args.callgrind_mb, args.dir)
        return
    sys.path.insert(0, TESTS)
    if args.ratios:
        import gen_results
        path = os.path.join(args.dir, f"quillon_bench_{args.ratio_mb:g}MB.xml")
        if not os.path.exists(path):
            gen_results.generate(path, args.ratio_mb)
        ratio_table(path, max(1, args.rounds))
        return
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

    results = {}
    for label, fig, key, expat_only in FIGURES:
        r = run(fig, files[key], expat_only)
        mb = os.path.getsize(files[key]) / 1e6
        rows.append((label, f"{mb:.0f} MB", r["seconds"], (r["peak_kb"] - idle) / 1024, r["count"]))
        results[(fig, key, expat_only)] = r
        print(f"  {label}, {mb:.0f} MB: {r['seconds']:.2f} s", file=sys.stderr, flush=True)
    bare = results[("expat_bare", "big", False)]
    base_walk = results[("walk_baseline", "big", False)]
    old_walk = results[("walk_native", "big", True)]
    nat_walk = results[("walk_native", "big", False)]
    nat_walk_q = results[("walk_native", "quarter", False)]
    base_whole = results[("whole_baseline", "whole", False)]
    old_whole = results[("whole_native", "whole", True)]
    nat_whole = results[("whole_native", "whole", False)]
    nat_whole_q = results[("whole_native", "whole_quarter", False)]
    nat_last = results[("last_native", "big", False)]
    paired = []
    for label, suffix, key, against in PAIRS:
        serial, threads, ratios = pairs(suffix, files[key])
        size = f"{os.path.getsize(files[key]) / 1e6:.0f} MB"
        for kind, r in (("one after the other", serial), ("4 threads", threads)):
            rows.append((f"{label}, {kind}", size, r["seconds"], (r["peak_kb"] - idle) / 1024, r["count"]))
        paired.append((label, serial["seconds"] / threads["seconds"], ratios, against))
        print(f"  {label}: {serial['seconds']:.2f} s / {threads['seconds']:.2f} s", file=sys.stderr, flush=True)

    width = max(len(row[0]) for row in rows)
    print(f"{'figure':{width}} {'file':>8} {'seconds':>9} {'peak MB above idle':>19} {'items':>8}")
    for label, size, sec, mem, count in rows:
        print(f"{label:{width}} {size:>8} {sec:9.2f} {mem:19.1f} {count:8d}")
    print()

    def mb(r):
        return (r["peak_kb"] - idle) / 1024
    whole_mb = os.path.getsize(files["whole"]) / 1e6
    print(f"ElementTree walk / native walk:        {base_walk['seconds'] / nat_walk['seconds']:6.2f}x (target >= 10)")
    print(f"native walk / bare expat:              {nat_walk['seconds'] / bare['seconds']:6.2f}  (target <= 0.5)")
    print(f"native walk, expat only / native walk: {old_walk['seconds'] / nat_walk['seconds']:6.2f}x")
    print(f"last section found / bare expat:       {nat_last['seconds'] / bare['seconds']:6.2f}  (target <= 0.14)")
    print(f"native walk peak, 4x file:             {mb(nat_walk):6.1f} MB vs {mb(nat_walk_q):.1f} MB (target flat, < 16)")
    print(f"ElementTree whole / native whole:      {base_whole['seconds'] / nat_whole['seconds']:6.2f}x (target >= 10)")
    print(f"native whole, expat only / native:     {old_whole['seconds'] / nat_whole['seconds']:6.2f}x")
    print(f"native whole peak per MB of input:     {mb(nat_whole) / whole_mb:6.2f} MB "
          f"(expat only {mb(old_whole) / whole_mb:.2f}; target no more than before)")
    print(f"native whole time, 4x file:            {nat_whole['seconds'] / nat_whole_q['seconds']:6.2f}x (linear: about 4)")
    # Thread figures mean little when the machine is busy: the sha256 pairs are the most any
    # job could gain in the same rounds.
    print(f"one after the other / 4 threads ({PAIR_ROUNDS} rounds): shortest / shortest, and the "
          "rounds' own ratios (median, range)")
    for label, ratio, ratios, against in paired:
        print(f"  {label:44} {ratio:5.2f}x   median {ratios[len(ratios) // 2]:4.2f}x, "
              f"{ratios[0]:4.2f}-{ratios[-1]:4.2f}  {against}")


if __name__ == "__main__":
    main()
