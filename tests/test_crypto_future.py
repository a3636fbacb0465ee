"""CryptoFuture: its class namespace and method table, identity, and the build from reference data."""

import inspect

import pytest

from leakcheck import assert_no_leak
from norvane.kestrum_utils.priceable.enums import SettlementType
from norvane.kestrum_utils.priceable.futures import CryptoFuture, CryptoInvFuture, CryptoPerpFuture, Future
from norvane.kestrum_utils.priceable.spots import CryptoPair
from twins import IMPLEMENTATIONS, judging, python_twins

MODULE = "norvane.kestrum_utils.priceable.futures"
LOOKUP_DOC = (
    "\n        TODO:\n            All other arguments but symbol should be optional. throw if instruments "
    "cannot be uniquely identified with symbol\n            alone.\n        "
)
BUILD_DOC = (
    "\n        We only build the instrument when we want to access it information which is not contained "
    "in instrument in.\n        "
)


def btc_usdt(exchange="BINANCE"):
    return CryptoPair(quote_ccy="USDT", base_ccy="BTC", exchange=exchange)


class TestMethodTable:
    MEMBERS = {
        "__init__": (
            None,
            "(self, underl: 'Union[CryptoPair, str]', expiry_date: 'str', exchange: 'Instrument.EXCHANGE', **kwargs)",
        ),
        "get_instrument_id": (
            staticmethod,
            "(symbol: 'str', instrument_type: 'Instrument.INSTRUMENT_TYPE', "
            "contract_type: 'Instrument.CONTRACT_TYPE', expiry_date: 'str', "
            "ccy: 'Instrument.CURRENCY', exchange: 'Instrument.EXCHANGE')",
        ),
        "settlement_ccy": (property, "(self)"),
        "contract_type": (property, "(self)"),
        "calculate_unit_margin": (None, "(self, price: 'float')"),
        "calc_unit_commission": (None, "(self, price: 'float', is_maker: 'bool')"),
        "calc_cash_change": (None, "(self, trade_price: 'float', qty: 'float')"),
        "create": (staticmethod, "(instrumentId: 'str', **kwargs)"),
        "get_instrument_info": (
            staticmethod,
            "(symbol: 'str' = None, exchange: 'str' = None, "
            "security_type: 'str' = None, contract_type: 'str' = None, "
            "expiry_date: 'str' = None, externalSymbol: 'str' = None, "
            "cache=True)",
        ),
        "_build": (None, "(self)"),
    }

    def test_namespace_in_declaration_order_with_the_class_attributes(self):
        assert list(CryptoFuture.__dict__) == ["__module__", *self.MEMBERS, "inst_cache", "RETRY_TIMES", "__doc__"]
        assert CryptoFuture.__bases__ == (Future,) and CryptoFuture.__doc__ is None
        assert type(CryptoFuture.RETRY_TIMES) is int and CryptoFuture.RETRY_TIMES == 5
        assert CryptoInvFuture.inst_cache is CryptoPerpFuture.inst_cache is CryptoFuture.__dict__["inst_cache"]

    @pytest.mark.parametrize("name", list(MEMBERS))
    def test_each_member_signature_wrapper_and_metadata(self, name):
        wrapper, signature = self.MEMBERS[name]
        entry = CryptoFuture.__dict__[name]
        function = entry.fget if wrapper is property else entry.__func__ if wrapper else entry
        assert type(entry) is (wrapper or type(function))
        assert str(inspect.signature(function)) == signature
        assert (function.__qualname__, function.__module__) == (f"CryptoFuture.{name}", MODULE)
        assert "return" not in function.__annotations__
        assert function.__doc__ == {"get_instrument_info": LOOKUP_DOC, "_build": BUILD_DOC}.get(name)
        if wrapper is property:
            assert entry.fset is None and entry.fdel is None

    def test_defaults(self):
        assert CryptoFuture.get_instrument_info.__defaults__ == (None,) * 6 + (True,)
        assert CryptoFuture.calc_unit_commission.__defaults__ is None
        with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'is_maker'"):
            CryptoFuture(btc_usdt(), "20261225", "BINANCE").calc_unit_commission(1.0)
        with pytest.raises(TypeError, match=r"takes from 0 to 7 positional arguments but 8 were given"):
            CryptoFuture.get_instrument_info(*[None] * 8)


@pytest.fixture(scope="class", params=IMPLEMENTATIONS)
def native_or_twin(request):
    """The class's assertions judge the native class and its plain-Python twin alike."""
    with judging(globals(), "CryptoFuture", python_twins.PyCryptoFuture, request.param) as cls:
        yield cls


@pytest.mark.usefixtures("native_or_twin")
class TestIdentity:
    def test_constructor_sets_the_attributes_in_order(self):
        future = CryptoFuture(btc_usdt(), "20261225", "BINANCE")
        assert list(vars(future)) == [
            "_underl",
            "_expiry_date",
            "_base_ccy",
            "_quote_ccy",
            "_settlement_ccy",
            "_contract_type",
            "_settlement_type",
            "_symbol",
            "_asset",
            "_exchange",
            "_ccy",
            "_instrument_type",
            "_is_built",
            "_instrument_id",
        ]
        assert (future._base_ccy, future._quote_ccy, future._settlement_ccy, future._contract_type) == (
            "BTC",
            "USDT",
            "USDT",
            "LINEAR",
        )
        assert future._settlement_type is SettlementType.cash and future._instrument_type == "FUTURE"
        assert str(future) == future._instrument_id == "BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20261225"

    def test_a_pair_text_equals_the_pair_it_names(self):
        from_text = CryptoFuture("BTC-USDT", "20261225", "BINANCE")
        from_pair = CryptoFuture(CryptoPair.create("BTC-USDT"), "20261225", "BINANCE")
        assert type(from_text._underl) is CryptoPair
        plain = {k: v for k, v in vars(from_text).items() if k != "_underl"}
        assert plain == {k: v for k, v in vars(from_pair).items() if k != "_underl"}
        with pytest.raises(ValueError):
            CryptoFuture("BTCUSDT", "20261225", "BINANCE")

    def test_keywords_override_and_unknown_ones_are_dropped(self):
        future = CryptoFuture(
            btc_usdt(),
            "20261225",
            "BINANCE",
            symbol="XBT",
            contract_type="QUANTO",
            settlement_type=SettlementType.physical,
            leverage=10,
        )
        assert str(future) == "BINANCE.XBT.FUTURE.QUANTO.USDT.20261225"
        assert future.contract_type == "LINEAR" and future._settlement_type is SettlementType.physical
        assert not hasattr(future, "_leverage")
        physical = CryptoFuture(btc_usdt(), "20261225", "BINANCE", settlement_type=SettlementType.physical)
        assert str(physical) == str(CryptoFuture(btc_usdt(), "20261225", "BINANCE"))

    def test_settlement_ccy_is_read_afresh_from_the_underlying(self):
        future = CryptoFuture(btc_usdt(), "20261225", "BINANCE")
        future._underl = CryptoPair(quote_ccy="USDC", base_ccy="BTC")
        assert future.settlement_ccy == "USDC" and future._settlement_ccy == "USDT"

    def test_identifier_parts_and_exact_str_checks(self):
        assert CryptoFuture.get_instrument_id("sym", "typ", "con", "exp", "cur", "exc") == "exc.sym.typ.con.cur.exp"
        assert CryptoFuture.get_instrument_id("s", "t", "c", "e", 7, "x") == "x.s.t.c.7.e"
        for name, args in [("symbol", (1, "t", "c", "e", "u", "x")), ("expiry_date", ("s", "t", "c", 1, "u", "x"))]:
            with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type \(expected str, got int\)$"):
                CryptoFuture.get_instrument_id(*args)
        future = object.__new__(CryptoFuture)
        with pytest.raises(TypeError, match="^Argument 'expiry_date'"):
            CryptoFuture.__init__(future, btc_usdt(), 20261225, "BINANCE")
        assert vars(future) == {}

    def test_the_identifier_comes_from_the_module_level_class(self):
        class Own(CryptoFuture):
            @staticmethod
            def get_instrument_id(*args, **kwargs):
                return "OWN"

        assert str(Own(btc_usdt(), "20261225", "BINANCE")) == "BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20261225"


def serve(project, *records):
    project.service.set_fault("records", records=list(records))


def record(**fields):
    return {
        "symbol": "BTC-USDT",
        "expiry_date": "20261225",
        "price_tick_size": 0.1,
        "contract_size": 1,
        "limit_min_quantity": 0.001,
        **fields,
    }


class TestBuild:
    def test_builds_from_the_service_then_from_the_cache_and_prices_fills(self, project):
        future = CryptoFuture("BTC-USDT", "20261225", "BINANCE")
        assert future.build() is None and future._is_built and future._underl._is_built
        assert future._info["externalSymbol"] == "BTCUSDT_261225"
        assert (future._tick_size, future._contract_multipl, future._qty_unit) == (0.1, 1, 0.001)
        again = CryptoFuture("BTC-USDT", "20261225", "BINANCE")
        again.build()
        assert again._info == future._info and len(project.service.requests) == 1
        assert again.calc_unit_commission(50_000.0, False) == 50_000.0 * again.UM_TAKER_FEE
        assert again.calc_cash_change(50_000.0, -0.002) == -100.0

    @pytest.mark.parametrize(
        "fields, multiplier",
        [
            ({"contract_size": 0.001}, 1.0),
            ({"contract_size": 100}, 100),
            ({"contract_size": 100.0}, 100.0),
            ({"contract_size": 1}, 1),
            ({"contract_size": -5}, 1.0),
            ({}, 1.0),
        ],
    )
    def test_contract_multiplier_keeps_its_type_and_is_never_below_one(self, project, fields, multiplier):
        data = {k: v for k, v in record(**fields).items() if k != "contract_size" or fields}
        serve(project, data)
        future = CryptoFuture("BTC-USDT", "20261225", "BINANCE")
        future.build()
        assert future._contract_multipl == multiplier and type(future._contract_multipl) is type(multiplier)

    def test_numeric_texts_convert_and_a_negative_quantity_passes(self, project):
        serve(project, record(price_tick_size="0.5", limit_min_quantity="-2"))
        future = CryptoFuture("BTC-USDT", "20261225", "BINANCE")
        future.build()
        assert (future._tick_size, future._qty_unit) == (0.5, -2.0) and type(future._tick_size) is float

    @pytest.mark.parametrize("zero", [0, 0.0, "0", -0.0])
    def test_a_zero_quantity_unit_is_refused_with_the_record(self, project, zero):
        data = record(limit_min_quantity=zero)
        serve(project, data)
        future = CryptoFuture("BTC-USDT", "20261225", "BINANCE")
        with pytest.raises(ValueError) as error:
            future.build()
        assert str(error.value) == (
            f"got qty_unit == 0 when building instrument fron QLM, the instrument info is: \n {data}"
        )
        assert future._qty_unit == 0.0 and future._info == data and not future._is_built

    @pytest.mark.parametrize(
        "fields, error, left_set",
        [
            ({"price_tick_size": None}, KeyError, ["_info"]),
            ({"price_tick_size": "tick"}, ValueError, ["_info"]),
            ({"price_tick_size": [1]}, TypeError, ["_info"]),
            ({"contract_size": "1"}, TypeError, ["_info", "_tick_size"]),
            ({"limit_min_quantity": None}, KeyError, ["_info", "_tick_size", "_contract_multipl"]),
            ({"limit_min_quantity": "lot"}, ValueError, ["_info", "_tick_size", "_contract_multipl"]),
        ],
    )
    def test_bad_records_fail_with_the_attributes_before_them_set(self, project, fields, error, left_set):
        data = {k: v for k, v in record(**fields).items() if v is not None}
        serve(project, data)
        future = CryptoFuture("BTC-USDT", "20261225", "BINANCE")
        before = set(vars(future))
        with pytest.raises(error):
            future.build()
        assert sorted(set(vars(future)) - before) == sorted(left_set)

    def test_an_unlisted_expiry_fails_on_the_empty_answer(self, project):
        future = CryptoFuture("BTC-USDT", "20991231", "BINANCE")
        with pytest.raises(IndexError):
            future.build()
        assert len(project.service.requests) == 5 and not hasattr(future, "_info")

    def test_the_underlying_is_built_only_when_it_is_not(self, project):
        class Counted(CryptoPair):
            builds = 0

            def build(self):
                Counted.builds += 1
                super().build()

        future = CryptoFuture(Counted("USDT", "BTC"), "20261225", "BINANCE")
        future.build()
        future.build()
        assert Counted.builds == 1

    def test_lookup_through_the_module_level_class_with_five_keywords(self, project, monkeypatch):
        calls = []
        monkeypatch.setattr(
            CryptoFuture, "get_instrument_info", staticmethod(lambda **kwargs: calls.append(kwargs) or [record()])
        )

        class Own(CryptoFuture):
            @staticmethod
            def get_instrument_info(**kwargs):
                raise AssertionError("subclasses do not take part")

        Own(btc_usdt(), "20261225", "BINANCE").build()
        assert calls == [
            dict(
                symbol="BTC-USDT",
                exchange="BINANCE",
                security_type="FUTURE",
                contract_type="LINEAR",
                expiry_date="20261225",
            )
        ]
        assert project.service.requests == []

    def test_identity_attributes_must_be_text_for_the_lookup(self, project):
        future = CryptoFuture(btc_usdt(), "20261225", "BINANCE")
        future._exchange = 3
        with pytest.raises(TypeError, match="^Argument 'exchange' has incorrect type"):
            future.build()
        assert not hasattr(future, "_info")

    def test_build_keeps_no_references(self, project):
        serve(project, record())
        future = CryptoFuture(btc_usdt(), "20261225", "BINANCE")
        future.build()
        assert_no_leak(future.build, future, calls=100, bytes_per_call=64)
        serve(project, record(limit_min_quantity=0, expiry_date="20270326"))
        zero = CryptoFuture(btc_usdt(), "20270326", "BINANCE")
        assert_no_leak(zero.build, zero, calls=100, expected=ValueError, bytes_per_call=64)
