"""Serialising a large section-check model into the template service's request body.

Native path: model._serialize() and generate_xml_input() up to the request body (the service
call is replaced by one that records the body and answers at once). Reference: the same steps
in plain Python (json.dumps with an enum-aware encoder, json.loads, json.dumps, gzip level 9,
Base64). Both run in this process on the same model; the table gives the best of several runs.

    PYTHONPATH=contracts python3 benchmarks/bench_serialise.py [members]
"""

import base64
import gzip
import json
import sys
import time

from baseline_model import _EnumEncoder as PythonEnumEncoder
from quillon import core
from quillon.external.varenna import varenna
from quillon.external.varenna.objects import (
    ConcreteMaterial, FatigueLoading, LoadingSLS, LoadingULS, ReinforcementMaterial,
    ResultOfInternalForces)

LISTS = ["mat_concrete_list", "mat_reinforcement_list", "cross_section_list",
         "reinforced_cross_section_list", "check_member_list", "check_section_list",
         "attribute_list"]
ANSWER = {"input_file": base64.b64encode(gzip.compress(b"<x/>")).decode("ascii")}


def build_model(members, module=varenna):
    """The benchmarks' model, built with `module`'s Model and RectSection (the native ones,
    or baseline_model's)."""
    model = module.Model()
    concrete = model.create_concrete_material(ConcreteMaterial.C30_37)
    steel = model.create_reinforcement_material(ReinforcementMaterial.B_500B)
    for i in range(members):
        beam = model.create_beam(module.RectSection(0.3 + i * 1e-4, 0.6), concrete)
        for j in range(4):
            beam.create_bar((-0.1 + 0.2 * (j % 2), -0.25 + 0.5 * (j // 2)), 0.02, steel)
        beam.create_bar_layer(origin=(-0.1, 0.0), diameter=0.012, material=steel,
                              number_of_bars=4, delta_y=0.2)
        for s in range(2):
            beam.create_stirrup([(-0.12, -0.27), (0.12, -0.27), (0.12, 0.27), (-0.12, 0.27)],
                                0.008, steel, 0.15 + 0.05 * s, shear_check=True)
        for e in range(4):
            forces = ResultOfInternalForces(N=-1000.0 * (e + 1), My=2000.5 * i, Qz=12.25)
            beam.create_extreme(frequent=LoadingSLS(forces), fundamental=LoadingULS(forces),
                                fatigue=FatigueLoading() if e == 3 else None)
    return model


def python_serialize(model):
    mapping = {key: [(type(o).__name__, o) for o in getattr(model, "_" + key)] for key in LISTS}
    mapping["project_data"] = model.project_data
    mapping["code_settings"] = model.code_settings
    return json.loads(json.dumps(mapping, cls=PythonEnumEncoder))


def python_body(model):
    text = json.dumps(python_serialize(model)).encode("utf-8")
    return {"input": base64.b64encode(gzip.compress(text, compresslevel=9)).decode("utf-8")}


def native_body(model):
    sent = []

    def post(path, body, timeout):
        sent.append(body)
        return ANSWER
    saved = core._post_on_addon_endpoint
    core._post_on_addon_endpoint = post
    try:
        model.generate_xml_input()
    finally:
        core._post_on_addon_endpoint = saved
    return sent[0]


def best(function, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    members = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    repeat = 5
    model = build_model(members)

    native, python = native_body(model), python_body(model)
    sent_native = gzip.decompress(base64.b64decode(native["input"]))
    sent_python = gzip.decompress(base64.b64decode(python["input"]))
    assert sent_native == sent_python, "the two paths send different JSON"
    assert model._serialize() == python_serialize(model)

    rows = [
        ("_serialize()", best(model._serialize, repeat),
         best(lambda: python_serialize(model), repeat)),
        ("_serialize() to request body", best(lambda: native_body(model), repeat),
         best(lambda: python_body(model), repeat)),
    ]
    print(f"model: {members} members x (8 bars, 2 stirrups, 4 extremes); "
          f"JSON {len(sent_native) / 1e6:.1f} MB, body {len(native['input']) / 1e6:.2f} MB; "
          f"best of {repeat}")
    print(f"{'step':32} {'native [s]':>11} {'python [s]':>11} {'python/native':>14}")
    for name, t_native, t_python in rows:
        print(f"{name:32} {t_native:11.3f} {t_python:11.3f} {t_python / t_native:14.2f}")


if __name__ == "__main__":
    main()
