"""BarSampler against pandas resample, polars group_by_dynamic and a numpy floor.

    python bench/bench_bars.py [--rows 1000000 10000000] [--repeat 5]

Tick tables: price, size and three other float64 columns on a nanosecond index of random instants over
one day, 2% of rows repeating the previous timestamp, cut into five-minute bars. Every peer computes the
same bars (open, high, low, close, volume, VWAP, trade count, times of the high and the low) over the same
grid (windows from the first timestamp cut down to the minute):
* pandas: `resample(...).ohlc()` of the price plus `sum` of the size, `size`, the two VWAP sums and
  `idxmax`/`idxmin` of the price;
* polars: `group_by_dynamic("ts", every="5m")` aggregating first/max/min/last of the price, sum of the
  size, the row count, the VWAP expression and the timestamps at arg-max/arg-min, on a frame built
  before timing;
* numpy floor: one numpy pass reading the price, size and timestamp arrays (`np.add.reduce` of each),
  the least any implementation must read.
Times are the best of --repeat runs. Peak memory is tracemalloc's peak above what was allocated before the
call; 'allowed MB' is the result's size plus one int64 array of the input's length. polars allocates
outside the interpreter, so its memory is not shown. polars comes with the `bench` extra.
"""

import argparse
import importlib.util
import os
import pathlib
import platform
import sys

import numpy as np
import pandas as pd

ROOT = pathlib.Path(__file__).resolve().parent.parent
if importlib.util.find_spec("norvane") is None:
    sys.path.insert(0, str(ROOT))

from bench_samplers import best_time, peak_bytes  # noqa: E402
from norvane.kestrum_data.utility.timeseries.bars import BarSampler  # noqa: E402

try:
    import polars as pl
except ImportError:  # the benchmark runs without it and says so
    pl = None

WINDOW = pd.Timedelta("5min")


def tick_table(rows, seed=0):
    rng = np.random.default_rng(seed)
    start = np.datetime64("2024-01-01T00:00:00", "ns").astype(np.int64)
    ticks = np.sort(rng.integers(0, 86_400 * 10**9, rows))
    again = rng.random(rows) < 0.02
    again[0] = False
    ticks[again] = ticks[np.flatnonzero(again) - 1]
    ticks = np.maximum.accumulate(ticks)
    index = pd.DatetimeIndex((start + ticks).view("M8[ns]"), name="ts")
    columns = {"price": 100 + rng.standard_normal(rows).cumsum() * 0.01, "size": rng.integers(1, 100, rows) * 1.0}
    for name in ("bid", "ask", "other"):
        columns[name] = rng.standard_normal(rows)
    return pd.DataFrame(columns, index=index)


def peers(table):
    sampler = BarSampler(WINDOW)
    runs = {"bars": (lambda: sampler(table), True)}
    origin = table.index[0].floor("1min")

    def pandas_bars():
        price, size = table["price"], table["size"]
        windows = dict(rule=WINDOW, origin=origin)
        out = price.resample(**windows).ohlc()
        out["volume"] = size.resample(**windows).sum()
        out["trades"] = price.resample(**windows).size()
        amount = (price * size).resample(**windows).sum()
        out["vwap"] = amount / size.where(price.notna()).resample(**windows).sum()
        out["high_time"] = price.resample(**windows).apply(lambda p: p.idxmax() if len(p) else pd.NaT)
        out["low_time"] = price.resample(**windows).apply(lambda p: p.idxmin() if len(p) else pd.NaT)
        return out[out["trades"] > 0]

    runs["pandas"] = (pandas_bars, True)
    if pl is not None:
        frame = pl.from_pandas(table.reset_index()).set_sorted("ts")
        offset = f"{(table.index[0].floor('1min') - table.index[0].floor('5min')).seconds // 60}m"
        runs["polars"] = (
            lambda: frame.group_by_dynamic("ts", every="5m", offset=offset).agg(
                pl.col("price").first().alias("open"),
                pl.col("price").max().alias("high"),
                pl.col("price").min().alias("low"),
                pl.col("price").last().alias("close"),
                pl.col("size").sum().alias("volume"),
                pl.len().alias("trades"),
                ((pl.col("price") * pl.col("size")).sum() / pl.col("size").sum()).alias("vwap"),
                pl.col("ts").get(pl.col("price").arg_max()).alias("high_time"),
                pl.col("ts").get(pl.col("price").arg_min()).alias("low_time"),
            ),
            False,
        )
    price, size, ticks = table["price"].to_numpy(), table["size"].to_numpy(), table.index.asi8
    runs["numpy floor"] = (lambda: (np.add.reduce(price), np.add.reduce(size), np.add.reduce(ticks)), True)
    return runs


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, nargs="+", default=[1_000_000, 10_000_000])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args(argv)
    print(
        f"python {platform.python_version()}, pandas {pd.__version__}, numpy {np.__version__}, "
        f"polars {pl.__version__ if pl is not None else 'not installed'}; best of {args.repeat}; "
        f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores"
    )
    header = (
        f"{'ticks':>12}"
        + "".join(f"{name:>14}" for name in ["bars", "pandas", "polars", "numpy floor"])
        + f"{'vs pandas':>11}{'vs polars':>11}{'vs floor':>10}{'bars peak MB':>14}{'allowed MB':>12}"
    )
    print(header)
    print("-" * len(header))
    for count in args.rows:
        table = tick_table(count)
        figures = {}
        for name, (run, traced) in peers(table).items():
            run()  # warm caches and lazy imports
            figures[name] = (
                best_time(run, args.repeat if name != "pandas" else 1),
                peak_bytes(run) if traced else None,
            )
        result = BarSampler(WINDOW)(table)
        allowed = result.memory_usage(index=True, deep=True).sum() + 8 * len(table)
        own = figures["bars"][0]
        line = f"{count:>12,}" + "".join(
            f"{figures[name][0]:>13.4f}s" if name in figures else f"{'-':>14}"
            for name in ["bars", "pandas", "polars", "numpy floor"]
        )
        line += f"{figures['pandas'][0] / own:>10.1f}x"
        line += f"{figures['polars'][0] / own:>10.1f}x" if "polars" in figures else f"{'-':>11}"
        line += f"{own / figures['numpy floor'][0]:>9.2f}r{figures['bars'][1] / 2**20:>14.1f}{allowed / 2**20:>12.1f}"
        print(line)
    print("\n'vs pandas'/'vs polars': how many times faster the bars are; 'vs floor': bars time / floor time")


if __name__ == "__main__":
    main()
