"""CryptoInvFuture: single-coin construction, its identity, and the inverse economics."""

import decimal
import fractions
import inspect
import math

import pytest
from hypothesis import given
from hypothesis import strategies as st

from norvane.kestrum_utils.priceable import futures
from norvane.kestrum_utils.priceable.enums import SettlementType
from norvane.kestrum_utils.priceable.futures import CryptoFuture, CryptoInvFuture, CryptoInvPerpFuture
from norvane.kestrum_utils.priceable.spots import CryptoPair
from twins import IMPLEMENTATIONS, judging, python_twins

GUARD_MESSAGE = "the underlying must be a crypto currency not a pair. set the base_currency to quote currency"


def coin(ccy="ETH", exchange="DERIBIT"):
    return CryptoPair(quote_ccy=ccy, base_ccy=ccy, exchange=exchange)


def built(multiplier=100, cls=None):
    """An inverse future holding a contract multiplier as a build would leave it."""
    future = (cls or CryptoInvFuture)(coin("BTC"), "20261225", "DERIBIT")
    future._contract_multipl = multiplier
    return future


class TestConstruction:
    def test_a_single_coin_future_settles_physically_in_the_coin(self):
        future = CryptoInvFuture(coin(), "20261225", "DERIBIT", symbol="IGNORED", contract_type="LINEAR")
        assert (future._symbol, future._ccy, future._contract_type, future._settlement_type) == (
            "ETH-USD",
            "ETH",
            "INVERSE",
            SettlementType.physical,
        )
        assert future.settlement_ccy == "ETH" and future.contract_type == "INVERSE"
        assert str(future) == "DERIBIT.ETH-USD.FUTURE.INVERSE.ETH.20261225"
        assert future._is_built is False

    def test_a_real_pair_is_refused_before_anything_is_stored(self):
        future = object.__new__(CryptoInvFuture)
        with pytest.raises(ValueError) as error:
            # The guard runs before the base constructor would refuse the int expiry date.
            CryptoInvFuture.__init__(future, CryptoPair(quote_ccy="USDT", base_ccy="BTC"), 20261225, "E")
        assert str(error.value) == GUARD_MESSAGE
        assert vars(future) == {}

    def test_expiry_date_must_be_an_exact_str_after_the_guard(self):
        with pytest.raises(TypeError, match="^Argument 'expiry_date' has incorrect type"):
            CryptoInvFuture(coin(), 20261225, "DERIBIT")
        with pytest.raises(AttributeError):
            CryptoInvFuture("ETH-ETH", "20261225", "DERIBIT")

    def test_a_coin_that_is_not_text_is_formatted_into_the_symbol(self):
        future = CryptoInvFuture(coin(ccy=7), "20261225", "X")
        assert future._symbol == "7-USD" and str(future) == "X.7-USD.FUTURE.INVERSE.7.20261225"

    def test_settlement_currency_is_the_stored_one(self):
        future = CryptoInvFuture(coin(), "20261225", "DERIBIT")
        future._underl = CryptoPair(quote_ccy="USD", base_ccy="ETH")
        assert future.settlement_ccy == "ETH"
        future._settlement_ccy = "other"
        assert future.settlement_ccy == "other"

    def test_get_instrument_id_checks_then_agrees_with_the_linear_one(self):
        args = dict(symbol="sym", instrument_type="typ", contract_type="con", expiry_date="exp", ccy=5, exchange="exc")
        assert (
            CryptoInvFuture.get_instrument_id(**args)
            == CryptoFuture.get_instrument_id(**args)
            == ("exc.sym.typ.con.5.exp")
        )
        for name in ("symbol", "expiry_date"):
            with pytest.raises(TypeError, match=f"^Argument '{name}' has incorrect type"):
                CryptoInvFuture.get_instrument_id(**{**args, name: None})


class TestContractType:
    def test_inverse_classes_report_inverse_whatever_is_stored(self):
        future = CryptoInvFuture(coin(), "20261225", "DERIBIT")
        future._contract_type = "LINEAR"
        assert future.contract_type == "INVERSE"
        assert CryptoInvPerpFuture(coin(), "DERIBIT").contract_type == "INVERSE"

    def test_a_linear_future_reports_linear_whatever_keyword_it_got(self):
        future = CryptoFuture(CryptoPair(quote_ccy="USDT", base_ccy="BTC"), "20261225", "E", contract_type="INVERSE")
        assert future._contract_type == "INVERSE" and future.contract_type == "LINEAR"

    def test_the_class_and_constants_are_read_at_call_time(self, monkeypatch):
        future = CryptoInvFuture(coin(), "20261225", "DERIBIT")
        marked = type(
            "Marked", (futures.Instrument,), {"CONTRACT_TYPE": type("C", (), {"LINEAR": "L*", "INVERSE": "I*"})}
        )
        monkeypatch.setattr(futures, "Instrument", marked)
        assert future.contract_type == "I*"
        monkeypatch.setattr(futures, "CryptoInvFuture", CryptoInvPerpFuture)
        assert future.contract_type == "L*"


@pytest.fixture(scope="class", params=IMPLEMENTATIONS)
def native_or_twin(request):
    """The class's assertions judge the native class and its plain-Python twin alike."""
    with judging(globals(), "CryptoInvFuture", python_twins.PyCryptoInvFuture, request.param) as cls:
        yield cls


@pytest.mark.usefixtures("native_or_twin")
class TestEconomics:
    def test_values_follow_the_inverse_formulas(self):
        future = built(100)
        assert future.calculate_unit_margin(500.0) == future.calculate_unit_margin(500) == 0.2
        assert future.calc_unit_commission(500.0) == 0.0001 * 100 / 500.0
        assert (
            future.calc_unit_commission(500.0, is_maker=0)
            == future.calc_unit_commission(500, None)
            == (0.0005 * 100 / 500.0)
        )
        assert future.calc_cash_change(500.0, 3) == pytest.approx(0.6)
        assert future.calc_cash_change(500.0, -3) == -future.calc_cash_change(500.0, 3)

    def test_results_are_floats_for_int_and_float_multipliers(self):
        for multiplier in (100, 100.0, True, fractions.Fraction(100)):
            future = built(multiplier)
            for result in (
                future.calculate_unit_margin(400),
                future.calc_unit_commission(400, False),
                future.calc_cash_change(400, 2),
            ):
                assert type(result) is float

    def test_other_number_types_keep_the_interpreters_arithmetic(self):
        future = built(decimal.Decimal(100))
        with pytest.raises(TypeError, match="unsupported operand"):
            future.calculate_unit_margin(400)
        huge = built(10**400)
        with pytest.raises(OverflowError):
            huge.calculate_unit_margin(400)
        with pytest.raises(OverflowError):
            huge.calc_cash_change(400, 1)

    @pytest.mark.parametrize("zero", [0, 0.0, -0.0])
    def test_a_zero_price_divides_by_zero(self, zero):
        for future in (built(100), built(100.0), built(fractions.Fraction(100))):
            for operation in (
                lambda: future.calculate_unit_margin(zero),
                lambda: future.calc_unit_commission(zero),
                lambda: future.calc_cash_change(zero, 1),
            ):
                with pytest.raises(ZeroDivisionError):
                    operation()
        with pytest.raises(ZeroDivisionError, match="^float division by zero$"):
            built(100).calculate_unit_margin(zero)

    def test_arguments_are_converted_before_attributes_are_read(self):
        future = CryptoInvFuture(coin(), "20261225", "DERIBIT")  # not built: no multiplier yet
        with pytest.raises(TypeError):
            future.calc_cash_change("500", 1)
        with pytest.raises(TypeError):
            future.calculate_unit_margin(None)
        with pytest.raises(AttributeError):
            future.calculate_unit_margin(500)

    def test_fee_and_multiplier_attributes_come_through_the_instance(self):
        class Tweaked(CryptoInvFuture):
            CM_MAKER_FEE = -0.00025
            contract_multipl = 10  # the public name: read by the cash change only

        future = built(100, cls=Tweaked)
        assert future.calc_unit_commission(500.0) == -0.00025 * 100 / 500.0
        assert future.calc_cash_change(500.0, 2) == 2 * 10 / 500.0
        assert future.calculate_unit_margin(500.0) == 100 / 500.0

    def test_is_maker_truth_errors_propagate(self):
        class Untruthful:
            def __bool__(self):
                raise RuntimeError("no truth")

        with pytest.raises(RuntimeError, match="no truth"):
            built().calc_unit_commission(500.0, Untruthful())

    @given(
        price=st.floats(allow_nan=True, allow_infinity=True).filter(lambda p: p != 0),
        qty=st.floats(allow_nan=False, allow_infinity=False),
        multiplier=st.one_of(st.floats(min_value=1.0, allow_infinity=False), st.integers(min_value=1, max_value=2**80)),
        fee=st.floats(-1, 1),
    )
    def test_bit_identical_to_the_interpreters_expression(self, price, qty, multiplier, fee):
        class Fees(CryptoInvFuture):
            CM_TAKER_FEE = fee

        future = built(multiplier, cls=Fees)
        expected = (multiplier / price, fee * multiplier / price, qty * multiplier / price)
        got = (
            future.calculate_unit_margin(price),
            future.calc_unit_commission(price, False),
            future.calc_cash_change(price, qty),
        )
        for want, have in zip(expected, got):
            assert (
                math.isnan(want)
                and math.isnan(have)
                or want == have
                and math.copysign(1, want) == math.copysign(1, have)
            )


class TestMethodTable:
    def test_class_namespaces_hold_exactly_their_members_in_order(self):
        def members(cls):
            return [name for name in vars(cls) if name not in ("__module__", "__doc__")]

        assert members(CryptoInvFuture) == [
            "__init__",
            "get_instrument_id",
            "settlement_ccy",
            "calculate_unit_margin",
            "calc_unit_commission",
            "calc_cash_change",
        ]
        assert members(futures.CryptoPerpFuture) == [
            "__init__",
            "is_underl_supported",
            "create_by_underl",
            "get_instrument_id",
        ]
        assert members(CryptoInvPerpFuture) == ["__init__", "get_instrument_id"]
        assert members(CryptoFuture) == [
            "__init__",
            "get_instrument_id",
            "settlement_ccy",
            "contract_type",
            "calculate_unit_margin",
            "calc_unit_commission",
            "calc_cash_change",
            "create",
            "get_instrument_info",
            "_build",
            "inst_cache",
            "RETRY_TIMES",
        ]
        assert list(vars(futures))[-4:] == [
            "CryptoFuture",
            "CryptoInvFuture",
            "CryptoPerpFuture",
            "CryptoInvPerpFuture",
        ]
        assert CryptoInvFuture.__doc__ == "\n    Inverse Future is a contract which settles with cryptocurrency\n    "
        assert futures.CryptoPerpFuture.__doc__ is None and CryptoInvPerpFuture.__doc__ is None
        assert CryptoInvPerpFuture.__mro__[1:3] == (CryptoInvFuture, CryptoFuture)

    def test_kinds_signatures_defaults_and_annotations(self):
        perp = futures.CryptoPerpFuture
        for cls, name in [
            (CryptoFuture, "create"),
            (CryptoInvFuture, "get_instrument_id"),
            (perp, "is_underl_supported"),
            (perp, "create_by_underl"),
            (perp, "get_instrument_id"),
            (CryptoInvPerpFuture, "get_instrument_id"),
        ]:
            assert type(vars(cls)[name]) is staticmethod, name
            function = getattr(cls, name)
            assert function.__qualname__ == f"{cls.__name__}.{name}" and function.__doc__ is None
        assert type(vars(CryptoInvFuture)["settlement_ccy"]) is property
        assert vars(CryptoInvFuture)["settlement_ccy"].fset is None

        assert CryptoInvFuture.calc_unit_commission.__defaults__ == (True,)
        assert perp.create_by_underl.__defaults__ == (None,)
        assert CryptoFuture.create.__defaults__ is None
        assert perp.is_underl_supported.__annotations__ == {"underl": "Union[CryptoPair, str]", "return": "bool"}
        assert CryptoInvFuture.__init__.__annotations__ == {
            "underl": "CryptoPair",
            "expiry_date": "Union[int, str]",
            "exchange": "Instrument.EXCHANGE",
        }
        assert CryptoFuture.create.__annotations__ == {"instrumentId": "str"}
        signatures = {
            CryptoFuture.create: "(instrumentId: 'str', **kwargs)",
            CryptoInvFuture.__init__: "(self, underl: 'CryptoPair', expiry_date: 'Union[int, str]', "
            "exchange: 'Instrument.EXCHANGE', **kwargs)",
            CryptoInvFuture.calc_unit_commission: "(self, price: 'float', is_maker: 'bool' = True)",
            CryptoInvFuture.calc_cash_change: "(self, trade_price: 'float', qty: 'float')",
            perp.__init__: "(self, underl: 'Union[CryptoPair, str]', exchange: 'Instrument.EXCHANGE', **kwargs)",
            perp.create_by_underl: "(underl: 'Union[CryptoPair, str]', exchange: 'Instrument.EXCHANGE' = None)",
            CryptoInvPerpFuture.__init__: "(self, underl: 'CryptoPair', exchange: 'Instrument.EXCHANGE')",
        }
        for function, text in signatures.items():
            assert str(inspect.signature(function)) == text
        for cls in (CryptoInvFuture, perp, CryptoInvPerpFuture):
            assert inspect.signature(cls.get_instrument_id) == inspect.signature(CryptoFuture.get_instrument_id)
