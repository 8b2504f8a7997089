"""The type stubs shipped with the extension modules describe the modules as they are.

Every class, method and property a stub declares must exist at run time with the same
parameter names, kinds and (where the stub spells one out) default values; the stub's
``__all__`` must be the module's; and mypy must accept the examples against the stubs.
"""
import ast
import importlib
import importlib.util
import inspect
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

# module path -> stub in the source tree (used when no stub sits next to the imported module)
MODULES = {
    "quillon.external.varenna.varenna": ROOT / "external" / "varenna" / "varenna.pyi",
    "quillon.external.excel": ROOT / "external" / "excel" / "excel.pyi",
    "quillon.external.strand": ROOT / "external" / "strand" / "strand.pyi",
}


def stub_path(module_name):
    """The stub of the installed partial stub package if there is one, else the source-tree
    stub."""
    relative = Path(*module_name.split(".")[1:]).with_suffix(".pyi")
    for folder in sys.path:
        installed = Path(folder or ".", "quillon-stubs", relative)
        if installed.is_file():
            return installed
    return MODULES[module_name]


# --- reading the stubs ----------------------------------------------------------------------

def is_overload(node):
    return any(isinstance(d, ast.Name) and d.id == "overload" for d in node.decorator_list)


def decorator_names(node):
    names = set()
    for d in node.decorator_list:
        if isinstance(d, ast.Name):
            names.add(d.id)
        elif isinstance(d, ast.Attribute):
            names.add(d.attr)
    return names


def is_typing_helper(node):
    """Stub-only classes (protocols) that have no run-time counterpart."""
    return any((isinstance(b, ast.Name) and b.id == "Protocol")
               or (isinstance(b, ast.Attribute) and b.attr == "Protocol") for b in node.bases)


def collect(body, prefix=""):
    """(qualified name, node) for every class and function of a stub, nested ones included."""
    items = []
    for node in body:
        if isinstance(node, ast.ClassDef) and not is_typing_helper(node):
            items.append((prefix + node.name, node))
            items.extend(collect(node.body, prefix + node.name + "."))
        elif isinstance(node, ast.FunctionDef):
            items.append((prefix + node.name, node))
    return items


def stub_tree(module_name):
    return ast.parse(stub_path(module_name).read_text(), str(stub_path(module_name)))


def stub_cases():
    cases = []
    for module_name in MODULES:
        seen = set()
        for qualname, node in collect(stub_tree(module_name).body):
            if qualname in seen:  # overload variants: one case checks them all
                continue
            seen.add(qualname)
            short = module_name.rsplit(".", 1)[1]
            cases.append(pytest.param(module_name, qualname, id=f"{short}:{qualname}"))
    return cases


def stub_nodes(module_name, qualname):
    return [node for name, node in collect(stub_tree(module_name).body) if name == qualname]


def stub_all(module_name):
    for node in stub_tree(module_name).body:
        if isinstance(node, ast.Assign) and any(
                isinstance(t, ast.Name) and t.id == "__all__" for t in node.targets):
            return ast.literal_eval(node.value)
    return None


# --- the run-time side ----------------------------------------------------------------------

def runtime_object(module, qualname):
    """The object a stub name stands for; for class members the raw descriptor (found along
    the MRO), so that properties and static methods can be told apart."""
    parts = qualname.split(".")
    obj = module
    for i, part in enumerate(parts):
        if isinstance(obj, type):
            try:
                obj = inspect.getattr_static(obj, part)
            except AttributeError:
                pytest.fail(f"{'.'.join(parts[:i]) or module.__name__} has no attribute '{part}'")
        else:
            if not hasattr(obj, part):
                pytest.fail(f"{module.__name__} has no attribute '{qualname}'")
            obj = getattr(obj, part)
    return obj


ELLIPSIS = object()


def default_value(node, namespace):
    """The default the stub gives: a literal, an enum member (``Enum.MEMBER``) or ELLIPSIS."""
    if isinstance(node, ast.Constant) and node.value is Ellipsis:
        return ELLIPSIS
    if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name):
        return getattr(namespace[node.value.id], node.attr)
    return ast.literal_eval(node)


def stub_params(fn, namespace):
    """(name, kind, default) triples for a stub function, default ``inspect._empty`` if none."""
    a = fn.args
    P = inspect.Parameter
    positional = [(arg, P.POSITIONAL_ONLY) for arg in a.posonlyargs] + \
                 [(arg, P.POSITIONAL_OR_KEYWORD) for arg in a.args]
    defaults = [P.empty] * (len(positional) - len(a.defaults)) + \
               [default_value(d, namespace) for d in a.defaults]
    params = [(arg.arg, kind, d) for (arg, kind), d in zip(positional, defaults)]
    if a.vararg:
        params.append((a.vararg.arg, P.VAR_POSITIONAL, P.empty))
    for arg, d in zip(a.kwonlyargs, a.kw_defaults):
        params.append((arg.arg, P.KEYWORD_ONLY,
                       P.empty if d is None else default_value(d, namespace)))
    if a.kwarg:
        params.append((a.kwarg.arg, P.VAR_KEYWORD, P.empty))
    return params


def stub_namespace(module_name):
    """Names a stub imports, resolved at run time (for enum defaults and base classes)."""
    namespace = {}
    for node in stub_tree(module_name).body:
        if isinstance(node, ast.ImportFrom) and node.module:
            source = importlib.import_module(node.module)
            for alias in node.names:
                if hasattr(source, alias.name):
                    namespace[alias.asname or alias.name] = getattr(source, alias.name)
        elif isinstance(node, ast.Import):
            for alias in node.names:
                namespace[alias.asname or alias.name] = importlib.import_module(alias.name)
    return namespace


def same_default(runtime, stub):
    if runtime is stub:
        return True
    return type(runtime) is type(stub) and runtime == stub


def check_function(qualname, nodes, raw, namespace):
    names = decorator_names(nodes[0])
    if "property" in names:
        assert isinstance(raw, property), f"{qualname} is not a property at run time"
        assert raw.fset is None, f"{qualname} is read-only in the stub but has a setter"
        return
    if "staticmethod" in names:
        assert isinstance(raw, staticmethod), f"{qualname} is not a static method at run time"
        function = raw.__func__
    elif "classmethod" in names:
        assert isinstance(raw, classmethod), f"{qualname} is not a class method at run time"
        function = raw.__func__
    else:
        assert not isinstance(raw, (property, staticmethod, classmethod)), \
            f"{qualname} is a {type(raw).__name__} at run time, a plain method in the stub"
        function = raw
    assert callable(function), f"{qualname} is not callable at run time"
    actual = [(p.name, p.kind, p.default)
              for p in inspect.signature(function).parameters.values()]
    for node in nodes:
        expected = stub_params(node, namespace)
        assert [(n, k) for n, k, _ in actual] == [(n, k) for n, k, _ in expected], \
            f"{qualname}: parameters {inspect.signature(function)} differ from the stub"
        for (name, _, got), (_, _, want) in zip(actual, expected):
            if want is inspect.Parameter.empty:
                # An overload variant may leave out a default the function has.
                if not is_overload(node):
                    assert got is inspect.Parameter.empty, \
                        f"{qualname}: '{name}' has a default at run time, none in the stub"
            elif want is ELLIPSIS:
                assert got is not inspect.Parameter.empty, \
                    f"{qualname}: '{name}' is required at run time, optional in the stub"
            else:
                assert same_default(got, want), \
                    f"{qualname}: default of '{name}' is {got!r} at run time, {want!r} in the stub"


def check_class(module_name, qualname, node, cls, namespace):
    assert isinstance(cls, type), f"{qualname} is not a class at run time"
    assert cls.__qualname__ == qualname
    assert cls.__module__ == module_name
    for base in node.bases:
        if isinstance(base, ast.Name):
            expected = namespace.get(base.id) or getattr(importlib.import_module(module_name),
                                                         base.id)
        elif isinstance(base, ast.Attribute) and isinstance(base.value, ast.Name):
            expected = getattr(namespace[base.value.id], base.attr)
        else:
            continue
        assert issubclass(cls, expected), f"{qualname} does not derive from {expected!r}"
    # Class-level values the stub spells out (``_integration: str = "strand"``).
    for item in node.body:
        if isinstance(item, ast.AnnAssign) and item.value is not None:
            name = item.target.id
            assert name in dir(cls), f"{qualname} has no class attribute '{name}'"
            assert getattr(cls, name) == ast.literal_eval(item.value)
    # Everything public the class itself defines is declared in the stub.
    declared = {n.name for n in node.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    declared |= {n.target.id for n in node.body if isinstance(n, ast.AnnAssign)}
    for name, value in vars(cls).items():
        if name.startswith("_") or not (callable(value) or isinstance(
                value, (property, staticmethod, classmethod))):
            continue
        assert name in declared, f"{qualname}.{name} exists at run time but not in the stub"


@pytest.mark.parametrize("module_name, qualname", stub_cases())
def test_stub_name_matches_the_runtime_object(module_name, qualname):
    module = importlib.import_module(module_name)
    namespace = stub_namespace(module_name)
    nodes = stub_nodes(module_name, qualname)
    raw = runtime_object(module, qualname)
    if isinstance(nodes[0], ast.ClassDef):
        check_class(module_name, qualname, nodes[0], raw, namespace)
    else:
        check_function(qualname, nodes, raw, namespace)


def test_committed_stubs_are_what_stubgen_writes():
    """The stubs are generated from the modules (tools/stubgen); a change to a module's
    signatures or docstrings must come with the regenerated stub."""
    run = subprocess.run([sys.executable, str(ROOT / "tools" / "stubgen"), "--check"],
                         capture_output=True, text=True, cwd=ROOT)
    assert run.returncode == 0, run.stdout[-4000:] + run.stderr


@pytest.mark.parametrize("module_name", list(MODULES))
def test_stub_all_is_the_module_all(module_name):
    module = importlib.import_module(module_name)
    assert list(module.__all__) == stub_all(module_name)
    declared = {name for name, _ in collect(stub_tree(module_name).body)}
    assert set(module.__all__) <= declared


# --- mypy over the examples -----------------------------------------------------------------

def build_typed_tree(target):
    """A copy of the imported ``quillon`` package with the stubs next to the modules, as an
    installed wheel lays it out; the development tree keeps stubs in the source folders."""
    import quillon

    package = Path(quillon.__file__).parent
    destination = target / "quillon"
    shutil.copytree(package, destination,
                    ignore=shutil.ignore_patterns("*.so", "*.pyd", "__pycache__"))
    for module_name in MODULES:
        relative = Path(*module_name.split(".")[1:]).with_suffix(".pyi")
        stub = destination / relative
        if not stub.exists():
            shutil.copyfile(stub_path(module_name), stub)
    return [destination / Path(*m.split(".")[1:]).with_suffix(".pyi") for m in MODULES]


def need_mypy():
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed (pip install '.[test]' brings it)")


def typed_site(target, host):
    """An environment laid out as users have it: a host package (the stand-in, typed; or a
    foreign one without py.typed or stubs) and beside it the modules' partial stub package,
    made from the source-tree stubs. Returns the environment's interpreter, for mypy's
    --python-executable."""
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", str(target)], check=True)
    python = target / "bin" / "python"
    site = Path(subprocess.run([str(python), "-c", "import sysconfig; "
                                "print(sysconfig.get_path('purelib'))"],
                               capture_output=True, text=True, check=True).stdout.strip())
    if host == "stand-in":
        import quillon

        shutil.copytree(Path(quillon.__file__).parent, site / "quillon",
                        ignore=shutil.ignore_patterns("*.so", "*.pyi", "__pycache__"))
    else:
        from foreign_host import write_host

        write_host(site)
    stubs = site / "quillon-stubs"
    for module_name, source in MODULES.items():
        stub = stubs / Path(*module_name.split(".")[1:]).with_suffix(".pyi")
        stub.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source, stub)
    (stubs / "py.typed").write_text("partial\n")
    return python


def mypy(*arguments, cwd):
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "--cache-dir", str(cwd / "cache"), "--no-error-summary", *arguments],
                          capture_output=True, text=True, cwd=cwd, env=without_pythonpath())


def test_mypy_accepts_the_examples_with_the_stubs(tmp_path):
    need_mypy()
    python = typed_site(tmp_path / "env", "stand-in")
    run = mypy("--python-executable", str(python), *sorted((ROOT / "examples").glob("*.py")),
               cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr


USER_CODE = """\
from quillon.external.excel import Macro
from quillon.external.strand import StrandAnalysis
from quillon.external.varenna.varenna import Model, OutputFileParser

reveal_type(Model().generate_xml_input())
reveal_type(OutputFileParser.capacity_results)
reveal_type(Macro("Run").serialize())
reveal_type(StrandAnalysis._integration)
"""


@pytest.mark.parametrize("host", ["stand-in", "foreign"])
def test_mypy_sees_the_modules_types_beside_any_host(tmp_path, host):
    """The partial stub package gives the modules' types whether or not the host package is
    typed; everything else of `quillon` comes from the host."""
    need_mypy()
    python = typed_site(tmp_path / "env", host)
    (tmp_path / "user.py").write_text(USER_CODE)
    run = mypy("--python-executable", str(python), "user.py", cwd=tmp_path)
    assert run.returncode == 0, run.stdout + run.stderr
    # (mypy versions differ in whether they spell out "builtins.")
    revealed = [line.split("Revealed type is ", 1)[1].replace("builtins.", "")
                for line in run.stdout.splitlines() if "Revealed type is" in line]
    assert revealed == [
        '"_io.BytesIO"',
        '"def (self: quillon.external.varenna.varenna.OutputFileParser, section_id: int)'
        ' -> list[dict[str, Any] | None]"',
        '"dict[str, Any]"',
        '"str"'], run.stdout


def without_pythonpath():
    return {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}


def test_stubtest_finds_nothing_to_report(tmp_path):
    """The stubs against the imported modules, as mypy's stubtest compares them: every name,
    signature and class attribute on both sides."""
    need_mypy()
    build_typed_tree(tmp_path / "typed")
    # The host stand-in is plain Python outside this check: its own typing is not at stake.
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\nfollow_imports = silent\n")
    import quillon

    # The modules this run imports, wherever they come from; their stubs from the typed copy.
    env = {**os.environ, "MYPYPATH": str(tmp_path / "typed"),
           "PYTHONPATH": str(Path(quillon.__file__).resolve().parent.parent)}
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(config),
                          *MODULES], capture_output=True, text=True, cwd=tmp_path, env=env)
    assert run.returncode == 0, run.stdout + run.stderr


def installed_outside_the_tree():
    """Whether a fresh interpreter imports an installed quillon (not the source tree's)."""
    run = subprocess.run([sys.executable, "-c", "import quillon; print(quillon.__file__)"],
                         capture_output=True, text=True, cwd=ROOT.parent, env=without_pythonpath())
    return run.returncode == 0 and "site-packages" in Path(run.stdout.strip()).parts


def test_mypy_strict_on_the_examples_as_a_user_types_it(tmp_path):
    need_mypy()
    if not installed_outside_the_tree():
        pytest.skip("needs the package installed (pip install '.[test]')")
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                          "--cache-dir", str(tmp_path / "cache"), "examples/"],
                         capture_output=True, text=True, cwd=ROOT, env=without_pythonpath())
    assert run.returncode == 0, run.stdout + run.stderr
