"""Module start-up: one module object per process, refused re-initialisation and interpreter change."""

import subprocess
import sys
import textwrap

import pytest

MODULES = [
    ("norvane.kestrum_utils.inibridge.inibridge", "inibridge"),
    ("norvane.kestrum_utils.priceable.futures", "futures"),
    ("norvane.kestrum_data.utility.timeseries.bars", "bars"),
]


def run_python(source):
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(source)], capture_output=True, text=True, timeout=120, cwd=_import_root()
    )
    assert result.returncode == 0, result.stderr
    return result.stdout.strip().splitlines()


def _import_root():
    import norvane

    return str(__import__("pathlib").Path(norvane.__file__).resolve().parent.parent)


@pytest.mark.parametrize("dotted, short", MODULES)
def test_reimport_gives_back_the_same_working_module(dotted, short):
    lines = run_python(f"""
        import importlib, sys
        first = importlib.import_module("{dotted}")
        names = list(vars(first))
        for _ in range(3):
            del sys.modules["{dotted}"]
            again = importlib.import_module("{dotted}")
            assert again is first and list(vars(again)) == names
        print("same")
    """)
    assert lines == ["same"]


@pytest.mark.parametrize("dotted, short", MODULES)
def test_initialising_another_module_object_is_refused(dotted, short):
    lines = run_python(f"""
        import ctypes, importlib, types
        module = importlib.import_module("{dotted}")
        library = ctypes.PyDLL(module.__file__)
        entry = library.PyInit_{short}
        entry.restype = ctypes.c_void_p
        definition = entry()
        exec_def = ctypes.pythonapi.PyModule_ExecDef
        exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
        try:
            exec_def(types.ModuleType("{dotted}"), definition)
        except RuntimeError as error:
            print(error)
    """)
    assert lines == [f"Module '{short}' has already been imported. Re-initialisation is not supported."]


# Sub-interpreters as each version's private module makes them: "legacy" shares the main interpreter's GIL
# and does not check extension modules; "isolated" (3.12 on) has its own GIL and lets CPython refuse a
# module that declares it does not support sub-interpreters, which ours do.
INTERPRETER_KINDS = ["legacy"] + (["isolated"] if sys.version_info >= (3, 12) else [])


@pytest.mark.parametrize("kind", INTERPRETER_KINDS)
@pytest.mark.parametrize("dotted, short", MODULES)
def test_a_second_interpreter_is_refused(dotted, short, kind):
    lines = run_python(f"""
        import sys
        if sys.version_info >= (3, 13):
            import _interpreters as interpreters
            interpreter = interpreters.create("{kind}")
        elif sys.version_info >= (3, 12):
            import _xxsubinterpreters as interpreters
            interpreter = interpreters.create(isolated={kind == "isolated"})
        else:
            import _xxsubinterpreters as interpreters
            interpreter = interpreters.create()
        import {dotted}
        # What the user of the sub-interpreter sees: the ImportError's own type and text.
        interpreters.run_string(interpreter, "import sys; sys.path[:] = %r\\n"
                                "try:\\n    import {dotted}\\n"
                                "except ImportError as error:\\n    print(type(error).__name__, error, flush=True)"
                                % (sys.path,))
        interpreters.destroy(interpreter)
    """)
    assert lines == [
        "ImportError Interpreter change detected - this module can only be loaded into one interpreter per process."
    ]


def test_futures_namespace_is_bound_in_order():
    from norvane.kestrum_utils.priceable import futures

    names = [name for name in vars(futures) if not name.startswith("__")]
    expected = [
        "hashlib",
        "json",
        "logging",
        "os",
        "urllib",
        "Dict",
        "Union",
        "Inibridge",
        "CONTRACT_TYPE",
        "INSTRUMENT_TYPE",
        "SettlementType",
        "Instrument",
        "CryptoPair",
        "Future",
        "CryptoFuture",
        "CryptoInvFuture",
        "CryptoPerpFuture",
        "CryptoInvPerpFuture",
    ]
    assert names == expected[: len(names)] and len(names) >= expected.index("CryptoFuture") + 1
    import urllib.request

    assert futures.urllib is urllib and futures.urllib.request is urllib.request


def test_inibridge_namespace_is_bound_in_order():
    from norvane.kestrum_utils import utils
    from norvane.kestrum_utils.inibridge import inibridge

    assert [name for name in vars(inibridge) if not name.startswith("__")] == [
        "configparser",
        "Path",
        "get_project_root",
        "singleton",
        "Inibridge",
    ]
    assert inibridge.singleton is utils.singleton and inibridge.Inibridge.__wrapped__.__qualname__ == "Inibridge"


def test_version_comes_from_the_metadata_or_the_checkout_imported_in_place(tmp_path):
    import importlib.metadata
    import shutil

    import norvane

    # As this test imports it: an installed package reports its distribution's version.
    package = __import__("pathlib").Path(norvane.__file__).resolve().parent
    if not (package.parent / "pyproject.toml").is_file():
        assert norvane.__version__ == importlib.metadata.version("norvane")
    # A checkout imported in place reports its own pyproject.toml's version, not the installed one.
    (tmp_path / "norvane").mkdir()
    shutil.copy(package / "__init__.py", tmp_path / "norvane")
    (tmp_path / "pyproject.toml").write_text('[project]\nname = "norvane"\nversion = "7.7.7.dev1"\n')
    script = "import norvane; print(norvane.__version__, norvane.__file__)"
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split()[0] == "7.7.7.dev1" and result.stdout.split()[1].startswith(str(tmp_path))
