"""Development stand-in for the instrument reference-data service.

    python -m norvane.devtools.refdata_service --port 8765 [--host 127.0.0.1] [--data FILE]

or, in process, where norvane.ini expects it (``InstrumentInfoUrl``)::

    service = start_configured_service()

or on a port of its own::

    with RefDataService(port=0) as service:
        service.url            # e.g. http://127.0.0.1:40123/instruments
        service.set_fault("status", code=500, times=2)
"""

from norvane.devtools.refdata_service.configured import configured_address, start_configured_service
from norvane.devtools.refdata_service.server import (
    FAULT_KINDS,
    QUERY_FIELDS,
    RefDataService,
    default_data_path,
    load_records,
)

__all__ = [
    "FAULT_KINDS",
    "QUERY_FIELDS",
    "RefDataService",
    "configured_address",
    "default_data_path",
    "load_records",
    "start_configured_service",
]
