"""Perpetual futures: the linear one (built at construction) and the inverse one (left unbuilt)."""

import pytest

from norvane.kestrum_utils.priceable import futures
from norvane.kestrum_utils.priceable.enums import SettlementType
from norvane.kestrum_utils.priceable.futures import CryptoFuture, CryptoInvPerpFuture, CryptoPerpFuture
from norvane.kestrum_utils.priceable.spots import CryptoPair

ID_ARGS = dict(symbol="sym", instrument_type="typ", contract_type="con", expiry_date="exp", ccy="cur", exchange="exc")


class RecordsBuild(CryptoPerpFuture):
    """A linear perpetual whose build records what the instance looked like when it ran."""

    def build(self):
        self.seen_at_build = dict(vars(self))


class TestLinearPerpetualWithoutService:
    def test_identity_is_rewritten_as_perp_before_the_build(self):
        future = RecordsBuild("BTC-USDT", "BINANCE", symbol="BTCUSDT-P", unused=1)
        seen = future.seen_at_build
        assert seen["_instrument_type"] == "PERP" and seen["_expiry_date"] == "UNSPECIFIED"
        assert seen["_instrument_id"] == "BINANCE.BTCUSDT-P.PERP.LINEAR.USDT.UNSPECIFIED" == str(future)
        assert (future._contract_type, future._settlement_type) == ("LINEAR", SettlementType.cash)
        assert isinstance(future._underl, CryptoPair) and future._underl.symbol == "BTC-USDT"

    def test_a_refused_text_stores_nothing(self):
        future = object.__new__(CryptoPerpFuture)
        with pytest.raises(ValueError):
            CryptoPerpFuture.__init__(future, "BTCUSDT", "BINANCE")
        assert vars(future) == {}

    def test_the_expiry_marker_is_read_through_the_inverse_class(self, monkeypatch):
        monkeypatch.setattr(futures.CryptoInvFuture, "UNSPECIFIED", "NEVER", raising=False)
        assert RecordsBuild("BTC-USDT", "BINANCE")._expiry_date == "NEVER"
        monkeypatch.setattr(futures.CryptoInvFuture, "UNSPECIFIED", 0)
        with pytest.raises(TypeError, match="^Argument 'expiry_date'"):
            RecordsBuild("BTC-USDT", "BINANCE")


class TestIsUnderlSupported:
    def test_answers(self):
        class NamedPair(CryptoPair):
            pass

        class TextLike(str):
            pass

        supported = CryptoPerpFuture.is_underl_supported
        assert supported("BTC-USDT") is True and supported(underl="ETH-USDC") is True
        assert supported("BTCUSDT") is False and supported("BTC-") is False
        assert supported(CryptoPair(quote_ccy="USDT", base_ccy="BTC")) is True
        for value in (5, None, NamedPair(quote_ccy="USDT", base_ccy="BTC"), TextLike("BTC-USDT")):
            assert supported(value) is False

    def test_only_ordinary_exceptions_mean_unsupported(self, monkeypatch):
        class Interrupting:
            __name__ = "CryptoPair"

            @staticmethod
            def create(text):
                raise KeyboardInterrupt

        monkeypatch.setattr(futures, "CryptoPair", Interrupting)
        with pytest.raises(KeyboardInterrupt):
            CryptoPerpFuture.is_underl_supported("BTC-USDT")

    def test_an_object_of_a_class_named_str_counts_as_text(self):
        fake_text = type("str", (), {})()
        assert CryptoPerpFuture.is_underl_supported(fake_text) is False


class TestCreateByUnderlRefusals:
    @pytest.mark.parametrize(
        "value, message",
        [("BTCUSDT", "BTCUSDT not supported!"), (5, "5 not supported!"), (None, "None not supported!")],
    )
    def test_unsupported_values(self, value, message):
        with pytest.raises(ValueError) as error:
            CryptoPerpFuture.create_by_underl(value)
        assert str(error.value) == message

    def test_the_check_is_read_through_the_module_level_class(self, monkeypatch):
        calls = []

        class Stand(CryptoPerpFuture):
            @staticmethod
            def is_underl_supported(underl):
                calls.append(underl)
                return 0

        monkeypatch.setattr(futures, "CryptoPerpFuture", Stand)
        with pytest.raises(ValueError, match="^BTC-USDT not supported!$"):
            CryptoPerpFuture.create_by_underl("BTC-USDT")
        assert calls == ["BTC-USDT"]


class TestInversePerpetual:
    def test_constructs_unbuilt_from_a_coin_text(self):
        future = CryptoInvPerpFuture("ETH-ETH", exchange="OKX")
        assert str(future) == "OKX.ETH-USD.PERP.INVERSE.ETH.UNSPECIFIED"
        assert (future._instrument_type, future._expiry_date, future._settlement_type) == (
            "PERP",
            "UNSPECIFIED",
            SettlementType.physical,
        )
        assert future._is_built is False and future.contract_type == "INVERSE"
        with pytest.raises(AttributeError):
            future.calculate_unit_margin(100.0)

    def test_a_real_pair_is_refused(self):
        with pytest.raises(ValueError, match="^the underlying must be a crypto currency not a pair"):
            CryptoInvPerpFuture("BTC-USDT", "OKX")

    def test_takes_no_extra_arguments(self):
        pair = CryptoPair(quote_ccy="BTC", base_ccy="BTC")
        with pytest.raises(TypeError, match="unexpected keyword argument 'symbol'"):
            CryptoInvPerpFuture(pair, "OKX", symbol="BTC-USD")
        with pytest.raises(TypeError, match="takes 3 positional arguments but 4 were given"):
            CryptoInvPerpFuture(pair, "OKX", "UNSPECIFIED")


def test_perpetual_identifiers_agree_with_the_linear_layout():
    expected = CryptoFuture.get_instrument_id(**ID_ARGS)
    for cls in (CryptoPerpFuture, CryptoInvPerpFuture):
        assert cls.get_instrument_id(**ID_ARGS) == expected
        for name in ("symbol", "expiry_date"):
            with pytest.raises(TypeError, match=f"^Argument '{name}' has incorrect type"):
                cls.get_instrument_id(**{**ID_ARGS, name: 1})


class TestAgainstTheService:
    def test_a_linear_perpetual_is_built_by_its_constructor(self, project):
        future = CryptoPerpFuture(CryptoPair(quote_ccy="USDT", base_ccy="ETH", exchange="BINANCE"), "BINANCE")
        assert future._is_built and future._underl._is_built
        assert future._info["externalSymbol"] == "ETHUSDT" and future._qty_unit == 0.001
        [request] = project.service.requests
        assert "security_type=PERP" in request and "expiry_date" not in request

    def test_construction_fails_as_a_whole_when_the_build_fails(self, project, monkeypatch):
        monkeypatch.setattr(CryptoFuture, "RETRY_TIMES", 1)
        with pytest.raises(IndexError):
            CryptoPerpFuture("DOGE-USDT", "BINANCE")

    def test_create_by_underl_takes_the_exchange_from_the_pair_unless_given(self, project):
        pair = CryptoPair(quote_ccy="USDT", base_ccy="SOL", exchange="OKX")
        from_pair = CryptoPerpFuture.create_by_underl(pair)
        assert str(from_pair) == "OKX.SOL-USDT.PERP.LINEAR.USDT.UNSPECIFIED" and from_pair._underl is pair
        given = CryptoPerpFuture.create_by_underl("SOL-USDT", exchange="BYBIT")
        assert type(given) is CryptoPerpFuture and given._exchange == "BYBIT" and given._qty_unit == 0.1

    def test_an_inverse_perpetual_builds_on_request(self, project):
        future = CryptoInvPerpFuture("BTC-BTC", "DERIBIT")
        assert project.service.requests == []
        future.build()
        [request] = project.service.requests
        assert "security_type=PERP&contract_type=INVERSE" in request and "expiry_date" not in request
        assert future._contract_multipl == 10 and future.calculate_unit_margin(50000) == 10 / 50000
