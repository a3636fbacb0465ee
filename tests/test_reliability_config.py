"""Builds under a broken configuration: the loader's or the parser's own exception reaches the caller, no
request is made, and a configuration that is repaired (or layered over) is what the next build uses."""

import configparser
import logging
import os
import socket

import pytest

from norvane.kestrum_utils.inibridge.inibridge import Inibridge
from norvane.kestrum_utils.priceable.futures import CryptoFuture

DATED_ID = "BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20261225"
DATED_QUERY = "?symbol=BTC-USDT&exchange=BINANCE&security_type=FUTURE&contract_type=LINEAR&expiry_date=20261225"
MKDIR_ERROR = "future get_instrument_info mkdir error:  "

MISSING = object()
DIRECTORY = object()


def write_config(project, content):
    project.ini.unlink()
    if content is DIRECTORY:
        project.ini.mkdir()
    elif isinstance(content, bytes):
        project.ini.write_bytes(content)
    elif content is not MISSING:
        project.ini.write_text(content.format(url=project.service.url, cache=project.cache_dir))


def error_of(operation):
    try:
        operation()
    except Exception as error:  # noqa: BLE001 - the error is the expectation
        return error
    raise AssertionError("the operation was expected to fail")


def reading_error(project, key=None):
    """What the standard parser raises for the file as written, or for the key when it is read."""

    def read():
        parser = configparser.ConfigParser()
        parser.read(project.ini)
        if key is not None:
            parser["data_related"][key]

    return error_of(read)


def build(entry):
    if entry == "build":
        CryptoFuture("BTC-USDT", "20261225", "BINANCE").build()
    else:
        CryptoFuture.create(DATED_ID)


# (content, expected error of the build, text printed by the cache-directory step or None, whether the
# cache directory gets created). A callable error is given the project.
CONFIG_FAULTS = [
    pytest.param(
        MISSING,
        lambda p: Exception(f"config file not exist, which path should be {p.ini}"),
        "same",
        False,
        id="missing-file",
    ),
    pytest.param("", KeyError("data_related"), "same", False, id="empty-file"),
    pytest.param(DIRECTORY, KeyError("data_related"), "same", False, id="directory"),
    pytest.param("[other]\nInstrumentInfoUrl = {url}\n", KeyError("data_related"), "same", False, id="missing-section"),
    pytest.param(
        "[Data_Related]\nInstrumentInfoUrl = {url}\nLOCAL_DATA_CACHE_DIR = {cache}\n",
        KeyError("data_related"),
        "same",
        False,
        id="section-name-case",
    ),
    pytest.param(
        "[data_related]\nInstrumentInfoUrl = {url}\n",
        UnboundLocalError("local variable 'cache_dir' referenced before assignment"),
        repr("LOCAL_DATA_CACHE_DIR"),
        False,
        id="missing-cache-key",
    ),
    pytest.param(
        "[data_related]\nLOCAL_DATA_CACHE_DIR = {cache}\n",
        KeyError("InstrumentInfoUrl"),
        None,
        True,
        id="missing-address-key",
    ),
    pytest.param(
        "InstrumentInfoUrl = {url}\n[data_related]\n",
        lambda p: reading_error(p),
        "same",
        False,
        id="key-before-any-section",
    ),
    pytest.param(
        "[data_related]\nInstrumentInfoUrl = {url}\n[data_related]\n",
        lambda p: reading_error(p),
        "same",
        False,
        id="repeated-section",
    ),
    pytest.param(
        "[data_related]\nInstrumentInfoUrl = {url}\nLOCAL_DATA_CACHE_DIR = {cache}\ninstrumentinfourl = x\n",
        lambda p: reading_error(p),
        "same",
        False,
        id="repeated-option",
    ),
    pytest.param(
        "[data_related]\nInstrumentInfoUrl = {url}\nnot a setting\n",
        lambda p: reading_error(p),
        "same",
        False,
        id="line-without-value",
    ),
    pytest.param(
        b"[data_related]\nInstrumentInfoUrl = \xff\xfe\n",
        lambda p: reading_error(p),
        "same",
        False,
        id="undecodable-bytes",
    ),
    pytest.param(
        "[data_related]\nInstrumentInfoUrl = {url}?a=%20\nLOCAL_DATA_CACHE_DIR = {cache}\n",
        lambda p: reading_error(p, "InstrumentInfoUrl"),
        None,
        True,
        id="bare-percent-in-address",
    ),
    pytest.param(
        "[data_related]\nInstrumentInfoUrl = {url}\nLOCAL_DATA_CACHE_DIR = %(home)s/cache\n",
        UnboundLocalError("local variable 'cache_dir' referenced before assignment"),
        lambda p: str(reading_error(p, "LOCAL_DATA_CACHE_DIR")),
        False,
        id="unknown-reference-in-cache",
    ),
]


class TestBrokenConfiguration:
    @pytest.mark.parametrize("entry", ["build", "create"])
    @pytest.mark.parametrize("content, expected, printed, makes_cache_dir", CONFIG_FAULTS)
    def test_the_documented_error_reaches_the_caller_and_nothing_is_fetched(
        self, project, capsys, entry, content, expected, printed, makes_cache_dir
    ):
        write_config(project, content)
        expected = expected(project) if callable(expected) else expected
        error = error_of(lambda: build(entry))

        assert type(error) is type(expected) and str(error) == str(expected)
        if printed == "same":
            printed = str(expected)
        elif callable(printed):
            printed = printed(project)
        assert capsys.readouterr().out == ("" if printed is None else f"{MKDIR_ERROR}{printed}\n")
        assert project.service.requests == [] and CryptoFuture.inst_cache == {}
        assert project.cache_dir.exists() == makes_cache_dir
        if makes_cache_dir:
            assert os.listdir(project.cache_dir) == []

    @pytest.mark.parametrize(
        "address, text",
        [
            pytest.param("", lambda address: f"unknown url type: {address!r}", id="empty-address"),
            pytest.param(
                "http://127.0.0.1:{closed}/instruments",
                lambda address: "<urlopen error [Errno 111] Connection refused>",
                id="nothing-listens",
            ),
        ],
    )
    def test_an_address_that_answers_nothing_fails_every_attempt(self, project, caplog, address, text):
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))
        port = closed.getsockname()[1]
        closed.close()
        base = address.format(closed=port, url=project.service.url)
        write_config(project, f"[data_related]\nInstrumentInfoUrl = {base}\nLOCAL_DATA_CACHE_DIR = {{cache}}\n")
        with pytest.raises(IndexError):
            build("create")
        full = base + DATED_QUERY
        logged = [r.getMessage() for r in caplog.records if r.levelno >= logging.WARNING]
        assert logged == [f"request api {full} raises exception:\n {text(full)}"] * 5
        assert os.listdir(project.cache_dir) == []


class TestNotesOnMissingSettings:
    @pytest.mark.parametrize(
        "content, operation, expected, fragments",
        [
            pytest.param("", "build", KeyError, ["has no such section"], id="empty-file"),
            pytest.param(
                "[Data_Related]\nInstrumentInfoUrl = {url}\n",
                "build",
                KeyError,
                ["case-sensitive"],
                id="section-name-case",
            ),
            pytest.param(DIRECTORY, "build", KeyError, ["which is a directory", "[data_related]"], id="directory"),
            pytest.param(
                "[data_related]\nLOCAL_DATA_CACHE_DIR = {cache}\n",
                "build",
                KeyError,
                ["has no InstrumentInfoUrl; add InstrumentInfoUrl = <"],
                id="missing-address-key",
            ),
            pytest.param(
                "[data_related]\nInstrumentInfoUrl = {url}\n",
                "build",
                UnboundLocalError,
                ["LOCAL_DATA_CACHE_DIR", "mkdir error"],
                id="missing-cache-key",
            ),
            pytest.param(
                None, "str-layer", AttributeError, ["not a str: Inibridge().set_config_file(Path('"], id="str-layer"
            ),
        ],
    )
    def test_the_error_keeps_its_text_and_its_note_names_the_file_and_the_fix(
        self, project, content, operation, expected, fragments
    ):
        if content is not None:
            write_config(project, content)
        if operation == "build":
            error = error_of(lambda: build("create"))
            fragments = [str(project.ini), *fragments]
        else:
            error = error_of(lambda: Inibridge().set_config_file(str(project.ini)))
            assert str(error) == "'str' object has no attribute 'exists'"
            fragments = [*fragments, f"{str(project.ini)!r}"]
        assert type(error) is expected
        (note,) = error.__notes__
        assert all(fragment in note for fragment in fragments), note
        assert project.service.requests == []


class TestRepairedConfiguration:
    @pytest.mark.parametrize("broken", [MISSING, "[data_related]\n[data_related]\n"], ids=["missing", "malformed"])
    def test_a_loader_that_failed_is_built_again_once_the_file_is_fixed(self, project, capsys, broken):
        good = project.ini.read_text()
        write_config(project, broken)
        with pytest.raises(Exception):
            build("build")
        project.ini.write_text(good)
        assert CryptoFuture.create(DATED_ID)._info["externalSymbol"] == "BTCUSDT_261225"
        assert len(project.service.requests) == 1

    def test_a_loaded_configuration_is_kept_when_its_file_breaks_afterwards(self, project):
        CryptoFuture("BTC-USDT", "20261225", "BINANCE").build()
        project.ini.write_text("garbage without a section\n")
        future = CryptoFuture("BTC-USDT", "20270326", "BINANCE")
        future.build()
        assert future._info["expiry_date"] == "20270326" and len(os.listdir(project.cache_dir)) == 2


class TestLayeredConfiguration:
    def overlay(self, project, content):
        path = project.root / "overlay.ini"
        path.write_bytes(content if isinstance(content, bytes) else content.encode())
        return path

    def test_a_missing_layer_changes_nothing_for_later_builds(self, project):
        loader = Inibridge()
        missing = project.root / "absent.ini"
        with pytest.raises(Exception) as error:
            loader.set_config_file(missing)
        assert type(error.value) is Exception
        assert str(error.value) == f"config file not exist, which path should be {missing}"
        CryptoFuture.create(DATED_ID)
        assert len(project.service.requests) == 1 and len(os.listdir(project.cache_dir)) == 1

    def test_a_directory_as_layer_is_skipped(self, project):
        layer = project.root / "layer.ini"
        layer.mkdir()
        Inibridge().set_config_file(layer)
        CryptoFuture.create(DATED_ID)
        assert len(project.service.requests) == 1 and len(os.listdir(project.cache_dir)) == 1

    def test_a_layer_that_reads_moves_the_cache_for_the_next_build(self, project):
        moved = project.root / "moved"
        Inibridge().set_config_file(self.overlay(project, f"[data_related]\nLOCAL_DATA_CACHE_DIR = {moved}\n"))
        CryptoFuture.create(DATED_ID)
        assert not project.cache_dir.exists() and len(os.listdir(moved)) == 1

    @pytest.mark.parametrize(
        "content, address",
        [
            pytest.param(
                "[data_related]\nInstrumentInfoUrl = http://h/x\nInstrumentInfoUrl = http://h/y\n",
                "http://h/x",
                id="repeated-option",
            ),
            pytest.param(
                "[data_related]\nInstrumentInfoUrl = http://h/x\n[data_related]\n", "http://h/x", id="repeated-section"
            ),
            pytest.param(
                "[data_related]\nInstrumentInfoUrl = http://h/x\n  continued\n[other]\n[other]\n",
                "http://h/x\ncontinued",
                id="repeated-later-section",
            ),
            # decoded a block at a time, so the bad byte must lie past the first block to follow a taken line
            pytest.param(
                b"[data_related]\nInstrumentInfoUrl = http://h/x\n"
                + b"# padding\n" * 1000
                + b"LOCAL_DATA_CACHE_DIR = \xff\n",
                "http://h/x",
                id="undecodable-bytes",
            ),
        ],
    )
    def test_a_malformed_layer_raises_and_leaves_every_value_readable(self, project, content, address):
        loader = Inibridge()
        path = self.overlay(project, content)
        assert loader.config["data_related"]["InstrumentInfoUrl"] == project.service.url
        expected = error_of(lambda: configparser.ConfigParser().read(path))
        error = error_of(lambda: loader.set_config_file(path))
        assert type(error) is type(expected) and str(error) == str(expected)
        # The lines before the fault are taken, as the parser takes the good lines around a bad one; every
        # value stays a text, so the configuration keeps answering.
        section = loader.config["data_related"]
        assert dict(section) == {"instrumentinfourl": address, "local_data_cache_dir": str(project.cache_dir)}
        assert all(
            isinstance(value, str) for name in loader.config.sections() for value in loader.config[name].values()
        )
