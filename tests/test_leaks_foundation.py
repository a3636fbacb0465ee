"""Reference-leak checks of the configuration loader, Future and the binding layer, on success and failure."""

import pathlib

import pytest

from leakcheck import assert_no_leak
from norvane.kestrum_utils import utils
from norvane.kestrum_utils.inibridge.inibridge import Inibridge
from norvane.kestrum_utils.priceable.futures import CryptoFuture, Future
from norvane.kestrum_utils.priceable.spots import CryptoPair


@pytest.fixture
def loader(tmp_path):
    (tmp_path / "norvane.ini").write_text("[data_related]\nInstrumentInfoUrl = x\nLOCAL_DATA_CACHE_DIR = y\n")
    utils.set_project_root(tmp_path)
    Inibridge.reset()
    yield Inibridge()
    utils.set_project_root(None)
    Inibridge.reset()


def test_inibridge_entry_points(loader, tmp_path):
    overlay = tmp_path / "overlay.ini"
    overlay.write_text("[more]\nk = v\n")
    missing = pathlib.Path(tmp_path / "missing.ini")
    assert_no_leak(lambda: loader.config, loader)
    assert_no_leak(lambda: loader.set_config_file(overlay), loader, overlay)
    assert_no_leak(lambda: loader.set_config_file(missing), loader, missing, expected=Exception)
    assert_no_leak(lambda: loader.set_config_file(), loader, expected=TypeError)


def test_future_entry_points():
    underl = CryptoPair(quote_ccy="USDT", base_ccy="BTC", exchange="BINANCE")
    symbol, exchange, expiry = "BTC-USDT", "BINANCE", "20261225"
    cash = Future.SettlementType.cash
    future = Future(symbol, underl, exchange, expiry, cash)
    watched = (underl, symbol, exchange, expiry, cash)
    assert_no_leak(lambda: Future(symbol, underl, exchange, expiry, cash), *watched)
    assert_no_leak(lambda: Future(1, underl, exchange, expiry, cash), *watched, expected=TypeError)
    assert_no_leak(lambda: Future(symbol, None, exchange, expiry, cash), *watched, expected=AttributeError)
    assert_no_leak(lambda: future.quote_ccy, future, underl)
    assert_no_leak(future.build, future, underl, expected=NotImplementedError)


def test_binding_failures_and_keyword_catch_all():
    underl = CryptoPair(quote_ccy="USDT", base_ccy="BTC", exchange="BINANCE")
    extra = object()
    expiry = "20261225"
    assert_no_leak(
        lambda: CryptoFuture(underl, expiry, "BINANCE", extra=extra, contract_type="LINEAR"), underl, extra, expiry
    )
    assert_no_leak(lambda: CryptoFuture(underl, expiry, "BINANCE", "surplus"), underl, expiry, expected=TypeError)
    assert_no_leak(lambda: CryptoFuture(underl, expiry, underl=underl), underl, expiry, expected=TypeError)
    assert_no_leak(lambda: CryptoFuture(expiry_date=expiry), expiry, expected=TypeError)
    assert_no_leak(lambda: CryptoFuture.get_instrument_id("s", "t", "c", expiry, 5, "e"), expiry)
    assert_no_leak(lambda: CryptoFuture.get_instrument_id(None, "t", "c", expiry, 5, "e"), expiry, expected=TypeError)
