"""Many builders sharing one cache directory and one slow service, in several processes and in threads.

Nothing coordinates them: every builder may fetch and write the same entry at the same time. Every build
must still succeed with the record the service holds, and the directory must end with exactly one whole
entry per query, the bytes of `json.dump` of the one-record list, and no temporary file.
"""

import hashlib
import json
import os
import subprocess
import sys
import textwrap
import threading
import time
import urllib.request

import pytest

import norvane
from norvane.devtools.refdata_service import RefDataService
from norvane.kestrum_utils.inibridge.inibridge import Inibridge
from norvane.kestrum_utils.priceable.futures import CryptoFuture

EXCHANGES = ("BINANCE", "OKX", "BYBIT")
EXPIRIES = ("20261225", "20270326", "20270625")
SLOW_REPLY = 0.02  # seconds per request: long enough for builders to overlap on every entry


def generated_records(count):
    """Records of `count` distinct instruments, the four kinds in turn, with the service's own variety of
    numbers given as texts, integers and floats, and a name that needs escaping in the cache file."""
    records = []
    for i in range(count):
        base, exchange = f"C{i:03d}", EXCHANGES[i % len(EXCHANGES)]
        linear, dated = i % 4 in (0, 2), i % 4 < 2
        records.append(
            {
                "symbol": f"{base}-{'USDT' if linear else 'USD'}",
                "exchange": exchange,
                "security_type": "FUTURE" if dated else "PERP",
                "contract_type": "LINEAR" if linear else "INVERSE",
                "expiry_date": EXPIRIES[i % len(EXPIRIES)] if dated else "UNSPECIFIED",
                "externalSymbol": f"{base}_{i}",
                "name": f"Coin {i} \u00e9\u2603",
                "price_tick_size": str(10 ** -(i % 5)) if i % 3 == 0 else 10 ** -(i % 5),
                "contract_size": (i % 7) * 10 if i % 2 else 0.01 * (i % 5),
                "limit_min_quantity": 1 + i % 9,
                "status": "TRADING",
            }
        )
    return records


def instrument_id(record):
    currency = "USDT" if record["contract_type"] == "LINEAR" else record["symbol"].split("-")[0]
    return ".".join(
        [
            record["exchange"],
            record["symbol"],
            record["security_type"],
            record["contract_type"],
            currency,
            record["expiry_date"],
        ]
    )


def cache_name(url, record):
    """The file a build of the record's instrument reads and writes."""
    names = ["symbol", "exchange", "security_type", "contract_type", "expiry_date"]
    query = "&".join(f"{n}={record[n]}" for n in names if record[n] != "UNSPECIFIED")
    return hashlib.sha256(f"{url}?{query}".encode()).hexdigest() + ".json"


def assert_one_whole_entry_per_record(cache_dir, url, records):
    expected = {cache_name(url, r): json.dumps([r]).encode("ascii") for r in records}
    found = {name: (cache_dir / name).read_bytes() for name in os.listdir(cache_dir)}
    assert sorted(found) == sorted(expected)  # no temporary or stray file either
    assert [name for name in found if found[name] != expected[name]] == []


def python_env():
    # Children import the package this test imported (installed or in the source tree), not the sources.
    root = os.path.dirname(os.path.dirname(os.path.abspath(norvane.__file__)))
    return dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [root, os.environ.get("PYTHONPATH")])))


def admin(base_url, route):
    with urllib.request.urlopen(f"{base_url}/_admin/{route}", timeout=10) as reply:
        return json.loads(reply.read())


@pytest.fixture
def service_process(tmp_path):
    """The development service in its own process, serving generated records slowly."""
    records = generated_records(300)
    data = tmp_path / "records.json"
    data.write_text(json.dumps(records))
    process = subprocess.Popen(
        [sys.executable, "-m", "norvane.devtools.refdata_service", "--port", "0", "--data", str(data)],
        stdout=subprocess.PIPE,
        text=True,
        env=python_env(),
    )
    try:
        url = process.stdout.readline().strip().rpartition(" ")[2]
        assert url.startswith("http://127.0.0.1:"), url
        base_url = url.rpartition("/")[0]
        admin(base_url, f"fault?kind=slow&delay={SLOW_REPLY}")
        yield url, base_url, records
    finally:
        process.terminate()
        process.wait(timeout=10)
        process.stdout.close()


WORKER = """
    import json, os, sys, time
    from norvane.kestrum_utils import utils
    from norvane.kestrum_utils.priceable.futures import CryptoFuture
    root, ids, go = sys.argv[1], json.loads(sys.argv[2]), sys.argv[3]
    utils.set_project_root(root)
    while not os.path.exists(go):
        time.sleep(0.002)
    json.dump({i: CryptoFuture.create(i)._info for i in ids}, sys.stdout)
"""


@pytest.mark.slow
def test_processes_building_the_same_instruments_share_one_cache(tmp_path, service_process):
    url, base_url, records = service_process
    root = tmp_path / "project"
    root.mkdir()
    cache_dir = root / "cache"
    (root / "norvane.ini").write_text(
        f"[data_related]\nInstrumentInfoUrl = {url}\nLOCAL_DATA_CACHE_DIR = {cache_dir}\n"
    )
    ids = [instrument_id(r) for r in records]
    ids_path = tmp_path / "ids.json"
    ids_path.write_text(json.dumps(ids))
    go = tmp_path / "go"

    # Half walk the list forwards and half backwards: builders meet as simultaneous writers of one entry
    # and as readers of entries another process has just published.
    orders = [ids if n % 2 == 0 else ids[::-1] for n in range(8)]
    workers = [
        subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent(WORKER), str(root), json.dumps(order), str(go)],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=python_env(),
        )
        for order in orders
    ]
    time.sleep(0.5)  # let every worker reach the starting line
    go.write_text("")
    outputs = [w.communicate(timeout=120) for w in workers]

    assert [(w.returncode, err) for w, (_, err) in zip(workers, outputs)] == [(0, "")] * len(workers)
    expected = dict(zip(ids, records))
    for out, _ in outputs:
        assert json.loads(out) == expected
    assert_one_whole_entry_per_record(cache_dir, url, records)
    fetched = admin(base_url, "requests")["requests"]
    assert len(records) <= len(fetched) <= len(workers) * len(records)


def test_threads_building_the_same_instruments_share_one_cache(project):
    records = generated_records(120)
    ids = [instrument_id(r) for r in records]
    with RefDataService(data=records) as service:
        project.ini.write_text(
            f"[data_related]\nInstrumentInfoUrl = {service.url}\nLOCAL_DATA_CACHE_DIR = {project.cache_dir}\n"
        )
        Inibridge.reset()
        service.set_fault("slow", delay=SLOW_REPLY)
        start = threading.Barrier(8)
        results, failures = {}, []

        def builder(n):
            # Builders through the factory share its instrument cache; the others ask the lookup for the
            # same entries that builds write, so the two paths race on the files as well.
            order = ids if n % 2 == 0 else ids[::-1]
            start.wait()
            try:
                if n % 4 < 2:
                    found = [CryptoFuture.create(i)._info for i in order]
                else:
                    found = [lookup_like_a_build(record) for record in (expected[i] for i in order)]
                results[n] = dict(zip(order, found))
            except BaseException as error:  # noqa: B036 - reported by the test thread
                failures.append((n, repr(error)))

        expected = dict(zip(ids, records))
        threads = [threading.Thread(target=builder, args=(n,)) for n in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=120)
        assert failures == [] and not any(t.is_alive() for t in threads)
        assert all(results[n] == expected for n in range(8))
        assert_one_whole_entry_per_record(project.cache_dir, service.url, records)
        assert len(records) <= len(service.requests) <= 8 * len(records)


def lookup_like_a_build(record):
    (found,) = CryptoFuture.get_instrument_info(
        symbol=record["symbol"],
        exchange=record["exchange"],
        security_type=record["security_type"],
        contract_type=record["contract_type"],
        expiry_date=record["expiry_date"],
    )
    return found
