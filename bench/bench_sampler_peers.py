"""ExistingTimestampSampler against pandas resample, polars group_by_dynamic and a numpy floor.

    python bench/bench_sampler_peers.py [--rows 1000000 10000000] [--repeat 5] [--funcs first last min max mean]
                                        [--only sampler]

Tick tables: five float64 columns on a nanosecond index of random instants over one day, 2% of rows
repeating the previous timestamp, sampled into one-minute windows. The many-groups table: 1M rows over
three years under a one-minute window, so almost every row is its own group.

Every peer lays the same grid (periods from the first timestamp cut down to the minute):
* pandas: `df.resample("1min", origin=<first timestamp floored to the minute>).<f>()`;
* polars: `group_by_dynamic("ts", every="1m").agg(pl.all().<f>())` on a frame built before timing;
* numpy floor: one labelling pass ((ticks - origin) // window, run starts where it changes), then
  `take` for first/last and `ufunc.reduceat` for min/max/mean over a (columns, rows) array built before
  timing; no NaN handling, so it is a floor, not an equal.
Times are the best of --repeat runs. Peak memory is tracemalloc's peak above what was allocated before
the call (numpy's and pandas' buffers included); polars allocates outside the interpreter, so its
figure is not comparable and is left out. `--only sampler` times the sampler alone (e.g. an older build
on PYTHONPATH). polars comes with the `bench` extra: pip install .[bench].
"""

import argparse
import importlib.util
import pathlib
import platform
import sys

import numpy as np
import pandas as pd

ROOT = pathlib.Path(__file__).resolve().parent.parent
if importlib.util.find_spec("norvane") is None:
    sys.path.insert(0, str(ROOT))

from bench_samplers import best_time, peak_bytes  # noqa: E402
from norvane.kestrum_data.utility.timeseries.samplers import ExistingTimestampSampler  # noqa: E402

try:
    import polars as pl
except ImportError:  # the benchmark runs without it and says so
    pl = None

COLUMNS = ["open", "high", "low", "close", "volume"]
WINDOW = pd.Timedelta("1min")


def tick_table(rows, span_days=1, repeated=0.02, seed=0):
    rng = np.random.default_rng(seed)
    start = np.datetime64("2024-01-01T00:00:00", "ns").astype(np.int64)
    ticks = np.sort(rng.integers(0, span_days * 86_400 * 10**9, rows))
    again = rng.random(rows) < repeated
    again[0] = False
    ticks[again] = ticks[np.flatnonzero(again) - 1]
    ticks = np.maximum.accumulate(ticks)
    index = pd.DatetimeIndex((start + ticks).view("M8[ns]"), name="ts")
    return pd.DataFrame(rng.standard_normal((rows, len(COLUMNS))), index=index, columns=COLUMNS)


def peers(table, func, only_sampler):
    """Name -> (callable, traced) for every implementation, each prepared outside the timing."""
    sampler = ExistingTimestampSampler(func_name=func, window=WINDOW)
    runs = {"sampler": (lambda: sampler(table), True)}
    if only_sampler:
        return runs
    origin = table.index[0].floor("1min")
    runs["pandas resample"] = (lambda: getattr(table.resample("1min", origin=origin), func)(), True)
    if pl is not None:
        frame = pl.from_pandas(table.reset_index()).set_sorted("ts")
        runs["polars"] = (
            lambda: frame.group_by_dynamic("ts", every="1m").agg(getattr(pl.all(), func)()),
            False,
        )
    ticks = table.index.asi8
    values = np.ascontiguousarray(table.to_numpy().T)
    step = WINDOW.value
    first = origin.value

    def numpy_floor():
        labels = (ticks - first) // step
        starts = np.flatnonzero(np.diff(labels, prepend=labels[0] - 1))
        if func == "first":
            return values.take(starts, axis=1)
        if func == "last":
            return values.take(np.append(starts[1:], len(ticks)) - 1, axis=1)
        if func == "mean":
            return np.add.reduceat(values, starts, axis=1) / np.diff(np.append(starts, len(ticks)))
        return {"min": np.minimum, "max": np.maximum}[func].reduceat(values, starts, axis=1)

    runs["numpy floor"] = (numpy_floor, True)
    return runs


def measure(label, table, funcs, repeat, only_sampler):
    rows = []
    for func in funcs:
        figures = {}
        for name, (run, traced) in peers(table, func, only_sampler).items():
            run()  # warm caches and lazy imports
            figures[name] = (best_time(run, repeat), peak_bytes(run) if traced else None)
        result = ExistingTimestampSampler(func_name=func, window=WINDOW)(table)
        allowance = result.memory_usage(index=True, deep=True).sum() + 8 * len(table)
        rows.append((label, func, figures, allowance))
    return rows


def print_rows(rows):
    names = list(rows[0][2])
    header = f"{'table':<22} {'f':<6}" + "".join(f"{name:>17}" for name in names)
    if len(names) > 1:
        header += f"{'vs pandas':>11}{'vs polars':>11}{'vs floor':>10}"
    header += f"{'sampler peak MB':>17}{'allowed MB':>12}"
    print(header)
    print("-" * len(header))
    for label, func, figures, allowance in rows:
        line = f"{label:<22} {func:<6}" + "".join(f"{figures[name][0]:>16.4f}s" for name in names)
        own = figures["sampler"][0]
        if len(names) > 1:
            line += f"{figures['pandas resample'][0] / own:>10.1f}x"
            line += f"{figures['polars'][0] / own:>10.1f}x" if "polars" in figures else f"{'-':>11}"
            line += f"{own / figures['numpy floor'][0]:>9.2f}r"
        line += f"{figures['sampler'][1] / 2**20:>17.1f}{allowance / 2**20:>12.1f}"
        print(line)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, nargs="+", default=[1_000_000, 10_000_000])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--funcs", nargs="+", default=["first", "last", "min", "max", "mean"])
    parser.add_argument("--only", choices=["sampler"], default=None)
    args = parser.parse_args(argv)
    only_sampler = args.only == "sampler"
    print(
        f"python {platform.python_version()}, pandas {pd.__version__}, numpy {np.__version__}, "
        f"polars {pl.__version__ if pl is not None else 'not installed'}; best of {args.repeat}; "
        "'vs pandas'/'vs polars': how many times faster the sampler is; 'vs floor': sampler time / floor time"
    )
    rows = []
    for count in args.rows:
        rows += measure(f"{count:,} ticks, 1 day", tick_table(count), args.funcs, args.repeat, only_sampler)
    many = tick_table(1_000_000, span_days=3 * 365, repeated=0.0, seed=1)
    rows += measure("1,000,000 over 3 years", many, args.funcs, args.repeat, only_sampler)
    print_rows(rows)
    print("\n'allowed MB': the result's size plus one int64 array of the input's length")


if __name__ == "__main__":
    main()
