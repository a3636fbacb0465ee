"""Builds against a reference-data service that misbehaves.

Whatever the service does, each attempt is reported with its own line, the attempts stop at
`CryptoFuture.RETRY_TIMES`, nothing reaches the cache directory (not even a temporary file), and the build
fails on the empty answer with IndexError. A fault that clears in time costs only the attempts it spoiled.
"""

import gc
import json
import logging
import os
import socket
import threading
import time

import pytest

from norvane.devtools.refdata_service.server import FAULT_KINDS, parse_query, reply_document, select_records
from norvane.kestrum_utils.inibridge.inibridge import Inibridge
from norvane.kestrum_utils.priceable import futures
from norvane.kestrum_utils.priceable.futures import CryptoFuture, CryptoPerpFuture

TIMEOUT = 0.4  # the caller's default socket time-out
SLOW = 1.5  # a reply delay well beyond it

DATED_ID = "BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20261225"
DATED_TARGET = (
    "/instruments?symbol=BTC-USDT&exchange=BINANCE&security_type=FUTURE&contract_type=LINEAR&expiry_date=20261225"
)
PERP_TARGET = "/instruments?symbol=BTC-USDT&exchange=BINANCE&security_type=PERP&contract_type=LINEAR"
REDIRECT_LOOP_TEXT = (
    "HTTP Error 302: The HTTP server returned a redirect error that would lead to an infinite "
    "loop.\nThe last 30x error message was:\nFound"
)
NO_EXPIRY = {"symbol": "BTC-USDT", "exchange": "BINANCE", "price_tick_size": 0.1, "limit_min_quantity": 0.001}


def truncated_body_text(service, target):
    body = json.dumps(reply_document(select_records(service.records, parse_query(target)[1]))).encode()
    return f"IncompleteRead({len(body) // 2} bytes read, {len(body) - len(body) // 2} more expected)"


def malformed_default_text():
    try:
        json.loads(FAULT_KINDS["malformed"]["body"][1])
    except ValueError as error:
        return str(error)


# (kind, options, what one spoiled attempt reports, requests the attempt makes). What it reports is
# ("print", status) for the 2xx line on standard output, ("log", text) for the logged error; a callable text
# is given the service and the request target.
FAULTS = [
    pytest.param("status", {"code": 500}, ("log", "HTTP Error 500: Internal Server Error"), 1, id="500"),
    pytest.param("status", {"code": 502}, ("log", "HTTP Error 502: Bad Gateway"), 1, id="502"),
    pytest.param("status", {"code": 503}, ("log", "HTTP Error 503: Service Unavailable"), 1, id="503"),
    pytest.param("status", {"code": 504}, ("log", "HTTP Error 504: Gateway Timeout"), 1, id="504"),
    pytest.param("status", {"code": 429}, ("log", "HTTP Error 429: Too Many Requests"), 1, id="429"),
    pytest.param("status", {"code": 304}, ("log", "HTTP Error 304: Not Modified"), 1, id="304"),
    pytest.param("status", {"code": 204}, ("print", 204), 1, id="204"),
    pytest.param("status", {"code": 202}, ("print", 202), 1, id="202"),
    pytest.param("slow", {"delay": SLOW}, ("log", "timed out"), 1, id="timeout"),
    pytest.param("drop", {}, ("log", "Remote end closed connection without response"), 1, id="drop"),
    pytest.param("partial", {}, ("log", truncated_body_text), 1, id="partial"),
    pytest.param("redirect_loop", {}, ("log", REDIRECT_LOOP_TEXT), 5, id="redirect-loop"),
    pytest.param("malformed", {}, ("log", malformed_default_text()), 1, id="truncated-json"),
    pytest.param("malformed", {"body": ""}, ("log", "Expecting value: line 1 column 1 (char 0)"), 1, id="empty-body"),
    pytest.param(
        "malformed",
        {"body": "<html>busy</html>"},
        ("log", "Expecting value: line 1 column 1 (char 0)"),
        1,
        id="html-body",
    ),
    pytest.param("malformed", {"body": "null"}, ("log", "'NoneType' object is not subscriptable"), 1, id="null-body"),
    pytest.param(
        "malformed",
        {"body": '{"instruments": [{"symbol_infos": [7]}]}'},
        ("log", "'int' object is not subscriptable"),
        1,
        id="record-not-an-object",
    ),
    pytest.param("missing_key", {"which": "instruments"}, ("log", "'instruments'"), 1, id="no-instruments"),
    pytest.param("missing_key", {"which": "empty"}, ("log", "list index out of range"), 1, id="empty-instruments"),
    pytest.param("missing_key", {"which": "symbol_infos"}, ("log", "'symbol_infos'"), 1, id="no-symbol-infos"),
    pytest.param("records", {"records": [NO_EXPIRY]}, ("log", "'expiry_date'"), 1, id="record-without-expiry"),
    pytest.param(
        "records",
        {"records": []},
        ("log", "expiry date 20261225 not found for symbol=BTC-USDT exchange=BINANCE "),
        1,
        id="no-records",
    ),
]


@pytest.fixture
def caller_timeout():
    """The caller's default socket time-out, as a program would set it; the previous one comes back."""
    previous = socket.getdefaulttimeout()
    socket.setdefaulttimeout(TIMEOUT)
    try:
        yield TIMEOUT
    finally:
        socket.setdefaulttimeout(previous)


def expected_reports(service, target, report, attempts):
    """The standard output and the logged errors of `attempts` spoiled attempts."""
    address = service.base_url + target
    how, detail = report
    if how == "print":
        return f"request api {address} failed with status code {detail}\n" * attempts, []
    text = detail(service, target) if callable(detail) else detail
    return "", [f"request api {address} raises exception:\n {text}"] * attempts


def errors_logged(caplog):
    records = [r for r in caplog.records if r.levelno >= logging.WARNING]
    assert all(r.name == "root" and r.levelno == logging.ERROR for r in records)
    return [r.getMessage() for r in records]


def dated_btc():
    return CryptoFuture("BTC-USDT", "20261225", "BINANCE")


def service_record(service, **wanted):
    (record,) = [r for r in service.records if all(r.get(k) == v for k, v in wanted.items())]
    return record


def assert_cache_holds_only(cache_dir, *contents):
    """The cache directory holds exactly these file contents (in any order), and nothing else."""
    names = os.listdir(cache_dir)
    assert all(name.endswith(".json") and len(name) == 64 + 5 for name in names), names
    assert sorted((cache_dir / name).read_bytes() for name in names) == sorted(c.encode() for c in contents)


class TestEveryFaultFailsTheBuild:
    @pytest.mark.parametrize("entry", ["lookup", "build", "create"])
    @pytest.mark.parametrize("kind, options, report, requests_per_attempt", FAULTS)
    def test_reported_on_each_attempt_nothing_cached_then_index_error(
        self, project, caller_timeout, capsys, caplog, entry, kind, options, report, requests_per_attempt
    ):
        project.service.set_fault(kind, **options)
        future = dated_btc()
        if entry == "lookup":
            # the lookup a build makes
            found = CryptoFuture.get_instrument_info(
                symbol="BTC-USDT",
                exchange="BINANCE",
                security_type="FUTURE",
                contract_type="LINEAR",
                expiry_date="20261225",
            )
            assert type(found) is list and found == []
        else:
            with pytest.raises(IndexError) as error:
                future.build() if entry == "build" else CryptoFuture.create(DATED_ID)
            assert str(error.value) == "list index out of range"  # the note tells the rest

        attempts = CryptoFuture.RETRY_TIMES
        printed, logged = expected_reports(project.service, DATED_TARGET, report, attempts)
        assert capsys.readouterr().out == printed
        assert errors_logged(caplog) == logged
        assert project.service.requests == [DATED_TARGET] * (attempts * requests_per_attempt)
        assert_cache_holds_only(project.cache_dir)
        assert "_info" not in vars(future) and not future._is_built
        assert CryptoFuture.inst_cache == {}

    @pytest.mark.parametrize(
        "records",
        [
            pytest.param([NO_EXPIRY], id="without-expiry"),
            pytest.param([dict(NO_EXPIRY, expiry_date="20261225")], id="dated-only"),
        ],
    )
    def test_a_perpetual_finds_no_record_marked_unspecified(self, project, caplog, records):
        project.service.set_fault("records", records=records)
        with pytest.raises(IndexError) as error:
            CryptoPerpFuture("BTC-USDT", "BINANCE")
        assert str(error.value) == "list index out of range"
        text = (
            "'expiry_date'"
            if "expiry_date" not in records[0]
            else "expiry date UNSPECIFIED not found for symbol=BTC-USDT exchange=BINANCE "
        )
        assert (
            errors_logged(caplog)
            == [f"request api {project.service.base_url}{PERP_TARGET} raises exception:\n {text}"] * 5
        )
        assert project.service.requests == [PERP_TARGET] * 5
        assert_cache_holds_only(project.cache_dir)

    @pytest.mark.parametrize("matching_first", [True, False])
    def test_a_record_without_expiry_spoils_only_the_records_after_the_match(self, project, caplog, matching_first):
        match = dict(NO_EXPIRY, expiry_date="20261225", externalSymbol="HIT")
        project.service.set_fault("records", records=[match, NO_EXPIRY] if matching_first else [NO_EXPIRY, match])
        future = dated_btc()
        if matching_first:
            future.build()
            assert future._info == match
            assert_cache_holds_only(project.cache_dir, json.dumps([match]))
        else:
            with pytest.raises(IndexError):
                future.build()
            assert errors_logged(caplog)[-1].endswith(" raises exception:\n 'expiry_date'")
            assert_cache_holds_only(project.cache_dir)


class TestFaultsThatClear:
    @pytest.mark.parametrize("spoiled", [1, 4])
    @pytest.mark.parametrize("kind, options, report, requests_per_attempt", FAULTS)
    def test_the_attempt_after_the_fault_succeeds_and_caches(
        self, project, caller_timeout, capsys, caplog, spoiled, kind, options, report, requests_per_attempt
    ):
        project.service.set_fault(kind, times=spoiled * requests_per_attempt, **options)
        future = dated_btc()
        future.build()

        record = service_record(
            project.service,
            exchange="BINANCE",
            security_type="FUTURE",
            symbol="BTC-USDT",
            contract_type="LINEAR",
            expiry_date="20261225",
        )
        assert future._info == record and future._is_built
        printed, logged = expected_reports(project.service, DATED_TARGET, report, spoiled)
        assert capsys.readouterr().out == printed
        assert errors_logged(caplog) == logged
        assert project.service.requests == [DATED_TARGET] * (spoiled * requests_per_attempt + 1)
        assert_cache_holds_only(project.cache_dir, json.dumps([record]))

        project.service.set_fault("status", code=500)
        again = dated_btc()
        again.build()
        assert again._info == record and len(project.service.requests) == spoiled * requests_per_attempt + 1

    def test_a_fault_outlasting_the_attempts_caches_nothing_and_the_next_build_fetches(self, project, caplog):
        project.service.set_fault("status", code=503, times=CryptoFuture.RETRY_TIMES)
        with pytest.raises(IndexError):
            CryptoFuture.create(DATED_ID)
        assert_cache_holds_only(project.cache_dir)
        assert CryptoFuture.inst_cache == {}
        built = CryptoFuture.create(DATED_ID)
        assert built._info["externalSymbol"] == "BTCUSDT_261225" and CryptoFuture.inst_cache == {DATED_ID: built}
        assert len(project.service.requests) == CryptoFuture.RETRY_TIMES + 1
        assert len(os.listdir(project.cache_dir)) == 1

    def test_a_slow_reply_within_the_time_out_is_no_failure(self, project, caller_timeout, caplog):
        project.service.set_fault("slow", delay=TIMEOUT / 8)
        future = dated_btc()
        future.build()
        assert future._is_built and project.service.requests == [DATED_TARGET] and errors_logged(caplog) == []


def connections_held_to(port):
    """Sockets of this process connected to the port: the service's own ends, also in this process, and
    connections closed already (no descriptor) are not counted."""
    gc.collect()
    inodes = set()
    for descriptor in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{descriptor}")
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[len("socket:[") : -1])
    with open("/proc/net/tcp") as table:
        rows = [line.split() for line in table.readlines()[1:]]
    return sum(1 for row in rows if int(row[2].rpartition(":")[2], 16) == port and row[9] in inodes)


@pytest.mark.parametrize(
    "kind, options",
    [
        pytest.param("status", {"code": 503}, id="503"),
        pytest.param("status", {"code": 204}, id="204"),
        pytest.param("drop", {}, id="drop"),
        pytest.param("partial", {}, id="partial"),
        pytest.param("malformed", {}, id="malformed"),
        pytest.param("redirect_loop", {}, id="redirect-loop"),
    ],
)
def test_a_long_storm_is_retried_to_the_end_without_holding_connections(
    project, caplog, capsys, monkeypatch, kind, options
):
    # Every spoiled response and error must let its connection go, or a storm would exhaust descriptors.
    project.service.set_fault(kind, **options)
    monkeypatch.setattr(CryptoFuture, "RETRY_TIMES", 60)
    assert CryptoFuture.get_instrument_info(symbol="BTC-USDT") == []
    assert len(errors_logged(caplog)) + capsys.readouterr().out.count("\n") == 60
    assert len(project.service.requests) == 60 * (5 if kind == "redirect_loop" else 1)
    assert connections_held_to(project.service.port) == 0
    assert_cache_holds_only(project.cache_dir)


class TestInterruptedWrite:
    @pytest.mark.parametrize("where", ["dump", "replace"])
    def test_an_interrupt_while_storing_propagates_and_leaves_no_file(self, project, monkeypatch, where):
        def interrupted(*args):
            if where == "dump":
                args[1].write(json.dumps(args[0])[:20])
            raise KeyboardInterrupt

        monkeypatch.setattr(futures.json if where == "dump" else futures.os, where, interrupted)
        with pytest.raises(KeyboardInterrupt):
            dated_btc().build()
        assert project.service.requests == [DATED_TARGET]
        assert_cache_holds_only(project.cache_dir)


def set_time_limit(project, value):
    with project.ini.open("a") as ini:
        ini.write(f"InstrumentInfoTimeout = {value}\n")
    Inibridge.reset()


def running_timers():
    return [t for t in threading.enumerate() if isinstance(t, threading.Timer)]


class TestTimeLimit:
    LIMIT = 0.6

    @pytest.mark.parametrize("kind", ["stall", "trickle"])
    def test_a_service_that_stalls_or_trickles_fails_each_attempt_at_the_limit(self, project, caplog, kind):
        # A trickle of one byte every half second never trips a per-operation time-out; only a limit on
        # the whole exchange (status line and headers included) ends it.
        set_time_limit(project, self.LIMIT)
        project.service.set_fault(kind)
        started = time.monotonic()
        with pytest.raises(IndexError):
            CryptoFuture.create(DATED_ID)
        took = time.monotonic() - started
        attempts = CryptoFuture.RETRY_TIMES
        assert attempts * self.LIMIT <= took < attempts * self.LIMIT + 1.0
        assert (
            errors_logged(caplog)
            == [
                f"request api {project.service.base_url}{DATED_TARGET} raises exception:\n "
                f"no complete answer within InstrumentInfoTimeout ({self.LIMIT} s)"
            ]
            * attempts
        )
        assert project.service.requests == [DATED_TARGET] * attempts
        assert_cache_holds_only(project.cache_dir)

    def test_a_timely_answer_succeeds_and_leaves_no_timer_behind(self, project, caplog):
        set_time_limit(project, 30)
        project.service.set_fault("slow", delay=0.05)
        dated_btc().build()
        assert project.service.requests == [DATED_TARGET] and errors_logged(caplog) == []
        for timer in running_timers():
            timer.join(1)
        assert running_timers() == []

    def test_an_interrupt_while_the_timer_is_stopped_propagates(self, project, monkeypatch):
        class InterruptedTimer(threading.Timer):
            def join(self, timeout=None):
                super().join(timeout)
                raise KeyboardInterrupt

        set_time_limit(project, 30)
        monkeypatch.setattr(threading, "Timer", InterruptedTimer)
        with pytest.raises(KeyboardInterrupt):
            dated_btc().build()

    @pytest.mark.parametrize(
        "kind, options, report, requests_per_attempt", [f for f in FAULTS if f.id not in ("timeout",)]
    )
    def test_other_faults_are_reported_as_without_a_limit(
        self, project, capsys, caplog, kind, options, report, requests_per_attempt
    ):
        set_time_limit(project, 5)
        project.service.set_fault(kind, times=requests_per_attempt, **options)
        dated_btc().build()
        printed, logged = expected_reports(project.service, DATED_TARGET, report, 1)
        assert capsys.readouterr().out == printed and errors_logged(caplog) == logged
        assert len(os.listdir(project.cache_dir)) == 1

    def test_a_replaced_urlopen_is_called_as_without_a_limit(self, project, monkeypatch):
        # Tests replace urlopen with one-argument fakes; a configured limit must not route around them.
        asked = []

        def fake_urlopen(address):
            asked.append(address)
            raise OSError("fake service down")

        set_time_limit(project, 30)
        monkeypatch.setattr(futures.urllib.request, "urlopen", fake_urlopen)
        with pytest.raises(IndexError):
            dated_btc().build()
        assert asked == [f"{project.service.base_url}{DATED_TARGET}"] * CryptoFuture.RETRY_TIMES
        assert project.service.requests == []

    @pytest.mark.parametrize("resolution", ["hangs", "answers"])
    def test_host_name_resolution_is_inside_the_limit(self, project, caplog, monkeypatch, resolution):
        # "localhost" names ::1 before 127.0.0.1, where the service listens: each address is tried in turn.
        project.ini.write_text(
            project.ini.read_text().replace(
                project.service.base_url, project.service.base_url.replace("127.0.0.1", "localhost")
            )
        )
        set_time_limit(project, self.LIMIT)
        monkeypatch.setattr(CryptoFuture, "RETRY_TIMES", 1)
        real_getaddrinfo, release, resolved = socket.getaddrinfo, threading.Event(), threading.Event()

        def getaddrinfo(host, *args, **kwargs):
            if host == "localhost" and resolution == "hangs":
                release.wait(30)
            try:
                return real_getaddrinfo(host, *args, **kwargs)
            finally:
                resolved.set()

        monkeypatch.setattr(socket, "getaddrinfo", getaddrinfo)
        try:
            records = CryptoFuture.get_instrument_info(symbol="BTC-USDT", cache=False)
            resolved_before_the_answer = resolved.is_set()
        finally:
            release.set()
        if resolution == "answers":
            assert len(records) > 1 and errors_logged(caplog) == [] and len(project.service.requests) == 1
        else:
            assert records == [] and not resolved_before_the_answer and project.service.requests == []
            assert errors_logged(caplog) == [
                f"request api {project.service.base_url.replace('127.0.0.1', 'localhost')}/instruments?symbol=BTC-USDT "
                f"raises exception:\n no complete answer within InstrumentInfoTimeout ({self.LIMIT} s)"
            ]

    @pytest.mark.parametrize("value", ["0", "-1", "soon", "", "nan", "inf", "1e10", "9223372037"])
    def test_a_setting_that_is_not_a_positive_number_fails_before_any_request(self, project, capfd, value):
        set_time_limit(project, value)
        with pytest.raises(ValueError) as error:
            dated_btc().build()
        assert str(error.value) == (
            f"InstrumentInfoTimeout in section data_related must be a positive number of seconds, not '{value}'"
        )
        assert project.service.requests == [] and capfd.readouterr().err == ""
        # Beyond what the platform's timers hold: the note says so, and how to go without a limit.
        too_long = value in ("1e10", "9223372037")
        assert ("threading.TIMEOUT_MAX" in "".join(getattr(error.value, "__notes__", []))) == too_long
