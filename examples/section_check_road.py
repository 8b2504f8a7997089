"""The whole section-check road: model, input XML, analysis job, results.

Three beams are modelled with `Model` (the first one as the documented typical road goes:
C12/15 concrete, B 400A steel, a 0.5 x 1.0 m rectangle, four bars, one extreme), the local
add-on service turns the model into input XML, `VarennaAnalysis` runs the job and both result
parsers print a table of what came back.

There is no section-check program on this machine, so the example configures a worker of its
own for the "varenna" integration: it reads the check sections and load extremes of the input
XML and answers with a result XML (UTF-16, as the program writes it) whose check values come
from a crude moment capacity. A real deployment registers nothing: the host's transport sends
the job to a worker machine with the program installed.
"""
import base64
import xml.etree.ElementTree as ET
from typing import Any

from quillon.core import File
from quillon.external.external_program import register_worker
from quillon.external.varenna.objects import (ConcreteMaterial, LoadingSLS, LoadingULS,
                                              ReinforcementMaterial, ResultOfInternalForces)
from quillon.external.varenna.varenna import (Model, OutputFileParser, RcsOutputFileParser,
                                              RectSection, VarennaAnalysis)

MOMENT_CAPACITY = 400_000.0  # N*m, the same for every beam of this example


def demo_section_check_worker(content: dict[str, Any], *, integration: str,
                              version: int) -> dict[str, Any]:
    """Answers a job with one result per check section and extreme of its input XML."""
    model = ET.fromstring(base64.b64decode(content["body"]))
    results = ET.Element("CheckResults")
    for section in model.iterfind("check_section_list/StandardCheckSection"):
        result = ET.SubElement(results, "SectionConcreteCheckResult")
        ET.SubElement(result, "SectionId").text = section.findtext("id")
        extremes = ET.SubElement(result, "ExtremeResults")
        for extreme in section.iterfind("extremes/item"):
            forces = extreme.find("fundamental/forces")
            n = float(forces.findtext("N", "0")) if forces is not None else 0.0
            my = float(forces.findtext("My", "0")) if forces is not None else 0.0
            utilisation = abs(my) / MOMENT_CAPACITY
            check = ET.SubElement(ET.SubElement(extremes, "ExtremeResult"), "Capacity")
            ET.SubElement(check, "ResultType").text = "Capacity"
            base = ET.SubElement(ET.SubElement(check, "CheckResults"), "ConcreteCheckResultBase")
            for group, factor in (("Fu", 1.0 / max(utilisation, 1e-9)), ("Fu1", 1.0)):
                forces_element = ET.SubElement(base, group)
                ET.SubElement(forces_element, "N").text = repr(n * factor)
                ET.SubElement(forces_element, "My").text = repr(my * factor)
            ET.SubElement(base, "CheckValue").text = f"{utilisation:.3f}"
            ET.SubElement(base, "Result").text = "OK" if utilisation <= 1 else "NotOK"
    document = ET.tostring(results, encoding="utf-16", xml_declaration=True)
    return {"body": base64.b64encode(document).decode("ascii")}


def build_model() -> Model:
    model = Model()
    # The documented typical road: a C12/15 beam of 0.5 x 1.0 m with four B 400A bars and one
    # load extreme.
    concrete = model.create_concrete_material(ConcreteMaterial.C12_15)
    steel = model.create_reinforcement_material(ReinforcementMaterial.B_400A)
    beam = model.create_beam(RectSection(0.5, 1.0), concrete)
    for corner in [(-0.101, -0.175), (0.101, -0.175), (0.101, 0.175), (-0.101, 0.175)]:
        beam.create_bar(corner, 0.016, steel)
    beam.create_extreme(frequent=LoadingSLS(ResultOfInternalForces(N=-100000, My=210000)),
                        fundamental=LoadingULS(ResultOfInternalForces(N=-99999, My=200000)))

    # Two more beams with bar layers and several extremes each.
    for name, moments in [("Support", (-310_000, -450_000)), ("Cantilever", (-90_000, 150_000))]:
        beam = model.create_beam(RectSection(0.3, 0.6), concrete, name=name)
        beam.create_bar_layer(origin=(-0.1, -0.25), diameter=0.02, material=steel,
                              number_of_bars=3, delta_y=0.2)
        beam.create_bar_layer(origin=(-0.1, 0.25), diameter=0.016, material=steel,
                              number_of_bars=2, delta_y=0.2)
        for my in moments:
            beam.create_extreme(
                frequent=LoadingSLS(ResultOfInternalForces(N=0, My=0.7 * my)),
                fundamental=LoadingULS(ResultOfInternalForces(N=-50_000, My=my)))
    return model


def main() -> None:
    input_xml = build_model().generate_xml_input()
    print(f"input XML: {len(input_xml.getvalue())} bytes")

    register_worker("varenna", demo_section_check_worker)
    analysis = VarennaAnalysis(File.from_data(input_xml.getvalue()))
    analysis.execute(timeout=30)
    result_xml = analysis.get_output_file()
    assert result_xml is not None

    print("\nstreaming parser, one section at a time")
    print(f"{'section':>8} {'extreme':>8} {'check value':>12} {'result':>7}")
    parser = RcsOutputFileParser(result_xml)
    for section in parser.section_results():
        for i, extreme in enumerate(section.extremes(), start=1):
            capacity = extreme["capacity"]
            assert capacity is not None
            print(f"{section.id_:>8} {i:>8} {capacity['CheckValue']:>12.3f} "
                  f"{capacity['Result']:>7}")

    print("\nwhole-document parser")
    whole = OutputFileParser(result_xml)
    for section_id in whole.section_ids:
        values = [entry["CheckValue"] for entry in whole.capacity_results(section_id) if entry]
        print(f"section {section_id}: highest check value {max(values):.3f}")


if __name__ == "__main__":
    main()
