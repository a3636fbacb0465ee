"""CryptoFuture.create: reading identifiers back, the instrument cache, and class selection."""

import hashlib
import os
import pathlib
import socket
import subprocess
import sys
import textwrap
import threading
import urllib.error

import pytest

import norvane
from norvane.kestrum_utils.inibridge.inibridge import Inibridge
from norvane.kestrum_utils.priceable import futures
from norvane.kestrum_utils.priceable.futures import CryptoFuture, CryptoInvFuture, CryptoInvPerpFuture, CryptoPerpFuture

create = CryptoFuture.create


@pytest.fixture
def inst_cache():
    CryptoFuture.inst_cache.clear()
    yield CryptoFuture.inst_cache
    CryptoFuture.inst_cache.clear()


class TestIdentifierShape:
    def test_only_an_exact_str_is_read(self, inst_cache):
        class Text(str):
            pass

        for value in (5, None, Text("A.B-C.FUTURE.LINEAR.C.D")):
            with pytest.raises(TypeError, match="^Argument 'instrumentId' has incorrect type"):
                create(value)

    @pytest.mark.parametrize(
        "text, message",
        [
            ("BINANCE", "need more than 1 value to unpack"),
            ("", "need more than 1 value to unpack"),
            ("A.B", "need more than 2 values to unpack"),
            ("A.B-C.FUTURE.LINEAR.C", "need more than 5 values to unpack"),
            ("A.B-C.FUTURE.LINEAR.C.D.", "too many values to unpack (expected 6)"),
            ("A.B-C.FUTURE.LINEAR.C.2026.12.25", "too many values to unpack (expected 6)"),
            ("A.BC.FUTURE.LINEAR.C.D", "need more than 1 value to unpack"),
            ("A.B-C-D.PERP.INVERSE.C.D", "too many values to unpack (expected 2)"),
        ],
    )
    def test_unpacking_messages(self, inst_cache, text, message):
        with pytest.raises(ValueError) as error:
            create(text)
        assert str(error.value) == message
        assert inst_cache == {}

    def test_seven_parts_fail_before_the_cache_is_consulted(self, inst_cache):
        text = "A.B-C.FUTURE.LINEAR.C.D.E"
        inst_cache[text] = object()
        with pytest.raises(ValueError) as error:
            create(text)
        assert str(error.value) == "too many values to unpack (expected 6)"

    @pytest.mark.parametrize("sec_type", ["SPOT", "future", "", "PERPETUAL"])
    def test_unknown_security_types_cannot_be_built(self, inst_cache, sec_type):
        text = f"BINANCE.BTC-USDT.{sec_type}.LINEAR.USDT.20261225"
        with pytest.raises(NotImplementedError) as error:
            create(text)
        assert str(error.value) == f"{text} cannot be built"
        assert inst_cache == {}


class TestCache:
    def test_a_cached_identifier_is_returned_as_is(self, inst_cache):
        text, held = "BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20261225", object()
        inst_cache[text] = held
        assert create(text) is held and create(text, anything="ignored") is held

    def test_a_cache_that_is_not_a_plain_dict_is_asked_for_membership_then_read(self, monkeypatch):
        class Logged(dict):
            def __init__(self, *args):
                super().__init__(*args)
                self.log = []

            def __contains__(self, key):
                self.log.append(("in", key))
                return super().__contains__(key)

            def __getitem__(self, key):
                self.log.append(("get", key))
                return super().__getitem__(key)

        text = "X.Y-Z.SPOT.LINEAR.Z.D"
        logged = Logged({text: "held"})
        monkeypatch.setattr(CryptoFuture, "inst_cache", logged)
        assert create(text) == "held" and logged.log == [("in", text), ("get", text)]

    def test_the_cache_is_read_through_the_module_level_class(self, inst_cache, monkeypatch):
        other = {"X.Y-Z.SPOT.LINEAR.Z.D": "elsewhere"}
        monkeypatch.setattr(futures, "CryptoFuture", type("Other", (), {"inst_cache": other}))
        assert create("X.Y-Z.SPOT.LINEAR.Z.D") == "elsewhere"


class Recorded:
    """Stands in for one of the four classes: records its construction, builds as told."""

    made = []

    def __init__(self, kind, identifier=None, fail=None, during_build=None):
        self.kind, self.identifier, self.fail, self.during_build = kind, identifier, fail, during_build

    def __call__(self, **kwargs):
        stand = self

        class Instance:
            def build(self):
                if stand.during_build is not None:
                    stand.during_build()
                if stand.fail is not None:
                    raise stand.fail

            def __str__(self):
                return stand.identifier

        Recorded.made.append((self.kind, kwargs))
        return Instance()


@pytest.fixture
def stand_ins(monkeypatch, inst_cache):
    """The four classes replaced by recorders; every instance claims the identifier being created."""
    Recorded.made = []
    stands = {
        name: Recorded(name) for name in ("CryptoFuture", "CryptoInvFuture", "CryptoPerpFuture", "CryptoInvPerpFuture")
    }
    stands["CryptoFuture"].inst_cache = inst_cache
    for name, stand in stands.items():
        monkeypatch.setattr(futures, name, stand)
    return stands


class TestClassSelection:
    @pytest.mark.parametrize(
        "text, kind, quote",
        [
            ("OKX.BTC-USDT.FUTURE.LINEAR.USDT.20261225", "CryptoFuture", "USDT"),
            ("OKX.BTC-USD.FUTURE.INVERSE.BTC.20261225", "CryptoInvFuture", "BTC"),
            ("OKX.BTC-USDT.PERP.LINEAR.USDT.whatever", "CryptoPerpFuture", "USDT"),
            ("OKX.BTC-USD.PERP.INVERSE.BTC.UNSPECIFIED", "CryptoInvPerpFuture", "BTC"),
        ],
    )
    def test_the_class_and_its_pair_follow_the_type_fields(self, stand_ins, text, kind, quote):
        for stand in stand_ins.values():
            stand.identifier = text
        instrument = create(text)
        assert CryptoFuture.inst_cache[text] is instrument
        [(made_kind, kwargs)] = Recorded.made
        assert made_kind == kind
        pair = kwargs.pop("underl")
        # An inverse contract's pair is its coin against itself, the only pair its constructors take.
        assert (pair.base_ccy, pair.quote_ccy, pair.exchange) == ("BTC", quote, "OKX")
        assert kwargs == ({"exchange": "OKX"} if "Perp" in kind else {"expiry_date": "20261225", "exchange": "OKX"})

    @pytest.mark.parametrize(
        "text, field",
        [
            (".BTC-USDT.FUTURE.LINEAR.USDT.20261225", "exchange"),
            ("OKX.BTC-USDT.FUTURE..USDT.20261225", "contract type"),
            ("OKX.BTC-USD.FUTURE.INVERSE..20261225", "currency"),
            ("OKX.BTC-USDT.FUTURE.LINEAR.USDT.", "expiry date"),
            ("OKX.BTC-USDT.PERP.LINEAR.USDT.", "expiry date"),
        ],
    )
    def test_an_empty_field_is_refused_before_anything_is_made(self, stand_ins, text, field):
        # An empty field would drop its filter from the reference-data query.
        with pytest.raises(ValueError) as error:
            create(text)
        assert str(error.value) == f"instrument identifier {text!r} has an empty {field} field"
        assert Recorded.made == [] and CryptoFuture.inst_cache == {}

    def test_a_failed_build_caches_nothing(self, stand_ins):
        stand_ins["CryptoInvFuture"].fail = LookupError("no record")
        with pytest.raises(LookupError, match="no record"):
            create("OKX.BTC-USD.FUTURE.INVERSE.BTC.20261225")
        assert CryptoFuture.inst_cache == {}

    def test_an_instrument_naming_itself_differently_fails_the_assertion(self, stand_ins):
        stand_ins["CryptoFuture"].identifier = "OKX.BTC-USDT.FUTURE.LINEAR.USDT.20261225"
        with pytest.raises(AssertionError) as error:
            create("OKX.BTC-USDT.FUTURE.LINEAR.USD.20261225")
        assert error.value.args == ()
        assert list(CryptoFuture.inst_cache) == ["OKX.BTC-USDT.FUTURE.LINEAR.USDT.20261225"]

    def test_threads_building_one_new_identifier_all_get_the_instrument_stored_first(self, stand_ins):
        text = "OKX.BTC-USDT.FUTURE.LINEAR.USDT.20261225"
        stand_ins["CryptoFuture"].identifier = text
        all_building = threading.Barrier(8)  # every thread has missed the cache before any stores
        stand_ins["CryptoFuture"].during_build = lambda: all_building.wait(timeout=30)
        results = {}

        def caller(n):
            results[n] = create(text)

        threads = [threading.Thread(target=caller, args=(n,)) for n in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=60)
        assert len(Recorded.made) == 8 and len(results) == 8
        assert all(result is CryptoFuture.inst_cache[text] for result in results.values())


def run_optimised(code, cwd):
    """Runs ``code`` under ``python -O`` with this process's copy of the package importable."""
    package_parent = pathlib.Path(norvane.__file__).resolve().parent.parent
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(package_parent), os.environ.get("PYTHONPATH", "")]))
    return subprocess.run(
        [sys.executable, "-O", "-c", textwrap.dedent(code)],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )


ROUND_TRIPS = [
    ("BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20261225", CryptoFuture, 1),
    ("OKX.ETH-USDT.FUTURE.LINEAR.USDT.20270326", CryptoFuture, 1.0),  # contract size 0.1 is raised to 1
    ("BINANCE.BTC-USD.FUTURE.INVERSE.BTC.20261225", CryptoInvFuture, 100),
    ("DERIBIT.ETH-USD.FUTURE.INVERSE.ETH.20270625", CryptoInvFuture, 1),
    ("BYBIT.SOL-USDT.PERP.LINEAR.USDT.UNSPECIFIED", CryptoPerpFuture, 1.0),  # no contract size listed
    ("DERIBIT.BTC-USDC.PERP.LINEAR.USDC.UNSPECIFIED", CryptoPerpFuture, 1.0),
    ("BINANCE.ETH-USD.PERP.INVERSE.ETH.UNSPECIFIED", CryptoInvPerpFuture, 10),
    ("OKX.BTC-USD.PERP.INVERSE.BTC.UNSPECIFIED", CryptoInvPerpFuture, 100),
]


class TestAgainstTheService:
    @pytest.mark.parametrize("text, cls, multiplier", ROUND_TRIPS)
    def test_every_kind_round_trips_and_prices(self, project, text, cls, multiplier):
        instrument = create(text)
        assert type(instrument) is cls and str(instrument) == text and instrument._is_built
        assert CryptoFuture.inst_cache == {text: instrument}
        assert len(project.service.requests) == 1
        assert instrument._contract_multipl == multiplier and type(instrument._contract_multipl) is type(multiplier)
        exchange, symbol, _, contract_type, ccy, _ = text.split(".")
        assert instrument.contract_type == contract_type and instrument.settlement_ccy == ccy
        if contract_type == "LINEAR":
            assert instrument.calc_cash_change(2000.0, 3) == 6000.0
            assert instrument.calc_unit_commission(2000.0, True) == 2000.0 * instrument.UM_MAKER_FEE
        else:
            assert instrument.calculate_unit_margin(2000) == multiplier / 2000.0
            assert instrument.calc_cash_change(2000.0, -3) == -3 * multiplier / 2000.0
            assert instrument.calc_unit_commission(2000.0) == instrument.CM_MAKER_FEE * multiplier / 2000.0

    def test_a_second_create_returns_the_same_object_without_any_request(self, project):
        text = "BINANCE.BTC-USD.PERP.INVERSE.BTC.UNSPECIFIED"
        first = create(text)
        for cached in project.cache_dir.iterdir():
            cached.unlink()
        project.service.clear_requests()
        assert create(text) is first and create(text, cache=False) is first
        assert project.service.requests == [] and list(project.cache_dir.iterdir()) == []

    @pytest.mark.parametrize(
        "text",
        [
            "BINANCE.BTC-USDT.FUTURE.LINAER.USDT.20261225",
            "BINANCE.BTC-USD.FUTURE.QUANTO.BTC.20261225",
            "OKX.BTC-USD.FUTURE.linear.BTC.20261225",
            "BINANCE.BTC-USDT.PERP.linear.USDT.UNSPECIFIED",
        ],
    )
    def test_a_contract_word_neither_linear_nor_inverse_is_refused_before_any_request(self, project, text):
        # Taken for an inverse contract, a mistyped LINEAR asked for another product (and cached it).
        with pytest.raises(ValueError) as error:
            create(text)
        word = text.split(".")[3]
        assert str(error.value) == (
            f"instrument identifier {text!r} has the contract type {word!r}, which is neither LINEAR nor INVERSE"
        )
        assert LAYOUT in error.value.__notes__[0]
        assert project.service.requests == [] and CryptoFuture.inst_cache == {}
        assert not project.cache_dir.exists() or list(project.cache_dir.iterdir()) == []

    @pytest.mark.parametrize(
        "text, own",
        [
            ("BINANCE.BTC-USDT.FUTURE.LINEAR.BTC.20261225", "BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20261225"),
            ("BINANCE.ETH-USD.PERP.INVERSE.ETH.20261225", "BINANCE.ETH-USD.PERP.INVERSE.ETH.UNSPECIFIED"),
        ],
    )
    def test_a_differently_spelled_identifier_is_built_then_refused(self, project, text, own):
        with pytest.raises(AssertionError):
            create(text)
        assert list(CryptoFuture.inst_cache) == [own]
        with pytest.raises(AssertionError):  # still a miss: only the instrument's own spelling is a key
            create(text)

    def test_a_contract_without_reference_data_is_not_cached(self, project, monkeypatch):
        monkeypatch.setattr(CryptoFuture, "RETRY_TIMES", 1)
        with pytest.raises(IndexError):
            create("BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20991231")
        assert CryptoFuture.inst_cache == {}

    def test_under_optimisation_the_mismatch_surfaces_as_a_missing_key(self, project):
        result = run_optimised(
            """
            from norvane.kestrum_utils.priceable.futures import CryptoFuture
            good = "BINANCE.BTC-USD.FUTURE.INVERSE.BTC.20270326"
            print(CryptoFuture.create(good) is CryptoFuture.create(good))
            try:
                CryptoFuture.create("BINANCE.BTC-USD.FUTURE.INVERSE.USD.20270326")
            except KeyError as error:
                print("KeyError", error.args)
            print(sorted(CryptoFuture.inst_cache))
        """,
            cwd=project.root,
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == [
            "True",
            "KeyError ('BINANCE.BTC-USD.FUTURE.INVERSE.USD.20270326',)",
            "['BINANCE.BTC-USD.FUTURE.INVERSE.BTC.20270326']",
        ]


LAYOUT = "EXCHANGE.BASE-QUOTE.FUTURE|PERP.LINEAR|INVERSE.CCY.EXPIRY"
NO_RECORD_ID = "BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20991231"
NO_RECORD_QUERY = "?symbol=BTC-USDT&exchange=BINANCE&security_type=FUTURE&contract_type=LINEAR&expiry_date=20991231"


def closed_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.mark.parametrize(
    "text, service, kind, message, told",
    [
        ("A.B", "up", ValueError, "need more than 2 values to unpack", ["given 'A.B'", LAYOUT]),
        ("OKX.BTCUSDT.FUTURE.LINEAR.USDT.20261225", "up", ValueError, "need more than 1 value to unpack", [LAYOUT]),
        (
            "OKX.BTC-USDT.future.LINEAR.USDT.20261225",
            "up",
            NotImplementedError,
            "OKX.BTC-USDT.future.LINEAR.USDT.20261225 cannot be built",
            [LAYOUT, "upper case"],
        ),
        (
            ".BTC-USDT.FUTURE.LINEAR.USDT.20261225",
            "up",
            ValueError,
            "instrument identifier '.BTC-USDT.FUTURE.LINEAR.USDT.20261225' has an empty exchange field",
            [LAYOUT],
        ),
        (
            "BINANCE.BTC-USDT.FUTURE.LINEAR.BTC.20261225",
            "up",
            AssertionError,
            "",
            [
                "asked for 'BINANCE.BTC-USDT.FUTURE.LINEAR.BTC.20261225'",
                "own identifier 'BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20261225'",
            ],
        ),
        (
            NO_RECORD_ID,
            "up",
            IndexError,
            "list index out of range",
            [
                f"No reference data for {NO_RECORD_ID}: the lookup of ",
                f"{NO_RECORD_QUERY} failed 2 times:\n",
                "  attempts 1-2: Exception: expiry date 20991231 not found for symbol=BTC-USDT exchange=BINANCE \n",
                "The service answered, but lists no record matching the request",
            ],
        ),
        (
            NO_RECORD_ID,
            "down",
            IndexError,
            "list index out of range",
            [
                f"{NO_RECORD_QUERY} failed 2 times:\n",
                "  attempts 1-2: URLError: <urlopen error [Errno 111] Connection "
                "refused>\nThe service never answered: is the reference-data service at http://127.0.0.1:",
            ],
        ),
        (
            NO_RECORD_ID,
            "cached empty",
            IndexError,
            "list index out of range",
            [f"{NO_RECORD_QUERY} was answered from the cache file ", "which holds no record; delete that file"],
        ),
        (
            NO_RECORD_ID,
            "stalled",
            IndexError,
            "list index out of range",
            [
                f"{NO_RECORD_QUERY} failed 2 times:\n",
                "  attempts 1-2: TimeoutError: no complete answer within "
                "InstrumentInfoTimeout (0.3 s)\nThe service never answered.",
            ],
        ),
        # Outcomes that differ from one attempt to the next (the later one sorting first) are told one by one.
        (
            NO_RECORD_ID,
            "failing differently",
            IndexError,
            "list index out of range",
            [f"{NO_RECORD_QUERY} failed 2 times:\n", "  attempt 1: OSError: zz down\n  attempt 2: OSError: aa down\n"],
        ),
        # A refused attempt, then an answer (a server error): the service did answer, so it is not said to be down.
        (
            NO_RECORD_ID,
            "refused, then 500",
            IndexError,
            "list index out of range",
            [
                f"{NO_RECORD_QUERY} failed 2 times:\n",
                "  attempt 1: URLError: <urlopen error [Errno 111] Connection "
                "refused>\n  attempt 2: HTTPError: HTTP Error 500: Internal Server Error\n"
                "The service answered, but not with a usable record.",
            ],
        ),
        # Another lookup's account, left on this thread by an empty answer, must not be told for this one.
        (
            NO_RECORD_ID,
            "replaced lookup",
            IndexError,
            "list index out of range",
            [f"No reference data for {NO_RECORD_ID}: CryptoFuture.get_instrument_info answered no record."],
        ),
    ],
)
def test_errors_of_create_carry_a_note_saying_what_to_do(project, monkeypatch, text, service, kind, message, told):
    monkeypatch.setattr(CryptoFuture, "RETRY_TIMES", 2)
    url = project.service.url
    if service == "down":
        url = f"http://127.0.0.1:{closed_port()}/instruments"
        project.ini.write_text(
            f"[data_related]\nInstrumentInfoUrl = {url}\nLOCAL_DATA_CACHE_DIR = {project.cache_dir}\n"
        )
        Inibridge.reset()
    elif service == "cached empty":
        project.cache_dir.mkdir()
        name = hashlib.sha256((url + NO_RECORD_QUERY).encode()).hexdigest() + ".json"
        (project.cache_dir / name).write_text("[]")
    elif service == "stalled":
        project.ini.write_text(project.ini.read_text() + "InstrumentInfoTimeout = 0.3\n")
        Inibridge.reset()
        project.service.set_fault("stall")
    elif service == "failing differently":
        outcomes = iter(["zz down", "aa down"])
        monkeypatch.setattr(
            futures.urllib.request, "urlopen", lambda address: (_ for _ in ()).throw(OSError(next(outcomes)))
        )
    elif service == "refused, then 500":
        outcomes = iter(
            [
                urllib.error.URLError(ConnectionRefusedError(111, "Connection refused")),
                urllib.error.HTTPError(url + NO_RECORD_QUERY, 500, "Internal Server Error", {}, None),
            ]
        )
        monkeypatch.setattr(futures.urllib.request, "urlopen", lambda address: (_ for _ in ()).throw(next(outcomes)))
    elif service == "replaced lookup":
        assert CryptoFuture.get_instrument_info(symbol="NOTHING") == []
        monkeypatch.setattr(CryptoFuture, "get_instrument_info", staticmethod(lambda **_: []))
    with pytest.raises(kind) as error:
        create(text)
    assert type(error.value) is kind and str(error.value) == message
    [note] = error.value.__notes__
    assert [fragment for fragment in told if fragment not in note] == []
    if kind is IndexError and service != "replaced lookup":
        assert url + NO_RECORD_QUERY in note


def test_an_interrupt_while_a_note_is_composed_is_raised_in_place_of_the_error(project, monkeypatch):
    class Interrupting(CryptoFuture):
        def __str__(self):  # the note names the instrument
            raise KeyboardInterrupt

    monkeypatch.setattr(CryptoFuture, "get_instrument_info", staticmethod(lambda **_: []))
    future = Interrupting("BTC-USDT", "20261225", "BINANCE")
    with pytest.raises(KeyboardInterrupt) as error:
        future.build()
    assert type(error.value.__context__) is IndexError
