"""Object vocabulary of section-check input models (host stand-in).

The section-check integration builds its input models from these classes: materials,
cross-sections, reinforced cross-sections with bars and stirrups, check members, check
sections with their load extremes and member data. Every object has ``_serialize()``, which
returns a plain dict of its fields; nested vocabulary objects and enum members are left in
place for the model's JSON encoder to write (enum members as their ``value``). Objects point at
each other through ``_ReferenceElement(id, kind)`` records.

Strengths and moduli are in Pa, lengths in m, strains plain; the base-material tables
``_MATERIAL_NAMES`` and ``_MATERIAL_PROPERTIES`` hold the standard characteristic values in
MPa (``epsuk`` in units of 1e-4).
"""

from __future__ import annotations

import enum
import numbers
from dataclasses import dataclass, field, fields
from typing import Any, Dict, List, Optional, Sequence


class ConcreteMaterial(enum.Enum):
    """Standard concrete strength classes."""

    C12_15 = 'C12/15'
    C16_20 = 'C16/20'
    C20_25 = 'C20/25'
    C25_30 = 'C25/30'
    C30_37 = 'C30/37'
    C35_45 = 'C35/45'
    C40_50 = 'C40/50'
    C45_55 = 'C45/55'
    C50_60 = 'C50/60'
    C55_67 = 'C55/67'
    C60_75 = 'C60/75'
    C70_85 = 'C70/85'
    C80_95 = 'C80/95'
    C90_105 = 'C90/105'


class ReinforcementMaterial(enum.Enum):
    """Standard reinforcing steel grades."""

    B_400A = 'B 400A'
    B_400B = 'B 400B'
    B_400C = 'B 400C'
    B_500A = 'B 500A'
    B_500B = 'B 500B'
    B_500C = 'B 500C'


class CrossSectionType(enum.Enum):
    """Kinds of cross-section shape."""

    RECT = 'RECT'
    GENERAL = 'GENERAL'
    O = 'O'
    TRAPEZOID = 'TRAPEZOID'
    IGN = 'IGN'
    IGH = 'IGH'
    BEAM_SHAPE_I_HAUNCH_CHAMFER = 'BEAM_SHAPE_I_HAUNCH_CHAMFER'
    TG = 'TG'
    TTFH = 'TTFH'
    TGREV = 'TGREV'
    TCHAMFER_1 = 'TCHAMFER_1'
    TCHAMFER_2 = 'TCHAMFER_2'
    TWH = 'TWH'
    TTFHREV = 'TTFHREV'
    TWHREV = 'TWHREV'


class MemberType(enum.Enum):
    """Structural member types."""

    BEAM = 'BEAM'
    COLUMN = 'COLUMN'
    BEAM_SLAB = 'BEAM_SLAB'
    HOLLOW_CORE_SLAB = 'HOLLOW_CORE_SLAB'
    TWO_WAY_SLAB = 'TWO_WAY_SLAB'
    PLATE = 'PLATE'
    WALL = 'WALL'


class TwoWaySlabType(enum.Enum):
    """Kinds of two-way slab."""

    SLAB = 'SLAB'
    WALL = 'WALL'
    DEEP_BEAM = 'DEEP_BEAM'
    SHELL_AS_PLATE = 'SHELL_AS_PLATE'
    SHELL_AS_WALL = 'SHELL_AS_WALL'


class BarSurface(enum.Enum):
    """Surface of reinforcing bars."""

    RIBBED = 'RIBBED'
    SMOOTH = 'SMOOTH'


class ReinfClass(enum.Enum):
    """Ductility class of reinforcement."""

    A = 'A'
    B = 'B'
    C = 'C'


class ReinfType(enum.Enum):
    """Product form of reinforcement."""

    BARS = 'BARS'
    DECOILED_RODS = 'DECOILED_RODS'
    WIRE_FABRICS = 'WIRE_FABRICS'
    LATTICE_GIRDERS = 'LATTICE_GIRDERS'


class ReinfDiagramType(enum.Enum):
    """Stress-strain diagram of reinforcement."""

    BILINEAR_INCLINED = 'BILINEAR_INCLINED'
    BILINEAR_HORIZONTAL = 'BILINEAR_HORIZONTAL'


class ReinfFabrication(enum.Enum):
    """Fabrication of reinforcement."""

    HOT_ROLLED = 'HOT_ROLLED'
    COLD_WORKED = 'COLD_WORKED'


class ConcDiagramType(enum.Enum):
    """Stress-strain diagram of concrete for the ultimate limit state."""

    PARABOLIC = 'PARABOLIC'
    BILINEAR = 'BILINEAR'


class ConcAggregateType(enum.Enum):
    """Aggregate type of concrete."""

    QUARTZITE = 'QUARTZITE'
    LIMESTONE = 'LIMESTONE'
    SANDSTONE = 'SANDSTONE'
    BASALT = 'BASALT'


class ConcCementClass(enum.Enum):
    """Cement class of concrete."""

    S = 'S'
    R = 'R'
    N = 'N'

_DUCTILITY = {"A": (1.05, 25), "B": (1.08, 50), "C": (1.15, 75)}
_MATERIAL_NAMES: Dict[Any, Dict[str, str]] = {
    member: {"name": member.value} for member in [*ConcreteMaterial, *ReinforcementMaterial]}
_MATERIAL_PROPERTIES: Dict[Any, Dict[str, float]] = {
    **{m: {"fck": int(m.value[1:].split("/")[0])} for m in ConcreteMaterial},
    **{m: {"fyk": int(m.value[2:5]), "ftk_by_fyk": _DUCTILITY[m.value[-1]][0],
           "epsuk": _DUCTILITY[m.value[-1]][1]} for m in ReinforcementMaterial},
}


def _point(value: Any, what: str) -> List[float]:
    """A copied [y, z] pair; anything else is refused with ValueError."""
    try:
        y, z = value
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be a pair of numbers, got {value!r}") from None
    if not (isinstance(y, numbers.Real) and isinstance(z, numbers.Real)) or isinstance(y, bool) \
            or isinstance(z, bool):
        raise ValueError(f"{what} must be a pair of numbers, got {value!r}")
    return [float(y), float(z)]


def _ref(obj: Any, kind: str) -> "_ReferenceElement":
    return _ReferenceElement(obj.id, kind)


class _OpenObject:
    """Root of the vocabulary: ``_serialize()`` gives the object's fields as a plain dict."""

    def _serialize(self) -> Dict[str, Any]:
        # Containers are copied so that editing the result cannot change the object.
        return {f.name: _shallow_copy(getattr(self, f.name)) for f in fields(self)}


def _shallow_copy(value: Any) -> Any:
    if isinstance(value, list):
        return list(value)
    if isinstance(value, dict):
        return dict(value)
    return value




@dataclass(frozen=True)
class _ReferenceElement(_OpenObject):
    """Link to another object: its identifier and the general kind of object it is."""
    id: int
    kind: str


@dataclass(eq=False)
class ThermalState(_OpenObject):
    """Sources of the temperature-dependent material curves ("Code" or "User")."""
    expansion: str = "Code"
    conductivity: str = "Code"
    specific_heat: str = "Code"
    stress_strain: str = "Code"
    strain: str = "Code"


@dataclass(eq=False)
class ProjectData(_OpenObject):
    """Project header of the input model."""
    name: str = ""
    description: str = ""
    author: str = ""
    date: str = ""


@dataclass(eq=False)
class CodeSettings(_OpenObject):
    """Design code and national annex the checks follow."""
    code: str = "EN 1992-1-1"
    national_annex: str = "Standard"
    fatigue_check: bool = False


@dataclass(eq=False)
class ConcDependentParams(_OpenObject):
    """Concrete parameters that otherwise follow from the strength (Pa, plain strains)."""
    fctm: Optional[float] = None
    e_cm: Optional[float] = None
    eps_c1: Optional[float] = None
    eps_cu1: Optional[float] = None
    eps_c2: Optional[float] = None
    eps_cu2: Optional[float] = None
    n_factor: Optional[float] = None


@dataclass(eq=False)
class _Material(_OpenObject):
    id: int
    name: str
    e_modulus: float
    g_modulus: float
    poisson: float
    unit_mass: float
    specific_heat: float
    thermal_expansion: float
    thermal_conductivity: float
    is_default: bool
    order_in_code: int
    thermal_state: ThermalState


class MatConcrete(_Material):
    """Concrete material, independent of the design code."""


class MatReinforcement(_Material):
    """Reinforcement material, independent of the design code."""


@dataclass(eq=False)
class MatConcreteEc2(MatConcrete):
    """Concrete material to EN 1992-1-1."""
    fck: float
    stone_diameter: float
    cement_class: ConcCementClass
    aggregate_type: ConcAggregateType
    diagram_type: ConcDiagramType
    silica_fume: bool
    plain_concrete_diagram: bool
    dep_params: Optional[ConcDependentParams]


@dataclass(eq=False)
class MatReinforcementEc2(MatReinforcement):
    """Reinforcement material to EN 1992-1-1."""
    bar_surface: BarSurface
    fyk: float
    ftk_by_fyk: float
    epsuk: float
    ftk: float
    class_: ReinfClass
    type_: ReinfType
    fabrication: ReinfFabrication
    diagram_type: ReinfDiagramType


@dataclass(eq=False)
class CrossSection(_OpenObject):
    """A concrete cross-section; either given by parameters or by polygon components."""
    id: int
    name: str


class CrossSectionParameter(CrossSection):
    """Cross-section of a standard shape given by named dimensions (m)."""

    def __init__(self, id: int, name: str, cross_section_type: CrossSectionType,
                 material: _ReferenceElement, **parameters: Any) -> None:
        super().__init__(id, name)
        self.cross_section_type = cross_section_type
        self.material = material
        self.parameters = dict(parameters)

    def _serialize(self) -> Dict[str, Any]:
        return {**super()._serialize(), "cross_section_type": self.cross_section_type,
                "material": self.material, "parameters": dict(self.parameters)}


@dataclass(eq=False)
class CrossSectionComponentPart(_OpenObject):
    """One polygon of a component cross-section: outline and openings, each closed."""
    outline: List[List[float]]
    material: _ReferenceElement
    openings: List[List[List[float]]]


def _closed_polygon(points: Sequence[Any], what: str) -> List[List[float]]:
    try:
        polygon = [_point(p, f"A vertex of the {what}") for p in points]
    except TypeError:
        raise ValueError(f"The {what} must be a sequence of (y, z) vertices") from None
    if len(polygon) > 1 and polygon[0] == polygon[-1]:
        polygon.pop()  # already closed by the caller
    if len(polygon) < 3:
        raise ValueError(f"The {what} needs a minimum of 3 vertices, got {len(polygon)}")
    return polygon + [list(polygon[0])]


@dataclass(eq=False)
class CrossSectionComponent(CrossSection):
    """Cross-section made of polygon components, each of its own concrete material."""
    components: List[CrossSectionComponentPart] = field(default_factory=list, init=False)

    def create_component(self, outline: Sequence[Any], material: MatConcrete,
                         openings: Optional[Sequence[Sequence[Any]]] = None
                         ) -> CrossSectionComponentPart:
        """Add a polygon (and its openings), closing each polygon; returns the component."""
        part = CrossSectionComponentPart(
            _closed_polygon(outline, "outline"), _ref(material, "MatConcrete"),
            [_closed_polygon(o, "opening") for o in openings or ()])
        self.components.append(part)
        return part


@dataclass(eq=False)
class ReinforcedBar(_OpenObject):
    """A longitudinal bar: centre (m), diameter (m) and reinforcement material."""
    coordinates: List[float]
    diameter: float
    material: _ReferenceElement


@dataclass(eq=False)
class Stirrup(_OpenObject):
    """A stirrup: vertices {"point": [y, z], "arc_point": [y, z] or None} joined in order."""
    points: List[Dict[str, Any]]
    diameter: float
    material: _ReferenceElement
    distance: float
    shear_check: bool
    torsion_check: bool
    mandrel_diameter_factor: float
    anchorage_length: float


def _stirrup_vertex(entry: Any) -> Dict[str, Any]:
    try:
        first, second = entry
    except (TypeError, ValueError):
        raise ValueError(f"A stirrup vertex must be (y, z) or ((y, z), (y_arc, z_arc)), "
                         f"got {entry!r}") from None
    if isinstance(first, numbers.Real):
        return {"point": _point(entry, "A stirrup vertex"), "arc_point": None}
    return {"point": _point(first, "A stirrup vertex"),
            "arc_point": _point(second, "A stirrup arc point")}


@dataclass(eq=False)
class ReinforcedCrossSection(_OpenObject):
    """A cross-section with its longitudinal bars and stirrups."""
    id: int
    name: str
    cross_section: _ReferenceElement
    bars: List[ReinforcedBar] = field(default_factory=list, init=False)
    stirrups: List[Stirrup] = field(default_factory=list, init=False)

    def create_bar(self, coordinates: Sequence[float], diameter: float,
                   material: MatReinforcement) -> ReinforcedBar:
        """Add one bar centred at ``coordinates`` (y, z); returns it."""
        bar = ReinforcedBar(_point(coordinates, "Bar coordinates"), diameter,
                            _ref(material, "MatReinforcement"))
        self.bars.append(bar)
        return bar

    def create_bar_layer(self, *, origin: Sequence[float], diameter: float,
                         material: MatReinforcement, number_of_bars: int,
                         delta_y: Optional[float] = None, delta_z: Optional[float] = None
                         ) -> List[ReinforcedBar]:
        """Add ``number_of_bars`` (at least 2) bars evenly from ``origin`` to
        ``origin + (delta_y, delta_z)`` (None counting as 0); returns them."""
        if isinstance(number_of_bars, bool) or not isinstance(number_of_bars, numbers.Integral):
            raise TypeError(f"number_of_bars must be an integer, got {number_of_bars!r}")
        if number_of_bars < 2:
            raise ValueError(f"A bar layer needs a minimum of 2 bars, got {number_of_bars}")
        y0, z0 = _point(origin, "The layer origin")
        dy, dz = float(delta_y or 0.0), float(delta_z or 0.0)
        reference = _ref(material, "MatReinforcement")
        steps = number_of_bars - 1
        layer = [ReinforcedBar([y0 + dy * i / steps, z0 + dz * i / steps], diameter, reference)
                 for i in range(number_of_bars)]
        self.bars.extend(layer)
        return layer

    def create_stirrup(self, points: Sequence[Any], diameter: float, material: MatReinforcement,
                       distance: float, shear_check: Optional[bool] = None,
                       torsion_check: Optional[bool] = None,
                       mandrel_diameter_factor: Optional[float] = None,
                       anchorage_length: Optional[float] = None) -> Stirrup:
        """Add a stirrup through ``points``; None settings mean False, False, 1.0 and 0.0."""
        vertices = [_stirrup_vertex(entry) for entry in points]
        if len(vertices) < 2:
            raise ValueError(f"A stirrup needs at least 2 vertices, got {len(vertices)}")
        stirrup = Stirrup(
            vertices, diameter, _ref(material, "MatReinforcement"), distance,
            bool(shear_check) if shear_check is not None else False,
            bool(torsion_check) if torsion_check is not None else False,
            1.0 if mandrel_diameter_factor is None else mandrel_diameter_factor,
            0.0 if anchorage_length is None else anchorage_length)
        self.stirrups.append(stirrup)
        return stirrup


@dataclass(eq=False)
class CheckMember(_OpenObject):
    """A structural member whose sections are checked."""
    id: int
    name: str


class CheckMember1D(CheckMember):
    """A beam-like (1D) check member."""


@dataclass(eq=False)
class ResultOfInternalForces(_OpenObject):
    """Internal forces of one combination (N, moments in N and N*m)."""
    N: float = 0
    Qy: float = 0
    Qz: float = 0
    Mx: float = 0
    My: float = 0
    Mz: float = 0


@dataclass(eq=False)
class LoadingSLS(_OpenObject):
    """Loading of a serviceability combination."""
    forces: ResultOfInternalForces


@dataclass(eq=False)
class LoadingULS(_OpenObject):
    """Loading of an ultimate combination."""
    forces: ResultOfInternalForces


@dataclass(eq=False)
class FatigueLoading(_OpenObject):
    """Fatigue loading: the forces at the top and bottom of the stress range."""
    max_forces: ResultOfInternalForces = field(default_factory=ResultOfInternalForces)
    min_forces: ResultOfInternalForces = field(default_factory=ResultOfInternalForces)


@dataclass(eq=False)
class CheckSectionExtreme(_OpenObject):
    """One load extreme of a check section: a loading per limit state, or None when absent."""
    description: str
    accidental: Optional[LoadingULS] = None
    fatigue: Optional[FatigueLoading] = None
    frequent: Optional[LoadingSLS] = None
    fundamental: Optional[LoadingULS] = None
    characteristic: Optional[LoadingSLS] = None
    quasi_permanent: Optional[LoadingSLS] = None


_EXTREME_LOADINGS = {"accidental": LoadingULS, "fatigue": FatigueLoading, "frequent": LoadingSLS,
                     "fundamental": LoadingULS, "characteristic": LoadingSLS,
                     "quasi_permanent": LoadingSLS}


@dataclass(eq=False)
class CheckSection(_OpenObject):
    """A section to be checked, with its load extremes."""
    id: int
    description: str
    extremes: List[CheckSectionExtreme] = field(default_factory=list, init=False)

    def create_extreme(self, *, description: Optional[str] = None,
                       accidental: Optional[LoadingULS] = None,
                       fatigue: Optional[FatigueLoading] = None,
                       frequent: Optional[LoadingSLS] = None,
                       fundamental: Optional[LoadingULS] = None,
                       characteristic: Optional[LoadingSLS] = None,
                       quasi_permanent: Optional[LoadingSLS] = None) -> CheckSectionExtreme:
        """Add an extreme with the loadings given (None means absent); its description
        defaults to "{section name} - E {i}", i counting the section's extremes from 1."""
        loadings = {"accidental": accidental, "fatigue": fatigue, "frequent": frequent,
                    "fundamental": fundamental, "characteristic": characteristic,
                    "quasi_permanent": quasi_permanent}
        for key, value in loadings.items():
            expected = _EXTREME_LOADINGS[key]
            if value is not None and not isinstance(value, expected):
                raise TypeError(f"{key} must be a {expected.__name__}, not "
                                f"{type(value).__name__}")
        extreme = CheckSectionExtreme(
            description or f"{self.description} - E {len(self.extremes) + 1}", **loadings)
        self.extremes.append(extreme)
        return extreme


@dataclass(eq=False)
class StandardCheckSection(CheckSection):
    """A check section of a member, on a reinforced cross-section."""
    member: _ReferenceElement
    reinforced_cross_section: _ReferenceElement


@dataclass(eq=False)
class CalculationSetup(_OpenObject):
    """Which checks run."""
    capacity: bool = True
    shear: bool = True
    torsion: bool = False
    interaction: bool = True
    stress_limitation: bool = True
    crack_width: bool = True
    detailing: bool = True
    fatigue: bool = False


@dataclass(eq=False)
class ExposureClassesDataEc2(_OpenObject):
    """Exposure classes; with ``no_corrosion`` the other classes are not used."""
    no_corrosion: bool = True
    carbonation: Optional[str] = None
    chlorides: Optional[str] = None
    chlorides_from_sea: Optional[str] = None
    freeze_attack: Optional[str] = None
    chemical_attack: Optional[str] = None


@dataclass(eq=False)
class ConcreteMemberDataEc2(_OpenObject):
    """Design data of a check member to EN 1992-1-1; None settings take the defaults
    (standard calculation setup, kx 1.0, no corrosion, computed creep, 65 % humidity)."""
    member: _ReferenceElement
    member_type: MemberType
    two_way_slab_type: TwoWaySlabType
    calculation_setup: Optional[CalculationSetup] = None
    coeff_kx_for_wmax: Optional[float] = None
    exposure_class_data: Optional[ExposureClassesDataEc2] = None
    creep_coefficient: Optional[float] = None
    relative_humidity: Optional[float] = None

    def __post_init__(self) -> None:
        if self.calculation_setup is None:
            self.calculation_setup = CalculationSetup()
        if self.coeff_kx_for_wmax is None:
            self.coeff_kx_for_wmax = 1.0
        if self.exposure_class_data is None:
            self.exposure_class_data = ExposureClassesDataEc2()
        if self.relative_humidity is None:
            self.relative_humidity = 65.0
