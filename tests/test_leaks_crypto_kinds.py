"""Reference-leak checks of the inverse and perpetual futures and of the factory, on success and failure."""

import fractions
import os

from leakcheck import assert_no_leak
from norvane.kestrum_utils.priceable.futures import CryptoFuture, CryptoInvFuture, CryptoInvPerpFuture, CryptoPerpFuture
from norvane.kestrum_utils.priceable.spots import CryptoPair


def test_inverse_construction_and_economics():
    coin = CryptoPair(quote_ccy="BTC", base_ccy="BTC", exchange="DERIBIT")
    pair = CryptoPair(quote_ccy="USDT", base_ccy="BTC")
    expiry = "20261225"
    assert_no_leak(lambda: CryptoInvFuture(coin, expiry, "DERIBIT", extra=1), coin, expiry)
    assert_no_leak(lambda: CryptoInvFuture(pair, expiry, "DERIBIT"), pair, expected=ValueError)
    assert_no_leak(lambda: CryptoInvPerpFuture("ETH-ETH", "OKX"))
    assert_no_leak(lambda: CryptoInvPerpFuture(coin, "OKX", symbol="x"), coin, expected=TypeError)

    for multiplier in (100, 100.0, fractions.Fraction(100)):
        future = CryptoInvFuture(coin, expiry, "DERIBIT")
        future._contract_multipl = multiplier
        assert_no_leak(lambda: future.calculate_unit_margin(500), future, multiplier)
        assert_no_leak(lambda: future.calc_unit_commission(500, False), future, multiplier)
        assert_no_leak(lambda: future.calc_cash_change(500, 2), future, multiplier)
        assert_no_leak(lambda: future.calc_cash_change(0, 2), future, multiplier, expected=ZeroDivisionError)


def test_perpetual_checks():
    assert_no_leak(lambda: CryptoPerpFuture.is_underl_supported("BTCUSDT"))
    assert_no_leak(lambda: CryptoPerpFuture.is_underl_supported("BTC-USDT"))
    assert_no_leak(lambda: CryptoPerpFuture.create_by_underl(5), expected=ValueError)
    assert_no_leak(lambda: CryptoPerpFuture.get_instrument_id("s", "t", "c", "e", "u", "x"))


def test_factory_paths():
    cache = CryptoFuture.inst_cache
    text, held = "X.A-B.FUTURE.LINEAR.B.D", object()
    cache[text] = held
    try:
        assert_no_leak(lambda: CryptoFuture.create(text, extra=1), text, held)
        assert_no_leak(lambda: CryptoFuture.create("X.A-B.SPOT.LINEAR.B.D"), expected=NotImplementedError)
        assert_no_leak(lambda: CryptoFuture.create("X.A-B-C.PERP.LINEAR.B.D"), expected=ValueError)
        assert_no_leak(lambda: CryptoFuture.create("X.A.B"), expected=ValueError)
        assert_no_leak(lambda: CryptoFuture.create("X.A-B.PERP..B.D"), expected=ValueError)
    finally:
        del cache[text]


def test_factory_misses_against_the_service(project):
    cache = CryptoFuture.inst_cache
    good, misspelt = "BINANCE.BTC-USD.PERP.INVERSE.BTC.UNSPECIFIED", "BINANCE.BTC-USD.PERP.INVERSE.BTC.X"

    def afresh(text):
        cache.clear()
        return CryptoFuture.create(text)

    # After the first call the reference record comes from the file cache, so these stay local. Under the
    # preloaded sanitizer runtime every file opened retains some memory (plain Python too), so only the
    # reference counts are strict there.
    budget = 4096 if os.environ.get("NORVANE_SANITIZED") else 64
    assert_no_leak(lambda: afresh(good), good, calls=400, bytes_per_call=budget)
    assert_no_leak(lambda: afresh(misspelt), misspelt, calls=400, bytes_per_call=budget, expected=AssertionError)
