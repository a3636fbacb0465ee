import inspect
import os
import sys
import threading
import time

import pytest

from norvane.kestrum_utils import utils
from norvane.kestrum_utils.priceable import enums
from norvane.kestrum_utils.priceable.instrument import Instrument
from norvane.kestrum_utils.priceable.spots import CryptoPair


class TestEnumsAndConstants:
    @pytest.mark.parametrize(
        "value, text",
        [
            (enums.INSTRUMENT_TYPE.FUTURE, "FUTURE"),
            (enums.INSTRUMENT_TYPE.PERP, "PERP"),
            (enums.CONTRACT_TYPE.LINEAR, "LINEAR"),
            (enums.CONTRACT_TYPE.INVERSE, "INVERSE"),
            (Instrument.UNSPECIFIED, "UNSPECIFIED"),
        ],
    )
    def test_members_are_exact_str(self, value, text):
        # Code downstream accepts only exact str, not str subclasses or enum members.
        assert type(value) is str
        assert value == text

    def test_instrument_exposes_the_module_enums(self):
        assert Instrument.INSTRUMENT_TYPE is enums.INSTRUMENT_TYPE
        assert Instrument.CONTRACT_TYPE is enums.CONTRACT_TYPE

    def test_settlement_types_are_distinct(self):
        assert enums.SettlementType.cash != enums.SettlementType.physical

    def test_fee_rates_are_small_positive_floats_maker_below_taker(self):
        for maker, taker in [
            (Instrument.UM_MAKER_FEE, Instrument.UM_TAKER_FEE),
            (Instrument.CM_MAKER_FEE, Instrument.CM_TAKER_FEE),
        ]:
            assert type(maker) is float and type(taker) is float
            assert 0 < maker <= taker < 0.01


def make_instrument(**overrides):
    fields = dict(symbol="S", asset="A", exchange="E", ccy="C", instrument_type="FUTURE")
    fields.update(overrides)
    return Instrument(**fields)


class TestInstrument:
    def test_constructor_is_keyword_only_and_stores_identity(self):
        with pytest.raises(TypeError):
            Instrument("S", "A", "E", "C", "FUTURE")
        inst = make_instrument()
        assert (inst._symbol, inst._asset, inst._exchange, inst._ccy, inst._instrument_type) == (
            "S",
            "A",
            "E",
            "C",
            "FUTURE",
        )
        assert (inst.symbol, inst.asset, inst.exchange, inst.ccy, inst.instrument_type) == (
            "S",
            "A",
            "E",
            "C",
            "FUTURE",
        )
        assert inst._is_built is False
        assert "_symbol" in vars(inst)

    def test_build_runs_the_hook_then_marks_built(self):
        seen = []

        class Hooked(Instrument):
            def _build(self):
                seen.append(self._is_built)
                self._contract_multipl = 100

        inst = Hooked(symbol="S", asset="A", exchange="E", ccy="C", instrument_type="PERP")
        assert inst.build() is None
        assert seen == [False]
        assert inst._is_built is True
        assert inst.contract_multipl == 100

    def test_failed_hook_leaves_the_instrument_unbuilt(self):
        class Failing(Instrument):
            def _build(self):
                raise RuntimeError("no data")

        inst = Failing(symbol="S", asset="A", exchange="E", ccy="C", instrument_type="PERP")
        with pytest.raises(RuntimeError, match="no data"):
            inst.build()
        assert inst._is_built is False

    def test_str_is_the_instrument_id(self):
        inst = make_instrument()
        inst._instrument_id = "E.S.FUTURE.LINEAR.C.20261225"
        assert str(inst) == "E.S.FUTURE.LINEAR.C.20261225"

    def test_contract_multipl_is_read_only_and_absent_before_build(self):
        inst = make_instrument()
        with pytest.raises(AttributeError):
            inst.contract_multipl
        with pytest.raises(AttributeError):
            inst.contract_multipl = 5


class TestCryptoPair:
    def test_fields_of_a_new_pair(self):
        pair = CryptoPair(quote_ccy="USDT", base_ccy="BTC", exchange="BINANCE")
        assert isinstance(pair, Instrument)
        assert type(pair.symbol) is str and pair.symbol == "BTC-USDT"
        assert (pair.base_ccy, pair.quote_ccy, pair.asset, pair.ccy, pair.exchange) == (
            "BTC",
            "USDT",
            "BTC",
            "USDT",
            "BINANCE",
        )
        assert pair._instrument_type == enums.INSTRUMENT_TYPE.SPOT
        assert pair._is_built is False
        pair.build()
        assert pair._is_built is True
        assert CryptoPair.__name__ == "CryptoPair"

    @pytest.mark.parametrize(
        "text, base, quote",
        [("BTC-USDT", "BTC", "USDT"), ("BTC-BTC", "BTC", "BTC"), ("eth-usdc", "eth", "usdc")],
    )
    def test_create_reads_base_quote_verbatim(self, text, base, quote):
        pair = CryptoPair.create(text)
        assert type(pair) is CryptoPair
        assert (pair.base_ccy, pair.quote_ccy, pair.symbol, pair.exchange) == (base, quote, text, None)
        assert pair._is_built is False

    @pytest.mark.parametrize(
        "text",
        [
            "",
            "BTC",
            "BTC-",
            "-USDT",
            "-",
            "BTC-USDT-X",
            "BTC--USDT",
            "BTC USDT",
            "BTC -USDT",
            "BTC-USDT ",
            "BTC-\tUSDT",
            "BTC.X-USDT",
            None,
            1,
            b"BTC-USDT",
        ],
    )
    def test_create_refuses_unreadable_input_with_value_error(self, text):
        with pytest.raises(ValueError):
            CryptoPair.create(text)

    def test_texts_are_readable_and_name_the_exchange(self):
        plain = CryptoPair.create("BTC-USDT")
        listed = CryptoPair(quote_ccy="USDT", base_ccy="BTC", exchange="OKX")
        assert format(plain, "") == str(plain) == "CryptoPair(BTC-USDT)"
        assert format(listed, "") == "CryptoPair(BTC-USDT, OKX)"
        assert f"{plain:>22}" == "  CryptoPair(BTC-USDT)"
        again = eval(repr(listed), {"CryptoPair": CryptoPair})
        assert (again.symbol, again.exchange) == ("BTC-USDT", "OKX")


class TestSingleton:
    def test_one_instance_until_reset(self):
        @utils.singleton
        class Config:
            pass

        first = Config()
        assert Config() is first
        assert Config.peek() is first
        Config.reset()
        assert Config.peek() is None
        assert Config() is not first

    def test_failed_construction_caches_nothing(self):
        attempts = []

        @utils.singleton
        class Flaky:
            def __init__(self):
                attempts.append(1)
                if len(attempts) == 1:
                    raise OSError("file missing")

        with pytest.raises(OSError):
            Flaky()
        assert Flaky.peek() is None
        built = Flaky()
        assert Flaky() is built and len(attempts) == 2

    def test_arguments_are_refused_once_built(self):
        @utils.singleton
        class Loader:
            def __init__(self):
                pass

        with pytest.raises(TypeError):
            Loader(1)
        Loader()
        with pytest.raises(TypeError, match="already built"):
            Loader(1)

    def test_reset_singletons_drops_every_instance(self):
        @utils.singleton
        class One:
            pass

        @utils.singleton
        class Two:
            pass

        one, two = One(), Two()
        utils.reset_singletons()
        assert One() is not one and Two() is not two

    def test_wrapper_carries_the_class_metadata(self):
        class Loader:
            """Loads things."""

            def __init__(self):
                pass

        wrapped = utils.singleton(Loader)
        assert wrapped.__wrapped__ is Loader
        assert (wrapped.__name__, wrapped.__qualname__, wrapped.__doc__, wrapped.__module__) == (
            "Loader",
            Loader.__qualname__,
            "Loads things.",
            __name__,
        )
        assert str(inspect.signature(wrapped)) == "()"
        # The class's members must not leak onto the wrapper.
        assert "__init__" not in vars(wrapped)

    def test_racing_first_calls_build_one_instance(self):
        built = []

        @utils.singleton
        class Slow:
            def __init__(self):
                built.append(self)
                time.sleep(0.05)

        barrier = threading.Barrier(6)
        results = []

        def call():
            barrier.wait()
            results.append(Slow())

        threads = [threading.Thread(target=call) for _ in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(built) == 1
        assert all(r is built[0] for r in results)

    @pytest.mark.parametrize("arguments", [(), (1,)])
    def test_a_reset_at_any_moment_of_a_call_never_yields_none(self, arguments):
        # A concurrent reset() can land between any two steps of the factory: a tracer runs one before
        # every bytecode of the call, so every interleaving of a reset with this call is exercised.
        @utils.singleton
        class Loader:
            def __init__(self, *_):
                pass

        code = Loader.__code__

        def tracer(frame, event, _):
            if frame.f_code is not code:
                return None
            frame.f_trace_opcodes = True
            Loader.reset()
            return tracer

        Loader()
        sys.settrace(tracer)
        try:
            results = [Loader(*arguments) for _ in range(3)]
        finally:
            sys.settrace(None)
        assert all(type(r) is Loader.__wrapped__ for r in results)


class TestProjectRoot:
    @pytest.fixture(autouse=True)
    def _no_override(self):
        utils.set_project_root(None)
        yield
        utils.set_project_root(None)

    def test_override_wins_and_none_restores_the_search(self, tmp_path, monkeypatch):
        (tmp_path / "found").mkdir()
        (tmp_path / "found" / "norvane.ini").write_text("")
        monkeypatch.chdir(tmp_path / "found")
        utils.set_project_root(tmp_path / "elsewhere")
        assert utils.get_project_root() == tmp_path / "elsewhere"
        utils.set_project_root(None)
        assert utils.get_project_root() == tmp_path / "found"

    def test_relative_override_is_fixed_when_set(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        utils.set_project_root("conf")
        monkeypatch.chdir("/")
        assert utils.get_project_root() == tmp_path / "conf"

    def test_nearest_directory_holding_the_file_wins(self, tmp_path, monkeypatch):
        nested = tmp_path / "a" / "b" / "c"
        nested.mkdir(parents=True)
        (tmp_path / "norvane.ini").write_text("")
        (tmp_path / "a" / "norvane.ini").write_text("")
        monkeypatch.chdir(nested)
        root = utils.get_project_root()
        assert isinstance(root, os.PathLike) and root == tmp_path / "a"

    def test_falls_back_to_the_working_directory(self, tmp_path, monkeypatch):
        if any((d / "norvane.ini").exists() for d in tmp_path.parents):
            pytest.skip("a norvane.ini above the temporary directory")
        monkeypatch.chdir(tmp_path)
        assert utils.get_project_root() == tmp_path
