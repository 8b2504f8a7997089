"""Input models, analysis job and result parsers of the section-check program."""

import abc
import json
import xml.etree.ElementTree as ET

from io import BytesIO, StringIO
from typing import (
    Any,
    BinaryIO,
    Dict,
    Iterator,
    List,
    Literal,
    Optional,
    Protocol,
    Sequence,
    Tuple,
    Union,
    overload,
)

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
    ReinfType,
    ReinforcedBar,
    ReinforcedCrossSection,
    ReinforcementMaterial,
    Stirrup,
    ThermalState,
    TwoWaySlabType,
)

__all__ = [
    "Beam",
    "CompressionMember",
    "GeneralShape",
    "VarennaAnalysis",
    "Model",
    "OneWaySlab",
    "OpenModel",
    "OutputFileParser",
    "RcsOutputFileParser",
    "RectSection",
    "SectionPrototype1D",
]


class _HasGetvalue(Protocol):
    """Anything whose ``getvalue()`` returns a whole document (``StringIO``, ``BytesIO``)."""

    def getvalue(self) -> Union[str, bytes]: ...


class _EnumEncoder(json.JSONEncoder):
    """To auto-serialize Enum type. """

    def default(self, o: Any) -> Any: ...


class _Model:
    """Store of one section-check input model: materials, cross-sections, reinforced cross-sections, check members, check sections and member data, with the project data and code settings."""

    _mat_concrete_list: List[MatConcreteEc2]
    _mat_reinforcement_list: List[MatReinforcementEc2]
    _cross_section_list: List[CrossSection]
    _reinforced_cross_section_list: List[ReinforcedCrossSection]
    _check_member_list: List[CheckMember1D]
    _check_section_list: List[CheckSection]
    _attribute_list: List[Any]
    _project_data: ProjectData
    _code_settings: CodeSettings

    def __init__(
            self,
            project_data: Optional[ProjectData] = None,
            code_settings: Optional[CodeSettings] = None,
    ) -> None: ...

    @property
    def project_data(self) -> ProjectData:
        """The project data of the model."""

    @property
    def code_settings(self) -> CodeSettings:
        """The code and calculation settings of the model."""

    def _create_matconcrete_ec2(
            self,
            base_material: ConcreteMaterial,
            name: Optional[str] = None,
            e_modulus: float = 32800,
            g_modulus: float = 13667,
            poisson: float = 0.2,
            unit_mass: float = 2500,
            specific_heat: float = 0.6,
            thermal_expansion: float = 1e-05,
            thermal_conductivity: float = 45,
            is_default: bool = False,
            order_in_code: int = 1,
            thermal_state: Optional[ThermalState] = None,
            fck_28: Optional[float] = None,
            stone_diameter: float = 0.016,
            cement_class: ConcCementClass = ConcCementClass.R,
            aggregate_type: ConcAggregateType = ConcAggregateType.QUARTZITE,
            diagram_type: ConcDiagramType = ConcDiagramType.PARABOLIC,
            silica_fume: bool = False,
            plain_concrete_diagram: bool = False,
            dep_params: Optional[ConcDependentParams] = None,
    ) -> MatConcreteEc2: ...

    def _create_matreinforcement_ec2(
            self,
            base_material: ReinforcementMaterial,
            name: Optional[str] = None,
            e_modulus: float = 200000,
            g_modulus: float = 83333,
            poisson: float = 0.2,
            unit_mass: float = 7850,
            specific_heat: float = 0.6,
            thermal_expansion: float = 1e-05,
            thermal_conductivity: float = 45,
            is_default: bool = False,
            order_in_code: int = 1,
            thermal_state: Optional[ThermalState] = None,
            bar_surface: BarSurface = BarSurface.RIBBED,
            fyk: Optional[float] = None,
            ftk_by_fyk: Optional[float] = None,
            epsuk: Optional[float] = None,
            ftk: Optional[float] = None,
            class_: ReinfClass = ReinfClass.B,
            type_: ReinfType = ReinfType.BARS,
            fabrication: ReinfFabrication = ReinfFabrication.HOT_ROLLED,
            diagram_type: ReinfDiagramType = ReinfDiagramType.BILINEAR_INCLINED,
    ) -> MatReinforcementEc2: ...

    def _create_cross_section_component(
            self,
            name: Optional[str] = None,
    ) -> CrossSectionComponent: ...

    def _create_cross_section_parameter(
            self,
            cross_section_type: CrossSectionType,
            material: MatConcrete,
            name: Optional[str] = None,
            **parameters: Any,
    ) -> CrossSectionParameter: ...

    def _create_reinforced_cross_section(
            self,
            cross_section: CrossSection,
            name: Optional[str] = None,
    ) -> ReinforcedCrossSection: ...

    def _create_check_member1d(self, name: Optional[str] = None) -> CheckMember1D: ...

    def _add_check_section(
            self,
            check_member: CheckMember,
            reinf_section: ReinforcedCrossSection,
            description: Optional[str] = None,
    ) -> CheckSection: ...

    def _add_member_data_ec2(
            self,
            member: CheckMember,
            member_type: MemberType,
            two_way_slab_type: TwoWaySlabType,
            calculation_setup: Optional[CalculationSetup] = None,
            coeff_kx_for_wmax: Optional[float] = None,
            exposure_class_data: Optional[ExposureClassesDataEc2] = None,
            creep_coefficient: Optional[float] = None,
            relative_humidity: Optional[float] = None,
    ) -> None: ...

    def _serialize(self) -> Dict[str, Any]: ...

    @overload
    def generate_xml_input(self, *, as_file: Literal[False] = False) -> BytesIO: ...
    @overload
    def generate_xml_input(self, *, as_file: Literal[True]) -> File: ...
    @overload
    def generate_xml_input(self, *, as_file: bool = False) -> Union[BytesIO, File]: ...


class OpenModel(_Model):
    """Open model of the section-check program, built object by object.

    Typical order of calls (each step uses objects made by the earlier ones):

    1. create a concrete material (create_matconcrete_ec2);
    2. create a cross-section by parameters (create_cross_section_parameter) or by components
       (create_cross_section_component) on that material;
    3. create a reinforced cross-section on the cross-section (create_reinforced_cross_section);
    4. create a reinforcement material (create_matreinforcement_ec2) and add bars and stirrups
       to the reinforced cross-section with its own methods;
    5. create a check member (create_check_member1d);
    6. add a check section joining the member and the reinforced cross-section
       (add_check_section) and add load extremes to the returned check section;
    7. add the member data for the member (add_member_data_ec2);
    8. generate the input XML (generate_xml_input).

    Warning: the model does not validate its input. Whether an input XML represents a valid
    model depends on the combination of parameters, and no guarantee is given on this.
    Validate your models by hand before using them in an automated way.

    :param project_data: project data (default: the program's default project data)
    :param code_settings: code and calculation settings (default: the program's defaults)
    """

    def __init__(
            self,
            *,
            project_data: Optional[ProjectData] = None,
            code_settings: Optional[CodeSettings] = None,
    ) -> None: ...

    def create_matconcrete_ec2(
            self,
            base_material: ConcreteMaterial,
            name: Optional[str] = None,
            *,
            e_modulus: float = 32800,
            g_modulus: float = 13667,
            poisson: float = 0.2,
            unit_mass: float = 2500,
            specific_heat: float = 0.6,
            thermal_expansion: float = 1e-05,
            thermal_conductivity: float = 45,
            is_default: bool = False,
            order_in_code: int = 1,
            thermal_state: Optional[ThermalState] = None,
            fck_28: Optional[float] = None,
            stone_diameter: float = 0.016,
            cement_class: ConcCementClass = ConcCementClass.R,
            aggregate_type: ConcAggregateType = ConcAggregateType.QUARTZITE,
            diagram_type: ConcDiagramType = ConcDiagramType.PARABOLIC,
            silica_fume: bool = False,
            plain_concrete_diagram: bool = False,
            dep_params: Optional[ConcDependentParams] = None,
    ) -> MatConcreteEc2:
        """Create a concrete material (EN 1992-1-1).

        :param base_material: base material to start with; its entry in the material tables supplies the default name and strength
        :param name: name of the material (default: the base material's name)
        :param e_modulus: Young's modulus [MPa]
        :param g_modulus: shear modulus [MPa]
        :param poisson: Poisson's ratio
        :param unit_mass: unit mass [kg/m3]
        :param specific_heat: specific heat
        :param thermal_expansion: thermal expansion [1/K]
        :param thermal_conductivity: thermal conductivity
        :param is_default: whether the material is a default material of the design code
        :param order_in_code: order of the material in the design code
        :param thermal_state: collection of thermal states for expansion, conductivity, specific heat, stress-strain and strain curvatures (default: ThermalState())
        :param fck_28: characteristic compressive cylinder strength of concrete at 28 days [MPa] (default: the base material's fck)
        :param stone_diameter: aggregate size [m]
        :param cement_class: cement class
        :param aggregate_type: aggregate type
        :param diagram_type: stress-strain diagram for the ultimate limit state
        :param silica_fume: contains silica fume (EN 1992-2:2008-07 only)
        :param plain_concrete_diagram: stress-strain diagram with a tension part
        :param dep_params: dependent parameters; None lets the section-check program derive them from the strength
        :return: the new concrete material
        """

    def create_matreinforcement_ec2(
            self,
            base_material: ReinforcementMaterial,
            name: Optional[str] = None,
            *,
            e_modulus: float = 200000,
            g_modulus: float = 83333,
            poisson: float = 0.2,
            unit_mass: float = 7850,
            specific_heat: float = 0.6,
            thermal_expansion: float = 1e-05,
            thermal_conductivity: float = 45,
            is_default: bool = False,
            order_in_code: int = 1,
            thermal_state: Optional[ThermalState] = None,
            bar_surface: BarSurface = BarSurface.RIBBED,
            fyk: Optional[float] = None,
            ftk_by_fyk: Optional[float] = None,
            epsuk: Optional[float] = None,
            ftk: Optional[float] = None,
            class_: ReinfClass = ReinfClass.B,
            type_: ReinfType = ReinfType.BARS,
            fabrication: ReinfFabrication = ReinfFabrication.HOT_ROLLED,
            diagram_type: ReinfDiagramType = ReinfDiagramType.BILINEAR_INCLINED,
    ) -> MatReinforcementEc2:
        """Create a reinforcement material (EN 1992-1-1).

        :param base_material: base material to start with; its entry in the material tables supplies the default name and strengths
        :param name: name of the material (default: the base material's name)
        :param e_modulus: Young's modulus [MPa]
        :param g_modulus: shear modulus [MPa]
        :param poisson: Poisson's ratio
        :param unit_mass: unit mass [kg/m3]
        :param specific_heat: specific heat
        :param thermal_expansion: thermal expansion [1/K]
        :param thermal_conductivity: thermal conductivity
        :param is_default: whether the material is a default material of the design code
        :param order_in_code: order of the material in the design code
        :param thermal_state: collection of thermal states for expansion, conductivity, specific heat, stress-strain and strain curvatures (default: ThermalState())
        :param bar_surface: bar surface
        :param fyk: characteristic yield strength [MPa] (default: the base material's fyk)
        :param ftk_by_fyk: ratio k = ftk / fyk (default: the base material's ftk_by_fyk)
        :param epsuk: characteristic strain at maximum load [1e-4] (default: the base material's epsuk)
        :param ftk: characteristic tensile strength [MPa] (default: the base material's ftk, that is its fyk times its ftk_by_fyk)
        :param class_: class of reinforcement (ductility)
        :param type_: type of reinforcement
        :param fabrication: fabrication
        :param diagram_type: material diagram (default: bilinear with an inclined top branch)
        :return: the new reinforcement material
        """

    def create_cross_section_component(
            self,
            name: Optional[str] = None,
    ) -> CrossSectionComponent:
        """Create an empty cross-section made of components; add the components with its create_component method.

        :param name: name of the cross-section (default: the empty string)
        :return: the new cross-section
        """

    def create_cross_section_parameter(
            self,
            cross_section_type: CrossSectionType,
            material: MatConcrete,
            name: Optional[str] = None,
            **parameters: Any,
    ) -> CrossSectionParameter:
        """Create a cross-section of a standard shape, given by named dimensions [m].

        :param cross_section_type: kind of shape
        :param material: concrete material of the cross-section
        :param name: name of the cross-section (default: the empty string)
        :param parameters: the shape's dimensions, named as the section-check program names them:

            O: D
            RECT: Width, Height
            TRAPEZOID: H, Bb, Bt
            IGN: H, Bh, Bs, Ts, Th, Tw
            IGH: H, Bh, Bs, Ts, Th, Tw, Bfh, Tfh
            BEAM_SHAPE_I_HAUNCH_CHAMFER: Bbf, Hbf, Hbfh, Bw, H, Htfh, Htf, Btf, Bwh
            TG: Height, Width, TopFlangeWidth, WallWidth
            TTFH: Height, Width, TopFlangeWidth, WallWidth, TopFlangeHaunch
            TGREV: Height, Width, TopFlangeWidth, WallWidth
            TCHAMFER_1: Height, Width, TopFlangeWidth, WallWidth, TopFlangeHaunch2, WallHaunch2
            TCHAMFER_2: Height, Width, TopFlangeWidth, WallWidth, TopFlangeHaunch2, WallHaunch1, WallHaunch2
            TWH: Height, Width, TopFlangeWidth, WallWidth, WallHaunch
            TTFHREV: Height, Width, TopFlangeWidth, WallWidth, TopFlangeHaunch
            TWHREV: Height, Width, TopFlangeWidth, WallWidth, WallHaunch

        :return: the new cross-section
        """

    def create_reinforced_cross_section(
            self,
            cross_section: CrossSection,
            name: Optional[str] = None,
    ) -> ReinforcedCrossSection:
        """Create a reinforced cross-section on a cross-section; add bars and stirrups with its own methods.

        :param cross_section: the cross-section (either kind)
        :param name: name of the reinforced cross-section (default: "R" and the identifier)
        :return: the new reinforced cross-section
        """

    def create_check_member1d(self, name: Optional[str] = None) -> CheckMember1D:
        """Create a beam-like check member.

        :param name: name of the member (default: "M " and the identifier)
        :return: the new check member
        """

    def add_check_section(
            self,
            check_member: CheckMember,
            reinf_section: ReinforcedCrossSection,
            description: Optional[str] = None,
    ) -> CheckSection:
        """Add a check section joining a check member and a reinforced cross-section; add load extremes to the returned check section with its create_extreme method.

        :param check_member: the check member
        :param reinf_section: the reinforced cross-section
        :param description: description or name of the section (default: "S" and the identifier)
        :return: the new check section
        """

    def add_member_data_ec2(
            self,
            member: CheckMember,
            member_type: MemberType,
            two_way_slab_type: TwoWaySlabType,
            *,
            calculation_setup: Optional[CalculationSetup] = None,
            coeff_kx_for_wmax: Optional[float] = None,
            exposure_class_data: Optional[ExposureClassesDataEc2] = None,
            creep_coefficient: Optional[float] = None,
            relative_humidity: Optional[float] = None,
    ) -> None:
        """Add the design data of a check member (EN 1992-1-1). Call it after add_check_section; member_type and two_way_slab_type must suit the reinforced cross-section given to the member's check section.

        :param member: the check member
        :param member_type: structural member type
        :param two_way_slab_type: kind of two-way slab
        :param calculation_setup: calculation control settings (default: capacity N-M(-M), shear, interaction, stress limitation, crack width and detailing)
        :param coeff_kx_for_wmax: coefficient kx that increases the limited concrete crack width (Dutch national annex only) (default: 1.0)
        :param exposure_class_data: exposure classes (default: no corrosion)
        :param creep_coefficient: final value of the creep coefficient (default: computed by the section-check program)
        :param relative_humidity: relative humidity [%] (default: 65)
        """


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
    """Rectangular section, with the origin of its coordinate system at the centroid.

    :param width: width of the section [m]
    :param height: height of the section [m]
    """

    _width: float
    _height: float

    def __init__(self, width: float, height: float) -> None: ...

    @property
    def _type(self) -> CrossSectionType: ...

    @property
    def _parameters(self) -> Dict[str, Any]: ...


class GeneralShape(SectionPrototype1D):
    """General section shape: a polygon outline with optional openings.

    :param outline: vertices (Y, Z) of the outline [m]. A minimum of 3 vertices is required. The outline is automatically closed, so do not repeat the first vertex.
    :param openings: list of openings, each a list of vertices (Y, Z) [m]. A minimum of 3 vertices is required per opening. Each opening is automatically closed.
    """

    _outline: Sequence[Tuple[float, float]]
    _openings: Optional[Sequence[Sequence[Tuple[float, float]]]]

    def __init__(
            self,
            outline: Sequence[Tuple[float, float]],
            *,
            openings: Optional[Sequence[Sequence[Tuple[float, float]]]] = None,
    ) -> None: ...

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


class Member:
    """Base class of all member types. """

    _rcs: ReinforcedCrossSection
    _check_section: CheckSection

    def __init__(self, rcs: ReinforcedCrossSection, check_section: CheckSection) -> None: ...

    @property
    def bars(self) -> List[ReinforcedBar]:
        """The reinforced bars of the member (a new list on each read)."""

    @property
    def stirrups(self) -> List[Stirrup]:
        """The stirrups of the member (a new list on each read)."""

    @property
    def extremes(self) -> List[CheckSectionExtreme]:
        """The extremes of the member (a new list on each read)."""

    def create_bar(
            self,
            coordinates: Tuple[float, float],
            diameter: float,
            material: MatReinforcement,
    ) -> None:
        """Create a reinforced bar on the reinforced cross-section.

        :param coordinates: coordinates (X, Y) of the bar centre [m]
        :param diameter: diameter of the bar [m]
        :param material: reinforcement material
        """

    def create_bar_layer(
            self,
            *,
            origin: Tuple[float, float],
            diameter: float,
            material: MatReinforcement,
            number_of_bars: int,
            delta_y: Optional[float] = None,
            delta_z: Optional[float] = None,
    ) -> None:
        """Create multiple reinforced bars on the reinforced cross-section, positioned on a line.

        :param origin: Origin point (Y, Z) [m]
        :param diameter: diameter of the bars [m]
        :param material: reinforcement material
        :param number_of_bars: number of bars in the layer (minimum of 2)
        :param delta_y: distance from the first to the last bar in the y direction [m]
        :param delta_z: distance from the first to the last bar in the z direction [m]
        """

    def create_stirrup(
            self,
            points: Sequence[Union[Tuple[float, float], Tuple[Tuple[float, float], Tuple[float, float]]]],
            diameter: float,
            material: MatReinforcement,
            distance: float,
            shear_check: Optional[bool] = None,
            torsion_check: Optional[bool] = None,
            mandrel_diameter_factor: Optional[float] = None,
            anchorage_length: Optional[float] = None,
    ) -> None:
        """Create a stirrup on the reinforced cross-section.

        :param points: vertices of the stirrup in order [m], joined by straight segments; an entry ((X_end, Y_end), (X_on_arc, Y_on_arc)) makes the segment ending at that vertex an arc through the second point
        :param diameter: diameter of the stirrup [m]
        :param material: reinforcement material
        :param distance: longitudinal distance between stirrups [m]
        :param shear_check: take the stirrup into account in the shear check (default: False)
        :param torsion_check: take the stirrup into account in the torsion check (default: False)
        :param mandrel_diameter_factor: inner diameter of the bending mandrel as a multiple of the stirrup diameter (default: 1.0)
        :param anchorage_length: anchorage length [m] (default: 0.0)
        """

    def create_extreme(
            self,
            *,
            description: Optional[str] = None,
            accidental: Optional[LoadingULS] = None,
            fatigue: Optional[FatigueLoading] = None,
            frequent: Optional[LoadingSLS] = None,
            fundamental: Optional[LoadingULS] = None,
            characteristic: Optional[LoadingSLS] = None,
            quasi_permanent: Optional[LoadingSLS] = None,
    ) -> None:
        """Create an extreme case with corresponding internal forces on the beam for checking.

        :param description: name of the extreme (default: "{section_name} - E {i}")
        :param accidental: accidental loading
        :param fatigue: fatigue loading
        :param frequent: frequent loading
        :param fundamental: fundamental loading
        :param characteristic: characteristic loading
        :param quasi_permanent: quasi-permanent loading

        Example::

            member.create_extreme(
                frequent=LoadingSLS(ResultOfInternalForces(N=-100000, My=210000)),
                fundamental=LoadingULS(ResultOfInternalForces(N=-99999, My=200000)))
        """


class Beam(Member):
    """A beam section. Do not create it yourself: use Model.create_beam."""


class CompressionMember(Member):
    """A compression member section. Do not create it yourself: use Model.create_compression_member."""


class OneWaySlab(Member):
    """A one-way slab section. Do not create it yourself: use Model.create_one_way_slab."""


class Model(_Model):
    """Simplified model of the section-check program, built member by member.

    Typical use:

    1. create an empty model: Model() (project data and code settings may be passed);
    2. create the materials: create_concrete_material(ConcreteMaterial.C12_15) and
       create_reinforcement_material(ReinforcementMaterial.B_400A);
    3. create a member: create_beam(RectSection(0.5, 1.0), concrete), which returns a Beam;
    4. add bars with create_bar, for example four bars of diameter 0.016 at (-0.101, -0.175),
       (0.101, -0.175), (0.101, 0.175) and (-0.101, 0.175);
    5. add an extreme with create_extreme(frequent=..., fundamental=...);
    6. obtain the input XML with generate_xml_input().

    Warning: whether an input XML represents a valid model depends on the combination of
    parameters; the model gives no guarantee on this. Validate a model by hand before using
    it in an automated way.

    :param project_data: project data (default: the program's default project data)
    :param code_settings: code and calculation settings (default: the program's defaults)
    """

    def __init__(
            self,
            *,
            project_data: Optional[ProjectData] = None,
            code_settings: Optional[CodeSettings] = None,
    ) -> None: ...

    def create_concrete_material(
            self,
            base_material: ConcreteMaterial,
            name: Optional[str] = None,
            *,
            unit_mass: float = 2500,
            fck: Optional[float] = None,
            stone_diameter: float = 0.016,
            cement_class: ConcCementClass = ConcCementClass.R,
            aggregate_type: ConcAggregateType = ConcAggregateType.QUARTZITE,
            diagram_type: ConcDiagramType = ConcDiagramType.PARABOLIC,
            silica_fume: bool = False,
            plain_concrete_diagram: bool = False,
            dep_params: Optional[ConcDependentParams] = None,
    ) -> MatConcreteEc2:
        """Create a concrete material for use with the member creators.

        :param base_material: the concrete grade to start from
        :param name: name of the material (default: the base material's name)
        :param unit_mass: unit mass [kg/m3]
        :param fck: characteristic cylinder compressive strength at 28 days [MPa] (default: the base material's value)
        :param stone_diameter: aggregate size [m] (default: 16 mm)
        :param cement_class: cement class
        :param aggregate_type: aggregate type
        :param diagram_type: stress-strain diagram for the ultimate limit state
        :param silica_fume: contains silica fume (EN 1992-2:2008-07 only)
        :param plain_concrete_diagram: stress-strain diagram with a tension part
        :param dep_params: dependent parameters (default: derived from fck)
        :return: the new concrete material
        """

    def create_reinforcement_material(
            self,
            base_material: ReinforcementMaterial,
            name: Optional[str] = None,
            *,
            unit_mass: float = 7850,
            e_modulus: float = 200000,
            fyk: Optional[float] = None,
            ftk_by_fyk: Optional[float] = None,
            epsuk: Optional[float] = None,
            type_: ReinfType = ReinfType.BARS,
            bar_surface: BarSurface = BarSurface.RIBBED,
            class_: ReinfClass = ReinfClass.B,
            fabrication: ReinfFabrication = ReinfFabrication.HOT_ROLLED,
            diagram_type: ReinfDiagramType = ReinfDiagramType.BILINEAR_INCLINED,
    ) -> MatReinforcementEc2:
        """Create a reinforcement material for bars and stirrups.

        :param base_material: the steel grade to start from
        :param name: name of the material (default: the base material's name)
        :param unit_mass: unit mass [kg/m3]
        :param e_modulus: Young's modulus [MPa]
        :param fyk: characteristic yield strength [MPa] (default: the base material's value)
        :param ftk_by_fyk: factor k, the ratio ftk / fyk (default: the base material's value)
        :param epsuk: characteristic strain at maximum load [1e-4] (default: the base material's value)
        :param type_: type of reinforcement
        :param bar_surface: bar surface
        :param class_: class of reinforcement
        :param fabrication: fabrication
        :param diagram_type: material diagram, bilinear with an inclined top branch
        :return: the new reinforcement material
        """

    def create_beam(
            self,
            cs: SectionPrototype1D,
            material: MatConcrete,
            *,
            calculation_control: Optional[CalculationSetup] = None,
            name: Optional[str] = None,
            rcs_name: Optional[str] = None,
            design_member_name: Optional[str] = None,
            exposure_classes: Optional[ExposureClassesDataEc2] = None,
            coeff_kx: Optional[float] = None,
            creep_coefficient: Optional[float] = None,
            relative_humidity: Optional[float] = None,
    ) -> Beam:
        """Create a beam section.

        :param cs: section prototype, the shape of the section
        :param material: concrete material of the cross-section
        :param calculation_control: which checks to run (default: capacity N-M(-M), shear, interaction, stress limitation, crack width and detailing)
        :param name: description of the check section (default: "S{i}")
        :param rcs_name: name of the reinforced cross-section (default: "R{i}")
        :param design_member_name: name of the check member (default: "M {i}")
        :param exposure_classes: corrosion exposure classes (default: no corrosion)
        :param coeff_kx: coefficient k_x according to 7.3.1 (Dutch national annex only) (default: 1.0)
        :param creep_coefficient: final value of the creep coefficient (default: computed by the section-check program)
        :param relative_humidity: relative humidity [%] (default: 65)
        :return: the beam
        """

    def create_compression_member(
            self,
            cs: SectionPrototype1D,
            material: MatConcrete,
            *,
            calculation_control: Optional[CalculationSetup] = None,
            name: Optional[str] = None,
            rcs_name: Optional[str] = None,
            design_member_name: Optional[str] = None,
            exposure_classes: Optional[ExposureClassesDataEc2] = None,
            coeff_kx: Optional[float] = None,
            creep_coefficient: Optional[float] = None,
            relative_humidity: Optional[float] = None,
    ) -> CompressionMember:
        """Create a compression member section.

        :param cs: section prototype, the shape of the section
        :param material: concrete material of the cross-section
        :param calculation_control: which checks to run (default: capacity N-M(-M), shear, interaction, stress limitation, crack width and detailing)
        :param name: description of the check section (default: "S{i}")
        :param rcs_name: name of the reinforced cross-section (default: "R{i}")
        :param design_member_name: name of the check member (default: "M {i}")
        :param exposure_classes: corrosion exposure classes (default: no corrosion)
        :param coeff_kx: coefficient k_x according to 7.3.1 (Dutch national annex only) (default: 1.0)
        :param creep_coefficient: final value of the creep coefficient (default: computed by the section-check program)
        :param relative_humidity: relative humidity [%] (default: 65)
        :return: the compression member
        """

    def create_one_way_slab(
            self,
            cs: SectionPrototype1D,
            material: MatConcrete,
            *,
            calculation_control: Optional[CalculationSetup] = None,
            name: Optional[str] = None,
            rcs_name: Optional[str] = None,
            design_member_name: Optional[str] = None,
            exposure_classes: Optional[ExposureClassesDataEc2] = None,
            coeff_kx: Optional[float] = None,
            creep_coefficient: Optional[float] = None,
            relative_humidity: Optional[float] = None,
    ) -> OneWaySlab:
        """Create a one-way slab member section.

        :param cs: section prototype, the shape of the section
        :param material: concrete material of the cross-section
        :param calculation_control: which checks to run (default: capacity N-M(-M), shear, interaction, stress limitation, crack width and detailing)
        :param name: description of the check section (default: "S{i}")
        :param rcs_name: name of the reinforced cross-section (default: "R{i}")
        :param design_member_name: name of the check member (default: "M {i}")
        :param exposure_classes: corrosion exposure classes (default: no corrosion)
        :param coeff_kx: coefficient k_x according to 7.3.1 (Dutch national annex only) (default: 1.0)
        :param creep_coefficient: final value of the creep coefficient (default: computed by the section-check program)
        :param relative_humidity: relative humidity [%] (default: 65)
        :return: the one-way slab
        """

    def _create_1d_section(
            self,
            member_type: MemberType,
            cs: SectionPrototype1D,
            material: MatConcrete,
            calculation_control: Optional[CalculationSetup] = None,
            name: Optional[str] = None,
            rcs_name: Optional[str] = None,
            exposure_classes: Optional[ExposureClassesDataEc2] = None,
            coeff_kx: Optional[float] = None,
            creep_coefficient: Optional[float] = None,
            relative_humidity: Optional[float] = None,
            *,
            design_member_name: Optional[str] = None,
    ) -> Tuple[ReinforcedCrossSection, CheckSection]: ...


class RcsOutputFileParser:
    """Streaming parser of the section-check result file.

    Reads the result XML incrementally and hands out one section at a time; the content of a section is released when the next one is requested, so read the results inside the loop. Prefer it over OutputFileParser for very large result files.

        with result_file.open_binary() as stream:
            parser = RcsOutputFileParser(stream)
            for section in parser.section_results():
                print(section.id_, section.capacity())
    """

    _pos: int
    _file: BinaryIO


    class SectionResult:
        """The results of one section of the result file.

        Not to be instantiated by users: obtain it from RcsOutputFileParser.section_results() or section_result().
        """

        _id: int
        _element: ET.Element

        def __init__(self, id_: int, element: ET.Element) -> None: ...

        @property
        def id_(self) -> int:
            """The section identifier."""

        def _iter_extreme_results(self) -> Iterator[ET.Element]:
            """The extreme elements of the section, in document order."""

        def capacity(self) -> List[Optional[Dict[str, Any]]]:
            """Capacity results, one entry per extreme (None where there is none)."""

        def shear(self) -> List[Optional[Dict[str, Any]]]:
            """Shear results, one entry per extreme (None where there is none)."""

        def torsion(self) -> List[Optional[Dict[str, Any]]]:
            """Torsion results, one entry per extreme (None where there is none)."""

        def interaction(self) -> List[Optional[Dict[str, Any]]]:
            """Interaction results, one entry per extreme (None where there is none)."""

        def crack_width(self) -> List[Optional[Dict[str, Any]]]:
            """Crack-width results (short and long term), one entry per extreme."""

        def detailing(self) -> List[Optional[Dict[str, Any]]]:
            """Detailing results, one entry per extreme (None where there is none)."""

        def stress_limitation(self) -> List[Optional[Dict[str, Any]]]:
            """Stress-limitation results, one entry per extreme (None where there is none)."""

        def fatigue(self) -> List[Optional[Dict[str, Any]]]:
            """Fatigue results, one entry per extreme (None where there is none)."""

        def extremes(self) -> List[Dict[str, Any]]:
            """All check results combined per extreme: a list of dictionaries with the keys capacity, shear, torsion, interaction, crack_width, detailing, stress_limitation and fatigue."""

    def __init__(self, xml_file: BinaryIO) -> None: ...

    def section_results(self) -> Iterator[RcsOutputFileParser.SectionResult]:
        """Yields the sections of the result file in document order."""

    def section_result(self, id_: int) -> RcsOutputFileParser.SectionResult:
        """The section with the given identifier."""

    def _reset_file(self) -> None:
        """Puts the stream back where it was when the parser was created."""


class OutputFileParser:
    """Parser of the section-check result file that reads the whole document at once.

    The whole document stays in memory; for very large result files use RcsOutputFileParser instead.
    """

    _root: ET.Element

    def __init__(self, xml_file: Union[StringIO, BytesIO, _HasGetvalue]) -> None: ...

    @property
    def section_ids(self) -> List[int]:
        """The identifiers of all sections, in document order."""

    def raw_results(self) -> Dict[str, Any]:
        """The whole document as nested dictionaries and lists."""

    @classmethod
    def _element_to_dict(cls, e: ET.Element) -> Dict[str, Any]:
        """The raw-results form of an element: {tag: [children...]} or {tag: text}."""

    def _section_element(self, section_id: int) -> ET.Element:
        """The section element with the given identifier."""

    def capacity_results(self, section_id: int) -> List[Optional[Dict[str, Any]]]:
        """Capacity results of a section, one entry per extreme."""

    def shear_results(self, section_id: int) -> List[Optional[Dict[str, Any]]]:
        """Shear results of a section, one entry per extreme."""

    def crack_width_results(
            self,
            section_id: int,
    ) -> List[Optional[Dict[str, Optional[Dict[str, Any]]]]]:
        """Crack-width results of a section, one entry per extreme."""

    def detailing_results(self, section_id: int) -> List[Optional[Dict[str, Optional[float]]]]:
        """Detailing results of a section, one entry per extreme."""

    def stress_limitation_results(
            self,
            section_id: int,
    ) -> List[Optional[Dict[str, Optional[float]]]]:
        """Stress-limitation results of a section, one entry per extreme."""

    def fatigue_results(self, section_id: int) -> List[Optional[Dict[str, Any]]]:
        """Fatigue results of a section, one entry per extreme."""


class VarennaAnalysis(ExternalProgram):
    """Run the section-check program on a worker.

    The input is the program's input XML (for example the one made by
    ``OpenModel.generate_xml_input``), as a ``BytesIO`` or a host ``File``. The job is run with
    the inherited ``execute(timeout=...)``; afterwards ``get_output_file()`` returns the result
    XML (UTF-16 encoded) and, when ``return_rcs_file`` is set, ``get_varenna_file()`` returns the
    program's own project file.

    Example::

        input_file = File.from_data(input_xml)
        analysis = VarennaAnalysis(input_file=input_file)
        analysis.execute(timeout=10)  # seconds
        result_xml = analysis.get_output_file()

    :param input_file: the input XML.
    :param return_result_xml: request the result XML (default True).
    :param return_rcs_file: request the project file (default False).
    :raises quillon.errors.ExecutionError: the worker reported a failure; its message tells more.
    """

    input_file: Union[BytesIO, File]
    _return_result_xml: Any
    _return_rcs_file: Any

    def __init__(
            self,
            input_file: Union[BytesIO, File],
            *,
            return_result_xml: Optional[bool] = None,
            return_rcs_file: Optional[bool] = None,
    ) -> None: ...

    def _generate_job_content(self) -> _JobContent: ...
    def _handle_execution_error(self, message: str) -> None: ...

    @overload
    def get_output_file(self, *, as_file: Literal[False] = False) -> Optional[BytesIO]: ...
    @overload
    def get_output_file(self, *, as_file: Literal[True]) -> Optional[File]: ...
    @overload
    def get_output_file(
            self,
            *,
            as_file: bool = False,
    ) -> Union[Optional[BytesIO], Optional[File]]: ...

    @overload
    def get_varenna_file(self, *, as_file: Literal[False] = False) -> Optional[BytesIO]: ...
    @overload
    def get_varenna_file(self, *, as_file: Literal[True]) -> Optional[File]: ...
    @overload
    def get_varenna_file(
            self,
            *,
            as_file: bool = False,
    ) -> Union[Optional[BytesIO], Optional[File]]: ...
