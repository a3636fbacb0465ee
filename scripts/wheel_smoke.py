"""Smoke test of an installed norvane wheel or sdist; run by scripts/wheel_smoke.sh outside the source tree:
    python -I wheel_smoke.py README.md

Runs the README's Quick start as a user pastes it into the interpreter, in a project directory of its own,
then exercises each native module once through the installed package: a linear future priced without
reference data, a small table sampled, and one instrument created and built against the development
reference-data service with a throw-away configuration and cache.
"""

import logging
import os
import pathlib
import re
import shutil
import socket
import subprocess
import sys
import sysconfig
import tempfile

SITE_PACKAGES = pathlib.Path(sysconfig.get_paths()["purelib"]).resolve()
NATIVE_MODULES = {
    "norvane.kestrum_utils.priceable.futures": "kestrum_utils/priceable/futures.pyi",
    "norvane.kestrum_utils.inibridge.inibridge": "kestrum_utils/inibridge/inibridge.pyi",
    "norvane.kestrum_data.utility.timeseries.samplers": "kestrum_data/utility/timeseries/samplers.pyi",
    "norvane.kestrum_data.utility.timeseries.bars": "kestrum_data/utility/timeseries/bars.pyi",
}


def check_installed_layout():
    import importlib

    import norvane

    package = pathlib.Path(norvane.__file__).resolve().parent
    assert package.parent == SITE_PACKAGES, f"norvane imported from {package}, not from {SITE_PACKAGES}"
    assert (package / "py.typed").is_file(), "py.typed is not installed"
    from importlib.metadata import version

    assert norvane.__version__ == version("norvane"), (norvane.__version__, version("norvane"))
    for name, stub in NATIVE_MODULES.items():
        module = importlib.import_module(name)
        assert pathlib.Path(module.__file__).suffix == ".so", f"{name} is not the native module"
        assert (package / stub).is_file(), f"{stub} is not installed"


def check_no_compiler_is_reachable():
    """Where the caller promised no compiler (NORVANE_SMOKE_NO_COMPILER=1), there is none to be found."""
    if os.environ.get("NORVANE_SMOKE_NO_COMPILER") != "1":
        return
    found = {name: shutil.which(name) for name in ("cc", "c++", "gcc", "g++", "clang", "clang++")}
    assert not any(found.values()), f"a compiler is reachable: {found}"
    assert os.environ.get("CC") == os.environ.get("CXX") == "false", "CC and CXX are not set to false"


# Feeds a block line by line to an interactive console, as a paste into the interpreter does, and stops
# at the first error.
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
for line in sys.stdin.read().splitlines():
    console.push(line)
console.push("")
"""


def check_quick_start(readme, scratch):
    section = re.search(r"^## Quick start\n(.*?)(?=^## )", readme.read_text(encoding="utf-8"), flags=re.M | re.S)
    assert section, "the README has no Quick start section"
    blocks = re.findall(r"^```python\n(.*?)^```$", section.group(1), flags=re.M | re.S)
    assert blocks, "the Quick start has no Python block"
    # A project directory as the README describes it: a norvane.ini with the service address (a free port
    # here) and a relative cache directory.
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    (scratch / "norvane.ini").write_text(
        f"[data_related]\nInstrumentInfoUrl = http://127.0.0.1:{port}/instruments\n"
        "LOCAL_DATA_CACHE_DIR = .cache/instrument_info\n"
    )
    result = subprocess.run(
        [sys.executable, "-I", "-c", CONSOLE],
        input="\n".join(blocks),
        cwd=scratch,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "'USDT'" in result.stdout, result.stdout
    cached = list((scratch / ".cache" / "instrument_info").glob("*.json"))
    assert cached, "the Quick start cached no instrument information"
    print(f"Quick start ran as written ({len(blocks)} block(s), {len(cached)} instrument(s) cached)")


def check_linear_future_prices_a_fill():
    from norvane.kestrum_utils.priceable.futures import CryptoFuture
    from norvane.kestrum_utils.priceable.spots import CryptoPair

    future = CryptoFuture(CryptoPair(quote_ccy="USDT", base_ccy="BTC"), "20261225", "BINANCE")
    assert str(future) == "BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20261225", str(future)
    assert future.calc_cash_change(50_000.0, 2) == 100_000.0
    assert future.calc_unit_commission(50_000, False) == 50_000 * future.UM_TAKER_FEE


def check_sampler_reduces_periods():
    import pandas as pd

    from norvane.kestrum_data.utility.timeseries.samplers import ExistingTimestampSampler

    # Ten ticks over three minutes, one timestamp repeated.
    stamps = pd.to_datetime(
        [
            "2024-03-01 10:00:05",
            "2024-03-01 10:00:05",
            "2024-03-01 10:00:40",
            "2024-03-01 10:01:00",
            "2024-03-01 10:01:30",
            "2024-03-01 10:01:59",
            "2024-03-01 10:02:10",
            "2024-03-01 10:02:20",
            "2024-03-01 10:02:30",
            "2024-03-01 10:02:50",
        ]
    )
    table = pd.DataFrame({"price": range(10)}, index=pd.DatetimeIndex(stamps, name="ts"))
    sampled = ExistingTimestampSampler(func_name="last", window=pd.Timedelta("1min"))(table)
    assert list(sampled["price"]) == [2, 5, 9], sampled
    assert list(sampled.index) == [stamps[2], stamps[5], stamps[9]], sampled.index
    assert "group_by_label" not in table.columns


def check_instrument_builds_against_the_service(scratch):
    from norvane.devtools.refdata_service import RefDataService
    from norvane.kestrum_utils.priceable.futures import CryptoFuture
    from norvane.kestrum_utils.utils import set_project_root

    cache_dir = scratch / "cache"
    with RefDataService(port=0) as service:
        (scratch / "norvane.ini").write_text(
            f"[data_related]\nInstrumentInfoUrl = {service.url}\nLOCAL_DATA_CACHE_DIR = {cache_dir}\n"
        )
        set_project_root(scratch)
        identifier = "BINANCE.BTC-USDT.PERP.LINEAR.USDT.UNSPECIFIED"
        future = CryptoFuture.create(identifier)
        assert CryptoFuture.create(identifier) is future
        assert len(service.requests) == 1, service.requests
    assert type(future).__name__ == "CryptoPerpFuture", type(future)
    assert (future._tick_size, future._contract_multipl, future._qty_unit) == (0.1, 1, 0.001), future._info
    assert len(list(cache_dir.glob("*.json"))) == 1, sorted(cache_dir.iterdir())


def main():
    # The lookup reports failed attempts through the root logger; show them if the build fails.
    logging.basicConfig(level=logging.WARNING)
    check_no_compiler_is_reachable()
    check_installed_layout()
    with tempfile.TemporaryDirectory() as scratch:
        check_quick_start(pathlib.Path(sys.argv[1]), pathlib.Path(scratch))
    check_linear_future_prices_a_fill()
    check_sampler_reduces_periods()
    with tempfile.TemporaryDirectory() as scratch:
        check_instrument_builds_against_the_service(pathlib.Path(scratch))
    print(f"smoke test passed on CPython {sys.version.split()[0]}")


if __name__ == "__main__":
    sys.exit(main())
