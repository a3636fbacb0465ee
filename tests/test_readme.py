"""The README's Python examples run as they stand, pasted into an interpreter one block after another."""

import importlib.util
import os
import pathlib
import re
import socket
import subprocess
import sys

import norvane

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
# Children import the package this test imported (installed or in the source tree).
PACKAGE_PARENT = pathlib.Path(norvane.__file__).resolve().parent.parent

# Feeds the blocks line by line to an interactive console, as a paste into the interpreter does, and
# stops at the first error.
CONSOLE = r"""
import code, sys

class Console(code.InteractiveConsole):
    def showtraceback(self):
        super().showtraceback()
        sys.exit(1)

    def showsyntaxerror(self, filename=None, **kwargs):
        super().showsyntaxerror(filename)
        sys.exit(1)

console = Console()
for block in sys.stdin.read().split("\0"):
    for line in block.splitlines():
        console.push(line)
    console.push("")
"""


def python_blocks(text):
    blocks = re.findall(r"^```python\n(.*?)^```$", text, flags=re.M | re.S)
    # The examples of the extra "dask" run where it is installed (the newest-pandas environment).
    if importlib.util.find_spec("dask") is None:
        blocks = [block for block in blocks if "import dask" not in block]
    return blocks


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def test_readme_examples_run_as_written(tmp_path):
    blocks = python_blocks(README.read_text(encoding="utf-8"))
    assert len(blocks) >= 2, "the README lost its Python examples"
    # A project of its own, laid out as the checkout is (norvane.ini with a relative cache directory),
    # whose service address is a free port rather than the checkout's fixed one.
    (tmp_path / "norvane.ini").write_text(
        f"[data_related]\nInstrumentInfoUrl = http://127.0.0.1:{free_port()}/instruments\n"
        "LOCAL_DATA_CACHE_DIR = .cache/instrument_info\n"
    )
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [str(PACKAGE_PARENT),
                                                                      os.environ.get("PYTHONPATH")]))}
    result = subprocess.run([sys.executable, "-c", CONSOLE], input="\0".join(blocks), cwd=tmp_path, env=env,
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "'USDT'" in result.stdout, result.stdout
    assert len(list((tmp_path / ".cache" / "instrument_info").glob("*.json"))) == 2
