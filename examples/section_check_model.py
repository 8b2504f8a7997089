"""A beam section from prototype to input XML, the typical road of the section-check model.

Run with the host stand-in on the path: PYTHONPATH=contracts python3 examples/section_check_model.py
The stand-in's local template service turns the model into the input XML.
"""

from quillon.external.varenna.objects import (
    ConcreteMaterial, LoadingSLS, LoadingULS, ReinforcementMaterial, ResultOfInternalForces)
from quillon.external.varenna.varenna import Model, RectSection


def main() -> None:
    model = Model()
    concrete = model.create_concrete_material(ConcreteMaterial.C12_15)
    steel = model.create_reinforcement_material(ReinforcementMaterial.B_400A)

    beam = model.create_beam(RectSection(0.5, 1.0), concrete)
    for corner in [(-0.101, -0.175), (0.101, -0.175), (0.101, 0.175), (-0.101, 0.175)]:
        beam.create_bar(corner, 0.016, steel)
    beam.create_extreme(frequent=LoadingSLS(ResultOfInternalForces(N=-100000, My=210000)),
                        fundamental=LoadingULS(ResultOfInternalForces(N=-99999, My=200000)))

    xml = model.generate_xml_input().getvalue()
    print(f"{len(beam.bars)} bars, {len(beam.extremes)} extreme; input XML of {len(xml)} bytes:")
    print(xml[:600].decode("utf-8"))


if __name__ == "__main__":
    main()
