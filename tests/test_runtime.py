"""The native function objects and classes, seen from Python: introspection, binding, descriptors."""

import copy
import inspect
import pickle
import types

import pytest

from norvane.kestrum_utils.inibridge import inibridge
from norvane.kestrum_utils.priceable import futures
from norvane.kestrum_utils.priceable.futures import CryptoFuture, Future
from norvane.kestrum_utils.priceable.spots import CryptoPair

MODULE = "norvane.kestrum_utils.priceable.futures"


def python_twin(native):
    """A Python function with the native one's parameters and qualified name, for comparing errors."""
    code = native.__code__
    names = code.co_varnames[: code.co_argcount]
    params = ", ".join(names)
    if code.co_flags & inspect.CO_VARKEYWORDS:
        params += ", **" + code.co_varnames[code.co_argcount]
    namespace = {}
    exec(f"def twin({params}): pass", namespace)  # noqa: S102 - builds a test double
    twin = namespace["twin"]
    twin.__defaults__ = native.__defaults__
    twin.__qualname__ = native.__qualname__
    return twin


class TestFunctionAttributes:
    def test_metadata_is_that_of_a_python_function(self):
        init = Future.__init__
        assert (init.__name__, init.__qualname__, init.__module__) == ("__init__", "Future.__init__", MODULE)
        assert init.__doc__ is None and init.__defaults__ is None and init.__kwdefaults__ is None
        assert init.__annotations__ == {
            "symbol": "str",
            "underl": "Instrument",
            "exchange": "Instrument.EXCHANGE",
            "expiry_date": "Union[int, str]",
            "settlement_type": "SettlementType",
        }
        assert list(init.__annotations__) == ["symbol", "underl", "exchange", "expiry_date", "settlement_type"]

    def test_signature_shows_parameters_and_annotation_texts(self):
        assert str(inspect.signature(Future.__init__)) == (
            "(self, symbol: 'str', underl: 'Instrument', exchange: 'Instrument.EXCHANGE', "
            "expiry_date: 'Union[int, str]', settlement_type: 'SettlementType')"
        )
        assert str(inspect.signature(Future)) == (
            "(symbol: 'str', underl: 'Instrument', exchange: 'Instrument.EXCHANGE', "
            "expiry_date: 'Union[int, str]', settlement_type: 'SettlementType')"
        )
        assert str(inspect.signature(CryptoFuture.__init__)).endswith("exchange: 'Instrument.EXCHANGE', **kwargs)")
        assert inspect.signature(Future.quote_ccy.fget).return_annotation is inspect.Signature.empty

    def test_help_renders_the_class(self):
        text = pydoc_text(Future)
        assert "__init__(self, symbol: 'str', underl: 'Instrument'" in text
        assert "quote_ccy" in text and "build(self)" in text

    def test_dict_is_writable_and_metadata_can_be_replaced(self):
        function = inibridge.Inibridge.__wrapped__.set_config_file
        function.marker = 42
        assert function.__dict__["marker"] == 42
        del function.marker
        with pytest.raises(TypeError):
            function.__name__ = 3
        saved = function.__defaults__
        try:
            function.__defaults__ = (None,)
            assert str(inspect.signature(function)) == "(self, config_path: 'Path' = None)"
        finally:
            function.__defaults__ = saved

    def test_pickles_and_copies_by_qualified_name(self):
        for function in (Future.build, Future.__init__, CryptoFuture.get_instrument_id):
            assert pickle.loads(pickle.dumps(function)) is function
            assert copy.deepcopy(function) is function
        assert repr(Future.build).startswith("<function Future.build at 0x")


class TestDescriptors:
    def test_binding_through_instance_and_class(self):
        future = make_future()
        bound = future.build
        assert isinstance(bound, types.MethodType) and bound.__func__ is Future.build and bound.__self__ is future
        assert Future.__dict__["build"] is Future.build
        assert inspect.ismethoddescriptor(Future.build)

    def test_wrappers_in_the_class_namespace(self):
        assert type(CryptoFuture.__dict__["get_instrument_id"]) is staticmethod
        assert CryptoFuture.__dict__["get_instrument_id"].__func__ is CryptoFuture.get_instrument_id
        quote_ccy = Future.__dict__["quote_ccy"]
        assert type(quote_ccy) is property and quote_ccy.fset is None and quote_ccy.fdel is None
        assert quote_ccy.fget.__qualname__ == "Future.quote_ccy"
        with pytest.raises(AttributeError):
            make_future().quote_ccy = "X"


class TestArgumentBinding:
    @pytest.mark.parametrize(
        "args, kwargs",
        [
            ((), {}),
            (("S",), {}),
            (("S", 1, 2, 3, 4, 5), {}),
            (("S", 1, 2, 3), {"symbol": "S"}),
            (("S", 1, 2, 3, 4), {"bogus": 1}),
            ((), {"underl": 1, "exchange": 2}),
        ],
    )
    def test_wrong_calls_fail_in_the_interpreters_words(self, args, kwargs):
        twin = python_twin(Future.__init__)
        with pytest.raises(TypeError) as expected:
            twin(object(), *args, **kwargs)
        with pytest.raises(TypeError) as native:
            Future.__init__(object.__new__(Future), *args, **kwargs)
        assert str(native.value) == str(expected.value)

    def test_wrong_calls_of_static_methods_and_defaults(self):
        for call in (lambda f: f(), lambda f: f(*"abcdefg"), lambda f: f("a", "b", "c", "d", "e", exchange="f", x=1)):
            with pytest.raises(TypeError) as expected:
                call(python_twin(CryptoFuture.get_instrument_id))
            with pytest.raises(TypeError) as native:
                call(CryptoFuture.get_instrument_id)
            assert str(native.value) == str(expected.value)

    @pytest.mark.parametrize("value, type_name", [(1, "int"), (None, "NoneType"), (b"S", "bytes")])
    def test_exact_str_parameters_refuse_other_types_before_any_work(self, value, type_name):
        future = object.__new__(Future)
        with pytest.raises(TypeError) as error:
            Future.__init__(future, value, make_pair(), "E", "D", Future.SettlementType.cash)
        assert str(error.value) == f"Argument 'symbol' has incorrect type (expected str, got {type_name})"
        assert vars(future) == {}

    def test_exact_str_refuses_a_str_subclass_by_its_name(self):
        class Ticker(str):
            pass

        with pytest.raises(
            TypeError, match=r"^Argument 'expiry_date' has incorrect type \(expected str, got Ticker\)$"
        ):
            CryptoFuture.get_instrument_id("s", "t", "c", Ticker("d"), "u", "e")

    def test_keyword_catch_all_takes_unknown_keywords(self):
        future = CryptoFuture(make_pair(), "20261225", "BINANCE", anything=1, more=[2])
        assert future._instrument_id == "BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20261225"

    def test_non_string_keyword_names_are_refused(self):
        with pytest.raises(TypeError):
            CryptoFuture.get_instrument_id(**{1: 2})


class TestClasses:
    def test_classes_are_ordinary_python_classes(self):
        assert type(Future) is type and Future.__module__ == MODULE and Future.__qualname__ == "Future"
        assert list(Future.__dict__)[:5] == ["__module__", "__init__", "quote_ccy", "_build", "build"]
        assert Future.__dict__["SettlementType"] is futures.SettlementType

    def test_python_subclass_pickle_and_deepcopy(self):
        future = make_future()
        clone = copy.deepcopy(future)
        assert type(clone) is Future and vars(clone).keys() == vars(future).keys()
        restored = pickle.loads(pickle.dumps(future))
        assert restored._symbol == "BTC-USDT" and restored._underl.symbol == "BTC-USDT"

    def test_init_subclass_of_the_base_runs_for_native_classes_and_their_subclasses(self):
        seen = []

        class Probe(Future):
            def __init_subclass__(cls, **kwargs):
                seen.append(cls.__name__)
                super().__init_subclass__(**kwargs)

        class Child(Probe):
            pass

        assert seen == ["Child"] and issubclass(Child, Future)

    def test_super_resolves_against_the_defining_class(self, monkeypatch):
        class Built(Future):
            def _build(self):
                self._underl.build()

        future = Built("BTC-USDT", make_pair(), "BINANCE", "20261225", Future.SettlementType.cash)
        monkeypatch.setattr(futures, "Future", None)
        monkeypatch.setattr(futures, "Instrument", None, raising=True)
        future.build()
        assert future._is_built and future._underl._is_built

    def test_endless_recursion_through_native_code_is_a_recursion_error(self):
        class Loop(Future):
            def _build(self):
                self.build()

        future = Loop("BTC-USDT", make_pair(), "BINANCE", "20261225", Future.SettlementType.cash)
        with pytest.raises(RecursionError):
            future.build()


def make_pair():
    return CryptoPair(quote_ccy="USDT", base_ccy="BTC", exchange="BINANCE")


def make_future():
    return Future("BTC-USDT", make_pair(), "BINANCE", "20261225", Future.SettlementType.cash)


def pydoc_text(obj):
    import pydoc
    import re

    text = pydoc.render_doc(obj, renderer=pydoc.plaintext)
    # From 3.13 on pydoc puts a long signature one parameter a line; joined back as earlier versions show it.
    text = re.sub(r"\(\n[ |]*", "(", text)
    text = re.sub(r",\n[ |]*", ", ", text)
    return re.sub(r"\n[ |]*\)", ")", text)
