"""The calling convention every method of the three modules shares: argument errors in the
texts of compiled modules, keyword-only parameters, real signatures, ordinary subclassing."""
import abc
import inspect
import io
import pydoc
import re

import pytest

from quillon.external.excel import Excel, Macro
from quillon.external.varenna import objects as o
from quillon.external.varenna.varenna import (Beam, GeneralShape, Model, OpenModel,
                                              OutputFileParser, RcsOutputFileParser,
                                              RectSection, SectionPrototype1D, VarennaAnalysis)


@pytest.fixture
def model():
    return OpenModel()


@pytest.fixture
def beam():
    m = Model()
    concrete = m.create_concrete_material(o.ConcreteMaterial.C12_15)
    return m.create_beam(RectSection(0.5, 1.0), concrete)


def _raises(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value)


@pytest.mark.parametrize("call, message", [
    (lambda m: m.add_member_data_ec2(1, 2, 3, 4),
     "add_member_data_ec2() takes exactly 4 positional arguments (5 given)"),
    (lambda m: m.add_member_data_ec2(1, 2),
     "add_member_data_ec2() takes exactly 4 positional arguments (3 given)"),
    (lambda m: m.create_matconcrete_ec2(o.ConcreteMaterial.C12_15, "n", 30000),
     "create_matconcrete_ec2() takes at most 3 positional arguments (4 given)"),
    (lambda m: m.create_matconcrete_ec2(),
     "create_matconcrete_ec2() takes at least 2 positional arguments (1 given)"),
    (lambda m: m.create_check_member1d("a", "b"),
     "create_check_member1d() takes at most 2 positional arguments (3 given)"),
    (lambda m: m.generate_xml_input(True),
     "generate_xml_input() takes exactly 1 positional argument (2 given)"),
    (lambda m: m.create_check_member1d(nam="x"),
     "create_check_member1d() got an unexpected keyword argument 'nam'"),
    (lambda m: m.create_check_member1d("x", name="y"),
     "create_check_member1d() got multiple values for keyword argument 'name'"),
    (lambda m: OpenModel(None),
     "__init__() takes exactly 1 positional argument (2 given)"),
    (lambda m: m.add_check_section(check_member=None),
     "add_check_section() takes at least 3 positional arguments (2 given)"),
])
def test_argument_errors_use_the_compiled_module_texts(model, call, message):
    assert _raises(lambda: call(model)) == message


@pytest.mark.parametrize("call, message", [
    (lambda b: b.create_bar_layer(diameter=0.01, material=None, number_of_bars=2),
     "create_bar_layer() needs keyword-only argument origin"),
    (lambda b: b.create_bar_layer(origin=(0, 0), diameter=0.01, material=None),
     "create_bar_layer() needs keyword-only argument number_of_bars"),
    (lambda b: b.create_bar_layer((0, 0)),
     "create_bar_layer() takes exactly 1 positional argument (2 given)"),
    (lambda b: b.create_extreme(None),
     "create_extreme() takes exactly 1 positional argument (2 given)"),
    (lambda b: b.create_bar((0, 0), 0.01),
     "create_bar() takes exactly 4 positional arguments (3 given)"),
])
def test_keyword_only_parameters_are_enforced(beam, call, message):
    assert _raises(lambda: call(beam)) == message


def test_keyword_collecting_parameter_takes_any_free_keyword(model):
    mat = model.create_matconcrete_ec2(o.ConcreteMaterial.C12_15)
    cs = model.create_cross_section_parameter(o.CrossSectionType.RECT, mat, None,
                                              Width=2.0, Height=1.5, Anything=3)
    assert cs in model._cross_section_list
    assert _raises(lambda: model.create_cross_section_parameter(
        o.CrossSectionType.RECT, mat, "n", name="x")) == (
        "create_cross_section_parameter() got multiple values for keyword argument 'name'")


def test_signatures_show_real_parameters_defaults_and_annotations():
    sig = inspect.signature(OpenModel.create_matconcrete_ec2)
    params = sig.parameters
    assert list(params)[:3] == ["self", "base_material", "name"]
    assert params["name"].kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert params["e_modulus"].kind is inspect.Parameter.KEYWORD_ONLY
    assert params["e_modulus"].default == 32800
    assert params["cement_class"].default is o.ConcCementClass.R
    assert params["base_material"].annotation is o.ConcreteMaterial
    bound = inspect.signature(OpenModel().generate_xml_input)
    assert str(bound) == "(*, as_file: 'bool' = False) -> 'Union[BytesIO, File]'"
    cp = inspect.signature(OpenModel.create_cross_section_parameter).parameters
    assert cp["parameters"].kind is inspect.Parameter.VAR_KEYWORD
    assert inspect.signature(Model).parameters["project_data"].kind is inspect.Parameter.KEYWORD_ONLY
    assert str(inspect.signature(VarennaAnalysis)) == (
        "(input_file: 'Union[BytesIO, File]', *, return_result_xml: 'bool' = None, "
        "return_rcs_file: 'bool' = None) -> None")


def flat(text):
    """Text as pydoc lays it out, with what differs between pydoc versions undone: long
    signatures broken over several lines (one parameter a line, inside the class's " |"
    gutter) and string annotations shown with or without their quotes."""
    text = " ".join(re.sub(r"^ ?\|", "", line) for line in text.splitlines())
    text = " ".join(text.replace("'", "").replace('"', "").split())
    return re.sub(r",?\s*\)", ")", re.sub(r"\(\s+", "(", text))


@pytest.mark.parametrize("cls, fragment", [
    (Excel, "extension: 'str' = '.xlsm'"),
    (Excel, "execute(self, timeout: 'int' = 30) -> None"),
    (Beam, "create_bar_layer(self, *, origin"),
])
def test_help_shows_the_real_parameters(cls, fragment):
    assert flat(fragment) in flat(pydoc.render_doc(cls, renderer=pydoc.plaintext))


@pytest.mark.parametrize("cls", [Excel, Macro, SectionPrototype1D, OpenModel, Model,
                                 VarennaAnalysis, RcsOutputFileParser, OutputFileParser])
def test_help_shows_every_method_with_its_signature(cls):
    text = flat(pydoc.render_doc(cls, renderer=pydoc.plaintext))
    # pydoc leaves out private names, as for any class.
    methods = [name for name, value in vars(cls).items()
               if type(value).__name__ == "native_function" and pydoc.visiblename(name)]
    assert methods
    for name in methods:
        assert flat(f"{name}{inspect.signature(getattr(cls, name))}") in text, name


def test_methods_look_like_python_functions():
    f = OpenModel.create_check_member1d
    assert f.__name__ == "create_check_member1d"
    assert f.__qualname__ == "OpenModel.create_check_member1d"
    assert f.__module__ == "quillon.external.varenna.varenna"
    assert inspect.isroutine(f)
    bound = OpenModel().create_check_member1d
    assert inspect.ismethod(bound)
    assert RcsOutputFileParser.SectionResult.__qualname__ == "RcsOutputFileParser.SectionResult"
    assert RcsOutputFileParser.SectionResult.capacity.__qualname__ == (
        "RcsOutputFileParser.SectionResult.capacity")


def test_class_and_static_methods_bind_like_python_ones():
    class Parser(OutputFileParser):
        pass

    import xml.etree.ElementTree as ET
    assert Parser._element_to_dict(ET.fromstring("<a>t</a>")) == {"a": "t"}
    assert Excel._create_error_string({}) == "unknown errors"
    assert Excel(io.BytesIO())._create_error_string({"error_message": "x"}) == "Error: x"


def test_abstract_classes_refuse_instantiation():
    assert isinstance(SectionPrototype1D, abc.ABCMeta)
    with pytest.raises(TypeError, match="abstract"):
        SectionPrototype1D()


def test_subclasses_override_methods_and_extend_state():
    calls = []

    class MyMacro(Macro):
        def __init__(self, command, extra):
            super().__init__(command)
            self.extra = extra

        def serialize(self):
            calls.append(self.command)
            return {"name": self.command.upper()}

    m = MyMacro("run", 1)
    assert (m.command, m.extra) == ("run", 1)
    job = Excel(io.BytesIO(b"x"), macros=[m])
    assert job._generate_job_content()._serialize()["macros"] == [{"name": "RUN"}]
    assert calls == ["run"]

    class Square(RectSection):
        def __init__(self, side):
            super().__init__(side, side)

    assert Square(2)._parameters == {"Width": 2, "Height": 2}
    assert isinstance(GeneralShape([(0, 0), (1, 0), (1, 1)]), SectionPrototype1D)


def test_base_class_calls_follow_the_method_resolution_order():
    from quillon.external.external_program import ExternalProgram
    calls = []

    class Recording(ExternalProgram):
        def __init__(self, key, version=1):
            calls.append((key, version))
            super().__init__(key, version=version)

    class Job(VarennaAnalysis, Recording):
        pass

    class Sheet(Excel, Recording):
        pass

    Job(io.BytesIO(), return_rcs_file=False)
    Sheet(io.BytesIO(), extension=".xlsx")
    assert calls == [("varenna", 2), ("excel", 2)]
