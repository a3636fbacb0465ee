import importlib.util
import pathlib
import sys
import types

REPO_ROOT = pathlib.Path(__file__).resolve().parent.parent

# Plain `pytest` does not put the repository on sys.path; an installed package wins.
if importlib.util.find_spec("norvane") is None:
    sys.path.insert(0, str(REPO_ROOT))

import pytest  # noqa: E402

from leakcheck import checked_call  # noqa: E402
from norvane.devtools.refdata_service import RefDataService  # noqa: E402


def pytest_configure(config):
    config.addinivalue_line("markers", "leaks_unchecked(reason): the test's call is not run under the leak check")


@pytest.hookimpl(wrapper=True)
def pytest_pyfunc_call(pyfuncitem):
    """Every test's call runs under the leak check (see leakcheck.py)."""
    return (yield from checked_call(pyfuncitem))


@pytest.fixture(scope="session")
def refdata_service():
    """One development reference-data service on 127.0.0.1 for the whole session."""
    with RefDataService(port=0) as service:
        yield service


@pytest.fixture
def refdata(refdata_service):
    """The session's reference-data service, with no fault and an empty request log."""
    refdata_service.clear_fault()
    refdata_service.clear_requests()
    yield refdata_service
    refdata_service.clear_fault()


@pytest.fixture
def project(tmp_path, refdata):
    """A project root whose norvane.ini points at the test service and a fresh cache directory.

    The process-wide loader is rebuilt for it and dropped afterwards, and the factory's instrument cache
    starts and ends empty.
    """
    from norvane.kestrum_utils import utils
    from norvane.kestrum_utils.inibridge.inibridge import Inibridge

    cache_dir = tmp_path / "cache"
    (tmp_path / "norvane.ini").write_text(
        f"[data_related]\nInstrumentInfoUrl = {refdata.url}\nLOCAL_DATA_CACHE_DIR = {cache_dir}\n"
    )
    utils.set_project_root(tmp_path)
    Inibridge.reset()
    instrument_cache = _instrument_cache()
    instrument_cache.clear()
    try:
        yield types.SimpleNamespace(root=tmp_path, cache_dir=cache_dir, service=refdata, ini=tmp_path / "norvane.ini")
    finally:
        instrument_cache.clear()
        utils.set_project_root(None)
        Inibridge.reset()


def _instrument_cache():
    try:
        from norvane.kestrum_utils.priceable.futures import CryptoFuture
    except ImportError:
        return {}
    return CryptoFuture.inst_cache
