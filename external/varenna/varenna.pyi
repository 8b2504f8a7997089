"""Input models, analysis job and result parsers of the section-check program."""

import abc
import json
import xml.etree.ElementTree as ET
from io import BytesIO, StringIO
from typing import (Any, BinaryIO, ClassVar, Dict, Iterator, List, Literal, Optional, Protocol,
                    Sequence, Tuple, Type, Union, overload)

from quillon.core import File
from quillon.external.external_program import ExternalProgram, _JobContent
from quillon.external.varenna.objects import (
    BarSurface,
    CalculationSetup,
    CheckMember,
    CheckMember1D,
    CheckSection,
    CheckSectionExtreme,
    CodeSettings,
    ConcAggregateType,
    ConcCementClass,
    ConcDependentParams,
    ConcDiagramType,
    ConcreteMaterial,
    CrossSection,
    CrossSectionComponent,
    CrossSectionParameter,
    CrossSectionType,
    ExposureClassesDataEc2,
    FatigueLoading,
    LoadingSLS,
    LoadingULS,
    MatConcrete,
    MatConcreteEc2,
    MatReinforcement,
    MatReinforcementEc2,
    MemberType,
    ProjectData,
    ReinfClass,
    ReinfDiagramType,
    ReinfFabrication,
    ReinforcedBar,
    ReinforcedCrossSection,
    ReinforcementMaterial,
    ReinfType,
    Stirrup,
    ThermalState,
    TwoWaySlabType,
)

__all__ = ["Beam", "CompressionMember", "GeneralShape", "VarennaAnalysis", "Model", "OneWaySlab",
           "OpenModel", "OutputFileParser", "RcsOutputFileParser", "RectSection",
           "SectionPrototype1D"]

_Point = Tuple[float, float]
_Polygon = Sequence[Tuple[float, float]]
_StirrupVertex = Union[Tuple[float, float], Tuple[Tuple[float, float], Tuple[float, float]]]


class _HasGetvalue(Protocol):
    """Anything whose ``getvalue()`` returns a whole document (``StringIO``, ``BytesIO``)."""

    def getvalue(self) -> Union[str, bytes]: ...


# --- model store, serialisation and the open model ------------------------------------------

class _EnumEncoder(json.JSONEncoder):
    def default(self, o: Any) -> Any: ...


class _Model:
    _mat_concrete_list: List[MatConcreteEc2]
    _mat_reinforcement_list: List[MatReinforcementEc2]
    _cross_section_list: List[CrossSection]
    _reinforced_cross_section_list: List[ReinforcedCrossSection]
    _check_member_list: List[CheckMember1D]
    _check_section_list: List[CheckSection]
    _attribute_list: List[Any]
    _project_data: ProjectData
    _code_settings: CodeSettings

    def __init__(self, project_data: Optional[ProjectData] = None,
                 code_settings: Optional[CodeSettings] = None) -> None: ...
    @property
    def project_data(self) -> ProjectData: ...
    @property
    def code_settings(self) -> CodeSettings: ...
    def _create_matconcrete_ec2(
            self, base_material: ConcreteMaterial, name: Optional[str] = None,
            e_modulus: float = 32800, g_modulus: float = 13667, poisson: float = 0.2,
            unit_mass: float = 2500, specific_heat: float = 0.6, thermal_expansion: float = 1e-05,
            thermal_conductivity: float = 45, is_default: bool = False, order_in_code: int = 1,
            thermal_state: Optional[ThermalState] = None, fck_28: Optional[float] = None,
            stone_diameter: float = 0.016, cement_class: ConcCementClass = ConcCementClass.R,
            aggregate_type: ConcAggregateType = ConcAggregateType.QUARTZITE,
            diagram_type: ConcDiagramType = ConcDiagramType.PARABOLIC, silica_fume: bool = False,
            plain_concrete_diagram: bool = False,
            dep_params: Optional[ConcDependentParams] = None) -> MatConcreteEc2: ...
    def _create_matreinforcement_ec2(
            self, base_material: ReinforcementMaterial, name: Optional[str] = None,
            e_modulus: float = 200000, g_modulus: float = 83333, poisson: float = 0.2,
            unit_mass: float = 7850, specific_heat: float = 0.6, thermal_expansion: float = 1e-05,
            thermal_conductivity: float = 45, is_default: bool = False, order_in_code: int = 1,
            thermal_state: Optional[ThermalState] = None,
            bar_surface: BarSurface = BarSurface.RIBBED, fyk: Optional[float] = None,
            ftk_by_fyk: Optional[float] = None, epsuk: Optional[float] = None,
            ftk: Optional[float] = None, class_: ReinfClass = ReinfClass.B,
            type_: ReinfType = ReinfType.BARS,
            fabrication: ReinfFabrication = ReinfFabrication.HOT_ROLLED,
            diagram_type: ReinfDiagramType = ReinfDiagramType.BILINEAR_INCLINED
    ) -> MatReinforcementEc2: ...
    def _create_cross_section_component(self, name: Optional[str] = None
                                        ) -> CrossSectionComponent: ...
    def _create_cross_section_parameter(self, cross_section_type: CrossSectionType,
                                        material: MatConcrete, name: Optional[str] = None,
                                        **parameters: Any) -> CrossSectionParameter: ...
    def _create_reinforced_cross_section(self, cross_section: CrossSection,
                                         name: Optional[str] = None) -> ReinforcedCrossSection: ...
    def _create_check_member1d(self, name: Optional[str] = None) -> CheckMember1D: ...
    def _add_check_section(self, check_member: CheckMember, reinf_section: ReinforcedCrossSection,
                           description: Optional[str] = None) -> CheckSection: ...
    def _add_member_data_ec2(self, member: CheckMember, member_type: MemberType,
                             two_way_slab_type: TwoWaySlabType,
                             calculation_setup: Optional[CalculationSetup] = None,
                             coeff_kx_for_wmax: Optional[float] = None,
                             exposure_class_data: Optional[ExposureClassesDataEc2] = None,
                             creep_coefficient: Optional[float] = None,
                             relative_humidity: Optional[float] = None) -> None: ...
    def _serialize(self) -> Dict[str, Any]: ...
    @overload
    def generate_xml_input(self, *, as_file: Literal[False] = False) -> BytesIO: ...
    @overload
    def generate_xml_input(self, *, as_file: Literal[True]) -> File: ...
    @overload
    def generate_xml_input(self, *, as_file: bool = False) -> Union[BytesIO, File]: ...


class OpenModel(_Model):
    """Builds a section-check input model object by object, in the program's own terms."""

    def __init__(self, *, project_data: Optional[ProjectData] = None,
                 code_settings: Optional[CodeSettings] = None) -> None: ...
    def create_matconcrete_ec2(
            self, base_material: ConcreteMaterial, name: Optional[str] = None, *,
            e_modulus: float = 32800, g_modulus: float = 13667, poisson: float = 0.2,
            unit_mass: float = 2500, specific_heat: float = 0.6, thermal_expansion: float = 1e-05,
            thermal_conductivity: float = 45, is_default: bool = False, order_in_code: int = 1,
            thermal_state: Optional[ThermalState] = None, fck_28: Optional[float] = None,
            stone_diameter: float = 0.016, cement_class: ConcCementClass = ConcCementClass.R,
            aggregate_type: ConcAggregateType = ConcAggregateType.QUARTZITE,
            diagram_type: ConcDiagramType = ConcDiagramType.PARABOLIC, silica_fume: bool = False,
            plain_concrete_diagram: bool = False,
            dep_params: Optional[ConcDependentParams] = None) -> MatConcreteEc2: ...
    def create_matreinforcement_ec2(
            self, base_material: ReinforcementMaterial, name: Optional[str] = None, *,
            e_modulus: float = 200000, g_modulus: float = 83333, poisson: float = 0.2,
            unit_mass: float = 7850, specific_heat: float = 0.6, thermal_expansion: float = 1e-05,
            thermal_conductivity: float = 45, is_default: bool = False, order_in_code: int = 1,
            thermal_state: Optional[ThermalState] = None,
            bar_surface: BarSurface = BarSurface.RIBBED, fyk: Optional[float] = None,
            ftk_by_fyk: Optional[float] = None, epsuk: Optional[float] = None,
            ftk: Optional[float] = None, class_: ReinfClass = ReinfClass.B,
            type_: ReinfType = ReinfType.BARS,
            fabrication: ReinfFabrication = ReinfFabrication.HOT_ROLLED,
            diagram_type: ReinfDiagramType = ReinfDiagramType.BILINEAR_INCLINED
    ) -> MatReinforcementEc2: ...
    def create_cross_section_component(self, name: Optional[str] = None
                                       ) -> CrossSectionComponent: ...
    def create_cross_section_parameter(self, cross_section_type: CrossSectionType,
                                       material: MatConcrete, name: Optional[str] = None,
                                       **parameters: Any) -> CrossSectionParameter: ...
    def create_reinforced_cross_section(self, cross_section: CrossSection,
                                        name: Optional[str] = None) -> ReinforcedCrossSection: ...
    def create_check_member1d(self, name: Optional[str] = None) -> CheckMember1D: ...
    def add_check_section(self, check_member: CheckMember, reinf_section: ReinforcedCrossSection,
                          description: Optional[str] = None) -> CheckSection: ...
    def add_member_data_ec2(self, member: CheckMember, member_type: MemberType,
                            two_way_slab_type: TwoWaySlabType, *,
                            calculation_setup: Optional[CalculationSetup] = None,
                            coeff_kx_for_wmax: Optional[float] = None,
                            exposure_class_data: Optional[ExposureClassesDataEc2] = None,
                            creep_coefficient: Optional[float] = None,
                            relative_humidity: Optional[float] = None) -> None: ...


# --- section prototypes ---------------------------------------------------------------------

class _SectionPrototype(abc.ABC):
    """Abstract base class of all section prototypes."""

    @abc.abstractmethod
    def __init__(self) -> None: ...
    @property
    @abc.abstractmethod
    def _type(self) -> CrossSectionType: ...
    @property
    @abc.abstractmethod
    def _parameters(self) -> Dict[str, Any]: ...


class SectionPrototype1D(_SectionPrototype):
    """Abstract base class of all 1D (beam-like) section prototypes."""

    @abc.abstractmethod
    def __init__(self) -> None: ...
    @property
    @abc.abstractmethod
    def _type(self) -> CrossSectionType: ...
    @property
    @abc.abstractmethod
    def _parameters(self) -> Dict[str, Any]: ...


class RectSection(SectionPrototype1D):
    """A rectangle of ``width`` by ``height`` [m], centred on the origin."""

    _width: float
    _height: float

    def __init__(self, width: float, height: float) -> None: ...
    @property
    def _type(self) -> CrossSectionType: ...
    @property
    def _parameters(self) -> Dict[str, Any]: ...


class GeneralShape(SectionPrototype1D):
    """A polygon (at least 3 vertices, closed automatically) with optional openings."""

    _outline: _Polygon
    _openings: Optional[Sequence[_Polygon]]

    def __init__(self, outline: _Polygon, *,
                 openings: Optional[Sequence[_Polygon]] = None) -> None: ...
    @property
    def _type(self) -> CrossSectionType: ...
    @property
    def _parameters(self) -> Dict[str, Any]: ...


class _SectionPrototype2D(_SectionPrototype):
    """Abstract base class of all 2D (plate-like) section prototypes."""

    _thickness: float

    @abc.abstractmethod
    def __init__(self, thickness: float) -> None: ...
    @property
    @abc.abstractmethod
    def _type(self) -> CrossSectionType: ...
    @property
    @abc.abstractmethod
    def _parameters(self) -> Dict[str, Any]: ...


# --- members and the model facade -----------------------------------------------------------

class Member:
    """Base class of all member types."""

    _rcs: ReinforcedCrossSection
    _check_section: CheckSection

    def __init__(self, rcs: ReinforcedCrossSection, check_section: CheckSection) -> None: ...
    @property
    def bars(self) -> List[ReinforcedBar]: ...
    @property
    def stirrups(self) -> List[Stirrup]: ...
    @property
    def extremes(self) -> List[CheckSectionExtreme]: ...
    def create_bar(self, coordinates: _Point, diameter: float,
                   material: MatReinforcement) -> None: ...
    def create_bar_layer(self, *, origin: _Point, diameter: float, material: MatReinforcement,
                         number_of_bars: int, delta_y: Optional[float] = None,
                         delta_z: Optional[float] = None) -> None: ...
    def create_stirrup(self, points: Sequence[_StirrupVertex], diameter: float,
                       material: MatReinforcement, distance: float,
                       shear_check: Optional[bool] = None, torsion_check: Optional[bool] = None,
                       mandrel_diameter_factor: Optional[float] = None,
                       anchorage_length: Optional[float] = None) -> None: ...
    def create_extreme(self, *, description: Optional[str] = None,
                       accidental: Optional[LoadingULS] = None,
                       fatigue: Optional[FatigueLoading] = None,
                       frequent: Optional[LoadingSLS] = None,
                       fundamental: Optional[LoadingULS] = None,
                       characteristic: Optional[LoadingSLS] = None,
                       quasi_permanent: Optional[LoadingSLS] = None) -> None: ...


class Beam(Member):
    """A beam section; made by ``Model.create_beam``."""


class CompressionMember(Member):
    """A compression member section; made by ``Model.create_compression_member``."""


class OneWaySlab(Member):
    """A one-way slab section; made by ``Model.create_one_way_slab``."""


class Model(_Model):
    """Builds a section-check input model member by member from section prototypes."""

    def __init__(self, *, project_data: Optional[ProjectData] = None,
                 code_settings: Optional[CodeSettings] = None) -> None: ...
    def create_concrete_material(
            self, base_material: ConcreteMaterial, name: Optional[str] = None, *,
            unit_mass: float = 2500, fck: Optional[float] = None, stone_diameter: float = 0.016,
            cement_class: ConcCementClass = ConcCementClass.R,
            aggregate_type: ConcAggregateType = ConcAggregateType.QUARTZITE,
            diagram_type: ConcDiagramType = ConcDiagramType.PARABOLIC, silica_fume: bool = False,
            plain_concrete_diagram: bool = False,
            dep_params: Optional[ConcDependentParams] = None) -> MatConcreteEc2: ...
    def create_reinforcement_material(
            self, base_material: ReinforcementMaterial, name: Optional[str] = None, *,
            unit_mass: float = 7850, e_modulus: float = 200000, fyk: Optional[float] = None,
            ftk_by_fyk: Optional[float] = None, epsuk: Optional[float] = None,
            type_: ReinfType = ReinfType.BARS, bar_surface: BarSurface = BarSurface.RIBBED,
            class_: ReinfClass = ReinfClass.B,
            fabrication: ReinfFabrication = ReinfFabrication.HOT_ROLLED,
            diagram_type: ReinfDiagramType = ReinfDiagramType.BILINEAR_INCLINED
    ) -> MatReinforcementEc2: ...
    def create_beam(self, cs: SectionPrototype1D, material: MatConcrete, *,
                    calculation_control: Optional[CalculationSetup] = None,
                    name: Optional[str] = None, rcs_name: Optional[str] = None,
                    design_member_name: Optional[str] = None,
                    exposure_classes: Optional[ExposureClassesDataEc2] = None,
                    coeff_kx: Optional[float] = None, creep_coefficient: Optional[float] = None,
                    relative_humidity: Optional[float] = None) -> Beam: ...
    def create_compression_member(
            self, cs: SectionPrototype1D, material: MatConcrete, *,
            calculation_control: Optional[CalculationSetup] = None, name: Optional[str] = None,
            rcs_name: Optional[str] = None, design_member_name: Optional[str] = None,
            exposure_classes: Optional[ExposureClassesDataEc2] = None,
            coeff_kx: Optional[float] = None, creep_coefficient: Optional[float] = None,
            relative_humidity: Optional[float] = None) -> CompressionMember: ...
    def create_one_way_slab(
            self, cs: SectionPrototype1D, material: MatConcrete, *,
            calculation_control: Optional[CalculationSetup] = None, name: Optional[str] = None,
            rcs_name: Optional[str] = None, design_member_name: Optional[str] = None,
            exposure_classes: Optional[ExposureClassesDataEc2] = None,
            coeff_kx: Optional[float] = None, creep_coefficient: Optional[float] = None,
            relative_humidity: Optional[float] = None) -> OneWaySlab: ...
    def _create_1d_section(
            self, member_type: MemberType, cs: SectionPrototype1D, material: MatConcrete,
            calculation_control: Optional[CalculationSetup] = None, name: Optional[str] = None,
            rcs_name: Optional[str] = None,
            exposure_classes: Optional[ExposureClassesDataEc2] = None,
            coeff_kx: Optional[float] = None, creep_coefficient: Optional[float] = None,
            relative_humidity: Optional[float] = None, *,
            design_member_name: Optional[str] = None
    ) -> Tuple[ReinforcedCrossSection, CheckSection]: ...


# --- result parsers -------------------------------------------------------------------------

class RcsOutputFileParser:
    """Walks a result XML section by section, releasing each section when the next is asked for."""

    class SectionResult:
        """One section of the result XML; obtained from ``section_results`` or ``section_result``."""

        _id: int
        _element: ET.Element

        def __init__(self, id_: int, element: ET.Element) -> None: ...
        @property
        def id_(self) -> int: ...
        def _iter_extreme_results(self) -> Iterator[ET.Element]: ...
        def capacity(self) -> List[Optional[Dict[str, Any]]]: ...
        def shear(self) -> List[Optional[Dict[str, Any]]]: ...
        def torsion(self) -> List[Optional[Dict[str, Any]]]: ...
        def interaction(self) -> List[Optional[Dict[str, Any]]]: ...
        def crack_width(self) -> List[Optional[Dict[str, Any]]]: ...
        def detailing(self) -> List[Optional[Dict[str, Any]]]: ...
        def stress_limitation(self) -> List[Optional[Dict[str, Any]]]: ...
        def fatigue(self) -> List[Optional[Dict[str, Any]]]: ...
        def extremes(self) -> List[Dict[str, Any]]: ...

    _pos: int
    _file: BinaryIO

    def __init__(self, xml_file: BinaryIO) -> None: ...
    def section_results(self) -> Iterator[RcsOutputFileParser.SectionResult]: ...
    def section_result(self, id_: int) -> RcsOutputFileParser.SectionResult: ...
    def _reset_file(self) -> None: ...


class OutputFileParser:
    """Parses a whole result XML at once and answers queries by section identifier."""

    _root: ET.Element

    def __init__(self, xml_file: Union[StringIO, BytesIO, _HasGetvalue]) -> None: ...
    @property
    def section_ids(self) -> List[int]: ...
    def raw_results(self) -> Dict[str, Any]: ...
    @classmethod
    def _element_to_dict(cls, e: ET.Element) -> Dict[str, Any]: ...
    def _section_element(self, section_id: int) -> ET.Element: ...
    def capacity_results(self, section_id: int) -> List[Optional[Dict[str, Any]]]: ...
    def shear_results(self, section_id: int) -> List[Optional[Dict[str, Any]]]: ...
    def crack_width_results(self, section_id: int
                            ) -> List[Optional[Dict[str, Optional[Dict[str, Any]]]]]: ...
    def detailing_results(self, section_id: int
                          ) -> List[Optional[Dict[str, Optional[float]]]]: ...
    def stress_limitation_results(self, section_id: int) -> List[Optional[Dict[str, Any]]]: ...
    def fatigue_results(self, section_id: int) -> List[Optional[Dict[str, Any]]]: ...


# --- analysis job ---------------------------------------------------------------------------

class VarennaAnalysis(ExternalProgram):
    """Runs the section-check program on a worker and fetches its result XML and project file."""

    # The worker's failure messages and the error each becomes: (error type, message).
    exception_map: ClassVar[Dict[str, Tuple[Type[Exception], str]]]
    input_file: Union[BytesIO, File]
    _return_result_xml: Any
    _return_rcs_file: Any

    def __init__(self, input_file: Union[BytesIO, File], *,
                 return_result_xml: Optional[bool] = None,
                 return_rcs_file: Optional[bool] = None) -> None: ...
    @overload
    def get_output_file(self, *, as_file: Literal[False] = False) -> Optional[BytesIO]: ...
    @overload
    def get_output_file(self, *, as_file: Literal[True]) -> Optional[File]: ...
    @overload
    def get_output_file(self, *, as_file: bool = False) -> Optional[Union[BytesIO, File]]: ...
    @overload
    def get_varenna_file(self, *, as_file: Literal[False] = False) -> Optional[BytesIO]: ...
    @overload
    def get_varenna_file(self, *, as_file: Literal[True]) -> Optional[File]: ...
    @overload
    def get_varenna_file(self, *, as_file: bool = False) -> Optional[Union[BytesIO, File]]: ...
    def _generate_job_content(self) -> _JobContent: ...
    def _handle_execution_error(self, message: str) -> None: ...
