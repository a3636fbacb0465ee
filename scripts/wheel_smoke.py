"""Smoke test of an installed norvane wheel; run by scripts/wheel_smoke.sh from outside the source tree.

Exercises each native module once through the installed package: a linear future priced without
reference data, a small table sampled, and one instrument created and built against the development
reference-data service with a throw-away configuration and cache.
"""

import logging
import pathlib
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
    stamps = pd.to_datetime(["2024-03-01 10:00:05", "2024-03-01 10:00:05", "2024-03-01 10:00:40",
                             "2024-03-01 10:01:00", "2024-03-01 10:01:30", "2024-03-01 10:01:59",
                             "2024-03-01 10:02:10", "2024-03-01 10:02:20", "2024-03-01 10:02:30",
                             "2024-03-01 10:02:50"])
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
    check_installed_layout()
    check_linear_future_prices_a_fill()
    check_sampler_reduces_periods()
    with tempfile.TemporaryDirectory() as scratch:
        check_instrument_builds_against_the_service(pathlib.Path(scratch))
    print("wheel smoke test passed")


if __name__ == "__main__":
    sys.exit(main())
