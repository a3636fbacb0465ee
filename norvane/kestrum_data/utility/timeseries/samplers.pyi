# Type stub of the native time-series samplers module.

import logging as logging
from typing import *

import numpy as np
import pandas as pd

class TimeSampler:
    # Handed to pandas as the period frequency; stored as given.
    window: pd.Timedelta | None

    def __init__(self, window: pd.Timedelta | None) -> None: ...
    def __repr__(self) -> str: ...
    # Overridden by every concrete sampler; the base raises NotImplementedError.
    # __call__ passes the table by the keyword df, so overrides keep that name.
    def sample(self, df: pd.DataFrame) -> pd.DataFrame: ...
    def __call__(self, x_df: pd.DataFrame) -> pd.DataFrame: ...

class ExistingTimestampSampler(TimeSampler):
    # Name of the pandas group-by method that reduces each period, e.g. "first" or "mean".
    func_name: str

    # Keywords only; any keyword besides func_name and window is accepted and ignored.
    def __init__(
        self, *, func_name: str, window: pd.Timedelta | None = None, **kwargs: Any
    ) -> None: ...
    def __repr__(self) -> str: ...
    # Expects a named, ascending timestamp index; returns a new table indexed by the
    # input timestamps that the reduction kept.
    def sample(self, df: pd.DataFrame) -> pd.DataFrame: ...
