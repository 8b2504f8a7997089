"""Python-level coverage for the fuzz targets.

The engine sees only instrumented Python code, and the native modules are not instrumented, so
the targets instrument the code that turns an input into the value under test: inputs that
reach new branches of it are kept and mutated further. (atheris.instrument_all would do too,
but costs a quarter of a minute at every start.)
"""

import inspect


def instrument(atheris, *modules):
    """Instrument every function and method defined in ``modules`` in place."""
    for module in modules:
        for obj in list(vars(module).values()):
            if inspect.isfunction(obj) and obj.__module__ == module.__name__:
                atheris.instrument_func(obj)
            elif inspect.isclass(obj) and obj.__module__ == module.__name__:
                for member in vars(obj).values():
                    if inspect.isfunction(member):
                        atheris.instrument_func(member)
