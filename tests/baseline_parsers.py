"""Plain-Python result parsers on ``xml.etree.ElementTree``.

The straightforward way to read the section-check result file: the baseline the native parsers
are measured against in ``benchmarks/bench_parsers.py``, and the reference the differential tests compare
them with. Same classes, same results, same errors (with one deliberate choice: a per-check
``Stress`` element without text gives ``"Stress": None``, as the term summaries do).
"""

import math
import xml.etree.ElementTree as ET
from typing import Any, Dict, Iterator, List, Optional

from quillon.errors import ParsingError

__all__ = ["RcsOutputFileParser", "OutputFileParser"]

_SHEAR_KEYS = ("Ved", "Vrd", "Vrdc", "Vrdmax", "Vrdr", "Vrds", "CheckValue")
_TORSION_KEYS = ("Ted", "Trdc", "Trdmax", "Trds", "Trd", "CheckValue")
_INTERACTION_KEYS = ("Ned", "Medy", "Medz", "Ved", "Ted", "CheckValue",
                     "CheckValueShearAndTorsion", "CheckValueShearTorsionAndBending")
_CRACK_KEYS = ("N", "My", "Mz", "W", "Wlim", "CheckValue")
_FORCES = ("N", "Qy", "Qz", "Mx", "My", "Mz")
_STRESS_CHECKS = ("Check_7_2_2_Concrete_fck", "Check_7_2_3_Concrete_fck",
                  "Check_7_2_5_Tendons_fpk", "Check_7_2_5_ReinforcementBars_fyk",
                  "Check_5_10_3_2_Tendons", "Check_5_10_2_1_1_Tendons")
_FATIGUE = 'ConcreteCheckResultBase[Check="Fatigue"]'


def _result_path(result_type: str, tail: str = "/CheckResults/ConcreteCheckResultBase") -> str:
    return f'.//*[ResultType="{result_type}"]' + tail


def _numbers_and_result(element: ET.Element, keys) -> dict:
    values = {key: float(element.find(key).text) for key in keys}
    values["Result"] = element.find("Result").text
    return values


def _force_group(element: Optional[ET.Element]) -> Optional[dict]:
    if element is None or len(element) == 0:
        return None
    return {child.tag: float(child.text) for child in element}


class RcsOutputFileParser:
    class SectionResult:
        def __init__(self, id_: int, element: ET.Element):
            self._id = id_
            self._element = element

        @property
        def id_(self) -> int:
            return self._id

        def _iter_extreme_results(self) -> Iterator[ET.Element]:
            extremes = self._element.find("ExtremeResults")
            if extremes is None:
                return
            yield from extremes

        def _collect(self, path: str, build) -> List[Optional[dict]]:
            entries = []
            for extreme in self._iter_extreme_results():
                element = extreme.find(path)
                if element is None or len(element) == 0:
                    entries.append(None)
                else:
                    entries.append(build(element))
            return entries

        def capacity(self) -> List[Optional[dict]]:
            def build(e):
                return {
                    "Fu": _force_group(e.find("Fu")),
                    "Fu1": _force_group(e.find("Fu1")),
                    "Fu2": _force_group(e.find("Fu2")),
                    "CheckValue": float(e.find("CheckValue").text),
                    "Result": e.find("Result").text,
                }
            return self._collect(_result_path("Capacity"), build)

        def shear(self) -> List[Optional[dict]]:
            return self._collect(_result_path("Shear"), lambda e: _numbers_and_result(e, _SHEAR_KEYS))

        def torsion(self) -> List[Optional[dict]]:
            return self._collect(_result_path("Torsion"),
                                 lambda e: _numbers_and_result(e, _TORSION_KEYS))

        def interaction(self) -> List[Optional[dict]]:
            return self._collect(_result_path("Interaction"),
                                 lambda e: _numbers_and_result(e, _INTERACTION_KEYS))

        def crack_width(self) -> List[Optional[dict]]:
            def build(e):
                short = e.find('ConcreteCheckResultBase[Check="CrackWidthShort"]')
                long = e.find('ConcreteCheckResultBase[Check="CrackWidthLong"]')
                terms = {
                    "short": None if short is None
                    else {k: float(short.find(k).text) for k in _CRACK_KEYS},
                    "long": None if long is None
                    else {k: float(long.find(k).text) for k in _CRACK_KEYS},
                }
                for term, element in (("short", short), ("long", long)):
                    if isinstance(terms[term], dict):
                        terms[term]["Result"] = element.find("Result").text
                return terms
            return self._collect(_result_path("CrackWidth", "/CheckResults"), build)

        def detailing(self) -> List[Optional[dict]]:
            def build(e):
                longitudinal = e.find("CheckValueLongReinf")
                shear = e.find("CheckValueShearReinf")
                long_value = None if longitudinal is None else float(longitudinal.text)
                shear_value = None if shear is None else float(shear.text)
                return {
                    "longitudinal": long_value,
                    "shear": shear_value,
                    "CheckValue": float(e.find("CheckValue").text),
                    "CheckValueLongReinf": long_value,
                    "CheckValueShearReinf": shear_value,
                    "Result": e.find("Result").text,
                }
            return self._collect(_result_path("Detailing"), build)

        def stress_limitation(self) -> List[Optional[dict]]:
            def build(e):
                result: Dict[str, Any] = {}
                shorts = e.findall('ConcreteCheckResultBase[Check="StressLimitationShort"]')
                longs = e.findall('ConcreteCheckResultBase[Check="StressLimitationLong"]')
                for term, elements in (("short", shorts), ("long", longs)):
                    summary = {}
                    for element in elements:
                        type_check = element.find("TypeCheck")
                        stress = element.find("Stress")
                        if type_check is None or stress is None:
                            continue
                        value = float(stress.text or "nan")
                        summary[type_check.text] = None if math.isnan(value) else value
                    result[term] = summary or None
                for name in _STRESS_CHECKS:
                    result[name] = None
                    for element in e.findall(f'ConcreteCheckResultBase[TypeCheck="{name}"]'):
                        check = element.find("Check").text
                        if check == "StressLimitationShort":
                            term = "short"
                        elif check == "StressLimitationLong":
                            term = "long"
                        else:
                            raise NotImplementedError
                        if result[name] is None:
                            result[name] = {}
                        stress = element.find("Stress").text
                        result[name][term] = {
                            "Stress": None if not stress or stress.lower() == "nan"
                            else float(stress),
                            "CheckValue": float(element.find("CheckValue").text),
                            "Result": element.find("Result").text,
                        }
                return result
            return self._collect(_result_path("StressLimitation", "/CheckResults"), build)

        def fatigue(self) -> List[Optional[dict]]:
            def matches(shear, forces):
                return all(shear.findtext(".//" + name) == forces.findtext(name)
                           for name in _FORCES)

            def build(e):
                result: Dict[str, Any] = {"fatigue": {}, "shear": {}}
                maximum = e.find(_FATIGUE + "/InternalForceMax")
                minimum = e.find(_FATIGUE + "/InternalForceMin")
                result["fatigue"] = {
                    "CheckValue": float(e.find(_FATIGUE + "/CheckValue").text),
                    "DecisionMethod": e.find(_FATIGUE + "/DecissionMethod").text,
                    "Result": e.find(_FATIGUE + "/Result").text,
                }
                for shear in e.findall('ConcreteCheckResultBase[Check="Shear"]'):
                    if matches(shear, maximum):
                        result["shear"]["max"] = _numbers_and_result(shear, _SHEAR_KEYS)
                    if matches(shear, minimum):
                        result["shear"]["min"] = _numbers_and_result(shear, _SHEAR_KEYS)
                return result
            return self._collect(_result_path("Fatigue", "/CheckResults"), build)

        def extremes(self) -> List[dict]:
            return [
                {"capacity": c, "shear": s, "torsion": t, "interaction": i, "crack_width": w,
                 "detailing": d, "stress_limitation": sl, "fatigue": f}
                for c, s, t, i, w, d, sl, f in zip(
                    self.capacity(), self.shear(), self.torsion(), self.interaction(),
                    self.crack_width(), self.detailing(), self.stress_limitation(),
                    self.fatigue())
            ]

    def __init__(self, xml_file):
        self._pos = xml_file.tell()
        self._file = xml_file

    def section_results(self) -> Iterator["RcsOutputFileParser.SectionResult"]:
        self._file.seek(0)
        for _, element in ET.iterparse(self._file, events=("end",)):
            if element.tag == "SectionConcreteCheckResult":
                yield self.SectionResult(int(element.find("SectionId").text), element)
                element.clear()
        self._reset_file()

    def section_result(self, id_: int) -> "RcsOutputFileParser.SectionResult":
        for section in self.section_results():
            if section.id_ == id_:
                self._reset_file()
                return section
        text = id_ if isinstance(id_, str) else str(id_)
        raise ParsingError(f"section with id '{text}' is not available in the result file.")

    def _reset_file(self) -> None:
        self._file.seek(self._pos)


class OutputFileParser:
    def __init__(self, xml_file):
        try:
            self._root = ET.fromstring(xml_file.getvalue())
        except ET.ParseError as error:
            raise ParsingError("Provided 'xml_file' is not a valid XML file.") from error

    @property
    def section_ids(self) -> List[int]:
        return [int(e.find("SectionId").text)
                for e in self._root.findall("SectionConcreteCheckResult")]

    def raw_results(self) -> dict:
        return self._element_to_dict(self._root)

    @classmethod
    def _element_to_dict(cls, e: ET.Element) -> dict:
        children = [cls._element_to_dict(child) for child in e]
        return {e.tag: children} if children else {e.tag: e.text}

    def _section_element(self, section_id: int) -> ET.Element:
        for element in self._root.findall("SectionConcreteCheckResult"):
            if int(element.find("SectionId").text) == section_id:
                return element
        text = section_id if isinstance(section_id, str) else str(section_id)
        raise ParsingError(
            f"section with id 'section_id = {text}' is not available in the result file.")

    def _section(self, section_id):
        return RcsOutputFileParser.SectionResult(section_id, self._section_element(section_id))

    def capacity_results(self, section_id: int):
        return self._section(section_id).capacity()

    def shear_results(self, section_id: int):
        return self._section(section_id).shear()

    def crack_width_results(self, section_id: int):
        return self._section(section_id).crack_width()

    def detailing_results(self, section_id: int):
        return self._section(section_id).detailing()

    def stress_limitation_results(self, section_id: int):
        return self._section(section_id).stress_limitation()

    def fatigue_results(self, section_id: int):
        return self._section(section_id).fatigue()
