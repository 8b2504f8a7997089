"""Fuzz target: user objects that fight back.

Each input is a small program: a sequence of calls of the public and documented underscore
methods of the parsers, the sections, the analysis job, the model and the spreadsheet job,
made with user objects whose __eq__, __hash__, __bool__, __iter__, __index__ and finalisers
raise or change the parser, the walk or the model while the call runs. Whatever happens, the
interpreter must not crash, and no call may end in SystemError (an error lost or half set).
Run through ./run (bounded time), under the sanitizers with tools/sanitize-test --fuzz hostile,
or directly: python3 fuzz/fuzz_hostile.py -runs=10000
"""

import copy
import gc
import io
import os
import pickle
import sys

try:
    import atheris
except ImportError:  # the tests drive the same programs through hypothesis
    atheris = None

from quillon.external.excel import Excel
from quillon.external.varenna import varenna

DOC = (
    "<R>" + "".join(
        f"<SectionConcreteCheckResult><SectionId>{i}</SectionId><ExtremeResults><E><X>"
        f"<ResultType>Shear</ResultType><CheckResults><ConcreteCheckResultBase>"
        + "".join(f"<{k}>{i}</{k}>" for k in ("Ved", "Vrd", "Vrdc", "Vrdmax", "Vrdr", "Vrds",
                                              "CheckValue"))
        + "<Result>OK</Result></ConcreteCheckResultBase></CheckResults></X></E>"
        f"</ExtremeResults></SectionConcreteCheckResult>t{i}" for i in (1, 2, 3)) + "</R>"
).encode("utf-16")


class World:
    """The objects a program works on; hostile callbacks change them behind the calls' backs."""

    def __init__(self):
        self.whole = varenna.OutputFileParser(io.BytesIO(DOC))
        self.stream = varenna.RcsOutputFileParser(io.BytesIO(DOC))
        self.walk = self.stream.section_results()
        self.sections = []
        self.iterators = []
        self.job = varenna.VarennaAnalysis(io.BytesIO(b"<x/>"))
        self.excel = Excel(io.BytesIO(b"book"))
        self.excel._result_content = {}

    def section(self, k):
        return self.sections[k % len(self.sections)] if self.sections else None

    # What a callback does to the world (chosen by the program).
    def mutate(self, how):
        w = self
        actions = (
            lambda: None,
            lambda: w.whole.__dict__.pop("_root", None),
            lambda: w.whole.__dict__.clear(),
            lambda: next(w.walk),
            lambda: w.walk.close(),
            lambda: gc.collect(),
            lambda: w.section(0) and w.section(0).__dict__.pop("_element", None),
            lambda: w.iterators and next(w.iterators[-1]),
            lambda: [bytearray(64) for _ in range(200)],
            lambda: w.section(1) and setattr(w.section(1), "_element", None),
        )
        actions[how % len(actions)]()


class Hostile:
    """An identifier, name or value whose dunder methods misbehave as the program says."""

    def __init__(self, world, program, value):
        self.world, self.program, self.value = world, program, value

    def act(self, slot):
        code = self.program[slot % len(self.program)] if self.program else 0
        self.world.mutate(code >> 2)
        if code & 3 == 1:
            raise ValueError(f"hostile {slot}")
        if code & 3 == 2:
            raise LookupError(slot)
        return code

    def __eq__(self, other):
        code = self.act(0)
        return (code & 4 == 0) and other == self.value

    def __hash__(self):
        self.act(1)
        return hash(self.value)

    def __bool__(self):
        return bool(self.act(2) & 8)

    def __iter__(self):
        self.act(3)
        return iter((self.value, self.value))

    def __index__(self):
        self.act(4)
        return 1

    def __str__(self):
        self.act(5)
        return "hostile"

    def __del__(self):
        try:
            self.world.mutate(self.program[6 % len(self.program)] if self.program else 0)
        except Exception:  # noqa: BLE001 - a finaliser's error is only reported
            pass


class Raising:
    def __iter__(self):
        raise TypeError("no")


def operations(world, h):
    """The calls a program chooses from, each with the hostile object `h`."""
    w = world
    sections_ops = ("capacity", "shear", "torsion", "interaction", "crack_width", "detailing",
                    "stress_limitation", "fatigue", "extremes")

    def keep():
        s = next(w.walk)
        w.sections.append(s)

    def cycle():
        # Only the collector frees it: its finaliser runs at some later allocation.
        other = Hostile(w, h.program, h.value)
        other.me = other

    def subclass_with(name):
        s = w.section(0)
        if s is None:
            return None
        sub = type("Sub", (type(s),), {name: lambda self, *a: h})
        t = sub(s.id_, s._element)
        return getattr(t, "extremes")()

    return (
        lambda: w.whole.section_ids,
        lambda: w.whole.raw_results(),
        lambda: w.whole._section_element(h),
        lambda: w.whole.shear_results(h),
        lambda: w.whole.fatigue_results(h),
        lambda: w.whole._element_to_dict(w.whole._root),
        lambda: varenna.OutputFileParser._element_to_dict(h),
        lambda: w.stream.section_result(h),
        keep,
        lambda: w.walk.send(h),
        lambda: w.walk.throw(h),
        lambda: w.walk.throw(ValueError, h),
        lambda: w.walk.close(),
        lambda: setattr(w, "walk", w.stream.section_results()),
        lambda: [getattr(w.section(k), op)() for k in range(2) for op in sections_ops
                 if w.section(k) is not None],
        lambda: w.iterators.append(w.section(0)._iter_extreme_results()) if w.section(0) else None,
        lambda: w.iterators and w.iterators[-1].send(h),
        lambda: w.iterators and w.iterators[-1].throw(h),
        lambda: w.iterators and w.iterators[-1].close(),
        lambda: w.sections and copy.deepcopy(w.sections[-1]),
        lambda: pickle.loads(pickle.dumps(w.whole, protocol=2)),
        lambda: w.section(0) and setattr(w.section(0), "_element", h),
        lambda: setattr(w.whole, "_root", h),
        lambda: setattr(w.whole, "_section_element", lambda i: h),
        lambda: subclass_with("_iter_extreme_results"),
        lambda: subclass_with("shear"),
        lambda: varenna.RcsOutputFileParser.SectionResult(h, h).extremes(),
        cycle,
        lambda: type("Job", (varenna.VarennaAnalysis,), {"exception_map": {"m": h}})(
            io.BytesIO(b""))._handle_execution_error("m"),
        lambda: type("Job", (varenna.VarennaAnalysis,), {"exception_map": h})(
            io.BytesIO(b""))._handle_execution_error(h),
        lambda: type("M", (varenna.Model,), {"_create_1d_section": lambda self, *a, **k: h})()
            .create_beam("cs", "mat"),
        lambda: type("M", (varenna.Model,), {"_create_1d_section": lambda self, *a, **k: Raising()})()
            .create_beam("cs", "mat"),
        lambda: w.excel.get_named_cell_result(h),
        lambda: w.excel.get_direct_cell_result(h, h, h),
        lambda: Excel._create_error_string({"warning_message": h, "error_message": h}),
        lambda: w.excel._fill_output_cells(named_cell_results=h, direct_cell_results=[h]),
    )


def run_program(data: bytes):
    """Runs the calls `data` asks for; fails on SystemError only."""
    if not data:
        return
    world = World()
    program = list(data[:8])
    values = (1, 2.0, 3, "1", None, True)
    ops = None
    for at in range(8, min(len(data), 8 + 40), 2):
        h = Hostile(world, program, values[data[at + 1] % len(values)] if at + 1 < len(data) else 1)
        ops = operations(world, h)
        try:
            ops[data[at] % len(ops)]()
        except SystemError:
            raise
        except Exception:  # noqa: BLE001 - any other error is the user's
            pass
        del h
    del ops, world
    gc.collect()


def TestOneInput(data: bytes):
    old = sys.getrecursionlimit()
    try:
        run_program(data)
    finally:
        sys.setrecursionlimit(old)


def main():
    # The calls a program reaches, and the callbacks it sets off, guide the engine.
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from instrumenting import instrument
    instrument(atheris, sys.modules[__name__])
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
