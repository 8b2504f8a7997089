"""The whole section-check road at scale, native against plain Python, each figure in a fresh
process.

    PYTHONPATH=contracts python3 benchmarks/bench_road.py [--members 1000 4000 16000]
                                [--repeat 3] [--whole-baseline-max 4000] [--dir DIR]

For models of that many members, built by `Model` (8 bars, 2 stirrups and 4 extremes each, as
in bench_serialise.py), and result documents of as many sections (4 extremes each, made by
gen_results.py):

  build                  building the model (baseline: baseline_model.Model)
  generate_xml_input     the request to the add-on service and its answer; the service is a
                         trivial handler answering a fixed tiny XML, so that the figure is this
                         project's step and not the stand-in service's rendering (baseline:
                         baseline_model's json/gzip/Base64 round trip)
  _serialize() calls     only the vocabulary objects' own _serialize() calls that the step
                         makes (their Python code is the host's): the floor of the step
  job content            VarennaAnalysis(input_file=...)._generate_job_content() over the input
                         XML the stand-in service renders for the model (baseline: Base64 in
                         Python)
  walk + extremes()      RcsOutputFileParser over the result document, extremes() of each
                         section (baseline: baseline_parsers.py)
  whole + 6 lists        OutputFileParser: construction, then the six per-section lists of
                         every section (baseline: baseline_parsers.py; above
                         --whole-baseline-max members it is not run, it needs several GB)

Each figure runs --repeat times, each in a fresh process with the collector on as a user has
it, and the table shows the median time, the collector's share of it (time inside its
collections, from gc.callbacks) and the largest peak resident memory above what the process
held before the step (for generate_xml_input and the model steps: above the built model).
build and generate_xml_input also run with the collector off. The runs of a step's variants
(native and plain Python, collector on and off) take turns, so that a busy machine weighs on
all of them alike.
"""

import argparse
import base64
import gc
import gzip
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# The plain-Python parsers and the result-file generator are the tests' too, and live with them.
TESTS = os.path.join(HERE, "..", "tests")
TEMPLATE_PATH = "fillvarennatemplate/v3/jobs/"
OPS = ("capacity_results", "shear_results", "crack_width_results", "detailing_results",
       "stress_limitation_results", "fatigue_results")


# --- one figure, in the child process ---------------------------------------------------------

def _status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def _reset_peak():
    """Makes the peak resident memory start again from what is resident now."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def build(module, members):
    """The model of bench_serialise.py, built with `module`'s Model and RectSection."""
    from bench_serialise import build_model
    return build_model(members, module)


def trivial_service():
    from quillon import core
    answer = {"input_file": base64.b64encode(gzip.compress(b"<input/>")).decode("ascii")}
    core.register_addon_service(TEMPLATE_PATH, lambda payload: answer)


def serialize_calls(model):
    """Every object whose _serialize() the step calls, in a list; and a function making
    exactly those calls."""
    import enum
    objects = []

    def reach(value):
        if isinstance(value, dict):
            for v in value.values():
                reach(v)
        elif isinstance(value, (list, tuple)):
            for v in value:
                reach(v)
        elif not isinstance(value, (str, int, float, type(None), enum.Enum)):
            objects.append(value)
            reach(value._serialize())
    for key in ("mat_concrete_list", "mat_reinforcement_list", "cross_section_list",
                "reinforced_cross_section_list", "check_member_list", "check_section_list",
                "attribute_list"):
        reach(getattr(model, "_" + key))
    reach([model.project_data, model.code_settings])

    def call_all():
        for o in objects:
            o._serialize()
    return call_all


def child(step, side, members, collector, path):
    sys.path[:0] = [HERE, TESTS]
    import io
    from quillon.external.varenna import varenna
    import baseline_model
    import baseline_parsers
    native = side == "native"
    model_module = varenna if native else baseline_model
    parsers = varenna if native else baseline_parsers

    run = None
    if step == "build":
        def run():
            return build(model_module, members)
    elif step in ("generate", "serialize_calls"):
        model = build(model_module, members)
        trivial_service()
        run = model.generate_xml_input if step == "generate" else serialize_calls(model)
    elif step == "job":
        from quillon.core import File
        with open(path, "rb") as f:
            input_file = File.from_data(f.read())
        if native:
            def run():
                return varenna.VarennaAnalysis(input_file=input_file)._generate_job_content()
        else:
            def run():
                return baseline_model.job_content(input_file)
    elif step == "walk":
        def run():
            count = 0
            with open(path, "rb") as f:
                for section in parsers.RcsOutputFileParser(f).section_results():
                    count += len(section.extremes())
            return count
    elif step == "whole":
        def run():
            with open(path, "rb") as f:
                stream = io.BytesIO(f.read())
            parser = parsers.OutputFileParser(stream)
            del stream
            count = 0
            for sid in parser.section_ids:
                for op in OPS:
                    count += len(getattr(parser, op)(sid))
            return count

    collected = [0.0]
    started = [0.0]

    def on_gc(phase, info):
        if phase == "start":
            started[0] = time.perf_counter()
        else:
            collected[0] += time.perf_counter() - started[0]
    gc.collect()
    if collector == "off":
        gc.disable()
    gc.callbacks.append(on_gc)
    before_kb = _status_kb("VmRSS")
    _reset_peak()
    start, start_cpu = time.perf_counter(), time.process_time()
    result = run()
    seconds, cpu = time.perf_counter() - start, time.process_time() - start_cpu
    peak_kb = _status_kb("VmHWM") - before_kb
    gc.callbacks.remove(on_gc)
    del result
    print(json.dumps({"seconds": seconds, "cpu_seconds": cpu, "gc_seconds": collected[0],
                      "peak_kb": peak_kb}))


# --- the table ----------------------------------------------------------------------------------

def child_run(step, side, members, collector, path):
    out = subprocess.run([sys.executable, __file__, "--child", step, side, str(members),
                          collector, path], check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def summary(runs):
    """The median time with its run's collector share, the largest peak, and the range."""
    middle = sorted(runs, key=lambda r: r["seconds"])[len(runs) // 2]
    return {"seconds": middle["seconds"], "gc_share": middle["gc_seconds"] / middle["seconds"],
            "peak_mb": max(r["peak_kb"] for r in runs) / 1024,
            "range": (min(r["seconds"] for r in runs), max(r["seconds"] for r in runs))}


def figures(step, variants, members, path, repeat):
    """Each (side, collector) variant of a step `repeat` times, the variants taking turns so
    that all of them meet the machine in the same states."""
    runs = {v: [] for v in variants}
    for _ in range(repeat):
        for side, collector in variants:
            runs[(side, collector)].append(child_run(step, side, members, collector, path))
    return {v: summary(r) for v, r in runs.items()}


def input_xml(members, directory):
    """The input XML the stand-in service renders for the model, made once per size (its
    rendering is called directly: for large models it takes longer than the host waits)."""
    path = os.path.join(directory, f"quillon_road_input_{members}.xml")
    if not os.path.exists(path):
        sys.path.insert(0, HERE)
        from quillon import core
        from quillon.external.varenna import varenna
        requests = []
        answer = {"input_file": base64.b64encode(gzip.compress(b"<input/>")).decode("ascii")}
        render = core.register_addon_service(
            TEMPLATE_PATH, lambda payload: requests.append(payload) or answer)
        try:
            build(varenna, members).generate_xml_input()
        finally:
            core.register_addon_service(TEMPLATE_PATH, render)
        xml = gzip.decompress(base64.b64decode(render(requests[0])["input_file"]))
        with open(path + ".part", "wb") as f:
            f.write(xml)
        os.replace(path + ".part", path)
    return path


def result_document(members, directory):
    path = os.path.join(directory, f"quillon_road_results_{members}.xml")
    if not os.path.exists(path):
        sys.path.insert(0, TESTS)
        import gen_results
        gen_results.generate(path + ".part", sections_wanted=members)
        os.replace(path + ".part", path)
    return path


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--members", type=int, nargs="+", default=[1000, 4000, 16000])
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--whole-baseline-max", type=int, default=4000)
    ap.add_argument("--dir", default=tempfile.gettempdir())
    ap.add_argument("--child", nargs=5)
    args = ap.parse_args()
    if args.child:
        step, side, members, collector, path = args.child
        child(step, side, int(members), collector, path)
        return

    print(f"{'members':>7} {'step':34} {'native s':>9} {'(gc)':>5} {'MB':>7} "
          f"{'python s':>9} {'(gc)':>5} {'MB':>7} {'ratio':>6}   native range", flush=True)
    for members in args.members:
        files = {"job": input_xml(members, args.dir), "walk": result_document(members, args.dir)}
        files["whole"] = files["walk"]
        steps = [("build", "build", ("on", "off")),
                 ("generate_xml_input", "generate", ("on", "off")),
                 ("_serialize() calls alone", "serialize_calls", ("on",)),
                 ("job content", "job", ("on",)), ("walk + extremes()", "walk", ("on",)),
                 ("whole + 6 lists/section", "whole", ("on",))]
        for label, step, collectors in steps:
            # The same Python calls on both sides; the plain-Python whole-document parser
            # needs several GB beyond --whole-baseline-max members.
            sides = ["native"]
            if step != "serialize_calls" and not (step == "whole" and
                                                  members > args.whole_baseline_max):
                sides.append("python")
            variants = [(side, c) for c in collectors for side in sides]
            results = figures(step, variants, members, files.get(step, "-"), args.repeat)
            for c in collectors:
                nat, py = results[("native", c)], results.get(("python", c))

                def cells(r):
                    if r is None:
                        return f"{'-':>9} {'':>5} {'':>7}"
                    return f"{r['seconds']:9.2f} {r['gc_share']:5.0%} {r['peak_mb']:7.1f}"
                ratio = f"{py['seconds'] / nat['seconds']:6.2f}" if py else f"{'-':>6}"
                name = label if c == "on" else label + ", collector off"
                print(f"{members:7d} {name:34} {cells(nat)} {cells(py)} {ratio}   "
                      f"{nat['range'][0]:.2f}-{nat['range'][1]:.2f}", flush=True)


if __name__ == "__main__":
    main()
