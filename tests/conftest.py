import importlib.util
import pathlib
import sys

REPO_ROOT = pathlib.Path(__file__).resolve().parent.parent

# Plain `pytest` does not put the repository on sys.path; an installed package wins.
if importlib.util.find_spec("norvane") is None:
    sys.path.insert(0, str(REPO_ROOT))

import pytest  # noqa: E402

from norvane.devtools.refdata_service import RefDataService  # noqa: E402


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
