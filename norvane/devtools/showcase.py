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
TICKS_INSTRUMENT = IDENTIFIERS[0]  # the contract whose synthetic ticks are sampled


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
    """Points the process-wide configuration at the running service, on top of the default file.

    Cache files are named by the query address, service address included: a service on a stand-in port
    gets a cache directory of this run's own, so that its files do not pile up for good beside the usual
    ones.
    """
    from norvane.kestrum_utils.inibridge.inibridge import Inibridge

    loader = Inibridge()
    overlay = pathlib.Path(workdir) / "showcase.ini"
    lines = ["[data_related]", f"InstrumentInfoUrl = {service.url}"]
    if service.port != PREFERRED_PORT:
        lines.append(f"LOCAL_DATA_CACHE_DIR = {pathlib.Path(workdir) / 'instrument_info'}")
    overlay.write_text("\n".join(lines) + "\n")
    loader.set_config_file(overlay)
    return loader.config["data_related"]


def create_instruments():
    from norvane.kestrum_utils.priceable.futures import CryptoFuture

    instruments = []
    for identifier in IDENTIFIERS:
        try:
            instruments.append(CryptoFuture.create(identifier))
        except Exception as error:
            raise ShowcaseError(f"could not create {identifier}: {type(error).__name__}: {error}") from error
    return instruments


def print_instruments(instruments):
    price, qty = SAMPLE_FILL
    print_table(
        ["identifier", "class", "tick size", "contract multiplier", "qty unit", "settles in"],
        [[str(instrument), type(instrument).__name__, f"{instrument._tick_size:g}",
          f"{instrument._contract_multipl:g}", f"{instrument._qty_unit:g}", str(instrument.settlement_ccy)]
         for instrument in instruments],
    )
    print(f"\nat a price of {price:,g}, in the settlement currency:\n")
    print_table(
        ["identifier", "margin per unit", "maker commission per unit", "taker commission per unit",
         f"cash change of qty {qty:g}"],
        [[str(instrument), f"{instrument.calculate_unit_margin(price):.6g}",
          f"{instrument.calc_unit_commission(price, True):.6g}",
          f"{instrument.calc_unit_commission(price, False):.6g}",
          f"{instrument.calc_cash_change(price, qty):.6g}"]
         for instrument in instruments],
    )


def print_table(header, rows):
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
    for line in [header, ["-" * width for width in widths], *rows]:
        print("  ".join(str(cell).ljust(width) for cell, width in zip(line, widths)))


def sample_ticks(rows, plot_path):
    import pandas as pd

    from norvane.devtools import synthetic_ticks
    from norvane.kestrum_data.utility.timeseries.samplers import ExistingTimestampSampler

    ticks = synthetic_ticks(rows)
    duplicates = int(ticks.index.duplicated().sum())
    print(f"\n{len(ticks):,} synthetic ticks of {TICKS_INSTRUMENT} on {ticks.index[0]:%Y-%m-%d}, "
          f"{duplicates:,} of them sharing a timestamp with the previous one")
    sampled = {}
    for func_name in ("first", "last", "max", "mean"):
        sampler = ExistingTimestampSampler(func_name=func_name, window=pd.Timedelta(minutes=1))
        began = time.perf_counter()
        sampled[func_name] = sampler(ticks)
        elapsed = time.perf_counter() - began
        # The representation is the sampler's fixed one; the words before it say the same for a reader.
        print(f"{func_name!r} of each minute: {len(sampled[func_name]):,} rows in {elapsed * 1000:.1f} ms"
              f"   (sampler {sampler!r})")
    print("\nfirst rows, reduced by 'first':")
    print(sampled["first"].head(5).to_string())
    if plot_path is not None:
        save_plot(ticks, sampled, plot_path)


def save_plot(ticks, sampled, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.dates
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
    day = f"{ticks.index[0]:%Y-%m-%d}"
    axis.set_title(f"{TICKS_INSTRUMENT}, {day}, 09:00 to 10:00\nsynthetic ticks against their one-minute samples")
    axis.xaxis.set_major_formatter(matplotlib.dates.DateFormatter("%H:%M"))
    axis.set_xlabel(f"time of day, {day}")
    axis.set_ylabel(f"price ({TICKS_INSTRUMENT.split('.')[4]})")
    axis.legend()
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
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
            print(f"instrument cache      : {pathlib.Path(section['LOCAL_DATA_CACHE_DIR']).resolve()}")
            if service.port != PREFERRED_PORT:
                print(f"(port {PREFERRED_PORT} is busy: this run uses a stand-in port and a cache of its own, "
                      "removed when it ends)")
            print()
            instruments = create_instruments()
            print_instruments(instruments)
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
