"""The package at work, end to end, on this machine alone.

Starts the development reference-data service on a loopback port, layers a configuration that points at
it on top of the default one, creates futures of all four kinds back from their identifiers, prices a
sample fill with each, and then samples a synthetic day of ticks into one-minute rows. Run it twice: the
second run builds every instrument from the local cache without asking the service.

    python -m norvane.devtools.showcase [--rows N] [--plot FILE]
"""

import argparse
import logging
import pathlib
import sys
import tempfile
import time

PREFERRED_PORT = 8765  # the port of the shipped norvane.ini; a stable address keeps cache file names stable

IDENTIFIERS = [
    "BINANCE.BTC-USDT.FUTURE.LINEAR.USDT.20261225",
    "OKX.ETH-USDT.PERP.LINEAR.USDT.UNSPECIFIED",
    "DERIBIT.BTC-USD.FUTURE.INVERSE.BTC.20261225",
    "BINANCE.ETH-USD.PERP.INVERSE.ETH.UNSPECIFIED",
]
SAMPLE_FILL = (50_000.0, 2.0)  # trade price, quantity


class ShowcaseError(Exception):
    """A step of the showcase failed; the message says which and why."""


def start_service():
    """The development service on the usual port, or on any free one when that is taken."""
    from norvane.devtools.refdata_service import RefDataService

    try:
        return RefDataService(port=PREFERRED_PORT).start()
    except OSError:
        return RefDataService(port=0).start()


def layer_configuration(service, workdir):
    """Points the process-wide configuration at the running service, on top of the default file."""
    from norvane.kestrum_utils.inibridge.inibridge import Inibridge

    loader = Inibridge()
    overlay = pathlib.Path(workdir) / "showcase.ini"
    overlay.write_text(f"[data_related]\nInstrumentInfoUrl = {service.url}\n")
    loader.set_config_file(overlay)
    return loader.config["data_related"]


def price_instruments(service):
    from norvane.kestrum_utils.priceable.futures import CryptoFuture

    rows = []
    for identifier in IDENTIFIERS:
        try:
            instrument = CryptoFuture.create(identifier)
        except Exception as error:
            raise ShowcaseError(f"could not create {identifier}: {type(error).__name__}: {error}") from error
        price, qty = SAMPLE_FILL
        rows.append([
            identifier,
            type(instrument).__name__,
            f"{instrument._tick_size:g}",
            f"{instrument._contract_multipl:g}",
            f"{instrument._qty_unit:g}",
            f"{instrument.calculate_unit_margin(price):.6g}",
            f"{instrument.calc_unit_commission(price, True):.6g}",
            f"{instrument.calc_unit_commission(price, False):.6g}",
            f"{instrument.calc_cash_change(price, qty):.6g}",
            str(instrument.settlement_ccy),
        ])
    return rows


def print_table(header, rows):
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
    for line in [header, ["-" * width for width in widths], *rows]:
        print("  ".join(str(cell).ljust(width) for cell, width in zip(line, widths)))


def synthetic_ticks(rows, seed=7):
    """A trading day of ticks: random arrival times (many sharing a timestamp) and a random-walk price."""
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(seed)
    start = pd.Timestamp("2026-12-07 00:00:00")
    # Timestamps in steps of 10 ms, so that busy moments put several trades on one timestamp.
    offsets_ms = np.sort(rng.integers(0, 24 * 3600 * 100, size=rows)) * 10
    index = pd.DatetimeIndex(start + pd.to_timedelta(offsets_ms, unit="ms"), name="timestamp")
    price = 50_000 + np.cumsum(rng.normal(0, 2.5, size=rows))
    size = rng.exponential(0.05, size=rows).round(4)
    return pd.DataFrame({"price": price, "size": size}, index=index)


def sample_ticks(rows, plot_path):
    import pandas as pd

    from norvane.kestrum_data.utility.timeseries.samplers import ExistingTimestampSampler

    ticks = synthetic_ticks(rows)
    duplicates = int(ticks.index.duplicated().sum())
    print(f"\n{len(ticks):,} ticks over one day, {duplicates:,} of them sharing a timestamp with the previous one")
    sampled = {}
    for func_name in ("first", "last", "max", "mean"):
        sampler = ExistingTimestampSampler(func_name=func_name, window=pd.Timedelta(minutes=1))
        began = time.perf_counter()
        sampled[func_name] = sampler(ticks)
        elapsed = time.perf_counter() - began
        print(f"{sampler!r}: {len(sampled[func_name]):,} rows in {elapsed * 1000:.0f} ms")
    print("\nfirst rows, reduced by 'first':")
    print(sampled["first"].head(5).to_string())
    if plot_path is not None:
        save_plot(ticks, sampled, plot_path)


def save_plot(ticks, sampled, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("\n(no plot: install the package's 'plot' extra to get one)")
        return
    window = ticks.between_time("09:00", "10:00")
    figure, axis = plt.subplots(figsize=(11, 5))
    axis.plot(window.index, window["price"], lw=0.4, color="0.6", label="ticks")
    for name, style in (("first", "-"), ("max", "--")):
        series = sampled[name].between_time("09:00", "10:00")["price"]
        axis.plot(series.index, series, style, lw=1.2, label=f"one-minute {name}")
    axis.set_title("Ticks against their one-minute samples, 09:00 to 10:00")
    axis.set_ylabel("price")
    axis.legend()
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    print(f"\nplot saved to {path}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=400_000, help="ticks in the synthetic day")
    parser.add_argument("--plot", type=pathlib.Path, default=pathlib.Path("out/showcase.png"),
                        help="where to save the plot (needs matplotlib)")
    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.WARNING, format="%(levelname)s %(message)s")

    try:
        service = start_service()
    except OSError as error:
        print(f"error: could not start the reference-data service: {error}", file=sys.stderr)
        return 1
    try:
        with tempfile.TemporaryDirectory() as workdir:
            section = layer_configuration(service, workdir)
            print(f"reference-data service: {section['InstrumentInfoUrl']}")
            if service.port != PREFERRED_PORT:
                print(f"(port {PREFERRED_PORT} is busy: cache files are named by the address, so this run "
                      "cannot reuse the ones of runs on the usual port)")
            print(f"instrument cache      : {pathlib.Path(section['LOCAL_DATA_CACHE_DIR']).resolve()}\n")
            rows = price_instruments(service)
        header = ["identifier", "class", "tick", "multiplier", "qty unit", "unit margin", "maker fee",
                  "taker fee", f"cash change {SAMPLE_FILL[1]:g}@{SAMPLE_FILL[0]:g}", "settles in"]
        print_table(header, rows)
        requests = len(service.requests)
        source = "all from the local cache" if requests == 0 else f"{requests} request(s) to the service"
        print(f"\nreference data: {source}")
        if args.plot is not None:
            args.plot.parent.mkdir(parents=True, exist_ok=True)
        sample_ticks(args.rows, args.plot)
    except Exception as error:
        print(f"error: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    finally:
        service.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
