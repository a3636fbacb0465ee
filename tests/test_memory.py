"""Every public entry point, called many times on its success and its failure paths, leaves nothing behind.

For each path the check reports the process's resident memory, the objects the collector tracks and (with
the interpreter's own allocator) the allocated memory blocks, before and after the repetitions; a leaked
reference to a container shows as tracked objects, a leaked str or float as blocks, anything else native
as resident memory. The figures are written to the file NORVANE_FIGURES names (the test command sets it
under build/figures/) or to memory_figures.txt in the test's temporary directory, and shown when a
check fails.
"""

import logging
import os
import pathlib
import types

import numpy as np
import pandas as pd
import pytest

from leakcheck import Figures
from norvane.kestrum_data.utility.timeseries.samplers import ExistingTimestampSampler, TimeSampler
from norvane.kestrum_utils.inibridge.inibridge import Inibridge
from norvane.kestrum_utils.priceable import futures
from norvane.kestrum_utils.priceable.enums import SettlementType
from norvane.kestrum_utils.priceable.futures import (
    CryptoFuture,
    CryptoInvFuture,
    CryptoInvPerpFuture,
    CryptoPerpFuture,
    Future,
)
from norvane.kestrum_utils.priceable.spots import CryptoPair

pytestmark = pytest.mark.slow

SANITIZED = bool(os.environ.get("NORVANE_SANITIZED"))
# Cheap calls run 20000 times, calls that read files 2000 times, HTTP requests 1000 times, pandas
# sampling 500 times; about a quarter of that under the sanitizers, which slow everything down.
MANY, FEWER, SLOW, PANDAS = (5_000, 500, 250, 150) if SANITIZED else (20_000, 2_000, 1_000, 500)


@pytest.fixture
def figures(tmp_path, request):
    collected = Figures(calls=MANY, sanitized=SANITIZED)
    collected.done = lambda: collected.report(request.node.name, tmp_path)
    return collected


@pytest.fixture
def quiet_lookup(monkeypatch):
    """The lookup's log lines and printed lines go nowhere, so that no test log grows with the calls."""
    monkeypatch.setattr(futures, "logging", types.SimpleNamespace(error=lambda message: None), raising=False)
    monkeypatch.setattr(futures, "print", lambda *args: None, raising=False)


def test_futures_entry_points(figures, project, quiet_lookup, monkeypatch):
    pair = CryptoPair(quote_ccy="USDT", base_ccy="BTC", exchange="BINANCE")
    coin = CryptoPair(quote_ccy="BTC", base_ccy="BTC", exchange="BINANCE")
    cash = SettlementType.cash
    future = Future("BTC-USDT", pair, "BINANCE", "20261225", cash)
    linear = CryptoFuture(pair, "20261225", "BINANCE")
    inverse = CryptoInvFuture(coin, "20261225", "BINANCE")
    inverse._contract_multipl = 100
    cache = CryptoFuture.inst_cache
    dated_id = "BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20261225"
    perp_id = "BINANCE.BTC-USD.PERP.INVERSE.BTC.UNSPECIFIED"

    def afresh(text):
        cache.clear()
        return CryptoFuture.create(text)

    check = figures.check
    check("Future()", lambda: Future("BTC-USDT", pair, "BINANCE", "20261225", cash))
    check("Future() with a symbol that is not a str", lambda: Future(1, pair, "BINANCE", "x", cash), expected=TypeError)
    check("Future() on an underlying without asset", lambda: Future("s", None, "B", "x", cash), expected=AttributeError)
    check("Future.quote_ccy", lambda: future.quote_ccy)
    check("Future.build", future.build, expected=NotImplementedError)
    check(
        "CryptoFuture() from a pair, extra keywords", lambda: CryptoFuture(pair, "20261225", "B", extra=1, symbol="S")
    )
    check("CryptoFuture() from a pair text", lambda: CryptoFuture("ETH-USDT", "20261225", "BINANCE"))
    check("CryptoFuture() refused pair text", lambda: CryptoFuture("ETHUSDT", "x", "B"), expected=ValueError)
    check("CryptoFuture() expiry not a str", lambda: CryptoFuture(pair, 20261225, "B"), expected=TypeError)
    check("CryptoFuture() surplus positional", lambda: CryptoFuture(pair, "x", "B", "surplus"), expected=TypeError)
    check("get_instrument_id", lambda: CryptoFuture.get_instrument_id("s", "t", "c", "e", 5, "x"))
    check(
        "get_instrument_id with symbol None",
        lambda: CryptoFuture.get_instrument_id(None, "t", "c", "e", "u", "x"),
        expected=TypeError,
    )
    check("settlement_ccy, contract_type", lambda: (linear.settlement_ccy, linear.contract_type))
    check("calculate_unit_margin", lambda: linear.calculate_unit_margin(101.5))
    check("calculate_unit_margin of a huge int", lambda: linear.calculate_unit_margin(10**400), expected=OverflowError)
    check("calc_unit_commission", lambda: (linear.calc_unit_commission(100.0, True), linear.calc_unit_commission(3, 0)))
    check("calc_unit_commission of None", lambda: linear.calc_unit_commission(None, True), expected=TypeError)
    check("calc_cash_change", lambda: linear.calc_cash_change(101.5, -2))
    check("calc_cash_change of a str", lambda: linear.calc_cash_change("1", 2), expected=TypeError)
    check("CryptoInvFuture()", lambda: CryptoInvFuture(coin, "20261225", "BINANCE", symbol="ignored"))
    check("CryptoInvFuture() on a real pair", lambda: CryptoInvFuture(pair, "20261225", "B"), expected=ValueError)
    check(
        "inverse economics",
        lambda: (
            inverse.calculate_unit_margin(500),
            inverse.calc_unit_commission(500.0),
            inverse.calc_cash_change(500, 3),
        ),
    )
    check("inverse margin at price zero", lambda: inverse.calculate_unit_margin(0), expected=ZeroDivisionError)
    check(
        "inverse settlement_ccy, get_instrument_id",
        lambda: (inverse.settlement_ccy, CryptoInvFuture.get_instrument_id("s", "t", "c", "e", "u", "x")),
    )
    check("CryptoInvPerpFuture()", lambda: CryptoInvPerpFuture("ETH-ETH", "OKX"))
    check(
        "CryptoInvPerpFuture() with a keyword", lambda: CryptoInvPerpFuture(coin, "OKX", symbol="x"), expected=TypeError
    )
    check(
        "is_underl_supported",
        lambda: (CryptoPerpFuture.is_underl_supported("BTC-USDT"), CryptoPerpFuture.is_underl_supported(pair)),
    )
    check(
        "is_underl_supported refused",
        lambda: (CryptoPerpFuture.is_underl_supported("BTCUSDT"), CryptoPerpFuture.is_underl_supported(5)),
    )
    check("create_by_underl refused", lambda: CryptoPerpFuture.create_by_underl("BTCUSDT"), expected=ValueError)
    check(
        "get_instrument_id of the perpetual classes",
        lambda: (
            CryptoPerpFuture.get_instrument_id("s", "t", "c", "e", "u", "x"),
            CryptoInvPerpFuture.get_instrument_id("s", "t", "c", "e", "u", "x"),
        ),
    )

    # Reference data: the first call fills the file cache, the repetitions read it.
    check(
        "get_instrument_info from the file cache",
        lambda: CryptoFuture.get_instrument_info("BTC-USDT", "BINANCE", "FUTURE", "LINEAR", "20261225"),
        calls=FEWER,
    )
    check("get_instrument_info with an int", lambda: CryptoFuture.get_instrument_info(1), expected=TypeError)
    check("build() from the file cache", linear.build, calls=FEWER)
    check("CryptoPerpFuture(), built from the file cache", lambda: CryptoPerpFuture("BTC-USDT", "BINANCE"), calls=FEWER)
    check("create_by_underl", lambda: CryptoPerpFuture.create_by_underl(pair), calls=FEWER)
    cache.clear()
    check("create, cache hit", lambda: CryptoFuture.create(dated_id, extra=1))
    check("create, miss built from the file cache", lambda: afresh(perp_id), calls=FEWER)
    check("create of a misspelt identifier", lambda: afresh(perp_id[:-1]), calls=FEWER, expected=AssertionError)
    check("create of seven fields", lambda: CryptoFuture.create(dated_id + ".X"), expected=ValueError)
    check(
        "create of an unknown security type",
        lambda: CryptoFuture.create("B.A-B.SPOT.LINEAR.B.D"),
        expected=NotImplementedError,
    )

    # Over HTTP, one attempt per call; the service's own request log is emptied as it goes.
    service = project.service
    monkeypatch.setattr(CryptoFuture, "RETRY_TIMES", 1)

    def requested(*query, **options):
        try:
            return CryptoFuture.get_instrument_info(*query, **options)
        finally:
            service.clear_requests()

    check("get_instrument_info over HTTP, cache off", lambda: requested("ETH-USD", "OKX", cache=False), calls=SLOW)
    check(
        "get_instrument_info over HTTP, expiry not listed",
        lambda: requested("ETH-USD", "OKX", "FUTURE", "INVERSE", "20990101", cache=False),
        calls=SLOW,
    )
    service.set_fault("status", code=500)
    check("get_instrument_info, answered 500", lambda: requested("SOL-USDT", "OKX", cache=False), calls=SLOW)
    service.set_fault("status", code=204)
    check("get_instrument_info, answered 204", lambda: requested("SOL-USDT", "OKX", cache=False), calls=SLOW)
    service.set_fault("malformed")
    check("get_instrument_info, malformed JSON", lambda: requested("SOL-USDT", "OKX", cache=False), calls=SLOW)
    service.clear_fault()
    monkeypatch.setattr(CryptoFuture, "RETRY_TIMES", 0)
    check(
        "create of an instrument without reference data",
        lambda: afresh("OKX.SOL-USD.FUTURE.INVERSE.SOL.1"),
        calls=FEWER,
        expected=IndexError,
    )
    cache.clear()
    figures.done()


def test_configuration_loader_entry_points(figures, project, tmp_path):
    overlay = tmp_path / "overlay.ini"
    overlay.write_text("[more]\nkey = value\n")
    malformed = tmp_path / "malformed.ini"
    malformed.write_text("[a]\nx = 1\nx = 2\n")
    missing = pathlib.Path(tmp_path / "missing.ini")
    loader = Inibridge()
    fresh = Inibridge.__wrapped__
    check = figures.check
    check("Inibridge() kept loader", Inibridge)
    check("a fresh loader reading norvane.ini", fresh, calls=FEWER)
    check("config", lambda: loader.config["data_related"]["InstrumentInfoUrl"])
    check("set_config_file", lambda: loader.set_config_file(overlay), calls=FEWER)
    check("set_config_file of a missing file", lambda: loader.set_config_file(missing), expected=Exception)
    check(
        "set_config_file of a malformed file",
        lambda: loader.set_config_file(malformed),
        calls=FEWER,
        expected=Exception,
    )
    check("set_config_file of a plain str", lambda: loader.set_config_file(str(overlay)), expected=AttributeError)
    figures.done()


def test_sampler_entry_points(figures, monkeypatch):
    stamps = np.datetime64("2024-01-01T10:00:00", "ns") + np.arange(200) * np.timedelta64(7, "s")

    def table():
        # A new index each time: pandas keeps weak references to the views of an index's data and prunes
        # them only now and then, which would read as growth.
        return pd.DataFrame({"price": np.arange(200.0)}, index=pd.DatetimeIndex(stamps, name="ts"))

    by_minute = ExistingTimestampSampler(func_name="last", window=pd.Timedelta("1min"))
    by_week = ExistingTimestampSampler(func_name="first", window="1W")
    by_nanosecond = ExistingTimestampSampler(func_name="last", window="1ns")
    # The sampler's INFO line is dropped at the root logger's level, so no handler keeps it.
    monkeypatch.setattr(logging.getLogger(), "level", logging.WARNING)
    logging.getLogger().manager._clear_cache()
    check = figures.check
    check("TimeSampler(), repr", lambda: repr(TimeSampler(pd.Timedelta("1min"))))
    check("TimeSampler called", lambda: TimeSampler(None)(None), expected=NotImplementedError)
    check("ExistingTimestampSampler(), repr", lambda: repr(ExistingTimestampSampler(func_name="first", window="1s")))
    check(
        "ExistingTimestampSampler() without func_name", lambda: ExistingTimestampSampler(window="1s"), expected=KeyError
    )
    check("sample, native labels", lambda: by_minute(table()), calls=PANDAS)
    check("sample, pandas labels (calendar window)", lambda: by_week(table()), calls=PANDAS)
    check(
        "sample of an unsorted index (refused)",
        lambda: by_nanosecond(table().iloc[::-1]),
        calls=PANDAS,
        expected=ValueError,
    )
    check("sample, time-zone-aware index, 1 ns window", lambda: by_nanosecond(table().tz_localize("UTC")), calls=PANDAS)
    check(
        "sample with a misspelt method",
        lambda: ExistingTimestampSampler(func_name="frist", window="1min")(table()),
        calls=PANDAS,
        expected=RuntimeError,
    )
    check(
        "sample with a method name that is not a str",
        lambda: ExistingTimestampSampler(func_name=None, window="1min")(table()),
        calls=PANDAS,
        expected=TypeError,
    )
    check("sample of an empty table", lambda: by_minute(table().iloc[:0]), calls=PANDAS, expected=IndexError)
    check(
        "sample with a window pandas refuses",
        lambda: ExistingTimestampSampler(func_name="first", window="fortnight")(table()),
        calls=PANDAS,
        expected=ValueError,
    )
    figures.done()
