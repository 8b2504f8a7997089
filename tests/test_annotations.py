"""Annotations of the native methods read as a Python function's do: ``__annotations__`` holds
them as written, ``__globals__`` is the module's namespace, and typing.get_type_hints,
inspect.get_annotations and (where there is one) annotationlib resolve them."""
import importlib
import inspect
import io
import sys
import types
import typing
import xml.etree.ElementTree as ET

import pytest

from quillon.external.varenna.varenna import (Model, OpenModel, OutputFileParser,
                                              RcsOutputFileParser)

MODULES = ["quillon.external.varenna.varenna", "quillon.external.excel", "quillon.external.strand"]


def native(value):
    return type(value).__name__ == "native_function"


def functions_of(cls):
    """(name, function) for every native function a class defines itself, nested classes,
    static and class methods and property getters included."""
    found = []
    for name, value in vars(cls).items():
        if isinstance(value, (staticmethod, classmethod)):
            value = value.__func__
        elif isinstance(value, property):
            value = value.fget
        if isinstance(value, type) and value.__qualname__.startswith(cls.__qualname__ + "."):
            found.extend(functions_of(value))
        elif native(value):
            found.append((value.__qualname__, value))
    return found


def classes():
    cases = []
    for module_name in MODULES:
        module = importlib.import_module(module_name)
        for name, value in vars(module).items():
            if isinstance(value, type) and value.__module__ == module_name and functions_of(value):
                cases.append(pytest.param(value, id=f"{module_name.rsplit('.', 1)[1]}:{name}"))
    return cases


def plain_twin(function):
    """A Python function with the same annotations and globals: what the interpreter's own
    introspection gives for it is what the native function must give."""
    def twin():
        pass
    twin = types.FunctionType(twin.__code__, function.__globals__, function.__name__)
    twin.__annotations__ = dict(function.__annotations__)
    return twin


def signature_annotations(function):
    sig = inspect.signature(function)
    annotations = {p.name: p.annotation for p in sig.parameters.values()
                   if p.annotation is not inspect.Parameter.empty}
    if sig.return_annotation is not inspect.Signature.empty:
        annotations["return"] = sig.return_annotation
    return annotations


def unresolved(hint):
    if isinstance(hint, (str, typing.ForwardRef)):
        return True
    return any(unresolved(arg) for arg in typing.get_args(hint))


@pytest.mark.parametrize("cls", classes())
def test_every_method_resolves_its_annotations(cls):
    for qualname, function in functions_of(cls):
        assert function.__annotations__ == signature_annotations(function), qualname
        hints = typing.get_type_hints(function)
        assert hints == typing.get_type_hints(plain_twin(function)), qualname
        assert hints.keys() == function.__annotations__.keys(), qualname
        assert not any(unresolved(h) for h in hints.values()), (qualname, hints)


@pytest.mark.parametrize("cls", classes())
def test_inspect_reads_the_annotations_as_for_a_python_function(cls):
    for qualname, function in functions_of(cls):
        twin = plain_twin(function)
        assert inspect.get_annotations(function) == inspect.get_annotations(twin), qualname
        assert (inspect.get_annotations(function, eval_str=True)
                == inspect.get_annotations(twin, eval_str=True)), qualname


@pytest.mark.skipif(sys.version_info < (3, 14), reason="annotationlib is new in 3.14")
@pytest.mark.parametrize("cls", classes())
def test_annotationlib_reads_the_annotations(cls):
    import annotationlib
    for qualname, function in functions_of(cls):
        twin = plain_twin(function)
        for form in (annotationlib.Format.VALUE, annotationlib.Format.FORWARDREF,
                     annotationlib.Format.STRING):
            assert (annotationlib.get_annotations(function, format=form)
                    == annotationlib.get_annotations(twin, format=form)), (qualname, form)
        assert (annotationlib.get_annotations(function, eval_str=True)
                == annotationlib.get_annotations(twin, eval_str=True)), qualname


@pytest.mark.parametrize("function, name, expected", [
    (Model.create_beam, "return", "Beam"),
    (RcsOutputFileParser.__init__, "xml_file", typing.BinaryIO),
    (RcsOutputFileParser.section_results, "return",
     typing.Iterator[RcsOutputFileParser.SectionResult]),
    (OutputFileParser.__init__, "xml_file", io.StringIO),
    (OutputFileParser._section_element, "return", ET.Element),
    (OpenModel.generate_xml_input, "return", "Union[BytesIO, File]"),
])
def test_hints_name_the_real_objects(function, name, expected):
    if isinstance(expected, str):
        expected = eval(expected, vars(sys.modules[function.__module__]))
    assert typing.get_type_hints(function)[name] == expected


def test_globals_are_the_module_namespace():
    module = sys.modules[Model.__module__]
    assert Model.create_beam.__globals__ is vars(module)
    assert RcsOutputFileParser.SectionResult.capacity.__globals__ is vars(module)


def test_annotations_are_replaceable_like_a_functions():
    function = OpenModel.create_check_member1d
    original = function.__annotations__
    assert function.__annotations__ is original  # one dict, as for a Python function
    try:
        function.__annotations__ = {"return": int}
        assert typing.get_type_hints(function) == {"return": int}
        with pytest.raises(TypeError, match="__annotations__ must be set to a dict object"):
            function.__annotations__ = [("return", int)]
        del function.__annotations__
        assert function.__annotations__ == {}
    finally:
        function.__annotations__ = original
