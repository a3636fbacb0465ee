"""Run the development reference-data service until interrupted."""

import argparse
import signal
import sys

from norvane.devtools.refdata_service.server import RefDataService


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m norvane.devtools.refdata_service",
        description="Serve instrument reference data for development and tests.",
    )
    parser.add_argument("--port", type=int, default=8765, help="TCP port; 0 picks a free one")
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on")
    parser.add_argument("--data", help="JSON file holding an array of records (default: shipped data)")
    parser.add_argument("--verbose", action="store_true", help="log every request to standard error")
    args = parser.parse_args(argv)

    service = RefDataService(data=args.data, host=args.host, port=args.port, verbose=args.verbose)
    # A terminated service should close its socket as an interrupted one does.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        service.serve_forever(on_ready=lambda s: print(f"refdata service listening on {s.url}", flush=True))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
