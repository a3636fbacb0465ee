"""Time and peak memory of ExistingTimestampSampler against the same steps in plain pandas.

    python bench/bench_samplers.py [--rows 1000000 10000000] [--repeat 3] [--window 1min] [--func first]

Tables of five float columns on a nanosecond index of trade-like timestamps (random gaps of up to two
seconds). Times are the best of --repeat runs; peak memory is measured in one more run under
tracemalloc, which sees numpy's and pandas' buffers, above what was allocated before the call.
"""

import argparse
import gc
import importlib.util
import pathlib
import platform
import sys
import time
import tracemalloc

import numpy as np
import pandas as pd

ROOT = pathlib.Path(__file__).resolve().parent.parent
if importlib.util.find_spec("norvane") is None:
    sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "tests"))

from norvane.kestrum_data.utility.timeseries.samplers import ExistingTimestampSampler  # noqa: E402
from samplers_reference import reference_sample  # noqa: E402


def make_table(rows, seed=0):
    rng = np.random.default_rng(seed)
    start = np.datetime64("2024-01-01T00:00:00", "ns").astype(np.int64)
    stamps = start + np.cumsum(rng.integers(1, 2_000_000_000, rows))
    index = pd.DatetimeIndex(stamps.view("M8[ns]"), name="ts")
    return pd.DataFrame(rng.standard_normal((rows, 5)), index=index, columns=["open", "high", "low", "close", "volume"])


def best_time(run, repeat):
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        began = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - began)
    return best


def peak_bytes(run):
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        run()
        return tracemalloc.get_traced_memory()[1] - base
    finally:
        tracemalloc.stop()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, nargs="+", default=[1_000_000, 10_000_000])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--window", default="1min")
    parser.add_argument("--func", default="first")
    args = parser.parse_args(argv)
    window = pd.Timedelta(args.window)
    sampler = ExistingTimestampSampler(func_name=args.func, window=window)

    print(
        f"python {platform.python_version()}, pandas {pd.__version__}, numpy {np.__version__}; "
        f"window {args.window}, {args.func}, best of {args.repeat}"
    )
    header = f"{'rows':>11}  {'implementation':<14} {'time s':>8} {'peak MB':>9}"
    print(header)
    print("-" * len(header))
    summary = []
    for rows in args.rows:
        table = make_table(rows)

        def native(table=table):
            return sampler(table)

        def plain(table=table):
            return reference_sample(table, window, args.func)

        pd.testing.assert_frame_equal(native(), plain(), check_exact=True)
        figures = {}
        for name, run in (("module", native), ("plain pandas", plain)):
            figures[name] = (best_time(run, args.repeat), peak_bytes(run))
            seconds, peak = figures[name]
            print(f"{rows:>11,}  {name:<14} {seconds:>8.3f} {peak / 2**20:>9.1f}")
        (native_s, native_peak), (plain_s, plain_peak) = figures["module"], figures["plain pandas"]
        summary.append((rows, plain_s / native_s, native_peak / plain_peak))
        del table, native, plain
    print()
    for rows, speedup, memory in summary:
        print(f"{rows:>11,} rows: {speedup:5.1f}x faster, peak memory {memory:.2f} of plain pandas")


if __name__ == "__main__":
    main()
