"""Future: construction, quote currency and the build step."""

import pytest

from norvane.kestrum_utils.priceable import futures
from norvane.kestrum_utils.priceable.enums import SettlementType
from norvane.kestrum_utils.priceable.futures import Future
from norvane.kestrum_utils.priceable.spots import CryptoPair


def pair(**kwargs):
    return CryptoPair(quote_ccy="USDT", base_ccy="BTC", exchange="BINANCE", **kwargs)


def test_constructor_records_identity_and_passes_the_rest_to_instrument():
    underl = pair()
    future = Future("BTC-USDT", underl, "BINANCE", 20261225, SettlementType.physical)
    assert future._underl is underl and future._expiry_date == 20261225
    assert future._settlement_type is SettlementType.physical
    assert (future._symbol, future._asset, future._exchange, future._ccy, future._instrument_type) == (
        "BTC-USDT",
        "BTC",
        "BINANCE",
        "USDT",
        "FUTURE",
    )
    assert future._is_built is False
    assert Future.SettlementType is SettlementType is futures.SettlementType


def test_instrument_type_is_read_through_the_module_level_name(monkeypatch):
    class Marked(futures.Instrument):
        INSTRUMENT_TYPE = type("Types", (), {"FUTURE": "MARKED"})

    monkeypatch.setattr(futures, "Instrument", Marked)
    assert Future("S", pair(), "E", "D", SettlementType.cash)._instrument_type == "MARKED"


def test_underlying_without_asset_fails_on_a_half_made_object():
    future = object.__new__(Future)
    with pytest.raises(AttributeError):
        Future.__init__(future, "S", object(), "E", "D", SettlementType.cash)
    assert set(vars(future)) == {"_underl", "_expiry_date", "_settlement_type"}


def test_quote_ccy_is_read_afresh():
    underl = pair()
    future = Future("S", underl, "E", "D", SettlementType.cash)
    assert future.quote_ccy == "USDT"
    future._underl = CryptoPair(quote_ccy="USDC", base_ccy="BTC")
    assert future.quote_ccy == "USDC"


def test_a_bare_future_cannot_be_built():
    future = Future("S", pair(), "E", "D", SettlementType.cash)
    for _ in range(2):
        with pytest.raises(NotImplementedError, match="^only crypto futures are supported$"):
            future.build()
    assert future._is_built is False


class Hooked(Future):
    def __init__(self, underl, build_underl):
        super().__init__("S", underl, "E", "D", SettlementType.cash)
        self.build_underl = build_underl
        self.hook_runs = 0

    def _build(self):
        self.hook_runs += 1
        if self.build_underl:
            self._underl.build()


def test_build_runs_the_hook_each_time_and_checks_the_underlying():
    future = Hooked(pair(), build_underl=True)
    assert future.build() is None and future.build() is None
    assert future.hook_runs == 2 and future._is_built


def test_an_unbuilt_underlying_fails_the_build_with_its_text():
    underl = pair()
    future = Hooked(underl, build_underl=False)
    with pytest.raises(RuntimeError) as error:
        future.build()
    assert str(error.value) == f"underl:{format(underl, '')} must be built "

    future._underl = object()
    with pytest.raises(AttributeError):
        future.build()
