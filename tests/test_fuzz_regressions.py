"""Replays kept inputs through the fuzz targets' one-input functions, without the fuzzing engine.

fuzz/regressions/TARGET/ holds every input that once crashed a target or made it disagree with
the interpreter (and a few made by hand); fuzz/corpus/TARGET/ holds the seeds the fuzzing
starts from. Each must pass its target's checks, so what fuzzing found stays fixed.
"""

import importlib.util
import pathlib
import sys

import pytest

FUZZ = pathlib.Path(__file__).resolve().parent.parent / "fuzz"
TARGETS = ("results", "base64", "json")


def load_target(target):
    """The target module, imported as the engine-less replay sees it: atheris unavailable."""
    name = f"fuzz_{target}"
    if name in sys.modules:
        return sys.modules[name]
    module_spec = importlib.util.spec_from_file_location(name, FUZZ / f"{name}.py")
    module = importlib.util.module_from_spec(module_spec)
    saved = sys.modules.get("atheris", ...)
    sys.modules["atheris"] = None   # makes "import atheris" fail even where it is installed
    try:
        module_spec.loader.exec_module(module)
    finally:
        if saved is ...:
            del sys.modules["atheris"]
        else:
            sys.modules["atheris"] = saved
    sys.modules[name] = module
    return module


def kept_inputs(folder):
    return [(target, path) for target in TARGETS
            for path in sorted((FUZZ / folder / target).glob("*")) if path.is_file()]


@pytest.mark.parametrize("target, path", kept_inputs("regressions"),
                         ids=lambda v: v.name if isinstance(v, pathlib.Path) else v)
def test_regression_input_passes(target, path):
    load_target(target).TestOneInput(path.read_bytes())


@pytest.mark.parametrize("target, path", kept_inputs("corpus"),
                         ids=lambda v: v.name if isinstance(v, pathlib.Path) else v)
def test_seed_input_passes(target, path):
    load_target(target).TestOneInput(path.read_bytes())


@pytest.mark.parametrize("target", TARGETS)
def test_every_target_has_seeds_and_regressions(target):
    assert any((FUZZ / "corpus" / target).iterdir())
    assert any((FUZZ / "regressions" / target).iterdir())


@pytest.mark.parametrize("target", TARGETS)
def test_targets_import_without_the_engine(target):
    module = load_target(target)
    assert module.atheris is None
    module.TestOneInput(b"")
