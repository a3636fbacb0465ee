"""The README's Python examples run as they stand, pasted into an interpreter one block after another; its
table of sampler methods and its picture of a window are what the installed pandas does; the main job
runs to the end."""

import importlib.util
import os
import pathlib
import re
import socket
import subprocess
import sys

import pytest

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
    env = {
        **os.environ,
        "PYTHONPATH": os.pathsep.join(filter(None, [str(PACKAGE_PARENT), os.environ.get("PYTHONPATH")])),
    }
    result = subprocess.run(
        [sys.executable, "-c", CONSOLE],
        input="\0".join(blocks),
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "'USDT'" in result.stdout, result.stdout
    assert len(list((tmp_path / ".cache" / "instrument_info").glob("*.json"))) == 2


def test_the_main_job_runs_to_the_end_on_the_installed_pandas(tmp_path):
    """scripts/main.sh's showcase, on whichever pandas this run has (the test command runs 1.5 and the
    newest): every reduction either runs or says in one line that this pandas cannot do it."""
    import importlib.util

    from norvane.devtools.sampler_methods import probe
    from norvane.devtools.showcase import REDUCTIONS

    (tmp_path / "norvane.ini").write_text(
        f"[data_related]\nInstrumentInfoUrl = http://127.0.0.1:{free_port()}/instruments\n"
        "LOCAL_DATA_CACHE_DIR = .cache/instrument_info\n"
    )
    env = {**os.environ, "PYTHONPATH": str(PACKAGE_PARENT), "MPLBACKEND": "Agg"}
    plot = tmp_path / "out" / "showcase.png"
    result = subprocess.run(
        [sys.executable, "-m", "norvane.devtools.showcase", "--rows", "20000", "--plot", str(plot)],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "reference data: 4 request(s) to the service" in result.stdout
    lines = result.stdout.splitlines()
    for name in REDUCTIONS:
        [line] = [line for line in lines if line.startswith(f"{name!r} of each minute: ")]
        assert ("rows in" in line) == probe(name).works, line
    has_bars = importlib.util.find_spec("norvane.kestrum_data.utility.timeseries.bars") is not None
    assert any(line.startswith("5-minute bars: ") for line in lines) == has_bars, result.stdout
    assert plot.is_file() == (importlib.util.find_spec("matplotlib") is not None), result.stdout


def test_the_table_of_sampler_methods_is_what_the_installed_pandas_does():
    from norvane.devtools import sampler_methods

    headings, rows = sampler_methods.read_table(README.read_text(encoding="utf-8"))
    heading = sampler_methods.pandas_column()
    if heading not in headings:
        pytest.skip(f"the README's table has no column for {heading}")
    in_readme = {method: rows.get(method, {}).get(heading) for method in sampler_methods.METHODS}
    assert in_readme == sampler_methods.column(), (
        f"the README's column '{heading}' is not what this pandas does; "
        "python -m norvane.devtools.sampler_methods --update README.md rewrites it"
    )


def test_the_pictured_window_is_sampled_as_drawn():
    import pandas as pd

    from norvane.devtools.sampler_methods import probe
    from norvane.kestrum_data.utility.timeseries.samplers import ExistingTimestampSampler

    [picture] = re.findall(r"^```text\n(window .*?)^```$", README.read_text(encoding="utf-8"), flags=re.M | re.S)
    day = "2026-12-07 "
    trades = re.findall(r"^ +(\d\d:\d\d:\d\d) +price (\S+)", picture, flags=re.M)
    table = pd.DataFrame(
        {"price": [float(price) for _, price in trades]},
        index=pd.DatetimeIndex([pd.Timestamp(day + time) for time, _ in trades], name="timestamp"),
    )
    drawn = re.findall(r"'(\w+)' +-> (\S+) +price (\S+)", picture)
    assert len(trades) >= 3 and len(drawn) >= 5
    for method, time, price in drawn:
        if not probe(method).works:
            continue  # the table says which pandas cannot
        row = ExistingTimestampSampler(func_name=method, window=pd.Timedelta(minutes=1))(table)
        assert list(row.index) == [pd.Timestamp(day + time)] and list(row["price"]) == [float(price)], method
