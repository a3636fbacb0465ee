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
