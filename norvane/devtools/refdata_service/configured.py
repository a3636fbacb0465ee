"""Starting the development service where the configuration expects the real one."""

import errno
import ipaddress
import urllib.parse

from norvane.devtools.refdata_service.server import RefDataService


def configured_address():
    """(host, port) of ``InstrumentInfoUrl`` in the loaded norvane.ini, which must name this machine."""
    from norvane.kestrum_utils.inibridge.inibridge import Inibridge

    url = Inibridge().config["data_related"]["InstrumentInfoUrl"]
    parts = urllib.parse.urlsplit(url)
    host = parts.hostname
    if parts.scheme != "http" or host is None:
        raise ValueError(f"InstrumentInfoUrl = {url} is not a plain http:// address")
    if host != "localhost" and not _is_loopback(host):
        raise ValueError(
            f"InstrumentInfoUrl = {url} names another machine; the development service serves this one only (127.0.0.1)"
        )
    return host, parts.port or 80


def _is_loopback(host):
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def start_configured_service(data=None, verbose=False):
    """Start the development service in a background thread at the address that norvane.ini names.

    Returns the running ``RefDataService``; ``stop()`` ends it, and so does the end of the process.
    """
    host, port = configured_address()
    try:
        return RefDataService(data=data, host=host, port=port, verbose=verbose).start()
    except OSError as error:
        if error.errno == errno.EADDRINUSE:
            error.add_note(
                f"Something already listens on {host}:{port}. When it is the development service "
                "(python -m norvane.devtools.refdata_service), use it as it is and skip this step."
            )
        raise
