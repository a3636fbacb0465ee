import collections
import http.client
import json
import os
import re
import socket
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request

import pytest

import norvane
from norvane.devtools.refdata_service import RefDataService, load_records

# Children import the package this test imported (installed or in the source tree).
PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(norvane.__file__)))
REQUIRED_KEYS = {
    "symbol",
    "exchange",
    "security_type",
    "contract_type",
    "expiry_date",
    "externalSymbol",
    "price_tick_size",
    "limit_min_quantity",
}


def fetch(url, timeout=5):
    """Status and body of a GET, HTTP errors included."""
    try:
        with urllib.request.urlopen(url, timeout=timeout) as response:
            return response.getcode(), response.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


def symbol_infos(url):
    status, body = fetch(url)
    assert status == 200
    return json.loads(body)["instruments"][0]["symbol_infos"]


def raw_get(service, target):
    """Send a request line verbatim (urllib refuses targets holding blanks)."""
    with socket.create_connection(("127.0.0.1", service.port), timeout=5) as sock:
        sock.sendall(f"GET {target} HTTP/1.0\r\nHost: x\r\n\r\n".encode())
        data = b""
        while chunk := sock.recv(65536):
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    return int(head.split()[1]), body


class TestShippedData:
    records = load_records()

    def test_records_are_complete_and_unique(self):
        assert len(self.records) >= 30
        for record in self.records:
            assert REQUIRED_KEYS <= record.keys(), record
        keys = [
            (r["exchange"], r["symbol"], r["security_type"], r["contract_type"], r["expiry_date"]) for r in self.records
        ]
        assert len(keys) == len(set(keys))
        assert len({r["exchange"] for r in self.records}) >= 3

    def test_contract_kinds_follow_the_lookup_conventions(self):
        perps = collections.Counter()
        for r in self.records:
            base, quote = r["symbol"].split("-")
            assert r["security_type"] in ("FUTURE", "PERP")
            assert r["contract_type"] in ("LINEAR", "INVERSE")
            if r["contract_type"] == "INVERSE":
                assert quote == "USD" and type(r["contract_size"]) is int
            if r["security_type"] == "PERP":
                assert r["expiry_date"] == "UNSPECIFIED"
                perps[r["exchange"], r["symbol"], r["contract_type"]] += 1
            else:
                assert re.fullmatch(r"20\d{6}", r["expiry_date"])
            if "contract_size" in r:
                assert isinstance(r["contract_size"], (int, float))
        assert set(perps.values()) == {1}
        kinds = {(r["security_type"], r["contract_type"]) for r in self.records}
        assert kinds == {("FUTURE", "LINEAR"), ("PERP", "LINEAR"), ("FUTURE", "INVERSE"), ("PERP", "INVERSE")}

    def test_data_exercises_the_build_edge_cases(self):
        assert any("contract_size" not in r for r in self.records)
        assert any(r.get("contract_size", 1) < 1 for r in self.records)
        assert any(isinstance(r["price_tick_size"], str) for r in self.records)
        for r in self.records:
            assert float(r["price_tick_size"]) > 0 and float(r["limit_min_quantity"]) > 0


class TestFiltering:
    def test_every_given_parameter_must_match_exactly(self, refdata):
        query = "symbol=BTC-USDT&exchange=BINANCE&security_type=FUTURE&contract_type=LINEAR&expiry_date=20261225"
        (record,) = symbol_infos(f"{refdata.url}?{query}")
        assert (record["externalSymbol"], record["expiry_date"]) == ("BTCUSDT_261225", "20261225")
        assert refdata.requests == [f"/instruments?{query}"]

    def test_perpetual_query_without_expiry_returns_its_single_record(self, refdata):
        records = symbol_infos(
            f"{refdata.url}?symbol=ETH-USD&exchange=DERIBIT&security_type=PERP&contract_type=INVERSE"
        )
        assert [r["expiry_date"] for r in records] == ["UNSPECIFIED"]

    def test_partial_queries_keep_the_data_order(self, refdata):
        expected = [r for r in refdata.records if r["symbol"] == "BTC-USD" and r["exchange"] == "DERIBIT"]
        assert len(expected) > 2
        assert symbol_infos(f"{refdata.url}?symbol=BTC-USD&exchange=DERIBIT&unknown=1") == expected
        assert symbol_infos(refdata.url) == refdata.records

    def test_no_match_gives_an_empty_list_in_the_reply_layout(self, refdata):
        status, body = fetch(f"{refdata.url}?externalSymbol=NOPE")
        assert (status, json.loads(body)) == (200, {"instruments": [{"symbol_infos": []}]})

    def test_values_are_read_raw(self, refdata):
        odd = ["A+B", "A B", "A%20B", "x=y", "p?q", "M/N"]
        refdata.set_fault("records", records=[{"symbol": s} for s in odd], filtered=True)
        for value in ("A+B", "A%20B", "x=y", "p?q", "M/N"):
            assert symbol_infos(f"{refdata.url}?symbol={value}") == [{"symbol": value}]
        status, body = raw_get(refdata, "/instruments?symbol=A B&exchange")
        assert status == 200
        assert json.loads(body)["instruments"][0]["symbol_infos"] == []  # bare "exchange" means ""
        status, body = raw_get(refdata, "/instruments?symbol=A B")
        assert json.loads(body)["instruments"][0]["symbol_infos"] == [{"symbol": "A B"}]
        assert refdata.requests[-2:] == ["/instruments?symbol=A B&exchange", "/instruments?symbol=A B"]


class TestFaults:
    def test_status_codes(self, refdata):
        refdata.set_fault("status", code=204)
        assert fetch(refdata.url) == (204, b"")
        for code in (404, 500):
            refdata.set_fault("status", code=code)
            status, _ = fetch(refdata.url)
            assert status == code

    def test_malformed_body_is_not_json(self, refdata):
        refdata.set_fault("malformed")
        status, body = fetch(refdata.url)
        assert status == 200
        with pytest.raises(ValueError):
            json.loads(body)

    @pytest.mark.parametrize(
        "which, error", [("instruments", KeyError), ("empty", IndexError), ("symbol_infos", KeyError)]
    )
    def test_missing_key_breaks_the_reply_path(self, refdata, which, error):
        refdata.set_fault("missing_key", which=which)
        status, body = fetch(refdata.url)
        assert status == 200
        with pytest.raises(error):
            json.loads(body)["instruments"][0]["symbol_infos"]

    def test_slow_answers_late_and_trips_client_timeouts(self, refdata):
        refdata.set_fault("slow", delay=0.3)
        started = time.monotonic()
        assert len(symbol_infos(refdata.url)) == len(refdata.records)
        assert time.monotonic() - started >= 0.3
        with pytest.raises((TimeoutError, urllib.error.URLError)):
            fetch(refdata.url, timeout=0.05)

    def test_slow_requests_are_served_concurrently_and_all_logged(self, refdata):
        refdata.set_fault("slow", delay=0.4)
        started = time.monotonic()
        threads = [threading.Thread(target=fetch, args=(f"{refdata.url}?n={i}",)) for i in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert time.monotonic() - started < 2.0
        assert sorted(refdata.requests) == sorted(f"/instruments?n={i}" for i in range(6))

    def test_drop_closes_without_reply(self, refdata):
        refdata.set_fault("drop")
        with pytest.raises(http.client.RemoteDisconnected):
            fetch(refdata.url)

    def test_partial_body_is_shorter_than_announced(self, refdata):
        refdata.set_fault("partial")
        with urllib.request.urlopen(refdata.url, timeout=5) as response:
            assert response.getcode() == 200
            with pytest.raises(http.client.IncompleteRead):
                response.read()

    def test_redirect_loop_ends_in_a_client_error(self, refdata):
        refdata.set_fault("redirect_loop")
        status, _ = fetch(f"{refdata.url}?symbol=X")
        assert status == 302
        assert len(refdata.requests) > 2 and set(refdata.requests) == {"/instruments?symbol=X"}

    def test_records_are_answered_verbatim(self, refdata):
        records = [{"symbol": "Z-USDT", "expiry_date": "20270326", "nested": {"é": [1, 2.5, None]}}]
        refdata.set_fault("records", records=records)
        assert symbol_infos(f"{refdata.url}?symbol=OTHER") == records

    def test_times_limits_the_fault_to_the_next_requests(self, refdata):
        refdata.set_fault("status", code=500, times=2)
        assert [fetch(refdata.url)[0] for _ in range(3)] == [500, 500, 200]
        assert refdata.fault is None
        refdata.set_fault("redirect_loop", times=1)
        assert fetch(refdata.url)[0] == 200  # one redirect, then the real answer
        assert len(refdata.requests) == 5

    @pytest.mark.parametrize(
        "kind, options",
        [
            ("nonsense", {}),
            ("status", {"code": 99}),
            ("status", {"delay": 1}),
            ("records", {}),
            ("missing_key", {"which": "other"}),
            ("drop", {"times": 0}),
            ("slow", {"delay": -1}),
        ],
    )
    def test_bad_fault_requests_are_refused(self, refdata, kind, options):
        with pytest.raises(ValueError):
            refdata.set_fault(kind, **options)
        assert refdata.fault is None

    def test_stop_does_not_wait_out_a_slow_reply(self):
        service = RefDataService(data=[{"symbol": "A-B"}]).start()
        service.set_fault("slow", delay=60)
        worker = threading.Thread(target=lambda: fetch(service.url, timeout=10), daemon=True)
        worker.start()
        while not service.requests:
            time.sleep(0.01)
        started = time.monotonic()
        service.stop()
        worker.join(5)
        assert time.monotonic() - started < 5 and not worker.is_alive()


@pytest.fixture
def service_process():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [PACKAGE_PARENT, os.environ.get("PYTHONPATH")])))
    with subprocess.Popen(
        [sys.executable, "-m", "norvane.devtools.refdata_service", "--port", "0"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
        cwd=PACKAGE_PARENT,
    ) as proc:
        try:
            line = proc.stdout.readline()
            match = re.search(r"(http://127\.0\.0\.1:\d+)/instruments$", line.strip())
            assert match, (line, proc.stderr.read() if proc.poll() is not None else "")
            yield match.group(1)
        finally:
            proc.terminate()
            proc.wait(10)
    assert proc.returncode == 0  # SIGTERM ends the service cleanly


def test_admin_routes_steer_a_service_in_another_process(service_process):
    base = service_process
    data = f"{base}/instruments"
    assert fetch(f"{base}/_admin/fault?kind=status&code=503&times=1")[0] == 200
    assert [fetch(data)[0], fetch(data)[0]] == [503, 200]
    status, body = fetch(f"{base}/_admin/requests")
    assert json.loads(body)["requests"] == ["/instruments", "/instruments"]

    request = urllib.request.Request(
        f"{base}/_admin/fault",
        method="POST",
        data=json.dumps({"kind": "records", "records": [{"symbol": "Q-R"}]}).encode(),
    )
    with urllib.request.urlopen(request, timeout=5) as response:
        assert json.loads(response.read())["fault"]["kind"] == "records"
    assert symbol_infos(data) == [{"symbol": "Q-R"}]

    assert fetch(f"{base}/_admin/fault?kind=slow&delay=soon")[0] == 400
    assert fetch(f"{base}/_admin/nothing")[0] == 404
    assert fetch(f"{base}/_admin/clear")[0] == 200
    status, body = fetch(f"{base}/_admin/status")
    assert json.loads(body) == {"ok": True, "fault": None, "records": len(load_records()), "requests": 0}


@pytest.mark.parametrize(
    "address, error, text",
    [
        # the session's service already holds the configured port
        (None, OSError, "Something already listens on 127.0.0.1:"),
        ("http://example.com:8765/instruments", ValueError, "names another machine"),
        ("https://127.0.0.1:8765/instruments", ValueError, "is not a plain http:// address"),
    ],
)
def test_configured_start_refuses_what_it_cannot_serve(project, address, error, text):
    from norvane.devtools.refdata_service import start_configured_service
    from norvane.kestrum_utils.inibridge.inibridge import Inibridge

    if address is not None:
        Inibridge().config["data_related"]["InstrumentInfoUrl"] = address
    with pytest.raises(error) as caught:
        start_configured_service()
    assert text in "\n".join([str(caught.value), *getattr(caught.value, "__notes__", [])])
