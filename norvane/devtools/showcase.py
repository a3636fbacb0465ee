"""The package at work, end to end, on this machine alone.

Starts the development reference-data service on a loopback port, layers a configuration that points at
it on top of the default one, creates futures of all four kinds back from their identifiers, prices a
sample fill with each, and then samples a synthetic day of ticks into one-minute rows with the reductions
that work on the installed pandas (saying in one line which do not) and into five-minute bars. Run it
twice: the second run builds every instrument from the local cache without asking the service.

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
        [
            [
                str(instrument),
                type(instrument).__name__,
                f"{instrument._tick_size:g}",
                f"{instrument._contract_multipl:g}",
                f"{instrument._qty_unit:g}",
                str(instrument.settlement_ccy),
            ]
            for instrument in instruments
        ],
    )
    print(f"\nat a price of {price:,g}, in the settlement currency:\n")
    print_table(
        [
            "identifier",
            "margin per unit",
            "maker commission per unit",
            "taker commission per unit",
            f"cash change of qty {qty:g}",
        ],
        [
            [
                str(instrument),
                f"{instrument.calculate_unit_margin(price):.6g}",
                f"{instrument.calc_unit_commission(price, True):.6g}",
                f"{instrument.calc_unit_commission(price, False):.6g}",
                f"{instrument.calc_cash_change(price, qty):.6g}",
            ]
            for instrument in instruments
        ],
    )


def print_table(header, rows):
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
    for line in [header, ["-" * width for width in widths], *rows]:
        print("  ".join(str(cell).ljust(width) for cell, width in zip(line, widths)))


# The one-minute reductions shown; each row of a result is indexed by the timestamp that the method
# reduced the window's timestamps to (see the README's table of methods).
REDUCTIONS = ("first", "last", "max", "mean")
BAR_MINUTES = 5
PLOT_HOURS = ("09:00", "10:00")


def sample_ticks(rows, plot_path):
    import pandas as pd

    from norvane.devtools import synthetic_ticks
    from norvane.devtools.sampler_methods import probe
    from norvane.kestrum_data.utility.timeseries.samplers import ExistingTimestampSampler

    ticks = synthetic_ticks(rows)
    duplicates = int(ticks.index.duplicated().sum())
    print(
        f"\n{len(ticks):,} synthetic ticks of {TICKS_INSTRUMENT} on {ticks.index[0]:%Y-%m-%d}, "
        f"{duplicates:,} of them sharing a timestamp with the previous one"
    )
    sampled, labels = {}, {}
    for func_name in REDUCTIONS:
        # Tried first on a table of a few rows: a method that cannot reduce the timestamps on this pandas is
        # said so in one line, and a failure of the real run stays an error.
        outcome = probe(func_name)
        if not outcome.works:
            print(
                f"{func_name!r} of each minute: cannot run on pandas {pd.__version__}: "
                f"{outcome.text.removeprefix('fails: ')}"
            )
            continue
        labels[func_name] = outcome.text.split("index: ", 1)[1]
        sampler = ExistingTimestampSampler(func_name=func_name, window=pd.Timedelta(minutes=1))
        began = time.perf_counter()
        sampled[func_name] = sampler(ticks)
        elapsed = time.perf_counter() - began
        # The representation is the sampler's fixed one; the words before it say the same for a reader.
        print(
            f"{func_name!r} of each minute: {len(sampled[func_name]):,} rows in {elapsed * 1000:.1f} ms, "
            f"each at {labels[func_name]}   (sampler {sampler!r})"
        )
    print("\nfirst rows, reduced by 'first':")
    print(sampled["first"].head(5).to_string())
    bars = sample_bars(ticks)
    if plot_path is not None:
        save_plot(ticks, sampled, labels, bars, plot_path)


def sample_bars(ticks):
    """Five-minute OHLCV bars of the ticks, or None when this build has no bar sampler."""
    import pandas as pd

    try:
        from norvane.kestrum_data.utility.timeseries.bars import BarSampler
    except ImportError:
        print(f"\n(no {BAR_MINUTES}-minute bars: this build has no norvane.kestrum_data.utility.timeseries.bars)")
        return None
    sampler = BarSampler(pd.Timedelta(minutes=BAR_MINUTES))
    began = time.perf_counter()
    bars = sampler(ticks)
    elapsed = time.perf_counter() - began
    print(
        f"\n{BAR_MINUTES}-minute bars: {len(bars):,} rows in {elapsed * 1000:.1f} ms, each at its window's start; "
        "open, high, low and close carry the time of their trade:"
    )
    print(bars.head(3).T.to_string())  # one line per column: twelve of them do not fit side by side
    return bars


def draw_candles(axis, bars, width):
    """Each bar as a candle over its own window: the body from open to close, the wick from low to high."""
    import matplotlib.dates
    import matplotlib.patches

    for start, bar in bars.iterrows():
        left = matplotlib.dates.date2num(start)
        right = matplotlib.dates.date2num(start + width)
        rising = bar["close"] >= bar["open"]
        colour = "tab:green" if rising else "tab:red"
        middle = (left + right) / 2
        axis.plot([middle, middle], [bar["low"], bar["high"]], color=colour, lw=0.9, zorder=2)
        bottom, top = sorted((bar["open"], bar["close"]))
        axis.add_patch(
            matplotlib.patches.Rectangle(
                (left, bottom),
                right - left,
                max(top - bottom, 1e-9),
                facecolor=colour,
                edgecolor=colour,
                alpha=0.25,
                zorder=1,
            )
        )
    # One legend entry for all candles.
    axis.add_patch(
        matplotlib.patches.Rectangle(
            (0, 0), 0, 0, facecolor="tab:green", alpha=0.25, label=f"{BAR_MINUTES}-minute bars, each over its window"
        )
    )


def save_plot(ticks, sampled, labels, bars, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.dates
        import matplotlib.pyplot as plt
    except ImportError:
        print("\n(no plot: install the package's 'plot' extra to get one)")
        return
    import pandas as pd

    begin, end = PLOT_HOURS
    window = ticks.between_time(begin, end)
    figure, axis = plt.subplots(figsize=(11, 5.5))
    axis.plot(window.index, window["price"], lw=0.4, color="0.6", label="ticks", zorder=0)
    if bars is not None:
        shown = bars[(bars.index >= window.index[0].floor("h")) & (bars.index < window.index[-1])]
        draw_candles(axis, shown, pd.Timedelta(minutes=BAR_MINUTES))
    # Sampler rows as points at the timestamps that index them, not joined by lines: a 'max' row sits at
    # its window's last timestamp, which is not the time of the highest trade.
    for name, marker in (("first", "o"), ("max", "v")):
        if name not in sampled:
            continue
        series = sampled[name].between_time(begin, end)["price"]
        caveat = ", not the high's time" if name == "max" else ""
        axis.plot(series.index, series, marker, ms=3.5, label=f"one-minute {name!r} at {labels[name]}{caveat}")
    day = f"{ticks.index[0]:%Y-%m-%d}"
    shows = ", ".join(["synthetic ticks", *([f"{BAR_MINUTES}-minute bars"] if bars is not None else [])])
    shows += " and one-minute samples"
    axis.set_title(f"{TICKS_INSTRUMENT}, {day}, {begin} to {end}\n{shows}")
    axis.xaxis.set_major_formatter(matplotlib.dates.DateFormatter("%H:%M"))
    axis.set_xlabel(f"time of day, {day}")
    axis.set_ylabel(f"price ({TICKS_INSTRUMENT.split('.')[4]})")
    axis.legend(fontsize="small")
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
    print(f"\nplot saved to {path}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=400_000, help="ticks in the synthetic day")
    parser.add_argument(
        "--plot",
        type=pathlib.Path,
        default=pathlib.Path("out/showcase.png"),
        help="where to save the plot (needs matplotlib)",
    )
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
                print(
                    f"(port {PREFERRED_PORT} is busy: this run uses a stand-in port and a cache of its own, "
                    "removed when it ends)"
                )
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
