# Type stub of the native bars module.

import logging as logging
from typing import *

import numpy as np
import pandas as pd

from norvane.kestrum_data.utility.timeseries.samplers import TimeSampler as TimeSampler

class BarSampler(TimeSampler):
    """Cuts a trade table into windows of a fixed length and gives one bar per window: open, high, low,
    close, volume, VWAP, the number of trades and the times of the open, high, low and close, in one
    pass over the rows. Bars are labelled by their window's start (or end), as pandas' resample labels.
    """

    # The window as a pd.Timedelta.
    window: pd.Timedelta
    # The columns read: prices, and sizes (None: no volume and no VWAP).
    price: Hashable
    size: Hashable | None
    # None, "epoch", "start_day" or a pd.Timestamp.
    origin: pd.Timestamp | str | None
    label: str
    closed: str
    empty: str

    def __init__(
        self,
        window: pd.Timedelta | str,
        price: Hashable = "price",
        size: Hashable | None = "size",
        origin: pd.Timestamp | str | None = None,
        label: str = "left",
        closed: str = "left",
        empty: str = "drop",
    ) -> None:
        """``window``: a fixed positive length (anything ``pd.Timedelta`` reads); zero, negative or
        calendar lengths raise ``ValueError``. ``origin``: None (the first timestamp cut down to the
        window's unit, the grid ``ExistingTimestampSampler`` lays), "epoch", "start_day" or a
        timestamp, as pandas' resample reads it. ``label`` and ``closed``: "left" or "right", as
        pandas' resample defines them. ``empty``: "drop" leaves out windows without rows, "fill"
        gives them between the first and the last bar with the last close as their prices, volume
        and trades 0, VWAP NaN and NaT times.
        """
    def sample(self, df: pd.DataFrame) -> pd.DataFrame:
        """One row per window, indexed by the window's start (``label="left"``) or end, with the
        columns open, high, low, close, volume, vwap, trades, open_time, high_time, low_time,
        close_time (volume and vwap only with a ``size`` column). Each equals what pandas' resample
        gives for the same windows; the index and the times keep the input index's unit, zone and
        name. ``df`` is not changed; "Sampled N/M rows." is logged at INFO.

        Raises ``KeyError`` for a missing column, ``TypeError`` for a column of another dtype than
        float64, float32, int64 or int32 or a table not on a ``DatetimeIndex``, ``ValueError`` for an
        index that goes backwards or holds NaT, or an aware index whose wall clock turns back.
        """
