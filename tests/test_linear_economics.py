"""Linear contract economics: unit margin, commission of a fill and cash change, on unbuilt instruments."""

import decimal
import fractions
import math
import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st

from leakcheck import assert_no_leak
from norvane.kestrum_utils.priceable.futures import CryptoFuture
from norvane.kestrum_utils.priceable.spots import CryptoPair
from twins import IMPLEMENTATIONS, judging, python_twins


@pytest.fixture(scope="module", autouse=True, params=IMPLEMENTATIONS)
def implementation(request):
    """Every assertion here judges the native class and its plain-Python twin alike."""
    with judging(globals(), "CryptoFuture", python_twins.PyCryptoFuture, request.param) as cls:
        yield cls


def linear(cls=None):
    cls = cls or CryptoFuture
    future = cls.__new__(cls)
    CryptoFuture.__init__(future, CryptoPair(quote_ccy="USDT", base_ccy="BTC"), "20261225", "BINANCE")
    return future


def same_bits(a, b):
    return type(a) is type(b) is float and struct.pack("<d", a) == struct.pack("<d", b)


class Convertible:
    def __float__(self):
        return 2.5


class TestMargin:
    @pytest.mark.parametrize(
        "price, margin", [(100, 100.0), (0, 0.0), (True, 1.0), (-3.5, -3.5), (Convertible(), 2.5), (math.inf, math.inf)]
    )
    def test_margin_is_the_price_as_a_float(self, price, margin):
        result = linear().calculate_unit_margin(price)
        assert type(result) is float and result == margin

    @pytest.mark.parametrize("price", ["100", None, object(), b"1"])
    def test_a_price_without_float_conversion_fails_before_any_work(self, price):
        with pytest.raises(TypeError):
            linear().calculate_unit_margin(price)


class TestCommission:
    @pytest.mark.parametrize("is_maker", [True, 1, -2.0, "no", [0]])
    def test_truthy_is_maker_is_a_maker_fill(self, is_maker):
        assert linear().calc_unit_commission(20_000.0, is_maker) == 20_000.0 * CryptoFuture.UM_MAKER_FEE

    @pytest.mark.parametrize("is_maker", [False, None, 0, "", []])
    def test_falsy_is_maker_is_a_taker_fill(self, is_maker):
        assert linear().calc_unit_commission(20_000.0, is_maker=is_maker) == 20_000.0 * CryptoFuture.UM_TAKER_FEE

    def test_only_the_chosen_fee_is_read_from_the_instance(self):
        class OneSided(CryptoFuture):
            @property
            def UM_TAKER_FEE(self):
                raise AssertionError("the taker fee is not read for a maker fill")

        future = linear(OneSided)
        future.UM_MAKER_FEE = -0.0001  # a rebate on the instance itself
        assert future.calc_unit_commission(10_000, True) == pytest.approx(-1.0)
        del OneSided.UM_TAKER_FEE
        assert linear(OneSided).calc_unit_commission(10_000, 0) == 10_000 * CryptoFuture.UM_TAKER_FEE

    @pytest.mark.parametrize(
        "fee, expected",
        [
            (2, 200.0),
            (True, 100.0),
            (fractions.Fraction(1, 4), 25.0),
            (float("nan"), math.nan),
        ],
    )
    def test_fees_of_other_number_types_multiply_as_the_interpreter_does(self, fee, expected):
        future = linear()
        future.UM_MAKER_FEE = fee
        result = future.calc_unit_commission(100, True)
        assert type(result) is float and (result == expected or math.isnan(expected) and math.isnan(result))

    def test_the_price_is_the_left_operand_as_a_float(self):
        seen = []

        class Fee:
            def __rmul__(self, other):
                seen.append(other)
                return "product"

        future = linear()
        future.UM_TAKER_FEE = Fee()
        assert future.calc_unit_commission(7, False) == "product" and seen == [7.0] and type(seen[0]) is float

    def test_failures_come_from_the_fee_and_the_truth_value(self):
        future = linear()
        future.UM_MAKER_FEE = decimal.Decimal("0.001")
        with pytest.raises(TypeError, match="unsupported operand type"):
            future.calc_unit_commission(1.0, True)

        class NoTruth:
            def __bool__(self):
                raise ZeroDivisionError

        with pytest.raises(ZeroDivisionError):
            future.calc_unit_commission(1.0, NoTruth())
        with pytest.raises(TypeError):
            future.calc_unit_commission("1.0", NoTruth())  # the price converts before the truth test
        feeless = object.__new__(type("Feeless", (CryptoFuture,), {"UM_MAKER_FEE": property(lambda s: s.nope)}))
        with pytest.raises(AttributeError, match="nope"):
            feeless.calc_unit_commission(1.0, True)


finite = st.floats(allow_nan=False, allow_infinity=True, width=64)


class TestBitIdentity:
    @given(price=finite, fee=finite)
    def test_commission_is_the_interpreters_product(self, price, fee):
        future = linear()
        future.UM_TAKER_FEE = fee
        expected = price * fee
        result = future.calc_unit_commission(price, False)
        assert same_bits(result, expected) or (math.isnan(result) and math.isnan(expected))

    @given(trade_price=finite, qty=finite)
    def test_cash_change_is_the_signed_product(self, trade_price, qty):
        result = linear().calc_cash_change(trade_price, qty)
        expected = trade_price * qty
        assert same_bits(result, expected) or (math.isnan(result) and math.isnan(expected))

    def test_cash_change_converts_both_arguments(self):
        assert linear().calc_cash_change(trade_price=3, qty=-2) == -6.0
        with pytest.raises(TypeError):
            linear().calc_cash_change(1.0, None)


def test_economics_keep_no_references():
    future = linear()
    price = 31_000.5
    assert_no_leak(lambda: future.calc_unit_commission(price, True), future, price)
    assert_no_leak(lambda: future.calc_cash_change(price, 2), future, price)
    assert_no_leak(lambda: future.calculate_unit_margin(price), future, price)
    assert_no_leak(lambda: future.calc_unit_commission("x", True), future, expected=TypeError)
    future.UM_MAKER_FEE = fractions.Fraction(1, 3)
    assert_no_leak(lambda: future.calc_unit_commission(price, True), future, price)
