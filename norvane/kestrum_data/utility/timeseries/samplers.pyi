# Type stub of the native time-series samplers module.

import logging as logging
from typing import *

import numpy as np
import pandas as pd

class TimeSampler:
    """Protocol of the samplers: built with a window, called with a table, returns the sampled table."""

    # Handed to pandas as the period frequency; stored as given.
    window: pd.Timedelta | None

    def __init__(self, window: pd.Timedelta | None) -> None:
        """Keeps ``window`` as given, without checks."""
    def __repr__(self) -> str:
        """``<class '...'>_<window>``, e.g. ``<class '...TimeSampler'>_0 days 00:05:00``."""
    # __call__ passes the table by the keyword df, so overrides keep that name.
    def sample(self, df: pd.DataFrame) -> pd.DataFrame:
        """The sampled table; overridden by every concrete sampler (the base raises
        ``NotImplementedError``).
        """
    def __call__(self, x_df: pd.DataFrame) -> pd.DataFrame:
        """Same as ``self.sample(df=x_df)``."""

class ExistingTimestampSampler(TimeSampler):
    """Cuts a timestamp-indexed table into periods of ``window`` and reduces each period with
    the pandas group-by method named ``func_name``; logs "Sampled N/M rows." at INFO.

    The grid starts at the first timestamp cut down to the window's unit (a five-minute window
    over rows from 10:02 starts periods at 10:02, 10:07, ...); empty periods give no row.
    """

    # Name of the pandas group-by method that reduces each period, e.g. "first" or "mean".
    func_name: str

    def __init__(self, *, func_name: str, window: pd.Timedelta | None = None, **kwargs: Any) -> None:
        """Keywords only; ``func_name`` is required (``KeyError`` without it). ``origin``
        (None, "epoch", "start_day" or a timestamp, as pandas' resample reads it) anchors the
        grid of a fixed-length window and is kept as the attribute ``origin``; ``ValueError``
        for another value, or at sampling where the grid comes from pandas' periods. Any
        other keyword is ignored.
        """
    def __repr__(self) -> str:
        """The base representation, "_" and ``func_name``."""
    def sample(self, df: pd.DataFrame) -> pd.DataFrame:
        """A new table, indexed by the input timestamps that the reduction kept; ``df`` is
        not changed. ``df`` needs a named, ascending timestamp index; a time-zone-aware one
        is cut by wall-clock time and the result keeps its zone.

        Raises ``ValueError`` "the index must be ascending without missing timestamps: ..."
        for a datetime index that goes backwards or holds NaT, before anything is reduced;
        ``RuntimeError`` "Unsupported agg_func_name=..., typo?" for a name that is not a
        group-by method (e.g. "first", "last", "mean", "max", "sum"), ``TypeError`` when it
        is not a ``str``, ``KeyError`` for an unnamed index, and pandas' errors (an empty
        table, a window pandas cannot use as a frequency, ``MemoryError`` for a grid of far
        too many periods over an index that pandas cannot read as timestamps).
        """
