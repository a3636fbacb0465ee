"""The plain-Python twins of bench/python_twins.py, for tests that judge both implementations.

A test module (or class) that holds a native class under a module-level name runs its assertions a second
time with the twin bound under that name, as the interpreter's own tests run against both the C
accelerator and the pure-Python module. The benchmarks then time two things the same assertions accept.
"""

import contextlib
import importlib.util
import pathlib

_PATH = pathlib.Path(__file__).resolve().parent.parent / "bench" / "python_twins.py"
_spec = importlib.util.spec_from_file_location("python_twins", _PATH)
python_twins = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(python_twins)

IMPLEMENTATIONS = ["native", "twin"]


@contextlib.contextmanager
def judging(namespace, name, twin, implementation):
    """Binds `twin` under `name` in `namespace` for the twin's run; the native class stays for the other."""
    if implementation == "native":
        yield namespace[name]
        return
    native = namespace[name]
    namespace[name] = twin
    try:
        yield twin
    finally:
        namespace[name] = native
