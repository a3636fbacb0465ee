"""Development stand-in for the instrument reference-data service.

Answers ``GET <any path>?name=value&...`` with
``{"instruments": [{"symbol_infos": [records...]}]}``, the records of its data set
whose fields equal every given query parameter among ``externalSymbol``,
``symbol``, ``exchange``, ``security_type``, ``contract_type`` and
``expiry_date`` (other parameters are ignored), in the data set's order.

Clients send query values verbatim, without percent-encoding, so the query is
read raw: split at "&", each piece at its first "="; nothing is unquoted and "+"
stays "+". Request lines whose target holds blanks are accepted as well.

Tests can make the service misbehave (``set_fault``) and read the raw request
targets it received (``requests``), in process or, for a service started as a
subprocess, through the admin routes under ``/_admin/`` (loopback clients only):

    GET  /_admin/fault?kind=KIND&option=value...&times=N   (form-encoded values)
    POST /_admin/fault      JSON body {"kind": KIND, "times": N, option: value...}
    GET  /_admin/clear      drops the fault and the request log
    GET  /_admin/clear_fault
    GET  /_admin/clear_requests
    GET  /_admin/requests   -> {"requests": [raw target, ...]}
    GET  /_admin/status     -> {"fault": ... or null, "records": count, "requests": count}
"""

import http.server
import importlib.resources
import ipaddress
import json
import os
import re
import socket
import socketserver
import threading
import urllib.parse

QUERY_FIELDS = (
    "externalSymbol",
    "symbol",
    "exchange",
    "security_type",
    "contract_type",
    "expiry_date",
)
DEFAULT_PATH = "/instruments"
ADMIN_PREFIX = "/_admin/"
DATA_FILE_NAME = "instruments.json"


def _to_bool(value):
    if isinstance(value, bool):
        return value
    text = str(value).strip().lower()
    if text in ("1", "true", "yes", "on"):
        return True
    if text in ("0", "false", "no", "off"):
        return False
    raise ValueError(f"not a truth value: {value!r}")


def _to_records(value):
    if not isinstance(value, list) or not all(isinstance(r, dict) for r in value):
        raise ValueError("records must be a list of JSON objects")
    return [dict(r) for r in value]


def _to_status_code(value):
    code = int(value)
    if not 200 <= code <= 599:
        raise ValueError(f"status code must lie in 200..599, got {code}")
    return code


def _to_delay(value):
    delay = float(value)
    if not 0 <= delay <= 600:
        raise ValueError(f"delay must lie in 0..600 seconds, got {delay}")
    return delay


MISSING_KEY_BODIES = {
    # the top-level object lacks "instruments"
    "instruments": {"result": "ok", "data": []},
    # "instruments" is there but has no first element
    "empty": {"instruments": []},
    # the first element lacks "symbol_infos"
    "symbol_infos": {"instruments": [{"symbols": []}]},
}


def _to_missing_key(value):
    if value not in MISSING_KEY_BODIES:
        raise ValueError(f"which must be one of {sorted(MISSING_KEY_BODIES)}, got {value!r}")
    return value


# kind -> {option: (converter, default)}; a default of ... marks a required option.
FAULT_KINDS = {
    "status": {"code": (_to_status_code, 500), "body": (str, None)},
    "malformed": {"body": (str, '{"instruments": [{"symbol_infos": [')},
    "missing_key": {"which": (_to_missing_key, "instruments")},
    "slow": {"delay": (_to_delay, 1.0)},
    "stall": {"delay": (_to_delay, 600.0)},
    "trickle": {"interval": (_to_delay, 0.5)},
    "drop": {},
    "partial": {},
    "redirect_loop": {},
    "records": {"records": (_to_records, ...), "filtered": (_to_bool, False)},
}


def default_data_path():
    """The data file shipped with the package."""
    return importlib.resources.files(__package__).joinpath(DATA_FILE_NAME)


def load_records(data=None):
    """Records from the shipped file (``None``), a JSON file path, or a list of dicts."""
    if data is None:
        records = json.loads(default_data_path().read_text(encoding="utf-8"))
    elif isinstance(data, (str, os.PathLike)):
        with open(data, encoding="utf-8") as file:
            records = json.load(file)
    else:
        records = list(data)
    return _to_records(records)


def parse_query(target):
    """Split a raw request target into its path and its (name, value) pairs, undecoded."""
    path, _, query = target.partition("?")
    pairs = []
    if query:
        for piece in query.split("&"):
            name, _, value = piece.partition("=")
            pairs.append((name, value))
    return path, pairs


def select_records(records, pairs):
    """The records equal to every known query parameter given, in their original order."""
    wanted = [(name, value) for name, value in pairs if name in QUERY_FIELDS]
    return [r for r in records if all(r.get(name) == value for name, value in wanted)]


def reply_document(records):
    return {"instruments": [{"symbol_infos": records}]}


class _Fault:
    __slots__ = ("kind", "options", "remaining")

    def __init__(self, kind, options, remaining):
        self.kind = kind
        self.options = options
        self.remaining = remaining

    def describe(self):
        options = {k: v for k, v in self.options.items() if k != "records"}
        if "records" in self.options:
            options["records"] = len(self.options["records"])
        return {"kind": self.kind, "times": self.remaining, **options}


def make_fault(kind, times=None, **options):
    """Validate a fault request; option values may be texts (as the admin route gets them)."""
    if kind not in FAULT_KINDS:
        raise ValueError(f"unknown fault kind {kind!r}; known: {sorted(FAULT_KINDS)}")
    schema = FAULT_KINDS[kind]
    unknown = set(options) - set(schema)
    if unknown:
        raise ValueError(f"fault {kind!r} takes no option(s) {sorted(unknown)}")
    converted = {}
    for name, (convert, default) in schema.items():
        if name in options:
            converted[name] = convert(options[name])
        elif default is ...:
            raise ValueError(f"fault {kind!r} needs the option {name!r}")
        else:
            converted[name] = default
    if times is not None:
        times = int(times)
        if times < 1:
            raise ValueError(f"times must be at least 1, got {times}")
    return _Fault(kind, converted, times)


class _Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64

    def __init__(self, address, service):
        self.address_family = socket.AF_INET6 if ":" in address[0] else socket.AF_INET
        self.service = service
        super().__init__(address, _Handler)

    def server_bind(self):
        # HTTPServer.server_bind resolves the host's full name, which can hang on
        # machines without working name resolution; the name is never used here.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]


_REQUEST_LINE = re.compile(r"^(\S+) (.*\s.*) (HTTP/\d+\.\d+)$")


class _Handler(http.server.BaseHTTPRequestHandler):
    server_version = "RefDataDev/1.0"

    def parse_request(self):
        # The standard parser splits the request line at whitespace and refuses a
        # target holding blanks; clients that send values verbatim produce such
        # targets, so keep the whole middle part as the target.
        line = str(self.raw_requestline, "iso-8859-1").rstrip("\r\n")
        match = _REQUEST_LINE.match(line)
        if match:
            method, target, version = match.groups()
            self.raw_requestline = f"{method} / {version}\r\n".encode("iso-8859-1")
        ok = super().parse_request()
        if ok and match:
            self.path = target
            self.requestline = line
        return ok

    def log_message(self, format, *args):
        if self.server.service.verbose:
            super().log_message(format, *args)

    def _target(self):
        raw = self.path.encode("iso-8859-1")
        try:
            return raw.decode("utf-8")
        except UnicodeDecodeError:
            return self.path

    # -- data route -------------------------------------------------------

    def do_GET(self):
        target = self._target()
        if target.startswith(ADMIN_PREFIX):
            self._admin(target, None)
            return
        service = self.server.service
        service._log_request(target)
        fault = service._take_fault()
        if fault is None:
            self._send_json(200, service._answer(target))
        else:
            getattr(self, "_fault_" + fault.kind)(target, **fault.options)

    def do_POST(self):
        target = self._target()
        if target.startswith(ADMIN_PREFIX):
            length = int(self.headers.get("Content-Length") or 0)
            self._admin(target, self.rfile.read(length))
        else:
            self._send_json(405, {"error": "only GET is served here"})

    def _send_body(self, code, body, content_type, headers=()):
        self.send_response(code)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(body)

    def _send_json(self, code, document):
        self._send_body(code, json.dumps(document).encode("utf-8"), "application/json")

    # -- faults -----------------------------------------------------------

    def _fault_status(self, target, code, body):
        if code in (204, 304):
            # These statuses carry no body and no length.
            self.send_response(code)
            self.end_headers()
            return
        text = f"injected status {code}\n" if body is None else body
        self._send_body(code, text.encode("utf-8"), "text/plain; charset=utf-8")

    def _fault_malformed(self, target, body):
        self._send_body(200, body.encode("utf-8"), "application/json")

    def _fault_missing_key(self, target, which):
        self._send_json(200, MISSING_KEY_BODIES[which])

    def _fault_slow(self, target, delay):
        # Woken early when the service stops, so a stop never waits out the delay.
        self.server.service._stopping.wait(delay)
        self._send_json(200, self.server.service._answer(target))

    def _fault_stall(self, target, delay):
        # Accepts the request and sends nothing, until the delay passes or the service stops.
        self.server.service._stopping.wait(delay)
        self.close_connection = True

    def _fault_trickle(self, target, interval):
        # The whole normal answer, status line and headers included, one byte per interval.
        body = json.dumps(self.server.service._answer(target)).encode("utf-8")
        head = (
            f"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: {len(body)}\r\n"
            "Connection: close\r\n\r\n"
        ).encode("ascii")
        self.close_connection = True
        for at, byte in enumerate(head + body):
            if at and self.server.service._stopping.wait(interval):
                return
            try:
                self.wfile.write(bytes([byte]))
                self.wfile.flush()
            except OSError:  # the client gave up
                return

    def _fault_drop(self, target):
        self.close_connection = True

    def _fault_partial(self, target):
        body = json.dumps(self.server.service._answer(target)).encode("utf-8")
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body[: len(body) // 2])
        self.close_connection = True

    def _fault_redirect_loop(self, target):
        self._send_body(302, b"", "text/plain", [("Location", target)])

    def _fault_records(self, target, records, filtered):
        if filtered:
            records = select_records(records, parse_query(target)[1])
        self._send_json(200, reply_document(records))

    # -- admin routes -----------------------------------------------------

    def _admin(self, target, body):
        if not ipaddress.ip_address(self.client_address[0]).is_loopback:
            self._send_json(403, {"ok": False, "error": "admin routes answer loopback clients only"})
            return
        service = self.server.service
        path, _, query = target.partition("?")
        route = path[len(ADMIN_PREFIX) :]
        try:
            if route == "fault":
                if body is not None:
                    options = json.loads(body.decode("utf-8") or "{}")
                    if not isinstance(options, dict):
                        raise ValueError("the body must be a JSON object")
                else:
                    options = dict(urllib.parse.parse_qsl(query, keep_blank_values=True))
                if "kind" not in options:
                    raise ValueError("the option 'kind' is required")
                service.set_fault(options.pop("kind"), **options)
                answer = {"fault": service.fault}
            elif route == "clear":
                service.clear_fault()
                service.clear_requests()
                answer = {}
            elif route == "clear_fault":
                service.clear_fault()
                answer = {}
            elif route == "clear_requests":
                service.clear_requests()
                answer = {}
            elif route == "requests":
                answer = {"requests": service.requests}
            elif route == "status":
                answer = {
                    "fault": service.fault,
                    "records": len(service._records),
                    "requests": len(service.requests),
                }
            else:
                self._send_json(404, {"ok": False, "error": f"no admin route {route!r}"})
                return
        except (ValueError, TypeError) as exc:
            self._send_json(400, {"ok": False, "error": str(exc)})
            return
        self._send_json(200, {"ok": True, **answer})


class RefDataService:
    """The reference-data stand-in, served from a background thread.

    ``data``: ``None`` for the shipped records, a JSON file path, or a list of
    record dicts. ``port`` 0 picks a free port; ``url`` tells the address.
    """

    def __init__(self, data=None, host="127.0.0.1", port=0, verbose=False):
        self._records = load_records(data)
        self._host = host
        self._port = port
        self.verbose = verbose
        self._lock = threading.Lock()
        self._requests = []
        self._fault = None
        self._stopping = threading.Event()
        self._server = None
        self._thread = None

    # -- life cycle -------------------------------------------------------

    def _bind(self):
        if self._server is not None:
            raise RuntimeError("the service is already running")
        self._stopping.clear()
        self._server = _Server((self._host, self._port), self)
        return self._server

    def start(self):
        server = self._bind()
        self._thread = threading.Thread(
            target=server.serve_forever,
            kwargs={"poll_interval": 0.05},
            name=f"refdata-service-{self.port}",
            daemon=True,
        )
        self._thread.start()
        return self

    def serve_forever(self, on_ready=None):
        """Serve in the calling thread until interrupted (the command-line use).

        ``on_ready(service)`` runs once the socket listens, so ``url`` is known.
        """
        server = self._bind()
        try:
            if on_ready is not None:
                on_ready(self)
            server.serve_forever(poll_interval=0.2)
        finally:
            self._stopping.set()
            server.server_close()
            self._server = None

    def stop(self):
        server, thread = self._server, self._thread
        if server is None:
            return
        self._stopping.set()
        server.shutdown()
        server.server_close()
        if thread is not None:
            thread.join()
        self._server = None
        self._thread = None

    def __enter__(self):
        if self._server is None:
            self.start()
        return self

    def __exit__(self, *exc_info):
        self.stop()

    # -- addresses --------------------------------------------------------

    @property
    def host(self):
        return self._host

    @property
    def port(self):
        if self._server is None:
            raise RuntimeError("the service is not running")
        return self._server.server_address[1]

    @property
    def base_url(self):
        host = f"[{self._host}]" if ":" in self._host else self._host
        return f"http://{host}:{self.port}"

    @property
    def url(self):
        """The data address, the value for ``InstrumentInfoUrl``."""
        return self.base_url + DEFAULT_PATH

    # -- records, request log and faults ------------------------------------

    @property
    def records(self):
        return [dict(r) for r in self._records]

    @property
    def requests(self):
        """Raw request targets (path and query) received on the data routes, oldest first."""
        with self._lock:
            return list(self._requests)

    def clear_requests(self):
        with self._lock:
            self._requests.clear()

    def set_fault(self, kind, *, times=None, **options):
        """Misbehave on every following data request, or on the next ``times`` ones.

        Kinds and options: ``status`` (``code`` 500, ``body``), ``malformed``
        (``body``), ``missing_key`` (``which``: "instruments", "empty" or
        "symbol_infos"), ``slow`` (``delay`` 1.0 s, then a normal answer),
        ``stall`` (no answer for ``delay`` 600 s, then the connection closes),
        ``trickle`` (the normal answer one byte per ``interval``, 0.5 s), ``drop``, ``partial``, ``redirect_loop`` and ``records`` (``records``,
        ``filtered`` False). Each redirected request counts towards ``times``.
        """
        fault = make_fault(kind, times, **options)
        with self._lock:
            self._fault = fault

    def clear_fault(self):
        with self._lock:
            self._fault = None

    @property
    def fault(self):
        with self._lock:
            return None if self._fault is None else self._fault.describe()

    def _log_request(self, target):
        with self._lock:
            self._requests.append(target)

    def _take_fault(self):
        with self._lock:
            fault = self._fault
            if fault is not None and fault.remaining is not None:
                fault.remaining -= 1
                if fault.remaining == 0:
                    self._fault = None
            return fault

    def _answer(self, target):
        return reply_document(select_records(self._records, parse_query(target)[1]))
