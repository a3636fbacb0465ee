"""The plain-Python twins of norvane/devtools/twins.py, for tests that judge both implementations.

A test module (or class) that holds a native class under a module-level name runs its assertions a second
time with the twin bound under that name, as the interpreter's own tests run against both the C
accelerator and the pure-Python module. The benchmarks then time two things the same assertions accept.
"""

import contextlib

from norvane.devtools import twins as python_twins

__all__ = ["IMPLEMENTATIONS", "judging", "python_twins"]

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
