"""Hostile arguments for every public entry point of the three native modules.

Each entry point gets random argument objects: str subclasses, None, bools, ints, huge ints, floats with
NaN and infinities, objects whose __float__, __bool__, __eq__, __str__, __format__, __index__ or
__class__ raise or answer nonsense, objects whose classes are called "str" or "CryptoPair", and
reference records made of the same. Only the exceptions the modules document come out (or the one the
hostile object raised, or pandas' own in the samplers): never a crash, a SystemError or a MemoryError,
and a failed create leaves the instrument cache as it was.
"""

import configparser
import decimal
import pathlib

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from norvane.kestrum_data.utility.timeseries.samplers import ExistingTimestampSampler, TimeSampler
from norvane.kestrum_utils.inibridge.inibridge import Inibridge
from norvane.kestrum_utils.priceable.enums import SettlementType
from norvane.kestrum_utils.priceable.futures import (
    CryptoFuture,
    CryptoInvFuture,
    CryptoInvPerpFuture,
    CryptoPerpFuture,
    Future,
)
from norvane.kestrum_utils.priceable.spots import CryptoPair

DOCUMENTED = (
    TypeError,
    ValueError,
    AttributeError,
    OverflowError,
    ZeroDivisionError,
    KeyError,
    IndexError,
    NotImplementedError,
    RuntimeError,
)
FEW = settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


class Boom(Exception):
    """Raised by the hostile objects themselves."""


def _boom(*args, **kwargs):
    raise Boom("hostile")


def _with(name, **members):
    return type(name, (), members)


FloatRaises = _with("FloatRaises", __float__=_boom)
BoolRaises = _with("BoolRaises", __bool__=_boom)
EqRaises = _with("EqRaises", __eq__=_boom, __ne__=_boom, __lt__=_boom, __gt__=_boom, __hash__=object.__hash__)
StrRaises = _with("StrRaises", __str__=_boom, __repr__=_boom)
FormatRaises = _with("FormatRaises", __format__=_boom)
IndexRaises = _with("IndexRaises", __index__=_boom)
ClassRaises = _with("ClassRaises", __class__=property(_boom))
ArithmeticRaises = _with(
    "ArithmeticRaises",
    **{f"__{op}__": _boom for op in ("mul", "rmul", "truediv", "rtruediv", "add", "radd", "lt", "gt")},
)
AttributesRaise = _with("AttributesRaise", __getattr__=_boom)
FloatGivesText = _with("FloatGivesText", __float__=lambda self: "1.5")
BoolGivesTwo = _with("BoolGivesTwo", __bool__=lambda self: 2)
FormatGivesInt = _with("FormatGivesInt", __format__=lambda self, spec: 5)
ClassGivesStr = _with("ClassGivesStr", __class__=property(lambda self: str))
NamedStr = type("str", (), {})
NamedCryptoPair = type(
    "CryptoPair",
    (),
    {
        "exchange": "BINANCE",
        "symbol": "A-B",
        "base_ccy": "A",
        "quote_ccy": "B",
        "asset": "A",
        "ccy": "B",
        "_is_built": True,
    },
)
TextNamedStr = type("str", (str,), {})


class Text(str):
    """A str subclass: refused where an exact str is demanded."""


class EqRaisingText(str):
    __eq__ = _boom
    __ne__ = _boom
    __hash__ = str.__hash__


class NameRaisesOnCompare:
    """An object whose class name compares by raising."""

    @property
    def __class__(self):
        return _with("Meta", __name__=EqRaises())()


class Everything:
    """Answers every attribute with itself (a pair, a number, a flag), and formats as a text."""

    def __getattr__(self, name):
        return self

    def __format__(self, spec):
        return "everything"


class Recipe:
    """How to make one hostile object. Hypothesis draws recipes, since it inspects what it draws (its class,
    its representation) and the objects themselves would already raise there; tests make them."""

    def __init__(self, name, make):
        self.name, self.make = name, make

    def __repr__(self):
        return self.name


def made(value):
    """The drawn value with every recipe in it made into its object."""
    if isinstance(value, Recipe):
        return value.make()
    if type(value) in (tuple, list):
        return type(value)(made(item) for item in value)
    if type(value) is dict:
        return {key: made(item) for key, item in value.items()}
    return value


def recipes(*makers):
    return [
        Recipe(getattr(make, "__name__", "object"), make) if isinstance(make, type) else Recipe(*make)
        for make in makers
    ]


HOSTILE = recipes(
    FloatRaises,
    BoolRaises,
    EqRaises,
    StrRaises,
    FormatRaises,
    IndexRaises,
    ClassRaises,
    ArithmeticRaises,
    AttributesRaise,
    FloatGivesText,
    BoolGivesTwo,
    FormatGivesInt,
    ClassGivesStr,
    NamedStr,
    NamedCryptoPair,
    NameRaisesOnCompare,
    Everything,
    object,
    ("text of a class named str", lambda: TextNamedStr("BTC-USDT")),
    ("dotted text of a class named str", lambda: TextNamedStr("BTC.USDT")),
    ("str subclass", lambda: Text("BTC-USDT")),
    ("text whose == raises", lambda: EqRaisingText("BTC-USDT")),
    ("Decimal sNaN", lambda: decimal.Decimal("sNaN")),
    ("numpy NaN", lambda: np.float64("nan")),
    ("numpy int", lambda: np.int64(7)),
    ("pd.NA", lambda: pd.NA),
    ("pd.NaT", lambda: pd.NaT),
    ("complex", lambda: 1j),
    ("list", lambda: [1.0]),
    ("dict", lambda: {"a": 1}),
    ("pair", lambda: CryptoPair(quote_ccy="USDT", base_ccy="BTC", exchange="BINANCE")),
    ("coin", lambda: CryptoPair(quote_ccy="ETH", base_ccy="ETH", exchange="OKX")),
    ("pair of currencies whose == raises", lambda: CryptoPair(quote_ccy=EqRaises(), base_ccy=EqRaises())),
    ("pair of int currencies", lambda: CryptoPair(quote_ccy=5, base_ccy=5, exchange=None)),
)
ALPHABET = st.sampled_from("ABC-._ &?=/%\x00 \t\u00e9\u20ac\U0001d518\ud800") | st.characters()
texts = st.text(ALPHABET, max_size=24)
huge_ints = st.integers(min_value=2**1024, max_value=2**1100) | st.integers(min_value=-(2**1100), max_value=-(2**1024))
hostile = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    huge_ints,
    st.floats(),
    texts,
    texts.map(Text),
    st.binary(max_size=8),
    st.fractions(),
    st.decimals(),
    st.sampled_from(HOSTILE),
)
# Plausible values, which carry calls past their first checks to meet the hostile ones deeper in.
plain_texts = st.sampled_from(
    (
        "BTC-USDT",
        "ETH-ETH",
        "BINANCE",
        "OKX",
        "20261225",
        "UNSPECIFIED",
        "FUTURE",
        "PERP",
        "LINEAR",
        "INVERSE",
        "USDT",
        "",
    )
)
numbers = st.floats(allow_nan=True, allow_infinity=True) | st.integers(-(10**6), 10**6) | huge_ints | st.booleans()


def argument(*plausible):
    """A plausible value or a hostile one."""
    return st.one_of(*plausible, hostile)


@st.composite
def arguments(draw, *positions):
    """Plausible arguments, one position for each strategy, with up to two of them made hostile: most calls
    get past their first checks and meet the hostile value deeper in."""
    values = [draw(position) for position in positions]
    for position in draw(st.sets(st.integers(0, len(values) - 1), max_size=2)):
        values[position] = draw(hostile)
    return tuple(values)


def pairs():
    return st.sampled_from([("USDT", "BTC"), ("ETH", "ETH"), ("USD", "USD")]).map(
        lambda ccys: CryptoPair(quote_ccy=ccys[0], base_ccy=ccys[1], exchange="BINANCE")
    )


underlyings = pairs() | plain_texts
settlement_types = st.sampled_from(list(SettlementType))


# What hostile objects raise themselves: their own exception, and decimal's signalling NaN in comparisons.
OWN = (Boom, decimal.DecimalException)


def run(call, *extra_allowed):
    """The call's result and exception; fails on any exception that is not documented for it."""
    try:
        result = call()
    except (*DOCUMENTED, *OWN, *extra_allowed) as error:
        event(type(error).__name__)
        return None, error
    event("returned")
    return result, None


# Records the build hook receives, for the entry points that build -------------------------------------

RECORD = {"price_tick_size": 0.5, "contract_size": 10, "limit_min_quantity": 0.001, "expiry_date": "20261225"}
records = st.one_of(
    st.just([RECORD]),
    st.just([]),
    st.just({}),
    hostile,
    st.lists(st.dictionaries(st.sampled_from(sorted(RECORD)), argument(numbers, texts), max_size=4), max_size=2),
)


@pytest.fixture
def lookup(monkeypatch):
    """The reference-data lookup of every build, answering what the test puts in `answers`."""
    answers = []

    def answer(**query):
        return answers[-1]

    monkeypatch.setattr(CryptoFuture, "get_instrument_info", staticmethod(answer))
    return answers


# Futures: constructors and static methods ---------------------------------------------------------------

CONSTRUCTIONS = {
    "Future": (
        lambda a: Future(*a),
        (plain_texts, underlyings, plain_texts, plain_texts | st.integers(), settlement_types),
    ),
    "CryptoFuture": (lambda a: CryptoFuture(*a), (underlyings, plain_texts, plain_texts)),
    "CryptoFuture keywords": (
        lambda a: CryptoFuture(
            a[0], "20261225", "BINANCE", contract_type=a[1], settlement_type=a[2], symbol=a[3], other=a[4]
        ),
        (underlyings, plain_texts, settlement_types, plain_texts, numbers),
    ),
    "CryptoInvFuture": (
        lambda a: CryptoInvFuture(*a[:3], symbol=a[3]),
        (underlyings, plain_texts, plain_texts, plain_texts),
    ),
    "CryptoPerpFuture": (lambda a: CryptoPerpFuture(*a[:2], symbol=a[2]), (underlyings, plain_texts, plain_texts)),
    "CryptoInvPerpFuture": (lambda a: CryptoInvPerpFuture(*a), (underlyings, plain_texts)),
    "is_underl_supported": (lambda a: CryptoPerpFuture.is_underl_supported(*a), (underlyings,)),
    "create_by_underl": (lambda a: CryptoPerpFuture.create_by_underl(*a), (underlyings, plain_texts | st.none())),
    **{
        f"{cls.__name__}.get_instrument_id": (lambda a, cls=cls: cls.get_instrument_id(*a), (plain_texts,) * 6)
        for cls in (CryptoFuture, CryptoInvFuture, CryptoPerpFuture, CryptoInvPerpFuture)
    },
}


@pytest.mark.parametrize("name", sorted(CONSTRUCTIONS))
@FEW
@given(data=st.data())
def test_constructors_and_static_methods_raise_only_what_they_document(name, data, lookup):
    call, strategies = CONSTRUCTIONS[name]
    lookup.append(made(data.draw(records)))
    drawn = made(data.draw(arguments(*strategies)))
    result, error = run(lambda: call(drawn))
    if name == "is_underl_supported" and error is None:
        assert type(result) is bool


# Futures: methods of constructed instruments ------------------------------------------------------------


def linear():
    return CryptoFuture(CryptoPair(quote_ccy="USDT", base_ccy="BTC", exchange="BINANCE"), "20261225", "BINANCE")


def inverse():
    return CryptoInvFuture(CryptoPair(quote_ccy="BTC", base_ccy="BTC", exchange="OKX"), "20261225", "OKX")


METHODS = {
    "calculate_unit_margin": (lambda f, a: f.calculate_unit_margin(a[0]), 1),
    "calc_unit_commission": (lambda f, a: f.calc_unit_commission(a[0], a[1]), 2),
    "calc_unit_commission by keyword": (lambda f, a: f.calc_unit_commission(price=a[0], is_maker=a[1]), 2),
    "calc_cash_change": (lambda f, a: f.calc_cash_change(a[0], a[1]), 2),
    "settlement_ccy": (lambda f, a: f.settlement_ccy, 0),
    "contract_type": (lambda f, a: f.contract_type, 0),
    "quote_ccy": (lambda f, a: f.quote_ccy, 0),
    "build": (lambda f, a: f.build(), 0),
    "str": (lambda f, a: str(f), 0),
}
# Attributes the methods read, each replaceable on the instance by a hostile value.
READ_ATTRIBUTES = (
    "UM_MAKER_FEE",
    "UM_TAKER_FEE",
    "CM_MAKER_FEE",
    "CM_TAKER_FEE",
    "_contract_multipl",
    "_underl",
    "_symbol",
    "_exchange",
    "_instrument_type",
    "_contract_type",
    "_expiry_date",
    "_settlement_ccy",
)


@pytest.mark.parametrize("kind", [linear, inverse], ids=["linear", "inverse"])
@pytest.mark.parametrize("name", sorted(METHODS))
@FEW
@given(data=st.data())
def test_methods_raise_only_what_they_document(kind, name, data, lookup):
    call, arity = METHODS[name]
    future = kind()
    future._contract_multipl = 100
    for attribute in data.draw(st.sets(st.sampled_from(READ_ATTRIBUTES), max_size=3)):
        setattr(future, attribute, made(data.draw(argument(numbers))))
    lookup.append(made(data.draw(records)))
    drawn = made(data.draw(arguments(*[numbers] * arity))) if arity else ()
    run(lambda: call(future, drawn))


@FEW
@given(self_object=hostile, price=argument(numbers), is_maker=hostile)
def test_methods_called_through_the_class_on_foreign_objects(self_object, price, is_maker):
    self_object, price, is_maker = made((self_object, price, is_maker))
    for method in (CryptoFuture.calculate_unit_margin, CryptoInvFuture.calculate_unit_margin):
        run(lambda: method(self_object, price))
    for method in (CryptoFuture.calc_unit_commission, CryptoInvFuture.calc_unit_commission):
        run(lambda: method(self_object, price, is_maker))
    for method in (Future.__init__, CryptoFuture.__init__, CryptoInvFuture.__init__):
        run(lambda: method(self_object, "BTC-USDT", "20261225", "BINANCE"))
    run(lambda: Future.build(self_object))
    run(lambda: CryptoFuture._build(self_object))


# Futures: the factory -------------------------------------------------------------------------------------

FIELDS = (
    "BINANCE",
    "OKX",
    "BTC-USDT",
    "BTC-USD",
    "ETH-ETH",
    "BTC",
    "FUTURE",
    "PERP",
    "SPOT",
    "LINEAR",
    "INVERSE",
    "USDT",
    "USD",
    "UNSPECIFIED",
    "20261225",
    "",
)


def field(*usual):
    return st.one_of(st.sampled_from(usual), st.sampled_from(usual), texts)


# Six fields, each usually one that the factory knows and otherwise any text; or any number of fields.
identifiers = st.one_of(
    st.tuples(
        field("BINANCE", "OKX", "DERIBIT", ""),
        field("BTC-USDT", "BTC-USD", "ETH-ETH", "ETH-USDC") | st.tuples(texts, texts).map("-".join),
        field("FUTURE", "PERP", "FUTURE", "PERP", "SPOT"),
        field("LINEAR", "INVERSE", "linear"),
        field("USDT", "USD", "BTC"),
        field("20261225", "UNSPECIFIED", ""),
    ).map(".".join),
    st.lists(st.sampled_from(FIELDS) | texts, min_size=1, max_size=8).map(".".join),
    texts,
)


def assert_create_behaves(instrument_id):
    """create's outcome and what it left in the instrument cache."""
    cache = CryptoFuture.inst_cache
    before = dict(cache)
    result, error = run(lambda: CryptoFuture.create(instrument_id, hostile_keyword=Boom()), AssertionError)
    changed = {key for key, value in cache.items() if before.get(key) is not value}
    if error is None:
        assert result is cache[instrument_id]
        assert changed <= {instrument_id} and (instrument_id in before or str(result) == instrument_id)
    elif isinstance(error, AssertionError):
        # The instrument built is kept under its own identifier, which differs from the one asked for.
        (own,) = changed
        assert own != instrument_id and str(cache[own]) == own
    else:
        assert cache == before and all(cache[key] is value for key, value in before.items())


@FEW
@given(instrument_id=identifiers, answer=records)
def test_create_reads_any_identifier_without_damage(instrument_id, answer, lookup):
    cache = CryptoFuture.inst_cache
    cache.clear()
    lookup.append(made(answer))
    try:
        assert_create_behaves(instrument_id)
    finally:
        cache.clear()


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(instrument_id=identifiers)
def test_create_against_a_service_without_such_a_record(instrument_id, project, monkeypatch):
    monkeypatch.setattr(CryptoFuture, "RETRY_TIMES", 1)
    cache = CryptoFuture.inst_cache
    kept = "BINANCE.BTC-USDT.PERP.LINEAR.USDT.UNSPECIFIED"
    cache.clear()
    cache[kept] = object()
    try:
        assert_create_behaves(instrument_id)
    finally:
        cache.clear()
    assert not list(project.cache_dir.glob("*.tmp"))


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_instrument_information_lookup_with_hostile_queries(data, project, monkeypatch):
    monkeypatch.setattr(CryptoFuture, "RETRY_TIMES", 1)
    drawn = made(data.draw(arguments(*[st.none() | texts | plain_texts] * 6, st.booleans())))
    found, error = run(lambda: CryptoFuture.get_instrument_info(*drawn))
    if error is None:
        assert type(found) is list
    assert not list(project.cache_dir.glob("*.tmp"))


# Configuration loader -----------------------------------------------------------------------------------

ExistsRaises = _with("ExistsRaises", exists=_boom)
ExistsGivesBoolRaises = _with("ExistsGivesBoolRaises", exists=lambda self: BoolRaises())
AbsentWithRaisingText = _with("AbsentWithRaisingText", exists=lambda self: False, __str__=_boom)
PresentButNoPath = _with("PresentButNoPath", exists=lambda self: True)
paths = st.one_of(
    hostile,
    st.sampled_from(recipes(ExistsRaises, ExistsGivesBoolRaises, AbsentWithRaisingText, PresentButNoPath)),
    texts.map(pathlib.Path),
    st.just(pathlib.Path("/")),
    st.just(pathlib.Path("/dev/null")),
)


@pytest.fixture
def loader(project):
    return Inibridge()


@FEW
@given(config_path=paths)
def test_set_config_file_with_hostile_paths(config_path, loader):
    config_path = made(config_path)
    before = {section: dict(loader.config[section]) for section in loader.config.sections()}
    _, error = run(lambda: loader.set_config_file(config_path), Exception)
    # The loader's own complaint is a plain Exception; a file that is there but malformed fails as the
    # parser fails, possibly part-way through.
    assert type(error) in (type(None), Exception) or isinstance(error, (*DOCUMENTED, *OWN, configparser.Error))
    if error is not None and not isinstance(error, configparser.Error):
        after = {section: dict(loader.config[section]) for section in loader.config.sections()}
        assert after == before
    assert loader.config is loader._raw_config_parser


@FEW
@given(self_object=hostile)
def test_loader_members_called_through_the_class_on_foreign_objects(self_object, project):
    self_object = made(self_object)
    cls = Inibridge.__wrapped__
    run(lambda: cls.__init__(self_object), Exception)
    run(lambda: cls.set_config_file(self_object, pathlib.Path("/nonexistent")), Exception)
    run(lambda: cls.config.fget(self_object))


# Samplers: construction, representation and tables that are not tables ---------------------------------


def pandas_own(error):
    return type(error).__module__.split(".")[0] == "pandas"


ShapeRaises = _with("ShapeRaises", shape=property(_boom))
FakeFrame = _with("FakeFrame", shape=(3, 1), copy=lambda self: self, index=[1, 2, 3], reset_index=_boom)
frames = st.sampled_from(
    recipes(
        ("one row", lambda: pd.DataFrame({"price": [1.0]}, index=pd.DatetimeIndex(["2024-01-01"], name="ts"))),
        (
            "three rows",
            lambda: pd.DataFrame(
                {"price": [1.0, 2.0, 3.0]}, index=pd.date_range("2024-01-01", periods=3, freq="7s", name="ts")
            ),
        ),
        ShapeRaises,
        FakeFrame,
    )
)
windows = st.sampled_from(("1min", pd.Timedelta("1s"), "1W", None))
method_names = st.sampled_from(("first", "last", "count"))


@pytest.mark.filterwarnings("ignore:Passing an integer to Period")  # pandas' own, for an int window
@FEW
@given(drawn=arguments(windows, method_names, frames, numbers))
def test_samplers_with_hostile_windows_names_and_tables(drawn):
    window, func_name, table, extra = made(drawn)
    base = TimeSampler(window)
    run(lambda: repr(base))
    run(lambda: base(table))
    sampler = ExistingTimestampSampler(func_name=func_name, window=window, extra=extra)
    run(lambda: repr(sampler))
    try:
        sampler(table)
        event("sampled")
    except (*DOCUMENTED, *OWN) as error:
        event(f"sampling: {type(error).__name__}")
    except Exception as error:  # noqa: BLE001 - pandas' own errors pass through unchanged
        assert pandas_own(error), repr(error)
    run(lambda: ExistingTimestampSampler(window=window, extra=extra))


# The function objects themselves --------------------------------------------------------------------------

RENAMED = {  # a function not yet introspected in a fresh interpreter, and how it is renamed first
    "CryptoFuture.get_instrument_id": ("__name__", "'\\ud800'"),
    "CryptoInvFuture.get_instrument_id": ("__module__", "'\\udc80'"),
    "CryptoPerpFuture.get_instrument_id": ("__qualname__", "'\\ud800'"),
    "CryptoInvPerpFuture.get_instrument_id": ("__name__", "type('Name', (str,), {})('renamed')"),
    "CryptoFuture.create": ("__name__", "'a\\x00b'"),
}


def test_renamed_functions_still_describe_themselves():
    # Their code objects are made on first request, so each function is renamed in a fresh interpreter
    # before anything asks for it; the code keeps the names the function was made with.
    import subprocess
    import sys
    import textwrap

    import norvane

    script = textwrap.dedent("""
        import inspect
        from norvane.kestrum_utils.priceable.futures import *
        for qualname, (attribute, value) in RENAMED.items():
            owner, name = qualname.split(".")
            function = inspect.getattr_static(globals()[owner], name).__func__
            setattr(function, attribute, eval(value))
            code = function.__code__
            print(code.co_name, code.co_filename, inspect.signature(function), sep="|")
            repr(function), function.__reduce__()
    """)
    result = subprocess.run(
        [sys.executable, "-c", f"RENAMED = {RENAMED!r}\n" + script],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=pathlib.Path(norvane.__file__).resolve().parent.parent,
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    module = "norvane.kestrum_utils.priceable.futures"
    assert [line.split("|")[:2] for line in lines] == [[qualname.split(".")[1], module] for qualname in RENAMED]
    assert lines[0].split("|")[2] == (
        "(symbol: 'str', instrument_type: 'Instrument.INSTRUMENT_TYPE', contract_type: "
        "'Instrument.CONTRACT_TYPE', expiry_date: 'str', ccy: 'Instrument.CURRENCY', "
        "exchange: 'Instrument.EXCHANGE')"
    )


def native_functions():
    """Every native function of the three modules, with where it is held."""
    import inspect

    found = []
    for cls in (
        Future,
        CryptoFuture,
        CryptoInvFuture,
        CryptoPerpFuture,
        CryptoInvPerpFuture,
        TimeSampler,
        ExistingTimestampSampler,
        Inibridge.__wrapped__,
    ):
        for name, member in vars(cls).items():
            member = inspect.getattr_static(cls, name)
            function = getattr(member, "__func__", None) or getattr(member, "fget", None) or member
            if type(function).__name__ == "native_function":
                found.append(function)
    return found


FUNCTIONS = native_functions()
ATTRIBUTE_VALUES = {
    "__name__": texts | texts.map(Text) | hostile,
    "__qualname__": texts | texts.map(Text) | hostile,
    "__module__": texts | texts.map(Text) | hostile,
    "__doc__": hostile,
    "__defaults__": st.lists(hostile, max_size=9).map(tuple) | hostile,
    "__annotations__": st.dictionaries(texts, hostile, max_size=3) | hostile,
}


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(function=st.sampled_from(FUNCTIONS), attribute=st.sampled_from(sorted(ATTRIBUTE_VALUES)), data=st.data())
def test_function_attributes_take_hostile_values_and_calls_still_bind(function, attribute, data, project, monkeypatch):
    import inspect

    monkeypatch.setattr(CryptoFuture, "RETRY_TIMES", 0)  # lookups and builds stay off the network

    value = made(data.draw(ATTRIBUTE_VALUES[attribute]))
    before = getattr(function, attribute)
    try:
        run(lambda: setattr(function, attribute, value))
        run(lambda: (repr(function), function.__code__, function.__reduce__()))
        run(lambda: inspect.signature(function))
        arguments = made(data.draw(st.lists(argument(plain_texts, numbers), max_size=4)))
        # The loader's own complaint about a missing file is a plain Exception.
        loader = Inibridge.__wrapped__
        loader_complaint = (Exception,) if function in (loader.__init__, loader.set_config_file) else ()
        run(lambda: function(*arguments), *loader_complaint)
    finally:
        setattr(function, attribute, before)
