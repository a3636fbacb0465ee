"""The samplers over Dask on a month of ticks in parquet files, against reading the files alone.

    python bench/bench_partitioned.py [--directory data/ticks] [--generate] [--rows 50000000 100000000]
                                      [--rows-per-day 3500000]

--generate first writes 30 days of synthetic trades, one parquet file per day (price, size, bid, ask,
imbalance on a timestamp index; norvane.devtools.ticks.write_tick_files); data/ is git-ignored. Each
row count reads the first files that hold it and runs, each case in a fresh process on Dask's default
scheduler (threads, one per core), with Dask's progress bar on the standard error:
- "read (I/O floor)": dd.read_parquet(files).map_partitions(len), the least any run reads;
- "5-min bars": partitioned.sample(BarSampler("5min"), ddf);
- "1-min last": partitioned.sample(ExistingTimestampSampler(func_name="last", window=1 min), ddf);
- "Dask resample 1-min last": dd.read_parquet(files, calculate_divisions=True).resample("1min").last().
Wall time is the case's own, from building the graph to the result (imports left out); peak memory is its maximum
resident set (the scheduler and its worker threads all live in it), against the data's size in memory
(8 bytes a timestamp and a float).
"""

import argparse
import os
import pathlib
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
CASES = {
    "floor": "read (I/O floor)",
    "bars": "5-min bars",
    "last": "1-min last",
    "resample": "Dask resample 1-min last",
}


def run_case(case, files):
    """In the child: one case over ``files``; prints the rows it read and the rows it made."""
    import dask
    import dask.dataframe as dd
    import pandas as pd
    from dask.diagnostics import ProgressBar

    from norvane.kestrum_data.utility.timeseries import partitioned
    from norvane.kestrum_data.utility.timeseries.bars import BarSampler
    from norvane.kestrum_data.utility.timeseries.samplers import ExistingTimestampSampler

    started = time.perf_counter()
    with ProgressBar(out=sys.stderr):
        if case == "floor":
            rows = int(dd.read_parquet(files).map_partitions(len).compute().sum())
            print(time.perf_counter() - started, rows)
            return
        if case == "resample":
            ddf = dd.read_parquet(files, calculate_divisions=True)
            result = ddf.resample("1min").last().compute()
        else:
            ddf = dd.read_parquet(files)
            sampler = (
                BarSampler("5min")
                if case == "bars"
                else ExistingTimestampSampler(func_name="last", window=pd.Timedelta("1min"))
            )
            result = partitioned.sample(sampler, ddf).compute()
    print(time.perf_counter() - started, len(result))
    del dask


def measure(case, files):
    """(seconds, peak resident bytes, rows made or an error) of one case in a fresh process; the
    seconds are the child's own, from building the graph to the result (imports left out)."""
    child = subprocess.Popen(
        [sys.executable, __file__, "--case", case, *map(str, files)], stdout=subprocess.PIPE, text=True
    )
    output = child.stdout.read()
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0 or len(output.split()) < 2:
        return float("nan"), usage.ru_maxrss * 1024, f"failed ({child.returncode})"
    seconds, made = output.split()[-2:]
    return float(seconds), usage.ru_maxrss * 1024, made


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--directory", type=pathlib.Path, default=ROOT / "data" / "ticks")
    parser.add_argument("--generate", action="store_true")
    parser.add_argument("--rows", type=int, nargs="+", default=[50_000_000, 100_000_000])
    parser.add_argument("--rows-per-day", type=int, default=3_500_000)
    parser.add_argument("--case", choices=list(CASES))
    parser.add_argument("files", nargs="*")
    args = parser.parse_args()
    if args.case:
        run_case(args.case, args.files)
        return

    if args.generate:
        from norvane.devtools.ticks import write_tick_files

        started = time.perf_counter()
        write_tick_files(args.directory, days=30, rows_per_day=args.rows_per_day)
        print(f"wrote 30 files of {args.rows_per_day:,} rows in {time.perf_counter() - started:.0f} s")
    files = sorted(args.directory.glob("*.parquet"))
    print(f"load before: {os.getloadavg()[0]:.1f} (1-min average), {os.cpu_count()} cores")
    print("| rows | case | wall s | rows/s | vs I/O floor | peak RSS GB | vs floor's | data in memory GB | rows made |")
    print("|---|---|---|---|---|---|---|---|---|")
    for rows in args.rows:
        chosen = files[: -(-rows // args.rows_per_day)]
        total = len(chosen) * args.rows_per_day
        floor = None
        for case, name in CASES.items():
            seconds, peak, made = measure(case, chosen)
            floor = floor or (seconds, peak)
            print(
                f"| {total / 1e6:.1f}M | {name} | {seconds:.1f} | {total / seconds / 1e6:.2f}M | "
                f"{seconds / floor[0]:.2f}x | {peak / 1e9:.2f} | {peak / floor[1]:.2f}x | {total * 48 / 1e9:.1f} | "
                f"{made} |",
                flush=True,
            )
    print(f"load after: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
