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


RAW_REFERENCE_COUNTS = [
    re.compile(r"\bPy_(X?DECREF|X?INCREF|CLEAR|SETREF|XSETREF)\s*\("),
    # `Ref::borrow(x).release()` is an increment too, spelled so that the pattern above misses it.
    re.compile(r"\bborrow\s*\((?:[^()]|\([^()]*\))*\)\s*\.\s*release\s*\("),
]


def test_reference_counts_are_handled_by_the_runtime_layer():
    # Module code owns references through rt::Ref; raw increments and decrements live in src/runtime only.
    patterns = RAW_REFERENCE_COUNTS
    offenders = [
        f"{path.name}: {m.group(0)}"
        for path, text in _sources(outside_runtime=True)
        for pattern in patterns
        for m in pattern.finditer(text)
    ]
    assert not offenders


def _unpaired_recursion_guards(text):
    """Each Py_EnterRecursiveCall must be followed, in the same block, by a Py_LeaveRecursiveCall with no
    return, throw or raise of that block in between (one inside a nested block or lambda is not a way out)."""
    problems = []
    for enter in re.finditer(r"\bPy_EnterRecursiveCall\s*\(", text):
        at = text.index(";", enter.end()) + 1  # a return on the failed-enter line needs no leave
        depth = 0
        for token in re.finditer(r"[{}]|\bPy_LeaveRecursiveCall\s*\(|\breturn\b|\bthrow\b|\braise\w*\s*\(", text[at:]):
            word = token.group(0)
            if word == "{":
                depth += 1
            elif word == "}":
                depth -= 1
                if depth < 0:
                    problems.append(f"block ends before the leave at offset {enter.start()}")
                    break
            elif depth == 0 and word.startswith("Py_Leave"):
                break
            elif depth == 0:
                problems.append(f"'{word.strip('( ')}' between enter and leave at offset {enter.start()}")
                break
        else:
            problems.append(f"no leave after the enter at offset {enter.start()}")
    enters = len(re.findall(r"\bPy_EnterRecursiveCall\s*\(", text))
    leaves = len(re.findall(r"\bPy_LeaveRecursiveCall\s*\(", text))
    if enters != leaves:
        problems.append(f"{enters} enters but {leaves} leaves")
    return problems


def test_recursion_guards_pair():
    offenders = [f"{path.name}: {problem}" for path, text in _sources() for problem in _unpaired_recursion_guards(text)]
    assert not offenders


def test_the_rules_see_what_they_are_meant_to_see():
    for spelled in ["rt::Ref::borrow(value).release()", "Ref::borrow(PyTuple_GET_ITEM(t, 0)).release()"]:
        assert any(pattern.search(spelled) for pattern in RAW_REFERENCE_COUNTS)
    assert not any(pattern.search("Ref::borrow(value).get()") for pattern in RAW_REFERENCE_COUNTS)
    paired = 'if (Py_EnterRecursiveCall(" x")) return nullptr;\nauto r = guarded([&] { return f(); });\nPy_LeaveRecursiveCall();'
    early = 'if (Py_EnterRecursiveCall(" x")) return nullptr;\nif (bad) return nullptr;\nPy_LeaveRecursiveCall();'
    missing = 'if (Py_EnterRecursiveCall(" x")) return nullptr;\nwork();\n}'
    assert _unpaired_recursion_guards(paired) == []
    assert _unpaired_recursion_guards(early) and _unpaired_recursion_guards(missing)
