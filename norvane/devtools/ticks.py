"""Synthetic market data for examples, demonstrations and benchmarks."""


def synthetic_ticks(rows=400_000, *, day="2026-12-07", seed=7):
    """A trading day of trades as a pandas DataFrame, the kind of table the samplers take.

    Columns ``price`` (a random walk around 50,000) and ``size`` (exponentially distributed, four
    decimals), on an ascending DatetimeIndex named ``timestamp`` that spans ``day``. Arrival times fall
    on a 10 ms grid, so busy moments put several trades on one timestamp, as real feeds do. The same
    ``seed`` gives the same table.
    """
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(seed)
    start = pd.Timestamp(day).normalize()
    offsets_ms = np.sort(rng.integers(0, 24 * 3600 * 100, size=rows)) * 10
    index = pd.DatetimeIndex(start + pd.to_timedelta(offsets_ms, unit="ms"), name="timestamp")
    price = 50_000 + np.cumsum(rng.normal(0, 2.5, size=rows))
    size = rng.exponential(0.05, size=rows).round(4)
    return pd.DataFrame({"price": price, "size": size}, index=index)


def write_tick_files(directory, *, days=30, rows_per_day=3_500_000, first_day="2026-11-01", seed=7):
    """Writes ``days`` days of synthetic trades to ``directory``, one parquet file per day
    (``YYYY-MM-DD.parquet``), and returns the files' paths in order.

    Each day is a table as :func:`synthetic_ticks` makes one (on a 10 ms grid, so trades share
    timestamps), with three more float columns (``bid``, ``ask``, ``imbalance``); the price walks on
    from one day to the next. A day is made and written before the next is begun, so memory holds one
    day however many are written. Needs pyarrow (the extra ``dask`` brings it).
    """
    import pathlib

    import numpy as np
    import pandas as pd

    directory = pathlib.Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    price = 50_000.0
    paths = []
    for day in pd.date_range(first_day, periods=days, freq="D"):
        table = synthetic_ticks(rows_per_day, day=day.strftime("%Y-%m-%d"), seed=int(rng.integers(2**31)))
        table["price"] += price - 50_000.0
        price = float(table["price"].iloc[-1])
        spread = rng.exponential(0.5, size=rows_per_day)
        table["bid"] = table["price"] - spread
        table["ask"] = table["price"] + spread
        table["imbalance"] = rng.uniform(-1.0, 1.0, size=rows_per_day)
        path = directory / f"{day:%Y-%m-%d}.parquet"
        table.to_parquet(path)
        paths.append(path)
        del table, spread
    return paths
