"""Rules of the C++ sources that a compiler does not enforce."""

import pathlib
import re

SOURCES = pathlib.Path(__file__).resolve().parent.parent / "src"


def _sources(*, outside_runtime=False):
    for path in sorted(SOURCES.rglob("*.[ch]pp")):
        if outside_runtime and path.parent.name == "runtime":
            continue
        yield path, path.read_text()


def test_no_python_source_is_executed_from_cpp():
    pattern = re.compile(r"\b(PyRun_\w+|Py_CompileString\w*|PyEval_EvalCode\w*)\s*\(")
    offenders = [f"{path.name}: {m.group(1)}" for path, text in _sources() for m in pattern.finditer(text)]
    assert not offenders


def test_reference_counts_are_handled_by_the_runtime_layer():
    # Module code owns references through rt::Ref; raw increments and decrements live in src/runtime only.
    pattern = re.compile(r"\bPy_(X?DECREF|X?INCREF|CLEAR|SETREF|XSETREF)\s*\(")
    offenders = [f"{path.name}: {m.group(0)}" for path, text in _sources(outside_runtime=True)
                 for m in pattern.finditer(text)]
    assert not offenders
