"""The process-wide configuration loader."""

import configparser
import inspect
import os
import pathlib
import subprocess
import sys

import pytest

import norvane
from norvane.kestrum_utils import utils
from norvane.kestrum_utils.inibridge import inibridge
from norvane.kestrum_utils.inibridge.inibridge import Inibridge

# Children import the package this test imported (installed or in the source tree).
CHILD_ENV = {**os.environ, "PYTHONPATH": str(pathlib.Path(norvane.__file__).resolve().parent.parent)}
INI = "[data_related]\nInstrumentInfoUrl = http://127.0.0.1:1/instruments\nLOCAL_DATA_CACHE_DIR = cache\n"


@pytest.fixture
def root(tmp_path):
    utils.set_project_root(tmp_path)
    Inibridge.reset()
    yield tmp_path
    utils.set_project_root(None)
    Inibridge.reset()


def test_class_namespace_and_signatures():
    cls = Inibridge.__wrapped__
    assert cls.__bases__ == (object,) and cls.__module__ == "norvane.kestrum_utils.inibridge.inibridge"
    assert [k for k in vars(cls) if not k.startswith("__") or k == "__init__"] == [
        "__init__",
        "set_config_file",
        "config",
    ]
    assert str(inspect.signature(cls.__init__)) == "(self)"
    assert str(inspect.signature(cls.set_config_file)) == "(self, config_path: 'Path')"
    assert cls.config.fget.__annotations__ == {"return": "configparser.ConfigParser"}
    assert cls.set_config_file.__defaults__ is None and cls.set_config_file.__doc__ is None


def test_missing_file_names_the_joined_path(root):
    with pytest.raises(Exception) as error:
        Inibridge()
    assert type(error.value) is Exception
    assert error.value.args == ("config file not exist, which path should be " + str(root / "norvane.ini"),)
    assert Inibridge.peek() is None
    # The note says where the root comes from and how to pin it.
    [note] = error.value.__notes__
    assert "nearest directory at or above the working directory" in note and "set_project_root(" in note


def test_loads_the_default_file_once_and_shares_one_parser(root):
    (root / "norvane.ini").write_text(INI)
    loader = Inibridge()
    assert Inibridge() is loader
    parser = loader.config
    assert type(parser) is configparser.ConfigParser and loader.config is parser
    # option names are case-insensitive, section names are not
    assert parser["data_related"]["instrumentinfourl"] == "http://127.0.0.1:1/instruments"
    with pytest.raises(KeyError):
        parser["DATA_RELATED"]
    parser["data_related"]["extra"] = "seen"
    assert Inibridge().config["data_related"]["EXTRA"] == "seen"


def test_empty_file_and_directory_in_its_place_give_an_empty_configuration(root):
    (root / "norvane.ini").write_text("")
    assert Inibridge().config.sections() == []
    with pytest.raises(KeyError):
        Inibridge().config["data_related"]
    Inibridge.reset()
    (root / "norvane.ini").unlink()
    (root / "norvane.ini").mkdir()
    assert Inibridge().config.sections() == []


@pytest.mark.parametrize(
    "content, error",
    [
        ("key = value\n", configparser.MissingSectionHeaderError),
        ("[a]\nx = 1\n[a]\n", configparser.DuplicateSectionError),
        ("[a]\nx = 1\nx = 2\n", configparser.DuplicateOptionError),
    ],
)
def test_malformed_content_raises_the_parsers_error(root, monkeypatch, content, error):
    (root / "norvane.ini").write_text(content)
    with pytest.raises(error):
        Inibridge()

    # The values left as lines are joined after the failed read (by the loader, or from 3.13 on by the
    # parser's own `finally`); an interrupt there is not lost, and the read's error is its context.
    def interrupted_join(self):
        raise KeyboardInterrupt

    monkeypatch.setattr(configparser.RawConfigParser, "_join_multiline_values", interrupted_join)
    with pytest.raises(KeyboardInterrupt) as interrupted:
        Inibridge()
    assert type(interrupted.value.__context__) is error


def test_layered_files_merge_and_a_missing_one_changes_nothing(root):
    (root / "norvane.ini").write_text(INI)
    loader = Inibridge()
    overlay = root / "overlay.ini"
    overlay.write_text("[data_related]\nInstrumentInfoUrl = http://other/\n[more]\nk = v\n")
    assert loader.set_config_file(overlay) is None
    section = loader.config["data_related"]
    assert section["InstrumentInfoUrl"] == "http://other/" and section["LOCAL_DATA_CACHE_DIR"] == "cache"
    assert loader.config["more"]["k"] == "v"

    before = {s: dict(loader.config[s]) for s in loader.config.sections()}
    missing = root / "nowhere.ini"
    with pytest.raises(Exception, match=r"^config file not exist, which path should be .*nowhere\.ini$"):
        loader.set_config_file(config_path=missing)
    with pytest.raises(AttributeError):
        loader.set_config_file(str(overlay))
    assert {s: dict(loader.config[s]) for s in loader.config.sections()} == before


def test_collaborators_are_looked_up_when_called(root, monkeypatch):
    other = root / "elsewhere"
    other.mkdir()
    (other / "norvane.ini").write_text("[patched]\n")
    monkeypatch.setattr(inibridge, "get_project_root", lambda: other)
    assert Inibridge().config.sections() == ["patched"]

    class Recording(configparser.ConfigParser):
        pass

    Inibridge.reset()
    monkeypatch.setattr(inibridge, "configparser", type("Stub", (), {"ConfigParser": Recording}))
    assert type(Inibridge().config) is Recording


def test_project_root_must_be_a_path(root, monkeypatch):
    # the root is the instance argument of the unbound Path.joinpath, so a plain str does not serve
    monkeypatch.setattr(inibridge, "get_project_root", lambda: str(root))
    with pytest.raises(AttributeError):
        Inibridge()


def test_the_missing_file_note_names_a_command_whose_file_serves_every_subdirectory(tmp_path, refdata, monkeypatch):
    from norvane.kestrum_utils.priceable.futures import CryptoFuture

    # Found by the search from a subdirectory, as a user starting Python anywhere in the project would.
    subdirectory = tmp_path / "research" / "notebooks"
    subdirectory.mkdir(parents=True)
    monkeypatch.chdir(subdirectory)
    utils.set_project_root(None)
    Inibridge.reset()
    try:
        with pytest.raises(Exception) as error:
            Inibridge()
        [note] = error.value.__notes__
        assert "python -m norvane.devtools.init DIR" in note

        command = [sys.executable, "-m", "norvane.devtools.init", str(tmp_path), "--url", refdata.url]
        written = subprocess.run(command, capture_output=True, text=True, timeout=60, env=CHILD_ENV)
        assert written.returncode == 0, written.stderr
        ini = tmp_path / "norvane.ini"
        text = ini.read_text()
        # Refuses to overwrite, and says so.
        again = subprocess.run(command[:4], capture_output=True, text=True, timeout=60, env=CHILD_ENV)
        assert again.returncode == 1 and "already exists" in again.stderr and ini.read_text() == text

        section = Inibridge().config["data_related"]
        assert section["InstrumentInfoUrl"] == refdata.url and section["InstrumentInfoTimeout"] == "10"
        assert section["LOCAL_DATA_CACHE_DIR"] == str(tmp_path / ".cache" / "instrument_info")
        assert "InstrumentInfoMaxAge" not in section  # offered commented out: opt-in
        CryptoFuture.inst_cache.clear()
        CryptoFuture.create("BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20261225")
        # One cache, at the project root, not a second one under the directory the process started in.
        assert len(list((tmp_path / ".cache" / "instrument_info").glob("*.json"))) == 1
        assert list(subdirectory.iterdir()) == []
    finally:
        utils.set_project_root(None)
        Inibridge.reset()
        CryptoFuture.inst_cache.clear()
