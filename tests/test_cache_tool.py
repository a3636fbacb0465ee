"""python -m norvane.devtools.cache against real builds on the development service."""

import json
import os
import pathlib
import subprocess
import sys
import time

import pytest

import norvane
from norvane.devtools import cache as tool
from norvane.kestrum_utils.priceable.futures import CryptoFuture

ONE_PER_KIND = [
    ("BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20261225", "0.1", "1"),
    ("OKX.ETH-USDT.FUTURE.LINEAR.USDT.20270326", "0.01", "1.0"),  # contract size 0.1 counts as 1
    ("BINANCE.BTC-USD.FUTURE.INVERSE.BTC.20261225", "0.1", "100"),
    ("BYBIT.SOL-USDT.PERP.LINEAR.USDT.UNSPECIFIED", "0.01", "1.0"),
    ("OKX.BTC-USD.PERP.INVERSE.BTC.UNSPECIFIED", "0.1", "100"),
]


def run(capsys, *argv):
    """(exit status, stdout, stderr) of the tool run in this process."""
    try:
        status = tool.main(list(argv))
    except SystemExit as exit_:
        status = exit_.code
    out, err = capsys.readouterr()
    return status, out, err


def snapshot(directory):
    return {path.name: path.read_bytes() for path in pathlib.Path(directory).iterdir()}


def own_file(project, identifier):
    return tool.cache_file_name(tool.query_address(project.service.url, **tool.lookup_fields(identifier)))


@pytest.mark.parametrize("identifier, tick, multiplier", ONE_PER_KIND)
def test_a_build_writes_the_file_the_tool_names_and_reading_changes_nothing(
    project, capsys, identifier, tick, multiplier
):
    CryptoFuture.create(identifier)
    capsys.readouterr()
    before = snapshot(project.cache_dir)
    assert list(before) == [own_file(project, identifier)]

    status, out, _ = run(capsys, "list")
    assert status == 0
    header, row = out.splitlines()
    exchange, symbol, _, _, _, expiry = identifier.split(".")
    assert header.split() == ["EXCHANGE", "SYMBOL", "EXPIRY", "TICK", "MULTIPLIER", "AGE", "FILE"]
    assert row.split()[:5] == [exchange, symbol, expiry, tick, multiplier] and row.split()[6] == list(before)[0]

    status, out, _ = run(capsys, "show", identifier)
    assert status == 0 and f"address  {project.service.url}?symbol={symbol}&exchange={exchange}&" in out
    assert json.loads(out[out.index("[") :]) == json.loads(before[list(before)[0]])
    assert snapshot(project.cache_dir) == before


@pytest.mark.parametrize(
    "kwargs",
    [
        {},
        {"externalSymbol": "BTCUSDT", "contract_type": "UNSPECIFIED"},
        {"symbol": "ETH-USDT", "exchange": "", "expiry_date": "UNSPECIFIED"},
    ],
)
def test_the_address_agrees_with_a_lookup_of_any_arguments(project, kwargs):
    assert CryptoFuture.get_instrument_info(**kwargs)
    assert [path.name for path in project.cache_dir.iterdir()] == [
        tool.cache_file_name(tool.query_address(project.service.url, **kwargs))
    ]


def test_forget_removes_the_named_entries_and_the_next_build_fetches_them_again(project, capsys):
    forgotten, kept = "BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20261225", "BYBIT.SOL-USDT.PERP.LINEAR.USDT.UNSPECIFIED"
    for identifier in (forgotten, kept):
        CryptoFuture.create(identifier)
    fetched = snapshot(project.cache_dir)
    # An entry fetched from the service on another port, and a writer's file in progress: the first is
    # the instrument's all the same, the second is never touched.
    record = next(
        r
        for r in project.service.records
        if r["exchange"] == "BINANCE" and r["symbol"] == "BTC-USDT" and r["expiry_date"] == "20261225"
    )
    elsewhere = project.cache_dir / tool.cache_file_name("http://127.0.0.1:1/instruments?symbol=BTC-USDT")
    elsewhere.write_text(json.dumps([record]))
    in_progress = project.cache_dir / (own_file(project, forgotten) + ".4242-00ff00ff00ff00ff.tmp")
    in_progress.write_text(json.dumps([record]))
    os.utime(in_progress, (0, 0))

    status, out, _ = run(capsys, "forget", forgotten)
    assert status == 0 and len(out.splitlines()) == 2
    assert snapshot(project.cache_dir) == {
        own_file(project, kept): fetched[own_file(project, kept)],
        in_progress.name: in_progress.read_bytes(),
    }

    CryptoFuture.inst_cache.clear()
    project.service.clear_requests()
    CryptoFuture.create(forgotten)
    assert len(project.service.requests) == 1
    assert (project.cache_dir / own_file(project, forgotten)).read_bytes() == fetched[own_file(project, forgotten)]


def test_forget_older_than_judges_each_entry_by_when_it_was_fetched(project, capsys):
    old, recent = "BINANCE.BTC-USD.FUTURE.INVERSE.BTC.20261225", "OKX.BTC-USD.PERP.INVERSE.BTC.UNSPECIFIED"
    for identifier in (old, recent):
        CryptoFuture.create(identifier)
    now = time.time()
    os.utime(project.cache_dir / own_file(project, old), (now, now - 2 * 86400))
    os.utime(project.cache_dir / own_file(project, recent), (now, now - 3600))
    in_progress = project.cache_dir / (own_file(project, old) + ".1-2.tmp")
    in_progress.write_text("[")
    os.utime(in_progress, (0, 0))

    status, out, _ = run(capsys, "forget", "--older-than", "1d12h")
    assert status == 0 and out == f"forgot {own_file(project, old)} (2d old)\n"
    assert sorted(snapshot(project.cache_dir)) == sorted([own_file(project, recent), in_progress.name])


@pytest.mark.parametrize(
    "text, seconds",
    [
        ("90s", 90),
        ("15m", 900),
        ("1.5h", 5400),
        ("7d", 604800),
        ("1w", 604800),
        ("1d12h", 129600),
        ("5", None),
        ("h", None),
        ("2h 5m", None),
        ("", None),
    ],
)
def test_durations(text, seconds):
    if seconds is None:
        with pytest.raises(Exception, match="is not a duration"):
            tool.parse_duration(text)
    else:
        assert tool.parse_duration(text) == seconds


def test_identifiers_that_name_no_entry(project, capsys):
    CryptoFuture.create("BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20261225")
    before = snapshot(project.cache_dir)

    # A malformed identifier among good ones: refused with the layout before anything is removed.
    status, _, err = run(capsys, "forget", "BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20261225", "BINANCE.BTC-USDT")
    assert status == 2 and "EXCHANGE.BASE-QUOTE.FUTURE|PERP.LINEAR|INVERSE.CCY.EXPIRY" in err
    # Well formed but not cached: says which file a build would write.
    status, _, err = run(capsys, "show", "BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20270326")
    expected = own_file(project, "BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20270326")
    assert status == 1 and f"a build would write {expected}" in err
    status, out, err = run(capsys, "forget", "BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20270326")
    assert status == 1 and out == "" and "is not cached" in err
    assert snapshot(project.cache_dir) == before


def test_runs_as_a_module_on_the_configured_or_a_given_directory(project, tmp_path_factory):
    CryptoFuture.create("BYBIT.SOL-USDT.PERP.LINEAR.USDT.UNSPECIFIED")
    (project.cache_dir / ("0" * 64 + ".json")).write_text('[{"symbol": ')
    outside = tmp_path_factory.mktemp("outside_any_project")
    package_parent = pathlib.Path(norvane.__file__).resolve().parent.parent
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(package_parent), os.environ.get("PYTHONPATH", "")]))

    def tool_run(cwd, *argv):
        return subprocess.run(
            [sys.executable, "-m", "norvane.devtools.cache", *argv],
            cwd=cwd,
            env=env,
            capture_output=True,
            text=True,
            timeout=60,
        )

    configured = tool_run(project.root, "list")
    assert configured.returncode == 0, configured.stderr
    rows = configured.stdout.splitlines()[1:]
    assert [row.split()[:3] for row in rows] == [["-", "-", "-"], ["BYBIT", "SOL-USDT", "UNSPECIFIED"]]
    assert "(unreadable: " in rows[0]
    given = tool_run(outside, "list", "--dir", str(project.cache_dir))
    without_age = [row.split()[:5] + row.split()[6:] for row in rows]
    assert (
        given.returncode == 0
        and [row.split()[:5] + row.split()[6:] for row in given.stdout.splitlines()[1:]] == without_age
    )

    unconfigured = tool_run(outside, "list")
    assert unconfigured.returncode == 2 and "pass --dir" in unconfigured.stderr


def test_damaged_entries_are_listed_and_forgotten_and_what_is_no_file_is_skipped(project, capsys, tmp_path):
    CryptoFuture.create("BYBIT.SOL-USDT.PERP.LINEAR.USDT.UNSPECIFIED")
    damaged = {
        "1" * 64 + ".json": "[" * 100000 + "]" * 100000,
        "2" * 64 + ".json": "{}",
        "3" * 64 + ".json": "[{}]",
        "4" * 64 + ".json": "null",
    }
    for name, content in damaged.items():
        (project.cache_dir / name).write_text(content)
    hostile = "5" * 64 + ".json"  # values that would break the listing's lines or steer the terminal
    (project.cache_dir / hostile).write_text(
        json.dumps(
            [
                {
                    "exchange": "X\nFORGED ROW",
                    "symbol": "A\x1b[2J",
                    "expiry_date": "D\u2028",
                    "price_tick_size": [[1]],
                    "limit_min_quantity": 1,
                }
            ]
        )
    )
    (project.cache_dir / ("6" * 64 + ".json")).mkdir()
    os.mkfifo(project.cache_dir / ("7" * 64 + ".json"))

    listed = subprocess.run(
        [sys.executable, "-m", "norvane.devtools.cache", "list", "--dir", str(project.cache_dir)],
        capture_output=True,
        text=True,
        timeout=60,
        env=dict(
            os.environ,
            PYTHONPATH=os.pathsep.join(
                [str(pathlib.Path(norvane.__file__).resolve().parent.parent), os.environ.get("PYTHONPATH", "")]
            ),
        ),
    )
    assert listed.returncode == 0, listed.stderr
    rows = listed.stdout.splitlines()[1:]
    assert len(rows) == 6 and sum("(unreadable: " in row for row in rows) == 4
    assert r"X\nFORGED ROW" in listed.stdout and r"A\x1b[2J" in listed.stdout and r"D\u2028" in listed.stdout
    assert "<array>" in listed.stdout and "\x1b" not in listed.stdout
    assert listed.stderr.splitlines() == [
        f"skipped {'6' * 64}.json: a directory, not a cache file",
        f"skipped {'7' * 64}.json: a FIFO, not a cache file",
    ]

    status, out, _ = run(capsys, "show", "1111")
    assert status == 0 and "unreadable: RecursionError" in out
    status, out, err = run(capsys, "forget", "--older-than", "0s")
    assert status == 0 and len(out.splitlines()) == 6 and "skipped" in err
    assert sorted(os.listdir(project.cache_dir)) == ["6" * 64 + ".json", "7" * 64 + ".json"]

    not_a_directory = tmp_path / "a_file"
    not_a_directory.write_text("")
    status, out, err = run(capsys, "list", "--dir", str(not_a_directory))
    assert (status, out) == (
        2,
        "",
    ) and err == f"python -m norvane.devtools.cache: {not_a_directory} is not a directory\n"


def test_refresh_replaces_an_entry_only_when_the_service_answers_and_says_what_changed(project, capsys, caplog):
    btc, sol = "BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20261225", "BYBIT.SOL-USDT.PERP.LINEAR.USDT.UNSPECIFIED"
    for identifier in (btc, sol):
        CryptoFuture.create(identifier)
    CryptoFuture.get_instrument_info(symbol="ETH-USDT")  # an entry no build writes: it cannot be asked again
    before = snapshot(project.cache_dir)
    changed = [
        dict(r, price_tick_size=0.5) if (r["exchange"], r["symbol"]) == ("BINANCE", "BTC-USDT") else r
        for r in project.service.records
    ]

    project.service.set_fault("status", code=500)
    status, out, err = run(capsys, "refresh", btc)
    assert (status, out) == (1, "") and f"could not refresh {btc}: the service gave no usable record" in err
    assert snapshot(project.cache_dir) == before

    project.service.set_fault("records", records=changed, filtered=True)
    status, out, err = run(capsys, "refresh", btc)
    name = own_file(project, btc)
    assert (status, err) == (0, "")
    assert (
        out == f"refreshed {btc} ({name}): tick 0.1 -> 0.5, multiplier 1 (unchanged), quantity unit 0.001 (unchanged)\n"
    )
    (record,) = [
        r
        for r in changed
        if r["symbol"] == "BTC-USDT" and r["expiry_date"] == "20261225" and r["exchange"] == "BINANCE"
    ]
    after = snapshot(project.cache_dir)
    assert after[name] == json.dumps([record]).encode() and set(after) == set(before)

    old = time.time() - 2 * 86400
    for file_name in set(before) - {name}:
        os.utime(project.cache_dir / file_name, (old, old))
    status, out, err = run(capsys, "refresh", "--older-than", "1d")
    assert status == 1 and out.startswith("refreshed BYBIT SOL-USDT PERP LINEAR UNSPECIFIED (") and "unchanged (" in out
    assert err.count("skipped ") == 1 and "forget it instead" in err
    assert time.time() - (project.cache_dir / own_file(project, sol)).stat().st_mtime < 60
    assert [p for p in os.listdir(project.cache_dir) if p.endswith(".tmp")] == []

    CryptoFuture.inst_cache.clear()
    project.service.clear_requests()
    assert CryptoFuture.create(btc)._tick_size == 0.5 and project.service.requests == []
